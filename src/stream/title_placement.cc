#include "stream/title_placement.h"

#include "stream/icy_metadata.h"
#include "stream/id3_tags.h"
#include "stream/title_text.h"

namespace ze::stream {

void TitlePlacement::icy_block(const std::string& block, uint64_t offset) {
  std::optional<std::string> raw = icy_stream_title(block);
  if (!raw) return;
  inband_ = true;
  place({normalize_title(decode_undeclared(*raw), station_).value_or(""), ""}, offset);
}

void TitlePlacement::id3_tag(std::span<const uint8_t> tag, uint64_t offset) {
  Id3Titles titles = read_id3_titles(tag);
  if (!titles.title) return;
  inband_ = true;
  TitleChange change;
  change.title = normalize_title(*titles.title, station_).value_or("");
  if (!change.title.empty() && titles.artist) change.artist = normalize_title(*titles.artist).value_or("");
  place(std::move(change), offset);
}

void TitlePlacement::playlist_title(const std::string& raw, uint64_t offset) {
  if (inband_ || raw.empty()) return;
  std::optional<std::string> title = normalize_title(decode_undeclared(raw), station_);
  if (title) place({*title, ""}, offset);
}

void TitlePlacement::place(TitleChange change, uint64_t offset) {
  if (last_ == change) return;
  last_ = change;
  writer_.note({std::move(change), std::nullopt}, offset);
}

}  // namespace ze::stream
