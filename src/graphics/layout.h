// Layout arithmetic and the texts of the screens, as plain functions of
// plain values: the geometry of every part, scrolling, the dial scale, channel badge
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
#include "formats/now_playing.h"
#include "graphics/frame_inputs.h"
#include "graphics/region.h"
#include "graphics/screen_state.h"
#include "player/playback_status.h"

namespace ze {

// The geometry of every part of the screens: each position is written once,
// here, and both the drawing of a part and the description of what it can
// touch are worked out from it, so that the two cannot drift.

// Where a text goes: its pen's start, its line's top and its size. A text
// centred or right-aligned says in its geometry what its x stands for.
struct TextSpot {
  int x = 0;
  int y = 0;
  float size = 0.0f;
};

// An analogue meter is this high whatever its width.
inline constexpr int kMeterHeight = 76;

// The header band: the program's badge, the category switcher centred on
// the screen, and the pills right-aligned up to `pills_right`.
struct HeaderGeometry {
  Rect band;
  Rect rule;            // the line under the band
  Rect badge;
  TextSpot title;       // in the badge
  TextSpot switcher;    // centred on the screen: x is its left edge
  int pill_y = 0;
  int pill_height = 0;
  TextSpot pill_text;   // x is the pills' right end
};
HeaderGeometry header_geometry(int screen_width);

// The dial's needle at column nx: a line down the scale, a knob at its foot.
struct DialNeedle {
  Rect line;
  Rect knob;
};
DialNeedle dial_needle(int nx);

// The channel list on the left: its width and height, and how many rows of
// 62 pixels at a pitch of 68 fit from y = 92 down to the footer.
struct ListGeometry {
  int width = 0;         // lw
  int height = 0;        // lh
  int visible_rows = 1;  // at least 1
  Rect column;           // where the rows stand; an empty tab fills it
  TextSpot empty;        // the message of an empty tab
};
ListGeometry list_geometry(int screen_width, int screen_height);
inline constexpr int kListTop = 92;
inline constexpr int kRowPitch = 68;
inline constexpr int kRowHeight = 62;

// One row of the list, the `index`th from the top of the column.
struct RowGeometry {
  Rect box;
  Rect badge;
  TextSpot badge_text;  // centred on the badge: x is the badge's
  TextSpot name;
  TextSpot frequency;
  Rect bars;            // the playing station's level bars
  TextSpot loading;     // the connecting station's mark
};
RowGeometry row_geometry(const ListGeometry& list, int index);

// The detail panel right of the list.
struct DetailPanelGeometry {
  Rect card;               // the panel's card; drawn only when has_card
  bool has_card = false;   // the screen leaves room for it
  int x = 0;               // left edge of the panel's contents
  int text_width = 0;      // the name and description are cut to it
  TextSpot empty;          // the message shown when no channel is selected
  Rect badge;              // the station's badge
  TextSpot badge_text;     // centred on the badge: x is the badge's
  TextSpot status;         // the playback status label
  TextSpot name;
  TextSpot description;
  Rect meters[2];          // left and right, side by side
  int value_right = 0;     // right edge of the facts' values
  Rect bars;               // the level bars at the bottom
};
DetailPanelGeometry detail_panel_geometry(int screen_width, const ListGeometry& list);

// The now-playing view: a band above and below, and a card centred on the
// screen.
struct NowPlayingGeometry {
  Rect top_band;
  TextSpot heading;     // in the top band
  Rect card;
  int text_width = 0;   // the name, title and artist are cut to it
  TextSpot name;        // the station's name, at the left of the column
  TextSpot frequency;
  TextSpot status;      // right-aligned: x is the column's right end
  TextSpot title;       // the song's title and artist, when there is a title
  TextSpot artist;
  Rect meters[2];       // left and right, side by side
  Rect bars;            // the level bars under the meters
  TextSpot info;        // listening time and sleep timer, centred on the card
  Rect bottom_band;
  TextSpot keys;        // the key help
  TextSpot volume;      // right-aligned: x is its right end
};
// With a title, the card makes room for it and its artist under the
// station's name: the meters, bars and info line move down.
NowPlayingGeometry now_playing_geometry(int screen_width, int screen_height, bool titled = false);

// The footer: the status line with its light and moving bars, and the key
// help with the volume under it.
struct FooterGeometry {
  Rect panel;           // the footer's band, a rule on its top row
  Rect rule;
  Rect band;            // the status line's band
  Rect light;           // the status light
  TextSpot status;      // the status text beside the light
  int playing_x = 0;    // where it starts beside the bars while playing
  Rect bars;            // the playing status's level bars
  int right = 0;        // right end of the status text and the volume
  TextSpot keys;        // the key help
  TextSpot volume;      // right-aligned: x is its right end
};
FooterGeometry footer_geometry(int screen_width, int screen_height);

// The update and exit dialogs: a box at most `max_width` wide, centred on
// the screen, with its title in a badge at its top left and the texts in a
// column inside it.
struct DialogGeometry {
  Rect box;
  Rect title_badge;
  TextSpot title;
  int text_x = 0;       // the texts' column
  int text_width = 0;   // the room the column leaves in the box
};
DialogGeometry dialog_geometry(int screen_width, int screen_height, int max_width);

// The volume notice over the header: a box with the volume centred in it
// and a bar under the text.
struct NoticeGeometry {
  Rect box;
  TextSpot text;        // centred on the box: x is the box's
  Rect bar;             // the whole bar; the volume fills its left part
};
NoticeGeometry notice_geometry(int screen_width);

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
