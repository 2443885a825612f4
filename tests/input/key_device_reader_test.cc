#include "input/key_device_reader.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

constexpr uint16_t kBtnEast = 305;
constexpr uint16_t kKeyUp = 103;
constexpr uint16_t kKeyDown = 108;

// A record as a 64-bit kernel writes it, with a time stamp the reader ignores.
std::string record(uint16_t type, uint16_t code, int32_t value) {
  std::string bytes(kInputEventSize, '\x7f');
  std::memcpy(bytes.data() + 16, &type, 2);
  std::memcpy(bytes.data() + 18, &code, 2);
  std::memcpy(bytes.data() + 20, &value, 4);
  return bytes;
}

std::string key(uint16_t code, int32_t value) { return record(kEvKey, code, value); }
std::string hat_y(int32_t value) { return record(kEvAbs, kAbsHat0Y, value); }

// Named pipes standing in for event devices. The test keeps each open for
// reading and writing, so writes never block and the reader never sees the
// end of input.
class FakeDevices {
 public:
  explicit FakeDevices(int count) {
    for (int n = 0; n < count; ++n) {
      std::string path = dir_ / ("event" + std::to_string(n));
      EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
      ends_.emplace_back(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }
  }

  std::string prefix() const { return dir_ / "event"; }

  void write(int device, const std::string& bytes) {
    ASSERT_EQ(::write(ends_[device].get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  // Waits until the reader has taken everything written so far.
  void wait_drained() {
    for (int i = 0; i < 2500; ++i) {
      bool drained = true;
      for (const UniqueFd& end : ends_) {
        int pending = 0;
        ::ioctl(end.get(), FIONREAD, &pending);
        drained = drained && pending == 0;
      }
      if (drained) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FAIL() << "the reader never read the devices";
  }

  // Starts the reader and waits until it is past discarding old input.
  QueueHandle<Action> start_reader() {
    for (size_t n = 0; n < ends_.size(); ++n) write(static_cast<int>(n), key(kBtnEast, 0));
    QueueHandle<Action> queue = make_queue<Action>();
    spawn_detached([queue, prefix = prefix()] { key_device_reader(queue, prefix); });
    wait_drained();
    return queue;
  }

 private:
  ze::testing::TempDir dir_;
  std::vector<UniqueFd> ends_;
};

TEST(KeyDeviceReaderTest, OnlyTheButtonsOfTheConsoleHaveActions) {
  EXPECT_EQ(key_code_action(1), Action::Cancel);    // KEY_ESC
  EXPECT_EQ(key_code_action(304), Action::Cancel);  // BTN_SOUTH
  EXPECT_EQ(key_code_action(305), Action::Confirm);
  EXPECT_EQ(key_code_action(307), Action::ToggleFavorite);
  EXPECT_EQ(key_code_action(308), Action::OtaUpdate);
  EXPECT_EQ(key_code_action(114), Action::VolumeDown);
  EXPECT_EQ(key_code_action(312), Action::VolumeDown);
  EXPECT_EQ(key_code_action(313), Action::VolumeUp);
  EXPECT_EQ(key_code_action(314), Action::MuteToggle);
  EXPECT_EQ(key_code_action(315), Action::NowPlayingToggle);
  EXPECT_EQ(key_code_action(316), Action::Exit);
  EXPECT_FALSE(key_code_action(306));  // BTN_C
  EXPECT_FALSE(key_code_action(309));  // BTN_Z
  EXPECT_FALSE(key_code_action(0));
  int mapped = 0;
  for (int code = 0; code < 0x300; ++code) mapped += key_code_action(code).has_value();
  EXPECT_EQ(mapped, 18);
}

TEST(KeyDeviceReaderTest, PressAndAutorepeatActButReleaseAndOtherEventsDoNot) {
  HatState hat;
  EXPECT_EQ(event_action(hat, {kEvKey, kBtnEast, 1}), Action::Confirm);
  EXPECT_EQ(event_action(hat, {kEvKey, kBtnEast, 2}), Action::Confirm);
  EXPECT_FALSE(event_action(hat, {kEvKey, kBtnEast, 0}));
  EXPECT_FALSE(event_action(hat, {0, kBtnEast, 1}));          // EV_SYN
  EXPECT_FALSE(event_action(hat, {kEvAbs, 0, 1}));            // ABS_X
  EXPECT_FALSE(event_action(hat, {kEvAbs, kBtnEast, 1}));
}

TEST(KeyDeviceReaderTest, HatActsOnceWhenItReachesASide) {
  HatState hat;
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  EXPECT_FALSE(event_action(hat, {kEvAbs, kAbsHat0Y, 1}));  // still held
  EXPECT_FALSE(event_action(hat, {kEvAbs, kAbsHat0Y, 0}));  // centred
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, -1}), Action::Up);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0Y, 1}), Action::Down);
  // The axes are separate.
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0X, 1}), Action::Right);
  EXPECT_EQ(event_action(hat, {kEvAbs, kAbsHat0X, -1}), Action::Left);
  EXPECT_EQ(hat.last_y, 1);
  EXPECT_EQ(hat.last_x, -1);
}

