#include "update/package_installer.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "temp_dir.h"
#include "update/zip_reader.h"
#include "zip_writer.h"

namespace ze {
namespace {

// Builds an archive with Python's zipfile: `body` runs with `z` open for
// writing and `add(name, data, mode=None, link=False)` at hand.
void make_zip(const std::string& path, const std::string& body) {
  std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
      "def add(name, data, link=False, stored=False):\n"
      "    info = zipfile.ZipInfo(name)\n"
      "    info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED\n"
      "    if link:\n"
      "        info.create_system = 3\n"
      "        info.external_attr = 0o120777 << 16\n"
      "    z.writestr(info, data)\n" +
      body + "\nz.close()\n";
  Result<CommandOutput> run = run_capture({"python3", "-c", script, path});
  ASSERT_TRUE(run.ok() && run->status.success()) << (run.ok() ? run->err : run.error());
}

mode_t file_mode(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

mode_t default_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Everything below `root`, links not followed: each path with its kind and
// its content, mode or link target.
std::map<std::string, std::string> folder_state(const std::string& root) {
  std::map<std::string, std::string> state;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string();
    const mode_t mode = file_mode(path);
    std::string& described = state[path.substr(root.size())];
    if (S_ISLNK(mode)) {
      described = "link to " + std::filesystem::read_symlink(entry.path()).string();
    } else if (S_ISDIR(mode)) {
      described = "folder " + std::to_string(mode);
    } else {
      Result<std::string> content = read_file(path);
      described = "file " + std::to_string(mode) + " " + (content.ok() ? *content : "?");
    }
  }
  return state;
}

std::string file_text(const std::string& path) {
  Result<std::string> content = read_file(path);
  return content.ok() ? *content : "(unreadable)";
}

// Some bytes that deflate cannot shrink.
std::string noise(size_t size) {
  std::string out(size, '\0');
  uint32_t x = 12345;
  for (char& c : out) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  return out;
}

// Makes a folder refuse new names while it lives: immutable for root,
// read-only for other users.
class FolderLock {
 public:
  explicit FolderLock(std::string path) : path_(std::move(path)) {
    if (::geteuid() != 0) {
      locked_ = ::chmod(path_.c_str(), 0555) == 0;
      return;
    }
    Result<CommandOutput> run = run_capture({"chattr", "+i", path_});
    locked_ = run.ok() && run->status.success();
  }
  ~FolderLock() { unlock(); }
  bool locked() const { return locked_; }
  void unlock() {
    if (!locked_) return;
    if (::geteuid() == 0) {
      (void)run_capture({"chattr", "-i", path_});
    } else {
      ::chmod(path_.c_str(), 0755);
    }
    locked_ = false;
  }

 private:
  std::string path_;
  bool locked_ = false;
};

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(app_.c_str(), 0755), 0);
    package_ = dir_ / "package.zip";
  }
  testing::TempDir dir_;
  std::string app_ = dir_ / "app";
  std::string package_;
};

TEST_F(InstallerTest, EntriesLandBelowTheInstallFolderWithTheirModes) {
  make_zip(package_,
           "add('ze-radio/', '')\n"
           "add('ze-radio/bin/x', 'binary')\n"
           "add('ze-radio/launch.sh', '#!/bin/sh')\n"
           "add('ze-radio/data/list.txt', 'list')\n"
           "add('ze-radio/empty/', '')\n"
           "add('ze-radio-tools/a', 'tool')\n"
           "add('lib/y', 'no top folder')\n"
           "add('../x', 'escape')\n"
           "add('ze-radio/../../y', 'escape')\n"
           "add('/etc/ze-radio-test', 'absolute')\n"
           "add('nul_Xname', 'nul')\n");
  // A NUL byte inside a stored name (zipfile itself refuses to write one).
  Result<std::string> raw = read_file(package_);
  ASSERT_TRUE(raw.ok());
  std::string bytes = *raw;
  for (size_t at; (at = bytes.find("nul_Xname")) != std::string::npos;) bytes[at + 4] = '\0';
  ASSERT_TRUE(write_file(package_, bytes).ok());

  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_EQ(*read_file(app_ + "/bin/x"), "binary");
  EXPECT_EQ(file_mode(app_ + "/bin/x") & 07777, 0755u);
  EXPECT_EQ(file_mode(app_ + "/launch.sh") & 07777, 0755u);
  EXPECT_EQ(file_mode(app_ + "/data/list.txt") & 07777, default_file_mode());
  EXPECT_TRUE(S_ISDIR(file_mode(app_ + "/empty")));
  EXPECT_EQ(*read_file(app_ + "/ze-radio-tools/a"), "tool");
  EXPECT_EQ(*read_file(app_ + "/lib/y"), "no top folder");
  EXPECT_FALSE(path_exists(dir_ / "x"));
  EXPECT_FALSE(path_exists(dir_ / "y"));
  EXPECT_FALSE(path_exists("/etc/ze-radio-test"));
  EXPECT_FALSE(path_exists(app_ + "/etc/ze-radio-test"));
  EXPECT_FALSE(path_exists(app_ + "/nul"));
  EXPECT_FALSE(path_exists(app_ + "/ze-radio"));
}

