#include "stream/join_smoother.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace ze::stream {
namespace {

std::vector<int16_t> constant(size_t frames, int16_t value) { return std::vector<int16_t>(2 * frames, value); }

// Two streams of a steady level joined with a decoder's 30 ms of digital
// silence between them: the silence goes, no sample is zero, and no step
// between neighbours is larger than a fade's; within a stream nothing
// changes, and what is held back comes out at the end.
TEST(JoinSmoother, AJoinIsNeitherAGapNorAClick) {
  const int rate = 44100;
  JoinSmoother smoother(rate);
  std::vector<int16_t> out;
  std::vector<int16_t> first = constant(4410, 8000);
  smoother.feed(first.data(), 4410, out);
  EXPECT_LT(out.size(), first.size()) << "the last milliseconds are held back";
  EXPECT_EQ(out, std::vector<int16_t>(out.size(), 8000));
  smoother.begin_stream();
  std::vector<int16_t> silence = constant(1323, 0);
  for (size_t at = 0; at < 1323; at += 441) smoother.feed(silence.data() + 2 * at, 441, out);
  std::vector<int16_t> second = constant(4410, -8000);
  smoother.feed(second.data(), 4410, out);
  smoother.end(out);

  EXPECT_EQ(out.size(), first.size() + second.size()) << "the silence is dropped, nothing else";
  size_t zeros = 0;
  int largest_step = 0;
  for (size_t i = 2; i < out.size(); i += 2) {
    zeros += out[i] == 0;
    largest_step = std::max(largest_step, std::abs(out[i] - out[i - 2]));
  }
  EXPECT_EQ(zeros, 0u);
  EXPECT_LE(largest_step, 8000 * 2 / (rate * 5 / 1000) + 1);

  // The first stream has nothing to join to: its silence stays.
  JoinSmoother quiet(rate);
  out.clear();
  quiet.begin_stream();
  std::vector<int16_t> long_silence = constant(rate / 2, 0);
  quiet.feed(long_silence.data(), rate / 2, out);
  quiet.end(out);
  EXPECT_EQ(out.size(), long_silence.size());
}

}  // namespace
}  // namespace ze::stream
