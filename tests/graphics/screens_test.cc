#include "graphics/screens.h"

#include <cmath>

#include <gtest/gtest.h>

#include "graphics/layout.h"

namespace ze {
namespace {

constexpr uint32_t kBackground = 0xFF0F172A;
constexpr uint32_t kPanel = 0xFF1E293B;
constexpr uint32_t kRaised = 0xFF334155;
constexpr uint32_t kLine = 0xFF475569;
constexpr uint32_t kMuted = 0xFF94A3B8;
constexpr uint32_t kAccent = 0xFF06B6D4;
constexpr uint32_t kRed = 0xFFE11D48;
constexpr uint32_t kGreen = 0xFF10B981;
constexpr uint32_t kAmber = 0xFFF59E0B;
constexpr uint32_t kDialFace = 0xFF090D16;
constexpr uint32_t kNeedle = 0xFFEF4444;
constexpr uint32_t kCard = 0xFF0B1120;

uint32_t dimmed(uint32_t c) {
  return 0xFF000000u | (((c >> 16) & 0xFF) / 3) << 16 | (((c >> 8) & 0xFF) / 3) << 8 |
         ((c & 0xFF) / 3);
}

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override { make(1280, 720, 20); }

  void make(uint32_t w, uint32_t h, int channel_count) {
    renderer_.reset();
    fb_.emplace(Framebuffer::simulated(w, h));
    renderer_.emplace(*fb_);
    categories_ = {{"all", "Tất Cả", "All"}, {"vov", "VOV", "VOV"}};
    channels_.clear();
    for (int i = 0; i < channel_count; ++i) {
      Channel c;
      c.id = "c" + std::to_string(i);
      c.name = "Kênh số " + std::to_string(i);
      c.short_name = "K" + std::to_string(i);
      c.frequency = "FM " + std::to_string(88 + i) + ".0 MHz";
      c.color = i % 2 ? "10B981" : "#bad";
      channels_.push_back(c);
    }
    in_ = FrameInputs{};
    in_.categories = categories_;
    in_.channels = channels_;
    in_.favorites = &favorites_;
  }

  uint32_t at(int x, int y) const { return fb_->pixel(uint32_t(x), uint32_t(y)); }
  void draw() { render_frame(*renderer_, in_); }
  // Pixels of exactly `colour` inside a rectangle.
  int count(int x, int y, int w, int h, uint32_t colour) const {
    int n = 0;
    for (int j = y; j < y + h; ++j) {
      for (int i = x; i < x + w; ++i) n += at(i, j) == colour;
    }
    return n;
  }