// With a running version to beat, the package's program must report a
// version by the one rule, newer than the running one; otherwise nothing is
// written and the refusal says why.
TEST_F(InstallerTest, ProgramMustReportANewerVersion) {
  const std::pair<const char*, const char*> cases[] = {
      {"1.0.1", ""},
      {"V1.1-rc1", ""},
      {"1.0.0", "Package refused: its program's version 1.0.0 is not newer than 1.0"},
      {"1.0.0-rc1", "Package refused: its program's version 1.0.0-rc1 is not newer than 1.0"},
      {"1.x.5", "Package refused: its program's version '1.x.5' is not a version (numbers "
                "separated by dots, as 1.2.3, with an optional leading v and an optional "
                "pre-release after '-', as 1.3-rc1)"},
  };
  for (auto [version, error] : cases) {
    make_zip(package_, std::string("add('ze-radio/bin/ze-radio', 'prog\\0ze-radio-version=") +
                           version + "\\0')\n");
    Status result = extract_package(package_, app_, {.newer_than = "1.0"});
    EXPECT_EQ(result.ok() ? "" : result.error(), error) << version;
    EXPECT_EQ(path_exists(app_ + "/bin/ze-radio"), *error == '\0') << version;
    ::unlink((app_ + "/bin/ze-radio").c_str());
  }
}

TEST_F(InstallerTest, DamagedEntryWritesNothingAtAll) {
  make_zip(package_,
           "add('ze-radio/a.txt', 'first entry, intact')\n"
           "add('ze-radio/b.txt', 'second entry, about to be damaged', stored=True)\n");
  std::string bytes = *read_file(package_);
  size_t at = bytes.find("about to be damaged");
  ASSERT_NE(at, std::string::npos);
  bytes[at] ^= 0x01;
  ASSERT_TRUE(write_file(package_, bytes).ok());
  ASSERT_TRUE(write_file(app_ + "/a.txt", "old").ok());

  Status result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to extract " + app_ + "/b.txt: checksum mismatch (CRC-32)");
  EXPECT_EQ(*read_file(app_ + "/a.txt"), "old");
  EXPECT_FALSE(path_exists(app_ + "/b.txt"));

  // Cut short, the archive loses its directory.
  ASSERT_TRUE(write_file(package_, bytes.substr(0, bytes.size() / 2)).ok());
  result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().rfind("Corrupt zip archive: ", 0), 0u) << result.error();

  // An entry the reader cannot open stops everything before the first write.
  make_zip(package_,
           "add('ze-radio/c.txt', 'fine')\n"
           "z.writestr('ze-radio/d.txt', 'lzma', compress_type=zipfile.ZIP_LZMA)\n");
  result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to read archive entry: unsupported compression method 14 "
                            "(only stored and deflated entries can be read)");
  EXPECT_FALSE(path_exists(app_ + "/c.txt"));
  // A bzip2 entry whose compressed size equals its size was once installed
  // as its raw compressed bytes.
  make_zip(package_,
           "import bz2\n"
           "info = zipfile.ZipInfo('ze-radio/e.txt')\n"
           "z.writestr(info, b'x' * 100)\n"
           "info.compress_type = 12\n");
  std::string raw_bytes = *read_file(package_);
  for (size_t at = 0; (at = raw_bytes.find("PK", at)) != std::string::npos; at += 2) {
    // method field: local header +8, central header +10
    if (raw_bytes.compare(at, 4, "PK\x03\x04") == 0) raw_bytes[at + 8] = 12;
    if (raw_bytes.compare(at, 4, "PK\x01\x02") == 0) raw_bytes[at + 10] = 12;
  }
  ASSERT_TRUE(write_file(package_, raw_bytes).ok());
  result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to read archive entry: unsupported compression method 12 "
                            "(only stored and deflated entries can be read)");
  EXPECT_FALSE(path_exists(app_ + "/e.txt"));
  EXPECT_EQ(extract_package(dir_ / "missing.zip", app_).error(),
            "Failed to open downloaded archive: No such file or directory (os error 2)");
}

