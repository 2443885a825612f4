#include "update/package_installer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <string_view>
#include <thread>
#include <utility>

#include "base/address.h"
#include "base/clock.h"
#include "base/curl_command.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "base/process.h"
#include "base/text.h"
#include "base/thread.h"
#include "update/fetch_document.h"

namespace ze {
namespace {

constexpr off_t kMinimumPackageSize = 50000;
// More response-head bytes than this are not read for the length.
constexpr size_t kMaxResponseHeads = 65536;

std::atomic<bool> install_running{false};

std::string current_dir() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

void run_install_thread(const std::string& url, const InstallConfig& config,
                        const QueueHandle<UpdateMessage>& report) {
  Result<std::string> installed =
      install_package(url, config, [&report](const InstallProgressMessage& progress) {
        report->send(progress);
      });
  if (installed) {
    log_line("[OTA] Application updated successfully! Triggering restart code 42...");
    exit_process(kRestartExitStatus);
  }
  logf("[OTA] Update failed: {}", installed.error());
  install_running = false;
  report->send(UpdateErrorMessage{installed.error()});
}

off_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Reports the download's bytes: the first reading, then at most one every
// kProgressInterval when the count has moved, and the last one whatever
// the time.
class ProgressReporter {
 public:
  explicit ProgressReporter(const InstallProgress& progress) : progress_(progress) {}

  void note(uint64_t received, uint64_t total, bool last) {
    if (!progress_ || (sent_ && received == received_ && total == total_)) return;
    const Instant at = now();
    if (sent_ && !last && elapsed_between(sent_at_, at) < kProgressInterval) return;
    progress_({InstallProgressMessage::Step::Downloading, received, total});
    log_milestone(received, total);
    sent_ = true;
    sent_at_ = at;
    received_ = received;
    total_ = total;
  }

 private:
  // A line at each tenth of the way (each megabyte while the size is not
  // known): the log tells how a slow download went, without a line per
  // report.
  void log_milestone(uint64_t received, uint64_t total) {
    const uint64_t milestone =
        total > 0 ? percent_of(received, total) / 10 : received / kBytesPerMegabyte;
    if (milestone <= logged_) return;
    logged_ = milestone;
    if (total > 0) {
      logf("[OTA] Downloaded {}% ({} of {} MB)", percent_of(received, total),
           megabytes_text(received), megabytes_text(total));
    } else {
      logf("[OTA] Downloaded {} MB", megabytes_text(received));
    }
  }

