#include "catalog/user_stations.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <optional>
#include <cstdint>
#include <unordered_map>

#include <fmt/format.h>

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "formats/playlist.h"

namespace ze {
namespace {

constexpr size_t kMaxBadgeCharacters = 10;
// Longer names are cut here: the screen cuts them again to its widths, a
// character at a time, in every frame.
constexpr size_t kMaxNameCharacters = 100;
constexpr size_t kMaxSingleWordCharacters = 8;
constexpr size_t kMaxInitials = 6;

// Badge colours, given out by position in the list.
constexpr std::array<const char*, 8> kBadgeColours = {
    "E11D48", "F59E0B", "10B981", "0284C7", "8B5CF6", "EC4899", "14B8A6", "F97316"};

// 64-bit FNV-1a: fixed by definition, so ids stay the same across builds,
// compilers and machines (std::hash promises none of that).
uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 0xCBF29CE484222325u;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3u;
  }
  return hash;
}

size_t count_characters(std::string_view text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) decode_utf8(text, pos);
  return count;
}

std::string first_characters(std::string_view text, size_t count) {
  size_t pos = 0;
  for (size_t i = 0; i < count && pos < text.size(); ++i) decode_utf8(text, pos);
  return std::string(text.substr(0, pos));
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  size_t start = std::string_view::npos;
  while (pos < text.size()) {
    size_t at = pos;
    bool space = is_unicode_space(decode_utf8(text, pos));
    if (space && start != std::string_view::npos) {
      words.push_back(text.substr(start, at - start));
      start = std::string_view::npos;
    } else if (!space && start == std::string_view::npos) {
      start = at;
    }
  }
  if (start != std::string_view::npos) words.push_back(text.substr(start));
  return words;
}

// Up to `count` characters of `text` as valid UTF-8 without control
// characters and without the invisible ones that would turn the rest of a
// line around (U+202E) or hide in it: an address may hold any byte above
// the blank, a title any character.
std::string printable(std::string_view text, size_t count) {
  std::string out;
  for (size_t pos = 0, taken = 0; pos < text.size() && taken < count;) {
    char32_t cp = decode_utf8(text, pos);
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || is_invisible_format(cp)) continue;
    append_utf8(out, cp);
    ++taken;
  }
  return out;
}

// A station's name from a playlist title: visible characters only, trimmed,
// at most kMaxNameCharacters.
std::string name_from_title(std::string_view title) {
  std::string visible = printable(title, SIZE_MAX);
  return std::string(trim_space(first_characters(trim_space(visible), kMaxNameCharacters)));
}

// The host of an http(s) address, without any user name or password.
std::string_view url_host(std::string_view url) {
  size_t begin = url.find("://");
  begin = begin == std::string_view::npos ? 0 : begin + 3;
  std::string_view authority = url.substr(begin, url.find_first_of("/?#", begin) - begin);
  size_t at = authority.rfind('@');
  return at == std::string_view::npos ? authority : authority.substr(at + 1);
}

// An address as two entries are compared: the scheme and the host name
// without regard to letter case, as they are resolved; the user part, the
// path and the query as written.
std::string address_key(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string(url);
  std::string_view host = url_host(url);
  const size_t host_at = static_cast<size_t>(host.data() - url.data());
  const size_t start = scheme_end + 3;
  const size_t end = host_at + host.size();
  return ascii_lower(url.substr(0, start)) + std::string(url.substr(start, host_at - start)) +
         ascii_lower(host) + std::string(url.substr(end));
}

bool is_pls(std::string_view text, std::string_view path) {
  return sniff_content(path, "", text) == ContentKind::Pls;
}

std::string skipped_line(std::string_view path, size_t line, std::string_view reason) {
  return fmt::format("[Catalog] Skipped line {} of {}: {}", line, path, reason);
}

}  // namespace

std::string user_station_id(std::string_view url) {
  return fmt::format("user-{:012x}", fnv1a(url) >> 16);
}

std::string user_badge_text(std::string_view name) {
  std::string_view head = name;
  for (std::string_view separator : {" - ", " | ", " ("}) {
    head = head.substr(0, head.find(separator));
  }
  head = trim_space(head);
  if (count_characters(head) <= kMaxBadgeCharacters) return std::string(head);
  std::vector<std::string_view> words = split_words(head);
  if (words.size() < 2) {
    // One long word, often a host name: its first label, cut to what a
    // badge holds of wide letters.
    std::string_view word = head.substr(0, head.find_first_of(".:"));
    return first_characters(word.empty() ? head : word, kMaxSingleWordCharacters);
  }
  std::string initials;
  for (size_t i = 0; i < words.size() && i < kMaxInitials; ++i) {
    initials += first_characters(words[i], 1);
  }
  return initials;
}

