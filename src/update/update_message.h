// The one message an update check sends back to the main loop.
#pragma once

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

using UpdateMessage = std::variant<UpdateAvailableMessage, ChannelsUpdatedMessage, UpdateErrorMessage>;

}  // namespace ze
