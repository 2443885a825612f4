#include "graphics/framebuffer.h"

#include <cstdio>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/files.h"
#include "temp_dir.h"

namespace ze {
namespace {

// Runs `body` with standard output redirected and returns what it printed.
template <typename F>
std::string capture_stdout(F body) {
  std::fflush(stdout);
  char path[] = "/tmp/ze-fb-out-XXXXXX";
  int fd = ::mkstemp(path);
  int saved = ::dup(STDOUT_FILENO);
  ::dup2(fd, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fd);
  auto text = read_file(path);
  ::unlink(path);
  return text ? *text : std::string();
}

TEST(SimulatorForced, AcceptsOneAndTrueInAnyCaseOnly) {
  EXPECT_TRUE(simulator_forced("1"));
  EXPECT_TRUE(simulator_forced("true"));
  EXPECT_TRUE(simulator_forced("TRUE"));
  EXPECT_TRUE(simulator_forced("tRuE"));
  EXPECT_FALSE(simulator_forced(nullptr));
  EXPECT_FALSE(simulator_forced(""));
  EXPECT_FALSE(simulator_forced(" 1"));
  EXPECT_FALSE(simulator_forced("yes"));
  EXPECT_FALSE(simulator_forced("0"));
  EXPECT_FALSE(simulator_forced("true "));
  EXPECT_FALSE(simulator_forced("\xff"));
}

TEST(DeviceModel, ModelFileDecidesWhenReadableElseEnvironment) {
  EXPECT_TRUE(is_brick_model(std::string("  TrimUI Brick\n"), std::nullopt));
  EXPECT_FALSE(is_brick_model(std::string("TrimUI Smart Pro"), std::string("brick")));
  EXPECT_TRUE(is_brick_model(std::nullopt, std::string("BRICK")));
  EXPECT_FALSE(is_brick_model(std::nullopt, std::string("smartpro")));
  EXPECT_FALSE(is_brick_model(std::nullopt, std::nullopt));
  EXPECT_FALSE(is_brick_model(std::nullopt, std::string("brick\xff")));
  // A model file that is not UTF-8 text leaves the choice to the environment.
  EXPECT_TRUE(is_brick_model(std::string("smart pro\xff"), std::string("brick")));
  EXPECT_FALSE(is_brick_model(std::string("brick\xff"), std::nullopt));
  EXPECT_EQ(default_screen_size(true), (ScreenSize{1024, 768}));
  EXPECT_EQ(default_screen_size(false), (ScreenSize{1280, 720}));
}

TEST(DeviceGeometry, ReportedSizeWinsZeroKeepsDefaultsAndBogusSizeFallsBack) {
  fb_var_screeninfo var{};
  fb_fix_screeninfo fix{};
  ScreenSize defaults{1280, 720};
  auto g = device_geometry(var, fix, defaults);
  EXPECT_EQ(g.size, defaults);
  EXPECT_EQ(g.stride, 1280u * 4);
  EXPECT_FALSE(g.size_rejected);

  var.xres = 640;
  g = device_geometry(var, fix, defaults);  // yres still 0
  EXPECT_EQ(g.size, defaults);

  var.yres = 480;
  fix.line_length = 4096;
  g = device_geometry(var, fix, defaults);
  EXPECT_EQ(g.size, (ScreenSize{640, 480}));
  EXPECT_EQ(g.stride, 4096u);

  var.xres = 0xFFFFFFFF;
  var.yres = 0xFFFFFFFF;
  fix.line_length = 0;
  g = device_geometry(var, fix, defaults);
  EXPECT_TRUE(g.size_rejected);
  EXPECT_EQ(g.size, defaults);
  EXPECT_EQ(g.stride, 1280u * 4);
}

TEST(FramebufferOpen, ForcedSimulatorUsesModelDefaultsAndLogsNotice) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "model", "trimui brick").ok());
  FramebufferOptions options{dir / "fb0", dir / "model", std::string("True"), std::nullopt};
  std::optional<Framebuffer> fb;
  std::string out = capture_stdout([&] { fb.emplace(Framebuffer::open(options)); });
  EXPECT_EQ(out,
            "[Framebuffer] Notice: Could not open /dev/fb0 (Forced simulator mode). "
            "Initializing Desktop Simulator mode.\n");
  EXPECT_TRUE(fb->simulator());
  EXPECT_EQ(fb->width(), 1024u);
  EXPECT_EQ(fb->height(), 768u);
  EXPECT_EQ(fb->pixel(0, 0), 0xFF0F0F0Fu);
  EXPECT_EQ(fb->pixel(1023, 767), 0xFF0F0F0Fu);
}

