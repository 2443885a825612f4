#include "input/key_device_reader.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "input/action_waiter.h"
#include "input/key_records.h"
#include "base/files.h"
#include "base/thread.h"
#include "temp_dir.h"

namespace ze {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::actions_after;
using testing::input_record;

constexpr uint16_t kBtnEast = 305, kKeyUp = 103, kKeyDown = 108;

std::string key(uint16_t code, int32_t value) { return input_record(kEvKey, code, value); }
std::string hat_y(int32_t value) { return input_record(kEvAbs, kAbsHat0Y, value); }

// Named pipes standing in for event devices, held open for reading and
// writing by the test so that writes never block and never end the input.
class FakeDevices {
 public:
  explicit FakeDevices(int count) {
    for (int n = 0; n < count; ++n) {
      std::string path = prefix() + std::to_string(n);
      ::mkfifo(path.c_str(), 0600);
      ends_.emplace_back(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }
  }
  std::string prefix() const { return dir_ / "event"; }

  void write(size_t device, const std::string& bytes) {
    ASSERT_EQ(::write(ends_[device].get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }

  // Starts the reader; returns once it is past what was pending and reads
  // what comes next.
  QueueHandle<Action> start_reader() {
    QueueHandle<Action> queue = make_queue<Action>();
    spawn_detached([queue, prefix = prefix()] { key_device_reader(queue, prefix); });
    std::optional<Action> first;
    EXPECT_TRUE(testing::probe_until_reading([&](const std::string& bytes) { write(0, bytes); },
                                             [&] {
                                               std::this_thread::sleep_for(
                                                   std::chrono::milliseconds(10));
                                               first = queue->try_receive();
                                               return first.has_value();
                                             }))
        << "the reader never came past what was pending";
    EXPECT_EQ(first, Action::Down);
    int pending = 1;
    for (int i = 0; i < 2500 && pending > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ::ioctl(ends_[0].get(), FIONREAD, &pending);
    }
    EXPECT_EQ(pending, 0) << "the reader stopped reading";
    return queue;
  }

 private:
  ze::testing::TempDir dir_;
  std::vector<UniqueFd> ends_;
};

TEST(KeyDeviceReaderTest, ButtonsPressesAndHatMovesMapToActions) {
  EXPECT_EQ(key_code_action(1), Action::Cancel);    // KEY_ESC
  EXPECT_EQ(key_code_action(304), Action::Cancel);  // BTN_SOUTH
  EXPECT_EQ(key_code_action(314), Action::MuteToggle);
  EXPECT_FALSE(key_code_action(306));  // BTN_C
  EXPECT_FALSE(key_code_action(309));  // BTN_Z
  int mapped = 0;
  for (int code = 0; code < 0x300; ++code) mapped += key_code_action(code).has_value();
  EXPECT_EQ(mapped, 18);

  HatState hat;
  EXPECT_FALSE(event_action(hat, {0, kBtnEast, 1}));  // EV_SYN
  EXPECT_FALSE(event_action(hat, {kEvAbs, 0, 1}));    // ABS_X
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  EXPECT_FALSE(event_action(hat, {kEvAbs, kAbsHat0Y, 1}));  // still held
  EXPECT_FALSE(event_action(hat, {kEvAbs, kAbsHat0Y, 0}));  // centred
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, -1}), Action::Up);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0X, 1}), Action::Right);  // separate axis
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0X, -1}), Action::Left);
}

TEST(KeyDeviceReaderTest, WithoutDevicesTheReaderEndsAndLetsGoOfTheQueue) {
  ze::testing::TempDir dir;
  QueueHandle<Action> queue = make_queue<Action>();
  ::testing::internal::CaptureStdout();
  std::thread([queue, prefix = dir / "event"] { key_device_reader(queue, prefix); }).join();
  EXPECT_THAT(::testing::internal::GetCapturedStdout(),
              HasSubstr("[Input] No /dev/input/event* devices found.\n"));
  EXPECT_EQ(queue.use_count(), 1);
}

TEST(KeyDeviceReaderTest, InputPendingAtStartIsDiscarded) {
  FakeDevices devices(1);
  devices.write(0, key(kKeyUp, 1));
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kKeyDown, 1));
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Down));
}

TEST(KeyDeviceReaderTest, HeldButtonActsOnPressAndAutorepeatAndIsLogged) {
  FakeDevices devices(1);
  ::testing::internal::CaptureStdout();
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kBtnEast, 1) + key(kBtnEast, 2) + key(kBtnEast, 2) + key(kBtnEast, 0) +
                       key(306, 1) + key(kKeyUp, 1));
  std::vector<Action> got = actions_after(*queue, 4);
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(got, ElementsAre(Action::Confirm, Action::Confirm, Action::Confirm, Action::Up));
  EXPECT_THAT(log, HasSubstr("[Input] Opened input device: " + devices.prefix() + "0\n"));
  EXPECT_THAT(log, HasSubstr("[Input-Device] EV_KEY code: 305 value: 2 -> action: Confirm\n"));
  EXPECT_THAT(log, HasSubstr("[Input-Device] EV_KEY code: 103 value: 1 -> action: Up\n"));
}

TEST(KeyDeviceReaderTest, ReadOfFiftyBytesHandlesTwoRecordsAndDropsTheRest) {
  FakeDevices devices(1);
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kKeyUp, 1) + key(kKeyDown, 1) + "\x01\x01");
  EXPECT_THAT(actions_after(*queue, 2), ElementsAre(Action::Up, Action::Down));
  devices.write(0, key(kBtnEast, 1));  // aligned again: the 2 bytes went with the read
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Confirm));
}

TEST(KeyDeviceReaderTest, HatPositionIsSharedByAllDevices) {
  FakeDevices devices(2);
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, hat_y(1));
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Down));
  devices.write(1, hat_y(1) + hat_y(0) + hat_y(1));
  EXPECT_THAT(actions_after(*queue, 1), ElementsAre(Action::Down));
}

}  // namespace
}  // namespace ze