// Entries that clash with each other fail before the first write, with the
// error the writing would have met.
TEST_F(InstallerTest, ClashingEntriesWriteNothingAtAll) {
  struct Case {
    std::string body;
    std::string error;
  };
  const std::string long_name(256, 'n');
  const Case cases[] = {
      {"add('ze-radio/a', 'file')\nadd('ze-radio/a/b', 'below a file')\n",
       "Failed to create " + app_ + "/a/b: Not a directory (os error 20)"},
      {"add('ze-radio/a/', '')\nadd('ze-radio/a', 'where a folder is')\n",
       "Failed to create " + app_ + "/a: Is a directory (os error 21)"},
      {"add('ze-radio/a/b', 'x')\nadd('ze-radio/a', 'where a parent is')\n",
       "Failed to create " + app_ + "/a: Is a directory (os error 21)"},
      {"add('ze-radio/ok', 'x')\nadd('ze-radio/" + long_name + "/c', 'x')\n",
       "Failed to create " + app_ + "/" + long_name + "/c: File name too long (os error 36)"},
  };
  for (const Case& c : cases) {
    make_zip(package_, c.body);
    Status result = extract_package(package_, app_);
    ASSERT_FALSE(result.ok()) << c.body;
    EXPECT_EQ(result.error(), c.error);
    EXPECT_FALSE(path_exists(app_ + "/a"));
    EXPECT_FALSE(path_exists(app_ + "/ok"));
  }
  // A folder entry that meets a file is no error: the file stays.
  make_zip(package_, "add('ze-radio/a', 'file')\nadd('ze-radio/a/', '')\n");
  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_EQ(*read_file(app_ + "/a"), "file");
}

