#include "stream/title_text.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

#include "base/text.h"

namespace ze::stream {
namespace {

// Windows-1252's characters for the bytes 0x80 to 0x9F; 0 where it defines
// none (those bytes keep their ISO-8859-1 meaning, a C1 control).
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t windows1252_char(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0 && kWindows1252High[byte - 0x80] != 0) {
    return kWindows1252High[byte - 0x80];
  }
  return byte;
}

// How many bytes the UTF-8 sequence that `lead` begins takes; 0 when it
// begins none.
size_t utf8_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Where a UTF-8 sequence that the end of `bytes` cut short begins: a lead
// byte followed up to the end by fewer continuation bytes than it needs.
std::optional<size_t> cut_letter_at_end(std::string_view bytes) {
  size_t at = bytes.size();
  while (at > 0 && bytes.size() - at < 3 && (static_cast<unsigned char>(bytes[at - 1]) & 0xC0) == 0x80) {
    --at;
  }
  if (at == 0) return std::nullopt;
  size_t lead = at - 1;
  if (utf8_length(static_cast<unsigned char>(bytes[lead])) > bytes.size() - lead) return lead;
  return std::nullopt;
}

// Whether `bytes` hold at least one valid UTF-8 sequence of several bytes.
bool has_utf8_letter(std::string_view bytes) {
  for (size_t pos = 0; pos < bytes.size();) {
    size_t start = pos;
    decode_utf8(bytes, pos);
    if (pos - start > 1) return true;
  }
  return false;
}

struct NamedReference {
  std::string_view name;
  char32_t character;
};
// The references that servers put into titles; others stay as they are.
constexpr NamedReference kNamedReferences[] = {
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},
    {"apos", '\''},    {"nbsp", 0xA0},    {"ndash", 0x2013}, {"mdash", 0x2014},
    {"hellip", 0x2026}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C},
    {"rdquo", 0x201D}};

// The character a reference at the start of `text` ("&#233;", "&#xE9;",
// "&amp;") stands for, and its length; nothing when it is no reference.
// A number naming no character stands for nothing and is dropped.
std::optional<std::pair<char32_t, size_t>> reference_at(std::string_view text) {
  size_t end = text.find(';');
  if (end == std::string_view::npos || end < 2 || end > 12) return std::nullopt;
  std::string_view body = text.substr(1, end - 1);
  if (body[0] != '#') {
    for (const NamedReference& named : kNamedReferences) {
      if (named.name == body) return std::make_pair(named.character, end + 1);
    }
    return std::nullopt;
  }
  bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
  std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  // As browsers read them: 0x80 to 0x9F are Windows-1252's characters.
  if (value >= 0x80 && value < 0xA0) value = windows1252_char(static_cast<unsigned char>(value));
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = 0;
  return std::make_pair(static_cast<char32_t>(value), end + 1);
}

// The marks, embeddings, overrides and isolates of bidirectional text: an
// unmatched override (U+202E) turns the rest of a line around wherever the
// title is shown. Joiners and variation selectors stay, as emoji need them.
bool is_direction_control(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

bool is_dropped(char32_t c) {
  return c == 0 || utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_CC ||
         c == 0xFEFF || is_direction_control(c);
}

bool is_letter_or_digit(char32_t c) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

struct FreeDeleter {
  void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// utf8proc's mapping of a text without NUL bytes; the text unchanged when
// utf8proc cannot map it (out of memory).
std::string mapped(const std::string& text, utf8proc_option_t options) {
  utf8proc_uint8_t* out = nullptr;
  utf8proc_ssize_t length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str()),
                                         0, &out, static_cast<utf8proc_option_t>(options | UTF8PROC_NULLTERM));
  std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(out);
  if (length < 0 || out == nullptr) return text;
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
}

// Case-folded, compatibility-composed, without white space: how a title and
// a station name are compared.
std::string comparable(std::string_view utf8) {
  std::string squeezed;
  for (size_t pos = 0; pos < utf8.size();) {
    size_t start = pos;
    char32_t c = decode_utf8(utf8, pos);
    if (!is_unicode_space(c) && !is_dropped(c)) squeezed.append(utf8, start, pos - start);
  }
  return mapped(squeezed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE |
                                                        UTF8PROC_COMPAT | UTF8PROC_CASEFOLD));
}

}  // namespace

std::string windows1252_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char byte : bytes) append_utf8(out, windows1252_char(static_cast<unsigned char>(byte)));
  return out;
}

std::string decode_undeclared(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  // UTF-8 with a few stray bytes, most often a title that a server cut at a
  // byte limit in the middle of a letter: the letters stay, the stray bytes
  // are read as Windows-1252 and the letter cut at the end is dropped. Text
  // without a single UTF-8 letter is Windows-1252 throughout.
  std::string_view kept = bytes.substr(0, cut_letter_at_end(bytes).value_or(bytes.size()));
  if (!has_utf8_letter(kept)) return windows1252_to_utf8(bytes);
  std::string out;
  out.reserve(kept.size() + kept.size() / 2);
  for (size_t pos = 0; pos < kept.size();) {
    size_t start = pos;
    decode_utf8(kept, pos);
    auto byte = static_cast<unsigned char>(kept[start]);
    if (pos - start == 1 && byte >= 0x80) {
      append_utf8(out, windows1252_char(byte));
    } else {
      out.append(kept.substr(start, pos - start));
    }
  }
  return out;
}

std::optional<std::string> normalize_title(std::string_view utf8,
                                           std::string_view station_name) {
  // References resolved, controls dropped and white space collapsed in one
  // pass; a reference is resolved once, so "&amp;#39;" shows as "&#39;".
  std::string text;
  text.reserve(utf8.size());
  bool space_pending = false;
  size_t characters = 0;
  // Enough characters for the cap even when NFC joins some of them.
  const size_t enough = kMaxTitleCharacters * 4;
  for (size_t pos = 0; pos < utf8.size() && characters < enough;) {
    char32_t c;
    if (utf8[pos] == '&') {
      if (auto reference = reference_at(utf8.substr(pos))) {
        c = reference->first;
        pos += reference->second;
      } else {
        c = '&';
        ++pos;
      }
    } else {
      c = decode_utf8(utf8, pos);
    }
    if (is_unicode_space(c)) {
      space_pending = !text.empty();
      continue;
    }
    if (is_dropped(c)) continue;
    if (space_pending) {
      text.push_back(' ');
      ++characters;
      space_pending = false;
    }
    append_utf8(text, c);
    ++characters;
  }
  text = mapped(text, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));

  std::string shown;
  bool meaningful = false;
  characters = 0;
  for (size_t pos = 0; pos < text.size() && characters < kMaxTitleCharacters; ++characters) {
    size_t start = pos;
    char32_t c = decode_utf8(text, pos);
    meaningful = meaningful || is_letter_or_digit(c);
    shown.append(text, start, pos - start);
  }
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  if (!meaningful) return std::nullopt;
  if (!station_name.empty() && comparable(shown) == comparable(station_name)) return std::nullopt;
  return shown;
}

}  // namespace ze::stream
