#include "update/manifest.h"

#include "formats/json_document.h"

namespace ze {

using json::Need;

template <typename Fields, json::Describes<OtaManifest> Self>
static void describe(Fields& fields, Self& manifest) {
  fields.field("id", manifest.id, Need::Required);
  fields.field("version", manifest.version, Need::Required);
  fields.field("downloadUrl", manifest.download_url, Need::Required);
  fields.field("channelsUrl", manifest.channels_url, Need::Optional);
  fields.field("summary", manifest.summary, Need::Optional);
  fields.field("size", manifest.size, Need::Optional);
}

Result<OtaManifest> parse_manifest(std::string_view text) {
  return json::read_document<OtaManifest>(text, "struct OtaManifest");
}

}  // namespace ze
