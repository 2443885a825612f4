#include "stream/fetch.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/clock.h"
#include "base/curl_command.h"
#include "base/files.h"
#include "stream/log.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

// curl exit codes that mean the server refused the address itself.
constexpr int kCurlUnsupportedProtocol = 1;
constexpr int kCurlUnknownOption = 2;
constexpr int kCurlMalformedUrl = 3;
constexpr int kCurlHttpError = 22;
constexpr int kCurlTooManyRedirects = 47;
constexpr int kCurlFileTooLarge = 63;

// Our own guard beside curl's limits: a curl that neither sends nor ends is
// given up a second after the idle limit. curl's own low-speed limit does
// not cover a server that accepts and never completes the TLS handshake.
constexpr int kIdleGrace = 1;

// Set once a curl has said it does not know --http0.9 (before 7.64, which
// lets such answers through anyway).
std::atomic<bool> g_curl_lacks_http09{false};

// The first line of curl's complaint, without the trailing line feed.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > 300) line.resize(300);
  return line;
}

bool lacks_http09(const ExitStatus& status, const std::string& said) {
  return !status.signaled && status.value == kCurlUnknownOption &&
         said.find("http0.9") != std::string::npos;
}

}  // namespace

std::vector<std::string> fetch_arguments(const std::string& url, const FetchOptions& options,
                                         bool http09) {
  // The response heads come first on standard output, where the engine reads
  // them; bytes are passed on as they arrive. Old Shoutcast servers answer
  // "ICY 200 OK", which curl 7.66 and later refuse as HTTP/0.9 unless told.
  CurlRequest request{.connect_timeout_seconds = options.connect_seconds,
                      .max_time_seconds = options.max_seconds,
                      .stall_seconds = options.curl_idle_seconds > 0 ? options.curl_idle_seconds
                                                                     : options.idle_seconds,
                      .max_filesize = options.max_bytes,
                      .fail_on_http_error = true,
                      .user_agent = options.user_agent,
                      .range = options.range,
                      .heads_on_output = true,
                      .unbuffered = true,
                      .allow_http09 = http09};
  if (options.icy) request.headers.push_back("Icy-MetaData: 1");
  return curl_arguments("curl", request, url);
}

Error describe_curl_failure(const ExitStatus& status, const std::string& stderr_text) {
  std::string said = first_line(stderr_text);
  if (status.signaled) {
    return Error::network("curl ended by signal " + std::to_string(status.value));
  }
  if (said.empty()) said = "curl: exit status " + std::to_string(status.value);
  switch (status.value) {
    case kCurlHttpError: {
      // "... returned error: 404": client errors mean the address is wrong;
      // server errors may pass.
      size_t at = said.rfind(": ");
      int code = at == std::string::npos ? 0 : std::atoi(said.c_str() + at + 2);
      if (code >= 400 && code < 500) return Error::refused(said);
      return Error::network(said);
    }
    case kCurlUnsupportedProtocol:
    case kCurlMalformedUrl:
    case kCurlFileTooLarge:
    case kCurlTooManyRedirects:
      return Error::refused(said);
    default:
      return Error::network(said);
  }
}

std::optional<Error> describe_status(const ResponseHead& head) {
  if (head.status >= 200 && head.status < 300) return std::nullopt;
  std::string said = "the server answered " + head.status_line();
  if (head.status >= 500) return Error::network(said);
  if (head.status >= 300 && head.status < 400) said += " without a new address";
  return Error::refused(said);
}

Result<Fetch> Fetch::open(const std::string& url, const FetchOptions& options) {
  for (;;) {
    bool http09 = !g_curl_lacks_http09.load();
    SpawnOptions spawn;
    spawn.argv = fetch_arguments(url, options, http09);
    Result<PipedProcess> child = spawn_piped(spawn);
    if (!child) return Error::network("cannot start curl: " + child.error());
    Fetch fetch(std::move(*child), options.idle_seconds);

    // The head comes within the idle limit, as any other byte.
    ResponseHeadReader reader(url);
    ResponseHeadReader::State state = ResponseHeadReader::State::NeedMore;
    uint8_t buffer[16384];
    while (state == ResponseHeadReader::State::NeedMore) {
      Result<size_t> read = fetch.read_pipe(buffer, sizeof buffer, options.idle_seconds);
      if (!read) {
        if (read.kind() != ErrorKind::Stopped && http09 && fetch.child_->process.exit_status() &&
            lacks_http09(*fetch.child_->process.exit_status(), read.error())) {
          g_curl_lacks_http09.store(true);
          log_event("this curl does not know --http0.9; asking without it");
          break;
        }
        return read.failure();
      }
      const size_t got = *read;
      state = got == 0 ? reader.end() : reader.feed(std::string_view(reinterpret_cast<char*>(buffer), got));
    }
    if (state == ResponseHeadReader::State::NeedMore) continue;  // again without --http0.9
    if (state == ResponseHeadReader::State::Bad) {
      fetch.kill_curl();
      return Error::refused(reader.error());
    }
    fetch.head_ = reader.head();
    if (std::optional<Error> refused = describe_status(fetch.head_)) {
      fetch.kill_curl();
      return *refused;
    }
    fetch.early_body_ = std::move(reader.body());
    return fetch;
  }
}

