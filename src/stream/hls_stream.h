// HLS: a master playlist's variants tried in order of preference, and a
// media playlist followed as it grows, its segments fetched into the queue
// (segment_fetcher.h). When the network fails, the segment being fetched is
// kept and only the playlist is asked for, every second or two, until the
// stall limit, which by default reaches back as far as the playlist does:
// once the network is back, what is still listed plays, late but whole; what
// has left the playlist is skipped, and the log says how much.
#pragma once

#include <string>

#include "formats/playlist.h"
#include "stream/source_context.h"

namespace ze::stream {

// Plays the first variant of `master` that plays; one that played and then
// broke ends it as lost.
Finish play_hls_master(SourceContext& context, const HlsMasterPlaylist& master);

// Follows the media playlist `first`, served from `url` (its final address).
Finish follow_hls(SourceContext& context, const std::string& url, const HlsMediaPlaylist& first);

}  // namespace ze::stream
