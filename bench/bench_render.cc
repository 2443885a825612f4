// Cost of one frame at 1280 x 720: render_frame for each screen, and the
// clear + present that every frame pays, presenting into memory that stands
// in for the device mapping.
#include <benchmark/benchmark.h>

#include "catalog/catalog_loader.h"
#include "graphics/screens.h"
#include "tools/snapshot/scenario.h"

namespace ze {
namespace {

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;

std::unique_ptr<SnapshotFrame> frame_for(Screen screen) {
  Scenario s;
  s.screen = screen;
  s.playback = PlaybackStatus::playing("VOV1 - Thời sự & Chính trị");
  s.update.kind = UpdateStatus::Kind::UpdateAvailable;
  s.update.version = "1.2.0";
  s.sleep_option = 2;
  s.sleep_active = true;
  s.sleep_remaining = 900;
  s.volume_counter = 30;
  s.favorites = {"vov1"};
  auto catalog = parse_catalog(builtin_catalog_text());
  return make_frame(s, std::move(*catalog));
}

void render(benchmark::State& state, Screen screen) {
  auto fb = Framebuffer::simulated(kWidth, kHeight);
  Renderer renderer(fb);
  auto frame = frame_for(screen);
  for (auto _ : state) {
    // The animations move every frame, as in the player.
    ++frame->inputs.frame_counter;
    render_frame(renderer, frame->inputs);
    benchmark::DoNotOptimize(fb.pixels());
  }
}

void BM_RenderChannelList(benchmark::State& state) { render(state, Screen::ChannelList); }
void BM_RenderNowPlaying(benchmark::State& state) { render(state, Screen::NowPlaying); }
void BM_RenderUpdateDialog(benchmark::State& state) { render(state, Screen::UpdateDialog); }
void BM_RenderExitDialog(benchmark::State& state) { render(state, Screen::ExitDialog); }

std::string repeated(std::string_view piece, size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += piece;
  return text;
}

// A station whose texts came from a hostile catalog: a name and a
// description of 20,000 characters and a 100 KB frequency text, derived and
// drawn every frame as the player does.
void render_long_texts(benchmark::State& state, Screen screen) {
  ChannelCatalog catalog;
  catalog.categories = {{"all", "Tất Cả", "All Channels"}};
  Channel channel;
  channel.id = "long";
  channel.category = "all";
  channel.name = repeated("Thời sự ", 20000 * 9 / 8);  // 8 characters in 9 bytes
  channel.description = channel.name;
  channel.frequency = repeated("FM 100.0 MHz ", 100000);
  catalog.channels = {channel};
  Scenario s;
  s.screen = screen;
  s.playback = PlaybackStatus::playing(channel.name);
  auto frame = make_frame(s, std::move(catalog));
  auto fb = Framebuffer::simulated(kWidth, kHeight);
  Renderer renderer(fb);
  for (auto _ : state) {
    ++frame->state.frame_counter;
    frame->lists = derive_frame_lists(frame->catalog, frame->favorites, frame->state);
    frame->inputs = make_frame_inputs(frame->state, frame->lists, frame->favorites, s.playback,
                                      s.volume, s.listening_seconds);
    render_frame(renderer, frame->inputs);
    benchmark::DoNotOptimize(fb.pixels());
  }
}

void BM_RenderLongTextsChannelList(benchmark::State& state) {
  render_long_texts(state, Screen::ChannelList);
}
void BM_RenderLongTextsNowPlaying(benchmark::State& state) {
  render_long_texts(state, Screen::NowPlaying);
}

void BM_ClearAndPresent(benchmark::State& state) {
  std::vector<uint8_t> device(size_t(kWidth) * kHeight * 4);
  auto fb = Framebuffer::with_memory(kWidth, kHeight, kWidth * 4, device);
  Renderer renderer(fb);
  for (auto _ : state) {
    renderer.clear(0xFF0F172A);
    fb.present();
    benchmark::DoNotOptimize(device.data());
  }
}

void BM_ClearAndPresentPaddedRows(benchmark::State& state) {
  const uint32_t stride = kWidth * 4 + 256;
  std::vector<uint8_t> device(size_t(stride) * kHeight);
  auto fb = Framebuffer::with_memory(kWidth, kHeight, stride, device);
  Renderer renderer(fb);
  for (auto _ : state) {
    renderer.clear(0xFF0F172A);
    fb.present();
    benchmark::DoNotOptimize(device.data());
  }
}

void BM_DimScreen(benchmark::State& state) {
  auto fb = Framebuffer::simulated(kWidth, kHeight);
  Renderer renderer(fb);
  for (auto _ : state) {
    renderer.dim_screen();
    benchmark::DoNotOptimize(fb.pixels());
  }
}

BENCHMARK(BM_RenderChannelList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderNowPlaying)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderUpdateDialog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderExitDialog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderLongTextsChannelList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RenderLongTextsNowPlaying)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DimScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClearAndPresent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClearAndPresentPaddedRows)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ze

BENCHMARK_MAIN();
