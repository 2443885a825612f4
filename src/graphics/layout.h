// Layout arithmetic and the texts of the screens, as plain functions of
// plain values: list geometry and scrolling, the dial scale, channel badge
// colours and texts, name shortening, pill and status texts, clock texts and
// the animated meter levels. Pure; used by the screen drawing code.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "catalog/records.h"
#include "graphics/frame_inputs.h"
#include "graphics/region.h"
#include "graphics/screen_state.h"
#include "player/playback_status.h"

namespace ze {

// The channel list on the left: its width and height, and how many rows of
// 62 pixels at a pitch of 68 fit from y = 92 down to the footer.
struct ListGeometry {
  int width = 0;         // lw
  int height = 0;        // lh
  int visible_rows = 1;  // at least 1
};
ListGeometry list_geometry(int screen_width, int screen_height);
inline constexpr int kListTop = 92;
inline constexpr int kRowPitch = 68;
inline constexpr int kRowHeight = 62;

// The detail panel right of the list: every place its drawing and its
// damage description share, worked out once so that the two cannot drift.
struct DetailPanelGeometry {
  Rect card;               // the panel's card; drawn only when has_card
  bool has_card = false;   // the screen leaves room for it
  int x = 0;               // left edge of the panel's contents
  int text_width = 0;      // the name and description are cut to it
  Rect badge;              // the station's badge
  int status_x = 0;        // the playback status label
  int meter_y = 0;         // the two meters, side by side
  int meter_width = 0;
  int meter_gap = 0;
  int value_right = 0;     // right edge of the facts' values
  Rect bars;               // the level bars at the bottom
};
DetailPanelGeometry detail_panel_geometry(int screen_width, const ListGeometry& list);

// The now-playing view's card, centred on the screen.
struct NowPlayingGeometry {
  Rect card;
  int x = 0;            // left edge of the card's contents' column
  int y = 0;            // the station name's row
  int text_width = 0;   // the name is cut to it
  int meter_x = 0;      // the two meters, side by side
  int meter_y = 0;
  int meter_width = 0;
  int meter_gap = 0;
  Rect bars;            // the level bars under the meters
  int info_y = 0;       // listening time and sleep timer
  int title_y = 0;      // the song's title and artist, when there is a title
  int artist_y = 0;
};
// With a title, the card makes room for it and its artist under the
// station's name: the meters, bars and info line move down.
NowPlayingGeometry now_playing_geometry(int screen_width, int screen_height, bool titled = false);

// The footer's status line and its moving bars.
struct FooterGeometry {
  Rect band;        // the status line's band
  int status_y = 0; // the status text's row
  Rect bars;        // the playing status's level bars
  int keys_y = 0;   // the key help and the volume
  int volume_right = 0;
};
FooterGeometry footer_geometry(int screen_width, int screen_height);

// Index of the first row shown: the selection stays on the last visible row
// once it passes the first page.
size_t first_visible_row(size_t selection, int visible_rows);

// Column of `mhz` on the dial scale (87 to 108 MHz over 32 .. W - 32).
int dial_x(float mhz, int screen_width);
// Column of the needle: the dial position held to the scale's ends.
int needle_x(float dial_position, int screen_width);

// A catalog colour text: an optional "+" and 1 to 8 hexadecimal digits.
std::optional<uint32_t> parse_colour_text(std::string_view text);
// Opaque badge colour of a channel; red for an invalid colour text.
uint32_t badge_colour(const Channel& channel);
// The short name, or the name up to its first "-" when there is none.
std::string badge_text(const Channel& channel);

// `text` cut a whole character at a time while it is wider than `max_width`
// and longer than 3 bytes, with "..." appended when anything was cut. A
// text's width is the sum of its characters' advances, added in order and
// cut to whole pixels, as Renderer::measure_text gives it. One pass over the
// text: names of any length cost a frame little.
std::string shorten_to_width(std::string_view text, int64_t max_width,
                             const std::function<float(char32_t)>& advance);

// `text` as it fits `max_width`: whole, or cut a whole character at a time
// with "…" after it so that both fit (nothing when not even "…" fits). One
// pass over the text.
std::string fit_with_ellipsis(std::string_view text, int64_t max_width,
                              const std::function<float(char32_t)>& advance);

// What the screens show of the engine's now-playing document while the
// station `station_name` plays: a title that only repeats the station's
// name counts as none; the format rows ("128 kbps • MP3 / ICY",
// "44.1 kHz Stereo • ALSA") once the codec and the rate are known; the
// history with each start time as `clock` writes it.
StreamReport stream_report(const NowPlaying& now, std::string_view station_name,
                           const std::function<std::string(uint64_t)>& clock);

// "Tắt", "15m", "30m", "45m", "60m" for the sleep options 0 to 4.
std::string_view sleep_label(uint8_t option);
// The sleep pill's text: the remaining mm:ss while running, else the label.
std::string sleep_pill_text(uint8_t option, bool active, uint64_t remaining);

// A server's version as shown: "v" and the version, whose own leading "v"s
// ("v1.0.1", as servers often write it) are not repeated.
std::string version_label(std::string_view version);

// The share of `total` bytes that `received` makes, 0 to 1; 0 while the
// total is not known.
float download_share(uint64_t received, uint64_t total);
// The download's whole percentage, cut: of its bytes when its size is
// known, else of its progress (0 to 1; below 0 and not a number give 0).
uint32_t download_percent(const UpdateStatus& update);
// The figures under the download's bar: "1.3 / 3.6 MB", or "1.3 MB" while
// the size is not known; nothing before the first byte of an unknown size.
std::string download_figures(const UpdateStatus& update);

// The filled stretch of the download's bar, `track_width` pixels long:
// from its left end to the progress made, or, while the size is not known,
// a quarter of the track that sweeps from end to end and back once every
// two seconds of frames.
struct BarFill {
  int offset = 0;
  int width = 0;  // 0: the track alone
};
inline constexpr uint32_t kBarSweepFrames = 60;
BarFill download_bar_fill(const UpdateStatus& update, int track_width, uint32_t frame);

struct Pill {
  std::string text;
  uint32_t colour = 0;
};
Pill update_pill(const UpdateStatus& update);

// The status label of the panel and the now-playing view.
struct StatusLabel {
  std::string_view text;
  uint32_t colour = 0;
};
StatusLabel status_label(PlaybackStatus::Kind kind);

// "mm:ss" within the hour, and "hh:mm:ss".
std::string clock_minutes_seconds(uint64_t seconds);
std::string clock_hours_minutes_seconds(uint64_t seconds);

// The two animated VU levels (0 to 1) for a playback state and frame.
std::pair<float, float> vu_levels(PlaybackStatus::Kind kind, uint32_t frame);

}  // namespace ze
