// The console's own devices, as the system test needs them inside the qemu
// guest (tests/system/test_console.py). One static program, five commands:
//
//   console_tool fb-info            the framebuffer's sizes and pan offset
//   console_tool fb-pan Y           pans /dev/fb0 to row Y (as a previous
//                                   program may have left it)
//   console_tool gamepad FIFO       makes a uinput gamepad with the console's
//                                   buttons and hat, then replays the lines
//                                   "key CODE VALUE" / "abs CODE VALUE" read
//                                   from FIFO, each followed by a SYN_REPORT
//   console_tool capture SECONDS [FORMAT CHANNELS]
//                                   records the snd-aloop capture side
//                                   (card 0 device 1) at 48 kHz, 16-bit
//                                   stereo or FORMAT (s16, s24, s32) with
//                                   CHANNELS, which the loopback then holds
//                                   its playback side to; prints "capturing"
//                                   once it runs, then what the first channel
//                                   carried (pitch, level, silent blocks)
//   console_tool clock SECONDS      the console's own timing: sleeps 10 ms
//                                   at a time and reports how late it woke
//                                   (longest, total, and the steps late by
//                                   more than 50 ms); an
//                                   emulator starved by its host wakes late
//                                   however little the guest has to do
//
// Results go to standard output as "key=value" pairs; the test reads them.

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "stream/alsa_pcm.h"

