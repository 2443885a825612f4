// UTF-8 text helpers: validation, code-point decoding, UTF-16 conversion,
// invisible format characters, trimming with the Unicode white-space set, lower-casing of names and the upper-casing used to
// match command words, and the figures of a download as the screens and the
// log write them. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ze {

bool is_valid_utf8(std::string_view text);
// Decodes the code point at `pos` and advances `pos`; an invalid sequence
// yields U+FFFD and advances by one byte.
char32_t decode_utf8(std::string_view text, size_t& pos);
void append_utf8(std::string& out, char32_t cp);

bool is_unicode_space(char32_t cp);
// Characters that draw nothing but change how text around them reads: the
// bidirectional marks, embeddings, overrides and isolates, zero-width
// spaces and joiners, the soft hyphen, invisible operators, the byte-order
// mark, tags and variation selectors, and the fillers that look blank.
bool is_invisible_format(char32_t cp);

// The UTF-8 form of a UTF-16 text that starts with its byte-order mark
// (little- or big-endian), without the mark; an unpaired surrogate becomes
// U+FFFD and an odd last byte is dropped. Nothing when the text has no
// UTF-16 byte-order mark.
std::optional<std::string> utf8_from_utf16(std::string_view bytes);
// The same for UTF-16 code units without a mark, in the given byte order.
std::string utf8_from_utf16_units(std::string_view bytes, bool big_endian);
// `text` without leading and trailing Unicode white space.
std::string_view trim_space(std::string_view text);

// Lower-case form of a UTF-8 text (ASCII, Latin with all Vietnamese letters,
// Greek and Cyrillic); other characters are kept.
std::string to_lower(std::string_view text);
// ASCII letters lower-cased, every other byte kept.
std::string ascii_lower(std::string_view text);
inline char ascii_lower_char(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
// Equal but for the case of ASCII letters.
bool equals_ascii_ci(std::string_view a, std::string_view b);
// Upper-case form of a UTF-8 text as far as it matters for matching words of
// ASCII letters, digits and underscores: ASCII letters and the characters
// whose full upper-case mapping is ASCII (long s, dotless i, Latin
// ligatures). Returns nothing when any other character is non-ASCII, since
// such a text can never equal an ASCII word.
std::optional<std::string> upper_for_matching(std::string_view text);

// Sizes in a download's figures count 1,000,000 bytes to the megabyte.
inline constexpr uint64_t kBytesPerMegabyte = 1000000;
// A size in megabytes with one decimal, cut rather than rounded: "3.6".
std::string megabytes_text(uint64_t bytes);
// `part` of `whole` as a whole percentage, cut, at most 100; whole > 0.
uint32_t percent_of(uint64_t part, uint64_t whole);

// A path as one shell word for the few fixed shell lines: unchanged when it
// holds only characters the shell takes literally, otherwise single-quoted.
std::string shell_word(const std::string& path);

}  // namespace ze
