#include "input/command_fifo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
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
using testing::later_actions;
using testing::wait_for_actions;

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
  CommandPipe() : path_(dir_ / "cmd") {}

  QueueHandle<Action> start() {
    QueueHandle<Action> queue = make_queue<Action>();
    spawn_detached([queue, path = path_] { fifo_command_reader(queue, path); });
    for (int i = 0; i < 2500 && !is_fifo(path_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(is_fifo(path_));
    return queue;
  }

  // Connects a writer once the reader is waiting for one.
  UniqueFd connect() {
    for (int i = 0; i < 2500; ++i) {
      UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
      if (fd.valid()) {
        ::fcntl(fd.get(), F_SETFL, 0);
        return fd;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "the reader never opened the pipe";
    return UniqueFd();
  }

  static void send(const UniqueFd& writer, const std::string& bytes) {
    ASSERT_EQ(::write(writer.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  const std::string& path() const { return path_; }

 private:
  ze::testing::TempDir dir_;
  std::string path_;
};

TEST(CommandFifoTest, WholeTrimmedUpperCasedLineMustBeACommandWord) {
  std::optional<Command> up = parse_command_line("up");
  ASSERT_TRUE(up);
  EXPECT_EQ(up->word, "UP");
  EXPECT_EQ(up->action, Action::Up);
  EXPECT_EQ(action_of(" \t vol_up \r"), Action::VolumeUp);
  EXPECT_EQ(action_of("\u00a0Timer\u3000"), Action::MuteToggle);  // Unicode blanks
  EXPECT_EQ(action_of("\u017f"), Action::Down);                  // long s upper-cases to S
  EXPECT_EQ(action_of("\ufb06op"), Action::Cancel);              // the st ligature: STOP
  EXPECT_EQ(action_of("a_left"), Action::Left);
  EXPECT_EQ(action_of("D_Right"), Action::Right);
  EXPECT_EQ(action_of("select"), Action::MuteToggle);
  EXPECT_EQ(action_of("menu"), Action::Exit);
  EXPECT_EQ(action_of("r1"), Action::NextCategory);
  EXPECT_FALSE(action_of("play pause"));
  EXPECT_FALSE(action_of("D"));
  EXPECT_FALSE(action_of("A_UP"));
  EXPECT_FALSE(action_of("UP!"));
  EXPECT_FALSE(action_of(""));
  EXPECT_FALSE(action_of("\xffUP"));
  EXPECT_FALSE(action_of("\u00fcp"));
}

TEST(CommandFifoTest, SplitterCutsLinesAndBoundsWhatItHolds) {
  CommandLineSplitter splitter;
  EXPECT_THAT(splitter.feed("UP\r\nDO"), ElementsAre("UP"));
  EXPECT_THAT(splitter.feed("WN\n\nA"), ElementsAre("DOWN", ""));
  EXPECT_EQ(splitter.finish(), "A");
  EXPECT_EQ(splitter.finish(), std::nullopt);

  // A line of exactly the limit still counts; one byte more is dropped.
  std::string at_limit = std::string(kMaxCommandLine - 2, ' ') + "UP";
  EXPECT_THAT(splitter.feed(at_limit + "\n"), ElementsAre(at_limit));
  EXPECT_THAT(splitter.feed(" " + at_limit + "\nB\n"), ElementsAre("B"));

  // A megabyte without a line feed, in read-sized pieces, is never held.
  std::string piece(8192, 'x');
  for (int i = 0; i < 128; ++i) {
    EXPECT_THAT(splitter.feed(piece), IsEmpty());
    EXPECT_LE(splitter.pending_bytes(), kMaxCommandLine);
  }
  EXPECT_THAT(splitter.feed("x\nUP\nLE"), ElementsAre("UP"));
  EXPECT_EQ(splitter.finish(), "LE");

  // An overlong unfinished line at the end of input is no line either.
  splitter.feed(std::string(kMaxCommandLine + 1, 'y'));
  EXPECT_EQ(splitter.finish(), std::nullopt);
}

TEST(CommandFifoTest, LinesFromAWriterBecomeActionsInOrder) {
  CommandPipe pipe;
  QueueHandle<Action> queue = pipe.start();
  UniqueFd writer = pipe.connect();
  ::testing::internal::CaptureStdout();
  CommandPipe::send(writer, "up\n");
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Up));
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(log, HasSubstr("[Input-FIFO] Received command: UP -> Up\n"));

  CommandPipe::send(writer, "  vol_up  \r\n");
  CommandPipe::send(writer, "play pause\n");
  CommandPipe::send(writer, "DOWN\nDOWN\nA\n");
  CommandPipe::send(writer, "LEFT\n\xc3\x28\nRIGHT\n");
  EXPECT_THAT(wait_for_actions(*queue, 6),
              ElementsAre(Action::VolumeUp, Action::Down, Action::Down, Action::Confirm,
                          Action::Left, Action::Right));
  EXPECT_THAT(later_actions(*queue), IsEmpty());
}

TEST(CommandFifoTest, FileAtThePathIsReplacedAndWritersMayComeAndGo) {
  CommandPipe pipe;
  ASSERT_TRUE(write_file(pipe.path(), "left over\n").ok());
  QueueHandle<Action> queue = pipe.start();
  {
    UniqueFd writer = pipe.connect();
    CommandPipe::send(writer, "START\n");
  }
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::NowPlayingToggle));
  {
    // Back within the pause and the next open; the last line needs no line feed.
    auto closed = std::chrono::steady_clock::now();
    UniqueFd writer = pipe.connect();
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(1));
    CommandPipe::send(writer, "fav\nexit");
  }
  EXPECT_THAT(wait_for_actions(*queue, 2), ElementsAre(Action::ToggleFavorite, Action::Exit));
  EXPECT_TRUE(is_fifo(pipe.path()));
}

TEST(CommandFifoTest, OverlongLineIsSkippedAndTheNextLineStillCounts) {
  CommandPipe pipe;
  QueueHandle<Action> queue = pipe.start();
  UniqueFd writer = pipe.connect();
  CommandPipe::send(writer, std::string(1 << 20, 'U') + "P\nUP\n");
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Up));
  EXPECT_THAT(later_actions(*queue), IsEmpty());
}

}  // namespace
}  // namespace ze