// A file that cannot be put in place (here a folder stands at its path, as a
// full or read-only card stops any write) stops the installation before any
// file has changed: the folder is never left half old and half new, and the
// folders the package made are gone again.
TEST_F(InstallerTest, FailedWriteLeavesEveryOldFileAndNoLeftovers) {
  ASSERT_TRUE(write_file(app_ + "/launch.sh", "old launch").ok());
  ASSERT_EQ(::mkdir((app_ + "/bin").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(app_ + "/bin/prog", "old program").ok());
  ASSERT_EQ(::mkdir((app_ + "/data").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((app_ + "/data/list").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(app_ + "/data/list/keep", "x").ok());
  make_zip(package_,
           "add('ze-radio/launch.sh', 'new launch')\n"
           "add('ze-radio/bin/prog', 'new program')\n"
           "add('ze-radio/new/deeper/file', 'in folders the package makes')\n"
           "add('ze-radio/empty/', '')\n"
           "add('ze-radio/bin/tools/', '')\n"
           "add('ze-radio/data/list', 'a file where a folder is')\n");
  Status result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to create " + app_ + "/data/list: Is a directory (os error 21)");
  EXPECT_EQ(*read_file(app_ + "/launch.sh"), "old launch");
  EXPECT_EQ(*read_file(app_ + "/bin/prog"), "old program");
  for (auto [folder, count] : {std::pair{"", 3}, {"/bin", 1}, {"/data", 1}}) {
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(app_ + folder)) {
      EXPECT_EQ(entry.path().filename().string().rfind(".ze-update", 0), std::string::npos)
          << entry.path();
      ++entries;
    }
    EXPECT_EQ(entries, count) << folder;
  }

  // A file where a later entry needs a folder fails as it did when files were
  // written one by one, and also before anything has changed.
  make_zip(package_,
           "add('ze-radio/launch.sh', 'new launch')\n"
           "add('ze-radio/tool', 'a file')\n"
           "add('ze-radio/tool/', '')\n"
           "add('ze-radio/tool/x', 'below a file')\n");
  result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to create " + app_ + "/tool/x: Not a directory (os error 20)");
  EXPECT_EQ(*read_file(app_ + "/launch.sh"), "old launch");
  EXPECT_FALSE(path_exists(app_ + "/tool"));
}

// Files and folders of the package named like the installer's staging
// folder, in any letter case, keep their own data and the staging goes
// elsewhere; a staging folder left by an installation cut short is removed.
TEST_F(InstallerTest, PackageEntriesNamedLikeTheStagingFolderKeepTheirData) {
  ASSERT_EQ(::mkdir((app_ + "/.ze-update~~").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(app_ + "/.ze-update~~/new-0", "left over").ok());
  make_zip(package_,
           "add('ze-radio/.ze-update', 'first')\n"
           "add('ze-radio/b', 'second')\n"
           "add('ze-radio/.ZE-Update~/', '')\n"
           "add('ze-radio/c', 'third')\n");
  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_EQ(*read_file(app_ + "/.ze-update"), "first");
  EXPECT_EQ(*read_file(app_ + "/b"), "second");
  EXPECT_TRUE(S_ISDIR(file_mode(app_ + "/.ZE-Update~")));
  EXPECT_EQ(*read_file(app_ + "/c"), "third");
  EXPECT_FALSE(path_exists(app_ + "/.ze-update~~"));
}

TEST_F(InstallerTest, RunningProgramIsReplacedByANewFile) {
  ASSERT_EQ(::mkdir((app_ + "/bin").c_str(), 0755), 0);
  std::string program = app_ + "/bin/prog";
  ASSERT_TRUE(write_file(program, *read_file("/bin/sleep")).ok());
  ::chmod(program.c_str(), 0755);
  SpawnOptions options;
  options.argv = {program, "30"};
  Result<Process> running = Process::spawn(options);
  ASSERT_TRUE(running.ok()) << running.error();
  struct stat before {};
  ::stat(program.c_str(), &before);

  make_zip(package_, "add('ze-radio/bin/prog', 'new program')\n");
  Status result = extract_package(package_, app_);
  (void)send_signal(running->pid(), SIGKILL);
  running->wait();
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(*read_file(program), "new program");
  struct stat after {};
  ::stat(program.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);
}

TEST_F(InstallerTest, LinksNeverLeadOutOfTheInstallFolder) {
  std::string outside = dir_ / "outside";
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(outside + "/target", "keep").ok());
  ASSERT_EQ(::symlink(outside.c_str(), (app_ + "/bin").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/target").c_str(), (app_ + "/launch.sh").c_str()), 0);
  make_zip(package_,
           "add('ze-radio/link', '/etc/passwd', link=True)\n"
           "add('ze-radio/bin/x', 'inside')\n"
           "add('ze-radio/launch.sh', 'script')\n");

  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_FALSE(path_exists(app_ + "/link"));  // link entries are skipped
  EXPECT_EQ(file_mode(app_ + "/link"), 0u);
  EXPECT_TRUE(S_ISDIR(file_mode(app_ + "/bin")));
  EXPECT_EQ(*read_file(app_ + "/bin/x"), "inside");
  EXPECT_TRUE(S_ISREG(file_mode(app_ + "/launch.sh")));
  EXPECT_FALSE(path_exists(outside + "/x"));
  EXPECT_EQ(*read_file(outside + "/target"), "keep");
}

// Valid archives as other tools write them: Info-ZIP's zip with and without
// forced zip64 records, Python's zipfile with zip64 entries, and an archive
// of exactly 65,535 entries (the most an end record without zip64 counts).
TEST_F(InstallerTest, ArchivesOfOtherToolsAndZip64RecordsInstall) {
  const std::string tree = dir_ / "tree";
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/ze-radio").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/ze-radio/bin").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(tree + "/ze-radio/bin/x", std::string(70000, 'x')).ok());
  ASSERT_TRUE(write_file(tree + "/ze-radio/a.txt", "text").ok());
  struct Case {
    const char* name;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {"zip", {"sh", "-c", "cd " + tree + " && zip -q -r -X " + package_ + " ze-radio"}},
      {"zip -fz", {"sh", "-c", "cd " + tree + " && zip -q -r -fz " + package_ + " ze-radio"}},
      {"zip -fz from a pipe",
       {"sh", "-c", "cd " + tree + " && cat ze-radio/bin/x | zip -q -fz - - > " + package_}},
      {"python zip64",
       {"python3", "-c",
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
        "for name, data in (('ze-radio/bin/x', b'x' * 70000), ('ze-radio/a.txt', b'text')):\n"
        "    with z.open(name, 'w', force_zip64=True) as f: f.write(data)\n"
        "z.close()\n",
        package_}},
  };
  for (const Case& c : cases) {
    ::unlink(package_.c_str());
    std::filesystem::remove_all(app_);
    ASSERT_EQ(::mkdir(app_.c_str(), 0755), 0);
    Result<CommandOutput> made = run_capture(c.argv);
    ASSERT_TRUE(made.ok() && made->status.success()) << c.name;
    Status result = extract_package(package_, app_);
    ASSERT_TRUE(result.ok()) << c.name << ": " << result.error();
    const std::string program = std::string(c.name).ends_with("pipe") ? app_ + "/-" : app_ + "/bin/x";
    Result<std::string> data = read_file(program);
    EXPECT_TRUE(data.ok() && *data == std::string(70000, 'x')) << c.name;
  }

  // Walked by the reader alone: writing 65,535 files would take minutes.
  make_zip(package_, "for n in range(65535): add('%d' % n, '', stored=True)\n");
  UniqueFd fd(::open(package_.c_str(), O_RDONLY | O_CLOEXEC));
  Result<std::unique_ptr<ZipReader>> reader = ZipReader::open(fd.get());
  ASSERT_TRUE(reader.ok()) << reader.error();
  uint64_t entries = 0;
  Result<bool> more = (*reader)->go_to_first();
  while (more.ok() && *more) {
    ++entries;
    more = (*reader)->go_to_next();
  }
  ASSERT_TRUE(more.ok()) << more.error();
  EXPECT_EQ(entries, 65535u);
}

// Zip64 values in every place writers put them, for an entry first, in the
// middle or last (where its data ends just before the directory), in plain
// archives and in archives with bytes before them, zip64 end records and
// data descriptors: each installs, whatever the reader's view of the local
// header's sizes.
TEST_F(InstallerTest, Zip64FormsInstallWhereverTheEntrySits) {
  using testing::ZipMember;
  const std::pair<const char*, std::function<void(ZipMember&)>> forms[] = {
      {"sizes in the directory only", [](ZipMember& m) { m.central_sizes64 = true; }},
      {"sizes in both headers", [](ZipMember& m) { m.central_sizes64 = m.local_sizes64 = true; }},
      {"offset only", [](ZipMember& m) { m.central_offset64 = true; }},
      {"all three",
       [](ZipMember& m) { m.central_sizes64 = m.local_sizes64 = m.central_offset64 = true; }},
      {"offset in the extra field too", [](ZipMember& m) { m.central_sizes64 = m.offset_in_extra_too = true; }},
      {"streamed", [](ZipMember& m) { m.central_sizes64 = m.local_sizes64 = m.data_descriptor = true; }},
  };
  const std::pair<const char*, testing::ZipLayout> layouts[] = {
      {"plain", {}}, {"after a stub", {std::string(1000, 'S')}}, {"zip64 end records", {"", true}}};
  const std::string program = std::string(30000, 'p') + noise(2000) + std::string(30000, 'q');
  const std::string padding = noise(40000);
  int installed = 0;
  for (const auto& [form_name, form] : forms) {
    for (const auto& [layout_name, layout] : layouts) {
      for (size_t position = 0; position < 3; ++position) {
        std::vector<ZipMember> members = {{.name = "ze-radio/a.txt", .data = "text"},
                                          {.name = "ze-radio/padding.bin", .data = padding, .deflate = false}};
        ZipMember zip64{.name = "ze-radio/bin/x", .data = program};
        form(zip64);
        members.insert(members.begin() + static_cast<std::ptrdiff_t>(position), zip64);
        const std::string what = std::string(form_name) + ", " + layout_name + ", position " +
                                 std::to_string(position);
        std::filesystem::remove_all(app_);
        ASSERT_EQ(::mkdir(app_.c_str(), 0755), 0);
        ASSERT_TRUE(write_file(package_, testing::build_zip(members, layout)).ok());
        Status result = extract_package(package_, app_);
        EXPECT_TRUE(result.ok()) << what << ": " << result.error();
        if (!result.ok()) continue;
        EXPECT_EQ(file_text(app_ + "/bin/x"), program) << what;
        EXPECT_EQ(file_text(app_ + "/a.txt"), "text") << what;
        EXPECT_EQ(file_text(app_ + "/padding.bin"), padding) << what;
        ++installed;
      }
    }
  }
  EXPECT_EQ(installed, 54);
}

// A refused installation leaves the folder as it was, links included: a link
// where the package needs a folder is replaced only after the whole package
// is written, and put back when a later file cannot be put in place.
TEST_F(InstallerTest, RefusedInstallKeepsLinksAndEveryFile) {
  const std::string outside = dir_ / "outside";
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(outside + "/keep", "keep").ok());
  ASSERT_EQ(::symlink(outside.c_str(), (app_ + "/data").c_str()), 0);
  ASSERT_EQ(::symlink("launch.sh", (app_ + "/start").c_str()), 0);
  ASSERT_TRUE(write_file(app_ + "/launch.sh", "old launch").ok());
  ASSERT_TRUE(write_file(app_ + "/lib", "a file where the package needs a folder").ok());
  make_zip(package_,
           "add('ze-radio/launch.sh', 'new launch')\n"
           "add('ze-radio/start', 'replaces a link')\n"
           "add('ze-radio/data/list.txt', 'list')\n"
           "add('ze-radio/lib/x.so', 'library')\n");
  std::map<std::string, std::string> before = folder_state(dir_.path());
  Status result = extract_package(package_, app_);
  EXPECT_EQ(result.error(), "Failed to create " + app_ + "/lib/x.so: Not a directory (os error 20)");
  EXPECT_EQ(folder_state(dir_.path()), before);

  // A folder that refuses new names (immutable for root, read-only for
  // others) stops the installation after earlier files were put in place.
  const std::string locked = app_ + "/locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
  FolderLock lock(locked);
  if (!lock.locked()) GTEST_SKIP() << "no way to make a folder refuse new names here";
  make_zip(package_,
           "add('ze-radio/launch.sh', 'new launch')\n"
           "add('ze-radio/start', 'replaces a link')\n"
           "add('ze-radio/data/list.txt', 'list')\n"
           "add('ze-radio/new/file', 'in a folder the package makes')\n"
           "add('ze-radio/locked/y', 'cannot be placed')\n");
  before = folder_state(dir_.path());
  result = extract_package(package_, app_);
  EXPECT_TRUE(result.error().starts_with("Failed to create " + locked + "/y: ")) << result.error();
  EXPECT_EQ(folder_state(dir_.path()), before);

  // Once the folder takes names, the same package installs: the links are
  // replaced, never followed, and no staging is left behind.
  lock.unlock();
  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_TRUE(S_ISDIR(file_mode(app_ + "/data")));
  EXPECT_EQ(*read_file(app_ + "/data/list.txt"), "list");
  EXPECT_EQ(*read_file(app_ + "/start"), "replaces a link");
  EXPECT_EQ(*read_file(locked + "/y"), "cannot be placed");
  EXPECT_EQ(*read_file(outside + "/keep"), "keep");
  EXPECT_FALSE(path_exists(outside + "/list.txt"));
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(app_)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"data", "launch.sh", "lib", "locked", "new", "start"}));
}

