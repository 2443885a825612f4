// The dial target of a channel's free-text frequency: always a finite value,
// either a frequency on the FM dial (87 to 108), 93 for an AM frequency, or
// 95 when the text gives no usable number; the same for the text with other
// letter case.
#include <cmath>
#include <string>

#include "base/text.h"
#include "fuzz_check.h"
#include "main/app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);
  float target = ze::dial_target_for(text);
  FUZZ_CHECK(std::isfinite(target), "the dial target is finite");
  FUZZ_CHECK((target >= 87.0f && target <= 108.0f), "the dial target is on the FM dial");
  FUZZ_CHECK(ze::dial_target_for(ze::to_lower(text)) == target,
             "the dial target does not depend on letter case");
  return 0;
}
