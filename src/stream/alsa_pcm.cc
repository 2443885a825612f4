#include "stream/alsa_pcm.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <span>
#include <thread>

#include "base/errors.h"

namespace ze::stream {
namespace {

using Clock = std::chrono::steady_clock;
using alsa::SampleFormat;

// Samples are stored as the machine holds them; the formats are little-endian.
static_assert(std::endian::native == std::endian::little);

// The engine's own frames: 16-bit stereo, written to a card that takes them
// as they are.
constexpr alsa::FrameLayout kEngineLayout{SampleFormat::S16, 2};
// Frames converted per write when the card takes another layout: 1024 frames
// of 26 32-bit channels are 104 KiB.
constexpr size_t kConvertFrames = 1024;
// Every format, in the order they are tried for playback: the engine's own
// first, then the two wider ones, which hold it exactly.
constexpr SampleFormat kFormats[] = {SampleFormat::S16, SampleFormat::S24In32, SampleFormat::S32};

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

// "16-bit, 24-bit in 32-bit or 32-bit".
std::string format_list(std::span<const SampleFormat> formats) {
  std::string text;
  for (size_t i = 0; i < formats.size(); ++i) {
    if (i > 0) text += i + 1 == formats.size() ? " or " : ", ";
    text += alsa::format_name(formats[i]);
  }
  return text;
}

// `params` with `param` narrowed to [min, max] (within what it already
// allows) and refined; nothing when the device takes no value there.
std::optional<snd_pcm_hw_params> narrowed(const alsa::Refine& refine,
                                          const snd_pcm_hw_params& params, int param, unsigned min,
                                          unsigned max) {
  snd_pcm_hw_params trial = params;
  const snd_interval& current = *alsa::hw_interval(&trial, param);
  auto first = alsa::interval_first(current);
  auto last = alsa::interval_last(current);
  if (!first || !last) return std::nullopt;
  min = std::max(min, *first);
  max = std::min(max, *last);
  if (min > max) return std::nullopt;
  alsa::interval_set(alsa::hw_interval(&trial, param), min, max);
  if (refine(trial) != 0) return std::nullopt;
  return trial;
}

bool refine_exact(const alsa::Refine& refine, snd_pcm_hw_params* params, int param,
                  unsigned value) {
  auto fixed = narrowed(refine, *params, param, value, value);
  if (fixed) *params = *fixed;
  return fixed.has_value();
}

// Sets an interval parameter to the value nearest `wanted` that the device
// takes, given the choices already made in `params`, the way alsa-lib's
// set_near does: the exact value, else the best value on either side (the
// other side when the nearer one does not hold up once fixed).
std::optional<unsigned> refine_near(const alsa::Refine& refine, snd_pcm_hw_params* params,
                                    int param, unsigned wanted) {
  if (refine_exact(refine, params, param, wanted)) return wanted;
  std::optional<unsigned> below, above;
  if (auto low = narrowed(refine, *params, param, 0, wanted)) {
    below = alsa::interval_last(*alsa::hw_interval(&*low, param));
  }
  if (auto high = narrowed(refine, *params, param, wanted, UINT_MAX)) {
    above = alsa::interval_first(*alsa::hw_interval(&*high, param));
  }
  auto chosen = alsa::choose_near(wanted, below, above);
  if (!chosen) return std::nullopt;
  if (refine_exact(refine, params, param, *chosen)) return chosen;
  auto other = chosen == below ? above : below;
  if (other && refine_exact(refine, params, param, *other)) return other;
  return std::nullopt;
}

unsigned long interval_value(const snd_pcm_hw_params& params, int param) {
  return alsa::hw_interval(&params, param)->min;
}

// Sets the buffer and period sizes near `sizes`, in the given order.
Status refine_sizes(const alsa::Refine& refine, snd_pcm_hw_params* params, alsa::PcmSizes sizes,
                    bool buffer_first) {
  auto period = [&]() -> Status {
    if (refine_near(refine, params, SNDRV_PCM_HW_PARAM_PERIOD_SIZE, sizes.period_frames)) {
      return ok_status();
    }
    return Error{"no usable period size near " + std::to_string(sizes.period_frames)};
  };
  auto buffer = [&]() -> Status {
    if (refine_near(refine, params, SNDRV_PCM_HW_PARAM_BUFFER_SIZE, sizes.buffer_frames)) {
      return ok_status();
    }
    return Error{"no usable buffer size near " + std::to_string(sizes.buffer_frames)};
  };
  Status first = buffer_first ? buffer() : period();
  if (!first) return first;
  return buffer_first ? period() : buffer();
}

// The first of `formats` that the device takes, given the choices so far.
Status choose_format(const alsa::Refine& refine, std::span<const SampleFormat> formats,
                     snd_pcm_hw_params* params) {
  alsa::mask_set_only(alsa::hw_mask(params, SNDRV_PCM_HW_PARAM_ACCESS),
                      SNDRV_PCM_ACCESS_RW_INTERLEAVED);
  alsa::mask_set_only(alsa::hw_mask(params, SNDRV_PCM_HW_PARAM_SUBFORMAT), SNDRV_PCM_SUBFORMAT_STD);
  snd_mask* offered = alsa::hw_mask(params, SNDRV_PCM_HW_PARAM_FORMAT);
  std::memset(offered, 0, sizeof *offered);
  for (SampleFormat format : formats) {
    offered->bits[alsa::format_code(format) / 32] |= 1u << (alsa::format_code(format) % 32);
  }
  const std::string none = "device takes no interleaved " + format_list(formats) + " samples";
  // The first refine also tells a file that is no sound device.
  if (int error = refine(*params); error != 0) return Error{none + ": " + errno_text(error)};
  for (SampleFormat format : formats) {
    if (!alsa::mask_test(*alsa::hw_mask(params, SNDRV_PCM_HW_PARAM_FORMAT),
                         alsa::format_code(format))) {
      continue;
    }
    snd_pcm_hw_params trial = *params;
    alsa::mask_set_only(alsa::hw_mask(&trial, SNDRV_PCM_HW_PARAM_FORMAT),
                        alsa::format_code(format));
    if (refine(trial) == 0) {
      *params = trial;
      return ok_status();
    }
  }
  return Error{none};
}

// Exactly `wanted` channels; or stereo, else mono, else the fewest above two.
Status choose_channels(const alsa::Refine& refine, std::optional<unsigned> wanted,
                       snd_pcm_hw_params* params) {
  constexpr int channels = SNDRV_PCM_HW_PARAM_CHANNELS;
  if (wanted) {
    if (refine_exact(refine, params, channels, *wanted)) return ok_status();
    return Error{"device does not take " + std::to_string(*wanted) + " channels"};
  }
  if (refine_exact(refine, params, channels, 2) || refine_exact(refine, params, channels, 1)) {
    return ok_status();
  }
  auto more = narrowed(refine, *params, channels, 3, UINT_MAX);
  auto fewest = more ? alsa::interval_first(*alsa::hw_interval(&*more, channels)) : std::nullopt;
  if (fewest && refine_exact(refine, params, channels, *fewest)) return ok_status();
  return Error{"device takes no usable number of channels"};
}

// Sizes near `sizes`: the period first, then as many of them as make the
// buffer. A device that holds only a few periods would leave a buffer too
// short to ride out a slow decode; there the buffer goes first and the
// periods are what it divides into, when that gives a longer buffer.
Status choose_sizes(const alsa::Refine& refine, alsa::PcmSizes sizes, snd_pcm_hw_params* params) {
  auto buffer = [](const snd_pcm_hw_params& p) {
    return interval_value(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE);
  };
  auto period = [](const snd_pcm_hw_params& p) {
    return interval_value(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE);
  };
  snd_pcm_hw_params by_period = *params;
  Status period_first = refine_sizes(refine, &by_period, sizes, false);
  if (period_first && buffer(by_period) >= 4 * period(by_period)) {
    *params = by_period;
    return ok_status();
  }
  snd_pcm_hw_params by_buffer = *params;
  Status buffer_first = refine_sizes(refine, &by_buffer, sizes, true);
  if (buffer_first && buffer(by_buffer) >= 2 * period(by_buffer) &&
      (!period_first || buffer(by_buffer) > buffer(by_period))) {
    *params = by_buffer;
    return ok_status();
  }
  if (period_first) *params = by_period;
  return period_first;
}

}  // namespace

namespace alsa {

unsigned format_code(SampleFormat format) {
  switch (format) {
    case SampleFormat::S16:
      return SNDRV_PCM_FORMAT_S16_LE;
    case SampleFormat::S24In32:
      return SNDRV_PCM_FORMAT_S24_LE;
    case SampleFormat::S32:
      return SNDRV_PCM_FORMAT_S32_LE;
  }
  return SNDRV_PCM_FORMAT_S16_LE;
}

unsigned sample_bytes(SampleFormat format) { return format == SampleFormat::S16 ? 2 : 4; }

const char* format_name(SampleFormat format) {
  switch (format) {
    case SampleFormat::S16:
      return "16-bit";
    case SampleFormat::S24In32:
      return "24-bit in 32-bit";
    case SampleFormat::S32:
      return "32-bit";
  }
  return "?";
}

void convert_frames(const int16_t* stereo, size_t count, FrameLayout layout, uint8_t* out) {
  const bool wide = layout.format != SampleFormat::S16;
  const size_t bytes = sample_bytes(layout.format);
  const size_t frame_bytes = layout.frame_bytes();
  // What takes a 16-bit value to the format's full scale.
  const int shift = layout.format == SampleFormat::S32       ? 16
                    : layout.format == SampleFormat::S24In32 ? 8
                                                             : 0;
  auto store = [&](uint8_t* at, int32_t value) {
    if (wide) {
      std::memcpy(at, &value, 4);
    } else {
      auto narrow = static_cast<int16_t>(value);
      std::memcpy(at, &narrow, 2);
    }
  };
  for (size_t i = 0; i < count; ++i, stereo += 2, out += frame_bytes) {
    const int32_t left = stereo[0], right = stereo[1];
    if (layout.channels == 1) {
      // The sum has 17 bits: halved for 16, shifted one less for the wider.
      const int32_t sum = left + right;
      store(out, shift == 0 ? sum >> 1 : sum << (shift - 1));
      continue;
    }
    store(out, left << shift);
    store(out + bytes, right << shift);
    if (frame_bytes > 2 * bytes) std::memset(out + 2 * bytes, 0, frame_bytes - 2 * bytes);
  }
}

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

const snd_mask* hw_mask(const snd_pcm_hw_params* params, int param) {
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

Status choose_hw_params(const Refine& refine, const PcmRequest& request,
                        snd_pcm_hw_params* params) {
  std::span<const SampleFormat> formats = kFormats;
  if (request.format) formats = std::span<const SampleFormat>(&*request.format, 1);
  if (Status chosen = choose_format(refine, formats, params); !chosen) return chosen;
  if (Status chosen = choose_channels(refine, request.channels, params); !chosen) return chosen;
  auto rate = refine_near(refine, params, SNDRV_PCM_HW_PARAM_RATE, request.rate);
  if (!rate) return Error{"no usable sample rate near " + std::to_string(request.rate)};
  return choose_sizes(refine, target_sizes(*rate), params);
}

std::optional<PcmSetup> read_setup(const snd_pcm_hw_params& params) {
  PcmSetup setup;
  const snd_mask& formats = *hw_mask(&params, SNDRV_PCM_HW_PARAM_FORMAT);
  auto format = std::find_if(std::begin(kFormats), std::end(kFormats),
                             [&](SampleFormat f) { return mask_test(formats, format_code(f)); });
  if (format == std::end(kFormats)) return std::nullopt;
  setup.layout.format = *format;
  setup.layout.channels =
      static_cast<unsigned>(interval_value(params, SNDRV_PCM_HW_PARAM_CHANNELS));
  setup.rate = static_cast<unsigned>(interval_value(params, SNDRV_PCM_HW_PARAM_RATE));
  setup.period_frames = interval_value(params, SNDRV_PCM_HW_PARAM_PERIOD_SIZE);
  setup.buffer_frames = interval_value(params, SNDRV_PCM_HW_PARAM_BUFFER_SIZE);
  return setup;
}

Result<PcmSetup> configure(int fd, const std::string& path, const PcmRequest& request,
                           std::optional<unsigned long> start_frames) {
  snd_pcm_hw_params params;
  hw_params_any(&params);
  Refine refine = [fd](snd_pcm_hw_params& trial) {
    trial.rmask = ~0u;
    return ::ioctl(fd, SNDRV_PCM_IOCTL_HW_REFINE, &trial) == 0 ? 0 : errno;
  };
  Status chosen = choose_hw_params(refine, request, &params);
  if (!chosen) return Error{path + ": " + chosen.error()};
  params.rmask = ~0u;
  if (::ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &params) != 0) {
    return device_error(path, "cannot set hardware parameters", errno);
  }
  std::optional<PcmSetup> read = read_setup(params);
  if (!read || read->layout.channels == 0 || read->period_frames == 0) {
    return Error{path + ": the device was set to a format it was not asked for"};
  }
  PcmSetup setup = *read;

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
  alsa::PcmRequest request;
  request.rate = static_cast<unsigned>(rate);
  auto setup = alsa::configure(fd->get(), path_, request);
  if (!setup.ok()) return Error{setup.error()};
  fd_ = std::move(fd.value());
  rate_ = static_cast<int>(setup->rate);
  layout_ = setup->layout;
  period_frames_ = setup->period_frames;
  buffer_frames_ = setup->buffer_frames;
  converted_.clear();
  if (layout_ != kEngineLayout) converted_.resize(kConvertFrames * layout_.frame_bytes());
  return rate_;
}

std::string AlsaPcm::description() const {
  if (!fd_.valid()) return {};
  std::string channels = "stereo";
  if (layout_.channels == 1) channels = "mono (left and right mixed)";
  if (layout_.channels > 2) {
    channels = std::to_string(layout_.channels) + " channels (left and right on the first two)";
  }
  return "sound card " + path_ + ": " + alsa::format_name(layout_.format) + " " + channels +
         " at " + std::to_string(rate_) + " Hz, buffer " + std::to_string(buffer_frames_) +
         " frames in periods of " + std::to_string(period_frames_);
}

Status AlsaPcm::write(const int16_t* frames, size_t frame_count) {
  if (!fd_.valid()) return Error{"sound device is not open"};
  if (converted_.empty()) {
    return write_device(reinterpret_cast<const uint8_t*>(frames), frame_count);
  }
  while (frame_count > 0) {
    size_t count = std::min(frame_count, kConvertFrames);
    alsa::convert_frames(frames, count, layout_, converted_.data());
    Status written = write_device(converted_.data(), count);
    if (!written) return written;
    frames += count * 2;
    frame_count -= count;
  }
  return ok_status();
}

Status AlsaPcm::write_device(const uint8_t* data, size_t frame_count) {
  // A device that fails again right after each recovery is given up.
  int failures_in_a_row = 0;
  while (frame_count > 0) {
    snd_xferi transfer{};
    transfer.buf = const_cast<uint8_t*>(data);
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
    data += static_cast<size_t>(transfer.result) * layout_.frame_bytes();
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
  // Zero is silence in every format the card may have.
  std::vector<uint8_t> silence(period_frames_ * layout_.frame_bytes(), 0);
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
