// The command pipe: other programs drive the player by writing command words,
// one per line, into a named pipe the player creates at start-up. The reader
// runs on a thread of its own in every mode and sends each command's action
// to the action queue as if the matching button had been pressed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/paths.h"
#include "base/queue.h"
#include "input/action.h"

namespace ze {

// No command is this long even with generous blanks around it; a longer line
// is dropped while it streams in so a runaway writer cannot exhaust memory.
inline constexpr size_t kMaxCommandLine = 4096;

// The action of an upper-case command word ("UP", "VOL_DOWN", ...), or
// nothing when the word is not a command.
std::optional<Action> command_word_action(std::string_view word);

struct Command {
  std::string word;  // the line trimmed and upper-cased, as logged
  Action action;
};

// The command on one line (line feed and a carriage return before it already
// removed): valid UTF-8, trimmed of Unicode white space, upper-cased, and
// equal as a whole to a command word. Anything else gives nothing.
std::optional<Command> parse_command_line(std::string_view line);

// Cuts the bytes read from the pipe into lines. Holds at most
// kMaxCommandLine bytes: a line that grows past that is dropped, and cutting
// resumes after its line feed. A carriage return before a line feed is
// removed with it.
class CommandLineSplitter {
 public:
  // The lines completed by `bytes`, in order.
  std::vector<std::string> feed(std::string_view bytes);
  // The unfinished last line at end of input, if any; starts afresh.
  std::optional<std::string> finish();
  // Bytes held for the line in progress.
  size_t pending_bytes() const { return pending_.size(); }

 private:
  std::string pending_;
  bool overlong_ = false;  // the line in progress is being dropped
};

// Thread body. Replaces whatever is at `path` by a named pipe (mode 0666),
// then for the rest of the process: waits in a blocking open for a writer,
// handles every line until the last writer closes, pauses 50 ms and opens
// again. Logs each recognised command. Never returns.
[[noreturn]] void fifo_command_reader(QueueHandle<Action> queue,
                                      const std::string& path = paths::kCommandFifo);

}  // namespace ze
