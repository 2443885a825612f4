// Follows one HLS media playlist as it is reloaded: which segments to fetch
// next (each media sequence number once), when to reload, and when a live
// playlist has stopped moving for so long that the stream counts as lost.
// Pure logic: the caller fetches, passes each parsed playlist and the time,
// and owns the follower on one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "base/clock.h"
#include "formats/playlist.h"

namespace ze::stream {

struct HlsFollowerOptions {
  // A live stream starts this many target durations before the live edge.
  double live_start_target_durations = 3;
  // Unchanged reloads back off from half a target duration to this many.
  double max_reload_target_durations = 2;
  // A live playlist that has not changed for this many target durations plus
  // the margin is lost.
  double stall_target_durations = 3;
  Clock::duration stall_margin = std::chrono::seconds(5);
  // Reloads never come closer together than this, whatever the target says.
  Clock::duration min_reload_gap = std::chrono::milliseconds(500);
};

struct HlsReload {
  bool changed = false;    // new segments, or the end of the playlist, appeared
  bool went_back = false;  // the media sequence went down: this reload was ignored
  // Segments that left the playlist before they were handed out, and about
  // how many seconds of audio they held; the next segment handed out is then
  // the oldest one still listed, marked as a discontinuity.
  uint64_t skipped = 0;
  double skipped_seconds = 0;
  // The media sequence leapt further than the time since the last reload
  // explains (the server started counting anew): playback started again
  // near the live edge, its next segment marked as a discontinuity. The
  // playlist's media sequence before and after the leap.
  bool resynchronised = false;
  uint64_t sequence_before = 0;
  uint64_t sequence_after = 0;
};

class HlsFollower {
 public:
  explicit HlsFollower(HlsFollowerOptions options = {});

  // Takes the playlist as loaded at `now`. The first one decides where
  // playback starts: an ended playlist (or a VOD one) at its first segment,
  // a live one about three target durations from its end.
  HlsReload update(const HlsMediaPlaylist& playlist, Instant now);
  // A reload whose answer was unusable counts as an unchanged one. (Reloads
  // that did not reach the server are the caller's to retry: they say
  // nothing about the playlist.)
  void reload_failed(Instant now);

  // The next segment to fetch, in media sequence order, or nothing for now.
  std::optional<HlsSegment> next_segment();
  // Gives back the segment last handed out, which could not be fetched for
  // now: it is handed out again first, unless it leaves the playlist.
  void put_back(HlsSegment segment);

  // Whether the playlist must be reloaded any more (not once it has ended),
  // and when: a target duration after a change, sooner after an unchanged
  // reload, never later than the moment the stream would count as lost.
  bool needs_reload() const;
  Instant next_reload() const;
  // A live playlist that has not changed for too long: the stream is lost.
  bool lost(Instant now) const;
  // The playlist has ended and every segment has been handed out.
  bool finished() const;

 private:
  void start_near_live_edge(const HlsMediaPlaylist& playlist);
  // Whether a playlist's media sequence is beyond what the server can have
  // reached since the last reload, at `now`.
  bool leapt(const HlsMediaPlaylist& playlist, Instant now) const;
  void queue_new_segments(const HlsMediaPlaylist& playlist);
  Clock::duration target_durations(double count) const;
  Clock::duration reload_gap(double count) const;

  HlsFollowerOptions options_;
  bool started_ = false;
  bool ended_ = false;
  double target_duration_ = 1;
  uint64_t next_sequence_ = 0;      // the first sequence not yet queued
  std::optional<uint64_t> last_sequence_;  // the newest sequence seen
  uint64_t last_media_sequence_ = 0;
  std::deque<HlsSegment> queue_;    // queued, not yet handed out
  bool mark_discontinuity_ = false;
  Instant last_change_{};
  Instant last_update_{};  // when the last playlist taken was loaded
  Instant next_reload_{};
  int unchanged_reloads_ = 0;
};

}  // namespace ze::stream