TEST(FramebufferOpen, MissingDeviceLogsTheSystemErrorText) {
  testing::TempDir dir;
  FramebufferOptions options{dir / "fb0", dir / "model", std::nullopt, std::string("Brick")};
  std::optional<Framebuffer> fb;
  std::string out = capture_stdout([&] { fb.emplace(Framebuffer::open(options)); });
  EXPECT_EQ(out,
            "[Framebuffer] Notice: Could not open /dev/fb0 (No such file or directory (os error "
            "2)). Initializing Desktop Simulator mode.\n");
  EXPECT_TRUE(fb->simulator());
  EXPECT_EQ(fb->width(), 1024u);
}

TEST(FramebufferOpen, RegularFileAsDeviceGivesZeroedInfoAndFailedMapping) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "fb0", std::string(4096, '\0')).ok());
  ASSERT_TRUE(write_file(dir / "model", "smart pro").ok());
  FramebufferOptions options{dir / "fb0", dir / "model", std::string("yes"), std::string("brick")};
  std::optional<Framebuffer> fb;
  std::string out = capture_stdout([&] { fb.emplace(Framebuffer::open(options)); });
  EXPECT_EQ(out, "[Framebuffer] Warning: mmap /dev/fb0 failed. Running in emulator mode.\n");
  EXPECT_TRUE(fb->simulator());
  EXPECT_EQ(fb->width(), 1280u);
  EXPECT_EQ(fb->height(), 720u);
  EXPECT_EQ(fb->stride(), 1280u * 4);
  fb->present();  // nothing to copy to
}

TEST(FramebufferPresent, SingleCopyWhenRowsAreContiguous) {
  std::vector<uint8_t> device(4 * 3 * 4, 0xAA);
  auto fb = Framebuffer::with_memory(4, 3, 16, device);
  fb.pixels()[0] = 0x11223344;
  fb.pixels()[11] = 0xFF010203;
  fb.present();
  EXPECT_EQ(device[0], 0x44);
  EXPECT_EQ(device[3], 0x11);
  EXPECT_EQ(device[44], 0x03);
  EXPECT_EQ(device[47], 0xFF);
  EXPECT_EQ(device[4], 0x0F);
}

TEST(FramebufferPresent, RowByRowLeavesPaddingUntouched) {
  std::vector<uint8_t> device(3 * 24, 0xAA);
  auto fb = Framebuffer::with_memory(4, 3, 24, device);
  fb.present();
  for (size_t y = 0; y < 3; ++y) {
    for (size_t b = 0; b < 24; ++b) {
      EXPECT_EQ(device[y * 24 + b], b >= 16 ? 0xAA : (b % 4 == 3 ? 0xFF : 0x0F)) << y << "," << b;
    }
  }
}

TEST(FramebufferPresent, NeverWritesPastTheMapping) {
  // Room for two full rows and part of the third: only two are copied.
  std::vector<uint8_t> memory(24 * 2 + 12 + 8, 0xAA);
  std::span<uint8_t> device(memory.data(), 24 * 2 + 12);
  auto fb = Framebuffer::with_memory(4, 3, 24, device);
  fb.present();
  EXPECT_EQ(memory[24 + 15], 0xFF);
  EXPECT_EQ(memory[48], 0xAA);
  for (size_t b = device.size(); b < memory.size(); ++b) EXPECT_EQ(memory[b], 0xAA);

  std::vector<uint8_t> small(40, 0xAA);
  auto contiguous = Framebuffer::with_memory(4, 3, 16, std::span<uint8_t>(small.data(), 36));
  contiguous.present();
  EXPECT_EQ(small[31], 0xFF);
  EXPECT_EQ(small[32], 0xAA);
}

}  // namespace
}  // namespace ze
