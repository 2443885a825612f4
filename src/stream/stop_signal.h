// The engine's stop request. SIGTERM, SIGINT and SIGHUP are blocked in every
// thread; one small thread waits for them and then makes the stop descriptor
// readable for good. Every wait of the engine polls that descriptor beside
// its data, so a stop is seen within one poll. Set up once by main before
// any other thread starts.
#pragma once

namespace ze::stream {

// Blocks the stop signals, opens the descriptor and starts the waiting
// thread. Call before any other thread starts, so every thread inherits the mask.
void install_stop_signal();
// Readable once a stop was requested; never read from it.
int stop_fd();
bool stop_requested();
// The signal that asked for the stop, or 0.
int stop_signal_number();
// Asks every wait to end, as a signal would.
void request_stop();

}  // namespace ze::stream
