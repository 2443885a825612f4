#include "input/stdin_reader.h"

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace ze {
namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(50);

}  // namespace

std::optional<Action> stdin_byte_action(unsigned char byte) {
  switch (byte) {
    case 'W': case 'w': return Action::Up;
    case 'S': case 's': return Action::Down;
    case 'A': case 'a': return Action::Left;
    case 'D': case 'd': return Action::Right;
    case '\n': case ' ': case 'J': case 'j': return Action::Confirm;
    case 'B': case 'b': case 'K': case 'k': return Action::Cancel;
    case 'U': case 'u': case 'X': case 'x': return Action::OtaUpdate;
    case 'I': case 'i': case 'Y': case 'y': return Action::ToggleFavorite;
    case 'Q': case 'q': case '[': return Action::PrevCategory;
    case 'E': case 'e': case ']': return Action::NextCategory;
    case '-': case '_': return Action::VolumeDown;
    case '+': case '=': return Action::VolumeUp;
    case 'P': case 'p': return Action::NowPlayingToggle;
    case 27: case 'M': case 'm': return Action::Exit;
    default: return std::nullopt;
  }
}

void standard_input_reader(QueueHandle<Action> queue, int fd) {
  unsigned char buffer[256];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      for (ssize_t i = 0; i < n; ++i) {
        if (std::optional<Action> action = stdin_byte_action(buffer[i])) queue->send(*action);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of input, a closed or invalid descriptor, or any other error: the
    // user may still attach input later, so keep polling without spinning.
    std::this_thread::sleep_for(kRetryPause);
  }
}

}  // namespace ze
