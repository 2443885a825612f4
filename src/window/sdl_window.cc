// The desktop window drawn with SDL2: one streaming texture of the screen's
// size that each `present` updates where the frame changed, copied to the
// window at the fitted size and shown.
#include <SDL.h>

#include <cstdlib>
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

class SdlWindow final : public DesktopWindow {
 public:
  SdlWindow(SDL_Window* window, SDL_Renderer* renderer, SDL_Texture* texture,
            QueueHandle<Action> actions)
      : window_(window), renderer_(renderer), texture_(texture), actions_(std::move(actions)) {}

  void show(const uint32_t* pixels, uint32_t width, uint32_t height,
            std::span<const Rect> changed) override {
    for (const Rect& rect : changed) {
      if (rect.empty()) continue;
      SDL_Rect area{rect.x, rect.y, rect.w, rect.h};
      SDL_UpdateTexture(texture_, &area, pixels + size_t{rect.y} * width + rect.x,
                        int(width * 4));
      stale_ = true;
    }
    if (stale_) redraw(width, height);
  }

  void take_events() override {
    SDL_Event event;
    while (SDL_PollEvent(&event)) handle(event);
    if (std::optional<int32_t> key = repeat_.due(now())) send_key(*key);
  }

 private:
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

  void redraw(uint32_t width, uint32_t height) {
    int area_width = 0, area_height = 0;
    SDL_GetRendererOutputSize(renderer_, &area_width, &area_height);
    ViewRect view = fit_screen(width, height, area_width, area_height);
    bool whole_multiple = view.width % int(width) == 0;
    SDL_SetTextureScaleMode(texture_, whole_multiple ? SDL_ScaleModeNearest : SDL_ScaleModeLinear);
    SDL_SetRenderDrawColor(renderer_, (kBorderColour >> 16) & 0xFF, (kBorderColour >> 8) & 0xFF,
                           kBorderColour & 0xFF, 0xFF);
    SDL_RenderClear(renderer_);
    SDL_Rect target{view.x, view.y, view.width, view.height};
    SDL_RenderCopy(renderer_, texture_, nullptr, &target);
    SDL_RenderPresent(renderer_);
    stale_ = false;
  }

  SDL_Window* window_;
  SDL_Renderer* renderer_;
  SDL_Texture* texture_;
  QueueHandle<Action> actions_;
  KeyRepeat repeat_;
  bool stale_ = true;  // the window does not show the texture yet
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
  // No wait for the display's refresh: the main loop paces the frames.
  SDL_Renderer* renderer = SDL_CreateRenderer(window, -1, 0);
  if (renderer == nullptr) {
    auto none = fail("renderer");
    SDL_DestroyWindow(window);
    return none;
  }
  SDL_Texture* texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888,
                                           SDL_TEXTUREACCESS_STREAMING, width, height);
  if (texture == nullptr) {
    auto none = fail("texture");
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    return none;
  }
  SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_NONE);
  SDL_RendererInfo info{};
  SDL_GetRendererInfo(renderer, &info);
  logf("[Framebuffer] Desktop window: {}x{} ({} renderer, {} video)", width, height,
       info.name != nullptr ? info.name : "unknown", SDL_GetCurrentVideoDriver());
  auto desktop = std::make_unique<SdlWindow>(window, renderer, texture, std::move(actions));
  framebuffer.attach_sink(desktop.get());
  return desktop;
}

}  // namespace ze
