#include "update/version.h"

namespace ze {
namespace {

constexpr size_t kLongestVersion = 64;

bool is_version_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+' || c == '-';
}

}  // namespace

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

bool is_newer_version(std::string_view candidate) {
  return is_newer_version(candidate, running_version());
}

void VersionRecordScanner::feed(std::string_view piece) {
  window_.append(piece);
  scan(false);
}

std::set<std::string> VersionRecordScanner::finish() {
  scan(true);
  return std::move(found_);
}

// Takes every complete record out of the window and keeps only a tail short
// enough to hold the start of a record that the next piece completes. A
// record needs at least one version character; the bare prefix, which the
// program holds as a text of its own, is no record.
void VersionRecordScanner::scan(bool at_end) {
  size_t keep_from = window_.size() > kVersionRecordPrefix.size() + kLongestVersion
                         ? window_.size() - kVersionRecordPrefix.size() - kLongestVersion
                         : 0;
  size_t at = 0;
  while ((at = window_.find(kVersionRecordPrefix, at)) != std::string::npos) {
    size_t start = at + kVersionRecordPrefix.size();
    size_t end = start;
    while (end < window_.size() && end - start <= kLongestVersion && is_version_char(window_[end])) {
      ++end;
    }
    if (end == window_.size() && !at_end) {
      keep_from = std::min(keep_from, at);  // may go on in the next piece
      break;
    }
    if (end > start && end - start <= kLongestVersion) found_.insert(window_.substr(start, end - start));
    at = start;
  }
  window_.erase(0, at_end ? window_.size() : keep_from);
}

}  // namespace ze
