// The favourites store: the set of channel ids the user has starred, loaded
// once at start-up and written back in full after every change. Owned and
// used by the main thread only.
#pragma once

#include <set>
#include <string>

namespace ze {

using FavoriteSet = std::set<std::string>;

struct FavoritesPaths {
  std::string app_file;    // the file in the application folder
  std::string app_dir;     // the application folder
  std::string local_file;  // the fallback in the working directory
};
FavoritesPaths default_favorites_paths();

// Loads the app folder's file when it exists, otherwise the local one. A
// missing, unreadable or invalid file gives an empty set; nothing is logged.
FavoriteSet load_favorites(const FavoritesPaths& paths);
// Writes the set to the app folder's file when the app folder exists,
// otherwise to the local file, replacing it atomically. Failures are dropped.
void save_favorites(const FavoriteSet& favorites, const FavoritesPaths& paths);

}  // namespace ze