namespace {

constexpr unsigned kRate = 48000;

int fail(const std::string& what) {
  std::fprintf(stderr, "console_tool: %s: %s\n", what.c_str(), std::strerror(errno));
  return 1;
}

int fb_info() {
  int fd = ::open("/dev/fb0", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail("/dev/fb0");
  fb_var_screeninfo var{};
  fb_fix_screeninfo fix{};
  if (::ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) return fail("FBIOGET_VSCREENINFO");
  if (::ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) return fail("FBIOGET_FSCREENINFO");
  std::printf("xres=%u yres=%u xres_virtual=%u yres_virtual=%u xoffset=%u yoffset=%u "
              "bits_per_pixel=%u line_length=%u smem_len=%u\n",
              var.xres, var.yres, var.xres_virtual, var.yres_virtual, var.xoffset, var.yoffset,
              var.bits_per_pixel, fix.line_length, fix.smem_len);
  ::close(fd);
  return 0;
}

int fb_pan(unsigned y) {
  int fd = ::open("/dev/fb0", O_RDWR | O_CLOEXEC);
  if (fd < 0) return fail("/dev/fb0");
  fb_var_screeninfo var{};
  if (::ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) return fail("FBIOGET_VSCREENINFO");
  var.xoffset = 0;
  var.yoffset = y;
  if (::ioctl(fd, FBIOPAN_DISPLAY, &var) != 0) return fail("FBIOPAN_DISPLAY");
  ::close(fd);
  return fb_info();
}

bool emit(int fd, uint16_t type, uint16_t code, int32_t value) {
  input_event event{};
  event.type = type;
  event.code = code;
  event.value = value;
  return ::write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

// The console's buttons that a keyboard lacks, plus BTN_C and BTN_Z, which
// the player must ignore.
int gamepad(const char* fifo) {
  int fd = ::open("/dev/uinput", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return fail("/dev/uinput");
  ::ioctl(fd, UI_SET_EVBIT, EV_KEY);
  ::ioctl(fd, UI_SET_EVBIT, EV_ABS);
  for (int code = BTN_SOUTH; code <= BTN_MODE; ++code) ::ioctl(fd, UI_SET_KEYBIT, code);
  for (int axis : {ABS_HAT0X, ABS_HAT0Y}) {
    ::ioctl(fd, UI_SET_ABSBIT, axis);
    uinput_abs_setup abs{};
    abs.code = static_cast<uint16_t>(axis);
    abs.absinfo.minimum = -1;
    abs.absinfo.maximum = 1;
    if (::ioctl(fd, UI_ABS_SETUP, &abs) != 0) return fail("UI_ABS_SETUP");
  }
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.vendor = 0x5a45;
  setup.id.product = 0x0001;
  std::snprintf(setup.name, sizeof setup.name, "console gamepad");
  if (::ioctl(fd, UI_DEV_SETUP, &setup) != 0) return fail("UI_DEV_SETUP");
  if (::ioctl(fd, UI_DEV_CREATE) != 0) return fail("UI_DEV_CREATE");
  std::printf("gamepad ready\n");
  std::fflush(stdout);
  // Reopened after every writer, so any number of `echo ... > FIFO` work.
  for (;;) {
    FILE* in = std::fopen(fifo, "re");
    if (in == nullptr) return fail(fifo);
    char type[8];
    int code = 0, value = 0;
    while (std::fscanf(in, "%7s %d %d", type, &code, &value) == 3) {
      uint16_t kind = std::strcmp(type, "abs") == 0 ? EV_ABS : EV_KEY;
      if (!emit(fd, kind, static_cast<uint16_t>(code), value) || !emit(fd, EV_SYN, SYN_REPORT, 0)) {
        return fail("uinput write");
      }
    }
    std::fclose(in);
  }
}

// Records SECONDS of the loopback in LAYOUT and describes the first channel
// (at 16-bit scale): where the sound starts, its frequency from the rising
// zero crossings, its RMS level, and how many 10 ms blocks after the start
// sound or fall silent.
int capture(double seconds, ze::stream::alsa::FrameLayout layout) {
  namespace alsa = ze::stream::alsa;
  const std::string path = "/dev/snd/" + alsa::pcm_file_name({0, 1}, false);
  auto fd = alsa::open_device(path, std::chrono::milliseconds(2000));
  if (!fd.ok()) {
    std::printf("error=%s\n", fd.error().c_str());
    return 1;
  }
  // A capture starts with its first read only when that read asks for at
  // least the start threshold: one frame, so the period-sized reads start it.
  auto setup = alsa::configure(fd->get(), path, {kRate, layout.format, layout.channels}, 1);
  if (!setup.ok()) {
    std::printf("error=%s\n", setup.error().c_str());
    return 1;
  }
  std::printf("capturing\n");
  std::fflush(stdout);
  const size_t wanted = static_cast<size_t>(seconds * setup->rate);
  const size_t frame_bytes = layout.frame_bytes();
  const bool wide = layout.format != alsa::SampleFormat::S16;
  const double scale = layout.format == alsa::SampleFormat::S32       ? 65536.0
                       : layout.format == alsa::SampleFormat::S24In32 ? 256.0
                                                                      : 1.0;
  std::vector<uint8_t> chunk(setup->period_frames * frame_bytes);
  std::vector<double> left;
  int overruns = 0;
  while (left.size() < wanted) {
    snd_xferi transfer{};
    transfer.buf = chunk.data();
    transfer.frames = setup->period_frames;
    if (::ioctl(fd->get(), SNDRV_PCM_IOCTL_READI_FRAMES, &transfer) != 0) {
      if (errno == EINTR) continue;
      ++overruns;
      ::ioctl(fd->get(), SNDRV_PCM_IOCTL_PREPARE);
      continue;
    }
    for (long i = 0; i < transfer.result; ++i) {
      const uint8_t* at = chunk.data() + i * frame_bytes;
      int32_t value;
      if (wide) {
        std::memcpy(&value, at, 4);
      } else {
        int16_t narrow;
        std::memcpy(&narrow, at, 2);
        value = narrow;
      }
      left.push_back(value / scale);
    }
  }
  // 10 ms blocks from the first sound on; a block below -50 dBFS is silent.
  // Frequency and level are taken over the sounding blocks only, leaving out
  // five at each end (where a decoder's first and last frames may ring), so
  // a stream with gaps or an end still shows what it carried; gaps counts
  // the silent blocks between the first sounding block and the last.
  const size_t block = setup->rate / 100;
  size_t first = left.size();
  for (size_t i = 0; i < left.size(); ++i) {
    if (std::abs(left[i]) > 64) {
      first = i;
      break;
    }
  }
  struct Block {
    double sum = 0;
    long crossings = 0;
  };
  std::vector<Block> sounding;
  long silent_blocks = 0, gaps = 0, silent_run = 0;
  for (size_t at = first; at + block <= left.size(); at += block) {
    Block b;
    for (size_t i = at; i < at + block; ++i) {
      b.sum += left[i] * left[i] / (32767.0 * 32767.0);
      if (i > 0 && left[i - 1] < 0 && left[i] >= 0) ++b.crossings;
    }
    if (10 * std::log10(b.sum / block + 1e-12) < -50) {
      ++silent_blocks;
      ++silent_run;
      continue;
    }
    if (!sounding.empty()) gaps += silent_run;
    silent_run = 0;
    sounding.push_back(b);
  }
  const size_t trim = sounding.size() > 20 ? 5 : 0;
  double sum = 0;
  long crossings = 0;
  for (size_t i = trim; i + trim < sounding.size(); ++i) {
    sum += sounding[i].sum;
    crossings += sounding[i].crossings;
  }
  const size_t measured = sounding.size() - 2 * trim;
  double sound_seconds = double(measured * block) / setup->rate;
  double frequency = measured ? crossings / sound_seconds : 0;
  double level = measured ? 10 * std::log10(sum / double(measured * block)) : -120;
  std::printf("rate=%u frames=%zu sound_from_ms=%.0f frequency=%.2f level_dbfs=%.2f "
              "sound_blocks=%zu silent_blocks=%ld gaps=%ld overruns=%d\n",
              setup->rate, left.size(), first * 1000.0 / setup->rate, frequency, level,
              sounding.size(), silent_blocks, gaps, overruns);
  return 0;
}

// Sleeps in 10 ms steps for SECONDS on the monotonic clock and reports the
// lateness of the wake-ups: what a program that writes sound on time can
// count on in this guest just now.
int clock_watch(double seconds) {
  using namespace std::chrono;
  constexpr auto kStep = milliseconds(10);
  constexpr auto kStall = milliseconds(50);
  std::printf("watching\n");
  std::fflush(stdout);
  const auto end = steady_clock::now() + duration<double>(seconds);
  long steps = 0, stalls = 0;
  double late_ms = 0, longest_ms = 0;
  for (auto at = steady_clock::now(); at < end;) {
    const auto wanted = at + kStep;
    std::this_thread::sleep_until(wanted);
    at = steady_clock::now();
    const auto late = at - wanted;
    const double ms = duration<double, std::milli>(late).count();
    late_ms += ms;
    longest_ms = std::max(longest_ms, ms);
    if (late > kStall) ++stalls;
    ++steps;
  }
  std::printf("steps=%ld late_ms=%.0f longest_ms=%.0f stalls=%ld\n", steps, late_ms, longest_ms,
              stalls);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "fb-info" && argc == 2) return fb_info();
  if (command == "fb-pan" && argc == 3) return fb_pan(static_cast<unsigned>(std::atoi(argv[2])));
  if (command == "gamepad" && argc == 3) return gamepad(argv[2]);
  if (command == "capture" && (argc == 3 || argc == 5)) {
    ze::stream::alsa::FrameLayout layout;
    if (argc == 5) {
      std::string format = argv[3];
      layout.format = format == "s32"   ? ze::stream::alsa::SampleFormat::S32
                      : format == "s24" ? ze::stream::alsa::SampleFormat::S24In32
                                        : ze::stream::alsa::SampleFormat::S16;
      layout.channels = static_cast<unsigned>(std::atoi(argv[4]));
    }
    return capture(std::atof(argv[2]), layout);
  }
  if (command == "clock" && argc == 3) return clock_watch(std::atof(argv[2]));
  std::fprintf(stderr,
               "usage: console_tool fb-info | fb-pan Y | gamepad FIFO | "
               "capture SECONDS [s16|s24|s32 CHANNELS] | clock SECONDS\n");
  return 2;
}
