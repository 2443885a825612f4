// The desktop window drawn with SDL2: each `present` copies the rectangles
// of the frame that changed into the window's surface, enlarged to the
// fitted whole multiple, and sends only those to the display.
#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

#include "base/log.h"
#include "window/desktop_window.h"

namespace ze {
namespace {

constexpr const char* kTitle = "ZE-Radio";
constexpr uint32_t kBorderColour = 0xFF000000;

// The console's buttons on a desktop keyboard.
std::optional<Action> key_action(SDL_Keycode key) {
  switch (key) {
    case SDLK_UP: return Action::Up;
    case SDLK_DOWN: return Action::Down;
    case SDLK_LEFT: return Action::Left;
    case SDLK_RIGHT: return Action::Right;
    case SDLK_RETURN: case SDLK_KP_ENTER: case SDLK_SPACE: return Action::Confirm;  // A
    case SDLK_BACKSPACE: return Action::Cancel;                                    // B
    case SDLK_x: return Action::OtaUpdate;                                         // X
    case SDLK_y: return Action::ToggleFavorite;                                    // Y
    case SDLK_q: return Action::PrevCategory;                                      // L1
    case SDLK_e: return Action::NextCategory;                                      // R1
    case SDLK_MINUS: case SDLK_KP_MINUS: return Action::VolumeDown;                // L2
    case SDLK_PLUS: case SDLK_EQUALS: case SDLK_KP_PLUS: return Action::VolumeUp;  // R2
    case SDLK_TAB: return Action::NowPlayingToggle;                                // Start
    case SDLK_RSHIFT: return Action::MuteToggle;                                   // Select
    case SDLK_ESCAPE: return Action::Exit;                                         // Menu
    default: return std::nullopt;
  }
}

std::string sdl_error() { return SDL_GetError(); }

// Whether rows of the back buffer can be copied into the window's surface
// as they are: 32 bits a pixel with red, green and blue where the back
// buffer has them (the top byte is unused or opaque).
bool same_layout(const SDL_Surface& surface) {
  return surface.format->format == SDL_PIXELFORMAT_ARGB8888 ||
         surface.format->format == SDL_PIXELFORMAT_RGB888;
}

class SdlWindow final : public DesktopWindow {
 public:
  SdlWindow(SDL_Window* window, QueueHandle<Action> actions)
      : window_(window), actions_(std::move(actions)) {}
  ~SdlWindow() override {
    if (source_ != nullptr) SDL_FreeSurface(source_);
  }

  void show(const uint32_t* pixels, uint32_t width, uint32_t height,
            std::span<const Rect> changed) override {
    SDL_Surface* surface = SDL_GetWindowSurface(window_);
    if (surface == nullptr || !wrap(pixels, width, height)) return;
    ViewRect view = fit_screen(width, height, surface->w, surface->h);
    if (view.width <= 0 || view.height <= 0) return;
    const SDL_Rect whole_view{view.x, view.y, view.width, view.height};
    if (view.width % int(width) != 0 || view.height % int(height) != 0) {
      // Shrunk below the screen's size: SDL scales the whole frame.
      if (!stale_ && changed.empty()) return;
      clear_borders(*surface);
      SDL_Rect target = whole_view;
      SDL_BlitScaled(source_, nullptr, surface, &target);
      SDL_UpdateWindowSurface(window_);
      stale_ = false;
      return;
    }
    // A whole multiple: only the changed rectangles reach the window, each
    // pixel repeated `scale` times across and down. After a resize or an
    // uncovering, the whole frame.
    const int scale = view.width / int(width);
    const Rect whole{0, 0, int(width), int(height)};
    if (stale_) {
      clear_borders(*surface);
      changed = {&whole, 1};
    }
    targets_.clear();
    for (const Rect& rect : changed) {
      if (rect.empty()) continue;
      SDL_Rect target{view.x + rect.x * scale, view.y + rect.y * scale, rect.w * scale,
                      rect.h * scale};
      if (scale > 1 && same_layout(*surface)) {
        enlarge(pixels, width, rect, scale, *surface, target);
      } else {
        SDL_Rect from{rect.x, rect.y, rect.w, rect.h};
        SDL_Rect to = target;
        if (scale == 1) {
          SDL_BlitSurface(source_, &from, surface, &to);
        } else {
          SDL_BlitScaled(source_, &from, surface, &to);
        }
      }
      targets_.push_back(target);
    }
    if (stale_) {
      SDL_UpdateWindowSurface(window_);
    } else if (!targets_.empty()) {
      SDL_UpdateWindowSurfaceRects(window_, targets_.data(), int(targets_.size()));
    }
    stale_ = false;
  }

  void take_events() override {
    SDL_Event event;
    while (SDL_PollEvent(&event)) handle(event);
    if (std::optional<int32_t> key = repeat_.due(now())) send_key(*key);
  }

 private:
  static void clear_borders(SDL_Surface& surface) {
    SDL_FillRect(&surface, nullptr,
                 SDL_MapRGB(surface.format, (kBorderColour >> 16) & 0xFF,
                            (kBorderColour >> 8) & 0xFF, kBorderColour & 0xFF));
  }

