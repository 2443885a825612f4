#include "base/thread.h"

#include <system_error>
#include <thread>

#include "base/log.h"

namespace ze {

void spawn_detached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error& error) {
    fatal(std::string("failed to spawn thread: ") + error.what());
  }
}

}  // namespace ze
