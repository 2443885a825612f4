// AlsaPcm: an AudioSink that plays on a sound card through the kernel's ALSA
// PCM interface (ioctls on /dev/snd/pcmC<card>D<device>p; no alsa-lib).
// The card is asked what it takes, and the engine's 16-bit stereo is written
// in that: 16-bit, 24-bit (in 32) or 32-bit samples; stereo, mixed down to
// mono, or on the first two of more channels with the rest silent; at the
// rate nearest the one asked for (the decoder resamples to it); a buffer of
// about 500 ms in periods of about 25 ms. Owns the device's descriptor.
// The pure parts (device names, the choice of parameters against the card's
// refinement, sample conversion, hw parameter masks and intervals) are in
// namespace `alsa` for tests and for the capture helpers.
#pragma once

#include <time.h>  // struct timespec, which <sound/asound.h> uses

#include <sound/asound.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "stream/audio_sink.h"

namespace ze::stream {

struct AlsaDevice {
  int card = 0;
  int device = 0;
  friend bool operator==(const AlsaDevice&, const AlsaDevice&) = default;
  friend auto operator<=>(const AlsaDevice&, const AlsaDevice&) = default;
};

namespace alsa {

// The sample formats written to a card, all signed little-endian.
enum class SampleFormat {
  S16,      // 16 bits (SNDRV_PCM_FORMAT_S16_LE)
  S24In32,  // 24 bits in the low three bytes of four (SNDRV_PCM_FORMAT_S24_LE)
  S32,      // 32 bits (SNDRV_PCM_FORMAT_S32_LE)
};
unsigned format_code(SampleFormat format);   // the SNDRV_PCM_FORMAT_ value
unsigned sample_bytes(SampleFormat format);  // 2 or 4
const char* format_name(SampleFormat format);

// How a frame is laid out on the card.
struct FrameLayout {
  SampleFormat format = SampleFormat::S16;
  unsigned channels = 2;
  size_t frame_bytes() const { return sample_bytes(format) * channels; }
  friend bool operator==(const FrameLayout&, const FrameLayout&) = default;
};

// Writes `count` 16-bit stereo frames to `out` (count * layout.frame_bytes()
// bytes) in `layout`. One channel carries the mean of left and right (exact
// in 24 and 32 bits, rounded down in 16); with more than two, the first two
// carry left and right and the others silence. 24 and 32 bits hold the
// 16-bit value at their full scale.
void convert_frames(const int16_t* stereo, size_t count, FrameLayout layout, uint8_t* out);

}  // namespace alsa

struct AlsaPcmOptions {
  std::optional<AlsaDevice> device;  // none: the first playback device found
  std::string device_dir = "/dev/snd";
  // How long a device in use by another program is waited for.
  std::chrono::milliseconds busy_wait{3000};
};

class AlsaPcm : public AudioSink {
 public:
  explicit AlsaPcm(AlsaPcmOptions options = {});
  ~AlsaPcm() override;  // closes like close(false)
  AlsaPcm(const AlsaPcm&) = delete;
  AlsaPcm& operator=(const AlsaPcm&) = delete;

  // Opens the device (waiting up to `busy_wait` while it is busy) and sets it
  // up in the layout it takes; errors name the device file.
  Result<int> open(int rate) override;
  // Blocks until every frame is queued, converted to the card's layout; an
  // underrun (EPIPE) or a suspend (ESTRPIPE) is recovered and the frames not
  // yet queued are written again.
  Status write(const int16_t* frames, size_t frame_count) override;
  // With `drain`, lets the queued frames play (for at most the buffer's
  // length plus a little) with silence after them; then stops and closes.
  void close(bool drain) override;
  // The device file and what it was set up as.
  std::string description() const override;

  // The device file in use (set by open, also when it failed).
  const std::string& path() const { return path_; }
  int underruns() const { return underruns_; }
  alsa::FrameLayout layout() const { return layout_; }
  unsigned long period_frames() const { return period_frames_; }
  unsigned long buffer_frames() const { return buffer_frames_; }

 private:
  Status write_device(const uint8_t* data, size_t frame_count);
  Status recover(int error);
  void finish_playing();

