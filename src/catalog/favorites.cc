#include "catalog/favorites.h"

#include <vector>

#include "base/files.h"
#include "base/paths.h"
#include "catalog/records.h"

namespace ze {

FavoritesPaths default_favorites_paths() {
  return {paths::kAppFavorites, paths::kAppDir, paths::kLocalFavorites};
}

FavoriteSet load_favorites(const FavoritesPaths& paths) {
  const std::string& path = path_exists(paths.app_file) ? paths.app_file : paths.local_file;
  Result<std::string> text = read_file(path);
  if (!text) return {};
  Result<std::vector<std::string>> ids = parse_favorites(*text);
  if (!ids) return {};
  return FavoriteSet(ids->begin(), ids->end());
}

void save_favorites(const FavoriteSet& favorites, const FavoritesPaths& paths) {
  const std::string& path = path_exists(paths.app_dir) ? paths.app_file : paths.local_file;
  // Replaced atomically: a power cut mid-write must not leave a truncated
  // file, which would load as no favourites at all. Failures are dropped;
  // the set in memory keeps the change.
  (void)write_file_atomic(path, write_favorites({favorites.begin(), favorites.end()}));
}

}  // namespace ze
