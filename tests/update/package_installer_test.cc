#include "update/package_installer.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/files.h"
#include "base/process.h"
#include "temp_dir.h"

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
  EXPECT_EQ(result.error(), "Failed to read archive entry: invalid Zip archive or unsupported "
                            "compression method");
  EXPECT_FALSE(path_exists(app_ + "/c.txt"));
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
// file has changed: the folder is never left half old and half new.
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
           "add('ze-radio/data/list', 'a file where a folder is')\n");
  Status result = extract_package(package_, app_);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Failed to create " + app_ + "/data/list: Is a directory (os error 21)");
  EXPECT_EQ(*read_file(app_ + "/launch.sh"), "old launch");
  EXPECT_EQ(*read_file(app_ + "/bin/prog"), "old program");
  for (auto [folder, count] : {std::pair{"", 3}, {"/bin", 1}, {"/data", 1}}) {
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(app_ + folder)) {
      EXPECT_EQ(entry.path().filename().string().rfind(".ze-new-", 0), std::string::npos)
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

// Files of the package whose names look like the installer's temporary
// files keep their own data, and so do the files staged under those names.
TEST_F(InstallerTest, PackageFilesNamedLikeTemporaryFilesKeepTheirData) {
  make_zip(package_,
           "add('ze-radio/.ze-new-1', 'first')\n"
           "add('ze-radio/b', 'second')\n"
           "add('ze-radio/.ze-new-2/', '')\n"
           "add('ze-radio/c', 'third')\n");
  ASSERT_TRUE(extract_package(package_, app_).ok());
  EXPECT_EQ(*read_file(app_ + "/.ze-new-1"), "first");
  EXPECT_EQ(*read_file(app_ + "/b"), "second");
  EXPECT_TRUE(S_ISDIR(file_mode(app_ + "/.ze-new-2")));
  EXPECT_EQ(*read_file(app_ + "/c"), "third");
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
            "-4\n-k\n-s\n-L\n--connect-timeout\n8\n--max-time\n120\n-o\n" + config_.package_path +
                "\nhttps://updates.test/p.zip\n");
  EXPECT_EQ(log_, "[OTA] Downloading package update from: https://updates.test/p.zip\n");

  ASSERT_TRUE(write_file(dir_ / "source", std::string(50000, 'x')).ok());
  result = install();
  EXPECT_EQ(result.error().rfind("Corrupt zip archive: ", 0), 0u) << result.error();
  EXPECT_TRUE(path_exists(config_.package_path));  // kept for inspection

  write_curl("exit 22");
  EXPECT_EQ(install().error(), "Failed to download update file");
  config_.curl = dir_ / "no-such-curl";
  EXPECT_EQ(install().error(), "Download error: No such file or directory (os error 2)");

  // A manifest cannot hand curl an option or a local file as the URL.
  config_.curl = dir_ / "curl";
  ::unlink((dir_ / "args").c_str());
  for (const std::string url : {"--config=/etc/passwd", "file:///etc/passwd"}) {
    EXPECT_EQ(install_package(url, config_).error(), "Download error: not an http or https URL: " + url);
  }
  EXPECT_FALSE(path_exists(dir_ / "args"));
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

TEST_F(DownloadTest, OnlyOneInstallationRunsAtATime) {
  // The download waits for a go-ahead and then fails, so nothing exits.
  write_curl("i=0; while [ ! -e " + dir_ / "go" + " ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done; exit 7");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(start_package_install("https://updates.test/p.zip", config_));
  EXPECT_TRUE(package_install_running());
  EXPECT_FALSE(start_package_install("https://updates.test/p.zip", config_));
  ASSERT_TRUE(write_file(dir_ / "go", "").ok());
  for (int i = 0; i < 500 && package_install_running(); ++i) ::usleep(10000);
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(package_install_running());
  EXPECT_NE(log.find("[OTA] Update failed: Failed to download update file\n"), std::string::npos)
      << log;
}

}  // namespace
}  // namespace ze
