#include "stream/hls_follower.h"

#include <algorithm>

namespace ze::stream {

HlsFollower::HlsFollower(HlsFollowerOptions options) : options_(options) {}

Clock::duration HlsFollower::target_durations(double count) const {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(count * target_duration_));
}

HlsReload HlsFollower::update(const HlsMediaPlaylist& playlist, Instant now) {
  HlsReload result;
  if (ended_) return result;
  if (playlist.target_duration > 0) target_duration_ = playlist.target_duration;
  bool first = !started_;
  if (first) {
    started_ = true;
    last_media_sequence_ = playlist.media_sequence;
    if (playlist.ended || playlist.type == HlsPlaylistType::Vod) {
      next_sequence_ = playlist.media_sequence;
    } else {
      start_near_live_edge(playlist);
    }
  } else {
    // A server must never move its media sequence back; a stale copy from a
    // cache does. Counting it as no change lets a restarted server end in a
    // lost stream rather than in audio heard twice.
    if (playlist.media_sequence < last_media_sequence_) {
      result.went_back = true;
      reload_failed(now);
      return result;
    }
    uint64_t first_wanted = queue_.empty() ? next_sequence_ : queue_.front().sequence;
    if (playlist.media_sequence > first_wanted && leapt(playlist, now)) {
      // Nothing was lost that could be counted: the numbers no longer say
      // where the old segments stand. Playback starts again, as at first.
      result.resynchronised = true;
      result.sequence_before = last_media_sequence_;
      result.sequence_after = playlist.media_sequence;
      queue_.clear();
      start_near_live_edge(playlist);
      mark_discontinuity_ = true;
    } else if (playlist.media_sequence > first_wanted) {
      // Segments left the playlist before they were fetched: they may be
      // gone from the server. What is still listed plays, late but whole.
      queue_.clear();
      next_sequence_ = playlist.media_sequence;
      result.skipped = next_sequence_ - first_wanted;
      double each = playlist.segments.empty()
                        ? target_duration_
                        : listed_seconds(playlist) / static_cast<double>(playlist.segments.size());
      result.skipped_seconds = each * static_cast<double>(result.skipped);
      mark_discontinuity_ = true;
    }
    last_media_sequence_ = playlist.media_sequence;
  }
  last_update_ = now;
  std::optional<uint64_t> newest;
  if (!playlist.segments.empty()) newest = playlist.segments.back().sequence;
  bool grew = newest && (!last_sequence_ || *newest > *last_sequence_);
  if (grew) last_sequence_ = newest;
  result.changed = first || grew || playlist.ended || result.skipped > 0 || result.resynchronised;
  queue_new_segments(playlist);
  ended_ = playlist.ended;
  if (result.changed) {
    last_change_ = now;
    unchanged_reloads_ = 0;
    next_reload_ = now + reload_gap(1);
  } else {
    reload_failed(now);
  }
  return result;
}

void HlsFollower::reload_failed(Instant now) {
  if (ended_) return;
  ++unchanged_reloads_;
  double factor = 0.5;
  for (int i = 1; i < unchanged_reloads_ && factor < options_.max_reload_target_durations; ++i) {
    factor *= 2;
  }
  factor = std::min(factor, options_.max_reload_target_durations);
  Instant deadline =
      last_change_ + target_durations(options_.stall_target_durations) + options_.stall_margin;
  next_reload_ = std::max(now, std::min(now + reload_gap(factor), deadline));
}

Clock::duration HlsFollower::reload_gap(double count) const {
  return std::max(target_durations(count), options_.min_reload_gap);
}

void HlsFollower::put_back(HlsSegment segment) {
  if (!queue_.empty() && queue_.front().sequence <= segment.sequence) return;
  queue_.push_front(std::move(segment));
}

void HlsFollower::start_near_live_edge(const HlsMediaPlaylist& playlist) {
  const std::vector<HlsSegment>& segments = playlist.segments;
  double wanted = options_.live_start_target_durations * target_duration_;
  double covered = 0;
  size_t start = segments.size();
  while (start > 0 && covered < wanted) {
    --start;
    covered += segments[start].duration;
  }
  next_sequence_ = start < segments.size() ? segments[start].sequence
                                           : playlist.media_sequence + segments.size();
}

bool HlsFollower::leapt(const HlsMediaPlaylist& playlist, Instant now) const {
  // A server adds about one segment per segment duration; twice that, and
  // two more, allow for uneven segments and clocks. An outage that outlasted
  // the playlist's window stays within it: its segments are skipped, not
  // renumbered.
  double each = playlist.segments.empty()
                    ? target_duration_
                    : listed_seconds(playlist) / static_cast<double>(playlist.segments.size());
  if (each <= 0) return false;
  double elapsed = std::chrono::duration<double>(now - last_update_).count();
  double reachable = static_cast<double>(last_sequence_.value_or(last_media_sequence_)) + 2 +
                     2 * std::max(elapsed, 0.0) / each;
  return static_cast<double>(playlist.media_sequence) > reachable;
}

void HlsFollower::queue_new_segments(const HlsMediaPlaylist& playlist) {
  for (const HlsSegment& segment : playlist.segments) {
    if (segment.sequence < next_sequence_) continue;
    queue_.push_back(segment);
    next_sequence_ = segment.sequence + 1;
  }
}

std::optional<HlsSegment> HlsFollower::next_segment() {
  if (queue_.empty()) return std::nullopt;
  HlsSegment segment = std::move(queue_.front());
  queue_.pop_front();
  if (mark_discontinuity_) {
    segment.discontinuity = true;
    mark_discontinuity_ = false;
  }
  return segment;
}

bool HlsFollower::needs_reload() const { return !ended_; }

Instant HlsFollower::next_reload() const { return next_reload_; }

bool HlsFollower::lost(Instant now) const {
  if (!started_ || ended_) return false;
  return now - last_change_ >= target_durations(options_.stall_target_durations) + options_.stall_margin;
}

bool HlsFollower::finished() const { return ended_ && queue_.empty(); }

}  // namespace ze::stream
