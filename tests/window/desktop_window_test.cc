#include "window/desktop_window.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(DesktopWindow, OpensOnlyInSimulatorModeOnADisplayUnlessTurnedOff) {
  struct Case {
    bool simulator;
    const char* wayland;
    const char* display;
    const char* window_env;
    bool wanted;
  } cases[] = {
      {true, nullptr, ":0", nullptr, true},
      {true, "wayland-0", nullptr, nullptr, true},
      {true, "", ":1", "1", true},
      {true, nullptr, nullptr, nullptr, false},   // no display
      {true, "", "", nullptr, false},             // set but empty
      {true, nullptr, ":0", "0", false},          // turned off
      {true, nullptr, ":0", "", true},
      {true, nullptr, ":0", "00", true},
      {false, "wayland-0", ":0", nullptr, false},  // the console's own screen
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wants_desktop_window(c.simulator, c.wayland, c.display, c.window_env), c.wanted)
        << c.simulator << " " << (c.wayland ? c.wayland : "-") << " "
        << (c.display ? c.display : "-") << " " << (c.window_env ? c.window_env : "-");
  }
}

TEST(DesktopWindow, ScreenFitsAtWholeMultiplesCentredOrShrinksWithItsAspect) {
  struct Case {
    uint32_t width, height;
    int area_width, area_height;
    ViewRect view;
  } cases[] = {
      {1280, 720, 1280, 720, {0, 0, 1280, 720}},
      {1280, 720, 2560, 1440, {0, 0, 2560, 1440}},
      {1280, 720, 2559, 1440, {639, 360, 1280, 720}},
      {1280, 720, 1920, 1080, {320, 180, 1280, 720}},
      {1280, 720, 3000, 1500, {220, 30, 2560, 1440}},
      {1024, 768, 1024, 768, {0, 0, 1024, 768}},
      {1024, 768, 1920, 1600, {448, 416, 1024, 768}},
      {1280, 720, 640, 720, {0, 180, 640, 360}},    // narrower: full width
      {1280, 720, 1280, 360, {320, 0, 640, 360}},   // lower: full height
      {1280, 720, 1, 1, {0, 0, 1, 1}},
      {1280, 720, 0, 720, {}},
      {0, 720, 1280, 720, {}},
  };
  for (const Case& c : cases) {
    ViewRect v = fit_screen(c.width, c.height, c.area_width, c.area_height);
    EXPECT_EQ(v, c.view) << c.width << "x" << c.height << " in " << c.area_width << "x"
                         << c.area_height << ": got " << v.x << "," << v.y << " " << v.width
                         << "x" << v.height;
  }
}

TEST(DesktopWindow, HeldKeyRepeatsAfterTheDelayAtTheButtonsPaceUntilReleased) {
  using std::chrono::milliseconds;
  const Instant t0{};
  KeyRepeat repeat;
  EXPECT_EQ(repeat.due(t0), std::nullopt);
  repeat.press(7, t0);
  EXPECT_EQ(repeat.due(t0 + milliseconds(249)), std::nullopt);
  EXPECT_EQ(repeat.due(t0 + milliseconds(250)), 7);
  EXPECT_EQ(repeat.due(t0 + milliseconds(266)), std::nullopt);
  EXPECT_EQ(repeat.due(t0 + milliseconds(283)), 7);
  // A check that comes late gives one repeat, and the pace starts over.
  EXPECT_EQ(repeat.due(t0 + milliseconds(1000)), 7);
  EXPECT_EQ(repeat.due(t0 + milliseconds(1016)), std::nullopt);
  EXPECT_EQ(repeat.due(t0 + milliseconds(1033)), 7);
  // Only the last key pressed repeats; releasing another key changes nothing.
  repeat.press(9, t0 + milliseconds(1040));
  EXPECT_EQ(repeat.due(t0 + milliseconds(1280)), std::nullopt);
  repeat.release(7);
  EXPECT_EQ(repeat.due(t0 + milliseconds(1290)), 9);
  repeat.release(9);
  EXPECT_EQ(repeat.due(t0 + milliseconds(2000)), std::nullopt);
  repeat.press(9, t0 + milliseconds(3000));
  repeat.release_all();
  EXPECT_EQ(repeat.due(t0 + milliseconds(4000)), std::nullopt);
}

}  // namespace
}  // namespace ze
