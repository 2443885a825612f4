// The one test of "is this an address we may play or download from", used by
// the catalog's stations, the user's stations, the player, the installer and
// the stream engine alike: an http or https URL (scheme in any letter case)
// with a host, no blank or control byte anywhere, at most kMaxAddressLength
// bytes. Such an address can never reach curl, mpv or ffplay as an option.
// packaging/bin/play_stream.sh applies the same test to its arguments.
#pragma once

#include <cstddef>
#include <string_view>

namespace ze {

inline constexpr size_t kMaxAddressLength = 8192;

bool is_stream_address(std::string_view text);

}  // namespace ze