  std::optional<Framebuffer> fb_;
  std::optional<Renderer> renderer_;
  std::vector<Category> categories_;
  std::vector<Channel> channels_;
  FavoriteSet favorites_;
  FrameInputs in_;
};

TEST_F(ScreenTest, ChannelListBandsLinesBadgeAndDial) {
  in_.dial_position = 100.0f;
  draw();
  EXPECT_EQ(at(5, 5), kPanel);            // header band
  EXPECT_EQ(at(5, 45), kLine);            // header separator
  EXPECT_EQ(at(5, 50), kBackground);
  EXPECT_EQ(at(18, 20), kRed);            // title badge
  EXPECT_EQ(at(16, 9), kPanel);           // its corner is left out
  EXPECT_EQ(at(16, 60), kRaised);         // dial border
  EXPECT_EQ(at(1263, 60), kRaised);
  EXPECT_EQ(at(20, 53), kDialFace);
  EXPECT_EQ(at(784, 54), kNeedle);        // needle at 100 MHz: 32 + 752
  EXPECT_EQ(at(785, 70), kNeedle);
  EXPECT_EQ(at(783, 54), kDialFace);
  EXPECT_EQ(at(786, 54), kDialFace);
  EXPECT_EQ(at(784, 83), kNeedle);        // knob over the border
  EXPECT_EQ(at(5, 654), kLine);           // footer separator
  EXPECT_EQ(at(5, 660), kPanel);          // footer band
  EXPECT_EQ(at(24, 673), kMuted);         // idle status disc
  EXPECT_GT(count(1180, 692, 84, 16, kAccent), 0);  // volume text
}

TEST_F(ScreenTest, NeedleIsPinnedToTheScaleEnds) {
  in_.dial_position = 20.0f;
  draw();
  EXPECT_EQ(at(32, 54), kNeedle);
  EXPECT_EQ(at(33, 54), kNeedle);
  in_.dial_position = 500.0f;
  draw();
  EXPECT_EQ(at(1248, 54), kNeedle);
  EXPECT_EQ(at(1249, 54), kNeedle);
}

TEST_F(ScreenTest, SelectedRowHasRedBorderOtherRowsALine) {
  draw();
  // Row 0 (selected) at y = 92, lw = 718.
  EXPECT_EQ(at(16, 92), kRed);
  EXPECT_EQ(at(17, 93), kRed);
  EXPECT_EQ(at(733, 120), kRed);
  EXPECT_EQ(at(732, 120), kRed);
  EXPECT_EQ(at(300, 153), kRed);
  EXPECT_EQ(at(300, 150), kRaised);
  EXPECT_EQ(at(30, 120), kRed);           // invalid colour text: red badge
  // Row 1 at y = 160.
  EXPECT_EQ(at(16, 190), kLine);
  EXPECT_EQ(at(300, 160), kLine);
  EXPECT_EQ(at(300, 221), kLine);
  EXPECT_EQ(at(733, 190), kLine);
  EXPECT_EQ(at(18, 190), kPanel);
  EXPECT_EQ(at(30, 190), kGreen);         // badge from "10B981"
  EXPECT_EQ(at(300, 225), kBackground);   // gap between rows
}

TEST_F(ScreenTest, ListScrollsSoTheSelectionIsTheLastRow) {
  in_.selection = 10;
  draw();
  // Rows 3 to 10 are shown; the selected one is the eighth at y = 568.
  EXPECT_EQ(at(16, 568), kRed);
  EXPECT_EQ(at(16, 92), kLine);
  EXPECT_EQ(at(30, 120), kGreen);         // channel 3 has a valid colour
  EXPECT_EQ(at(16, 640), kBackground);    // no ninth row
}

TEST_F(ScreenTest, BrickSizeShowsNineRows) {
  make(1024, 768, 20);
  draw();
  EXPECT_EQ(at(16, 92 + 68 * 8), kLine);
  EXPECT_EQ(at(16, 699), kBackground);  // below the ninth row, above the footer
  EXPECT_EQ(at(569 + 15, 120), kRed);     // selected border at lw + 15
  EXPECT_EQ(at(569 + 26, 92), kLine);     // panel frame
}

TEST_F(ScreenTest, FooterDiscAndRowMarkerFollowPlayback) {
  const std::pair<PlaybackStatus, uint32_t> cases[] = {
      {PlaybackStatus::idle(), kMuted},
      {PlaybackStatus::connecting("Kênh số 0"), kAmber},
      {PlaybackStatus::playing("Kênh số 0"), kGreen},
      {PlaybackStatus::error("hết giờ"), kRed}};
  for (const auto& [status, colour] : cases) {
    in_.playback = status;
    draw();
    EXPECT_EQ(at(24, 673), colour);
    bool playing = status.is(PlaybackStatus::Kind::Playing);
    bool connecting = status.is(PlaybackStatus::Kind::Connecting);
    // Level bars at (lw - 28, 112): their lowest row is never raised.
    EXPECT_EQ(at(691, 92 + 41) != kRaised, playing);
    EXPECT_EQ(count(684, 116, 50, 14, kAmber) > 0, connecting);
    // Footer bars at (38, H - 56).
    EXPECT_EQ(at(39, 720 - 56 + 17) != kPanel, playing);
  }
}

TEST_F(ScreenTest, UpdatePillColourFollowsTheUpdateStatus) {
  using Kind = UpdateStatus::Kind;
  const std::pair<Kind, uint32_t> cases[] = {
      {Kind::Idle, kRaised},          {Kind::Checking, kRaised},  {Kind::UpdateAvailable, kGreen},
      {Kind::ChannelsUpdated, kGreen}, {Kind::Downloading, kAccent}, {Kind::Error, kRed}};
  for (const auto& [kind, colour] : cases) {
    in_.update.kind = kind;
    draw();
    EXPECT_EQ(at(1280 - 17, 23), colour);
    EXPECT_EQ(at(1280 - 16, 23), kPanel);
  }
}

TEST_F(ScreenTest, SleepPillSitsRightOfTheUpdatePill) {
  in_.sleep_option = 2;
  in_.sleep_active = true;
  in_.sleep_remaining = 75;
  draw();
  int t = int(renderer_->measure_text("⏰ 01:15", 12));
  EXPECT_EQ(at(1280 - t - 32, 23), kAmber);
  EXPECT_EQ(at(1280 - t - 33, 23), kPanel);
  int r = 1280 - t - 42;
  EXPECT_EQ(at(r - 1, 23), kRaised);
  EXPECT_EQ(count(r, 9, 10, 28, kPanel), 10 * 28);
}

TEST_F(ScreenTest, DetailPanelCardBadgeMeterAndFacts) {
  draw();
  EXPECT_EQ(at(744, 92), kLine);           // frame at lw + 26
  EXPECT_EQ(at(1263, 300), kLine);
  EXPECT_EQ(at(750, 100), kCard);
  EXPECT_EQ(at(760, 120), kRed);           // badge of the selected channel
  EXPECT_GT(count(842, 114, 200, 16, kMuted), 0);  // "○ CHỜ PHÁT"
  // Idle needle of CH-L at level 0.05: -130.75 degrees from the pivot.
  float theta = (0.05f * 85.0f - 45.0f - 90.0f) * (3.1415927f / 180.0f);
  int ex = int(std::cos(theta) * 59.0f), ey = int(std::sin(theta) * 59.0f);
  EXPECT_EQ(ex, -38);
  EXPECT_EQ(ey, -44);
  EXPECT_EQ(at(879 + ex, 262 + ey), 0xFFDC2626u);
  EXPECT_EQ(at(879, 262), 0xFF94A3B8u);    // pivot
  // Five fact rows at 720; idle level bars are grey dots.
  EXPECT_GT(count(758, 358, 100, 14, kMuted), 0);
  EXPECT_GT(count(1100, 358, 150, 14, kAccent), 0);
  EXPECT_EQ(at(759, 562 + 64 + 20 - 2), kLine);
}

TEST_F(ScreenTest, FactRowsNeedRoom) {
  make(1280, 420, 3);
  draw();
  EXPECT_GT(count(758, 282, 100, 14, kMuted), 0);
  EXPECT_EQ(count(758, 301, 100, 14, kMuted), 0);
}

TEST_F(ScreenTest, EmptyListShowsThePanelAndNoSelection) {
  make(1280, 720, 0);
  draw();
  EXPECT_EQ(at(100, 300), kPanel);
  EXPECT_GT(count(40, 132, 200, 20, kMuted), 0);
  EXPECT_GT(count(764, 122, 200, 20, kMuted), 0);  // "Không có kênh chọn."
  EXPECT_EQ(count(758, 192, 200, 76, 0xFFFDF8E2), 0);  // no meters
}

TEST_F(ScreenTest, NowPlayingViewCoversHeaderAndHasNoFooter) {
  in_.screen = Screen::NowPlaying;
  in_.selection = 1;
  draw();
  EXPECT_EQ(at(18, 20), kPanel);           // header covered
  EXPECT_EQ(at(410, 250), kLine);          // card frame: cw 460, cx 410, cy 200
  EXPECT_EQ(at(411, 250), kLine);
  EXPECT_EQ(at(869, 250), kLine);
  EXPECT_EQ(at(415, 250), kCard);
  EXPECT_EQ(at(5, 660), kBackground);      // no footer
  EXPECT_EQ(at(5, 700), kPanel);           // bottom bar

  make(1280, 720, 0);
  in_.screen = Screen::NowPlaying;
  draw();
  EXPECT_EQ(at(18, 20), kRed);             // header and dial only
  EXPECT_EQ(at(5, 700), kBackground);
  EXPECT_EQ(at(410, 250), kBackground);
}

TEST_F(ScreenTest, UpdateDialogDimsTheBodyButNotTheFooter) {
  in_.screen = Screen::UpdateDialog;
  in_.update.kind = UpdateStatus::Kind::Downloading;
  in_.update.progress = 0.5f;
  draw();
  EXPECT_EQ(at(5, 100), dimmed(kBackground));
  EXPECT_EQ(dimmed(kBackground), 0xFF05070Eu);
  EXPECT_EQ(at(5, 660), kPanel);           // footer drawn after the dialog
  EXPECT_EQ(at(380, 300), kAccent);        // frame: x0 = 380, y0 = 240
  EXPECT_EQ(at(381, 300), kAccent);
  EXPECT_EQ(at(385, 300), kPanel);
  EXPECT_EQ(at(635, 370), kAccent);        // 240 of 480 track pixels filled
  EXPECT_EQ(at(641, 370), kRaised);

  in_.update.progress = 0.0f;
  draw();
  EXPECT_EQ(at(410, 370), kRaised);
}

TEST_F(ScreenTest, UpdateDialogButtonsFollowTheUpdateStatus) {
  using Kind = UpdateStatus::Kind;
  in_.screen = Screen::UpdateDialog;
  // Box at x0 = 380, y0 = 240; the first button at (400, 410), the second at (570, 410).
  const std::tuple<Kind, uint32_t, uint32_t> cases[] = {
      {Kind::UpdateAvailable, kGreen, kRaised}, {Kind::ChannelsUpdated, kAccent, kPanel},
      {Kind::Error, kRaised, kPanel},           {Kind::Downloading, kPanel, kPanel},
      {Kind::Idle, kPanel, kPanel},             {Kind::Checking, kPanel, kPanel}};
  for (const auto& [kind, first, second] : cases) {
    in_.update.kind = kind;
    draw();
    EXPECT_EQ(at(404, 412), first) << int(kind);
    EXPECT_EQ(at(574, 412), second) << int(kind);
  }
}

TEST_F(ScreenTest, StatusLabelAndExitQuestionFollowPlayback) {
  const std::pair<PlaybackStatus, uint32_t> cases[] = {
      {PlaybackStatus::idle(), kMuted},
      {PlaybackStatus::connecting("Kênh số 1"), kAmber},
      {PlaybackStatus::playing("Kênh số 1"), kGreen},
      {PlaybackStatus::error("hết giờ"), kRed}};
  auto question = [&] {
    std::vector<uint32_t> region;
    for (int y = 300; y < 322; ++y) {
      for (int x = 390; x < 890; ++x) region.push_back(at(x, y));
    }
    return region;
  };
  std::vector<std::vector<uint32_t>> questions;
  for (const auto& [status, colour] : cases) {
    in_.playback = status;
    in_.screen = Screen::ChannelList;
    draw();
    EXPECT_GT(count(842, 114, 250, 16, colour), 0);  // detail panel label
    in_.screen = Screen::NowPlaying;
    draw();
    EXPECT_GT(count(600, 234, 246, 16, colour), 0);  // view label, right-aligned
    in_.screen = Screen::ExitDialog;
    draw();
    questions.push_back(question());
  }
  // Only a playing station is named; connecting asks like idle and error.
  EXPECT_EQ(questions[0], questions[1]);
  EXPECT_EQ(questions[0], questions[3]);
  EXPECT_NE(questions[0], questions[2]);
}

TEST_F(ScreenTest, LongNamesAreCutInsideTheirBoxes) {
  std::string name;
  for (int i = 0; i < 40; ++i) name += "Đài Phát Thanh ";
  channels_[0].name = name;
  in_.playback = PlaybackStatus::playing(name);
  draw();
  EXPECT_EQ(count(1236, 140, 26, 24, kCard), 26 * 24);   // detail panel title
  EXPECT_EQ(count(1180, 660, 100, 20, kPanel), 100 * 20);  // footer line
  in_.screen = Screen::NowPlaying;
  draw();
  EXPECT_EQ(count(846, 196, 22, 30, kCard), 22 * 30);    // now-playing card
}

TEST_F(ScreenTest, ExitDialogDimsFooterAndNotice) {
  in_.screen = Screen::ExitDialog;
  in_.volume_counter = 5;
  draw();
  EXPECT_EQ(at(5, 660), dimmed(kPanel));
  EXPECT_EQ(at(540, 30), dimmed(kAccent)); // notice frame
  EXPECT_EQ(at(370, 300), kRed);           // x0 = 370, y0 = 240
  EXPECT_EQ(at(909, 300), kRed);
  EXPECT_EQ(at(375, 300), kPanel);
  EXPECT_EQ(at(400, 380), kGreen);         // wide button
}

TEST_F(ScreenTest, VolumeNoticeIsTranslucentWithATrack) {
  in_.volume_counter = 90;
  in_.volume = 55;
  draw();
  EXPECT_EQ(at(540, 30), kAccent);
  EXPECT_EQ(at(541, 30), kAccent);
  EXPECT_EQ(at(739, 30), kAccent);
  EXPECT_EQ(at(545, 45), blend(kLine, 0xEE1E293B, 0xEE));
  EXPECT_EQ(at(556 + 50, 37), kAccent);     // 55 % fills 92 pixels
  EXPECT_EQ(at(556 + 89, 37), kAccent);
  EXPECT_EQ(at(556 + 93, 37), kRaised);
}

TEST_F(ScreenTest, DialogBoxesAtSmallWidths) {
  make(500, 400, 3);
  in_.screen = Screen::ExitDialog;
  draw();
  EXPECT_EQ(at(20, 200), kRed);            // 460 wide at x0 = 20
  EXPECT_EQ(at(479, 200), kRed);
  in_.screen = Screen::UpdateDialog;
  draw();
  EXPECT_EQ(at(20, 200), kAccent);
}

}  // namespace
}  // namespace ze
