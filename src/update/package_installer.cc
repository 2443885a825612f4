#include "update/package_installer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/address.h"
#include "base/clock.h"
#include "base/curl_command.h"
#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "base/process.h"
#include "base/text.h"
#include "base/thread.h"
#include "update/zip_reader.h"

namespace ze {
namespace {

constexpr off_t kMinimumPackageSize = 50000;
constexpr size_t kCopyBufferSize = 8192;
constexpr std::string_view kTopFolder = "ze-radio";
// The program whose version record a signed package must carry.
const std::vector<std::string> kProgramPath = {"bin", "ze-radio"};

std::atomic<bool> install_running{false};

// What the installer does with one archive entry.
struct PlannedEntry {
  enum class Kind { Skip, Directory, File } kind = Kind::Skip;
  std::vector<std::string> components;  // below the install folder
  std::string target;                   // install folder + "/" + components
  bool executable = false;
};

// The entry's path below the archive's root as components, without "." and
// with ".." resolved; nothing for names with NUL, absolute names and names
// that climb above the root.
std::optional<std::vector<std::string>> relative_components(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  if (!name.empty() && name.front() == '/') return std::nullopt;
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) slash = name.size();
    std::string_view piece = name.substr(start, slash - start);
    if (piece == "..") {
      if (components.empty()) return std::nullopt;
      components.pop_back();
    } else if (!piece.empty() && piece != ".") {
      components.emplace_back(piece);
    }
    start = slash + 1;
  }
  return components;
}

PlannedEntry plan_entry(const ZipEntry& entry, const std::string& install_dir) {
  PlannedEntry plan;
  // A package's links are not part of its layout: writing them would let the
  // archive point later entries (or the launcher) anywhere on the device.
  if (entry.is_symlink) return plan;
  std::string_view name = entry.name;
  if (entry.is_directory) {
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1);
  }
  std::optional<std::vector<std::string>> components = relative_components(name);
  if (!components) return plan;
  if (!components->empty() && components->front() == kTopFolder) {
    components->erase(components->begin());
  }
  if (components->empty()) return plan;
  plan.kind = entry.is_directory ? PlannedEntry::Kind::Directory : PlannedEntry::Kind::File;
  plan.target = install_dir;
  for (const std::string& component : *components) plan.target += "/" + component;
  plan.components = std::move(*components);
  plan.executable = plan.target.find("/bin/") != std::string::npos ||
                    plan.target.ends_with(".sh");
  return plan;
}

// Reads the current entry to its end, handing each piece to `sink`; the
// error is the reader's text or the sink's.
template <typename Sink>
Status copy_entry(ZipReader& reader, Sink&& sink) {
  char buffer[kCopyBufferSize];
  for (;;) {
    Result<size_t> got = reader.read_entry(buffer, sizeof buffer);
    if (!got) return Error{got.error()};
    if (*got == 0) break;
    Status written = sink(buffer, *got);
    if (!written) return written;
  }
  return reader.close_entry();
}

// Replays the folders and files the planned entries make in an empty install
// folder and fails the way the writing pass would when a file cannot be
// created: below an earlier file, where an earlier entry made a folder, or
// with a name too long for the file system. Finding that here keeps such a
// package from changing anything. A folder entry that meets a file stops
// there, as its creation does.
Status check_layout(const std::vector<PlannedEntry>& plans) {
  std::map<std::string, bool> made;  // path below the install folder -> is a folder
  for (const PlannedEntry& plan : plans) {
    if (plan.kind == PlannedEntry::Kind::Skip) continue;
    const bool file = plan.kind == PlannedEntry::Kind::File;
    const size_t folders = plan.components.size() - (file ? 1 : 0);
    std::string path;
    int blocked = 0;  // the error that stops the folders being made
    for (size_t i = 0; i < folders && blocked == 0; ++i) {
      path += "/" + plan.components[i];
      if (plan.components[i].size() > NAME_MAX) {
        blocked = ENAMETOOLONG;
      } else if (!made.try_emplace(path, true).first->second) {
        blocked = ENOTDIR;
      }
    }
    if (!file) continue;
    const std::string& name = plan.components.back();
    if (blocked == 0 && name.size() > NAME_MAX) blocked = ENAMETOOLONG;
    if (blocked == 0 && made.try_emplace(path + "/" + name, false).first->second) blocked = EISDIR;
    if (blocked != 0) return Error{"Failed to create " + plan.target + ": " + errno_text(blocked)};
  }
  return ok_status();
}

