// Version texts and their comparison. The input is cut at NUL bytes into up
// to three texts a, b, c. A text is a version or refused with a message that
// quotes it; "newer" is irreflexive, antisymmetric, transitive and the same
// as the comparison of the parsed versions; a version written out again
// (numbers and pre-release, with or without a leading v) reads back equal.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "update/version.h"

namespace {

std::string write(const ze::Version& version) {
  std::string out;
  for (size_t i = 0; i < version.numbers.size(); ++i) {
    if (i > 0) out += '.';
    out += std::to_string(version.numbers[i]);
  }
  if (out.empty()) out = "0";
  for (size_t i = 0; i < version.prerelease.size(); ++i) {
    out += i == 0 ? '-' : '.';
    out += version.prerelease[i];
  }
  return out;
}

void check_one(std::string_view a) {
  FUZZ_CHECK(!ze::is_newer_version(a, a), "a version is not newer than itself");
  ze::Result<ze::Version> parsed = ze::parse_version(a);
  if (!parsed) {
    FUZZ_CHECK(parsed.error().starts_with("'"), "a refusal quotes the text");
    return;
  }
  std::string written = write(*parsed);
  if (written.size() > 63) return;  // written longer than the text, past the length limit
  for (const std::string& again : {written, "v" + written, "V" + written}) {
    ze::Result<ze::Version> back = ze::parse_version(again);
    FUZZ_CHECK(back.ok(), "a written version reads back");
    FUZZ_CHECK(ze::compare_versions(*back, *parsed) == 0, "a written version is the same version");
  }
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
      ze::Result<ze::Version> pa = ze::parse_version(a);
      ze::Result<ze::Version> pb = ze::parse_version(b);
      FUZZ_CHECK(newer == (pa && pb && ze::compare_versions(*pa, *pb) > 0),
                 "newer compares the parsed versions");
      for (std::string_view c : texts) {
        if (newer && ze::is_newer_version(b, c)) {
          FUZZ_CHECK(ze::is_newer_version(a, c), "newer is transitive");
        }
      }
    }
  }
  return 0;
}
