#include "stream/join_smoother.h"

#include <algorithm>

namespace ze::stream {
namespace {

constexpr int kFadeMilliseconds = 5;
constexpr int kMaxSkippedMilliseconds = 200;

}  // namespace

JoinSmoother::JoinSmoother(int rate)
    : fade_frames_(static_cast<size_t>(std::max(1, rate * kFadeMilliseconds / 1000))),
      max_skipped_(static_cast<size_t>(rate) * kMaxSkippedMilliseconds / 1000) {}

void JoinSmoother::begin_stream() {
  // Before any sound there is nothing to join to.
  if (tail_.empty()) return;
  joining_ = true;
  skipped_ = 0;
}

void JoinSmoother::feed(const int16_t* pcm, size_t frames, std::vector<int16_t>& out) {
  size_t at = 0;
  if (joining_) {
    // The new stream's leading digital silence (a decoder's start) is
    // dropped, up to a limit: longer silence is the stream's own.
    while (at < frames && skipped_ < max_skipped_ && pcm[2 * at] == 0 && pcm[2 * at + 1] == 0) {
      ++at;
      ++skipped_;
    }
    if (at == frames && skipped_ < max_skipped_) return;
    join(out);
  }
  // The new stream's first frames fade in; the rest pass as they are.
  for (; at < frames && fade_in_left_ > 0; ++at, --fade_in_left_) {
    const double gain = 1.0 - static_cast<double>(fade_in_left_) / static_cast<double>(fade_frames_ + 1);
    tail_.push_back(static_cast<int16_t>(pcm[2 * at] * gain));
    tail_.push_back(static_cast<int16_t>(pcm[2 * at + 1] * gain));
  }
  tail_.insert(tail_.end(), pcm + 2 * at, pcm + 2 * frames);
  // All but the last few milliseconds go out.
  if (tail_.size() > 2 * fade_frames_) {
    const size_t ready = tail_.size() - 2 * fade_frames_;
    out.insert(out.end(), tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(ready));
    tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(ready));
  }
}

// The old stream's held-back end fades out and goes; the new one fades in.
void JoinSmoother::join(std::vector<int16_t>& out) {
  const size_t held = tail_.size() / 2;
  for (size_t i = 0; i < held; ++i) {
    const double gain = static_cast<double>(held - i) / static_cast<double>(held + 1);
    out.push_back(static_cast<int16_t>(tail_[2 * i] * gain));
    out.push_back(static_cast<int16_t>(tail_[2 * i + 1] * gain));
  }
  tail_.clear();
  joining_ = false;
  fade_in_left_ = fade_frames_;
}

void JoinSmoother::end(std::vector<int16_t>& out) {
  out.insert(out.end(), tail_.begin(), tail_.end());
  tail_.clear();
}

}  // namespace ze::stream
