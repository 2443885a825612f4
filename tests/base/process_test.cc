#include "base/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

// A marked child and the children it starts are found and killed by their
// mark, also one that left its process group; an unmarked program of the
// same name is not touched, and identities tell a process from a successor.
TEST(ProcessTest, MarkedProcessesAndTheirChildrenAreKilledAndOthersSpared) {
  testing::TempDir dir;
  // The folder makes the mark this test's own.
  const std::string mark = "ZE_TEST_MARK=" + (dir / "mark");
  ::setenv("ZE_TEST_MARK", "inherited", 1);
  SpawnOptions marked_options;
  marked_options.argv = {"sh", "-c", "setsid sleep 30 & exec sleep 30"};
  marked_options.environment = {mark};
  marked_options.new_process_group = true;
  Process marked = std::move(Process::spawn(marked_options)).value();
  SpawnOptions bystander_options;
  bystander_options.argv = {"sleep", "30"};
  Process bystander = std::move(Process::spawn(bystander_options)).value();
  ::unsetenv("ZE_TEST_MARK");

  std::vector<pid_t> found;
  for (int i = 0; i < 200 && found.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    found = processes_marked(mark);
  }
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(std::find(found.begin(), found.end(), marked.pid()), found.end());
  EXPECT_TRUE(process_has_mark(marked.pid(), mark));
  // The mark replaces an inherited value of the same name.
  EXPECT_FALSE(process_has_mark(marked.pid(), "ZE_TEST_MARK=inherited"));
  EXPECT_TRUE(process_has_mark(bystander.pid(), "ZE_TEST_MARK=inherited"));
  EXPECT_FALSE(process_has_mark(bystander.pid(), mark));

  std::optional<ProcessIdentity> identity = process_identity(bystander.pid());
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->name, "sleep");
  EXPECT_GT(identity->start_time, 0u);
  EXPECT_EQ(process_identity(bystander.pid()), identity);

  std::vector<pid_t> killed = kill_marked(mark);
  EXPECT_EQ(killed.size(), 2u);
  EXPECT_EQ(marked.wait().describe(), "signal: 9");
  EXPECT_TRUE(processes_marked(mark).empty());
  Result<std::optional<ExitStatus>> still = bystander.try_wait();
  ASSERT_TRUE(still.ok());
  EXPECT_FALSE(still->has_value()) << "an unmarked process was killed";
  ASSERT_TRUE(send_signal(bystander.pid(), SIGKILL).ok());
  bystander.wait();
  EXPECT_FALSE(process_identity(bystander.pid()).has_value());  // reaped: gone
}

}  // namespace
}  // namespace ze

namespace ze {
namespace {

// A child's stat still names its parent's program for a moment after exec
// has let the parent go; the identity recorded for it must be the new one.
TEST(ProcessTest, StartedIdentityWaitsForTheProgramsName) {
  testing::TempDir proc;
  ASSERT_EQ(::mkdir((proc / "77").c_str(), 0755), 0);
  auto stat = [&](const std::string& name) {
    std::string fields;
    for (int i = 3; i <= 22; ++i) fields += " " + std::to_string(i == 3 ? 0 : i);
    fields[1] = 'S';
    // Replaced whole, as the kernel's file is read: never half written.
    ASSERT_TRUE(write_file_atomic(proc / "77/stat", "77 (" + name + ")" + fields + " 0\n").ok());
  };
  stat("ze-radio");
  std::thread exec([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stat("sh");
  });
  std::optional<ProcessIdentity> identity = started_identity(77, "sh", proc.path());
  exec.join();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->name, "sh");
  EXPECT_EQ(identity->start_time, 22u);

  // A path counts by its base name, cut to the kernel's 15 bytes; a process
  // that renamed itself is taken as it is, after the wait.
  stat("play_stream.sh-");
  EXPECT_EQ(started_identity(77, "/opt/play_stream.sh-long", proc.path())->name, "play_stream.sh-");
  stat("renamed");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(started_identity(77, "sh", proc.path())->name, "renamed");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  EXPECT_FALSE(started_identity(78, "sh", proc.path()).has_value());
}

}  // namespace
}  // namespace ze
