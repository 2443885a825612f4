#include "input/command_fifo.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "action_waiter.h"
#include "base/files.h"
#include "base/thread.h"
#include "temp_dir.h"

namespace ze {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::actions_after;

std::optional<Action> action_of(std::string_view line) {
  std::optional<Command> command = parse_command_line(line);
  return command ? std::optional<Action>(command->action) : std::nullopt;
}

bool is_fifo(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// A command reader on a pipe of its own in a temporary folder.
class CommandPipe {
 public:
  QueueHandle<Action> start() {
    QueueHandle<Action> queue = make_queue<Action>();
    spawn_detached([queue, path = path_] { fifo_command_reader(queue, path); });
    for (int i = 0; i < 2500 && !is_fifo(path_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return queue;
  }

  // Connects a writer as soon as the reader waits for one, sends `bytes`
  // and closes.
  void send(const std::string& bytes) {
    UniqueFd fd;
    for (int i = 0; i < 2500 && !fd.valid(); ++i) {
      fd.reset(::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
      if (!fd.valid()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(fd.valid()) << "the reader never opened the pipe";
    ::fcntl(fd.get(), F_SETFL, 0);
    ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }

  const std::string& path() const { return path_; }

 private:
  ze::testing::TempDir dir_;
  std::string path_ = dir_ / "cmd";
};

TEST(CommandFifoTest, WholeTrimmedUpperCasedLineMustBeACommandWord) {
  std::optional<Command> up = parse_command_line("up");
  ASSERT_TRUE(up);
  EXPECT_EQ(up->word, "UP");
  EXPECT_EQ(action_of("\u00a0Timer\u3000"), Action::MuteToggle);  // Unicode blanks
  EXPECT_EQ(action_of("\ufb06op"), Action::Cancel);  // the st ligature upper-cases to ST
  EXPECT_EQ(action_of("a_left"), Action::Left);
  EXPECT_FALSE(action_of("D"));
  EXPECT_FALSE(action_of("A_UP"));
  EXPECT_FALSE(action_of("\xffUP"));
}

TEST(CommandFifoTest, SplitterCutsLinesAndHoldsNoMoreThanOneCommandLine) {
  CommandLineSplitter splitter;
  EXPECT_THAT(splitter.feed("UP\r\nDO"), ElementsAre("UP"));
  EXPECT_THAT(splitter.feed("WN\n\nA"), ElementsAre("DOWN", ""));
  EXPECT_EQ(splitter.finish(), "A");
  EXPECT_EQ(splitter.finish(), std::nullopt);

  std::string at_limit = std::string(kMaxCommandLine - 2, ' ') + "UP";
  EXPECT_THAT(splitter.feed(at_limit + "\n"), ElementsAre(at_limit));
  EXPECT_THAT(splitter.feed(" " + at_limit + "\nB\n"), ElementsAre("B"));

  // A megabyte without a line feed, in read-sized pieces, is never held.
  for (int i = 0; i < 128; ++i) {
    EXPECT_THAT(splitter.feed(std::string(8192, 'x')), IsEmpty());
    EXPECT_LE(splitter.pending_bytes(), kMaxCommandLine);
  }
  EXPECT_THAT(splitter.feed("x\nUP\n" + std::string(kMaxCommandLine + 1, 'y')), ElementsAre("UP"));
  EXPECT_EQ(splitter.finish(), std::nullopt);
}

TEST(CommandFifoTest, LinesFromAWriterBecomeActionsInOrder) {
  CommandPipe pipe;
  QueueHandle<Action> queue = pipe.start();
  ::testing::internal::CaptureStdout();
  pipe.send(
      "up\n"
      "  vol_up  \r\n"
      "play pause\n"
      "DOWN\nDOWN\nA\n"
      "LEFT\n\xc3\x28\nRIGHT\n");
  std::vector<Action> got = actions_after(*queue, 7);
  EXPECT_THAT(::testing::internal::GetCapturedStdout(),
              HasSubstr("[Input-FIFO] Received command: UP -> Up\n"));
  EXPECT_THAT(got, ElementsAre(Action::Up, Action::VolumeUp, Action::Down, Action::Down,
                               Action::Confirm, Action::Left, Action::Right));
}

TEST(CommandFifoTest, FileAtThePathIsReplacedAndWritersMayComeAndGo) {
  CommandPipe pipe;
  ASSERT_TRUE(write_file(pipe.path(), "left over\n").ok());
  QueueHandle<Action> queue = pipe.start();
  pipe.send("START\n");
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::NowPlayingToggle));
  // The next writer gets in after the pause; its last line needs no line feed.
  auto closed = std::chrono::steady_clock::now();
  pipe.send("fav\nexit");
  EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(1));
  EXPECT_THAT(actions_after(*queue, 2), ElementsAre(Action::ToggleFavorite, Action::Exit));
}

// A writer that opens, writes one command and closes as fast as it can keeps
// meeting the reader at its end of input: the writes that succeeded must
// still reach the queue. Only a writer that gets in between the reader's last
// read and its close can lose its line (the pipe has no reader during the
// pause, so some moment of closing there must be); that stays rare, about
// one write in several thousand on a loaded machine or a slow emulator.
TEST(CommandFifoTest, WritersInATightLoopKeepTheirCommands) {
  CommandPipe pipe;
  QueueHandle<Action> queue = pipe.start();
  // A write just after the reader closed fails with EPIPE: that writer knows
  // its line is lost, so the signal is ignored and the write is not counted.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  size_t written = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (std::chrono::steady_clock::now() < end) {
    UniqueFd fd(::open(pipe.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) continue;  // the reader is in its pause
    if (::write(fd.get(), "UP\n", 3) == 3) ++written;
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_GT(written, 20u);
  size_t received = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (received < written && std::chrono::steady_clock::now() < deadline) {
    if (queue->try_receive()) {
      ++received;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  EXPECT_LE(received, written);
  // A line written between the reader's end of input and its close is lost
  // with the pipe; how many fall into that moment depends on how the two
  // threads are scheduled (more on a loaded machine). A reader that dropped
  // lines at any other time would lose far more than this.
  EXPECT_GE(received + written / 20 + 5, written) << "lost " << written - received << " lines";
}

TEST(CommandFifoTest, OverlongLineIsSkippedAndTheNextLineStillCounts) {
  CommandPipe pipe;
  QueueHandle<Action> queue = pipe.start();
  pipe.send(std::string(1 << 20, 'U') + "P\nUP\n");
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Up));
}

std::chrono::microseconds cpu_time() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto total = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return total(usage.ru_utime) + total(usage.ru_stime);
}

TEST(CommandFifoTest, DirectoryAtThePathDoesNotMakeTheReaderSpin) {
  ze::testing::TempDir dir;
  std::string path = dir / "cmd";
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);  // neither removable nor replaceable
  QueueHandle<Action> queue = make_queue<Action>();
  auto before = cpu_time();
  spawn_detached([queue, path] { fifo_command_reader(queue, path); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(cpu_time() - before, std::chrono::milliseconds(150));
  EXPECT_FALSE(queue->try_receive());
}

}  // namespace
}  // namespace ze
