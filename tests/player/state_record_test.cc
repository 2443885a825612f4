#include "player/state_record.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(StateRecordTest, NumbersMustBeWholeAndInRange) {
  auto state_with = [](const std::string& pid, const std::string& started) {
    return R"({"station_id":"a","station_name":"A","stream_url":"u","frequency":"f","pid":)" + pid +
           R"(,"started_at":)" + started + "}";
  };
  Result<PersistedState> good = parse_state(state_with("4294967295", "0"));
  ASSERT_TRUE(good.ok()) << good.error();
  EXPECT_EQ(good->pid, 4294967295u);
  EXPECT_TRUE(parse_state(state_with("1", "18446744073709551615")).ok());
  for (const char* pid : {"-1", "1.5", "4294967296", "\"12\"", "null", "1e400"}) {
    EXPECT_FALSE(parse_state(state_with(pid, "0")).ok()) << pid;
  }
  EXPECT_FALSE(parse_state(state_with("1", "-5")).ok());
}

TEST(StateRecordTest, IsWrittenCompactInKeyOrder) {
  PersistedState state{"vov giao thông", "VOV Giao Thông", "http://x/a\"b\\c/", "FM\t91\x01", 42, 7,
                       std::nullopt, std::nullopt};
  std::string text = write_state(state);
  EXPECT_EQ(text,
            "{\"station_id\":\"vov giao thông\",\"station_name\":\"VOV Giao Thông\","
            "\"stream_url\":\"http://x/a\\\"b\\\\c/\",\"frequency\":\"FM\\t91\\u0001\","
            "\"pid\":42,\"started_at\":7}");
  Result<PersistedState> back = parse_state(text);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->frequency, state.frequency);
  EXPECT_FALSE(back->process_start.has_value() || back->process_name.has_value());

  // The engine's identity follows, and reads back.
  state.process_start = 123456;
  state.process_name = "sh";
  text = write_state(state);
  EXPECT_TRUE(text.ends_with(",\"started_at\":7,\"process_start\":123456,\"process_name\":\"sh\"}"))
      << text;
  back = parse_state(text);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->process_start, 123456u);
  EXPECT_EQ(back->process_name, "sh");
  EXPECT_FALSE(parse_state(text.replace(text.find("123456"), 6, "-1")).ok());
}

}  // namespace
}  // namespace ze
