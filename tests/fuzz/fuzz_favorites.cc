// The favourites document: parsing never throws; write_favorites of an
// accepted list parses back to the same list; and any list of UTF-8 ids
// survives write and parse, in order and with repeats.
#include <string>
#include <vector>

#include "base/text.h"
#include "catalog/records.h"
#include "fuzz_check.h"

namespace {

void check_round_trip(const std::vector<std::string>& ids) {
  std::string written = ze::write_favorites(ids);
  ze::Result<std::vector<std::string>> again = ze::parse_favorites(written);
  FUZZ_CHECK(again.ok(), "a written favourites list parses");
  FUZZ_CHECK(*again == ids, "a written favourites list parses back to itself");
  FUZZ_CHECK(ze::write_favorites(*again) == written, "writing favourites is a fixed point");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);
  ze::Result<std::vector<std::string>> parsed = ze::parse_favorites(text);
  if (parsed) {
    FUZZ_CHECK(ze::is_valid_utf8(text), "an accepted favourites document is UTF-8");
    for (const std::string& id : *parsed) {
      FUZZ_CHECK(ze::is_valid_utf8(id), "every accepted id is UTF-8");
    }
    check_round_trip(*parsed);
  } else {
    FUZZ_CHECK(!parsed.error().empty(), "a rejected favourites list has an error text");
  }

  // The same bytes as ids cut at NUL bytes; lists with an id that is not
  // UTF-8 are left out (ids come from parsed catalogs).
  std::vector<std::string> ids;
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = text.size();
    ids.emplace_back(text.substr(start, end - start));
    if (!ze::is_valid_utf8(ids.back())) return 0;
    start = end + 1;
  }
  check_round_trip(ids);
  return 0;
}
