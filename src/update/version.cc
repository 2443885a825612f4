#include "update/version.h"

namespace ze {

std::vector<uint32_t> version_numbers(std::string_view text) {
  while (!text.empty() && text.front() == 'v') text.remove_prefix(1);
  std::vector<uint32_t> numbers;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    std::string_view piece = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
    uint64_t value = 0;
    size_t digits = 0;
    bool overflow = false;
    while (digits < piece.size() && piece[digits] >= '0' && piece[digits] <= '9') {
      value = value * 10 + static_cast<uint64_t>(piece[digits] - '0');
      if (value > UINT32_MAX) overflow = true;
      if (overflow) value = UINT32_MAX;  // keeps the product from wrapping
      ++digits;
    }
    if (digits > 0 && !overflow) numbers.push_back(static_cast<uint32_t>(value));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return numbers;
}

bool is_newer_version(std::string_view candidate, std::string_view running) {
  // std::vector compares lexicographically, and a proper prefix is smaller.
  return version_numbers(candidate) > version_numbers(running);
}

}  // namespace ze
