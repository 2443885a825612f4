#include "player/state_record.h"

#include "formats/json_document.h"

namespace ze {

using json::Need;

template <typename Fields, json::Describes<PersistedState> Self>
static void describe(Fields& fields, Self& state) {
  fields.field("station_id", state.station_id, Need::Required);
  fields.field("station_name", state.station_name, Need::Required);
  fields.field("stream_url", state.stream_url, Need::Required);
  fields.field("frequency", state.frequency, Need::Required);
  fields.field("pid", state.pid, Need::Required);
  fields.field("started_at", state.started_at, Need::Required);
  fields.field("process_start", state.process_start, Need::Optional);
  fields.field("process_name", state.process_name, Need::Optional);
}

Result<PersistedState> parse_state(std::string_view text) {
  return json::read_document<PersistedState>(text, "struct PersistedState");
}

std::string write_state(const PersistedState& state) { return json::write_document(state); }

}  // namespace ze