  const InstallProgress& progress_;
  uint64_t logged_ = 0;
  bool sent_ = false;
  Instant sent_at_{};
  uint64_t received_ = 0;
  uint64_t total_ = 0;
};

// Runs the download and watches the package file grow: curl's own size
// limit needs a length announced by the server, so a longer download is
// stopped here. curl writes the responses' heads on its output, where the
// announced length is read for the progress. The error is the installer's
// text.
Status download(const std::string& url, const InstallConfig& config,
                const InstallProgress& progress) {
  CurlRequest request{.connect_timeout_seconds = 8,
                      .max_time_seconds = 120,
                      .max_filesize = static_cast<long long>(config.max_package_size),
                      .ipv4_only = true,
                      .heads_on_output = true};
  SpawnOptions options;
  options.argv = curl_arguments(config.curl, request, url, config.package_path);
  // curl's error text would reach the console's log as a line of no form
  // of ours: what it writes there is read and dropped.
  Result<PipedProcess> curl = spawn_piped(options);
  if (!curl) return Error{"Download error: " + curl.error()};
  const Instant deadline = now() + curl_wait_limit(request);
  std::string heads;
  // The size the progress is shown against, read again only when more
  // heads came.
  uint64_t total = config.expected_size.value_or(0);
  size_t heads_read = 0;
  ProgressReporter reporter(progress);
  for (;;) {
    Result<std::optional<ExitStatus>> ended = curl->process.try_wait();
    read_available(curl->out.get(), &heads, kMaxResponseHeads);
    if (heads.size() != heads_read) {
      heads_read = heads.size();
      total = announced_length(heads).value_or(config.expected_size.value_or(0));
    }
    read_available(curl->err.get(), nullptr, 0);
    const off_t size = file_size(config.package_path);
    bool too_large = size > static_cast<off_t>(config.max_package_size);
    if (ended && !*ended && (too_large || now() > deadline)) {
      (void)send_signal(curl->process.pid(), SIGKILL);
      curl->process.wait();
    }
    if (too_large) {
      remove_file(config.package_path);
      return Error{"Downloaded update file is larger than " +
                   std::to_string(config.max_package_size) + " bytes"};
    }
    const bool done = !ended || *ended;
    const uint64_t received = size > 0 ? static_cast<uint64_t>(size) : 0;
    reporter.note(received, total, done);
    if (done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::optional<ExitStatus>& status = curl->process.exit_status();
  if (!status || !status->success()) return Error{"Failed to download update file"};
  return ok_status();
}

// The package's signature lies beside it, at its URL + ".sig". A package
// that fails the check is deleted: nothing of it is to be trusted.
Status check_package_signature(const std::string& url, const InstallConfig& config) {
  std::string signature_url = url + ".sig";
  const CurlRequest kSignatureRequest{.connect_timeout_seconds = 8,
                                          .max_time_seconds = 20,
                                          .max_filesize = 4096,
                                          .fail_on_http_error = true,
    .ipv4_only = true};
  Fetched signature = fetch_document(config.curl, kSignatureRequest, signature_url);
  Status verified = !signature.body
                        ? Status(Error{"no signature at " + signature_url})
                        : verify_file_signature(*config.key, config.package_path, *signature.body);
  if (!verified) {
    remove_file(config.package_path);
    return Error{"Package refused: " + verified.error()};
  }
  return ok_status();
}

}  // namespace

std::string choose_install_dir(const InstallConfig& config) {
  struct stat st {};
  if (::lstat(config.app_dir.c_str(), &st) == 0) return config.app_dir;
  if (!config.working_dir.empty()) return config.working_dir;
  return current_dir();
}

std::optional<uint64_t> announced_length(std::string_view heads) {
  std::optional<uint64_t> length;
  bool success = false;
  for (size_t end; (end = heads.find('\n')) != std::string_view::npos;) {
    std::string_view line = heads.substr(0, end);
    heads.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      // A new response: "HTTP/1.1 200 OK", "HTTP/2 302".
      size_t space = line.find(' ');
      std::string_view code = space == std::string_view::npos ? "" : line.substr(space + 1, 3);
      success = code.size() == 3 && code[0] == '2';
      length.reset();
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos ||
        !equals_ascii_ci(trim_space(line.substr(0, colon)), "content-length")) {
      continue;
    }
    std::string_view value = trim_space(line.substr(colon + 1));
    uint64_t parsed = 0;
    auto [end_of_number, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    length.reset();
    if (error == std::errc() && end_of_number == value.data() + value.size() && !value.empty()) {
      length = parsed;
    }
  }
  return success ? length : std::nullopt;
}

Result<std::string> install_package(const std::string& url, const InstallConfig& config,
                                    const InstallProgress& progress) {
  logf("[OTA] Downloading package update from: {}", url);
  // The URL comes from the server's manifest; curl would take a leading "-"
  // as an option and other schemes as local files or other protocols.
  if (!is_stream_address(url)) return Error{"Download error: not an http or https URL: " + url};
  remove_file(config.package_path);
  Status downloaded = download(url, config, progress);
  if (!downloaded) return Error{downloaded.error()};

  struct stat st {};
  if (::stat(config.package_path.c_str(), &st) != 0 || st.st_size < kMinimumPackageSize) {
    remove_file(config.package_path);
    return Error{"Downloaded update file is too small or corrupt"};
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  auto report_step = [&](InstallProgressMessage::Step step) {
    if (progress) progress({step, size, size});
  };

  ExtractOptions options{.max_unpacked_size = config.max_unpacked_size};
  if (config.key) {
    log_line("[OTA] Checking the package's signature");
    report_step(InstallProgressMessage::Step::Verifying);
    Status signature = check_package_signature(url, config);
    if (!signature) return Error{signature.error()};
    options.newer_than = config.running_version;
  }

  std::string install_dir = choose_install_dir(config);
  logf("[OTA] Installing the package into {}", install_dir);
  report_step(InstallProgressMessage::Step::Installing);
  Status extracted = extract_package(config.package_path, install_dir, options);
  if (!extracted) return Error{extracted.error()};
  remove_file(config.package_path);
  // The folder is quoted only when it holds characters the shell would read
  // (possible off the console, where the working folder is used).
  const std::string dir = shell_word(install_dir);
  std::string chmod_line = "chmod +x " + dir + "/bin/* " + dir + "/launch.sh 2>/dev/null || true";
  (void)run_wait({"/bin/sh", "-c", chmod_line}, Output::Discard);
  logf("[OTA] Installation completed to {}", install_dir);
  return install_dir;
}

bool start_package_install(std::string download_url, InstallConfig config,
                           QueueHandle<UpdateMessage> report) {
  if (install_running.exchange(true)) {
    logf("[OTA] Update already being installed; ignoring request for: {}", download_url);
    return false;
  }
  spawn_detached([url = std::move(download_url), config = std::move(config),
                  report = std::move(report)] { run_install_thread(url, config, report); });
  return true;
}

void start_package_install(std::string download_url, std::optional<uint64_t> expected_size,
                           QueueHandle<UpdateMessage> report) {
  InstallConfig config;
  config.expected_size = expected_size;
  start_package_install(std::move(download_url), std::move(config), std::move(report));
}

bool package_install_running() { return install_running; }

}  // namespace ze