  AlsaPcmOptions options_;
  std::string path_;
  UniqueFd fd_;
  int rate_ = 0;
  alsa::FrameLayout layout_;
  unsigned long period_frames_ = 0;
  unsigned long buffer_frames_ = 0;
  int underruns_ = 0;
  std::vector<uint8_t> converted_;  // frames in the card's layout, when it is not 16-bit stereo
};

namespace alsa {

// "pcmC<card>D<device>p" for a playback device file, "...c" for capture.
std::string pcm_file_name(AlsaDevice device, bool playback = true);
// The device of a /dev/snd entry name "pcmC<card>D<device>p"; nothing for any
// other name (capture devices, control files, names with stray characters).
std::optional<AlsaDevice> parse_playback_name(std::string_view name);
// Every playback device in `dir`, ordered by card, then device, numerically.
std::vector<AlsaDevice> list_playback_devices(const std::string& dir);

// Target sizes for a rate: a period of about 25 ms, a buffer of about 500 ms.
struct PcmSizes {
  unsigned long period_frames = 0;
  unsigned long buffer_frames = 0;
};
PcmSizes target_sizes(unsigned rate);

// The value nearest `wanted` among the best candidate at or below it and the
// best at or above it (either may be missing); a tie goes to the higher one.
std::optional<unsigned> choose_near(unsigned wanted, std::optional<unsigned> below,
                                    std::optional<unsigned> above);

// The smallest and largest integer the interval holds (open ends excluded);
// nothing when it holds none.
std::optional<unsigned> interval_first(const snd_interval& interval);
std::optional<unsigned> interval_last(const snd_interval& interval);

// hw_params with every choice still open, as the kernel expects before
// the first refine.
void hw_params_any(snd_pcm_hw_params* params);
snd_mask* hw_mask(snd_pcm_hw_params* params, int param);
const snd_mask* hw_mask(const snd_pcm_hw_params* params, int param);
snd_interval* hw_interval(snd_pcm_hw_params* params, int param);
const snd_interval* hw_interval(const snd_pcm_hw_params* params, int param);
// Leaves only `bit` in the mask.
void mask_set_only(snd_mask* mask, unsigned bit);
bool mask_test(const snd_mask& mask, unsigned bit);
// Narrows the interval to [min, max] (closed ends, integers).
void interval_set(snd_interval* interval, unsigned min, unsigned max);

// What is asked of a device. Unset fields take the playback choices.
struct PcmRequest {
  unsigned rate = 48000;  // or the nearest the device takes
  // Exactly this format; none: 16-bit, else 24-bit in 32, else 32-bit.
  std::optional<SampleFormat> format;
  // Exactly this many channels; none: stereo, else mono, else the fewest
  // above two (left and right on the first two).
  std::optional<unsigned> channels;
};

// The kernel's refinement (SNDRV_PCM_IOCTL_HW_REFINE): narrows `params` to
// what the device takes given the choices already made in them. Returns 0,
// or the errno when nothing fits.
using Refine = std::function<int(snd_pcm_hw_params&)>;

// Narrows `params` (from hw_params_any) to one interleaved layout, one rate
// and sizes near target_sizes, asking `refine` at every step the way
// alsa-lib's set_near does. The error says what the device does not take.
Status choose_hw_params(const Refine& refine, const PcmRequest& request, snd_pcm_hw_params* params);

struct PcmSetup {
  FrameLayout layout;
  unsigned rate = 0;
  unsigned long period_frames = 0;
  unsigned long buffer_frames = 0;
};
// The setup that `params` (narrowed to one choice each) describes; nothing
// when its format is none of SampleFormat's.
std::optional<PcmSetup> read_setup(const snd_pcm_hw_params& params);

// Opens a PCM device file for blocking I/O. While another program holds it
// (EBUSY), retries every 50 ms until `busy_wait` has passed.
Result<UniqueFd> open_device(const std::string& path, std::chrono::milliseconds busy_wait);

// Sets an open device (of either direction) to what choose_hw_params picks
// for `request`, sets the software parameters (`start_frames` queued frames
// start the stream) and prepares it. Errors name `path`.
Result<PcmSetup> configure(int fd, const std::string& path, const PcmRequest& request,
                           std::optional<unsigned long> start_frames = std::nullopt);

}  // namespace alsa
}  // namespace ze::stream
