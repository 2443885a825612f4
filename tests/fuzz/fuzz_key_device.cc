// The event-device byte stream. The input's first byte gives the number of
// reads and the following pairs of bytes their sizes (up to the reader's 384
// bytes); the rest is the stream, cut into those reads and then into reads of
// 384 bytes. Each read goes through read_actions with one hat state for the
// whole stream, and the actions must equal a model of the rules: whole
// records only, at most one action per record, key presses and autorepeats of
// known codes give their action, releases nothing, and a hat gives an action
// only when it reaches a side it was not on; its last position is whatever
// value the axis last reported.
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "input/key_device_reader.h"

namespace {

constexpr size_t kReadSize = 384;

struct ModelHat {
  int32_t x = 0;
  int32_t y = 0;
};

// The action a record gives, from the rules of the key reader.
std::optional<ze::Action> model_action(ModelHat& hat, const unsigned char* record) {
  uint16_t type;
  uint16_t code;
  int32_t value;
  std::memcpy(&type, record + 16, 2);
  std::memcpy(&code, record + 18, 2);
  std::memcpy(&value, record + 20, 4);
  if (type == ze::kEvKey) {
    if (value == 0) return std::nullopt;
    if (value != 1 && value != 2) return std::nullopt;
    return ze::key_code_action(code);
  }
  if (type != ze::kEvAbs || (code != ze::kAbsHat0X && code != ze::kAbsHat0Y)) return std::nullopt;
  int32_t& last = code == ze::kAbsHat0X ? hat.x : hat.y;
  if (value == last) return std::nullopt;
  last = value;
  if (value == 1) return code == ze::kAbsHat0X ? ze::Action::Right : ze::Action::Down;
  if (value == -1) return code == ze::kAbsHat0X ? ze::Action::Left : ze::Action::Up;
  return std::nullopt;
}

void check_read(ze::HatState& hat, ModelHat& model, const unsigned char* bytes, size_t size) {
  std::vector<ze::RecordAction> found = ze::read_actions(hat, bytes, size);
  size_t records = size / ze::kInputEventSize;
  FUZZ_CHECK(found.size() <= records, "at most one action per whole record");
  size_t next = 0;
  for (size_t i = 0; i < records; ++i) {
    const unsigned char* record = bytes + i * ze::kInputEventSize;
    std::optional<ze::Action> expected = model_action(model, record);
    if (!expected) continue;
    FUZZ_CHECK(next < found.size(), "a record that gives an action is not lost");
    const ze::RecordAction& got = found[next++];
    ze::InputEvent event = ze::decode_input_event(record);
    FUZZ_CHECK(got.event.type == event.type && got.event.code == event.code &&
                   got.event.value == event.value,
               "an action carries the record that gave it");
    FUZZ_CHECK(got.action == *expected, "a record gives the action of its rule");
    FUZZ_CHECK(!(event.type == ze::kEvKey && event.value == 0), "a release gives nothing");
  }
  FUZZ_CHECK(next == found.size(), "no action without a record that gives it");
  FUZZ_CHECK(hat.last_x == model.x && hat.last_y == model.y,
             "the hat holds the axes' last reported values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t read_count = data[0] % 16;
  size_t pos = 1;
  std::vector<size_t> read_sizes;
  for (size_t i = 0; i < read_count && pos + 2 <= size; ++i, pos += 2) {
    read_sizes.push_back((size_t{data[pos]} << 8 | data[pos + 1]) % (kReadSize + 1));
  }
  ze::HatState hat;
  ModelHat model;
  for (size_t read_size : read_sizes) {
    size_t n = std::min(read_size, size - pos);
    check_read(hat, model, data + pos, n);
    pos += n;
  }
  while (pos < size) {
    size_t n = std::min(kReadSize, size - pos);
    check_read(hat, model, data + pos, n);
    pos += n;
  }
  return 0;
}