  // An SDL surface over the back buffer, made again if it moved.
  bool wrap(const uint32_t* pixels, uint32_t width, uint32_t height) {
    if (source_ != nullptr && source_->pixels == pixels && source_->w == int(width) &&
        source_->h == int(height)) {
      return true;
    }
    if (source_ != nullptr) SDL_FreeSurface(source_);
    source_ = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint32_t*>(pixels), int(width),
                                                 int(height), 32, int(width * 4),
                                                 SDL_PIXELFORMAT_ARGB8888);
    if (source_ == nullptr) return false;
    SDL_SetSurfaceBlendMode(source_, SDL_BLENDMODE_NONE);
    stale_ = true;
    return true;
  }

  // Copies `rect` of the back buffer to `target` of the surface, each
  // pixel as a `scale` x `scale` square.
  static void enlarge(const uint32_t* pixels, uint32_t width, const Rect& rect, int scale,
                      SDL_Surface& surface, const SDL_Rect& target) {
    if (SDL_MUSTLOCK(&surface) && SDL_LockSurface(&surface) != 0) return;
    auto* base = static_cast<uint8_t*>(surface.pixels);
    for (int y = 0; y < rect.h; ++y) {
      const uint32_t* from = pixels + size_t(rect.y + y) * width + rect.x;
      auto* first = reinterpret_cast<uint32_t*>(
          base + size_t(target.y + y * scale) * size_t(surface.pitch) + size_t(target.x) * 4);
      for (int x = 0; x < rect.w; ++x) std::fill_n(first + x * scale, scale, from[x]);
      for (int k = 1; k < scale; ++k) {
        std::memcpy(base + size_t(target.y + y * scale + k) * size_t(surface.pitch) +
                        size_t(target.x) * 4,
                    first, size_t(target.w) * 4);
      }
    }
    if (SDL_MUSTLOCK(&surface)) SDL_UnlockSurface(&surface);
  }

  void handle(const SDL_Event& event) {
    switch (event.type) {
      case SDL_KEYDOWN:
        // The desktop's own repeats are dropped: held keys repeat at the
        // console's pace instead.
        if (event.key.repeat != 0 || !key_action(event.key.keysym.sym)) break;
        send_key(event.key.keysym.sym);
        repeat_.press(event.key.keysym.sym, now());
        break;
      case SDL_KEYUP:
        repeat_.release(event.key.keysym.sym);
        break;
      case SDL_WINDOWEVENT:
        switch (event.window.event) {
          case SDL_WINDOWEVENT_CLOSE: actions_->send(Action::Exit); break;
          case SDL_WINDOWEVENT_FOCUS_LOST: repeat_.release_all(); break;
          case SDL_WINDOWEVENT_EXPOSED:
          case SDL_WINDOWEVENT_SIZE_CHANGED: stale_ = true; break;
          default: break;
        }
        break;
      default:
        break;
    }
  }

  void send_key(SDL_Keycode key) {
    if (std::optional<Action> action = key_action(key)) actions_->send(*action);
  }

  SDL_Window* window_;
  QueueHandle<Action> actions_;
  SDL_Surface* source_ = nullptr;  // over the back buffer
  std::vector<SDL_Rect> targets_;
  KeyRepeat repeat_;
  bool stale_ = true;  // the window does not show the frame yet
};

}  // namespace

std::unique_ptr<DesktopWindow> open_desktop_window(Framebuffer& framebuffer,
                                                   QueueHandle<Action> actions) {
  if (!wants_desktop_window(framebuffer.simulator(), std::getenv("WAYLAND_DISPLAY"),
                            std::getenv("DISPLAY"), std::getenv("ZE_RADIO_WINDOW"))) {
    return nullptr;
  }
  // Ctrl-C and kill end the program as they do without a window; the
  // desktop's screen saver and compositor keep working.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
  auto fail = [](const std::string& what) -> std::unique_ptr<DesktopWindow> {
    logf("[Framebuffer] Notice: no desktop window ({}: {}).", what, sdl_error());
    return nullptr;
  };
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return fail("SDL video");
  const int width = int(framebuffer.width()), height = int(framebuffer.height());
  SDL_Window* window = SDL_CreateWindow(kTitle, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                        width, height,
                                        SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
  if (window == nullptr) return fail("window");
  // The window's own surface, sent to the display by the windowing system's
  // shared-memory images where it has them: only the changed rectangles
  // travel, and nothing is drawn with a GPU emulated in software. Where the
  // system has no such surface, SDL's own texture-backed one.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (surface == nullptr) {
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "1");
    surface = SDL_GetWindowSurface(window);
  }
  if (surface == nullptr) {
    auto none = fail("window surface");
    SDL_DestroyWindow(window);
    return none;
  }
  logf("[Framebuffer] Desktop window: {}x{} ({} surface, {} video)", width, height,
       SDL_GetPixelFormatName(surface->format->format), SDL_GetCurrentVideoDriver());
  auto desktop = std::make_unique<SdlWindow>(window, std::move(actions));
  framebuffer.attach_sink(desktop.get());
  return desktop;
}

}  // namespace ze
