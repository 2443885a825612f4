// Version texts of the application as lists of numbers, and the test whether
// a server's version is newer than the running one. Pure functions.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ze {

// The version this build of the player reports to the update server.
inline constexpr std::string_view kRunningVersion = "1.0.0";

// "v1.2.3" -> [1, 2, 3]: leading lower-case "v"s are dropped, the rest is
// split at "."; each piece contributes its leading ASCII digits, and a piece
// without digits or with a value beyond 32 bits contributes nothing.
std::vector<uint32_t> version_numbers(std::string_view text);

// Whether `candidate` is greater than `running`, comparing the number lists
// element by element; on an equal prefix the longer list is greater.
bool is_newer_version(std::string_view candidate, std::string_view running = kRunningVersion);

}  // namespace ze