// What a package unpacks to is bounded by a limit and by the card's free
// space, both taken from the directory before any data is read or written.
TEST_F(InstallerTest, UnpackedSizeIsBoundedBeforeAnythingIsWritten) {
  using testing::ZipMember;
  // 64 MiB and one byte of zeros deflate to about 65 KB.
  ASSERT_TRUE(write_file(package_, testing::build_zip(
                                       {{.name = "ze-radio/a.txt", .data = "a"},
                                        {.name = "ze-radio/zeros",
                                         .data = std::string(kMaxUnpackedSize, '\0')}}))
                  .ok());
  Status result = extract_package(package_, app_);
  EXPECT_EQ(result.error(), "Package refused: it unpacks to 67108865 bytes, more than 67108864");
  EXPECT_TRUE(std::filesystem::is_empty(app_));

  // The limit counts every file; a package right at it installs.
  ASSERT_TRUE(write_file(package_, testing::build_zip({{.name = "ze-radio/a", .data = std::string(60, 'a')},
                                                       {.name = "ze-radio/", .data = ""},
                                                       {.name = "ze-radio/b", .data = std::string(40, 'b')}}))
                  .ok());
  EXPECT_EQ(extract_package(package_, app_, {.max_unpacked_size = 99}).error(),
            "Package refused: it unpacks to 100 bytes, more than 99");
  EXPECT_TRUE(std::filesystem::is_empty(app_));
  EXPECT_TRUE(extract_package(package_, app_, {.max_unpacked_size = 100}).ok());

  // Under any limit, a package the card cannot hold is refused.
  ASSERT_TRUE(write_file(package_, testing::build_zip({{.name = "ze-radio/huge",
                                                        .data = "x",
                                                        .central_sizes64 = true,
                                                        .local_sizes64 = true,
                                                        .stated_size = 1ull << 50}}))
                  .ok());
  result = extract_package(package_, app_, {.max_unpacked_size = UINT64_MAX});
  EXPECT_TRUE(result.error().starts_with("Not enough free space in " + app_ + ": the package needs ")) << result.error();
  EXPECT_FALSE(path_exists(app_ + "/huge"));
}

