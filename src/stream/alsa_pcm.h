// AlsaPcm: an AudioSink that plays on a sound card through the kernel's ALSA
// PCM interface (ioctls on /dev/snd/pcmC<card>D<device>p; no alsa-lib).
// 16-bit interleaved stereo, the rate nearest the one asked for, periods of
// about 25 ms in a buffer of about 500 ms. Owns the device's descriptor.
// The pure parts (device names, rate and size choice, hw parameter masks and
// intervals) are in namespace `alsa` for tests and for the capture helper.
#pragma once

#include <time.h>  // struct timespec, which <sound/asound.h> uses

#include <sound/asound.h>

#include <chrono>
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
  // up; errors name the device file.
  Result<int> open(int rate) override;
  // Blocks until every frame is queued; an underrun (EPIPE) or a suspend
  // (ESTRPIPE) is recovered and the frames not yet queued are written again.
  Status write(const int16_t* frames, size_t frame_count) override;
  // With `drain`, lets the queued frames play (for at most the buffer's
  // length plus a little) with silence after them; then stops and closes.
  void close(bool drain) override;

  // The device file in use (set by open, also when it failed).
  const std::string& path() const { return path_; }
  int underruns() const { return underruns_; }
  unsigned long period_frames() const { return period_frames_; }
  unsigned long buffer_frames() const { return buffer_frames_; }

 private:
  Status recover(int error);
  void finish_playing();

  AlsaPcmOptions options_;
  std::string path_;
  UniqueFd fd_;
  int rate_ = 0;
  unsigned long period_frames_ = 0;
  unsigned long buffer_frames_ = 0;
  int underruns_ = 0;
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
snd_interval* hw_interval(snd_pcm_hw_params* params, int param);
const snd_interval* hw_interval(const snd_pcm_hw_params* params, int param);
// Leaves only `bit` in the mask.
void mask_set_only(snd_mask* mask, unsigned bit);
bool mask_test(const snd_mask& mask, unsigned bit);
// Narrows the interval to [min, max] (closed ends, integers).
void interval_set(snd_interval* interval, unsigned min, unsigned max);

// Opens a PCM device file for blocking I/O. While another program holds it
// (EBUSY), retries every 50 ms until `busy_wait` has passed.
Result<UniqueFd> open_device(const std::string& path, std::chrono::milliseconds busy_wait);

struct PcmSetup {
  unsigned rate = 0;
  unsigned long period_frames = 0;
  unsigned long buffer_frames = 0;
};
// Sets an open device (of either direction) to interleaved S16_LE stereo
// at the rate nearest `rate` with sizes near target_sizes, sets the software
// parameters (`start_frames` queued frames start the stream) and prepares it.
// Errors name `path`.
Result<PcmSetup> configure(int fd, const std::string& path, unsigned rate,
                           std::optional<unsigned long> start_frames = std::nullopt);

}  // namespace alsa
}  // namespace ze::stream
