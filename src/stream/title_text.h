// The texts a stream announces about itself (song titles, artists, station
// names), made fit to show: decoded to UTF-8 from the charset they came in,
// HTML character references resolved, control characters dropped, white
// space collapsed, Unicode NFC (so that decomposed tone marks become one
// letter) and at most 200 characters. Pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ze::stream {

inline constexpr size_t kMaxTitleCharacters = 200;

// Bytes whose charset nobody declared (ICY titles, playlist titles): UTF-8
// when they are valid UTF-8; UTF-8 with stray bytes keeps its letters, reads
// the stray bytes as Windows-1252 and drops a letter cut short at the end;
// without any UTF-8 letter, Windows-1252.
std::string decode_undeclared(std::string_view bytes);
// Windows-1252 (a superset of ISO-8859-1's printable characters) to UTF-8;
// the five bytes it leaves undefined become the C1 controls of ISO-8859-1.
std::string windows1252_to_utf8(std::string_view bytes);

// The title as shown, from valid UTF-8, without the controls of
// bidirectional text. Nothing when no letter or digit is
// left (an empty title, " - ") or when it only repeats `station_name`
// (compared without regard to case and white space).
std::optional<std::string> normalize_title(std::string_view utf8,
                                           std::string_view station_name = {});

}  // namespace ze::stream
