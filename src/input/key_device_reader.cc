#include "input/key_device_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/log.h"

namespace ze {
namespace {

constexpr int kDeviceCount = 10;
// Room for 16 records per read.
constexpr size_t kReadBufferSize = 384;
// The main loop's frame period: an idle reader wakes once per frame.
constexpr auto kIdlePause = std::chrono::milliseconds(16);

struct KeyCode {
  uint16_t code;
  Action action;
};

constexpr KeyCode kKeyCodes[] = {
    {1, Action::Cancel},              // KEY_ESC
    {103, Action::Up},                // KEY_UP
    {105, Action::Left},              // KEY_LEFT
    {106, Action::Right},             // KEY_RIGHT
    {108, Action::Down},              // KEY_DOWN
    {114, Action::VolumeDown},        // KEY_VOLUMEDOWN
    {115, Action::VolumeUp},          // KEY_VOLUMEUP
    {304, Action::Cancel},            // BTN_SOUTH
    {305, Action::Confirm},           // BTN_EAST
    {307, Action::ToggleFavorite},    // BTN_NORTH
    {308, Action::OtaUpdate},         // BTN_WEST
    {310, Action::PrevCategory},      // BTN_TL
    {311, Action::NextCategory},      // BTN_TR
    {312, Action::VolumeDown},        // BTN_TL2
    {313, Action::VolumeUp},          // BTN_TR2
    {314, Action::MuteToggle},        // BTN_SELECT
    {315, Action::NowPlayingToggle},  // BTN_START
    {316, Action::Exit},              // BTN_MODE
};

// A hat move on one axis: an action when the hat reaches a side it was not
// already on; centring only records the position.
std::optional<Action> hat_move(int32_t& last, int32_t value, Action negative, Action positive) {
  if (value == last) return std::nullopt;
  last = value;
  if (value == 1) return positive;
  if (value == -1) return negative;
  return std::nullopt;
}

std::vector<UniqueFd> open_devices(const std::string& prefix) {
  std::vector<UniqueFd> devices;
  for (int n = 0; n < kDeviceCount; ++n) {
    std::string path = prefix + std::to_string(n);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) continue;
    logf("[Input] Opened input device: {}", path);
    devices.push_back(std::move(fd));
  }
  return devices;
}

// Presses made before the player started are not meant for it.
void discard_pending(const std::vector<UniqueFd>& devices) {
  unsigned char buffer[kReadBufferSize];
  for (const UniqueFd& device : devices) {
    while (::read(device.get(), buffer, sizeof buffer) > 0) {
    }
  }
}

// Reads each device once; returns whether any delivered a whole record.
bool read_pass(const std::vector<UniqueFd>& devices, HatState& hat, Queue<Action>& queue) {
  unsigned char buffer[kReadBufferSize];
  bool delivered = false;
  for (const UniqueFd& device : devices) {
    ssize_t n = ::read(device.get(), buffer, sizeof buffer);
    if (n < static_cast<ssize_t>(kInputEventSize)) continue;
    delivered = true;
    for (const RecordAction& found : read_actions(hat, buffer, static_cast<size_t>(n))) {
      if (found.event.type == kEvKey) {
        logf("[Input-Device] EV_KEY code: {} value: {} -> action: {}", found.event.code,
             found.event.value, action_name(found.action));
      }
      queue.send(found.action);
    }
  }
  return delivered;
}

}  // namespace

InputEvent decode_input_event(const unsigned char* bytes) {
  InputEvent event;
  std::memcpy(&event.type, bytes + 16, sizeof event.type);
  std::memcpy(&event.code, bytes + 18, sizeof event.code);
  std::memcpy(&event.value, bytes + 20, sizeof event.value);
  return event;
}

std::optional<Action> key_code_action(uint16_t code) {
  for (const KeyCode& entry : kKeyCodes) {
    if (entry.code == code) return entry.action;
  }
  return std::nullopt;
}

std::optional<Action> event_action(HatState& hat, const InputEvent& event) {
  if (event.type == kEvKey) {
    if (event.value != 1 && event.value != 2) return std::nullopt;
    return key_code_action(event.code);
  }
  if (event.type == kEvAbs) {
    if (event.code == kAbsHat0Y) return hat_move(hat.last_y, event.value, Action::Up, Action::Down);
    if (event.code == kAbsHat0X) return hat_move(hat.last_x, event.value, Action::Left, Action::Right);
  }
  return std::nullopt;
}

std::vector<RecordAction> read_actions(HatState& hat, const unsigned char* bytes, size_t size) {
  std::vector<RecordAction> found;
  for (size_t offset = 0; size - offset >= kInputEventSize; offset += kInputEventSize) {
    InputEvent event = decode_input_event(bytes + offset);
    if (std::optional<Action> action = event_action(hat, event)) found.push_back({event, *action});
  }
  return found;
}

void key_device_reader(QueueHandle<Action> queue, const std::string& event_prefix) {
  std::vector<UniqueFd> devices = open_devices(event_prefix);
  if (devices.empty()) {
    log_line("[Input] No /dev/input/event* devices found.");
    return;
  }
  discard_pending(devices);
  HatState hat;
  for (;;) {
    if (!read_pass(devices, hat, *queue)) std::this_thread::sleep_for(kIdlePause);
  }
}

}  // namespace ze
