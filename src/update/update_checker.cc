#include "update/update_checker.h"

#include <optional>
#include <utility>
#include <vector>

#include "base/curl_command.h"
#include "base/files.h"
#include "base/log.h"
#include "base/process.h"
#include "base/thread.h"
#include "catalog/records.h"

#ifndef ZE_RADIO_UPDATE_URL
#error "ZE_RADIO_UPDATE_URL must name the update server"
#endif

namespace ze {
namespace {

constexpr const char* kManifestPath = "/ota/ze-radio.json";
constexpr const char* kCatalogPath = "/channels.json";
constexpr const char* kUnreachableText = "Unable to download latest channels. Check Wi-Fi connection.";

// curl stops by itself at the size limit when the server announces a
// length; a longer answer without one is refused once it has arrived.
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

// The body curl printed, when it started, exited with 0 and printed anything.
std::optional<std::string> fetch(const UpdateCheckConfig& config, const std::string& url) {
  Result<CommandOutput> run =
      run_capture(curl_arguments(config.curl, kManifestRequest, url), curl_wait_limit(kManifestRequest));
  if (!run || !run->status.success() || run->out.empty()) return std::nullopt;
  return std::move(run->out);
}

// The newer manifest, or nothing when the catalog is to be synchronised.
std::optional<OtaManifest> newer_manifest(const UpdateCheckConfig& config) {
  std::string url = config.base_url + kManifestPath;
  logf("[OTA] Checking for system update at: {}", url);
  std::optional<std::string> body = fetch(config, url);
  if (!body) {
    // There is one manifest address: the "fallback" is a second try of it,
    // logged in the words this line has always had.
    logf("[OTA] Primary manifest failed, trying fallback: {}", url);
    body = fetch(config, url);
    if (!body) return std::nullopt;
  }
  if (Status bounded = check_document_bounds(*body); !bounded) {
    logf("[OTA] Manifest refused: {}", bounded.error());
    return std::nullopt;
  }
  Result<OtaManifest> manifest = parse_manifest(*body);
  if (!manifest) return std::nullopt;
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
  Result<CommandOutput> run = run_capture(curl_arguments(config.curl, kSignatureRequest, signature_url),
                  curl_wait_limit(kSignatureRequest));
  if (!run || !run->status.success() || run->out.empty()) {
    return Error{"no signature at " + signature_url};
  }
  return verify_signature(*config.key, body, run->out);
}

UpdateMessage sync_catalog(const UpdateCheckConfig& config) {
  std::string url = config.base_url + kCatalogPath;
  logf("[OTA] Syncing channels from: {}", url);
  Result<CommandOutput> run =
      run_capture(curl_arguments(config.curl, kCatalogRequest, url), curl_wait_limit(kCatalogRequest));
  if (!run) return UpdateErrorMessage{"Network request failed: " + run.error()};
  if (!run->status.success() || run->out.empty()) return UpdateErrorMessage{kUnreachableText};
  if (Status bounded = check_document_bounds(run->out); !bounded) {
    logf("[OTA] Catalog refused: {}", bounded.error());
    return UpdateErrorMessage{"Invalid remote channels format: " + bounded.error()};
  }
  if (config.key) {
    Status signature = check_catalog_signature(config, url, run->out);
    if (!signature) {
      logf("[OTA] Catalog refused: {}", signature.error());
      return UpdateErrorMessage{"Catalog refused: " + signature.error()};
    }
  }
  Result<ChannelCatalog> catalog = parse_catalog(run->out);
  if (!catalog) return UpdateErrorMessage{"Invalid remote channels format: " + catalog.error()};
  store_catalog(config.catalog_path, run->out, *catalog);
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
