#include "formats/now_playing.h"

#include "formats/json_document.h"

namespace ze {

using json::Need;

template <typename Fields, json::Describes<PlayedTitle> Self>
static void describe(Fields& fields, Self& played) {
  fields.field("title", played.title, Need::Required);
  fields.field("artist", played.artist, Need::Optional);
  fields.field("started_at", played.started_at, Need::Required);
}

template <typename Fields, json::Describes<NowPlaying> Self>
static void describe(Fields& fields, Self& now) {
  fields.field("title", now.title, Need::Optional);
  fields.field("artist", now.artist, Need::Optional);
  fields.list("history", now.history, "struct PlayedTitle", Need::Optional, kNowPlayingHistory);
  fields.field("station_name", now.station, Need::Optional);
  fields.field("codec", now.codec, Need::Optional);
  fields.field("bitrate", now.bitrate, Need::Optional);
  fields.field("bitrate_measured", now.bitrate_measured, Need::Optional);
  fields.field("sample_rate", now.sample_rate, Need::Optional);
  fields.field("channels", now.channels, Need::Optional);
  fields.field("carrier", now.carrier, Need::Optional);
  fields.field("output", now.output, Need::Optional);
  fields.field("output_name", now.output_name, Need::Optional);
}

Result<NowPlaying> parse_now_playing(std::string_view text) {
  return json::read_document<NowPlaying>(text, "struct NowPlaying");
}

std::string write_now_playing(const NowPlaying& now) { return json::write_document(now); }

}  // namespace ze
