// The update check: asks the update server for its manifest and, when the
// server has no newer application, synchronises the channel catalog from it
// and stores it over the catalog file. All traffic goes through the external
// `curl`. One checker thread per request; it reports through the update
// queue with exactly one message and touches no other shared state.
#pragma once

#include <string>

#include "base/queue.h"
#include "update/update_message.h"
#include "update/version.h"

namespace ze {

// Scheme and host of the update server this build talks to.
const std::string& update_base_url();

struct UpdateCheckConfig {
  std::string base_url = update_base_url();
  std::string running_version{kRunningVersion};
  std::string curl = "curl";  // found through the search path
  std::string catalog_path;   // where a synchronised catalog is stored
};

// Runs one whole check on the calling thread, logging as it goes, and
// returns the message for the main loop.
UpdateMessage run_update_check(const UpdateCheckConfig& config);

// Starts a detached checker thread that runs the check against the build's
// update server and sends its message into `queue`.
void start_update_check(std::string catalog_path, QueueHandle<UpdateMessage> queue);

}  // namespace ze
