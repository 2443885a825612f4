// ze-radio-snapshot SCENARIO.json OUT.png: draws one frame of the player
// from a scenario file and writes it as a PNG picture.
#include <cstdio>

#include "base/files.h"
#include "base/log.h"
#include "catalog/catalog_loader.h"
#include "catalog/records.h"
#include "graphics/framebuffer.h"
#include "graphics/renderer.h"
#include "graphics/screens.h"
#include "tools/snapshot/png_image.h"
#include "tools/snapshot/scenario.h"

namespace {

[[noreturn]] void fail(int status, const std::string& message) {
  std::fprintf(stderr, "ze-radio-snapshot: %s\n", message.c_str());
  ze::exit_process(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) fail(2, "usage: ze-radio-snapshot SCENARIO.json OUT.png");
  auto text = ze::read_file(argv[1]);
  if (!text) fail(2, text.error());
  auto scenario = ze::parse_scenario(*text);
  if (!scenario) fail(2, std::string(argv[1]) + ": " + scenario.error());

  std::string catalog_text(ze::builtin_catalog_text());
  if (scenario->catalog_path) {
    auto file = ze::read_file(*scenario->catalog_path);
    if (!file) fail(2, "scenario key \"catalog\": " + file.error());
    catalog_text = std::move(*file);
  }
  auto catalog = ze::parse_catalog(catalog_text);
  if (!catalog) fail(2, "scenario key \"catalog\": invalid catalog: " + catalog.error());

  auto user_stations = ze::scenario_user_stations(*scenario, argv[1]);
  if (!user_stations) fail(2, user_stations.error());

  auto frame = ze::make_frame(*scenario, std::move(*catalog), std::move(*user_stations));
  auto fb = ze::Framebuffer::simulated(scenario->width, scenario->height);
  ze::Renderer renderer(fb);
  ze::render_frame(renderer, frame->inputs);
  auto written = ze::write_png(argv[2], fb.pixels(), fb.width(), fb.height());
  if (!written) fail(1, written.error());
  ze::exit_process(0);
}
