// Version texts of the application: the version this build reports, the one
// rule that reads and compares versions, and the version records a program
// carries in its bytes. Pure functions.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace ze {

// The version this build reports to the update server: the build's version
// (the project's, or the one a package was built for), compiled into
// build_identity.cc and nowhere else.
std::string_view running_version();

// A program's bytes carry its version as the record "ze-radio-version=" +
// version; tools/package and tools/publish-update read it the same way.
inline constexpr std::string_view kVersionRecordPrefix = "ze-radio-version=";

// The one rule for versions, here and in tools/publish-update: numbers of
// ASCII digits separated by dots, after an optional leading "v" or "V",
// optionally followed by "-" and a pre-release of dot-separated identifiers
// (ASCII letters, digits, "-"); at most 64 characters. Numbers compare by
// value and trailing zeros do not count ("1.2" equals "1.2.0"); a
// pre-release sorts before its release ("1.3-rc1" before "1.3"), and two
// pre-releases compare identifier by identifier: numbers by value, below
// words, words in ASCII order, a shorter list first. Anything else is not a
// version and is refused.
struct Version {
  std::vector<uint32_t> numbers;        // without trailing zeros
  std::vector<std::string> prerelease;  // empty for a release
};

// The version, or an error that quotes the text and states the rule.
Result<Version> parse_version(std::string_view text);
// Negative, zero or positive as `a` is older than, the same as or newer
// than `b`.
int compare_versions(const Version& a, const Version& b);

// Whether `candidate` is a version newer than `running`; false when either
// text is not a version.
bool is_newer_version(std::string_view candidate, std::string_view running);
bool is_newer_version(std::string_view candidate);  // against running_version()

// Finds the version records in a program handed over in pieces of any size.
class VersionRecordScanner {
 public:
  void feed(std::string_view piece);
  // The distinct versions found; call once, after the last piece.
  std::set<std::string> finish();

 private:
  void scan(bool at_end);
  std::string window_;  // the unscanned tail of the data so far
  std::set<std::string> found_;
};

}  // namespace ze
