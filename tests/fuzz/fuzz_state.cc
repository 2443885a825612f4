// The background-playback state file: parsing never throws; write_state of
// an accepted record parses back to the same record and is a fixed point;
// and a record made of any UTF-8 texts and numbers survives write and parse.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "base/text.h"
#include "player/state_record.h"
#include "fuzz_check.h"

namespace {

bool same_state(const ze::PersistedState& a, const ze::PersistedState& b) {
  return a.station_id == b.station_id && a.station_name == b.station_name &&
         a.stream_url == b.stream_url && a.frequency == b.frequency && a.pid == b.pid &&
         a.started_at == b.started_at && a.process_start == b.process_start &&
         a.process_name == b.process_name;
}

void check_round_trip(const ze::PersistedState& state) {
  std::string written = ze::write_state(state);
  ze::Result<ze::PersistedState> again = ze::parse_state(written);
  FUZZ_CHECK(again.ok(), "a written state file parses");
  FUZZ_CHECK(same_state(state, *again), "a written state file parses back to itself");
  FUZZ_CHECK(ze::write_state(*again) == written, "writing a state file is a fixed point");
}

// Keeps the text only when it is valid UTF-8 (texts of the record come from
// parsed documents, so they always are); otherwise an empty text.
std::string utf8_or_empty(std::string text) {
  return ze::is_valid_utf8(text) ? text : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ze::Result<ze::PersistedState> parsed = ze::parse_state(ze::fuzz::as_text(data, size));
  if (parsed) {
    FUZZ_CHECK(ze::is_valid_utf8(ze::fuzz::as_text(data, size)),
               "an accepted state file is UTF-8");
    check_round_trip(*parsed);
  } else {
    FUZZ_CHECK(!parsed.error().empty(), "a rejected state file has an error text");
  }

  FuzzedDataProvider input(data, size);
  ze::PersistedState made;
  made.pid = input.ConsumeIntegral<uint32_t>();
  made.started_at = input.ConsumeIntegral<uint64_t>();
  if (input.ConsumeBool()) made.process_start = input.ConsumeIntegral<uint64_t>();
  if (input.ConsumeBool()) made.process_name = utf8_or_empty(input.ConsumeRandomLengthString(16));
  made.station_id = utf8_or_empty(input.ConsumeRandomLengthString(64));
  made.station_name = utf8_or_empty(input.ConsumeRandomLengthString(64));
  made.stream_url = utf8_or_empty(input.ConsumeRandomLengthString(64));
  made.frequency = utf8_or_empty(input.ConsumeRemainingBytesAsString());
  check_round_trip(made);
  return 0;
}
