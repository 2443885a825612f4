#include "stream/alsa_pcm.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <thread>

#include "base/errors.h"

namespace ze::stream {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kChannels = 2;

// Parses a run of at most four decimal digits at the start of `text`.
std::optional<int> take_number(std::string_view& text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 4) return std::nullopt;
  int value = 0;
  std::from_chars(text.data(), text.data() + digits, value);
  text.remove_prefix(digits);
  return value;
}

Error device_error(const std::string& path, const char* what, int error) {
  return Error{path + ": " + what + ": " + errno_text(error)};
}

int refine(int fd, snd_pcm_hw_params* params) {
  params->rmask = ~0u;
  return ::ioctl(fd, SNDRV_PCM_IOCTL_HW_REFINE, params);
}

// Sets an interval parameter to the value nearest `wanted` that the device
// takes, given the choices already made in `params`, the way alsa-lib's
// set_near does: the exact value, else the best value on either side.
std::optional<unsigned> refine_near(int fd, snd_pcm_hw_params* params, int param,
                                    unsigned wanted) {
  auto narrowed = [&](unsigned min, unsigned max) -> std::optional<snd_pcm_hw_params> {
    snd_pcm_hw_params trial = *params;
    auto current = *alsa::hw_interval(&trial, param);
    auto first = alsa::interval_first(current);
    auto last = alsa::interval_last(current);
    if (!first || !last) return std::nullopt;
    min = std::max(min, *first);
    max = std::min(max, *last);
    if (min > max) return std::nullopt;
    alsa::interval_set(alsa::hw_interval(&trial, param), min, max);
    if (refine(fd, &trial) != 0) return std::nullopt;
    return trial;
  };
  if (auto exact = narrowed(wanted, wanted)) {
    *params = *exact;
    return wanted;
  }
  std::optional<unsigned> below, above;
  if (auto low = narrowed(0, wanted)) below = alsa::interval_last(*alsa::hw_interval(&*low, param));
  if (auto high = narrowed(wanted, UINT_MAX)) above = alsa::interval_first(*alsa::hw_interval(&*high, param));
  auto chosen = alsa::choose_near(wanted, below, above);
  if (!chosen) return std::nullopt;
  auto fixed = narrowed(*chosen, *chosen);
  if (!fixed) return std::nullopt;
  *params = *fixed;
  return chosen;
}

}  // namespace

