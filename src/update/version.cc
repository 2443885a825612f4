#include "update/version.h"

#include <algorithm>
#include <optional>

namespace ze {
namespace {

constexpr size_t kLongestVersion = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (size_t start = 0;;) {
    size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

// The value of a run of digits, when it fits in 32 bits.
std::optional<uint32_t> to_number(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Pre-release identifiers: numbers by value (of any length), below words;
// words in ASCII order.
int compare_identifiers(std::string_view a, std::string_view b) {
  bool a_number = std::all_of(a.begin(), a.end(), is_digit);
  bool b_number = std::all_of(b.begin(), b.end(), is_digit);
  if (a_number != b_number) return a_number ? -1 : 1;
  if (a_number) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  }
  int order = a.compare(b);
  return (order > 0) - (order < 0);
}

bool is_version_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '+' || c == '-';
}

}  // namespace

Result<Version> parse_version(std::string_view text) {
  auto refuse = [&] {
    return Error{"'" + std::string(text.substr(0, kLongestVersion + 1)) +
                 "' is not a version (numbers separated by dots, as 1.2.3, with an optional "
                 "leading v and an optional pre-release after '-', as 1.3-rc1)"};
  };
  if (text.size() > kLongestVersion) return refuse();
  std::string_view rest = text;
  if (!rest.empty() && (rest.front() == 'v' || rest.front() == 'V')) rest.remove_prefix(1);
  size_t dash = rest.find('-');
  std::string_view release = rest.substr(0, dash);
  Version version;
  for (std::string_view piece : split(release, '.')) {
    if (piece.empty() || !std::all_of(piece.begin(), piece.end(), is_digit)) return refuse();
    std::optional<uint32_t> number = to_number(piece);
    if (!number) return refuse();
    version.numbers.push_back(*number);
  }
  while (!version.numbers.empty() && version.numbers.back() == 0) version.numbers.pop_back();
  if (dash != std::string_view::npos) {
    for (std::string_view identifier : split(rest.substr(dash + 1), '.')) {
      if (identifier.empty() || !std::all_of(identifier.begin(), identifier.end(), [](char c) {
            return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
          })) {
        return refuse();
      }
      version.prerelease.emplace_back(identifier);
    }
  }
  return version;
}

int compare_versions(const Version& a, const Version& b) {
  if (a.numbers != b.numbers) return a.numbers < b.numbers ? -1 : 1;
  // A release is newer than its pre-releases.
  if (a.prerelease.empty() || b.prerelease.empty()) {
    return static_cast<int>(a.prerelease.empty()) - static_cast<int>(b.prerelease.empty());
  }
  for (size_t i = 0; i < a.prerelease.size() && i < b.prerelease.size(); ++i) {
    if (int order = compare_identifiers(a.prerelease[i], b.prerelease[i]); order != 0) return order;
  }
  return (a.prerelease.size() > b.prerelease.size()) - (a.prerelease.size() < b.prerelease.size());
}

bool is_newer_version(std::string_view candidate, std::string_view running) {
  Result<Version> a = parse_version(candidate);
  Result<Version> b = parse_version(running);
  return a && b && compare_versions(*a, *b) > 0;
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
