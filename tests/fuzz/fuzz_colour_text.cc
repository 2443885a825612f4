// The catalog's colour texts: accepted exactly when the text is an optional
// "+" and 1 to 8 hexadecimal digits, with the value of those digits; the
// value written in hexadecimal reads back as itself.
#include <charconv>
#include <string>

#include <fmt/format.h>

#include "fuzz_check.h"
#include "graphics/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);
  std::optional<uint32_t> value = ze::parse_colour_text(text);

  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  bool all_hex = !digits.empty() && digits.size() <= 8 &&
                 digits.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
  FUZZ_CHECK(value.has_value() == all_hex,
             "a colour is accepted exactly when it is 1 to 8 hex digits");
  if (!value) return 0;
  uint32_t expected = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), expected, 16);
  FUZZ_CHECK(*value == expected, "a colour's value is that of its digits");
  FUZZ_CHECK(ze::parse_colour_text(fmt::format("{:x}", *value)) == value,
             "a colour written in hexadecimal reads back");
  FUZZ_CHECK(ze::parse_colour_text(fmt::format("+{:08X}", *value)) == value,
             "a colour written with a plus and eight digits reads back");
  return 0;
}
