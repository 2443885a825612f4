#include "update/package_unpacker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"
#include "update/version.h"
#include "update/zip_reader.h"

namespace ze {
namespace {

constexpr size_t kCopyBufferSize = 8192;
constexpr std::string_view kTopFolder = "ze-radio";
// The program whose version record a signed package must carry.
const std::vector<std::string> kProgramPath = {"bin", "ze-radio"};
// Folder flags that never follow a link.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What the installer does with one archive entry.
struct PlannedEntry {
  enum class Kind { Skip, Directory, File } kind = Kind::Skip;
  std::vector<std::string> components;  // below the install folder
  std::string target;                   // install folder + "/" + components
  bool executable = false;
  uint64_t size = 0;  // of a file, as the archive's directory states it
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
  plan.size = entry.size;
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
  if (Result<Version> parsed = parse_version(version); !parsed) {
    return Error{"Package refused: its program's version " + parsed.error()};
  }
  if (!is_newer_version(version, running)) {
    return Error{"Package refused: its program's version " + version + " is not newer than " +
                 running};
  }
  return ok_status();
}

// The archive's directory, planned entry by entry without reading any data.
Result<std::vector<PlannedEntry>> plan_archive(ZipReader& reader, const std::string& install_dir) {
  std::vector<PlannedEntry> plans;
  Result<bool> more = reader.go_to_first();
  while (more && *more) {
    Result<ZipEntry> entry = reader.current_entry();
    if (!entry) return Error{"Failed to read archive entry: " + entry.error()};
    plans.push_back(plan_entry(*entry, install_dir));
    more = reader.go_to_next();
  }
  if (!more) return Error{"Corrupt zip archive: " + more.error()};
  return plans;
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The package's files, as the directory states their sizes, must stay under
// the limit and fit in the free space of the install folder's file system,
// counted in whole blocks: the files they replace are kept until the last
// new one is in place, so they free nothing before. The stated sizes are
// a bound, since no entry is read past its size.
Status check_unpacked_size(const std::vector<PlannedEntry>& plans, const std::string& install_dir,
                           uint64_t limit) {
  uint64_t total = 0;
  for (const PlannedEntry& plan : plans) {
    if (plan.kind == PlannedEntry::Kind::File) total = saturating_add(total, plan.size);
  }
  if (total > limit) {
    return Error{"Package refused: it unpacks to " + std::to_string(total) + " bytes, more than " +
                 std::to_string(limit)};
  }
  struct statvfs card {};
  // Where the free space cannot be read, a full card still stops the
  // writing into the staging folder, which changes nothing.
  if (::statvfs(install_dir.c_str(), &card) != 0) return ok_status();
  const uint64_t block = card.f_frsize != 0 ? card.f_frsize : 1;
  uint64_t needed = 0;
  for (const PlannedEntry& plan : plans) {
    if (plan.kind != PlannedEntry::Kind::File) continue;
    const uint64_t blocks = plan.size / block + (plan.size % block != 0 ? 1 : 0);
    needed = saturating_add(needed, blocks > UINT64_MAX / block ? UINT64_MAX : blocks * block);
  }
  const uint64_t free_blocks = card.f_bavail;
  const uint64_t free = free_blocks > UINT64_MAX / block ? UINT64_MAX : free_blocks * block;
  if (needed > free) {
    return Error{"Not enough free space in " + install_dir + ": the package needs " +
                 std::to_string(needed) + " bytes, " + std::to_string(free) + " are free"};
  }
  return ok_status();
}

// Reads every entry to its end, so that compression and checksums are known
// good before anything is written, and checks the program's version.
Status check_entries(ZipReader& reader, const std::vector<PlannedEntry>& plans,
                     const std::optional<std::string>& newer_than) {
  std::optional<std::set<std::string>> program_versions;
  Result<bool> more = reader.go_to_first();
  for (const PlannedEntry& plan : plans) {
    if (!more || !*more) return Error{"Failed to read archive entry: archive changed while reading"};
    Status opened = reader.open_entry();
    if (!opened) return Error{"Failed to read archive entry: " + opened.error()};
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
    more = reader.go_to_next();
  }
  if (newer_than) return check_program_version(std::move(program_versions), *newer_than);
  return ok_status();
}

// Opens the folder `components[0..count)` below `root` as it stands, never
// following a link. The error is the system's text.
Result<UniqueFd> open_existing(const std::string& root, const std::vector<std::string>& components,
                               size_t count) {
  UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Error{errno_text(errno)};
  for (size_t i = 0; i < count; ++i) {
    UniqueFd next(::openat(dir.get(), components[i].c_str(), kFolderFlags));
    if (!next.valid()) return Error{errno_text(errno)};
    dir = std::move(next);
  }
  return dir;
}

// What stands at `name` in `dir` where a folder belongs but could not be
// opened (`open_error` says why): 0 when nothing does, kLinkThere for a link
// (it is replaced by the folder), otherwise the error number of what is in
// the way.
constexpr int kLinkThere = -1;
int folder_obstacle(int dir, const char* name, int open_error) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISLNK(st.st_mode)) return kLinkThere;
  return S_ISDIR(st.st_mode) ? open_error : ENOTDIR;
}

// What already stands in the install folder where the package's files go:
// a folder where a file belongs, or anything but a folder or a link where
// a folder belongs, stops the installation now, before anything has
// changed. A link is no obstacle: it is replaced, not followed, when the
// files are put in place. Folder entries that meet a file are skipped, as
// their creation is.
Status check_existing(const std::vector<PlannedEntry>& plans, const std::string& install_dir) {
  for (const PlannedEntry& plan : plans) {
    if (plan.kind != PlannedEntry::Kind::File) continue;
    auto refuse = [&](int error) {
      return Status(Error{"Failed to create " + plan.target + ": " + errno_text(error)});
    };
    UniqueFd dir(::open(install_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return refuse(errno);
    const size_t folders = plan.components.size() - 1;
    size_t reached = 0;
    for (; reached < folders; ++reached) {
      const char* name = plan.components[reached].c_str();
      UniqueFd next(::openat(dir.get(), name, kFolderFlags));
      if (!next.valid()) {
        const int obstacle = folder_obstacle(dir.get(), name, errno);
        if (obstacle > 0) return refuse(obstacle);
        break;  // nothing there, or a link: the folder is made when the files are put in place
      }
      dir = std::move(next);
    }
    struct stat st {};
    if (reached == folders &&
        ::fstatat(dir.get(), plan.components.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode)) {
      return refuse(EISDIR);
    }
  }
  return ok_status();
}

// The folder inside the install folder where the package is written before
// any of it is put in place, and where what it replaces waits until the
// installation is complete. Removed with everything in it at the end,
// unless something of the install folder could not be put back from it.
class Staging {
 public:
  // Makes the folder under a name that no entry of the package uses (in
  // any letter case: the card's file system ignores it); a folder of that
  // name left by an installation cut short is removed.
  static Result<Staging> make(const std::string& install_dir, const std::vector<PlannedEntry>& plans) {
    std::set<std::string> taken;
    for (const PlannedEntry& plan : plans) {
      if (!plan.components.empty()) taken.insert(ascii_lower(plan.components.front()));
    }
    std::string name = ".ze-update";
    for (;;) {
      struct stat st {};
      const std::string path = install_dir + "/" + name;
      const bool free = !taken.contains(name);
      if (free && ::lstat(path.c_str(), &st) != 0) break;
      if (free && S_ISDIR(st.st_mode)) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
        break;
      }
      name += '~';
    }
    Staging staging;
    staging.path_ = install_dir + "/" + name;
    if (::mkdir(staging.path_.c_str(), 0700) != 0) {
      return Error{"Failed to create " + staging.path_ + ": " + errno_text(errno)};
    }
    staging.dir_.reset(::open(staging.path_.c_str(), kFolderFlags));
    if (!staging.dir_.valid()) {
      Error error{"Failed to create " + staging.path_ + ": " + errno_text(errno)};
      ::rmdir(staging.path_.c_str());
      return error;
    }
    return staging;
  }
  Staging(Staging&& other) noexcept
      : path_(std::exchange(other.path_, {})), dir_(std::move(other.dir_)), kept_(other.kept_) {}
  Staging& operator=(Staging&&) = delete;
  ~Staging() {
    if (path_.empty() || kept_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  int fd() const { return dir_.get(); }
  // Keeps the folder, under a name the next installation leaves alone,
  // when it holds something that could not be put back; returns its path.
  const std::string& keep() {
    kept_ = true;
    const std::string folder = path_.substr(0, path_.rfind('/') + 1);
    std::string kept = folder + ".ze-update-kept";
    struct stat st {};
    while (::lstat(kept.c_str(), &st) == 0) kept += '~';
    if (::rename(path_.c_str(), kept.c_str()) == 0) path_ = kept;
    return path_;
  }

  // Names inside the folder: the file of planned entry `index`, and the
  // n-th thing moved out of the package's way.
  static std::string new_file(size_t index) { return "new-" + std::to_string(index); }
  static std::string old_item(size_t n) { return "old-" + std::to_string(n); }

 private:
  Staging() = default;
  std::string path_;
  UniqueFd dir_;
  bool kept_ = false;
};

// Writes every file entry, read a second time, into the staging folder and
// flushes it to the card; nothing else in the install folder changes.
Status stage_files(ZipReader& reader, const std::vector<PlannedEntry>& plans,
                   const Staging& staging) {
  Result<bool> more = reader.go_to_first();
  for (size_t index = 0; index < plans.size(); ++index) {
    const PlannedEntry& plan = plans[index];
    if (!more || !*more) return Error{"Failed to read archive entry: archive changed while reading"};
    if (plan.kind == PlannedEntry::Kind::File) {
      UniqueFd file(::openat(staging.fd(), Staging::new_file(index).c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (!file.valid()) return Error{"Failed to create " + plan.target + ": " + errno_text(errno)};
      Status opened = reader.open_entry();
      if (!opened) return Error{"Failed to read archive entry: " + opened.error()};
      Status copied = copy_entry(reader, [&](const char* data, size_t size) {
        return write_all(file.get(), std::string_view(data, size));
      });
      if (copied && ::fsync(file.get()) != 0) copied = Error{errno_text(errno)};
      if (!copied) return Error{"Failed to extract " + plan.target + ": " + copied.error()};
      if (plan.executable) ::fchmod(file.get(), 0755);
    }
    more = reader.go_to_next();
  }
  return ok_status();
}

// Moves the staged files into place, entry by entry in the archive's order,
// and remembers every change to the install folder so that a failure can
// take all of them back. Renaming replaces a running program or script
// with a new file (the old one lives on until it ends) and needs no room
// on the card.
class Placement {
 public:
  Placement(const std::string& install_dir, Staging& staging)
      : install_dir_(install_dir), staging_(staging) {}

  // Opens the folder `components[0..count)`, making the missing ones and
  // replacing a link where a folder belongs (the link waits in the staging
  // folder). The error is the system's text.
  Result<UniqueFd> place_folders(const std::vector<std::string>& components, size_t count) {
    UniqueFd dir(::open(install_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return Error{errno_text(errno)};
    for (size_t i = 0; i < count; ++i) {
      const std::string& name = components[i];
      UniqueFd next(::openat(dir.get(), name.c_str(), kFolderFlags));
      if (!next.valid()) {
        const std::vector<std::string> folder(components.begin(), components.begin() + i);
        Status moved = move_aside_link(dir.get(), folder, name, errno);
        if (!moved) return Error{moved.error()};
        if (::mkdirat(dir.get(), name.c_str(), 0777) != 0) {
          Error error{errno_text(errno)};
          undo_last_move(dir.get());
          return error;
        }
        changes_.push_back({Change::Kind::MadeFolder, folder, name, {}});
        next.reset(::openat(dir.get(), name.c_str(), kFolderFlags));
        if (!next.valid()) return Error{errno_text(errno)};
      }
      dir = std::move(next);
    }
    return dir;
  }

  // Puts the staged file of planned entry `index` at its target; what stood
  // there waits in the staging folder.
  Status place_file(const PlannedEntry& plan, size_t index) {
    auto failed = [&](const std::string& error) {
      return Status(Error{"Failed to create " + plan.target + ": " + error});
    };
    const size_t folders = plan.components.size() - 1;
    Result<UniqueFd> parent = place_folders(plan.components, folders);
    if (!parent) return failed(parent.error());
    const std::vector<std::string> folder(plan.components.begin(),
                                          plan.components.begin() + folders);
    const std::string& name = plan.components.back();
    struct stat st {};
    if (::fstatat(parent->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(st.st_mode)) return failed(errno_text(EISDIR));
      const std::string aside = Staging::old_item(moved_);
      if (::renameat(parent->get(), name.c_str(), staging_.fd(), aside.c_str()) != 0) {
        return failed(errno_text(errno));
      }
      ++moved_;
      changes_.push_back({Change::Kind::MovedAside, folder, name, aside});
    } else if (errno != ENOENT) {
      return failed(errno_text(errno));
    }
    if (::renameat(staging_.fd(), Staging::new_file(index).c_str(), parent->get(), name.c_str()) != 0) {
      return failed(errno_text(errno));
    }
    changes_.push_back({Change::Kind::Placed, folder, name, {}});
    return ok_status();
  }

  // Takes back every change, the last first; false when one could not be.
  bool undo() {
    bool complete = true;
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
      Result<UniqueFd> dir = open_existing(install_dir_, change->folder, change->folder.size());
      const char* name = change->name.c_str();
      bool done = false;
      if (dir) {
        switch (change->kind) {
          case Change::Kind::MadeFolder: done = ::unlinkat(dir->get(), name, AT_REMOVEDIR) == 0; break;
          case Change::Kind::Placed: done = ::unlinkat(dir->get(), name, 0) == 0; break;
          case Change::Kind::MovedAside:
            done = ::renameat(staging_.fd(), change->aside.c_str(), dir->get(), name) == 0;
            break;
        }
      }
      complete = complete && done;
    }
    changes_.clear();
    return complete;
  }

 private:
  struct Change {
    enum class Kind { MadeFolder, MovedAside, Placed } kind;
    std::vector<std::string> folder;  // where it happened, below the install folder
    std::string name;
    std::string aside;  // MovedAside: its name in the staging folder
  };

  // Where a folder belongs but cannot be opened: nothing there is fine, a
  // link is moved into the staging folder, anything else is in the way.
  // `open_error` is why the folder could not be opened.
  Status move_aside_link(int dir, const std::vector<std::string>& folder, const std::string& name,
                         int open_error) {
    const int obstacle = folder_obstacle(dir, name.c_str(), open_error);
    if (obstacle == 0) return ok_status();
    if (obstacle != kLinkThere) return Error{errno_text(obstacle)};
    const std::string aside = Staging::old_item(moved_);
    if (::renameat(dir, name.c_str(), staging_.fd(), aside.c_str()) != 0) {
      return Error{errno_text(errno)};
    }
    ++moved_;
    changes_.push_back({Change::Kind::MovedAside, folder, name, aside});
    return ok_status();
  }

  void undo_last_move(int dir) {
    if (changes_.empty() || changes_.back().kind != Change::Kind::MovedAside) return;
    const Change& last = changes_.back();
    if (::renameat(staging_.fd(), last.aside.c_str(), dir, last.name.c_str()) == 0) {
      changes_.pop_back();
    }
  }

  const std::string& install_dir_;
  Staging& staging_;
  std::vector<Change> changes_;
  size_t moved_ = 0;
};

// Writes the whole package into the staging folder, then puts it in place;
// a failure on the way takes every change back.
Status install_entries(ZipReader& reader, const std::vector<PlannedEntry>& plans,
                       const std::string& install_dir) {
  Result<Staging> staging = Staging::make(install_dir, plans);
  if (!staging) return Error{staging.error()};
  Status staged = stage_files(reader, plans, *staging);
  if (!staged) return staged;
  Placement placement(install_dir, *staging);
  for (size_t index = 0; index < plans.size(); ++index) {
    const PlannedEntry& plan = plans[index];
    if (plan.kind == PlannedEntry::Kind::Directory) {
      // A folder that cannot be made (a file stands there) is skipped.
      (void)placement.place_folders(plan.components, plan.components.size());
    } else if (plan.kind == PlannedEntry::Kind::File) {
      Status placed = placement.place_file(plan, index);
      if (placed) continue;
      if (placement.undo()) return placed;
      return Error{placed.error() + "; some replaced files could not be put back and are kept in " +
                   staging->keep()};
    }
  }
  return ok_status();
}

}  // namespace

Status extract_package(const std::string& package_path, const std::string& install_dir,
                       const ExtractOptions& options) {
  UniqueFd fd(::open(package_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error{"Failed to open downloaded archive: " + errno_text(errno)};
  Result<std::unique_ptr<ZipReader>> reader = ZipReader::open(fd.get());
  if (!reader) return Error{"Corrupt zip archive: " + reader.error()};
  Result<std::vector<PlannedEntry>> plans = plan_archive(**reader, install_dir);
  if (!plans) return Error{plans.error()};
  Status size = check_unpacked_size(*plans, install_dir, options.max_unpacked_size);
  if (!size) return size;
  Status layout = check_layout(*plans);
  if (!layout) return layout;
  Status entries = check_entries(**reader, *plans, options.newer_than);
  if (!entries) return entries;
  Status existing = check_existing(*plans, install_dir);
  if (!existing) return existing;
  return install_entries(**reader, *plans, install_dir);
}

}  // namespace ze
