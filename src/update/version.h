// Version texts of the application: the version this build reports, version
// texts as lists of numbers with the test whether a server's version is newer,
// and the version records a program carries in its bytes. Pure functions.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ze {

// The version this build reports to the update server: the build's version
// (the project's, or the one a package was built for), compiled into
// build_identity.cc and nowhere else.
std::string_view running_version();

// A program's bytes carry its version as the record "ze-radio-version=" +
// version; tools/package and tools/publish-update read it the same way.
inline constexpr std::string_view kVersionRecordPrefix = "ze-radio-version=";

// "v1.2.3" -> [1, 2, 3]: leading lower-case "v"s are dropped, the rest is
// split at "."; each piece contributes its leading ASCII digits, and a piece
// without digits or with a value beyond 32 bits contributes nothing.
std::vector<uint32_t> version_numbers(std::string_view text);

// Whether `candidate` is greater than `running`, comparing the number lists
// element by element; on an equal prefix the longer list is greater.
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
