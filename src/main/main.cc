// Entry of the player: start-up, then the main loop for the rest of the run.
#include "base/log.h"

int main() {
  ze::log_line(std::string(50, '='));
  ze::log_line("=== Starting ZE-Radio Vietnamese Internet Player ===");
  ze::log_line(std::string(50, '='));
  ze::exit_process(0);
}
