#include "formats/json_document.h"

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

namespace ze {
namespace {

using json::Need;

// A small record of the shape of the update manifest's head.
struct Head {
  std::string id;
  std::string version;
  std::string download_url;
  std::optional<uint64_t> size;
};

template <typename Fields, json::Describes<Head> Self>
void describe(Fields& fields, Self& head) {
  fields.field("id", head.id, Need::Required);
  fields.field("version", head.version, Need::Required);
  fields.field("downloadUrl", head.download_url, Need::Required);
  fields.field("size", head.size, Need::Optional);
}

Result<Head> read_head(std::string_view text) { return json::read_document<Head>(text, "struct Head"); }

TEST(JsonDocumentTest, OneDeclarationReadsAndWritesAndRefusesWhatDoesNotFit) {
  using namespace std::string_literals;
  Head head{"ze", "1.1", "u\"\n", std::nullopt};
  EXPECT_EQ(json::write_document(head), R"({"id":"ze","version":"1.1","downloadUrl":"u\"\n"})");
  head.size = 7;
  EXPECT_EQ(json::write_document(head), R"({"id":"ze","version":"1.1","downloadUrl":"u\"\n","size":7})");
  Result<Head> back = read_head(json::write_document(head));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->download_url, head.download_url);
  EXPECT_EQ(back->size, 7u);

  const std::string good = R"({"id":"ze","version":"1.1","downloadUrl":"u"})";
  struct Refused {
    std::string text;
    const char* error;
  } refused[] = {
      {good + "\0x"s, "NUL byte at offset 45 of the document"},
      {"\xEF\xBB\xBF" + good, "byte order mark before the document"},
      {R"({"id":"ze","version":"1.1"})", "missing field `downloadUrl`"},
      {R"({"id":"ze","version":1,"downloadUrl":"u"})",
       "invalid type: integer, expected a string for field `version`"},
      {R"({"id":"ze","version":"1","downloadUrl":"u","size":-1})",
       "invalid type: integer, expected an unsigned integer for field `size`"},
      {R"({"id":"ze","version":"1","downloadUrl":"u","size":null})",
       "invalid type: null, expected an unsigned integer for field `size`"},
      {R"({"id":"ze","id":"ze","version":"1","downloadUrl":"u"})", "duplicate field `id`"},
      {"[]", "invalid type: array, expected struct Head"},
  };
  for (const Refused& bad : refused) {
    Result<Head> read = read_head(bad.text);
    ASSERT_FALSE(read.ok()) << bad.text;
    EXPECT_EQ(read.error(), bad.error) << bad.text;
  }
  EXPECT_FALSE(read_head(good + " x").ok());
  EXPECT_TRUE(read_head(R"({"x":{"id":1},"id":"ze","version":"1.1","downloadUrl":"u","y":1e999})").ok());
}

// Reading a document takes about the time of its size, whatever it holds:
// 200,000 empty objects parse within a few times the time of as many empty
// arrays (the same bytes), and a repeat is found among 20,000 keys of one
// object as among two.
TEST(JsonDocumentTest, DocumentsParseInTimeLinearInTheirSize) {
  const std::string head = R"({"id":"ze","version":"1.1","downloadUrl":"u","x":)";
  auto holding = [&](const char* item) {
    std::string text = head + "[";
    for (int i = 0; i < 200000; ++i) (text += i == 0 ? "" : ",") += item;
    return text + "]}";
  };
  // The fastest of a few runs, taken in turns, so that both kinds meet the
  // same load of a shared machine.
  auto duration = [](const std::string& text) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(read_head(text).ok());
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
        .count();
  };
  const std::string objects = holding("{}");
  const std::string arrays = holding("[]");
  double objects_time = 1e9;
  double arrays_time = 1e9;
  for (int run = 0; run < 5; ++run) {
    objects_time = std::min(objects_time, duration(objects));
    arrays_time = std::min(arrays_time, duration(arrays));
  }
  EXPECT_LT(objects_time, 5 * arrays_time)
      << objects_time << " ms for objects, " << arrays_time << " ms for arrays";

  std::string wide = head + "{";
  for (int i = 0; i < 20000; ++i) wide += "\"k" + std::to_string(i) + "\":{},";
  EXPECT_TRUE(read_head(wide + "\"last\":0}}").ok());
  Result<Head> repeated = read_head(wide + "\"k0\":0}}");
  ASSERT_FALSE(repeated.ok());
  EXPECT_EQ(repeated.error(), "duplicate field `k0`");
}

}  // namespace
}  // namespace ze
