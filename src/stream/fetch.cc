#include "stream/fetch.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "base/clock.h"
#include "base/curl_command.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

// curl exit codes that mean the server refused the address itself.
constexpr int kCurlHttpError = 22;
constexpr int kCurlFileTooLarge = 63;
constexpr int kCurlUnsupportedProtocol = 1;
constexpr int kCurlMalformedUrl = 3;

// Our own guard beside curl's limits: a curl that neither sends nor ends is
// given up a second after the stall limit. curl's own low-speed limit does
// not cover a server that accepts and never completes the TLS handshake.
constexpr int kStallGrace = 1;

std::string read_available(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() > 65536) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return text;
}

// The first line of curl's complaint, without the trailing line feed.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > 300) line.resize(300);
  return line;
}

}  // namespace

std::vector<std::string> fetch_arguments(const std::string& url, const FetchOptions& options) {
  CurlRequest request{.connect_timeout_seconds = options.connect_seconds,
                      .max_time_seconds = options.max_seconds,
                      .stall_seconds = options.stall_seconds,
                      .max_filesize = options.max_bytes,
                      .fail_on_http_error = true,
                      .user_agent = options.user_agent,
                      .range = options.range};
  if (options.icy) {
    request.headers.push_back("Icy-MetaData: 1");
    request.include_head = true;
  }
  return curl_arguments("curl", request, url);
}

FetchError describe_curl_failure(const ExitStatus& status, const std::string& stderr_text) {
  std::string said = first_line(stderr_text);
  if (status.signaled) {
    return {FetchFailure::Network, "curl ended by signal " + std::to_string(status.value)};
  }
  if (said.empty()) said = "curl: exit status " + std::to_string(status.value);
  switch (status.value) {
    case kCurlHttpError: {
      // "... returned error: 404": client errors mean the address is wrong;
      // server errors may pass.
      size_t at = said.rfind(": ");
      int code = at == std::string::npos ? 0 : std::atoi(said.c_str() + at + 2);
      if (code >= 400 && code < 500) return {FetchFailure::Refused, said};
      return {FetchFailure::Network, said};
    }
    case kCurlUnsupportedProtocol:
    case kCurlMalformedUrl:
    case kCurlFileTooLarge:
      return {FetchFailure::Refused, said};
    default:
      return {FetchFailure::Network, said};
  }
}

Result<Fetch> Fetch::start(const std::string& url, const FetchOptions& options) {
  SpawnOptions spawn;
  spawn.argv = fetch_arguments(url, options);
  Result<PipedProcess> child = spawn_piped(spawn);
  if (!child) return Error{"cannot start curl: " + child.error()};
  return Fetch(url, std::move(*child), options.stall_seconds);
}

Fetch::Fetch(Fetch&& other) noexcept
    : url_(std::move(other.url_)),
      child_(std::exchange(other.child_, std::nullopt)),
      stall_seconds_(other.stall_seconds_) {}

Fetch::~Fetch() {
  if (!child_ || !child_->process.running() || child_->process.pid() <= 0) return;
  (void)send_signal(child_->process.pid(), SIGKILL);
  child_->process.wait();
}

FetchError Fetch::finish() {
  ExitStatus status = child_->process.wait();
  std::string said = read_available(child_->err.get());
  if (status.success()) return {FetchFailure::Network, ""};
  return describe_curl_failure(status, said);
}

std::optional<FetchError> Fetch::read(uint8_t* data, size_t size, size_t& got) {
  got = 0;
  if (!child_) return FetchError{FetchFailure::Network, "no transfer"};
  const auto limit = std::chrono::seconds(stall_seconds_ + kStallGrace);
  Instant waiting_since = now();
  for (;;) {
    ssize_t n = ::read(child_->out.get(), data, size);
    if (n > 0) {
      got = static_cast<size_t>(n);
      return std::nullopt;
    }
    if (n == 0) {
      FetchError end = finish();
      if (end.message.empty()) return std::nullopt;  // the whole body arrived
      return end;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return FetchError{FetchFailure::Network, "reading from curl failed"};
    if (stop_requested()) return FetchError{FetchFailure::Stopped, "stopped"};
    auto waited = elapsed_between(waiting_since, now());
    if (waited >= limit) {
      (void)send_signal(child_->process.pid(), SIGKILL);
      child_->process.wait();
      return FetchError{FetchFailure::Network,
                        "no data for " + std::to_string(stall_seconds_ + kStallGrace) + " s"};
    }
    pollfd fds[2] = {{child_->out.get(), POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - waited).count() + 1;
    (void)::poll(fds, 2, static_cast<int>(left));
  }
}

TextResult fetch_text(const std::string& url, const FetchOptions& options) {
  TextResult result;
  Result<Fetch> fetch = Fetch::start(url, options);
  if (!fetch) {
    result.error = FetchError{FetchFailure::Network, fetch.error()};
    return result;
  }
  uint8_t buffer[16384];
  for (;;) {
    size_t got = 0;
    std::optional<FetchError> failed = fetch->read(buffer, sizeof buffer, got);
    if (failed) {
      result.error = failed;
      return result;
    }
    if (got == 0) return result;
    result.body.append(reinterpret_cast<const char*>(buffer), got);
    if (options.max_bytes > 0 && static_cast<int64_t>(result.body.size()) > options.max_bytes) {
      result.error = FetchError{FetchFailure::Refused,
                                "larger than " + std::to_string(options.max_bytes) + " bytes"};
      return result;
    }
  }
}

}  // namespace ze::stream
