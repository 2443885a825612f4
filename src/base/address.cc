#include "base/address.h"

#include <algorithm>

namespace ze {
namespace {

bool starts_with_ci(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool is_stream_address(std::string_view text) {
  if (text.size() > kMaxAddressLength) return false;
  size_t prefix = starts_with_ci(text, "http://") ? 7 : starts_with_ci(text, "https://") ? 8 : 0;
  if (prefix == 0 || prefix >= text.size()) return false;
  // The host comes right after the "//".
  if (text[prefix] == '/' || text[prefix] == '?' || text[prefix] == '#') return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

}  // namespace ze
