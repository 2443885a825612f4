#include "update/update_checker.h"

#include <optional>
#include <utility>
#include <vector>

#include "base/curl_command.h"
#include "base/files.h"
#include "base/log.h"
#include "base/process.h"
#include "base/thread.h"
#include "catalog/catalog_loader.h"
#include "catalog/records.h"
#include "update/manifest.h"
#include "update/fetch_document.h"

#ifndef ZE_RADIO_UPDATE_URL
#error "ZE_RADIO_UPDATE_URL must name the update server"
#endif

namespace ze {
namespace {

constexpr const char* kManifestPath = "/ota/ze-radio.json";
constexpr const char* kCatalogPath = "/channels.json";
constexpr const char* kUnreachableText = "Unable to download latest channels. Check Wi-Fi connection.";

// The limits of each request; the size limit bounds what is read too.
const CurlRequest kManifestRequest{
    .connect_timeout_seconds = 6, .max_time_seconds = 12, .max_filesize = kMaxDocumentSize,
    .ipv4_only = true};
const CurlRequest kCatalogRequest{
    .connect_timeout_seconds = 5, .max_time_seconds = 10, .max_filesize = kMaxDocumentSize,
    .ipv4_only = true};
// A missing signature is a failed request, not a page to decode.
const CurlRequest kSignatureRequest{.connect_timeout_seconds = 5,
                                        .max_time_seconds = 10,
                                        .max_filesize = 4096,
                                        .fail_on_http_error = true,
    .ipv4_only = true};

// Why a fetched document is refused for its size or its shape; ok also when
// nothing came.
Status document_bounds(const Fetched& fetched, const CurlRequest& request) {
  if (fetched.too_large) {
    return Error{"document larger than " + std::to_string(request.max_filesize) + " bytes"};
  }
  return fetched.body ? check_document_bounds(*fetched.body) : ok_status();
}

// The newer manifest, or nothing when the catalog is to be synchronised.
std::optional<OtaManifest> newer_manifest(const UpdateCheckConfig& config) {
  std::string url = config.base_url + kManifestPath;
  logf("[OTA] Checking for system update at: {}", url);
  Fetched fetched = fetch_document(config.curl, kManifestRequest, url);
  if (!fetched.body && !fetched.too_large) {
    // There is one manifest address: the "fallback" is a second try of it,
    // logged in the words this line has always had.
    logf("[OTA] Primary manifest failed, trying fallback: {}", url);
    fetched = fetch_document(config.curl, kManifestRequest, url);
  }
  if (Status bounded = document_bounds(fetched, kManifestRequest); !bounded) {
    logf("[OTA] Manifest refused: {}", bounded.error());
    return std::nullopt;
  }
  if (!fetched.body) return std::nullopt;
  Result<OtaManifest> manifest = parse_manifest(*fetched.body);
  if (!manifest) return std::nullopt;
  if (Result<Version> version = parse_version(manifest->version); !version) {
    logf("[OTA] Manifest refused: {}", version.error());
    return std::nullopt;
  }
  if (is_newer_version(manifest->version, config.running_version)) {
    logf("[OTA] Newer version available: {} (current: {})", manifest->version,
         config.running_version);
    return std::move(manifest).value();
  }
  logf("[OTA] Already up to date: {}", config.running_version);
  return std::nullopt;
}

// The system's part of a file error ("Is a directory (os error 21)"): the
// helpers put the file's path in front, and the warning names the file itself.
std::string system_error_part(const std::string& message, const std::string& path) {
  size_t start = 0;
  if (message.compare(0, path.size(), path) == 0) {
    start = message.find(": ", path.size());
    start = start == std::string::npos ? 0 : start + 2;
  }
  return message.substr(start);
}

// Stores the downloaded bytes unchanged. The file is replaced atomically, so
// a power cut leaves the old catalog or the new one, never a mix; two checks
// that finish together take turns inside write_file_atomic.
void store_catalog(const std::string& path, const std::string& body, const ChannelCatalog& catalog) {
  Status stored = write_file_atomic(path, body);
  if (!stored) {
    logf("[OTA] Warning: Could not save channels.json to disk: {}",
         system_error_part(stored.error(), path));
  } else {
    logf("[OTA] Successfully updated channels.json (version {})", catalog.version);
  }
}

// The catalog's signature lies beside it, at its URL + ".sig".
Status check_catalog_signature(const UpdateCheckConfig& config, const std::string& url,
                               const std::string& body) {
  std::string signature_url = url + ".sig";
  Fetched signature = fetch_document(config.curl, kSignatureRequest, signature_url);
  if (signature.too_large) {
    return Error{"signature at " + signature_url + " larger than " +
                 std::to_string(kSignatureRequest.max_filesize) + " bytes"};
  }
  if (!signature.body) return Error{"no signature at " + signature_url};
  return verify_signature(*config.key, body, *signature.body);
}

// The version of the catalog this player has, with words that name it: the
// stored file's, or the built-in catalog's when the file is missing or gives
// no version (the player then runs on the built-in one).
std::pair<std::string, Version> held_catalog_version(const std::string& path) {
  if (Result<std::string> text = read_file(path)) {
    if (Result<ChannelCatalog> stored = parse_catalog(*text)) {
      if (Result<Version> version = parse_version(stored->version)) {
        return {"the stored catalog's " + stored->version, *version};
      }
    }
  }
  std::string builtin = builtin_catalog().version;
  Result<Version> version = parse_version(builtin);
  return {"the built-in catalog's " + builtin, version ? *version : Version{}};
}

// A signed catalog older than the one held is refused: a server (or anyone
// on the Wi-Fi) could otherwise send an old catalog, signed in its day,
// again. A deliberate return to older stations is published as a catalog
// with a higher version. Nothing when `catalog` is to be stored.
std::optional<UpdateMessage> check_catalog_version(const UpdateCheckConfig& config,
                                                   const ChannelCatalog& catalog) {
  Result<Version> offered = parse_version(catalog.version);
  if (!offered) {
    logf("[OTA] Catalog refused: version {}", offered.error());
    return UpdateErrorMessage{"Catalog refused: version " + offered.error()};
  }
  auto [held_text, held] = held_catalog_version(config.catalog_path);
  int order = compare_versions(*offered, held);
  if (order < 0) {
    std::string error = "version " + catalog.version + " is older than " + held_text;
    logf("[OTA] Catalog refused: {}", error);
    return UpdateErrorMessage{"Catalog refused: " + error};
  }
  if (order == 0) {
    logf("[OTA] Channels already up to date (version {})", catalog.version);
    return ChannelsUpdatedMessage{catalog};
  }
  return std::nullopt;
}

UpdateMessage sync_catalog(const UpdateCheckConfig& config) {
  std::string url = config.base_url + kCatalogPath;
  logf("[OTA] Syncing channels from: {}", url);
  Fetched fetched = fetch_document(config.curl, kCatalogRequest, url);
  if (fetched.start_error) return UpdateErrorMessage{"Network request failed: " + *fetched.start_error};
  if (Status bounded = document_bounds(fetched, kCatalogRequest); !bounded) {
    logf("[OTA] Catalog refused: {}", bounded.error());
    return UpdateErrorMessage{"Invalid remote channels format: " + bounded.error()};
  }
  if (!fetched.body) return UpdateErrorMessage{kUnreachableText};
  const std::string& body = *fetched.body;
  if (config.key) {
    Status signature = check_catalog_signature(config, url, body);
    if (!signature) {
      logf("[OTA] Catalog refused: {}", signature.error());
      return UpdateErrorMessage{"Catalog refused: " + signature.error()};
    }
  }
  Result<ChannelCatalog> catalog = parse_catalog(body);
  if (!catalog) return UpdateErrorMessage{"Invalid remote channels format: " + catalog.error()};
  if (config.key) {
    if (std::optional<UpdateMessage> not_newer = check_catalog_version(config, *catalog)) {
      return std::move(*not_newer);
    }
  }
  store_catalog(config.catalog_path, body, *catalog);
  return ChannelsUpdatedMessage{std::move(catalog).value()};
}

}  // namespace

Status check_document_bounds(std::string_view text) {
  if (text.size() > kMaxDocumentSize) {
    return Error{"document larger than " + std::to_string(kMaxDocumentSize) + " bytes"};
  }
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDocumentDepth) {
        return Error{"document nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels"};
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return ok_status();
}

const std::string& update_base_url() {
  static const std::string url = ZE_RADIO_UPDATE_URL;
  return url;
}

UpdateMessage run_update_check(const UpdateCheckConfig& config) {
  if (std::optional<OtaManifest> manifest = newer_manifest(config)) {
    return UpdateAvailableMessage{std::move(*manifest)};
  }
  return sync_catalog(config);
}

void start_update_check(std::string catalog_path, QueueHandle<UpdateMessage> queue) {
  spawn_detached([catalog_path = std::move(catalog_path), queue = std::move(queue)] {
    UpdateCheckConfig config;
    config.catalog_path = catalog_path;
    queue->send(run_update_check(config));
  });
}

}  // namespace ze
