// The update manifest: parsing never throws; an accepted manifest, written
// out again with json_quote, parses back to the same record.
#include <string>

#include "base/text.h"
#include "formats/json_document.h"
#include "update/manifest.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);
  ze::Result<ze::OtaManifest> parsed = ze::parse_manifest(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().empty(), "a rejected manifest has an error text");
    return 0;
  }
  FUZZ_CHECK(ze::is_valid_utf8(text), "an accepted manifest document is UTF-8");
  const ze::OtaManifest& m = *parsed;
  FUZZ_CHECK(ze::is_valid_utf8(m.id) && ze::is_valid_utf8(m.version) &&
                 ze::is_valid_utf8(m.download_url) && ze::is_valid_utf8(m.channels_url) &&
                 ze::is_valid_utf8(m.summary),
             "every text of an accepted manifest is UTF-8");
  std::string written = "{\"id\":" + ze::json::quote(m.id) +
                        ",\"version\":" + ze::json::quote(m.version) +
                        ",\"downloadUrl\":" + ze::json::quote(m.download_url) +
                        ",\"channelsUrl\":" + ze::json::quote(m.channels_url) +
                        ",\"summary\":" + ze::json::quote(m.summary) + "}";
  ze::Result<ze::OtaManifest> again = ze::parse_manifest(written);
  FUZZ_CHECK(again.ok(), "a written manifest parses");
  FUZZ_CHECK(again->id == m.id && again->version == m.version &&
                 again->download_url == m.download_url && again->channels_url == m.channels_url &&
                 again->summary == m.summary,
             "a written manifest parses back to itself");
  return 0;
}