// An end record that counts fewer entries than the directory holds would
// install part of the package: it is refused before anything is written.
TEST_F(InstallerTest, DirectoryThatDisagreesWithItsEndRecordIsRefused) {
  make_zip(package_, "for n in range(7): add('ze-radio/f%d' % n, 'data %d' % n)\n");
  std::string good = *read_file(package_);
  size_t end = good.rfind("PK\x05\x06");
  ASSERT_NE(end, std::string::npos);
  const struct {
    size_t offset;  // within the end record
    std::string bytes;
    std::string error;
  } cases[] = {
      {8, std::string("\x05\x00\x05\x00", 4),
       "the central directory holds more entries than its end record counts"},
      {8, std::string("\x09\x00\x09\x00", 4),
       "the central directory holds fewer entries than its end record counts"},
  };
  for (const auto& c : cases) {
    std::string bytes = good;
    bytes.replace(end + c.offset, c.bytes.size(), c.bytes);
    ASSERT_TRUE(write_file(package_, bytes).ok());
    Status result = extract_package(package_, app_);
    ASSERT_FALSE(result.ok()) << c.error;
    EXPECT_TRUE(result.error().starts_with("Corrupt zip archive: " + c.error)) << result.error();
    EXPECT_TRUE(std::filesystem::is_empty(app_));
  }
}

// A curl stand-in that records its arguments and "downloads" by copying
// SOURCE to the file named after -o.
class DownloadTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    config_.curl = dir_ / "curl";
    config_.package_path = dir_ / "update.zip";
    config_.app_dir = app_;
    write_curl("cp " + dir_ / "source" + " \"$out\"");
  }
  void write_curl(const std::string& action) {
    ASSERT_TRUE(write_file(config_.curl,
                           "#!/bin/sh\n"
                           "printf '%s\\n' \"$@\" > " + dir_ / "args" + "\n"
                           "while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n" +
                               action + "\n")
                    .ok());
    ::chmod(config_.curl.c_str(), 0755);
  }
  Result<std::string> install() {
    ::testing::internal::CaptureStdout();
    Result<std::string> result = install_package("https://updates.test/p.zip", config_);
    log_ = ::testing::internal::GetCapturedStdout();
    return result;
  }
  InstallConfig config_;
  std::string log_;
};

