#include "base/text.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(TextTest, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8("Hải Phòng ⭐"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));
  EXPECT_FALSE(is_valid_utf8("\xff"));
  EXPECT_FALSE(is_valid_utf8("\xC3"));          // cut short
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // surrogate
}

TEST(TextTest, TrimUsesTheUnicodeSpaceSet) {
  EXPECT_EQ(trim_space(" \t\u00a0vol_up\u3000\r\n"), "vol_up");
  EXPECT_EQ(trim_space("   "), "");
  EXPECT_EQ(trim_space("a b"), "a b");
}

TEST(TextTest, LowerCaseCoversVietnameseCapitals) {
  EXPECT_EQ(to_lower("VOV GIAO THÔNG HÀ NỘI"), "vov giao thông hà nội");
  EXPECT_EQ(to_lower("ĐÀI ƠƯ ẤẦẨẪẬ ỲỴ"), "đài ơư ấầẩẫậ ỳỵ");
  EXPECT_EQ(to_lower("Chạm Radio - Acoustic"), "chạm radio - acoustic");
}

TEST(TextTest, UpperCaseForMatchingCommandWords) {
  EXPECT_EQ(upper_for_matching("vol_up"), "VOL_UP");
  EXPECT_EQ(upper_for_matching("\u017f"), "S");  // long s upper-cases to S
  EXPECT_EQ(upper_for_matching("\ufb05"), "ST");
  EXPECT_EQ(upper_for_matching("phát"), std::nullopt);
}

TEST(TextTest, ShellWordQuotesOnlyWhatTheShellWouldRead) {
  EXPECT_EQ(shell_word("/mnt/UDISK/system.json"), "/mnt/UDISK/system.json");
  EXPECT_EQ(shell_word("/tmp/a b/it's;$x"), "'/tmp/a b/it'\\''s;$x'");
}

}  // namespace
}  // namespace ze
