#include "update/version.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace ze {
namespace {

// One row of the shared version table: "A < B", "A = B" or "! A".
struct Row {
  int line = 0;
  std::string a, relation, b;
};

std::vector<Row> version_table() {
  std::ifstream in(ZE_VERSION_TABLE);
  std::vector<Row> rows;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream words(text);
    Row row{line, "", "", ""};
    std::string first;
    words >> first;
    if (first == "!") {
      row.relation = "!";
      words >> row.a;
    } else {
      row.a = first;
      words >> row.relation >> row.b;
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(VersionTest, TheSharedTableHolds) {
  std::vector<Row> rows = version_table();
  ASSERT_GT(rows.size(), 40u) << "table not found at " << ZE_VERSION_TABLE;
  for (const Row& row : rows) {
    SCOPED_TRACE("version_table.txt line " + std::to_string(row.line));
    if (row.relation == "!") {
      Result<Version> refused = parse_version(row.a);
      ASSERT_FALSE(refused.ok()) << row.a;
      EXPECT_EQ(refused.error().rfind("'" + row.a.substr(0, 65) + "' is not a version (", 0), 0u)
          << refused.error();
      EXPECT_FALSE(is_newer_version(row.a, "0.1"));
      EXPECT_FALSE(is_newer_version("99", row.a));
      continue;
    }
    ASSERT_TRUE(row.relation == "<" || row.relation == "=") << row.relation;
    Result<Version> a = parse_version(row.a);
    Result<Version> b = parse_version(row.b);
    ASSERT_TRUE(a.ok()) << a.error();
    ASSERT_TRUE(b.ok()) << b.error();
    int expected = row.relation == "<" ? -1 : 0;
    EXPECT_EQ(compare_versions(*a, *b), expected);
    EXPECT_EQ(compare_versions(*b, *a), -expected);
    EXPECT_EQ(is_newer_version(row.b, row.a), row.relation == "<");
    EXPECT_FALSE(is_newer_version(row.a, row.b));
  }
}

TEST(VersionTest, TheMessageStatesTheRule) {
  Result<Version> empty = parse_version("");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(),
            "'' is not a version (numbers separated by dots, as 1.2.3, with an optional leading v "
            "and an optional pre-release after '-', as 1.3-rc1)");
  EXPECT_EQ(parse_version("v1.2.0-rc.1")->numbers, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(parse_version("v1.2.0-rc.1")->prerelease, (std::vector<std::string>{"rc", "1"}));
}

}  // namespace
}  // namespace ze
