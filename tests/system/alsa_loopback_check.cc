// Runs inside the qemu guest (tests/system/test_alsa_loopback.py) with the
// snd-aloop loopback card (card 0) loaded with one substream per device and
// three snd-dummy cards in models that restrict what they take (cards 1 to
// 3): plays tones through AlsaPcm on the loopback's playback side (device 0)
// while a capture thread records the other side (device 1), then checks what
// arrived; then plays on each dummy card. One line per check on standard
// output; exit status 0 when all pass.
//
// The run, in order:
//   1. the capture opens at 48 kHz; the loopback then holds every other
//      stream to that rate, so AlsaPcm asked for 44.1 kHz must get 48 kHz;
//   2. a second AlsaPcm on the busy device fails after its wait, with a clear
//      text;
//   3. 2 s of tone, a pause long enough to underrun, 1 s of tone, close with
//      drain: two bursts of exactly those lengths, at 1 kHz and the written
//      level, with no gap inside; at least one underrun recovered;
//   4. a third AlsaPcm that starts waiting while the device is still held
//      gets it once the holder closes, and plays 0.5 s of a 500 Hz tone;
//   5. the capture opens again in other layouts (32-bit with six channels,
//      24-bit in 32 stereo, 16-bit mono), to which the loopback then holds
//      the playback: AlsaPcm must play in each, and what arrives must be the
//      written tone converted, to the bit, with silence after it;
//   6. each dummy card opens in a layout and rate it takes, the kernel shows
//      those parameters, and a second of tone plays through without error.

#include <sys/ioctl.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "stream/alsa_pcm.h"

namespace {

using ze::stream::AlsaDevice;
using ze::stream::AlsaPcm;
using ze::stream::AlsaPcmOptions;
using ze::stream::alsa::FrameLayout;
using ze::stream::alsa::SampleFormat;
using Clock = std::chrono::steady_clock;
namespace alsa = ze::stream::alsa;

constexpr unsigned kRate = 48000;
constexpr double kLeftAmplitude = 0.5;   // -9.03 dBFS RMS
constexpr double kRightAmplitude = 0.25;  // -15.05 dBFS RMS
constexpr int kSilence = 64;             // a sample above this is sound

int failures = 0;

void check(bool passed, const std::string& name, const std::string& detail) {
  std::printf("CHECK %s: %s (%s)\n", name.c_str(), passed ? "PASS" : "FAIL", detail.c_str());
  std::fflush(stdout);
  if (!passed) ++failures;
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

// Records the loopback's capture side into memory until stopped.
class Capture {
 public:
  bool start(const std::string& path, FrameLayout layout = {SampleFormat::S16, 2}) {
    auto fd = alsa::open_device(path, std::chrono::milliseconds(1000));
    if (!fd.ok()) {
      check(false, "capture opens", fd.error());
      return false;
    }
    auto setup = alsa::configure(fd->get(), path, {kRate, layout.format, layout.channels}, 1);
    if (!setup.ok()) {
      check(false, "capture opens", setup.error());
      return false;
    }
    check(setup->rate == kRate && setup->layout == layout, "capture opens",
          format("rate %.0f, period %.0f, buffer %.0f", setup->rate, setup->period_frames,
                 setup->buffer_frames) + format(", %.0f channels", layout.channels));
    fd_ = std::move(fd.value());
    layout_ = layout;
    period_ = setup->period_frames;
    thread_ = std::thread([this] { run(); });
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!reading_ && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!reading_) check(false, "capture runs", "no frames within 5 s");
    return reading_;
  }

  // Stops and closes the device; returns the frames recorded, as the card
  // laid them out.
  std::vector<uint8_t> stop() {
    stop_ = true;
    thread_.join();
    fd_.reset();
    return std::move(bytes_);
  }

  // The recording of a 16-bit stereo capture as samples.
  std::vector<int16_t> stop_stereo() {
    std::vector<uint8_t> bytes = stop();
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
  }

  int overruns() const { return overruns_; }

 private:
  void run() {
    std::vector<uint8_t> chunk(period_ * layout_.frame_bytes());
    while (!stop_) {
      snd_xferi transfer{};
      transfer.buf = chunk.data();
      transfer.frames = period_;
      if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_READI_FRAMES, &transfer) != 0) {
        if (errno == EINTR) continue;
        ++overruns_;  // EPIPE: we were too slow; start over
        ::ioctl(fd_.get(), SNDRV_PCM_IOCTL_PREPARE);
        continue;
      }
      reading_ = true;
      bytes_.insert(bytes_.end(), chunk.begin(),
                    chunk.begin() + transfer.result * static_cast<long>(layout_.frame_bytes()));
    }
  }

  ze::UniqueFd fd_;
  FrameLayout layout_;
  unsigned long period_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{false};
  std::atomic<int> overruns_{0};
  std::vector<uint8_t> bytes_;
};

