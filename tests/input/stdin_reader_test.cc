#include "input/stdin_reader.h"

#include <fcntl.h>
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
using ::testing::IsEmpty;
using testing::later_actions;
using testing::wait_for_actions;

TEST(StandardInputReaderTest, KeyTableIsCaseSensitiveAndNeverMutes) {
  EXPECT_EQ(stdin_byte_action('w'), Action::Up);
  EXPECT_EQ(stdin_byte_action('S'), Action::Down);
  EXPECT_EQ(stdin_byte_action('\n'), Action::Confirm);
  EXPECT_EQ(stdin_byte_action(' '), Action::Confirm);
  EXPECT_EQ(stdin_byte_action('k'), Action::Cancel);
  EXPECT_EQ(stdin_byte_action('['), Action::PrevCategory);
  EXPECT_EQ(stdin_byte_action(']'), Action::NextCategory);
  EXPECT_EQ(stdin_byte_action('_'), Action::VolumeDown);
  EXPECT_EQ(stdin_byte_action('='), Action::VolumeUp);
  EXPECT_EQ(stdin_byte_action(27), Action::Exit);
  EXPECT_FALSE(stdin_byte_action('7'));
  EXPECT_FALSE(stdin_byte_action('\r'));
  EXPECT_FALSE(stdin_byte_action('{'));  // no case folding beyond letters
  int mapped = 0;
  for (int byte = 0; byte < 256; ++byte) {
    std::optional<Action> action = stdin_byte_action(static_cast<unsigned char>(byte));
    mapped += action.has_value();
    EXPECT_NE(action, Action::MuteToggle) << byte;
  }
  EXPECT_EQ(mapped, 39);
}

TEST(StandardInputReaderTest, BytesBecomeActionsInArrivalOrderAcrossEndsOfInput) {
  // A named pipe opened non-blocking: the reader sees "no data" errors while
  // a writer is connected and the end of input after it leaves.
  ze::testing::TempDir dir;
  std::string path = dir / "stdin";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // The reader keeps its descriptor for good: closing it under the thread
  // could hand the number to another test's file.
  int input = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(input, 0);
  QueueHandle<Action> queue = make_queue<Action>();
  spawn_detached([queue, input] { standard_input_reader(queue, input); });

  {
    UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::write(writer.get(), "s\n", 2), 2);
    EXPECT_THAT(wait_for_actions(*queue, 2), ElementsAre(Action::Down, Action::Confirm));
    ASSERT_EQ(::write(writer.get(), "S", 1), 1);
    EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Down));
    ASSERT_EQ(::write(writer.get(), "7", 1), 1);
    EXPECT_THAT(later_actions(*queue), IsEmpty());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(::write(writer.get(), "w", 1), 1);
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Up));
}

}  // namespace
}  // namespace ze
