// The favourites store: the set of channel ids the user has starred, loaded
// once at start-up and written back in full after every change. A damaged
// file is never lost: the first save over it keeps it aside. Owned and used
// by the main thread only.
#pragma once

#include <optional>
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

class FavoritesFile {
 public:
  explicit FavoritesFile(FavoritesPaths paths = default_favorites_paths());

  // Loads the app folder's file when it exists, otherwise the local one. A
  // missing, unreadable or invalid file gives an empty set; nothing is
  // logged. A file that exists but cannot be read or parsed is remembered.
  FavoriteSet load();
  // Writes the set to the app folder's file when the app folder exists,
  // otherwise to the local file, replacing it atomically. Before the first
  // write over the remembered damaged file, that file is renamed to its name
  // + ".bad" (replacing an older one) and the keeping is logged; while it
  // cannot be kept, nothing is written over it. Failures are dropped.
  void save(const FavoriteSet& favorites);

 private:
  FavoritesPaths paths_;
  std::optional<std::string> damaged_;  // a loaded path that could not be read
};

}  // namespace ze
