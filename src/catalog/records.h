// The catalog's documents and their typed records: the channel catalog and
// the favourites list. Parsing is strict: a missing required key, a repeated
// key, a value of the wrong type (null included) or text after the document
// makes the whole document invalid. Unknown keys are skipped. Pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace ze {

struct Category {
  std::string id;
  std::string name;
  std::string name_en;
};

struct Channel {
  std::string id;
  std::string name;
  std::string short_name;
  std::string frequency;
  std::string category;
  std::string color = "E11D48";
  std::string stream_url;
  std::string fallback_url;
  std::string description;
};

struct ChannelCatalog {
  std::string version;
  std::string updated_at;
  std::vector<Category> categories;
  std::vector<Channel> channels;
};

Result<ChannelCatalog> parse_catalog(std::string_view text);
// A JSON array of strings, in document order (repeats kept).
Result<std::vector<std::string>> parse_favorites(std::string_view text);
// "[]" when empty; otherwise one id per line indented by two spaces, no
// final newline.
std::string write_favorites(const std::vector<std::string>& ids);

}  // namespace ze
