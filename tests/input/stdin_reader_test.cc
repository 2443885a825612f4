#include "input/stdin_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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
using testing::actions_after;

TEST(StandardInputReaderTest, KeyTableIsCaseSensitiveAndNeverMutes) {
  EXPECT_EQ(stdin_byte_action('['), Action::PrevCategory);
  EXPECT_EQ(stdin_byte_action(27), Action::Exit);
  EXPECT_FALSE(stdin_byte_action('{'));
  int mapped = 0;
  for (int byte = 0; byte < 256; ++byte) {
    std::optional<Action> action = stdin_byte_action(static_cast<unsigned char>(byte));
    mapped += action.has_value();
    EXPECT_NE(action, Action::MuteToggle) << byte;
  }
  EXPECT_EQ(mapped, 39);
}

TEST(StandardInputReaderTest, BytesBecomeActionsInOrderAcrossEndsOfInput) {
  // A named pipe read non-blocking: "no data" errors while a writer is
  // connected, the end of input after it leaves.
  ze::testing::TempDir dir;
  std::string path = dir / "stdin";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // Never closed: closing it under the thread could hand its number to
  // another test's file.
  int input = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  QueueHandle<Action> queue = make_queue<Action>();
  spawn_detached([queue, input] { standard_input_reader(queue, input); });
  {
    UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::write(writer.get(), "s\n", 2), 2);
    EXPECT_THAT(actions_after(*queue, 2), ElementsAre(Action::Down, Action::Confirm));
    ASSERT_EQ(::write(writer.get(), "S7", 2), 2);
    EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Down));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(::write(writer.get(), "w", 1), 1);
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Up));
}

}  // namespace
}  // namespace ze