namespace alsa {

std::string pcm_file_name(AlsaDevice device, bool playback) {
  return "pcmC" + std::to_string(device.card) + "D" + std::to_string(device.device) +
         (playback ? "p" : "c");
}

std::optional<AlsaDevice> parse_playback_name(std::string_view name) {
  if (!name.starts_with("pcmC")) return std::nullopt;
  name.remove_prefix(4);
  auto card = take_number(name);
  if (!card || !name.starts_with("D")) return std::nullopt;
  name.remove_prefix(1);
  auto device = take_number(name);
  if (!device || name != "p") return std::nullopt;
  return AlsaDevice{*card, *device};
}

std::vector<AlsaDevice> list_playback_devices(const std::string& dir) {
  std::vector<AlsaDevice> devices;
  DIR* folder = ::opendir(dir.c_str());
  if (!folder) return devices;
  while (const dirent* entry = ::readdir(folder)) {
    if (auto device = parse_playback_name(entry->d_name)) devices.push_back(*device);
  }
  ::closedir(folder);
  std::sort(devices.begin(), devices.end());
  return devices;
}

PcmSizes target_sizes(unsigned rate) {
  PcmSizes sizes;
  sizes.period_frames = std::max(1u, rate / 40);  // 25 ms
  sizes.buffer_frames = sizes.period_frames * 20;  // 500 ms
  return sizes;
}

std::optional<unsigned> choose_near(unsigned wanted, std::optional<unsigned> below,
                                    std::optional<unsigned> above) {
  if (below && *below > wanted) below.reset();
  if (above && *above < wanted) above.reset();
  if (!below) return above;
  if (!above) return below;
  return (wanted - *below < *above - wanted) ? below : above;
}

std::optional<unsigned> interval_first(const snd_interval& interval) {
  if (interval.empty || interval.min > interval.max) return std::nullopt;
  if (interval.openmin && interval.min == UINT_MAX) return std::nullopt;
  unsigned value = interval.min + (interval.openmin ? 1 : 0);
  if (value > interval.max || (value == interval.max && interval.openmax)) return std::nullopt;
  return value;
}

std::optional<unsigned> interval_last(const snd_interval& interval) {
  if (interval.empty || interval.min > interval.max) return std::nullopt;
  if (interval.openmax && interval.max == 0) return std::nullopt;
  unsigned value = interval.max - (interval.openmax ? 1 : 0);
  if (value < interval.min || (value == interval.min && interval.openmin)) return std::nullopt;
  return value;
}

void hw_params_any(snd_pcm_hw_params* params) {
  std::memset(params, 0, sizeof *params);
  for (int p = SNDRV_PCM_HW_PARAM_FIRST_MASK; p <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++p) {
    std::memset(hw_mask(params, p), 0xff, sizeof(snd_mask));
  }
  for (int p = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; p <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++p) {
    snd_interval* interval = hw_interval(params, p);
    interval->min = 0;
    interval->max = UINT_MAX;
  }
  params->rmask = ~0u;
  params->info = ~0u;
}

snd_mask* hw_mask(snd_pcm_hw_params* params, int param) {
  return &params->masks[param - SNDRV_PCM_HW_PARAM_FIRST_MASK];
}

snd_interval* hw_interval(snd_pcm_hw_params* params, int param) {
  return &params->intervals[param - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

const snd_interval* hw_interval(const snd_pcm_hw_params* params, int param) {
  return &params->intervals[param - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

void mask_set_only(snd_mask* mask, unsigned bit) {
  std::memset(mask, 0, sizeof *mask);
  mask->bits[bit / 32] = 1u << (bit % 32);
}

bool mask_test(const snd_mask& mask, unsigned bit) {
  return bit < SNDRV_MASK_MAX && (mask.bits[bit / 32] & (1u << (bit % 32))) != 0;
}

void interval_set(snd_interval* interval, unsigned min, unsigned max) {
  interval->min = min;
  interval->max = max;
  interval->openmin = 0;
  interval->openmax = 0;
  interval->integer = 1;
  interval->empty = min > max;
}

Result<UniqueFd> open_device(const std::string& path, std::chrono::milliseconds busy_wait) {
  // Opened without blocking: a blocking open of a busy device would wait
  // until the other program lets go, for ever.
  const auto deadline = Clock::now() + busy_wait;
  for (;;) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.valid()) {
      int flags = ::fcntl(fd.get(), F_GETFL);
      if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return device_error(path, "cannot set blocking mode", errno);
      }
      return fd;
    }
    int error = errno;
    if (error == EINTR) continue;
    if (error != EBUSY && error != EAGAIN) return Error{path + ": " + errno_text(error)};
    if (Clock::now() >= deadline) {
      auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(busy_wait).count();
      return Error{path + ": sound device is busy: another program is using it (waited " +
                   std::to_string(waited / 1000) + "." + std::to_string(waited % 1000 / 100) +
                   " s)"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

Result<PcmSetup> configure(int fd, const std::string& path, unsigned rate,
                           std::optional<unsigned long> start_frames) {
  snd_pcm_hw_params params;
  hw_params_any(&params);
  mask_set_only(hw_mask(&params, SNDRV_PCM_HW_PARAM_ACCESS), SNDRV_PCM_ACCESS_RW_INTERLEAVED);
  mask_set_only(hw_mask(&params, SNDRV_PCM_HW_PARAM_FORMAT), SNDRV_PCM_FORMAT_S16_LE);
  mask_set_only(hw_mask(&params, SNDRV_PCM_HW_PARAM_SUBFORMAT), SNDRV_PCM_SUBFORMAT_STD);
  interval_set(hw_interval(&params, SNDRV_PCM_HW_PARAM_CHANNELS), kChannels, kChannels);
  if (refine(fd, &params) != 0) {
    return device_error(path, "device does not take 16-bit interleaved stereo", errno);
  }
  auto chosen_rate = refine_near(fd, &params, SNDRV_PCM_HW_PARAM_RATE, rate);
  if (!chosen_rate) return Error{path + ": no usable sample rate near " + std::to_string(rate)};
  PcmSizes sizes = target_sizes(*chosen_rate);
  if (!refine_near(fd, &params, SNDRV_PCM_HW_PARAM_PERIOD_SIZE, sizes.period_frames)) {
    return Error{path + ": no usable period size near " + std::to_string(sizes.period_frames)};
  }
  if (!refine_near(fd, &params, SNDRV_PCM_HW_PARAM_BUFFER_SIZE, sizes.buffer_frames)) {
    return Error{path + ": no usable buffer size near " + std::to_string(sizes.buffer_frames)};
  }
  params.rmask = ~0u;
  if (::ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &params) != 0) {
    return device_error(path, "cannot set hardware parameters", errno);
  }
  PcmSetup setup;
  setup.rate = hw_interval(&params, SNDRV_PCM_HW_PARAM_RATE)->min;
  setup.period_frames = hw_interval(&params, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min;
  setup.buffer_frames = hw_interval(&params, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min;

  snd_pcm_sw_params sw;
  std::memset(&sw, 0, sizeof sw);
  sw.tstamp_mode = SNDRV_PCM_TSTAMP_NONE;
  sw.period_step = 1;
  sw.avail_min = setup.period_frames;
  sw.xfer_align = 1;
  // Playback starts once about 125 ms are queued: soon enough to be heard at
  // once, with enough in hand that the first decode hiccup is not a gap.
  sw.start_threshold = std::min(start_frames.value_or(setup.period_frames * 5),
                                setup.buffer_frames);
  sw.stop_threshold = setup.buffer_frames;
  if (::ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) != 0) {
    return device_error(path, "cannot set software parameters", errno);
  }
  // The kernel fills every frame the card has played with silence (silence
  // size at the boundary it just reported, threshold 0). Without it a card
  // that runs past the last queued frame, at an underrun or at the end of a
  // drain, plays what is left in its buffer: old audio.
  sw.silence_threshold = 0;
  sw.silence_size = sw.boundary;
  if (::ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) != 0) {
    return device_error(path, "cannot set silence filling", errno);
  }
  if (::ioctl(fd, SNDRV_PCM_IOCTL_PREPARE) != 0) {
    return device_error(path, "cannot prepare the device", errno);
  }
  return setup;
}

}  // namespace alsa

AlsaPcm::AlsaPcm(AlsaPcmOptions options) : options_(std::move(options)) {}

AlsaPcm::~AlsaPcm() { close(false); }

Result<int> AlsaPcm::open(int rate) {
  if (fd_.valid()) return Error{path_ + ": sound device is already open"};
  if (rate <= 0) return Error{"invalid sample rate " + std::to_string(rate)};
  AlsaDevice device;
  if (options_.device) {
    device = *options_.device;
  } else {
    auto devices = alsa::list_playback_devices(options_.device_dir);
    if (devices.empty()) return Error{"no sound card: no playback device in " + options_.device_dir};
    device = devices.front();
  }
  path_ = options_.device_dir + "/" + alsa::pcm_file_name(device);
  auto fd = alsa::open_device(path_, options_.busy_wait);
  if (!fd.ok()) return Error{fd.error()};
  auto setup = alsa::configure(fd->get(), path_, static_cast<unsigned>(rate));
  if (!setup.ok()) return Error{setup.error()};
  fd_ = std::move(fd.value());
  rate_ = static_cast<int>(setup->rate);
  period_frames_ = setup->period_frames;
  buffer_frames_ = setup->buffer_frames;
  return rate_;
}

Status AlsaPcm::write(const int16_t* frames, size_t frame_count) {
  if (!fd_.valid()) return Error{"sound device is not open"};
  // A device that fails again right after each recovery is given up.
  int failures_in_a_row = 0;
  while (frame_count > 0) {
    snd_xferi transfer{};
    transfer.buf = const_cast<int16_t*>(frames);
    transfer.frames = frame_count;
    if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_WRITEI_FRAMES, &transfer) != 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (++failures_in_a_row > 5) return device_error(path_, "write keeps failing", error);
      Status recovered = recover(error);
      if (!recovered.ok()) return recovered;
      continue;
    }
    if (transfer.result <= 0 || static_cast<size_t>(transfer.result) > frame_count) {
      return Error{path_ + ": device took " + std::to_string(transfer.result) + " of " +
                   std::to_string(frame_count) + " frames"};
    }
    failures_in_a_row = 0;
    frames += static_cast<size_t>(transfer.result) * kChannels;
    frame_count -= static_cast<size_t>(transfer.result);
  }
  return ok_status();
}

Status AlsaPcm::recover(int error) {
  switch (error) {
    case EPIPE:  // underrun: the device ran out of frames and stopped
      ++underruns_;
      break;
    case ESTRPIPE: {  // suspended: resume when the driver can, else start over
      const auto deadline = Clock::now() + std::chrono::seconds(3);
      int result;
      while ((result = ::ioctl(fd_.get(), SNDRV_PCM_IOCTL_RESUME)) != 0 && errno == EAGAIN &&
             Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (result == 0) return ok_status();
      break;
    }
    case EBADFD:  // not prepared (stopped from outside)
      break;
    default:
      return device_error(path_, "write failed", error);
  }
  if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_PREPARE) != 0) {
    return device_error(path_, "cannot prepare the device again", errno);
  }
  return ok_status();
}

void AlsaPcm::close(bool drain) {
  if (!fd_.valid()) return;
  if (drain) finish_playing();
  ::ioctl(fd_.get(), SNDRV_PCM_IOCTL_DROP);
  fd_.reset();
}

void AlsaPcm::finish_playing() {
  // Instead of the kernel's drain: silence is queued behind the last frames
  // and the device is stopped once those frames have played. A card runs a
  // little past the end of its data before it notices, and what it plays
  // there is whatever is left in its buffer (old audio); this way it is
  // silence. Bounded by the buffer's length and a little more, so a stuck
  // device cannot hold up the end.
  int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) != 0) return;
  std::vector<int16_t> silence(period_frames_ * kChannels, 0);
  unsigned long padded = 0;
  auto buffer_time = std::chrono::milliseconds(buffer_frames_ * 1000 / static_cast<unsigned long>(rate_));
  const auto deadline = Clock::now() + buffer_time + std::chrono::milliseconds(200);
  while (Clock::now() < deadline) {
    snd_xferi transfer{};
    transfer.buf = silence.data();
    transfer.frames = period_frames_;
    if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_WRITEI_FRAMES, &transfer) == 0 && transfer.result > 0) {
      padded += static_cast<unsigned long>(transfer.result);
    }
    snd_pcm_status status{};
    if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_STATUS, &status) != 0) return;
    if (status.state == SNDRV_PCM_STATE_PREPARED) {
      // Less than the start threshold was ever queued: start it now.
      if (::ioctl(fd_.get(), SNDRV_PCM_IOCTL_START) != 0) return;
      continue;
    }
    if (status.state != SNDRV_PCM_STATE_RUNNING) return;
    if (status.delay <= static_cast<snd_pcm_sframes_t>(padded)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace ze::stream
