// What makes one build of the player distinct: the version it reports and
// the update key it trusts, both given by the build (ZE_RADIO_VERSION,
// ZE_RADIO_PUBLIC_KEY). Nothing else in the program names a version or a key.
#include "update/signature.h"
#include "update/version.h"

#if !defined(ZE_RADIO_VERSION) || !defined(ZE_RADIO_PUBLIC_KEY)
#error "ZE_RADIO_VERSION and ZE_RADIO_PUBLIC_KEY come from the build"
#endif

namespace ze {
namespace {

// Kept whole in the program, where the packaging tools read it.
[[gnu::used]] constexpr char kVersionRecord[] = "ze-radio-version=" ZE_RADIO_VERSION;
static_assert(std::string_view(kVersionRecord).starts_with(kVersionRecordPrefix));

}  // namespace

std::string_view running_version() {
  return std::string_view(kVersionRecord).substr(kVersionRecordPrefix.size());
}

std::string_view embedded_update_key() { return ZE_RADIO_PUBLIC_KEY; }

}  // namespace ze