TEST(KeyDeviceReaderTest, RecordFieldsAreReadAtTheirOffsets) {
  std::string bytes = record(kEvKey, 0x1234, -7);
  InputEvent event = decode_input_event(reinterpret_cast<const unsigned char*>(bytes.data()));
  EXPECT_EQ(event.type, kEvKey);
  EXPECT_EQ(event.code, 0x1234);
  EXPECT_EQ(event.value, -7);
}

TEST(KeyDeviceReaderTest, WithoutDevicesTheReaderEndsAndLetsGoOfTheQueue) {
  ze::testing::TempDir dir;
  QueueHandle<Action> queue = make_queue<Action>();
  ::testing::internal::CaptureStdout();
  std::thread reader([queue, prefix = dir / "event"] { key_device_reader(queue, prefix); });
  reader.join();
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(log, HasSubstr("[Input] No /dev/input/event* devices found.\n"));
  EXPECT_EQ(queue.use_count(), 1);
}

TEST(KeyDeviceReaderTest, InputPendingAtStartIsDiscarded) {
  FakeDevices devices(1);
  devices.write(0, key(kKeyUp, 1) + key(kKeyUp, 0));
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kKeyDown, 1));
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Down));
  EXPECT_THAT(later_actions(*queue), IsEmpty());
}

TEST(KeyDeviceReaderTest, HeldButtonRepeatsUntilReleasedAndPressesAreLogged) {
  FakeDevices devices(1);
  ::testing::internal::CaptureStdout();
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kBtnEast, 1) + key(kBtnEast, 2) + key(kBtnEast, 2) + key(kBtnEast, 0) +
                       key(306, 1) + key(309, 1) + key(kKeyUp, 1));
  std::vector<Action> got = wait_for_actions(*queue, 4);
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(got, ElementsAre(Action::Confirm, Action::Confirm, Action::Confirm, Action::Up));
  EXPECT_THAT(log, HasSubstr("[Input] Opened input device: " + devices.prefix() + "0\n"));
  EXPECT_THAT(log, HasSubstr("[Input-Device] EV_KEY code: 305 value: 1 -> action: Confirm\n"));
  EXPECT_THAT(log, HasSubstr("[Input-Device] EV_KEY code: 305 value: 2 -> action: Confirm\n"));
  EXPECT_THAT(log, HasSubstr("[Input-Device] EV_KEY code: 103 value: 1 -> action: Up\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("value: 0")));
}

TEST(KeyDeviceReaderTest, AReadOfFiftyBytesHandlesTwoRecordsAndDropsTheRest) {
  FakeDevices devices(1);
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, key(kKeyUp, 1) + key(kKeyDown, 1) + "\x01\x01");
  EXPECT_THAT(wait_for_actions(*queue, 2), ElementsAre(Action::Up, Action::Down));
  devices.write(0, key(kBtnEast, 1));  // still aligned: the 2 bytes went with the read
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Confirm));
}

TEST(KeyDeviceReaderTest, HatPositionIsSharedByAllDevices) {
  FakeDevices devices(2);
  QueueHandle<Action> queue = devices.start_reader();
  devices.write(0, hat_y(1));
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Down));
  devices.write(1, hat_y(1) + key(kBtnEast, 1));
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Confirm));
  devices.write(1, hat_y(0) + hat_y(1));
  EXPECT_THAT(wait_for_actions(*queue, 1), ElementsAre(Action::Down));
  EXPECT_THAT(later_actions(*queue), IsEmpty());
}

}  // namespace
}  // namespace ze
