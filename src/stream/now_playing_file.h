// The engine's now-playing document: what plays (title and artist, the last
// titles with when each began) and the stream's facts (codec, bitrate,
// rate, channels, how it is carried, where the sound goes), kept in one
// small file that is replaced atomically whenever it changes, for the
// player to show. A new title is also logged ("now playing: ..."). Used by
// the engine's main thread, which hands it the notes of the audio it has
// just played.
#pragma once

#include <cstdint>
#include <string>

#include "formats/now_playing.h"
#include "stream/stream_notes.h"

namespace ze::stream {

class NowPlayingFile {
 public:
  // `path` empty: only the log lines. A document left at `path` by an
  // earlier engine of the same station (one that reconnects) lends its
  // history.
  NowPlayingFile(std::string path, std::string output, std::string output_name);

  void note(const StreamNote& note);
  void audio(const AudioFacts& facts);
  // Where the sound goes, once the sound card is open.
  void set_output_name(std::string name);
  // The engine was stopped: the document goes.
  void remove();

  const NowPlaying& current() const { return now_; }

 private:
  void publish();
  void choose_bitrate();

  std::string path_;
  NowPlaying now_;
  uint32_t announced_bitrate_ = 0;  // by the server, for the current stream
  AudioFacts audio_;
};

// Applies a title change at `wall_seconds`: a new title becomes the current
// one and heads the history (at most kNowPlayingHistory titles); the same
// title again changes nothing. True when the record changed.
bool apply_title(NowPlaying& now, const TitleChange& change, uint64_t wall_seconds);

// "Artist - Title", or the title alone.
std::string title_line(const std::string& title, const std::string& artist);

}  // namespace ze::stream
