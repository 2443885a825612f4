#include "base/log.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

// Texts from a catalog or a server end up in placeholders: whatever they
// hold, each logf call writes exactly one line of the program's own.
TEST(LogTest, PlaceholderTextsCannotBreakOrForgeLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"VOV1 - Thời sự", "VOV1 - Thời sự"},
      {"A\n[Main] Clean exit (not playing).", "A\\n[Main] Clean exit (not playing)."},
      {"a\r\tb", "a\\r\\tb"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[2Jred\x7f", "\\x1b[2Jred\\x7f"},
      {"next\xc2\x85line", "next\\u{0085}line"},
      {"sep\xe2\x80\xa8par\xe2\x80\xa9", "sep\\u{2028}par\\u{2029}"},
      {"ok \xe2\x80\x94 dash \\n", "ok \xe2\x80\x94 dash \\n"},
      {"\xff\xc2", "\xff\xc2"},
  };
  for (const auto& [text, shown] : cases) {
    ::testing::internal::CaptureStdout();
    logf("[Main] Playing station: {} ({})", text, std::string_view(text));
    const char* raw = text.c_str();
    logf("[Favorites] Added {} to favorites, {:>3}, {:02}", raw, "x", 7);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[Main] Playing station: " + shown + " (" + shown + ")\n" +
                       "[Favorites] Added " + escape_controls(raw) + " to favorites,   x, 07\n")
        << text;
  }
}

}  // namespace
}  // namespace ze