// The version the package's program reports must be newer than `running`:
// an older package signed earlier, sent again, is refused.
Status check_program_version(std::optional<std::set<std::string>> versions,
                             const std::string& running) {
  if (!versions || versions->empty()) {
    return Error{"Package refused: its program bin/ze-radio reports no version"};
  }
  if (versions->size() > 1) {
    return Error{"Package refused: its program reports more than one version"};
  }
  const std::string& version = *versions->begin();
  if (!is_newer_version(version, running)) {
    return Error{"Package refused: its program's version " + version + " is not newer than " +
                 running};
  }
  return ok_status();
}

// First pass: every entry is opened and every file read to its end, so
// that names, compression and checksums are known good before anything is
// written. Returns what to do with each entry, in the archive's order.
Result<std::vector<PlannedEntry>> check_archive(ZipReader& reader, const std::string& install_dir,
                                                const std::optional<std::string>& newer_than) {
  std::vector<PlannedEntry> plans;
  std::optional<std::set<std::string>> program_versions;
  Result<bool> more = reader.go_to_first();
  while (more && *more) {
    Result<ZipEntry> entry = reader.current_entry();
    if (!entry) return Error{"Failed to read archive entry: " + entry.error()};
    Status opened = reader.open_entry();
    if (!opened) return Error{"Failed to read archive entry: " + opened.error()};
    PlannedEntry plan = plan_entry(*entry, install_dir);
    if (plan.kind == PlannedEntry::Kind::File) {
      const bool program = newer_than && plan.components == kProgramPath;
      VersionRecordScanner scanner;
      Status read = copy_entry(reader, [&](const char* data, size_t size) {
        if (program) scanner.feed(std::string_view(data, size));
        return ok_status();
      });
      if (!read) return Error{"Failed to extract " + plan.target + ": " + read.error()};
      if (program) program_versions = scanner.finish();
    } else {
      (void)reader.close_entry();
    }
    plans.push_back(std::move(plan));
    more = reader.go_to_next();
  }
  if (!more) return Error{"Corrupt zip archive: " + more.error()};
  if (newer_than) {
    Status version = check_program_version(std::move(program_versions), *newer_than);
    if (!version) return Error{version.error()};
  }
  Status layout = check_layout(plans);
  if (!layout) return Error{layout.error()};
  return plans;
}

// Opens (creating when missing) the directory `components[0..count)` below
// `root` without following any link below the root: a link found where a
// directory belongs is replaced by a real directory, so nothing is ever
// written outside the install folder. Each folder it makes is added to
// `created`. The error is the system's text.
Result<UniqueFd> open_directory(const std::string& root, const std::vector<std::string>& components,
                                size_t count, std::vector<std::string>* created = nullptr) {
  UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Error{errno_text(errno)};
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (size_t i = 0; i < count; ++i) {
    const char* name = components[i].c_str();
    UniqueFd next(::openat(dir.get(), name, kFlags));
    if (!next.valid()) {
      struct stat st {};
      if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        ::unlinkat(dir.get(), name, 0);
      }
      if (::mkdirat(dir.get(), name, 0777) == 0 && created != nullptr) {
        std::string path = root;
        for (size_t j = 0; j <= i; ++j) path += "/" + components[j];
        created->push_back(std::move(path));
      }
      next.reset(::openat(dir.get(), name, kFlags));
      if (!next.valid()) return Error{errno_text(errno)};
    }
    dir = std::move(next);
  }
  return dir;
}

