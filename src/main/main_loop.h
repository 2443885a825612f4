// The program's spine: the start-up sequence, which brings every subsystem up
// in a fixed order, and the 16 ms main loop that runs for the rest of the
// process's life on the main thread. Never returns: every end of the process
// is an explicit exit from an action or from the package installer.
#pragma once

namespace ze {

[[noreturn]] void run_player();

}  // namespace ze
