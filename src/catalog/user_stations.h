// The user's own stations: an .m3u/.m3u8 or .pls playlist in the application
// folder that the program only ever reads and that no update touches. Loaded
// once at start-up on the main thread; its entries become the channels of the
// "Của tôi" tab, with ids derived from their addresses so that favourites of
// them stay valid across starts and catalog updates.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/records.h"

namespace ze {

inline constexpr size_t kMaxUserStations = 500;
// Larger files are not read at all: 500 entries fit many times over.
inline constexpr size_t kMaxUserStationFileBytes = 4 * 1024 * 1024;

// The tab of the user's stations, shown before the favourites tab while the
// list has at least one station; its channels carry this id as category.
inline const Category kUserCategory{"user", "Của tôi", "My stations"};

struct UserStations {
  std::vector<Channel> channels;  // in playlist order, at most kMaxUserStations
  std::vector<std::string> log;   // one line per entry left out, ready to log
};

// The stations of a playlist text, UTF-8 or UTF-16 with a byte-order mark;
// `path` names the file in the log lines and its extension picks the format
// (".pls", else M3U) unless the text starts with "[playlist]". Entries whose
// address is not http(s) or starts with "-", and repeats of an address (the
// scheme and host name in any letter case), are left out with a line naming
// their line. Names are the playlist's titles (trimmed, without control or
// invisible format characters such as direction overrides, at most 100
// characters) or else the address's host, which is also the description.
UserStations user_stations_from_text(std::string_view text, std::string_view path);

// "user-" and twelve hexadecimal digits of a fixed hash of the address.
std::string user_station_id(std::string_view url);
// A short label for the badge: the name up to a " - ", " | " or " (" when
// that is at most ten characters, else the initials of its words (at most
// six), or the first eight characters of a single long word (of its first
// label when it is a host name).
std::string user_badge_text(std::string_view name);

// "my_stations.m3u", "my_stations.m3u8", "my_stations.pls" in the application
// folder, then the same names in the working directory.
std::vector<std::string> default_user_station_files();

// Reads the first existing file of `candidates`. A missing file is silent and
// gives no stations; an unreadable file, or one without a usable entry, is
// logged once; every entry left out is logged with its line number.
std::vector<Channel> load_user_stations(
    const std::vector<std::string>& candidates = default_user_station_files());

}  // namespace ze
