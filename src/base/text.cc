#include "base/text.h"

#include <algorithm>

namespace ze {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

char32_t lower_code_point(char32_t cp) {
  auto in = [cp](char32_t lo, char32_t hi) { return cp >= lo && cp <= hi; };
  if (in('A', 'Z')) return cp + 32;
  if (cp < 0x80) return cp;
  if (in(0xC0, 0xDE) && cp != 0xD7) return cp + 0x20;
  if (in(0x100, 0x12F) || in(0x132, 0x137) || in(0x14A, 0x177) || in(0x1DE, 0x1EF) ||
      in(0x1F8, 0x21F) || in(0x1E00, 0x1E95) || in(0x1EA0, 0x1EFF)) {
    return cp % 2 == 0 ? cp + 1 : cp;
  }
  if (in(0x139, 0x148) || in(0x179, 0x17E) || in(0x1CD, 0x1DC)) return cp % 2 == 1 ? cp + 1 : cp;
  if (cp == 0x178) return 0xFF;
  if (cp == 0x212A) return 'k';   // Kelvin sign
  if (cp == 0x212B) return 0xE5;  // Angstrom sign
  if (cp == 0x1A0 || cp == 0x1AF) return cp + 1;  // Ơ, Ư
  if (in(0x391, 0x3A9) && cp != 0x3A2) return cp + 0x20;
  if (in(0x410, 0x42F)) return cp + 0x20;
  if (in(0x400, 0x40F)) return cp + 0x50;
  return cp;
}

// Decodes one code point at `pos`; on an invalid sequence returns false and
// advances by one byte.
bool decode_one(std::string_view text, size_t& pos, char32_t& out) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char first = byte(pos);
  out = kReplacement;
  if (first < 0x80) {
    ++pos;
    out = first;
    return true;
  }
  size_t length;
  char32_t cp;
  char32_t minimum;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2, cp = first & 0x1F, minimum = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3, cp = first & 0x0F, minimum = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4, cp = first & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return false;
  }
  if (pos + length > text.size()) {
    ++pos;
    return false;
  }
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return false;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return false;
  }
  pos += length;
  out = cp;
  return true;
}

}  // namespace

char32_t decode_utf8(std::string_view text, size_t& pos) {
  char32_t cp;
  decode_one(text, pos, cp);
  return cp;
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  char32_t cp;
  while (pos < text.size()) {
    if (!decode_one(text, pos, cp)) return false;
  }
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_invisible_format(char32_t cp) {
  auto in = [cp](char32_t lo, char32_t hi) { return cp >= lo && cp <= hi; };
  return cp == 0xAD || cp == 0x34F || cp == 0x61C || in(0x115F, 0x1160) || in(0x17B4, 0x17B5) ||
         in(0x180B, 0x180F) || in(0x200B, 0x200F) || in(0x202A, 0x202E) || in(0x2060, 0x206F) ||
         cp == 0x3164 || in(0xFE00, 0xFE0F) || cp == 0xFEFF || cp == 0xFFA0 ||
         in(0xFFF0, 0xFFFB) || in(0x1BCA0, 0x1BCA3) || in(0x1D173, 0x1D17A) ||
         in(0xE0000, 0xE0FFF);
}

std::optional<std::string> utf8_from_utf16(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return utf8_from_utf16_units(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return utf8_from_utf16_units(bytes.substr(2), true);
  return std::nullopt;
}

std::string utf8_from_utf16_units(std::string_view bytes, bool big_endian) {
  auto unit = [&](size_t at) {
    auto lo = static_cast<unsigned char>(bytes[at + (big_endian ? 1 : 0)]);
    auto hi = static_cast<unsigned char>(bytes[at + (big_endian ? 0 : 1)]);
    return static_cast<char32_t>(hi << 8 | lo);
  };
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
    char32_t cp = unit(at);
    if (cp >= 0xD800 && cp <= 0xDBFF && at + 3 < bytes.size() && unit(at + 2) >= 0xDC00 &&
        unit(at + 2) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
      at += 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    append_utf8(out, cp);
  }
  return out;
}

std::string_view trim_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!is_unicode_space(decode_utf8(text, next))) break;
    begin = next;
  }
  size_t end = begin;
  size_t pos = begin;
  while (pos < text.size()) {
    char32_t cp = decode_utf8(text, pos);
    if (!is_unicode_space(cp)) end = pos;
  }
  return text.substr(begin, end - begin);
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t cp = decode_utf8(text, pos);
    if (cp == 0x130) {  // İ lower-cases to i followed by a combining dot
      out += "i\xCC\x87";
    } else if (cp == kReplacement) {
      out.append(text.substr(start, pos - start));  // keep invalid bytes as they are
    } else {
      append_utf8(out, lower_code_point(cp));
    }
  }
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower_char(c);
  return out;
}

bool equals_ascii_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_lower_char(x) == ascii_lower_char(y);
         });
}

std::optional<std::string> upper_for_matching(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = decode_utf8(text, pos);
    if (cp >= 'a' && cp <= 'z') {
      out.push_back(static_cast<char>(cp - 32));
    } else if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else {
      switch (cp) {
        case 0x17F: out += "S"; break;     // long s
        case 0x131: out += "I"; break;     // dotless i
        case 0xFB00: out += "FF"; break;
        case 0xFB01: out += "FI"; break;
        case 0xFB02: out += "FL"; break;
        case 0xFB03: out += "FFI"; break;
        case 0xFB04: out += "FFL"; break;
        case 0xFB05:
        case 0xFB06: out += "ST"; break;
        default: return std::nullopt;
      }
    }
  }
  return out;
}

std::string shell_word(const std::string& path) {
  bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@';
  });
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string megabytes_text(uint64_t bytes) {
  const uint64_t tenths = bytes / (kBytesPerMegabyte / 10);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

uint32_t percent_of(uint64_t part, uint64_t whole) {
  // Sizes beyond 2^57 bytes lose their last bits rather than overflow.
  while (whole > UINT64_MAX / 100) {
    part >>= 1;
    whole >>= 1;
  }
  return static_cast<uint32_t>(std::min(part, whole) * 100 / whole);
}

}  // namespace ze
