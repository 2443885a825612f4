// The channel catalog document: parsing never throws; an accepted document
// holds only valid UTF-8 texts and, written out again with json::quote, parses
// back to the same catalog.
#include <string>

#include "base/text.h"
#include "catalog/records.h"
#include "formats/json_document.h"
#include "fuzz_check.h"

namespace {

using ze::json::quote;

std::string write_catalog(const ze::ChannelCatalog& catalog) {
  std::string out = "{\"version\":" + quote(catalog.version) +
                    ",\"updatedAt\":" + quote(catalog.updated_at) + ",\"categories\":[";
  for (size_t i = 0; i < catalog.categories.size(); ++i) {
    const ze::Category& c = catalog.categories[i];
    if (i > 0) out += ',';
    out += "{\"id\":" + quote(c.id) + ",\"name\":" + quote(c.name) +
           ",\"nameEn\":" + quote(c.name_en) + "}";
  }
  out += "],\"channels\":[";
  for (size_t i = 0; i < catalog.channels.size(); ++i) {
    const ze::Channel& c = catalog.channels[i];
    if (i > 0) out += ',';
    out += "{\"id\":" + quote(c.id) + ",\"name\":" + quote(c.name) +
           ",\"shortName\":" + quote(c.short_name) +
           ",\"frequency\":" + quote(c.frequency) + ",\"category\":" + quote(c.category) +
           ",\"color\":" + quote(c.color) + ",\"streamUrl\":" + quote(c.stream_url) +
           ",\"fallbackUrl\":" + quote(c.fallback_url) +
           ",\"description\":" + quote(c.description) + "}";
  }
  return out + "]}";
}

bool same_category(const ze::Category& a, const ze::Category& b) {
  return a.id == b.id && a.name == b.name && a.name_en == b.name_en;
}

bool same_channel(const ze::Channel& a, const ze::Channel& b) {
  return a.id == b.id && a.name == b.name && a.short_name == b.short_name &&
         a.frequency == b.frequency && a.category == b.category && a.color == b.color &&
         a.stream_url == b.stream_url && a.fallback_url == b.fallback_url &&
         a.description == b.description;
}

bool same_catalog(const ze::ChannelCatalog& a, const ze::ChannelCatalog& b) {
  if (a.version != b.version || a.updated_at != b.updated_at ||
      a.categories.size() != b.categories.size() || a.channels.size() != b.channels.size()) {
    return false;
  }
  for (size_t i = 0; i < a.categories.size(); ++i) {
    if (!same_category(a.categories[i], b.categories[i])) return false;
  }
  for (size_t i = 0; i < a.channels.size(); ++i) {
    if (!same_channel(a.channels[i], b.channels[i])) return false;
  }
  return true;
}

bool all_utf8(const ze::ChannelCatalog& catalog) {
  bool ok = ze::is_valid_utf8(catalog.version) && ze::is_valid_utf8(catalog.updated_at);
  for (const ze::Category& c : catalog.categories) {
    ok = ok && ze::is_valid_utf8(c.id) && ze::is_valid_utf8(c.name) && ze::is_valid_utf8(c.name_en);
  }
  for (const ze::Channel& c : catalog.channels) {
    ok = ok && ze::is_valid_utf8(c.id) && ze::is_valid_utf8(c.name) &&
         ze::is_valid_utf8(c.short_name) && ze::is_valid_utf8(c.frequency) &&
         ze::is_valid_utf8(c.category) && ze::is_valid_utf8(c.color) &&
         ze::is_valid_utf8(c.stream_url) && ze::is_valid_utf8(c.fallback_url) &&
         ze::is_valid_utf8(c.description);
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);
  ze::Result<ze::ChannelCatalog> parsed = ze::parse_catalog(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().empty(), "a rejected catalog has an error text");
    return 0;
  }
  FUZZ_CHECK(ze::is_valid_utf8(text), "an accepted catalog document is UTF-8");
  FUZZ_CHECK(all_utf8(*parsed), "every text of an accepted catalog is UTF-8");
  std::string written = write_catalog(*parsed);
  ze::Result<ze::ChannelCatalog> again = ze::parse_catalog(written);
  FUZZ_CHECK(again.ok(), "a written catalog parses");
  FUZZ_CHECK(same_catalog(*parsed, *again), "a written catalog parses back to itself");
  return 0;
}
