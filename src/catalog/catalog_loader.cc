#include "catalog/catalog_loader.h"

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

extern "C" const char ze_builtin_catalog[];
extern "C" const char ze_builtin_catalog_end[];

namespace ze {

std::vector<std::string> default_catalog_search_list() {
  return {paths::kAppCatalog, "./channels.json", "./package/channels.json",
          "../package/channels.json"};
}

std::string_view builtin_catalog_text() {
  return std::string_view(ze_builtin_catalog,
                          static_cast<size_t>(ze_builtin_catalog_end - ze_builtin_catalog));
}

ChannelCatalog builtin_catalog() {
  Result<ChannelCatalog> parsed = parse_catalog(builtin_catalog_text());
  if (!parsed) fatal("Invalid embedded channels.json: " + parsed.error());
  return std::move(parsed).value();
}

LoadedCatalog load_catalog(const std::vector<std::string>& candidates,
                           const std::string& fallback_path) {
  LoadedCatalog loaded;
  loaded.path = fallback_path;
  for (const std::string& candidate : candidates) {
    if (path_exists(candidate)) {
      loaded.path = candidate;
      break;
    }
  }
  Result<std::string> text = read_file(loaded.path);
  if (text && is_valid_utf8(*text)) {
    Result<ChannelCatalog> parsed = parse_catalog(*text);
    if (parsed) {
      logf("[Catalog] Loaded {} channels from {}", parsed->channels.size(), loaded.path);
      loaded.catalog = std::move(parsed).value();
      return loaded;
    }
  }
  log_line("[Catalog] File not found or invalid, using built-in default channels");
  loaded.catalog = builtin_catalog();
  return loaded;
}

}  // namespace ze