TEST_F(DownloadTest, SmallOrBrokenDownloadsAreRejected) {
  ASSERT_TRUE(write_file(dir_ / "source", std::string(49999, 'x')).ok());
  Result<std::string> result = install();
  EXPECT_EQ(result.error(), "Downloaded update file is too small or corrupt");
  EXPECT_FALSE(path_exists(config_.package_path));
  EXPECT_EQ(*read_file(dir_ / "args"),
            "-q\n-g\n-s\n-S\n-L\n--max-redirs\n10\n-k\n--proto\n=http,https\n--proto-redir\n"
            "=http,https\n-4\n--connect-timeout\n8\n--max-time\n120\n--max-filesize\n67108864\n-D\n-\n"
            "-o\n" +
                config_.package_path + "\nhttps://updates.test/p.zip\n");
  EXPECT_EQ(log_, "[OTA] Downloading package update from: https://updates.test/p.zip\n");

  ASSERT_TRUE(write_file(dir_ / "source", std::string(50000, 'x')).ok());
  result = install();
  EXPECT_EQ(result.error().rfind("Corrupt zip archive: ", 0), 0u) << result.error();
  EXPECT_TRUE(path_exists(config_.package_path));  // kept for inspection

  // A failed download is one line of the log; curl's own text stays out.
  write_curl("echo 'curl: (18) transfer closed with 1203 bytes remaining to read' >&2; exit 18");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(install().error(), "Failed to download update file");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  config_.curl = dir_ / "no-such-curl";
  EXPECT_EQ(install().error(), "Download error: No such file or directory (os error 2)");

  // A manifest cannot hand curl an option or a local file as the URL.
  config_.curl = dir_ / "curl";
  ::unlink((dir_ / "args").c_str());
  for (const std::string url : {"--config=/etc/passwd", "file:///etc/passwd"}) {
    EXPECT_EQ(install_package(url, config_).error(), "Download error: not an http or https URL: " + url);
  }
  EXPECT_FALSE(path_exists(dir_ / "args"));
  // curl takes the scheme in any letter case, and so does the installer.
  write_curl("exit 22");
  EXPECT_EQ(install_package("HTTPS://updates.test/p.zip", config_).error(),
            "Failed to download update file");
  EXPECT_TRUE(path_exists(dir_ / "args"));

  // A download that outgrows the limit is stopped, even without a length
  // announced by the server, and deleted.
  config_.max_package_size = 60000;
  write_curl("head -c 100000 /dev/zero > \"$out\"; sleep 5");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(install().error(), "Downloaded update file is larger than 60000 bytes");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_FALSE(path_exists(config_.package_path));
}

