// Loads the channel catalog once at start-up: the first existing file of a
// fixed search list, or the catalog built into the program when that file
// is missing or invalid. Main thread only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "catalog/records.h"

namespace ze {

struct LoadedCatalog {
  ChannelCatalog catalog;
  std::string path;  // where a synchronised catalog is stored later
};

// "/mnt/SDCARD/Apps/ze-radio/channels.json", "./channels.json",
// "./package/channels.json", "../package/channels.json".
std::vector<std::string> default_catalog_search_list();
inline constexpr const char* kDefaultCatalogPath = "channels.json";

// Never fails: logs what it loaded, or that it fell back to the built-in
// catalog. The path is the first existing candidate (any kind of entry,
// a directory too), else `fallback_path`.
LoadedCatalog load_catalog(const std::vector<std::string>& candidates = default_catalog_search_list(),
                           const std::string& fallback_path = kDefaultCatalogPath);

// The catalog text compiled into the program, and its parsed form (the
// process aborts with "Invalid embedded channels.json" if it does not parse).
std::string_view builtin_catalog_text();
ChannelCatalog builtin_catalog();

}  // namespace ze
