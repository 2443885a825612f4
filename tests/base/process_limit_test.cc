#include <signal.h>

#include <chrono>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/process.h"

namespace ze {
namespace {

using std::chrono::milliseconds;

double seconds_since(Instant start) {
  return std::chrono::duration<double>(now() - start).count();
}

TEST(ProcessLimitTest, CommandPastItsLimitIsKilledAndItsOutputKept) {
  Instant start = now();
  Result<CommandOutput> run = run_capture({"sh", "-c", "echo started; exec sleep 30"},
                                          milliseconds(300));
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_TRUE(run->status.signaled);
  EXPECT_EQ(run->status.value, SIGKILL);
  EXPECT_EQ(run->out, "started\n");

  // A grandchild that keeps the pipes open does not hold the caller either.
  start = now();
  run = run_capture({"sh", "-c", "sleep 5; echo never"}, milliseconds(300));
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_LT(seconds_since(start), 3.0);
  EXPECT_TRUE(run->status.signaled);

  start = now();
  Result<ExitStatus> waited = run_wait({"sleep", "30"}, Output::Discard, milliseconds(300));
  ASSERT_TRUE(waited.ok()) << waited.error();
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_TRUE(waited->signaled);
}

TEST(ProcessLimitTest, CommandWithinItsLimitEndsAsItWould) {
  Result<CommandOutput> run = run_capture({"sh", "-c", "echo out; echo err >&2; exit 3"},
                                          milliseconds(5000));
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_FALSE(run->status.signaled);
  EXPECT_EQ(run->status.value, 3);
  EXPECT_EQ(run->out, "out\n");
  EXPECT_EQ(run->err, "err\n");
  Result<ExitStatus> waited = run_wait({"true"}, Output::Discard, milliseconds(5000));
  ASSERT_TRUE(waited.ok());
  EXPECT_TRUE(waited->success());
}

}  // namespace
}  // namespace ze
