#include "catalog/favorites.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "catalog/records.h"

namespace ze {

FavoritesPaths default_favorites_paths() {
  return {paths::kAppFavorites, paths::kAppDir, paths::kLocalFavorites};
}

FavoritesFile::FavoritesFile(FavoritesPaths paths) : paths_(std::move(paths)) {}

FavoriteSet FavoritesFile::load() {
  const std::string& path = path_exists(paths_.app_file) ? paths_.app_file : paths_.local_file;
  damaged_.reset();
  if (!path_exists(path)) return {};
  Result<std::string> text = read_file(path);
  Result<std::vector<std::string>> ids =
      text ? parse_favorites(*text) : Result<std::vector<std::string>>(Error{text.error()});
  if (!ids) {
    damaged_ = path;
    return {};
  }
  return FavoriteSet(ids->begin(), ids->end());
}

void FavoritesFile::save(const FavoriteSet& favorites) {
  const std::string& path = path_exists(paths_.app_dir) ? paths_.app_file : paths_.local_file;
  if (damaged_ && *damaged_ == path) {
    // A hand edit with one typo still holds the user's favourites: it is
    // kept for repair instead of being replaced by the set in memory.
    const std::string kept = path + ".bad";
    if (std::rename(path.c_str(), kept.c_str()) != 0) {
      logf("[Favorites] Could not keep unreadable {} as {}: {}", path, kept, errno_text(errno));
      return;
    }
    logf("[Favorites] Kept unreadable {} as {}", path, kept);
    damaged_.reset();
  }
  // Replaced atomically: a power cut mid-write must not leave a truncated
  // file, which would load as no favourites at all. Failures are dropped;
  // the set in memory keeps the change.
  (void)write_file_atomic(path, write_favorites({favorites.begin(), favorites.end()}));
}

}  // namespace ze
