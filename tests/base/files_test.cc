#include "base/files.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace ze {
namespace {

TEST(FilesTest, WriteThenReadGivesTheExactBytes) {
  testing::TempDir dir;
  std::string data("a\0b\xff", 4);
  ASSERT_TRUE(write_file(dir / "f", data).ok());
  Result<std::string> back = read_file(dir / "f");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, data);
  ASSERT_TRUE(write_file(dir / "f", "x").ok());  // truncates
  EXPECT_EQ(*read_file(dir / "f"), "x");
}

TEST(FilesTest, ReadErrorsNameThePath) {
  testing::TempDir dir;
  Result<std::string> missing = read_file(dir / "none");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), (dir / "none") + ": No such file or directory (os error 2)");
  EXPECT_FALSE(read_file(dir.path()).ok());  // a directory is not a file
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(read_file(dir / "pipe").ok());  // returns at once instead of waiting for a writer
}

TEST(FilesTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "doc", "old").ok());
  ASSERT_TRUE(write_file_atomic(dir / "doc", "new content").ok());
  EXPECT_EQ(*read_file(dir / "doc"), "new content");
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

// Only a regular file is replaced: a rename over a device node would turn
// /dev/null into a plain file for the whole machine.
TEST(FilesTest, AtomicWriteOverAnythingButARegularFileFailsNamingItAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> make;
    const char* said;
    std::filesystem::file_type type;
  } cases[] = {
      {"folder", [](const std::string& p) { return ::mkdir(p.c_str(), 0755) == 0; },
       "Is a directory (os error 21)", std::filesystem::file_type::directory},
      {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; },
       "a named pipe, not a regular file: left as it is", std::filesystem::file_type::fifo},
      {"socket",
       [](const std::string& p) {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         if (p.size() >= sizeof address.sun_path) return false;
         p.copy(address.sun_path, p.size());
         UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
         return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
       },
       "a socket, not a regular file: left as it is", std::filesystem::file_type::socket},
      // A link to a device is what /dev/null is to any program that writes
      // to it; the link stays a link.
      {"device", [](const std::string& p) { return ::symlink("/dev/null", p.c_str()) == 0; },
       "a character device, not a regular file: left as it is", std::filesystem::file_type::symlink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const std::string path = dir / "now.json";
    ASSERT_TRUE(c.make(path));
    Status written = write_file_atomic(path, "x");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), path + ": " + c.said);
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), c.type);
    int entries = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
      (void)entry;
      ++entries;
    }
    EXPECT_EQ(entries, 1);
  }
  EXPECT_EQ(std::filesystem::status("/dev/null").type(), std::filesystem::file_type::character);
  // A link to a regular file is replaced as before.
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "target", "old").ok());
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "doc").c_str()), 0);
  ASSERT_TRUE(write_file_atomic(dir / "doc", "new").ok());
  EXPECT_EQ(*read_file(dir / "doc"), "new");
}

// A favourite toggle on the main thread must not wait for the update
// checker's catalog store (and its fsync); writers of one document still
// take turns, however the path is spelled.
TEST(FilesTest, AtomicWritesOfDifferentDocumentsNeverWaitForEachOther) {
  testing::TempDir dir;
  std::unique_lock<std::mutex> catalog_being_written = lock_document(dir / "channels.json");
  auto favourites = std::async(std::launch::async, [&] {
    return write_file_atomic(dir / "favorites.json", "[]").ok();
  });
  ASSERT_EQ(favourites.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(favourites.get());
  auto same_document = std::async(std::launch::async, [&] {
    return write_file_atomic(dir / "./channels.json", "{}").ok();
  });
  EXPECT_EQ(same_document.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  catalog_being_written.unlock();
  EXPECT_TRUE(same_document.get());
  EXPECT_EQ(*read_file(dir / "channels.json"), "{}");
}

TEST(FilesTest, ExistsCountsAnyEntryAndRemoveIgnoresMissingFiles) {
  testing::TempDir dir;
  EXPECT_TRUE(path_exists(dir.path()));
  EXPECT_FALSE(path_exists(dir / "x"));
  remove_file(dir / "x");
  ASSERT_TRUE(write_file(dir / "x", "").ok());
  EXPECT_TRUE(path_exists(dir / "x"));
  remove_file(dir / "x");
  EXPECT_FALSE(path_exists(dir / "x"));
}

TEST(FilesTest, ClosedStandardStreamsBecomeDevNullAndOpenOnesStay) {
  // In a child process, whose standard streams the test may close.
  EXPECT_EXIT(
      {
        int kept = ::dup(STDOUT_FILENO);
        ::close(STDIN_FILENO);
        ::close(STDERR_FILENO);
        open_missing_standard_streams();
        // The next file opened takes a fresh number, not a standard one.
        UniqueFd next(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        char target[64] = {};
        bool ok = ::readlink("/proc/self/fd/0", target, sizeof target - 1) > 0 &&
                  std::string(target) == "/dev/null" &&
                  (::fcntl(STDIN_FILENO, F_GETFL) & O_ACCMODE) == O_RDONLY &&
                  (::fcntl(STDERR_FILENO, F_GETFL) & O_ACCMODE) == O_WRONLY &&
                  next.get() > STDERR_FILENO;
        struct stat out {};
        struct stat saved {};
        ok = ok && ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(kept, &saved) == 0 &&
             out.st_ino == saved.st_ino;  // the open one is left alone
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ze