UserStations user_stations_from_text(std::string_view text, std::string_view path) {
  // What a desktop editor saves as "Unicode" is UTF-16 with a byte-order mark.
  std::optional<std::string> converted = utf8_from_utf16(text);
  if (converted) text = *converted;
  // One entry more than the limit tells whether the file holds more.
  Playlist playlist = is_pls(text, path)
                                  ? parse_pls(text, "", kMaxUserStations + 1)
                                  : parse_m3u(text, "", kMaxUserStations + 1);
  UserStations out;
  size_t last_line = SIZE_MAX;
  if (playlist.entries.size() > kMaxUserStations) {
    playlist.entries.resize(kMaxUserStations);
    last_line = playlist.entries.back().line;
  }
  size_t skipped = 0;
  std::unordered_map<std::string, size_t> first_line_of;
  for (PlaylistEntry& entry : playlist.entries) {
    while (skipped < playlist.skipped.size() && playlist.skipped[skipped].line < entry.line) {
      const SkippedEntry& bad = playlist.skipped[skipped++];
      out.log.push_back(skipped_line(path, bad.line, bad.reason));
    }
    auto [first, added] = first_line_of.emplace(address_key(entry.url), entry.line);
    if (!added) {
      out.log.push_back(
          skipped_line(path, entry.line, fmt::format("same address as line {}", first->second)));
      continue;
    }
    Channel channel;
    channel.id = user_station_id(entry.url);
    std::string_view host = url_host(entry.url);
    // Without a title the host names the station ("http://@x" has none:
    // then the address itself).
    std::string_view fallback = host.empty() ? std::string_view(entry.url) : host;
    // No title, or one of invisible characters only, names nothing.
    channel.name = name_from_title(entry.title);
    if (channel.name.empty()) channel.name = printable(fallback, kMaxNameCharacters);
    channel.short_name = user_badge_text(channel.name);
    channel.category = kUserCategory.id;
    channel.color = kBadgeColours[out.channels.size() % kBadgeColours.size()];
    channel.description = printable(host, kMaxNameCharacters);
    channel.stream_url = std::move(entry.url);
    out.channels.push_back(std::move(channel));
  }
  for (; skipped < playlist.skipped.size(); ++skipped) {
    const SkippedEntry& bad = playlist.skipped[skipped];
    if (bad.line < last_line) out.log.push_back(skipped_line(path, bad.line, bad.reason));
  }
  if (last_line != SIZE_MAX) {
    out.log.push_back(fmt::format("[Catalog] Only the first {} stations of {} are read",
                                  kMaxUserStations, path));
  }
  return out;
}

std::vector<std::string> default_user_station_files() {
  std::vector<std::string> files;
  for (std::string folder : {std::string(paths::kAppDir), std::string(".")}) {
    for (const char* name : {"my_stations.m3u", "my_stations.m3u8", "my_stations.pls"}) {
      files.push_back(folder + "/" + name);
    }
  }
  return files;
}

std::vector<Channel> load_user_stations(const std::vector<std::string>& candidates) {
  const std::string* path = nullptr;
  for (const std::string& candidate : candidates) {
    if (path_exists(candidate)) {
      path = &candidate;
      break;
    }
  }
  if (!path) return {};
  struct stat st {};
  if (::stat(path->c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) > kMaxUserStationFileBytes) {
    logf("[Catalog] Could not read your stations: {} is larger than {} bytes", *path,
         kMaxUserStationFileBytes);
    return {};
  }
  Result<std::string> text = read_file(*path);
  if (!text) {
    logf("[Catalog] Could not read your stations: {}", text.error());
    return {};
  }
  UserStations stations = user_stations_from_text(*text, *path);
  for (const std::string& line : stations.log) log_line(line);
  if (stations.channels.empty()) {
    logf("[Catalog] No stations in {}", *path);
  } else {
    logf("[Catalog] Loaded {} of your stations from {}", stations.channels.size(), *path);
  }
  return std::move(stations.channels);
}

}  // namespace ze