std::vector<int16_t> tone(double frequency, unsigned rate, double seconds) {
  std::vector<int16_t> samples;
  size_t frames = static_cast<size_t>(seconds * rate);
  for (size_t i = 0; i < frames; ++i) {
    // A cosine starts at its peak, so a burst's first frame is clearly sound.
    double wave = std::cos(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    samples.push_back(static_cast<int16_t>(std::lround(wave * kLeftAmplitude * 32767)));
    samples.push_back(static_cast<int16_t>(std::lround(wave * kRightAmplitude * 32767)));
  }
  return samples;
}

// Writes in uneven pieces, as a decoder hands out its frames.
ze::Status play(AlsaPcm& pcm, const std::vector<int16_t>& samples) {
  const size_t pieces[] = {1024, 777, 2048, 313};
  size_t at = 0;
  for (int i = 0; at < samples.size() / 2; ++i) {
    size_t count = std::min(pieces[i % 4], samples.size() / 2 - at);
    auto status = pcm.write(samples.data() + at * 2, count);
    if (!status.ok()) return status;
    at += count;
  }
  return ze::ok_status();
}

struct Burst {
  size_t first = 0;  // frame index
  size_t frames = 0;
};

// Runs of sound separated by at least 20 ms of silence.
std::vector<Burst> find_bursts(const std::vector<int16_t>& samples) {
  std::vector<Burst> bursts;
  const size_t frames = samples.size() / 2;
  const size_t min_gap = kRate / 50;
  size_t last_sound = 0;
  bool in_burst = false;
  for (size_t i = 0; i < frames; ++i) {
    if (std::abs(samples[i * 2]) <= kSilence) continue;
    if (!in_burst || i - last_sound > min_gap) {
      bursts.push_back({i, 1});
      in_burst = true;
    }
    bursts.back().frames = i - bursts.back().first + 1;
    last_sound = i;
  }
  return bursts;
}

double rms_dbfs(const std::vector<int16_t>& samples, size_t first, size_t frames, int channel) {
  double sum = 0;
  for (size_t i = first; i < first + frames; ++i) {
    double v = samples[i * 2 + channel] / 32767.0;
    sum += v * v;
  }
  return 10 * std::log10(sum / static_cast<double>(frames));
}

// Frequency from the rising zero crossings, each placed between its two
// samples.
double frequency(const std::vector<int16_t>& samples, size_t first, size_t frames) {
  double first_crossing = -1, last_crossing = -1;
  int crossings = 0;
  for (size_t i = first + 1; i < first + frames; ++i) {
    int a = samples[(i - 1) * 2], b = samples[i * 2];
    if (a < 0 && b >= 0) {
      double at = static_cast<double>(i - 1) + static_cast<double>(-a) / (b - a);
      if (crossings == 0) first_crossing = at;
      last_crossing = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * kRate / (last_crossing - first_crossing);
}

// Checks one burst against the tone that made it: length to the frame, the
// frequency, each channel's level, and no 10 ms block inside that dips.
void check_burst(const std::vector<int16_t>& samples, const Burst& burst, const std::string& name,
                 double hz, size_t expected_frames) {
  long difference = static_cast<long>(burst.frames) - static_cast<long>(expected_frames);
  // The last frame may fall near a zero crossing and read as silence.
  check(difference <= 0 && difference >= -2, name + " length",
        format("%.0f frames, %.0f written", burst.frames, expected_frames));
  size_t inner_first = burst.first + kRate / 100, inner_frames = burst.frames - kRate / 50;
  double measured = frequency(samples, inner_first, inner_frames);
  check(std::abs(measured - hz) < 0.5, name + " frequency", format("%.3f Hz", measured));
  double left = rms_dbfs(samples, inner_first, inner_frames, 0);
  double right = rms_dbfs(samples, inner_first, inner_frames, 1);
  double want_left = 20 * std::log10(kLeftAmplitude / std::sqrt(2.0));
  double want_right = 20 * std::log10(kRightAmplitude / std::sqrt(2.0));
  check(std::abs(left - want_left) < 0.1 && std::abs(right - want_right) < 0.1, name + " level",
        format("left %.2f dBFS, right %.2f dBFS, written %.2f", left, right, want_left));
  // Blocks of a whole number of periods: 10 ms at 1 kHz, 20 ms at 500 Hz.
  size_t block = static_cast<size_t>(kRate / hz * 10);
  double worst = 0;
  for (size_t at = burst.first; at + block <= burst.first + burst.frames; at += block) {
    worst = std::max(worst, std::abs(rms_dbfs(samples, at, block, 0) - want_left));
  }
  check(worst < 0.2, name + " has no gap", format("worst block %.2f dB off", worst));
}

const char* kernel_format_name(SampleFormat format) {
  switch (format) {
    case SampleFormat::S16:
      return "S16_LE";
    case SampleFormat::S24In32:
      return "S24_LE";
    case SampleFormat::S32:
      return "S32_LE";
  }
  return "?";
}

std::string layout_name(FrameLayout layout) {
  return std::string(kernel_format_name(layout.format)) + " x " + std::to_string(layout.channels);
}

// One sample of a recording in `layout`, as a signed number.
int32_t sample_at(const std::vector<uint8_t>& bytes, FrameLayout layout, size_t frame, unsigned channel) {
  const size_t size = alsa::sample_bytes(layout.format);
  const uint8_t* at = bytes.data() + frame * layout.frame_bytes() + channel * size;
  if (size == 2) {
    int16_t value;
    std::memcpy(&value, at, 2);
    return value;
  }
  int32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

// What a card in `layout` should receive for one frame of 16-bit stereo:
// the value at the format's full scale, the mean of both for mono, silence
// beyond the first two channels.
int32_t expected_sample(int16_t left, int16_t right, FrameLayout layout, unsigned channel) {
  const int64_t scale = layout.format == SampleFormat::S32       ? 65536
                        : layout.format == SampleFormat::S24In32 ? 256
                                                                 : 1;
  if (layout.channels == 1) {
    int64_t sum = int64_t{left} + right;
    return static_cast<int32_t>(scale == 1 ? (sum - (sum < 0 ? 1 : 0)) / 2 : sum * scale / 2);
  }
  if (channel > 1) return 0;
  return static_cast<int32_t>((channel == 0 ? left : right) * scale);
}

// The loopback holds its playback side to the layout its capture side was
// set to: AlsaPcm, asked for 44.1 kHz, must play in `layout` at the
// capture's rate, and what arrives must be the written tone, converted, to
// the bit, with silence after it.
void check_layout(const std::string& dir, FrameLayout layout) {
  const std::string name = "loopback in " + layout_name(layout);
  Capture capture;
  if (!capture.start(dir + "/" + alsa::pcm_file_name({0, 1}, false), layout)) return;
  AlsaPcm pcm({.device = AlsaDevice{0, 0}, .device_dir = dir,
               .busy_wait = std::chrono::milliseconds(1000)});
  auto rate = pcm.open(44100);
  check(rate.ok() && *rate == static_cast<int>(kRate) && pcm.layout() == layout, name + " is taken",
        rate.ok() ? pcm.description() : rate.error());
  if (!rate.ok()) {
    capture.stop();
    return;
  }
  auto written = tone(1000, kRate, 0.5);
  auto status = play(pcm, written);
  pcm.close(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto bytes = capture.stop();
  check(status.ok() && capture.overruns() == 0, name + " plays",
        (status.ok() ? std::string("ok") : status.error()) + format(", %.0f overruns", capture.overruns()));

  const size_t frames = bytes.size() / layout.frame_bytes();
  size_t first = 0;
  auto sounds = [&](size_t frame) {
    for (unsigned c = 0; c < layout.channels; ++c) {
      if (sample_at(bytes, layout, frame, c) != 0) return true;
    }
    return false;
  };
  while (first < frames && !sounds(first)) ++first;
  const size_t tone_frames = written.size() / 2;
  size_t differing = 0, compared = 0, first_difference = 0;
  for (size_t i = 0; i < tone_frames && first + i < frames; ++i, ++compared) {
    for (unsigned c = 0; c < layout.channels; ++c) {
      if (sample_at(bytes, layout, first + i, c) !=
          expected_sample(written[i * 2], written[i * 2 + 1], layout, c)) {
        if (differing++ == 0) first_difference = i;
        break;
      }
    }
  }
  check(compared == tone_frames && differing == 0, name + " arrives to the bit",
        format("%.0f of %.0f frames compared from frame %.0f", compared, tone_frames, first) +
            format(", %.0f differ, the first at %.0f", differing, first_difference));
  size_t after = 0;
  for (size_t i = first + tone_frames; i < frames; ++i) after += sounds(i) ? 1 : 0;
  check(after == 0 && frames > first + tone_frames, name + " is silent after the tone",
        format("%.0f of %.0f frames after it sound", after, frames - std::min(frames, first + tone_frames)));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// A snd-dummy card in a model that restricts formats, channels or rates:
// AlsaPcm asked for 44.1 kHz must open it in `layout` at `rate`, the kernel
// must show those parameters, and a second of tone must play through
// without an error, taking about a second (a dummy card consumes frames in
// real time; with a buffer as short as rme9652's, 28 ms, underruns on an
// emulated processor are recovered and counted).
void check_dummy(const std::string& dir, int card, const std::string& model, FrameLayout layout,
                 unsigned rate) {
  const std::string name = "card " + std::to_string(card) + " (" + model + ")";
  AlsaPcm pcm({.device = AlsaDevice{card, 0}, .device_dir = dir,
               .busy_wait = std::chrono::milliseconds(1000)});
  auto opened = pcm.open(44100);
  check(opened.ok() && pcm.layout() == layout && *opened == static_cast<int>(rate),
        name + " opens in " + layout_name(layout) + format(" at %.0f Hz", rate),
        opened.ok() ? pcm.description() : opened.error());
  if (!opened.ok()) return;
  const std::string proc = "/proc/asound/card" + std::to_string(card) + "/pcm0p/sub0/";
  std::string params = read_text(proc + "hw_params");
  check(params.find(std::string("format: ") + kernel_format_name(layout.format) + "\n") != std::string::npos &&
            params.find("channels: " + std::to_string(layout.channels) + "\n") != std::string::npos &&
            params.find("rate: " + std::to_string(rate) + " ") != std::string::npos,
        name + ": the kernel holds those parameters", one_line(params));
  auto started = Clock::now();
  auto status = play(pcm, tone(1000, rate, 1.0));
  std::string state = read_text(proc + "status");
  pcm.close(true);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  check(status.ok() && seconds > 0.8 && seconds < 4,
        name + " plays a second of tone",
        (status.ok() ? std::string("ok") : status.error()) + format(" in %.2f s, %.0f underrun(s); ", seconds,
                                                                     pcm.underruns()) +
            one_line(state.substr(0, state.find("trigger_time"))));
}

}  // namespace

int main() {
  const std::string dir = "/dev/snd";
  Capture capture;
  if (!capture.start(dir + "/" + ze::stream::alsa::pcm_file_name({0, 1}, false))) return 1;

  AlsaPcmOptions options{.device = std::nullopt, .device_dir = dir};
  AlsaPcm pcm(options);  // the first playback device: the loopback's device 0
  auto rate = pcm.open(44100);
  if (!rate.ok()) {
    check(false, "playback opens", rate.error());
    capture.stop();
    return 1;
  }
  check(*rate == static_cast<int>(kRate) && pcm.path() == "/dev/snd/pcmC0D0p",
        "playback takes the rate the card holds",
        format("asked 44100, got %.0f; period %.0f, buffer %.0f frames", *rate,
               pcm.period_frames(), pcm.buffer_frames()));

  // The loopback was loaded with one substream per device: a second user
  // finds it busy.
  AlsaPcm second({.device = AlsaDevice{0, 0}, .device_dir = dir,
                  .busy_wait = std::chrono::milliseconds(1000)});
  auto started = Clock::now();
  auto busy = second.open(48000);
  double waited = std::chrono::duration<double>(Clock::now() - started).count();
  check(!busy.ok() && busy.error().find("/dev/snd/pcmC0D0p: sound device is busy") == 0 &&
            waited >= 0.95 && waited < 3,
        "a busy device fails after the wait",
        (busy.ok() ? std::string("opened") : busy.error()) + format(", after %.2f s", waited));

  auto first_tone = tone(1000, kRate, 2.0);
  auto second_tone = tone(1000, kRate, 1.0);
  auto status = play(pcm, first_tone);
  check(status.ok(), "2 s of tone written", status.ok() ? "ok" : status.error());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the buffer runs dry
  status = play(pcm, second_tone);
  check(status.ok() && pcm.underruns() >= 1, "writing after an underrun",
        (status.ok() ? std::string("ok") : status.error()) +
            format(", %.0f underrun(s) recovered", pcm.underruns()));

  // A player that waits for the device while this one drains and closes.
  std::string waiter_result = "did not finish";
  std::thread waiter([&] {
    AlsaPcm third({.device = AlsaDevice{0, 0}, .device_dir = dir,
                   .busy_wait = std::chrono::milliseconds(5000)});
    auto opened = third.open(48000);
    if (!opened.ok()) {
      waiter_result = opened.error();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a clear gap between bursts
    auto played = play(third, tone(500, kRate, 0.5));
    third.close(true);
    waiter_result = played.ok() ? "ok" : played.error();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the waiter is waiting
  pcm.close(true);
  waiter.join();
  check(waiter_result == "ok", "a waiting player gets the device once it is free", waiter_result);

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto samples = capture.stop_stereo();
  check(capture.overruns() == 0, "capture kept up", format("%.0f overruns", capture.overruns()));
  auto bursts = find_bursts(samples);
  std::string found;
  for (const auto& burst : bursts) {
    found += format("%.0f+%.0f ", burst.first, burst.frames);
  }
  check(bursts.size() == 3, "three bursts arrived", found + format("of %.0f frames", samples.size() / 2));
  if (bursts.size() == 3) {
    check_burst(samples, bursts[0], "first tone", 1000, first_tone.size() / 2);
    check_burst(samples, bursts[1], "tone after the underrun", 1000, second_tone.size() / 2);
    check_burst(samples, bursts[2], "the waiting player's tone", 500, kRate / 2);
  }

  for (FrameLayout layout : {FrameLayout{SampleFormat::S32, 6}, FrameLayout{SampleFormat::S24In32, 2},
                             FrameLayout{SampleFormat::S16, 1}}) {
    check_layout(dir, layout);
  }
  check_dummy(dir, 1, "rme9652", {SampleFormat::S32, 26}, 44100);
  check_dummy(dir, 2, "ac97", {SampleFormat::S16, 2}, 48000);
  check_dummy(dir, 3, "ice1712", {SampleFormat::S32, 10}, 44100);
  std::printf("%s: %d check(s) failed\n", failures ? "FAIL" : "PASS", failures);
  return failures ? 1 : 0;
}
