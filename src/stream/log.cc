#include "stream/log.h"

#include <unistd.h>

#include <string>

#include "base/files.h"
#include "base/log.h"

namespace ze::stream {

void log_text(std::string_view text) {
  (void)write_all(STDERR_FILENO, "[ze-stream] " + hide_passwords(escape_controls(text)) + "\n");
}

void LogRun::event(std::string_view kind, const std::string& line) {
  if (!kind_.empty() && kind == kind_) {
    ++repeats_;
    return;
  }
  flush();
  kind_ = std::string(kind);
  log_text(line);
}

void LogRun::flush() {
  if (repeats_ > 0) log_event("{}: {} more times", kind_, repeats_);
  kind_.clear();
  repeats_ = 0;
}

}  // namespace ze::stream
