#include "stream/now_playing_file.h"

#include "base/clock.h"
#include "base/files.h"
#include "stream/log.h"

namespace ze::stream {

bool apply_title(NowPlaying& now, const TitleChange& change, uint64_t wall_seconds) {
  if (change.title == now.title && change.artist == now.artist) return false;
  now.title = change.title;
  now.artist = change.title.empty() ? std::string() : change.artist;
  if (now.title.empty()) return true;
  now.history.insert(now.history.begin(), PlayedTitle{now.title, now.artist, wall_seconds});
  if (now.history.size() > kNowPlayingHistory) now.history.resize(kNowPlayingHistory);
  return true;
}

std::string title_line(const std::string& title, const std::string& artist) {
  return artist.empty() ? title : artist + " - " + title;
}

NowPlayingFile::NowPlayingFile(std::string path, std::string output, std::string output_name)
    : path_(std::move(path)) {
  if (!path_.empty()) {
    if (Result<std::string> text = read_file(path_)) {
      if (Result<NowPlaying> earlier = parse_now_playing(*text)) now_.history = earlier->history;
    }
  }
  now_.output = std::move(output);
  now_.output_name = std::move(output_name);
}

void NowPlayingFile::note(const StreamNote& note) {
  bool changed = false;
  if (note.facts) {
    now_.carrier = note.facts->carrier;
    now_.station = note.facts->station;
    announced_bitrate_ = note.facts->bitrate;
    choose_bitrate();
    changed = true;
  }
  if (note.title && apply_title(now_, *note.title, wall_seconds())) {
    if (!now_.title.empty()) log_event("now playing: {}", title_line(now_.title, now_.artist));
    changed = true;
  }
  if (changed) publish();
}

void NowPlayingFile::audio(const AudioFacts& facts) {
  now_.codec = facts.codec;
  now_.sample_rate = facts.sample_rate;
  now_.channels = facts.channels;
  audio_ = facts;
  choose_bitrate();
  publish();
}

void NowPlayingFile::choose_bitrate() {
  // The server's announcement first, then the stream's own headers, then
  // what was measured.
  if (announced_bitrate_ > 0) {
    now_.bitrate = announced_bitrate_;
    now_.bitrate_measured = false;
  } else {
    now_.bitrate = audio_.bitrate;
    now_.bitrate_measured = audio_.bitrate_measured;
  }
}

void NowPlayingFile::set_output_name(std::string name) {
  now_.output_name = std::move(name);
  publish();
}

void NowPlayingFile::remove() {
  if (!path_.empty()) remove_file(path_);
}

void NowPlayingFile::publish() {
  if (path_.empty()) return;
  Status written = write_file_atomic(path_, write_now_playing(now_));
  if (!written) log_event("cannot write {}: {}", path_, written.error());
}

}  // namespace ze::stream
