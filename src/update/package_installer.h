// Self-installation: downloads the application package with the external
// `curl`, unpacks it over the application folder and ends the process with
// status 42 so that the launcher starts the new version. Runs on its own
// detached thread, which sends its progress to the main loop (the bytes
// received against the size the server announces, several times a second,
// then each later step); a failure is logged and sent as an update error. A build with an update key installs only a package signed with it
// whose program is newer than the running one. At most one installation runs
// at a time in the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/paths.h"
#include "base/queue.h"
#include "base/result.h"
#include "update/package_unpacker.h"
#include "update/signature.h"
#include "update/update_message.h"
#include "update/version.h"

namespace ze {

inline constexpr int kRestartExitStatus = 42;
// A download that grows past this is stopped and refused.
inline constexpr uint64_t kMaxPackageSize = 64ull * 1024 * 1024;
// How often the download's progress is reported at most.
inline constexpr std::chrono::milliseconds kProgressInterval{200};

struct InstallConfig {
  std::string curl = "curl";  // found through the search path
  std::string package_path = paths::kUpdatePackage;
  std::string app_dir = paths::kAppDir;
  std::string working_dir;  // fallback install folder; empty: the current one
  std::optional<UpdateKey> key = trusted_update_key();  // none: packages are not checked
  std::string running_version{ze::running_version()};
  uint64_t max_package_size = kMaxPackageSize;
  uint64_t max_unpacked_size = kMaxUnpackedSize;
  // The package's size the manifest gives, if any: the download's progress
  // is shown against it when the server announces no length.
  std::optional<uint64_t> expected_size;
};

// The folder the package is unpacked into: the application folder when
// anything exists at its path, else the working folder, else ".".
std::string choose_install_dir(const InstallConfig& config);

// Told what the installation is doing: the download's bytes as they come,
// then the signature check (with a key) and the unpacking. Called on the
// installing thread.
using InstallProgress = std::function<void(const InstallProgressMessage&)>;

// One whole installation on the calling thread: download, size check,
// unpacking, deletion of the package, the final chmod. Returns the install
// folder, or the error text that the installer logs.
Result<std::string> install_package(const std::string& url, const InstallConfig& config,
                                    const InstallProgress& progress = {});

// The length the final response announces in curl's "-D -" output (the
// status line and headers of every response, redirects first); nothing
// when the final response announces none or is not a success. Lines not
// yet ended are left for a later, longer reading.
std::optional<uint64_t> announced_length(std::string_view heads);

// Starts the installer thread unless another installation is running
// (then it only logs and returns false). On success the thread ends the
// process with status 42; on failure it logs the error, sends it into
// `report` and a later request may try again.
bool start_package_install(std::string download_url, InstallConfig config,
                           QueueHandle<UpdateMessage> report);
void start_package_install(std::string download_url, std::optional<uint64_t> expected_size,
                           QueueHandle<UpdateMessage> report);

// Whether an installer thread of this process is running.
bool package_install_running();

}  // namespace ze