TEST_F(DownloadTest, CompletePackageIsInstalledMadeExecutableAndRemoved) {
  make_zip(dir_ / "source",
           "import os\n"
           "add('ze-radio/launch.sh', '#!/bin/sh\\n')\n"
           "add('ze-radio/bin/tool', 'tool')\n"
           "add('ze-radio/padding.bin', os.urandom(60000), stored=True)\n");
  ASSERT_EQ(::mkdir((app_ + "/bin").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(app_ + "/bin/old", "old").ok());
  ::chmod((app_ + "/bin/old").c_str(), 0644);

  Result<std::string> result = install();
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(*result, app_);
  EXPECT_FALSE(path_exists(config_.package_path));
  EXPECT_EQ(file_mode(app_ + "/bin/tool") & 0777, 0755u);
  EXPECT_NE(file_mode(app_ + "/bin/old") & 0100, 0u);  // the final chmod +x
  EXPECT_EQ(log_,
            "[OTA] Downloading package update from: https://updates.test/p.zip\n"
            "[OTA] Installing the package into " + app_ + "\n"
            "[OTA] Installation completed to " + app_ + "\n");

  // Off the device the working folder is the install folder; its name may
  // hold characters the shell would otherwise split or run.
  config_.app_dir = dir_ / "no-app-here";
  config_.working_dir = dir_ / "work dir;$(exit 1)";
  ASSERT_EQ(::mkdir(config_.working_dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((config_.working_dir + "/bin").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(config_.working_dir + "/bin/old", "old").ok());
  ::chmod((config_.working_dir + "/bin/old").c_str(), 0644);
  ASSERT_TRUE(install().ok());
  EXPECT_TRUE(path_exists(config_.working_dir + "/launch.sh"));
  EXPECT_NE(file_mode(config_.working_dir + "/bin/old") & 0100, 0u);
}

TEST(AnnouncedLength, IsTheFinalSuccessfulResponsesLength) {
  const std::pair<std::string_view, std::optional<uint64_t>> cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 3600000\r\n\r\n", 3600000},
      {"HTTP/2 200\r\ncontent-length:12\r\n\r\n", 12},
      // Redirects first: their lengths are those of their own bodies.
      {"HTTP/1.1 302 Found\r\nContent-Length: 5\r\nLocation: /b\r\n\r\n"
       "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 70000\r\n\r\n", 70000},
      {"HTTP/1.1 302 Found\r\nContent-Length: 5\r\n\r\nHTTP/1.1 200 OK\r\n"
       "Transfer-Encoding: chunked\r\n\r\n", std::nullopt},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: \r\n", std::nullopt},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12", std::nullopt},  // the line goes on
      {"", std::nullopt},
  };
  for (const auto& [heads, length] : cases) EXPECT_EQ(announced_length(heads), length) << heads;
}

TEST_F(DownloadTest, ProgressFollowsTheFileAgainstTheAnnouncedLengthThenEachStep) {
  make_zip(dir_ / "source",
           "import os\n"
           "add('ze-radio/launch.sh', '#!/bin/sh\\n')\n"
           "add('ze-radio/padding.bin', os.urandom(120000), stored=True)\n");
  const uint64_t size = std::filesystem::file_size(dir_ / "source");
  // Heads of a redirect and of the answer, then the body in four pieces.
  write_curl("printf 'HTTP/1.1 302 Found\\r\\nContent-Length: 3\\r\\n\\r\\n"
             "HTTP/1.1 200 OK\\r\\nContent-Length: " + std::to_string(size) + "\\r\\n\\r\\n'\n"
             "for i in 0 1 2 3; do dd if=" + dir_ / "source" + " of=\"$out\" bs=32768 skip=$i "
             "seek=$i count=1 conv=notrunc status=none; sleep 0.3; done");
  std::vector<InstallProgressMessage> reports;
  ::testing::internal::CaptureStdout();
  Result<std::string> result =
      install_package("https://updates.test/p.zip", config_,
                      [&](const InstallProgressMessage& m) { reports.push_back(m); });
  std::string log = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(result.ok()) << result.error();
  // The log has a line at each tenth reached, the whole package last.
  const std::string mb = megabytes_text(size);
  EXPECT_NE(log.find("[OTA] Downloaded 100% (" + mb + " of " + mb + " MB)\n"), std::string::npos)
      << log;
  EXPECT_LT(log.find("[OTA] Downloaded "), log.find("[OTA] Downloaded 100%")) << log;
  EXPECT_LT(log.find("[OTA] Downloaded 100%"), log.find("[OTA] Installing the package into "));

  using Step = InstallProgressMessage::Step;
  std::vector<InstallProgressMessage> download;
  for (const InstallProgressMessage& m : reports) {
    if (m.step == Step::Downloading) download.push_back(m);
  }
  ASSERT_GE(download.size(), 3u);
  EXPECT_EQ(download.front().received, 0u);
  size_t between = 0;
  for (size_t i = 0; i < download.size(); ++i) {
    if (i > 0) {
      EXPECT_LE(download[i - 1].received, download[i].received);
    }
    if (download[i].total == size && download[i].received > 0 && download[i].received < size) ++between;
  }
  EXPECT_GE(between, 2u) << "the download's bytes as they come";
  EXPECT_EQ(std::pair(download.back().received, download.back().total), std::pair(size, size));
  // Then the unpacking (this build checks no signature), the last report.
  EXPECT_EQ(reports.back().step, Step::Installing);
  EXPECT_EQ(std::pair(reports.back().received, reports.back().total), std::pair(size, size));

  // A server that announces no length: the bytes alone.
  write_curl("printf 'HTTP/1.1 200 OK\\r\\n\\r\\n'; cp " + dir_ / "source" + " \"$out\"");
  reports.clear();
  ::testing::internal::CaptureStdout();
  result = install_package("https://updates.test/p.zip", config_,
                           [&](const InstallProgressMessage& m) { reports.push_back(m); });
  EXPECT_EQ(::testing::internal::GetCapturedStdout().find("[OTA] Downloaded "), std::string::npos)
      << "less than a megabyte of unknown size";
  ASSERT_TRUE(result.ok()) << result.error();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[reports.size() - 2].received, size);
  EXPECT_EQ(reports[reports.size() - 2].total, 0u);

  // Then the manifest's size stands in for the server's.
  config_.expected_size = size;
  reports.clear();
  ::testing::internal::CaptureStdout();
  result = install_package("https://updates.test/p.zip", config_,
                           [&](const InstallProgressMessage& m) { reports.push_back(m); });
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(result.ok()) << result.error();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(std::pair(reports[reports.size() - 2].received, reports[reports.size() - 2].total),
            std::pair(size, size));
}

TEST_F(DownloadTest, OnlyOneInstallationRunsAtATimeAndAFailureIsReported) {
  // The download waits for a go-ahead and then fails, so nothing exits.
  write_curl("i=0; while [ ! -e " + dir_ / "go" + " ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done; exit 7");
  QueueHandle<UpdateMessage> report = make_queue<UpdateMessage>();
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(start_package_install("https://updates.test/p.zip", config_, report));
  EXPECT_TRUE(package_install_running());
  EXPECT_FALSE(start_package_install("https://updates.test/p.zip", config_, report));
  ASSERT_TRUE(write_file(dir_ / "go", "").ok());
  for (int i = 0; i < 500 && package_install_running(); ++i) ::usleep(10000);
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(package_install_running());
  EXPECT_NE(log.find("[OTA] Update failed: Failed to download update file\n"), std::string::npos)
      << log;
  // The main loop learns of the failure as an update error, once, after
  // the download's progress.
  std::optional<UpdateMessage> message = report->try_receive();
  while (message && std::holds_alternative<InstallProgressMessage>(*message)) {
    message = report->try_receive();
  }
  ASSERT_TRUE(message.has_value());
  ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(*message));
  EXPECT_EQ(std::get<UpdateErrorMessage>(*message).text, "Failed to download update file");
  EXPECT_FALSE(report->try_receive().has_value());
}

}  // namespace
}  // namespace ze
