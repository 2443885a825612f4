#include "stream/log.h"

#include <unistd.h>

#include <string>

#include "base/files.h"
#include "base/log.h"

namespace ze::stream {

void log_text(std::string_view text) {
  (void)write_all(STDERR_FILENO, "[ze-stream] " + hide_passwords(escape_controls(text)) + "\n");
}

}  // namespace ze::stream