Fetch::Fetch(Fetch&& other) noexcept
    : child_(std::exchange(other.child_, std::nullopt)),
      idle_seconds_(other.idle_seconds_),
      head_(std::move(other.head_)),
      early_body_(std::move(other.early_body_)),
      early_taken_(other.early_taken_),
      complete_(other.complete_) {}

Fetch::~Fetch() { kill_curl(); }

void Fetch::kill_curl() {
  if (!child_ || !child_->process.running() || child_->process.pid() <= 0) return;
  (void)send_signal(child_->process.pid(), SIGKILL);
  child_->process.wait();
}

std::optional<Error> Fetch::finish() {
  ExitStatus status = child_->process.wait();
  std::string said;
  read_available(child_->err.get(), &said, 65536);
  if (status.success()) return std::nullopt;
  // The complaint is kept whole while it may be about --http0.9.
  if (lacks_http09(status, said)) return Error::refused(said);
  return describe_curl_failure(status, said);
}

Result<size_t> Fetch::read(uint8_t* data, size_t size) {
  if (early_taken_ < early_body_.size()) {
    size_t got = std::min(size, early_body_.size() - early_taken_);
    std::memcpy(data, early_body_.data() + early_taken_, got);
    early_taken_ += got;
    if (early_taken_ == early_body_.size()) {
      std::string().swap(early_body_);
      early_taken_ = 0;
    }
    return got;
  }
  return read_pipe(data, size, idle_seconds_);
}

bool Fetch::ready(int milliseconds) {
  if (early_taken_ < early_body_.size() || !child_ || !child_->process.running()) return true;
  pollfd fds[2] = {{child_->out.get(), POLLIN, 0}, {stop_fd(), POLLIN, 0}};
  (void)::poll(fds, 2, milliseconds);
  return fds[0].revents != 0;
}

Result<size_t> Fetch::read_pipe(uint8_t* data, size_t size, int limit_seconds) {
  if (complete_) return size_t{0};
  if (!child_ || !child_->process.running()) return Error::network("no transfer");
  const auto limit = std::chrono::seconds(limit_seconds + kIdleGrace);
  Instant waiting_since = now();
  for (;;) {
    ssize_t n = ::read(child_->out.get(), data, size);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) {
      if (std::optional<Error> failed = finish()) return *failed;
      complete_ = true;
      return size_t{0};  // the whole body arrived
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Error::network("reading from curl failed");
    if (stop_requested()) return Error::stopped();
    auto waited = elapsed_between(waiting_since, now());
    // The transfer counts as broken; its curl goes with the Fetch, which a
    // caller may keep a while in case the connection comes back.
    if (waited >= limit) {
      return Error::network("no data for " + std::to_string(limit_seconds + kIdleGrace) + " s");
    }
    pollfd fds[2] = {{child_->out.get(), POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - waited).count() + 1;
    (void)::poll(fds, 2, static_cast<int>(left));
  }
}

Result<FetchedText> fetch_text(const std::string& url, const FetchOptions& options) {
  Result<Fetch> opened = Fetch::open(url, options);
  if (!opened) return opened.failure();
  FetchedText text{"", opened->head().url};
  uint8_t buffer[16384];
  for (;;) {
    Result<size_t> got = opened->read(buffer, sizeof buffer);
    if (!got) return got.failure();
    if (*got == 0) return text;
    text.body.append(reinterpret_cast<const char*>(buffer), *got);
    if (options.max_bytes > 0 && static_cast<int64_t>(text.body.size()) > options.max_bytes) {
      return Error::refused("larger than " + std::to_string(options.max_bytes) + " bytes");
    }
  }
}

}  // namespace ze::stream
