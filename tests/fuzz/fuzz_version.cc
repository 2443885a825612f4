// Version texts and their comparison. The input is cut at NUL bytes into up
// to three texts a, b, c. "Newer" is irreflexive, antisymmetric, transitive,
// and the same as comparing the number lists; a number list written out
// with dots reads back as itself.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "update/version.h"

namespace {

std::string join(const std::vector<uint32_t>& numbers) {
  std::string out;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) out += '.';
    out += std::to_string(numbers[i]);
  }
  return out;
}

void check_one(std::string_view a) {
  std::vector<uint32_t> numbers = ze::version_numbers(a);
  FUZZ_CHECK(!ze::is_newer_version(a, a), "a version is not newer than itself");
  FUZZ_CHECK(numbers.size() <= static_cast<size_t>(std::count(a.begin(), a.end(), '.')) + 1,
             "a version has at most one number per dotted piece");
  std::string written = join(numbers);
  FUZZ_CHECK(ze::version_numbers(written) == numbers, "a written number list reads back");
  FUZZ_CHECK(ze::version_numbers("v" + written) == numbers, "a leading v is dropped");
  FUZZ_CHECK(!ze::is_newer_version(written, a) && !ze::is_newer_version(a, written),
             "a version and its written number list are equal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = ze::fuzz::as_text(data, size);
  std::vector<std::string_view> texts;
  for (int i = 0; i < 3; ++i) {
    size_t end = input.find('\0');
    texts.push_back(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  for (std::string_view text : texts) check_one(text);
  for (std::string_view a : texts) {
    for (std::string_view b : texts) {
      bool newer = ze::is_newer_version(a, b);
      FUZZ_CHECK(!(newer && ze::is_newer_version(b, a)), "newer is antisymmetric");
      FUZZ_CHECK(newer == (ze::version_numbers(b) < ze::version_numbers(a)),
                 "newer compares the number lists");
      for (std::string_view c : texts) {
        if (newer && ze::is_newer_version(b, c)) {
          FUZZ_CHECK(ze::is_newer_version(a, c), "newer is transitive");
        }
      }
    }
  }
  return 0;
}
