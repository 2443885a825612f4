#include "catalog/records.h"

#include <fmt/format.h>

#include "formats/json_document.h"

namespace ze {

using json::Json;
using json::Need;

template <typename Fields, json::Describes<Category> Self>
static void describe(Fields& fields, Self& category) {
  fields.field("id", category.id, Need::Required);
  fields.field("name", category.name, Need::Required);
  fields.field("nameEn", category.name_en, Need::Optional);
}

template <typename Fields, json::Describes<Channel> Self>
static void describe(Fields& fields, Self& channel) {
  fields.field("id", channel.id, Need::Required);
  fields.field("name", channel.name, Need::Required);
  fields.field("shortName", channel.short_name, Need::Optional);
  fields.field("frequency", channel.frequency, Need::Optional);
  fields.field("category", channel.category, Need::Required);
  fields.field("color", channel.color, Need::Optional);
  fields.field("streamUrl", channel.stream_url, Need::Required);
  fields.field("fallbackUrl", channel.fallback_url, Need::Optional);
  fields.field("description", channel.description, Need::Optional);
}

template <typename Fields, json::Describes<ChannelCatalog> Self>
static void describe(Fields& fields, Self& catalog) {
  fields.field("version", catalog.version, Need::Required);
  fields.field("updatedAt", catalog.updated_at, Need::Optional);
  fields.list("categories", catalog.categories, "struct Category", Need::Required);
  fields.list("channels", catalog.channels, "struct Channel", Need::Required);
}

Result<ChannelCatalog> parse_catalog(std::string_view text) {
  return json::read_document<ChannelCatalog>(text, "struct ChannelCatalog");
}

Result<std::vector<std::string>> parse_favorites(std::string_view text) {
  return json::guarded<std::vector<std::string>>([&] {
    Json document = json::parse(text);
    if (!document.is_array()) {
      throw json::InvalidDocument(
          fmt::format("invalid type: {}, expected a sequence", json::type_name(document)));
    }
    std::vector<std::string> ids;
    for (const Json& item : document) {
      if (!item.is_string()) {
        throw json::InvalidDocument(
            fmt::format("invalid type: {}, expected a string", json::type_name(item)));
      }
      ids.push_back(item.get<std::string>());
    }
    return ids;
  });
}

std::string write_favorites(const std::vector<std::string>& ids) {
  if (ids.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    out += "\n  ";
    out += json::quote(ids[i]);
    if (i + 1 < ids.size()) out.push_back(',');
  }
  out += "\n]";
  return out;
}

}  // namespace ze
