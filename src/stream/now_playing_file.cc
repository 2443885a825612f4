#include "stream/now_playing_file.h"

#include <sys/stat.h>

#include "base/files.h"
#include "stream/log.h"

namespace ze::stream {

bool apply_title(NowPlaying& now, const TitleChange& change, uint64_t wall_seconds, bool replace_head) {
  if (change.title == now.title && change.artist == now.artist) return false;
  now.title = change.title;
  now.artist = change.title.empty() ? std::string() : change.artist;
  if (now.title.empty()) return true;
  if (replace_head && !now.history.empty()) now.history.erase(now.history.begin());
  now.history.insert(now.history.begin(), PlayedTitle{now.title, now.artist, wall_seconds});
  if (now.history.size() > kNowPlayingHistory) now.history.resize(kNowPlayingHistory);
  return true;
}

std::string title_line(const std::string& title, const std::string& artist) {
  return artist.empty() ? title : artist + " - " + title;
}

NowPlayingFile::NowPlayingFile(std::string path, std::string output, std::string output_name,
                               ClockFunction clock)
    : path_(std::move(path)), clock_(std::move(clock)) {
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
  if (note.title) {
    // The head of the history lasted too short to be a song: the new title
    // takes its place.
    const bool short_head =
        head_since_ && audio_seconds_ - *head_since_ < kShortestSong && !now_.title.empty();
    if (apply_title(now_, *note.title, wall_seconds(), short_head)) {
      changed = true;
      if (!now_.title.empty()) {
        head_since_ = audio_seconds_;
        if (title_unlogged_) ++titles_left_out_;
        title_unlogged_ = true;
        log_title(false);
      }
    }
  }
  if (changed) publish();
}

// One "now playing" line a second of audio at most; a title held back is
// logged when its turn comes, after a line that counts the titles never
// logged.
void NowPlayingFile::log_title(bool now) {
  if (!title_unlogged_) return;
  if (now_.title.empty()) {  // it ended before its line was due
    ++titles_left_out_;
    title_unlogged_ = false;
    return;
  }
  if (!now && logged_at_ && audio_seconds_ - *logged_at_ < kShortestSong) return;
  if (titles_left_out_ > 0) log_event("{} titles came and went without a line of their own", titles_left_out_);
  log_event("now playing: {}", title_line(now_.title, now_.artist));
  logged_at_ = audio_seconds_;
  title_unlogged_ = false;
  titles_left_out_ = 0;
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

void NowPlayingFile::tick(double audio_seconds) {
  audio_seconds_ = audio_seconds;
  pace();
}

void NowPlayingFile::pace() {
  log_title(false);
  if (pending_ && (!written_at_ || clock_() - *written_at_ >= kWriteSpacing)) write();
}

void NowPlayingFile::flush() {
  log_title(true);
  if (pending_) write();
}

void NowPlayingFile::remove() {
  if (path_.empty() || !own_file_) return;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if (std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)) != *own_file_) return;
  remove_file(path_);
}

void NowPlayingFile::publish() {
  if (path_.empty()) return;
  pending_ = true;
  pace();
}

void NowPlayingFile::write() {
  pending_ = false;
  written_at_ = clock_();
  Status written = write_file_atomic(path_, write_now_playing(now_));
  if (!written) {
    if (!failing_) log_event("cannot write {}", written.error());
    failing_ = true;
    return;
  }
  failing_ = false;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    own_file_ = std::make_pair(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
  }
}

}  // namespace ze::stream
