#include "base/process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "base/files.h"
#include "temp_dir.h"

namespace ze {
namespace {

TEST(ProcessTest, CaptureCollectsBothStreamsInFullAndTheExitCode) {
  // More than a pipe's capacity on both streams at once must not dead-lock.
  Result<CommandOutput> run = run_capture(
      {"sh", "-c", "head -c 200000 /dev/zero; head -c 150000 /dev/zero >&2; exit 3"});
  ASSERT_TRUE(run.ok()) << run.error();
  EXPECT_EQ(run->out.size(), 200000u);
  EXPECT_EQ(run->err.size(), 150000u);
  EXPECT_EQ(run->status.describe(), "exit status: 3");
  EXPECT_FALSE(run->status.success());
}

TEST(ProcessTest, MissingProgramIsAnErrorWithTheSystemText) {
  Result<CommandOutput> run = run_capture({"ze-no-such-program-here"});
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error(), "No such file or directory (os error 2)");
}

TEST(ProcessTest, ChildHasDefaultSigpipeAndEmptyMaskAndNoInheritedDescriptors) {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "held-open", "").ok());
  // Pipes of the capture itself are open in the parent while the child runs;
  // none of them, nor this file, may reach the child beyond its streams.
  UniqueFd held(::open((dir / "held-open").c_str(), O_RDONLY | O_CLOEXEC));
  // Programs run directly (a shell would show its own mask while it waits).
  Result<CommandOutput> run = run_capture({"grep", "-E", "^(SigBlk|SigIgn)", "/proc/self/status"});
  Result<CommandOutput> fds = run_capture({"ls", "-l", "/proc/self/fd/"});
  pthread_sigmask(SIG_UNBLOCK, &block, nullptr);
  ASSERT_TRUE(run.ok() && fds.ok());
  EXPECT_NE(run->out.find("SigBlk:\t0000000000000000"), std::string::npos) << run->out;
  size_t ignored_at = run->out.find("SigIgn:\t");
  ASSERT_NE(ignored_at, std::string::npos);
  unsigned long long ignored = std::stoull(run->out.substr(ignored_at + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << run->out;
  EXPECT_EQ(fds->out.find("held-open"), std::string::npos) << fds->out;
}

TEST(ProcessTest, NewGroupAndNonBlockingWaitAndGroupKill) {
  SpawnOptions options;
  options.argv = {"sh", "-c", "sleep 30 & sleep 30; :"};
  options.new_process_group = true;
  Result<Process> child = Process::spawn(options);
  ASSERT_TRUE(child.ok());
  EXPECT_EQ(::getpgid(child->pid()), child->pid());
  Result<std::optional<ExitStatus>> early = child->try_wait();
  ASSERT_TRUE(early.ok());
  EXPECT_FALSE(early->has_value());
  ASSERT_TRUE(send_group_signal(child->pid(), SIGKILL).ok());
  ExitStatus status = child->wait();
  EXPECT_EQ(status.describe(), "signal: 9");
  // The status is remembered after reaping.
  Result<std::optional<ExitStatus>> again = child->try_wait();
  ASSERT_TRUE(again.ok() && again->has_value());
  EXPECT_EQ((*again)->value, SIGKILL);
}

TEST(ProcessTest, DiscardedOutputAndShellLine) {
  testing::TempDir dir;
  run_shell_quietly("echo hello > " + (dir / "out") + "; echo noise");
  Result<std::string> written = read_file(dir / "out");
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, "hello\n");
  Result<ExitStatus> status = run_wait({"false"}, Output::Discard);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(status->value, 1);
}

// A name no other program on the machine has, for a copy of sleep.
constexpr const char* kNamed = "ze-named-sleep";

TEST(ProcessTest, KillByNameSparesOnlyThisProgramsOwnChildren) {
  testing::TempDir dir;
  const std::string sleeper = dir / kNamed;
  ASSERT_EQ(::symlink("/bin/sleep", sleeper.c_str()), 0);
  SpawnOptions own_options;
  own_options.argv = {sleeper, "30"};
  Process own = std::move(Process::spawn(own_options)).value();
  // A grandchild under the same name, as the stream engine's fetchers are.
  SpawnOptions engine_options;
  engine_options.argv = {"sh", "-c", "\"$0\" 30 & wait $!; exit $?", sleeper};
  engine_options.output = Output::Discard;  // its "Killed" notice
  Process engine = std::move(Process::spawn(engine_options)).value();

  std::vector<NamedProcess> named;
  for (int i = 0; i < 200 && named.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    named = processes_named(kNamed);
  }
  ASSERT_EQ(named.size(), 2u);
  auto own_entry = std::find_if(named.begin(), named.end(),
                                [&](const NamedProcess& p) { return p.pid == own.pid(); });
  ASSERT_NE(own_entry, named.end());
  EXPECT_EQ(own_entry->parent, ::getpid());
  const NamedProcess& other = named[own_entry == named.begin() ? 1 : 0];
  EXPECT_EQ(other.parent, engine.pid());

  kill_named_sparing_children(kNamed);
  EXPECT_EQ(engine.wait().describe(), "exit status: 137");  // its child got SIGKILL
  Result<std::optional<ExitStatus>> still = own.try_wait();
  ASSERT_TRUE(still.ok());
  EXPECT_FALSE(still->has_value());
  ASSERT_TRUE(send_signal(own.pid(), SIGKILL).ok());
  own.wait();
  EXPECT_TRUE(processes_named(kNamed).empty());
}

}  // namespace
}  // namespace ze
