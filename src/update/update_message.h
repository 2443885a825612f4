// The messages the update workers send back to the main loop: an update
// check sends one result; a package installer sends its progress several
// times a second while it downloads, then each later step, and an error if
// it fails.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "catalog/records.h"
#include "update/manifest.h"

namespace ze {

struct UpdateAvailableMessage {
  OtaManifest manifest;  // the server's version is newer than ours
};
struct ChannelsUpdatedMessage {
  ChannelCatalog catalog;  // downloaded and valid (stored when possible)
};
struct UpdateErrorMessage {
  std::string text;
};

struct InstallProgressMessage {
  enum class Step {
    Downloading,  // received counts the bytes so far
    Verifying,    // downloaded whole; its signature is being checked
    Installing,   // being unpacked over the application folder
  };
  Step step = Step::Downloading;
  uint64_t received = 0;  // bytes of the package
  uint64_t total = 0;     // the package's size; 0: not known (yet)
};

using UpdateMessage = std::variant<UpdateAvailableMessage, ChannelsUpdatedMessage, UpdateErrorMessage,
                                   InstallProgressMessage>;

}  // namespace ze
