// Builds without SDL2 (the console's) have no desktop window.
#include <cstdlib>

#include "base/log.h"
#include "window/desktop_window.h"

namespace ze {

std::unique_ptr<DesktopWindow> open_desktop_window(Framebuffer& framebuffer,
                                                   QueueHandle<Action>) {
  if (wants_desktop_window(framebuffer.simulator(), std::getenv("WAYLAND_DISPLAY"),
                           std::getenv("DISPLAY"), std::getenv("ZE_RADIO_WINDOW"))) {
    log_line("[Framebuffer] Notice: this build has no desktop window (built without SDL2).");
  }
  return nullptr;
}

}  // namespace ze
