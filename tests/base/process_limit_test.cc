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

// An endless writer is killed as soon as it passes the output limit: the
// capture never holds more than the limit, on either stream.
TEST(ProcessLimitTest, OutputPastItsLimitKillsTheCommand) {
  for (const char* line : {"exec yes", "exec yes >&2", "head -c 1000 /dev/zero; exit 4"}) {
    Result<CommandOutput> run =
        run_capture({"sh", "-c", line}, milliseconds(10000), 100000);
    ASSERT_TRUE(run.ok()) << run.error();
    bool endless = std::string(line).starts_with("exec");
    EXPECT_EQ(run->over_limit, endless) << line;
    EXPECT_EQ(run->status.describe(), endless ? "signal: 9" : "exit status: 4") << line;
    EXPECT_EQ(run->out.size() + run->err.size(), endless ? 100000u : 1000u) << line;
  }
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
