// Starts detached worker threads. The program never joins its workers; a
// thread that cannot be created aborts the process ("failed to spawn thread").
#pragma once

#include <functional>

namespace ze {

void spawn_detached(std::function<void()> body);

}  // namespace ze
