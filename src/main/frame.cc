#include "main/frame.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "base/text.h"
#include "catalog/user_stations.h"

namespace ze {
namespace {

const Category kFavoritesCategory{"fav", "Yêu Thích ⭐", "Favorites ⭐"};

// `text` without any occurrence of `word`, taken left to right; one pass,
// so that a long frequency text costs the frame little.
std::string without(const std::string& text, std::string_view word) {
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, from)) {
    out.append(text, from, at - from);
    from = at + word.size();
  }
  out.append(text, from);
  return out;
}

// A decimal number: optional sign, digits with an optional fraction, an
// optional exponent.
std::optional<float> read_decimal(const std::string& piece) {
  size_t i = 0;
  auto digits = [&] {
    size_t from = i;
    while (i < piece.size() && piece[i] >= '0' && piece[i] <= '9') ++i;
    return i - from;
  };
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) ++i;
  size_t whole = digits();
  size_t fraction = 0;
  if (i < piece.size() && piece[i] == '.') {
    ++i;
    fraction = digits();
  }
  if (whole + fraction == 0) return std::nullopt;
  if (i < piece.size() && (piece[i] == 'e' || piece[i] == 'E')) {
    ++i;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
  }
  if (i != piece.size()) return std::nullopt;
  return std::strtof(piece.c_str(), nullptr);
}

}  // namespace

float dial_target_for(std::string_view frequency) {
  std::string text = to_lower(frequency);
  for (std::string_view unit : {"mhz", "khz", "fm", "am"}) text = without(text, unit);
  std::vector<std::string> pieces(1);
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    if (is_unicode_space(decode_utf8(text, pos))) {
      if (!pieces.back().empty()) pieces.emplace_back();
    } else {
      pieces.back().append(text, start, pos - start);
    }
  }
  for (const std::string& piece : pieces) {
    std::optional<float> value = read_decimal(piece);
    if (!value) continue;
    if (*value >= 87.0f && *value <= 108.0f) return *value;
    if (*value >= 500.0f && *value <= 1600.0f) return 93.0f;
  }
  return 95.0f;
}

FrameLists derive_frame_lists(const ChannelCatalog& catalog, const FavoriteSet& favorites,
                              AppState& state, std::span<const Channel> user_stations) {
  FrameLists lists;
  lists.categories = catalog.categories;
  if (!user_stations.empty()) lists.categories.push_back(kUserCategory);
  if (!favorites.empty()) lists.categories.push_back(kFavoritesCategory);
  if (state.category_index >= lists.categories.size()) state.category_index = 0;
  lists.filter_id = lists.categories.empty() ? "all" : lists.categories[state.category_index].id;

  auto shown = [&](const Channel& channel) {
    return lists.filter_id == "all"   ? true
           : lists.filter_id == "fav" ? favorites.count(channel.id) > 0
                                      : channel.category == lists.filter_id;
  };
  for (const Channel& channel : catalog.channels) {
    if (shown(channel)) lists.visible.push_back(channel);
  }
  if (lists.filter_id != "all") {
    for (const Channel& channel : user_stations) {
      if (shown(channel)) lists.visible.push_back(channel);
    }
  }
  if (!lists.visible.empty() && state.selection > lists.visible.size() - 1) {
    state.selection = lists.visible.size() - 1;
  }
  if (state.selection < lists.visible.size()) {
    lists.dial_target = dial_target_for(lists.visible[state.selection].frequency);
  }
  return lists;
}

FrameInputs make_frame_inputs(const AppState& state, const FrameLists& lists,
                              const FavoriteSet& favorites, const PlaybackStatus& playback,
                              int volume, uint64_t listening_seconds,
                              const StreamReport* stream) {
  FrameInputs inputs;
  inputs.categories = lists.categories;
  inputs.category_index = state.category_index;
  inputs.channels = lists.visible;
  inputs.selection = state.selection;
  inputs.playback = playback;
  inputs.dial_position = state.dial_position;
  inputs.update = state.update;
  inputs.screen = state.screen;
  inputs.frame_counter = state.frame_counter;
  inputs.volume = volume;
  inputs.sleep_option = state.sleep.option;
  inputs.sleep_active = state.sleep.active;
  inputs.sleep_remaining = state.sleep.remaining;
  inputs.favorites = &favorites;
  inputs.listening_seconds = listening_seconds;
  inputs.volume_counter = state.volume_counter;
  inputs.stream = stream;
  return inputs;
}

std::string local_clock(uint64_t seconds) {
  time_t time = static_cast<time_t>(std::min<uint64_t>(seconds, INT32_MAX * uint64_t{4}));
  tm local{};
  if (localtime_r(&time, &local) == nullptr) return "--:--";
  return fmt::format("{:02}:{:02}", local.tm_hour, local.tm_min);
}

const StreamReport* current_stream_report(const std::shared_ptr<const NowPlaying>& document,
                                          const PlaybackStatus& playback, StreamReportCache& cached) {
  if (document == nullptr) {
    cached.document.reset();
    return nullptr;
  }
  if (document != cached.document || playback.text != cached.station) {
    cached.document = document;
    cached.station = playback.text;
    cached.report = stream_report(*document, playback.text, local_clock);
  }
  return &cached.report;
}

}  // namespace ze
