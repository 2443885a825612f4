// The package installer on arbitrary archive bytes. Each input is written as
// a package file and unpacked twice, each time into a fresh install folder
// that sits in a parent folder beside a sentinel file and an "outside"
// folder:
// - into an empty install folder: nothing outside it may change, it may hold
//   no link afterwards, a failed unpacking must leave it empty, and after a
//   successful one every file holds the data of an archive entry of its name;
// - into an install folder that already holds links to the sentinel and to
//   the outside folder where the package's files and folders may land:
//   nothing outside it may change (links are replaced, never followed), a
//   failed unpacking must leave it as it was, links included, and after a
//   successful unpacking every file holds an entry's data.
// Everything is removed after each input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/files.h"
#include "fuzz_check.h"
#include "update/package_installer.h"
#include "update/zip_reader.h"

namespace {

namespace fs = std::filesystem;

struct Node {
  char kind;  // 'f' file, 'd' directory, 'l' link, '?' other
  std::string detail;  // file content and mode, link target
  bool operator==(const Node&) const = default;
};

// Everything below `root` except the subtree `skip`, links not followed.
std::map<std::string, Node> snapshot(const fs::path& root, const fs::path& skip) {
  std::map<std::string, Node> nodes;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    FUZZ_CHECK(!error, "the scratch folder can be walked");
    const fs::path& path = it->path();
    if (path == skip) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat st {};
    FUZZ_CHECK(::lstat(path.c_str(), &st) == 0, "a walked path exists");
    Node node{'?', {}};
    if (S_ISLNK(st.st_mode)) {
      node = {'l', fs::read_symlink(path, error).string()};
    } else if (S_ISDIR(st.st_mode)) {
      node = {'d', std::to_string(st.st_mode)};
    } else if (S_ISREG(st.st_mode)) {
      ze::Result<std::string> content = ze::read_file(path.string());
      node = {'f', std::to_string(st.st_mode) + ":" + (content ? *content : "?")};
    }
    nodes[fs::relative(path, root).string()] = node;
  }
  FUZZ_CHECK(!error, "the scratch folder can be walked");
  return nodes;
}

bool holds_link_or_other(const fs::path& dir) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::file_status status = it->symlink_status();
    if (!fs::is_directory(status) && !fs::is_regular_file(status)) return true;
  }
  return false;
}

// The data of every file entry of the package by the last part of its name
// (the reader is the installer's own; entries it cannot read are left out).
std::map<std::string, std::set<std::string>> entry_data(const std::string& package) {
  std::map<std::string, std::set<std::string>> data;
  ze::UniqueFd fd(::open(package.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return data;
  ze::Result<std::unique_ptr<ze::ZipReader>> reader = ze::ZipReader::open(fd.get());
  if (!reader) return data;
  ze::ZipReader& zip = **reader;
  for (ze::Result<bool> more = zip.go_to_first(); more && *more; more = zip.go_to_next()) {
    ze::Result<ze::ZipEntry> entry = zip.current_entry();
    if (!entry || entry->is_directory || entry->is_symlink || !zip.open_entry()) continue;
    std::string content;
    char buffer[4096];
    for (ze::Result<size_t> got = zip.read_entry(buffer, sizeof buffer); got && *got > 0;
         got = zip.read_entry(buffer, sizeof buffer)) {
      content.append(buffer, *got);
    }
    (void)zip.close_entry();
    data[entry->name.substr(entry->name.rfind('/') + 1)].insert(content);
  }
  return data;
}

void check_contents(const fs::path& install, const std::string& package) {
  const auto data = entry_data(package);
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(install, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!fs::is_regular_file(it->symlink_status())) continue;
    auto found = data.find(it->path().filename().string());
    FUZZ_CHECK(found != data.end(), "every installed file is named after an archive entry");
    ze::Result<std::string> content = ze::read_file(it->path().string());
    FUZZ_CHECK(content.ok() && found->second.contains(*content),
               "every installed file holds the data of an entry of its name");
  }
}

const fs::path& scratch() {
  // Never destroyed, so that the removal at exit can still name it.
  static const fs::path* base = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/ze-fuzz-install-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
    // Removed when the fuzzer ends normally; a crash leaves it for a look.
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(scratch(), ignored);
    });
    return new fs::path(pattern);
  }();
  return *base;
}

void make_parent(const fs::path& parent) {
  fs::create_directories(parent / "outside" / "bin");
  FUZZ_CHECK(ze::write_file((parent / "sentinel").string(), "sentinel").ok(),
             "the sentinel can be written");
  FUZZ_CHECK(ze::write_file((parent / "outside" / "bin" / "x").string(), "outside").ok(),
             "the outside file can be written");
  fs::create_directory(parent / "install");
}

void run(const std::string& package, bool with_links) {
  const fs::path parent = scratch() / "parent";
  const fs::path install = parent / "install";
  std::error_code ignored;
  fs::remove_all(parent, ignored);
  make_parent(parent);
  if (with_links) {
    // Names a package commonly holds, as links leading out of the folder.
    for (const char* name : {"bin", "data", "ze-radio", "a"}) {
      fs::create_directory_symlink("../outside", install / name);
    }
    for (const char* name : {"launch.sh", "channels.json", "x", "b"}) {
      fs::create_symlink("../sentinel", install / name);
    }
  }
  const auto before = snapshot(parent, install);
  const auto install_before = snapshot(install, {});

  ze::Status result = ze::extract_package(package, install.string());

  FUZZ_CHECK(snapshot(parent, install) == before, "nothing outside the install folder changes");
  if (!with_links) {
    FUZZ_CHECK(!holds_link_or_other(install), "unpacking makes only files and folders");
  }
  if (!result) {
    FUZZ_CHECK(snapshot(install, {}) == install_before,
               "a failed unpacking leaves the install folder as it was");
  }
  if (result) check_contents(install, package);
  fs::remove_all(parent, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string package = (scratch() / "package.zip").string();
  FUZZ_CHECK(ze::write_file(package, ze::fuzz::as_text(data, size)).ok(),
             "the package can be written");
  run(package, false);
  run(package, true);
  return 0;
}