// A file entry written in full under a temporary name in its target's
// folder, waiting to be renamed over the target.
struct StagedFile {
  const PlannedEntry* plan;
  std::string temp_name;
};

// Runs `action` with the folder of a planned file, opened without following
// links; false when the folder cannot be opened.
template <typename Action>
bool in_parent(const PlannedEntry& plan, const std::string& install_dir, Action&& action) {
  Result<UniqueFd> parent = open_directory(install_dir, plan.components, plan.components.size() - 1);
  if (!parent) return false;
  action(parent->get());
  return true;
}

// Writes one file entry to a new temporary file beside its target and
// flushes it to the card; the target itself stays untouched.
Result<std::string> stage_file(ZipReader& reader, const PlannedEntry& plan,
                               const std::string& install_dir, size_t index,
                               const std::set<std::string>& planned_paths,
                               std::vector<std::string>& created) {
  size_t parents = plan.components.size() - 1;
  Result<UniqueFd> parent = open_directory(install_dir, plan.components, parents, &created);
  if (!parent) return Error{"Failed to create " + plan.target + ": " + parent.error()};
  // A folder in the way cannot be replaced by a file; that is found now,
  // before anything has changed.
  struct stat st {};
  if (::fstatat(parent->get(), plan.components.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode)) {
    return Error{"Failed to create " + plan.target + ": " + errno_text(EISDIR)};
  }
  // The temporary name is never a path of the package itself, or renaming an
  // earlier file into place would overwrite this one's data.
  std::string temp = ".ze-new-" + std::to_string(index);
  const std::string folder =
      plan.target.substr(0, plan.target.size() - plan.components.back().size());
  while (planned_paths.contains(folder + temp)) temp += '~';
  // A leftover of an installation cut short is removed, whatever it is.
  ::unlinkat(parent->get(), temp.c_str(), 0);
  UniqueFd file(::openat(parent->get(), temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file.valid()) return Error{"Failed to create " + plan.target + ": " + errno_text(errno)};
  Status opened = reader.open_entry();
  Status copied = !opened ? opened : copy_entry(reader, [&](const char* data, size_t size) {
    return write_all(file.get(), std::string_view(data, size));
  });
  if (copied && ::fsync(file.get()) != 0) copied = Error{errno_text(errno)};
  if (!copied) {
    ::unlinkat(parent->get(), temp.c_str(), 0);
    if (!opened) return Error{"Failed to read archive entry: " + opened.error()};
    return Error{"Failed to extract " + plan.target + ": " + copied.error()};
  }
  if (plan.executable) ::fchmod(file.get(), 0755);
  return temp;
}

// Removes the temporary files of staged entries from `from` on.
void discard_staged(const std::vector<StagedFile>& staged, size_t from,
                    const std::string& install_dir) {
  for (size_t i = from; i < staged.size(); ++i) {
    (void)in_parent(*staged[i].plan, install_dir, [&](int parent) {
      ::unlinkat(parent, staged[i].temp_name.c_str(), 0);
    });
  }
}

// Removes the folders an installation made, deepest first; a folder that is
// not empty (a file already renamed into it) stays.
void remove_created(const std::vector<std::string>& created) {
  for (auto it = created.rbegin(); it != created.rend(); ++it) ::rmdir(it->c_str());
}

// Renames every staged file over its target. Renaming replaces a running
// program or script with a new file (the old one lives on until it ends),
// and needs no room on the card.
Status commit_staged(const std::vector<StagedFile>& staged, const std::string& install_dir) {
  for (size_t i = 0; i < staged.size(); ++i) {
    const PlannedEntry& plan = *staged[i].plan;
    int error = ENOENT;
    bool opened = in_parent(plan, install_dir, [&](int parent) {
      error = ::renameat(parent, staged[i].temp_name.c_str(), parent,
                         plan.components.back().c_str()) == 0 ? 0 : errno;
    });
    if (!opened || error != 0) {
      discard_staged(staged, i, install_dir);
      return Error{"Failed to create " + plan.target + ": " + errno_text(error)};
    }
  }
  return ok_status();
}

// Every file is first written in full beside its target; only when all of
// them are written (a full or read-only card, a bad entry stop this first
// pass) are they renamed into place, so a failed installation leaves the
// application folder as it was instead of half old and half new.
Status extract_entries(ZipReader& reader, const std::vector<PlannedEntry>& plans,
                       const std::string& install_dir) {
  std::vector<StagedFile> staged;
  std::set<std::string> staged_targets;
  std::vector<std::string> created;  // folders made by this installation
  // Every path the package makes, folders on the way included.
  std::set<std::string> planned_paths;
  for (const PlannedEntry& plan : plans) {
    std::string path = install_dir;
    for (const std::string& component : plan.components) {
      planned_paths.insert(path += "/" + component);
    }
  }
  // Whether an earlier entry puts a file where this one needs a folder;
  // before the renames that folder would still be missing or creatable.
  auto under_staged_file = [&](const PlannedEntry& plan, size_t folders) {
    std::string path = install_dir;
    for (size_t i = 0; i < folders; ++i) {
      path += "/" + plan.components[i];
      if (staged_targets.contains(path)) return true;
    }
    return false;
  };
  Result<bool> more = reader.go_to_first();
  for (const PlannedEntry& plan : plans) {
    if (!more || !*more) {
      discard_staged(staged, 0, install_dir);
      remove_created(created);
      return Error{"Failed to read archive entry: archive changed while reading"};
    }
    if (plan.kind == PlannedEntry::Kind::Directory) {
      if (!under_staged_file(plan, plan.components.size())) {
        (void)open_directory(install_dir, plan.components, plan.components.size(), &created);
      }
    } else if (plan.kind == PlannedEntry::Kind::File) {
      Result<std::string> temp =
          under_staged_file(plan, plan.components.size() - 1)
              ? Result<std::string>(Error{"Failed to create " + plan.target + ": " +
                                          errno_text(ENOTDIR)})
              : stage_file(reader, plan, install_dir, staged.size(), planned_paths, created);
      if (!temp) {
        discard_staged(staged, 0, install_dir);
        remove_created(created);
        return Error{temp.error()};
      }
      staged.push_back({&plan, std::move(temp).value()});
      staged_targets.insert(plan.target);
    }
    more = reader.go_to_next();
  }
  Status committed = commit_staged(staged, install_dir);
  if (!committed) remove_created(created);
  return committed;
}

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
  Result<CommandOutput> run = run_capture(
      curl_arguments(config.curl, kSignatureRequest, signature_url), curl_wait_limit(kSignatureRequest));
  Status verified = !run || !run->status.success() || run->out.empty()
                        ? Status(Error{"no signature at " + signature_url})
                        : verify_file_signature(*config.key, config.package_path, run->out);
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

Status extract_package(const std::string& package_path, const std::string& install_dir,
                       const std::optional<std::string>& newer_than) {
  UniqueFd fd(::open(package_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error{"Failed to open downloaded archive: " + errno_text(errno)};
  Result<std::unique_ptr<ZipReader>> reader = ZipReader::open(fd.get());
  if (!reader) return Error{"Corrupt zip archive: " + reader.error()};
  Result<std::vector<PlannedEntry>> plans = check_archive(**reader, install_dir, newer_than);
  if (!plans) return Error{plans.error()};
  return extract_entries(**reader, *plans, install_dir);
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

  std::optional<std::string> newer_than;
  if (config.key) {
    Status signature = check_package_signature(url, config);
    if (!signature) return Error{signature.error()};
    newer_than = config.running_version;
  }

  std::string install_dir = choose_install_dir(config);
  Status extracted = extract_package(config.package_path, install_dir, newer_than);
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
