// Self-installation: downloads the application package with the external
// `curl`, unpacks it over the application folder and ends the process with
// status 42 so that the launcher starts the new version. Runs on its own
// detached thread and reports nothing back; failures are only logged.
// At most one installation runs at a time in the process.
#pragma once

#include <string>

#include "base/paths.h"
#include "base/result.h"

namespace ze {

inline constexpr int kRestartExitStatus = 42;

struct InstallConfig {
  std::string curl = "curl";  // found through the search path
  std::string package_path = paths::kUpdatePackage;
  std::string app_dir = paths::kAppDir;
  std::string working_dir;  // fallback install folder; empty: the current one
};

// The folder the package is unpacked into: the application folder when
// anything exists at its path, else the working folder, else ".".
std::string choose_install_dir(const InstallConfig& config);

// Unpacks the archive at `package_path` into `install_dir`. Every entry is
// read and checked to its end before anything is written, so a damaged
// package changes nothing. Unsafe names and symbolic-link entries are
// skipped; links already present inside `install_dir` are never followed.
Status extract_package(const std::string& package_path, const std::string& install_dir);

// One whole installation on the calling thread: download, size check,
// unpacking, deletion of the package, the final chmod. Returns the install
// folder, or the error text that the installer logs.
Result<std::string> install_package(const std::string& url, const InstallConfig& config);

// Starts the installer thread unless another installation is running
// (then it only logs and returns false). On success the thread ends the
// process with status 42; on failure it logs the error and a later request
// may try again.
bool start_package_install(std::string download_url, InstallConfig config);
void start_package_install(std::string download_url);

// Whether an installer thread of this process is running.
bool package_install_running();

}  // namespace ze
