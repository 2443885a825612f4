// The simulator's key reader: single keyboard characters from standard input
// become actions. It runs on a thread of its own and is the only reader of
// standard input in the program; the terminal's mode is left as it is, so on
// a line-buffered terminal keys arrive with Enter, which is itself Confirm.
#pragma once

#include <optional>

#include "base/queue.h"
#include "input/action.h"

namespace ze {

// The action of one byte of standard input, or nothing for bytes without one
// (case-sensitive table; no byte gives MuteToggle).
std::optional<Action> stdin_byte_action(unsigned char byte);

// Thread body. Reads `fd` and sends the action of each byte in arrival order,
// without logging. At end of input or on a read error (an invalid descriptor
// included) it waits 50 ms and reads again. Never returns; never closes `fd`.
[[noreturn]] void standard_input_reader(QueueHandle<Action> queue, int fd = 0);

}  // namespace ze
