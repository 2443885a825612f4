// ze-radio-icon OUT.png [SIZE]: draws the launcher icon of the player with
// its own drawing primitives: the red title badge with "ZE" above a strip
// of the frequency dial with its needle, on a rounded dark square.
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "graphics/renderer.h"
#include "tools/snapshot/png_image.h"

namespace {

[[noreturn]] void fail(int status, const std::string& message) {
  std::fprintf(stderr, "ze-radio-icon: %s\n", message.c_str());
  ze::exit_process(status);
}

void draw_icon(ze::Renderer& r, int size) {
  // Coordinates are laid out on a 128-unit grid and scaled to the size.
  auto s = [size](int units) { return units * size / 128; };
  r.clear(0x00000000);  // transparent outside the rounded square
  r.fill_rounded_rect(0, 0, size, size, s(24), 0xFF0F172A);

  r.fill_rounded_rect(s(14), s(12), s(100), s(50), s(12), 0xFFE11D48);
  float text_size = float(s(40));
  int text_width = static_cast<int>(r.measure_text("ZE", text_size));
  r.draw_text("ZE", (size - text_width) / 2, s(15), 0xFFFFFFFF, text_size);

  const int left = s(12), top = s(72), width = size - 2 * s(12), height = s(42);
  r.fill_rounded_rect(left, top, width, height, s(8), 0xFF090D16);
  r.fill_rect(left, top, width, 1, 0xFF334155);
  r.fill_rect(left, top + height - 1, width, 1, 0xFF334155);
  for (int i = 0; i <= 10; ++i) {
    int x = left + s(8) + i * (width - 2 * s(8)) / 10;
    r.draw_line(x, top + s(6), x, top + s(i % 2 == 0 ? 16 : 11), 0xFF64748B);
  }
  r.draw_level_bars(left + s(8), top + s(20), width - 2 * s(8), s(16), 7, true);
  int needle = left + width * 62 / 100;
  r.fill_rect(needle, top + s(3), std::max(2, s(3)), height - s(6), 0xFFEF4444);
  r.fill_circle(needle + std::max(2, s(3)) / 2, top + height - s(6), std::max(2, s(4)),
                0xFFEF4444);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) fail(2, "usage: ze-radio-icon OUT.png [SIZE]");
  int size = 128;
  if (argc == 3) {
    char* end = nullptr;
    long value = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || value < 16 || value > 1024) {
      fail(2, "SIZE must be a whole number from 16 to 1024");
    }
    size = static_cast<int>(value);
  }
  auto fb = ze::Framebuffer::simulated(uint32_t(size), uint32_t(size));
  ze::Renderer renderer(fb);
  draw_icon(renderer, size);
  auto written = ze::write_png_with_alpha(argv[1], fb.pixels(), fb.width(), fb.height());
  if (!written) fail(1, written.error());
  ze::exit_process(0);
}
