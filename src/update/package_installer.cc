#include "update/package_installer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

std::atomic<bool> install_running{false};

std::string current_dir() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

void run_install_thread(const std::string& url, const InstallConfig& config,
                        const QueueHandle<UpdateMessage>& report) {
  Result<std::string> installed = install_package(url, config);
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

// Runs the download and watches the package file grow: curl's own size
// limit needs a length announced by the server, so a longer download is
// stopped here. The error is the installer's text.
Status download(const std::string& url, const InstallConfig& config) {
  CurlRequest request{.connect_timeout_seconds = 8,
                      .max_time_seconds = 120,
                      .max_filesize = static_cast<long long>(config.max_package_size),
    .ipv4_only = true};
  SpawnOptions options;
  options.argv = curl_arguments(config.curl, request, url, config.package_path);
  // Only the exit status counts. curl's own error text would reach the
  // console's log as a line of no form of ours, so its streams are dropped.
  options.output = Output::Discard;
  Result<Process> curl = Process::spawn(options);
  if (!curl) return Error{"Download error: " + curl.error()};
  const Instant deadline = now() + curl_wait_limit(request);
  for (;;) {
    Result<std::optional<ExitStatus>> ended = curl->try_wait();
    bool too_large = file_size(config.package_path) > static_cast<off_t>(config.max_package_size);
    if (ended && !*ended && (too_large || now() > deadline)) {
      (void)send_signal(curl->pid(), SIGKILL);
      curl->wait();
    }
    if (too_large) {
      remove_file(config.package_path);
      return Error{"Downloaded update file is larger than " +
                   std::to_string(config.max_package_size) + " bytes"};
    }
    if (!ended || *ended) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!curl->exit_status() || !curl->exit_status()->success()) {
    return Error{"Failed to download update file"};
  }
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

Result<std::string> install_package(const std::string& url, const InstallConfig& config) {
  logf("[OTA] Downloading package update from: {}", url);
  // The URL comes from the server's manifest; curl would take a leading "-"
  // as an option and other schemes as local files or other protocols.
  if (!is_stream_address(url)) return Error{"Download error: not an http or https URL: " + url};
  remove_file(config.package_path);
  Status downloaded = download(url, config);
  if (!downloaded) return Error{downloaded.error()};

  struct stat st {};
  if (::stat(config.package_path.c_str(), &st) != 0 || st.st_size < kMinimumPackageSize) {
    remove_file(config.package_path);
    return Error{"Downloaded update file is too small or corrupt"};
  }

  ExtractOptions options{.max_unpacked_size = config.max_unpacked_size};
  if (config.key) {
    Status signature = check_package_signature(url, config);
    if (!signature) return Error{signature.error()};
    options.newer_than = config.running_version;
  }

  std::string install_dir = choose_install_dir(config);
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

void start_package_install(std::string download_url, QueueHandle<UpdateMessage> report) {
  start_package_install(std::move(download_url), InstallConfig{}, std::move(report));
}

bool package_install_running() { return install_running; }

}  // namespace ze
