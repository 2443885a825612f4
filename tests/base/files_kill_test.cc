#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "base/files.h"
#include "temp_dir.h"

namespace ze {
namespace {

// A child rewrites one document in a loop with two different contents and is
// killed at a random moment, over and over: what a power cut does to a save.
TEST(AtomicWriteKillTest, KilledWriterLeavesTheOldOrTheNewContentAndOneLeftoverAtMost) {
  testing::TempDir dir;
  const std::string path = dir / "doc";
  const std::string first(200000, 'a');
  const std::string second = std::string(150000, 'b') + "end";
  ASSERT_TRUE(write_file(path, first).ok());
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay_us(0, 3000);
  int leftovers = 0;
  for (int round = 0; round < 150; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        (void)write_file_atomic(path, second);
        (void)write_file_atomic(path, first);
      }
    }
    ::usleep(static_cast<useconds_t>(delay_us(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    Result<std::string> content = read_file(path);
    ASSERT_TRUE(content.ok()) << content.error();
    ASSERT_TRUE(*content == first || *content == second)
        << "round " << round << ": " << content->size() << " bytes of neither content";
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      ++entries;
      if (entry.path().filename() != "doc") {
        EXPECT_EQ(entry.path().filename(), "doc.tmp");
      }
    }
    ASSERT_LE(entries, 2) << "round " << round << ": leftovers pile up";
    if (entries == 2) ++leftovers;
  }
  // The next write in this process takes the leftover over and removes it.
  ASSERT_TRUE(write_file_atomic(path, "done").ok());
  EXPECT_FALSE(path_exists(path + ".tmp"));
  RecordProperty("rounds_leaving_a_leftover", leftovers);
}

// A leftover that is not a plain file (here a link to a file elsewhere) is
// removed, never written through.
TEST(AtomicWriteKillTest, LeftoverLinkIsReplacedNotFollowed) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "elsewhere", "untouched").ok());
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "doc.tmp").c_str()), 0);
  ASSERT_TRUE(write_file_atomic(dir / "doc", "new").ok());
  EXPECT_EQ(*read_file(dir / "doc"), "new");
  EXPECT_EQ(*read_file(dir / "elsewhere"), "untouched");
  EXPECT_FALSE(path_exists(dir / "doc.tmp"));
}

}  // namespace
}  // namespace ze
