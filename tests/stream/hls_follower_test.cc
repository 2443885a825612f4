#include "stream/hls_follower.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ze::stream {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Instant kStart = Instant{} + std::chrono::hours(1);

HlsMediaPlaylist playlist(uint64_t first, size_t count, double target = 6, bool ended = false,
                          double duration = 6) {
  HlsMediaPlaylist out;
  out.target_duration = target;
  out.media_sequence = first;
  out.ended = ended;
  for (size_t i = 0; i < count; ++i) {
    HlsSegment segment;
    segment.sequence = first + i;
    segment.uri = "http://h/" + std::to_string(first + i) + ".ts";
    segment.duration = duration;
    out.segments.push_back(segment);
  }
  return out;
}

std::vector<uint64_t> drain(HlsFollower& follower) {
  std::vector<uint64_t> sequences;
  while (std::optional<HlsSegment> segment = follower.next_segment()) {
    sequences.push_back(segment->sequence);
  }
  return sequences;
}

TEST(HlsFollower, StartsLiveNearTheEdgeAndEndedAtTheFirstSegment) {
  struct Case {
    const char* name;
    HlsMediaPlaylist first;
    std::vector<uint64_t> expected;
  } cases[] = {
      {"live: three target durations from the end", playlist(100, 10), {107, 108, 109}},
      {"live with short segments", playlist(100, 10, 6, false, 4), {105, 106, 107, 108, 109}},
      {"live shorter than three targets", playlist(100, 2), {100, 101}},
      {"live and empty", playlist(100, 0), {}},
      {"ended", playlist(100, 4, 6, true), {100, 101, 102, 103}},
      {"video on demand", [] {
         HlsMediaPlaylist vod = playlist(0, 5);
         vod.type = HlsPlaylistType::Vod;
         return vod;
       }(), {0, 1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    HlsFollower follower;
    EXPECT_TRUE(follower.update(c.first, kStart).changed) << c.name;
    EXPECT_EQ(drain(follower), c.expected) << c.name;
  }
}

TEST(HlsFollower, FollowsALivePlaylistAndBacksOffUntilItIsLost) {
  HlsFollower follower;
  follower.update(playlist(100, 10), kStart);
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{107, 108, 109}));
  EXPECT_TRUE(follower.needs_reload());
  EXPECT_EQ(follower.next_reload(), kStart + seconds(6));

  // A new segment: handed out once, the next reload a target duration later.
  Instant t = kStart + seconds(6);
  HlsReload reload = follower.update(playlist(101, 10), t);
  EXPECT_TRUE(reload.changed);
  EXPECT_EQ(reload.skipped, 0u);
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{110}));
  EXPECT_EQ(follower.next_reload(), t + seconds(6));
  Instant last_change = t;

  // Unchanged reloads: half a target, then one, then two, never past the
  // moment the stream counts as lost (3 targets + 5 s after the change).
  struct Step {
    int at_seconds;  // after the last change
    int next_reload_seconds;
    bool lost;
  } steps[] = {{6, 9, false}, {9, 15, false}, {15, 23, false}, {23, 23, true}};
  for (const Step& step : steps) {
    Instant now = last_change + seconds(step.at_seconds);
    EXPECT_FALSE(follower.lost(now - milliseconds(1)));
    reload = follower.update(playlist(101, 10), now);
    EXPECT_FALSE(reload.changed) << step.at_seconds;
    EXPECT_EQ(follower.next_reload(), last_change + seconds(step.next_reload_seconds)) << step.at_seconds;
    EXPECT_EQ(follower.lost(now), step.lost) << step.at_seconds;
    EXPECT_TRUE(drain(follower).empty());
  }

  // A failed reload counts as an unchanged one; a change resets the back-off.
  Instant later = last_change + seconds(30);
  follower.update(playlist(102, 10), later);
  EXPECT_FALSE(follower.lost(later));
  follower.reload_failed(later + seconds(6));
  EXPECT_EQ(follower.next_reload(), later + seconds(9));
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{111}));
}

