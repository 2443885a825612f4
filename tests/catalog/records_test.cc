#include "catalog/records.h"

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

namespace ze {
namespace {

constexpr const char* kMinimalChannel =
    R"({"id":"a","name":"A","category":"c","streamUrl":"http://s"})";

std::string catalog_with(const std::string& channel, const std::string& extra = "") {
  return R"({"version":"1","categories":[{"id":"c","name":"C"}],"channels":[)" + channel + "]" +
         extra + "}";
}

TEST(CatalogRecordsTest, OptionalKeysTakeTheirDefaults) {
  Result<ChannelCatalog> catalog = parse_catalog(catalog_with(kMinimalChannel));
  ASSERT_TRUE(catalog.ok()) << catalog.error();
  const Channel& channel = catalog->channels.at(0);
  EXPECT_EQ(channel.color, "E11D48");
  EXPECT_EQ(channel.short_name, "");
  EXPECT_EQ(channel.frequency, "");
  EXPECT_EQ(channel.fallback_url, "");
  EXPECT_EQ(channel.description, "");
  EXPECT_EQ(catalog->updated_at, "");
  EXPECT_EQ(catalog->categories.at(0).name_en, "");
}

TEST(CatalogRecordsTest, MissingRequiredKeyInvalidatesTheWholeCatalog) {
  for (const char* key : {"id", "name", "category", "streamUrl"}) {
    std::string channel = kMinimalChannel;
    size_t at = channel.find(std::string("\"") + key + "\"");
    size_t comma = channel.find_first_of(",}", channel.find(':', at) + 1);
    channel.erase(at, comma - at + (channel[comma] == ',' ? 1 : 0));
    if (channel.back() != '}') channel += "}";
    if (channel[channel.size() - 2] == ',') channel.erase(channel.size() - 2, 1);
    Result<ChannelCatalog> catalog =
        parse_catalog(catalog_with(std::string(kMinimalChannel) + "," + channel));
    ASSERT_FALSE(catalog.ok()) << key;
    EXPECT_NE(catalog.error().find(std::string("missing field `") + key + "`"), std::string::npos)
        << catalog.error();
  }
}

TEST(CatalogRecordsTest, UnknownKeysAreSkippedWhateverTheirType) {
  std::string channel = R"({"id":"a","name":"A","category":"c","streamUrl":"u","x":{"y":[1,null]}})";
  Result<ChannelCatalog> catalog = parse_catalog(catalog_with(channel, R"(,"extra":[true])"));
  ASSERT_TRUE(catalog.ok()) << catalog.error();

  // Numbers too large for a double, too: skipped under unread keys, still
  // refused where a record reads them.
  const std::string huge = "1" + std::string(400, '0');
  for (const std::string& value : {std::string("1e400"), std::string("-1E+400"), huge,
                                   std::string("[1e400, \"1e400\", {\"k\": -9e999}]")}) {
    std::string odd = R"({"id":"a","name":"A","category":"c","streamUrl":"u","n":)" + value + "}";
    Result<ChannelCatalog> skipped = parse_catalog(catalog_with(odd, ",\"extra\": " + value));
    ASSERT_TRUE(skipped.ok()) << value << ": " << skipped.error();
    EXPECT_EQ(skipped->channels.at(0).stream_url, "u");
  }
  Result<ChannelCatalog> quoted = parse_catalog(
      catalog_with(R"({"id":"a","name":"A \"1e400\"","category":"c","streamUrl":"u"})"));
  ASSERT_TRUE(quoted.ok());
  EXPECT_EQ(quoted->channels.at(0).name, "A \"1e400\"");
  EXPECT_FALSE(parse_catalog(catalog_with(R"({"id":1e400,"name":"A","category":"c","streamUrl":"u"})")).ok());
  for (const char* broken : {"01e400", "1e400.5", "--1e400", "1.e400"}) {
    EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel, std::string(",\"x\":") + broken)).ok())
        << broken;
  }
}

TEST(CatalogRecordsTest, DuplicateKeysNullsAndTrailingTextAreInvalid) {
  Result<ChannelCatalog> twice =
      parse_catalog(R"({"version":"1","categories":[],"categories":[],"channels":[]})");
  ASSERT_FALSE(twice.ok());
  EXPECT_NE(twice.error().find("duplicate field `categories`"), std::string::npos);
  std::string dup_optional = R"({"id":"a","name":"A","category":"c","streamUrl":"u","color":"1","color":"2"})";
  EXPECT_FALSE(parse_catalog(catalog_with(dup_optional)).ok());
  std::string null_color = R"({"id":"a","name":"A","category":"c","streamUrl":"u","color":null})";
  EXPECT_FALSE(parse_catalog(catalog_with(null_color)).ok());
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "x").ok());
  EXPECT_FALSE(parse_catalog("\xEF\xBB\xBF" + catalog_with(kMinimalChannel)).ok());
  EXPECT_TRUE(parse_catalog(" \n" + catalog_with(kMinimalChannel) + " \n").ok());
  // A NUL byte after the document (as a file padded with zeros) is text
  // after it too, whatever follows; so are NUL bytes in the other documents.
  using namespace std::string_literals;
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "\0"s).ok());
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "\0\0garbage"s).ok());
  EXPECT_FALSE(parse_favorites("[]\0]"s).ok());
  // The same key in two different objects is fine.
  EXPECT_TRUE(parse_catalog(catalog_with(std::string(kMinimalChannel) + "," + kMinimalChannel)).ok());
  std::string number_name = R"({"id":"a","name":5,"category":"c","streamUrl":"u"})";
  EXPECT_FALSE(parse_catalog(catalog_with(number_name)).ok());
}

TEST(CatalogRecordsTest, FavoritesDocumentForm) {
  EXPECT_EQ(write_favorites({}), "[]");
  EXPECT_EQ(write_favorites({"vov1", "voh-fm999"}), "[\n  \"vov1\",\n  \"voh-fm999\"\n]");
  Result<std::vector<std::string>> ids = parse_favorites("[\"a\",\"b\",\"a\"]");
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(ids->size(), 3u);
  EXPECT_FALSE(parse_favorites(R"({"a":1})").ok());
  EXPECT_FALSE(parse_favorites(R"(["a",1])").ok());
  EXPECT_FALSE(parse_favorites(R"(["a"] x)").ok());
}

}  // namespace
}  // namespace ze
