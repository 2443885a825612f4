#include "input/command_fifo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/files.h"
#include "base/log.h"
#include "base/text.h"

namespace ze {
namespace {

constexpr size_t kReadBufferSize = 8192;
// Keeps a writer that opens and closes in a tight loop, or a path where no
// pipe can be made, from making the reader spin.
constexpr auto kReopenPause = std::chrono::milliseconds(50);

struct CommandWord {
  std::string_view word;
  Action action;
};

constexpr CommandWord kCommandWords[] = {
    {"W", Action::Up},
    {"UP", Action::Up},
    {"S", Action::Down},
    {"DOWN", Action::Down},
    {"LEFT", Action::Left},
    {"A_LEFT", Action::Left},
    {"RIGHT", Action::Right},
    {"D_RIGHT", Action::Right},
    {"A", Action::Confirm},
    {"PLAY", Action::Confirm},
    {"CONFIRM", Action::Confirm},
    {"B", Action::Cancel},
    {"STOP", Action::Cancel},
    {"CANCEL", Action::Cancel},
    {"X", Action::OtaUpdate},
    {"OTA", Action::OtaUpdate},
    {"Y", Action::ToggleFavorite},
    {"FAV", Action::ToggleFavorite},
    {"FAVORITE", Action::ToggleFavorite},
    {"L1", Action::PrevCategory},
    {"PREV_CAT", Action::PrevCategory},
    {"R1", Action::NextCategory},
    {"NEXT_CAT", Action::NextCategory},
    {"MINUS", Action::VolumeDown},
    {"VOL_DOWN", Action::VolumeDown},
    {"PLUS", Action::VolumeUp},
    {"VOL_UP", Action::VolumeUp},
    {"START", Action::NowPlayingToggle},
    {"SELECT", Action::MuteToggle},
    {"TIMER", Action::MuteToggle},
    {"MENU", Action::Exit},
    {"EXIT", Action::Exit},
};

// Waits until a writer opens the pipe.
UniqueFd open_for_reading(const std::string& path) {
  for (;;) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.valid()) return fd;
    if (errno == EINTR) continue;
    std::this_thread::sleep_for(kReopenPause);
  }
}

void handle_line(std::string_view line, Queue<Action>& queue) {
  std::optional<Command> command = parse_command_line(line);
  if (!command) return;
  logf("[Input-FIFO] Received command: {} -> {}", command->word, action_name(command->action));
  queue.send(command->action);
}

// Handles lines until every writer has closed the pipe.
// Reads until the end of input and closes the pipe at once when it comes: a
// writer can still open the pipe while this end is open, and whatever it
// writes is lost if it closes before we do, so nothing else runs between the
// last read and the close. The unfinished last line is handled after.
void read_commands(UniqueFd fd, Queue<Action>& queue) {
  char buffer[kReadBufferSize];
  CommandLineSplitter splitter;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // A lasting error (something other than a pipe at the path, such as a
      // directory) would fail every read at once: treat it as the end of
      // input, so the pause before the next open keeps the reader from
      // spinning.
      break;
    }
    for (const std::string& line : splitter.feed(std::string_view(buffer, n))) {
      handle_line(line, queue);
    }
  }
  fd.reset();
  if (std::optional<std::string> last = splitter.finish()) handle_line(*last, queue);
}

}  // namespace

std::optional<Action> command_word_action(std::string_view word) {
  for (const CommandWord& entry : kCommandWords) {
    if (entry.word == word) return entry.action;
  }
  return std::nullopt;
}

std::optional<Command> parse_command_line(std::string_view line) {
  if (!is_valid_utf8(line)) return std::nullopt;
  std::optional<std::string> word = upper_for_matching(trim_space(line));
  if (!word) return std::nullopt;
  std::optional<Action> action = command_word_action(*word);
  if (!action) return std::nullopt;
  return Command{std::move(*word), *action};
}

std::vector<std::string> CommandLineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    size_t end = bytes.find('\n');
    std::string_view piece = bytes.substr(0, end);
    if (!overlong_) {
      if (pending_.size() + piece.size() > kMaxCommandLine) {
        overlong_ = true;
        pending_.clear();
      } else {
        pending_.append(piece);
      }
    }
    if (end == std::string_view::npos) break;
    if (!overlong_) {
      if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
      lines.push_back(pending_);
    }
    pending_.clear();
    overlong_ = false;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<std::string> CommandLineSplitter::finish() {
  bool had_line = !pending_.empty() && !overlong_;
  std::string last = std::move(pending_);
  pending_.clear();
  overlong_ = false;
  if (!had_line) return std::nullopt;
  return last;
}

void fifo_command_reader(QueueHandle<Action> queue, const std::string& path) {
  remove_file(path);
  ::mkfifo(path.c_str(), 0666);  // a failure shows up as failing opens below
  for (;;) {
    read_commands(open_for_reading(path), *queue);
    std::this_thread::sleep_for(kReopenPause);
  }
}

}  // namespace ze
