// The update server's manifest: the newest version of the program, where its
// package is, and where the current channel catalog is. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace ze {

struct OtaManifest {
  std::string id;
  std::string version;
  std::string download_url;
  std::string channels_url;
  std::string summary;
  // The package's size in bytes, when the manifest gives it: the download's
  // progress is shown against it when the server announces no length.
  std::optional<uint64_t> size;
};

// Strict: a missing required key (id, version, downloadUrl), a repeated key
// or a value of the wrong type makes the whole manifest invalid; unknown
// keys are skipped.
Result<OtaManifest> parse_manifest(std::string_view text);

}  // namespace ze
