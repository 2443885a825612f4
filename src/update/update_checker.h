// The update check: asks the update server for its manifest and, when the
// server has no newer application, synchronises the channel catalog from it
// and stores it over the catalog file. All traffic goes through the external
// `curl`. One checker thread per request; it reports through the update
// queue with exactly one message and touches no other shared state. A build
// with an update key accepts only a catalog signed with it, and stores it
// only when its version is newer than the stored catalog's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/queue.h"
#include "base/result.h"
#include "update/signature.h"
#include "update/update_message.h"
#include "update/version.h"

namespace ze {

// Scheme and host of the update server this build talks to.
const std::string& update_base_url();

struct UpdateCheckConfig {
  std::string base_url = update_base_url();
  std::string running_version{ze::running_version()};
  std::string curl = "curl";  // found through the search path
  std::string catalog_path;   // where a synchronised catalog is stored
  std::optional<UpdateKey> key = trusted_update_key();  // none: catalogs are not checked
};

// Limits for the manifest and the catalog, checked before they are parsed:
// a document of a few megabytes nested thousands deep costs the parser
// hundreds of megabytes.
inline constexpr size_t kMaxDocumentSize = 4 * 1024 * 1024;
inline constexpr size_t kMaxDocumentDepth = 64;

// Whether a JSON text keeps within those limits; the error says which it
// exceeds. Brackets inside strings do not count.
Status check_document_bounds(std::string_view text);

// Runs one whole check on the calling thread, logging as it goes, and
// returns the message for the main loop.
UpdateMessage run_update_check(const UpdateCheckConfig& config);

// Starts a detached checker thread that runs the check against the build's
// update server and sends its message into `queue`.
void start_update_check(std::string catalog_path, QueueHandle<UpdateMessage> queue);

}  // namespace ze
