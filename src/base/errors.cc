#include "base/errors.h"

#include <cstring>

namespace ze {

std::string errno_text(int error) {
  char buffer[256];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error) + ")";
}

}  // namespace ze
