// The engine's now-playing document: what plays (title and artist, the last
// titles with when each began) and the stream's facts (codec, bitrate,
// rate, channels, how it is carried, where the sound goes), kept in one
// small file that is replaced atomically when it changes, for the player
// to show. A new title is also logged ("now playing: ..."). A stream whose
// title changes many times a second costs no more than a reader can see:
// the document is written at most every kWriteSpacing, the log names at
// most one title a second of audio (and says how many it left out), titles that
// lasted less than kShortestSong of audio replace each other at the head of
// the history instead of pushing songs out, and a file that cannot be
// written is reported once until it can be again. Used by the engine's main
// thread, which hands it the notes of the audio it has just played and
// ticks it as audio plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/clock.h"

#include "formats/now_playing.h"
#include "stream/stream_notes.h"

namespace ze::stream {

inline constexpr std::chrono::milliseconds kWriteSpacing{250};
inline constexpr double kShortestSong = 1.0;  // seconds of audio

class NowPlayingFile {
 public:
  using ClockFunction = std::function<Instant()>;

  // `path` empty: only the log lines. A document left at `path` by an
  // earlier engine of the same station (one that reconnects) lends its
  // history. `clock` paces the writes and the log (tests pass their own).
  NowPlayingFile(std::string path, std::string output, std::string output_name,
                 ClockFunction clock = now);

  void note(const StreamNote& note);
  void audio(const AudioFacts& facts);
  // Where the sound goes, once the sound card is open.
  void set_output_name(std::string name);
  // The audio has played `audio_seconds` in all: writes what waits for
  // its turn, and logs the title held back, once due.
  void tick(double audio_seconds);
  // Writes what waits and logs the title held back now, whatever the
  // spacing (at the end).
  void flush();
  // The engine was stopped: the document goes, if it is still the file this
  // engine wrote.
  void remove();

  const NowPlaying& current() const { return now_; }

 private:
  void publish();
  void pace();
  void write();
  void log_title(bool now);
  void choose_bitrate();

  std::string path_;
  ClockFunction clock_;
  NowPlaying now_;
  uint32_t announced_bitrate_ = 0;  // by the server, for the current stream
  AudioFacts audio_;
  bool pending_ = false;                  // a change waits to be written
  std::optional<Instant> written_at_;     // the last write
  double audio_seconds_ = 0;              // of audio played so far
  std::optional<double> head_since_;      // when the history's head began, in audio_seconds_
  std::optional<double> logged_at_;       // the last "now playing" line, in audio_seconds_
  bool title_unlogged_ = false;           // the current title waits for its line
  int titles_left_out_ = 0;               // titles never logged since that line
  bool failing_ = false;                  // the last write failed (reported once)
  std::optional<std::pair<uint64_t, uint64_t>> own_file_;  // device and inode written
};

// Applies a title change at `wall_seconds`: a new title becomes the current
// one and heads the history (at most kNowPlayingHistory titles), or, with
// `replace_head`, takes the place of the head (a title too short to count
// as a song); the same title again changes nothing. True when the record
// changed.
bool apply_title(NowPlaying& now, const TitleChange& change, uint64_t wall_seconds,
                 bool replace_head = false);

// "Artist - Title", or the title alone.
std::string title_line(const std::string& title, const std::string& artist);

}  // namespace ze::stream
