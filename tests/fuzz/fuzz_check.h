// Shared by the fuzz targets: a failed invariant stops the run with a
// message naming it, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition, message)                                              \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, \
                   message, #condition);                                            \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

namespace ze::fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace ze::fuzz