TEST(HlsFollower, SkipsForwardWhenSegmentsLeftThePlaylistUnfetched) {
  HlsFollower follower;
  follower.update(playlist(100, 10), kStart);
  ASSERT_EQ(follower.next_segment()->sequence, 107u);  // 108 and 109 still queued

  // Still in the window: nothing is lost.
  HlsReload reload = follower.update(playlist(108, 10), kStart + seconds(6));
  EXPECT_EQ(reload.skipped, 0u);
  EXPECT_EQ(follower.next_segment()->sequence, 108u);

  // A segment that could not be fetched is handed out again first.
  std::optional<HlsSegment> again = follower.next_segment();
  ASSERT_EQ(again->sequence, 109u);
  follower.put_back(*again);
  EXPECT_EQ(follower.update(playlist(109, 10), kStart + seconds(8)).skipped, 0u);
  EXPECT_EQ(follower.next_segment()->sequence, 109u);
  follower.put_back(playlist(109, 1).segments[0]);

  // 109 to 119 have left the playlist (an outage): what is still listed
  // plays, from the oldest segment on, and the skipped seconds are told.
  reload = follower.update(playlist(120, 10), kStart + seconds(70));
  EXPECT_TRUE(reload.changed);
  EXPECT_EQ(reload.skipped, 120u - 109u);
  EXPECT_DOUBLE_EQ(reload.skipped_seconds, 11 * 6.0);
  std::optional<HlsSegment> first = follower.next_segment();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->sequence, 120u);
  EXPECT_TRUE(first->discontinuity);
  std::optional<HlsSegment> second = follower.next_segment();
  EXPECT_EQ(second->sequence, 121u);
  EXPECT_FALSE(second->discontinuity);

  // A leap that no time explains is a server counting anew: nothing counts
  // as skipped, and playback starts again near the live edge.
  reload = follower.update(playlist(1000122, 10), kStart + seconds(76));
  EXPECT_TRUE(reload.changed);
  EXPECT_TRUE(reload.resynchronised);
  EXPECT_EQ(reload.skipped, 0u);
  EXPECT_EQ(reload.sequence_before, 120u);
  EXPECT_EQ(reload.sequence_after, 1000122u);
  std::optional<HlsSegment> after = follower.next_segment();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->sequence, 1000129u);
  EXPECT_TRUE(after->discontinuity);
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{1000130, 1000131}));
  reload = follower.update(playlist(1000123, 10), kStart + seconds(82));
  EXPECT_FALSE(reload.resynchronised);
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{1000132}));
}

TEST(HlsFollower, ReloadsComeHalfASecondApartAtLeastWhateverTheTargetSays) {
  HlsFollower follower;
  follower.update(playlist(0, 3, 0.001, false, 0.001), kStart);
  drain(follower);
  EXPECT_EQ(follower.next_reload(), kStart + milliseconds(500));
  follower.update(playlist(0, 3, 0.001, false, 0.001), kStart + seconds(1));
  EXPECT_GE(follower.next_reload(), kStart + seconds(1) + milliseconds(500));
}

TEST(HlsFollower, IgnoresAPlaylistThatWentBack) {
  HlsFollower follower;
  follower.update(playlist(100, 10), kStart);
  drain(follower);
  HlsReload reload = follower.update(playlist(3, 10), kStart + seconds(6));
  EXPECT_TRUE(reload.went_back);
  EXPECT_FALSE(reload.changed);
  EXPECT_TRUE(drain(follower).empty());
  EXPECT_EQ(follower.next_reload(), kStart + seconds(9));
  EXPECT_TRUE(follower.update(playlist(101, 10), kStart + seconds(9)).changed);
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{110}));
}

TEST(HlsFollower, AnEndedPlaylistFinishesOnceEverySegmentIsHandedOut) {
  HlsFollower follower;
  follower.update(playlist(100, 10), kStart);
  ASSERT_EQ(follower.next_segment()->sequence, 107u);
  HlsReload reload = follower.update(playlist(101, 11, 6, true), kStart + seconds(6));
  EXPECT_TRUE(reload.changed);
  EXPECT_FALSE(follower.needs_reload());
  EXPECT_FALSE(follower.finished());
  EXPECT_EQ(drain(follower), (std::vector<uint64_t>{108, 109, 110, 111}));
  EXPECT_TRUE(follower.finished());
  EXPECT_FALSE(follower.lost(kStart + std::chrono::hours(1)));

  HlsFollower empty;
  empty.update(playlist(0, 0, 6, true), kStart);
  EXPECT_TRUE(empty.finished());
}

TEST(HlsFollower, AnEmptyLivePlaylistIsLostWhenItNeverFills) {
  HlsFollower follower;
  follower.update(playlist(7, 0), kStart);
  EXPECT_FALSE(follower.update(playlist(7, 0), kStart + seconds(6)).changed);
  EXPECT_TRUE(follower.update(playlist(7, 0), kStart + seconds(23)).changed == false &&
              follower.lost(kStart + seconds(23)));
}

}  // namespace
}  // namespace ze::stream
