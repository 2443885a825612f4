#include "graphics/layout.h"

#include <cmath>

#include <gtest/gtest.h>

#include "base/text.h"
#include "graphics/palette.h"
#include "graphics/renderer.h"

namespace ze {
namespace {

TEST(ListGeometry, BothConsoleSizes) {
  ListGeometry wide = list_geometry(1280, 720);
  EXPECT_EQ(wide.width, 718);
  EXPECT_EQ(wide.height, 562);
  EXPECT_EQ(wide.visible_rows, 8);
  ListGeometry brick = list_geometry(1024, 768);
  EXPECT_EQ(brick.width, 569);
  EXPECT_EQ(brick.height, 610);
  EXPECT_EQ(brick.visible_rows, 9);
  EXPECT_EQ(list_geometry(100, 50).visible_rows, 1);
}

TEST(ListGeometry, SelectionStaysOnTheLastVisibleRowPastTheFirstPage) {
  EXPECT_EQ(first_visible_row(0, 8), 0u);
  EXPECT_EQ(first_visible_row(7, 8), 0u);
  EXPECT_EQ(first_visible_row(8, 8), 1u);
  EXPECT_EQ(first_visible_row(10, 8), 3u);
  EXPECT_EQ(first_visible_row(5, 0), 5u);
}

TEST(Dial, ScaleColumnsAndNeedlePinnedToTheEnds) {
  EXPECT_EQ(dial_x(87, 1280), 32);
  EXPECT_EQ(dial_x(108, 1280), 1248);
  EXPECT_EQ(dial_x(100, 1280), 32 + 752);  // 13/21 of 1216 = 752.76
  EXPECT_EQ(needle_x(50, 1280), 32);
  EXPECT_EQ(needle_x(300, 1280), 1248);
  EXPECT_EQ(needle_x(std::nanf(""), 1280), 32);
  EXPECT_EQ(needle_x(95.5f, 1024), dial_x(95.5f, 1024));
}

TEST(ChannelBadge, ColourTextIsHexWithOptionalPlus) {
  EXPECT_EQ(parse_colour_text("10B981"), 0x10B981u);
  EXPECT_EQ(parse_colour_text("+e11d48"), 0xE11D48u);
  EXPECT_EQ(parse_colour_text("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(parse_colour_text("0"), 0u);
  for (const char* bad : {"#10B981", "", "+", "-1", "123456789", "12G", " 12", "0x12"}) {
    EXPECT_FALSE(parse_colour_text(bad)) << bad;
  }
  Channel channel;
  channel.color = "10B981";
  EXPECT_EQ(badge_colour(channel), 0xFF10B981u);
  channel.color = "#10B981";
  EXPECT_EQ(badge_colour(channel), 0xFFE11D48u);
  channel.color = "00000000";
  EXPECT_EQ(badge_colour(channel), 0xFF000000u);
}

TEST(ChannelBadge, TextFallsBackToTheNameBeforeTheFirstDash) {
  Channel channel;
  channel.name = "VOV1 - Hà Nội";
  EXPECT_EQ(badge_text(channel), "VOV1 ");
  channel.name = "Xone FM";
  EXPECT_EQ(badge_text(channel), "Xone FM");
  channel.short_name = "XONE";
  EXPECT_EQ(badge_text(channel), "XONE");
}

// The cut as it reads: remeasure the whole text after each removed
// character. The real one must give the same text in one pass.
std::string shorten_by_remeasuring(std::string text, int64_t max_width, Renderer& r, float size) {
  bool cut = false;
  while (int64_t{r.measure_text(text, size)} > max_width && text.size() > 3) {
    size_t end = text.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    cut = true;
  }
  return cut ? text + "..." : text;
}

TEST(Shortening, CutsWholeCharactersAndAppendsDots) {
  auto fb = Framebuffer::simulated(8, 8);
  Renderer renderer(fb);
  auto measure = [&](std::string_view t) { return renderer.measure_text(t, 15); };
  size_t advances = 0;
  auto advance = [&](char32_t c) {
    ++advances;
    return renderer.advance(c, 15);
  };
  std::string long_name;
  for (int i = 0; i < 200; ++i) long_name += i % 2 ? "ộ" : "a";
  const int64_t room = 718 - 136;
  std::string shown = shorten_to_width(long_name, room, advance);
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(shown.substr(shown.size() - 3), "...");
  std::string kept = shown.substr(0, shown.size() - 3);
  EXPECT_LE(measure(kept), room);
  EXPECT_EQ(long_name.compare(0, kept.size(), kept), 0);
  std::string one_more = long_name.substr(0, kept.size() + (kept.size() % 4 == 0 ? 1 : 3));
  EXPECT_GT(measure(one_more), room);

  EXPECT_EQ(shorten_to_width("VOV1 - Thời sự", room, advance), "VOV1 - Thời sự");
  // Never shorter than 3 bytes, even when nothing fits.
  EXPECT_EQ(shorten_to_width("ABCDEF", 0, advance), "ABC...");
  EXPECT_EQ(shorten_to_width("ABC", 0, advance), "ABC");

  // The same pixels as remeasuring after every cut, broken UTF-8 included.
  const std::string texts[] = {long_name, "VOV1 - Thời sự & Chính trị", "ộộộộộ", "a\x80\x80\x80\x80b",
                               "\xe1\x80" "abc\xe1\x80\x80" "def\xf0\x9f", "\x80\x80\x80\x80\x80",
                               "⭐⏰⏳ mixed ★ glyphs", ""};
  for (const std::string& text : texts) {
    for (int64_t width : {int64_t{-1}, int64_t{0}, int64_t{9}, int64_t{40}, int64_t{100}, room}) {
      EXPECT_EQ(shorten_to_width(text, width, advance),
                shorten_by_remeasuring(text, width, renderer, 15))
          << text << " in " << width;
    }
  }

  // One advance per character, however long the name.
  std::string huge(20000, 'W');
  advances = 0;
  EXPECT_EQ(shorten_to_width(huge, room, advance).size(),
            shorten_by_remeasuring(huge.substr(0, 200), room, renderer, 15).size());
  EXPECT_EQ(advances, huge.size());
}

TEST(Shortening, TitlesAreCutToTheirBoxWithAnEllipsis) {
  auto fb = Framebuffer::simulated(8, 8);
  Renderer renderer(fb);
  auto advance = [&](char32_t c) { return renderer.advance(c, 16); };
  auto measure = [&](std::string_view t) { return int64_t{renderer.measure_text(t, 16)}; };
  const std::string title = "Những bài hát hay nhất của Sơn Tùng M-TP và Mỹ Tâm";
  for (int64_t room : {int64_t{-1}, int64_t{5}, int64_t{30}, int64_t{200}, measure(title) - 1, measure(title)}) {
    std::string shown = fit_with_ellipsis(title, room, advance);
    SCOPED_TRACE(room);
    EXPECT_LE(measure(shown), std::max<int64_t>(room, 0));
    if (shown == title) {
      EXPECT_LE(measure(title), room);
      continue;
    }
    if (shown.empty()) {
      EXPECT_LT(room, measure("…"));
      continue;
    }
    ASSERT_EQ(shown.substr(shown.size() - 3), "…");
    std::string kept = shown.substr(0, shown.size() - 3);
    EXPECT_EQ(title.compare(0, kept.size(), kept), 0);
    // Not one more character would have fitted.
    size_t next = kept.size();
    decode_utf8(title, next);
    EXPECT_GT(measure(title.substr(0, next) + "…"), room);
  }
}

TEST(StreamReport, TheDocumentBecomesTheScreensTexts) {
  NowPlaying now;
  now.title = "Lạc Trôi";
  now.artist = "Sơn Tùng M-TP";
  now.history = {{"Lạc Trôi", "Sơn Tùng M-TP", 3600}, {"VOV Giao thông", "", 60}, {"Old", "", 0}};
  now.codec = "HE-AAC v2";
  now.bitrate = 47600;
  now.carrier = "HLS";
  now.sample_rate = 44100;
  now.channels = 2;
  now.output = "ALSA";
  auto clock = [](uint64_t seconds) { return std::to_string(seconds / 60); };
  StreamReport report = stream_report(now, "VOV Giao thông", clock);
  EXPECT_EQ(report.title, "Lạc Trôi");
  EXPECT_EQ(report.artist, "Sơn Tùng M-TP");
  EXPECT_EQ(report.format, "48 kbps • HE-AAC v2 / HLS");
  EXPECT_EQ(report.quality, "44.1 kHz Stereo • ALSA");
  // The station's own name is no title.
  const std::vector<StreamReport::Played> history = {{"60", "Sơn Tùng M-TP – Lạc Trôi", true},
                                                    {"0", "Old", false}};
  EXPECT_EQ(report.history, history);

  struct Facts {
    uint32_t bitrate, rate, channels;
    std::string codec, carrier, output, format, quality;
  };
  const Facts cases[] = {
      {0, 48000, 1, "MP3", "ICY", "WAV", "MP3 / ICY", "48 kHz Mono • WAV"},
      {128000, 22050, 6, "AAC-LC", "", "", "128 kbps • AAC-LC", "22.05 kHz 6 kênh"},
      {64000, 0, 0, "", "HLS", "ALSA", "", ""},  // not known yet: the fixed texts
  };
  for (const Facts& c : cases) {
    NowPlaying facts;
    facts.title = "vov giao  THÔNG";
    facts.bitrate = c.bitrate;
    facts.sample_rate = c.rate;
    facts.channels = c.channels;
    facts.codec = c.codec;
    facts.carrier = c.carrier;
    facts.output = c.output;
    StreamReport shown = stream_report(facts, "VOV Giao thông", clock);
    EXPECT_EQ(shown.format, c.format);
    EXPECT_EQ(shown.quality, c.quality);
    EXPECT_EQ(shown.title, "");
  }
}

TEST(Texts, ADownloadShowsItsBytesPercentageAndStep) {
  using Step = UpdateStatus::Step;
  struct Case {
    Step step;
    uint64_t received, total;
    const char* pill;
    const char* figures;
    BarFill fill;  // on a 480-pixel track at frame 0
  };
  const Case cases[] = {
      {Step::Download, 0, 0, "Tải 0%", "", {0, 0}},
      {Step::Download, 0, 3600000, "Tải 0%", "0.0 / 3.6 MB", {0, 0}},
      {Step::Download, 1332000, 3600000, "Tải 37%", "1.3 / 3.6 MB", {0, 177}},
      {Step::Download, 3599999, 3600000, "Tải 99%", "3.5 / 3.6 MB", {0, 479}},
      {Step::Download, 3600000, 3600000, "Tải 100%", "3.6 / 3.6 MB", {0, 480}},
      {Step::Download, 1250000, 0, "Tải 1.2 MB", "1.2 MB", {0, 120}},
      {Step::Verify, 3600000, 3600000, "Kiểm tra...", "3.6 / 3.6 MB", {0, 480}},
      {Step::Install, 3600000, 3600000, "Cài đặt...", "3.6 / 3.6 MB", {0, 480}},
  };
  for (const Case& c : cases) {
    UpdateStatus update;
    update.kind = UpdateStatus::Kind::Downloading;
    update.step = c.step;
    update.received = c.received;
    update.total = c.total;
    update.progress = download_share(c.received, c.total);
    SCOPED_TRACE(c.pill);
    EXPECT_EQ(update_pill(update).text, c.pill);
    EXPECT_EQ(update_pill(update).colour, palette::kAccent);
    EXPECT_EQ(download_figures(update), c.figures);
    BarFill fill = download_bar_fill(update, 480, 0);
    EXPECT_EQ(std::pair(fill.offset, fill.width), std::pair(c.fill.offset, c.fill.width));
  }
  EXPECT_EQ(megabytes_text(64ull * 1024 * 1024), "67.1");
  EXPECT_EQ(download_share(5, 0), 0.0f);
  EXPECT_EQ(download_share(7, 5), 1.0f);

  // Of an unknown size a quarter of the track sweeps to the far end in 60
  // frames and back in 60 more, whatever the counter's value.
  UpdateStatus unknown;
  unknown.kind = UpdateStatus::Kind::Downloading;
  unknown.received = 1;
  std::vector<int> offsets;
  for (uint32_t frame : {0u, 30u, 60u, 90u, 120u, 4294967295u}) {
    offsets.push_back(download_bar_fill(unknown, 480, frame).offset);
  }
  EXPECT_EQ(offsets, (std::vector<int>{0, 180, 360, 180, 0, 90}));
  EXPECT_EQ(download_bar_fill(unknown, 0, 5).width, 0);
}

TEST(Texts, PillsLabelsAndClocks) {
  EXPECT_EQ(sleep_pill_text(2, true, 75), "⏰ 01:15");
  EXPECT_EQ(sleep_pill_text(2, false, 75), "⏰ 30m");
  EXPECT_EQ(sleep_label(0), "Tắt");
  EXPECT_EQ(sleep_label(4), "60m");

  UpdateStatus update;
  EXPECT_EQ(update_pill(update).text, "OTA Sẵn sàng");
  update.kind = UpdateStatus::Kind::Downloading;
  update.progress = 0.5f;
  EXPECT_EQ(update_pill(update).text, "Tải 50%");
  update.progress = -3.0f;
  EXPECT_EQ(update_pill(update).text, "Tải 0%");
  update.kind = UpdateStatus::Kind::UpdateAvailable;
  update.version = "1.2.0";
  EXPECT_EQ(update_pill(update).text, "Bản v1.2.0!");
  update.version = "v1.0.1";  // as servers often write it: still one "v"
  EXPECT_EQ(update_pill(update).text, "Bản v1.0.1!");
  for (auto [version, label] : {std::pair{"1.0.1", "v1.0.1"}, {"v1.0.1", "v1.0.1"},
                                {"vv2", "v2"}, {"", "v"}, {"V3", "vV3"}}) {
    EXPECT_EQ(version_label(version), label) << version;
  }
  update.kind = UpdateStatus::Kind::ChannelsUpdated;
  update.count = 42;
  EXPECT_EQ(update_pill(update).text, "+42 Kênh!");

  EXPECT_EQ(clock_minutes_seconds(3725), "02:05");
  EXPECT_EQ(clock_hours_minutes_seconds(3725), "01:02:05");
  EXPECT_EQ(clock_hours_minutes_seconds(100 * 3600 + 1), "100:00:01");
}

TEST(VuLevels, AnimatedOnlyWhilePlayingOrConnecting) {
  auto [left, right] = vu_levels(PlaybackStatus::Kind::Playing, 0);
  EXPECT_NEAR(left, 0.6f, 1e-6);
  float b = 18.0f * 0.14f;
  EXPECT_NEAR(right, std::fabs((std::sin(b) * 0.45f + 0.5f) * 0.8f + std::cos(b * 1.9f) * 0.2f),
              1e-6);
  for (uint32_t frame = 0; frame < 2000; frame += 7) {
    auto [l, r] = vu_levels(PlaybackStatus::Kind::Playing, frame);
    EXPECT_TRUE(l >= 0.05f && l <= 0.95f && r >= 0.05f && r <= 0.95f);
    auto [cl, cr] = vu_levels(PlaybackStatus::Kind::Connecting, frame);
    EXPECT_TRUE(cl >= 0.05f && cl <= 0.18f && cr >= 0.05f && cr <= 0.18f);
  }
  EXPECT_EQ(vu_levels(PlaybackStatus::Kind::Idle, 99), std::make_pair(0.05f, 0.05f));
  EXPECT_EQ(vu_levels(PlaybackStatus::Kind::Error, 99), std::make_pair(0.05f, 0.05f));
}

}  // namespace
}  // namespace ze
