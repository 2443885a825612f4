// The desktop window of simulator mode: every `present` shows the frame in
// an SDL window (integer scaling, aspect kept), and the window's keys are
// the console's buttons, sent to the action queue and repeated while held as
// the buttons repeat; closing the window is Exit. Opened at start-up, used by
// the main thread only; SDL2 is linked only into desktop builds.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/clock.h"
#include "base/queue.h"
#include "graphics/frame_sink.h"
#include "graphics/framebuffer.h"
#include "input/action.h"

namespace ze {

// Whether to open the window: in simulator mode, on a graphical display
// (WAYLAND_DISPLAY or DISPLAY set and not empty), unless ZE_RADIO_WINDOW is
// "0". The environment values are null when unset.
bool wants_desktop_window(bool simulator, const char* wayland_display, const char* display,
                          const char* window_env);

// Where a screen of `width` x `height` goes in a drawable area of
// `area_width` x `area_height` pixels: the largest whole multiple that fits,
// centred; when even one screen does not fit, the largest size with the
// screen's aspect that does. Empty when the area is.
struct ViewRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ViewRect&) const = default;
};
ViewRect fit_screen(uint32_t width, uint32_t height, int area_width, int area_height);

// Autorepeat of a held key, as the kernel repeats the console's buttons: the
// last key pressed repeats, first after 250 ms, then every 33 ms, until it
// is released. A late check yields one repeat, not a burst.
class KeyRepeat {
 public:
  static constexpr std::chrono::milliseconds kDelay{250};
  static constexpr std::chrono::milliseconds kPeriod{33};

  void press(int32_t key, Instant now);
  void release(int32_t key);
  void release_all() { held_.reset(); }
  // The held key when a repeat of it is due at `now`.
  std::optional<int32_t> due(Instant now);

 private:
  std::optional<int32_t> held_;
  Instant next_{};
};

class DesktopWindow : public FrameSink {
 public:
  // Takes the window's waiting events: keys and repeats become actions, a
  // close request becomes Exit, and a resized or uncovered window is redrawn.
  virtual void take_events() = 0;
};

// Opens the window for `framebuffer` when it is wanted (see above) and this
// build has one, and attaches it to the framebuffer's `present`. Null when
// there is no window; a window that cannot be opened is logged.
std::unique_ptr<DesktopWindow> open_desktop_window(Framebuffer& framebuffer,
                                                   QueueHandle<Action> actions);

}  // namespace ze
