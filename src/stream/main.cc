// ze-stream: plays one internet radio stream on the sound card until it is
// stopped. Network only through curl; decoding with the engine's own static
// FFmpeg; sound through the kernel's ALSA PCM interface, or into a WAV file.
#include <cstdio>
#include <functional>
#include <memory>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/engine_contract.h"
#include "base/files.h"
#include "base/log.h"
#include "stream/alsa_pcm.h"
#include "stream/byte_queue.h"
#include "stream/decoder.h"
#include "stream/log.h"
#include "stream/now_playing_file.h"
#include "formats/playlist.h"
#include "stream/source.h"
#include "stream/stop_signal.h"
#include "stream/wav_writer.h"

namespace {

using namespace ze::stream;

constexpr char kUsage[] =
    "Usage: ze-stream [OPTION]... URL\n"
    "Plays one internet radio stream until it is stopped: MP3 or AAC over HTTP or\n"
    "HTTPS, .pls and .m3u lists, and HLS playlists (live or ended; MPEG-TS, packed\n"
    "audio or fragmented MP4 segments, AES-128 encryption). Every request runs curl.\n"
    "\n"
    "  --output FILE          write the audio to FILE as a WAV file (16-bit stereo at\n"
    "                         the stream's rate) instead of playing it; a pipe, a\n"
    "                         FIFO or - (standard output) gets a WAV stream\n"
    "  --card N               ALSA sound card number (default: the first card with a\n"
    "                         playback device)\n"
    "  --device N             ALSA PCM device number on that card (default: 0 with\n"
    "                         --card, otherwise the first playback device)\n"
    "  --marker FILE          create FILE once the first audio has reached the output\n"
    "  --now-playing FILE     keep in FILE (a JSON document, replaced whole on each\n"
    "                         change) the stream's titles, as their audio reaches the\n"
    "                         output, and its codec, bitrate and rate; removed when\n"
    "                         the engine is stopped\n"
    "  --user-agent TEXT      the User-Agent of every request\n"
    "  --connect-timeout S    seconds allowed to connect (default 10)\n"
    "  --stall-timeout S      seconds without data before the stream counts as lost;\n"
    "                         meanwhile a dropped connection is tried again every\n"
    "                         second or two (default 30, for HLS at least as long\n"
    "                         as the playlist reaches back; the first answer of a\n"
    "                         server is waited for 15 s unless this is given)\n"
    "  --max-bandwidth BPS    preferred upper bandwidth of HLS variants in bits per\n"
    "                         second (default 320000)\n"
    "  --help                 show this text and exit\n"
    "\n"
    "Exit status: 0 the stream ended, 1 the network or the stream was lost (worth\n"
    "trying again), 2 the address or its format cannot be played, 3 the sound\n"
    "device failed, 4 the reader of the --output pipe went away; 128 + N when\n"
    "stopped by signal N (SIGTERM, SIGINT, SIGHUP).\n"
    "Log lines go to standard error, each beginning with \"[ze-stream]\".\n";

struct Options {
  std::string url;
  std::string output;
  std::string marker;
  std::string now_playing;
  std::optional<int> card;
  std::optional<int> device;
  SourceOptions source;
};

std::optional<long long> whole_number(std::string_view text, long long low, long long high) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "ze-stream: %s\nTry 'ze-stream --help'.\n", message.c_str());
  ze::exit_process(2);
}

Options parse_options(int argc, char** argv) {
  Options options;
  auto value_of = [&](int& i, std::string_view name) -> std::string {
    if (i + 1 >= argc) usage_error("option " + std::string(name) + " needs a value");
    return argv[++i];
  };
  auto number_of = [&](int& i, std::string_view name, long long low, long long high) {
    std::string text = value_of(i, name);
    std::optional<long long> value = whole_number(text, low, high);
    if (!value) usage_error("option " + std::string(name) + ": not a number from " + std::to_string(low) +
                            " to " + std::to_string(high) + ": " + text);
    return *value;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      ze::exit_process(0);
    } else if (arg == "--output") {
      options.output = value_of(i, arg);
    } else if (arg == "--marker") {
      options.marker = value_of(i, arg);
    } else if (arg == "--now-playing") {
      options.now_playing = value_of(i, arg);
    } else if (arg == "--card") {
      options.card = static_cast<int>(number_of(i, arg, 0, 31));
    } else if (arg == "--device") {
      options.device = static_cast<int>(number_of(i, arg, 0, 31));
    } else if (arg == "--user-agent") {
      options.source.fetch.user_agent = value_of(i, arg);
    } else if (arg == "--connect-timeout") {
      options.source.fetch.connect_seconds = static_cast<int>(number_of(i, arg, 1, 600));
    } else if (arg == "--stall-timeout") {
      options.source.stall_seconds = static_cast<int>(number_of(i, arg, 1, 600));
    } else if (arg == "--max-bandwidth") {
      options.source.max_bandwidth = static_cast<uint64_t>(number_of(i, arg, 1, 1000000000));
    } else if (arg == "--") {
      if (i + 1 < argc) options.url = argv[++i];
      if (i + 1 < argc) usage_error("only one URL can be played");
    } else if (!arg.empty() && arg[0] == '-') {
      usage_error("unknown option " + std::string(arg));
    } else if (options.url.empty()) {
      options.url = std::string(arg);
    } else {
      usage_error("only one URL can be played");
    }
  }
  if (options.url.empty()) usage_error("no stream URL given");
  if (options.output.empty() && (options.card || options.device)) {
    if (!options.card) options.card = 0;
    if (!options.device) options.device = 0;
  }
  if (!options.output.empty() && (options.card || options.device)) {
    usage_error("--output and --card/--device exclude each other");
  }
  return options;
}

int exit_status(const Finish& how) {
  using ze::contract::EngineExit;
  auto status = [](EngineExit exit) { return static_cast<int>(exit); };
  switch (how.outcome) {
    case Outcome::Ended:
      log_event("stream ended: {}", how.message);
      return status(EngineExit::Ended);
    case Outcome::Lost:
      log_event("stream lost: {}", how.message);
      return status(EngineExit::Lost);
    case Outcome::Unplayable:
      log_event("cannot play: {}", how.message);
      return status(EngineExit::Unplayable);
    case Outcome::DeviceFailed:
      log_event("sound device failed: {}", how.message);
      return status(EngineExit::DeviceFailed);
    case Outcome::OutputClosed:
      log_event("output closed by its reader: {}", how.message);
      return status(EngineExit::OutputClosed);
    case Outcome::Stopped:
      break;
  }
  int signal = stop_signal_number();
  log_event("stopped");
  return 128 + (signal > 0 ? signal : 15);
}

}  // namespace

int main(int argc, char** argv) {
  install_stop_signal();
  Options options = parse_options(argc, argv);

  std::unique_ptr<AudioSink> sink;
  AlsaPcm* card = nullptr;
  if (!options.output.empty()) {
    sink = std::make_unique<WavWriter>(options.output, stop_fd());
  } else {
    AlsaPcmOptions alsa;
    if (options.card) alsa.device = AlsaDevice{*options.card, *options.device};
    auto pcm = std::make_unique<AlsaPcm>(alsa);
    card = pcm.get();
    sink = std::move(pcm);
  }
  NowPlayingFile now_playing(options.now_playing, card != nullptr ? "ALSA" : "WAV",
                             card != nullptr ? "" : options.output);
  log_event("playing {}", options.url);
  if (!ze::is_stream_address(options.url)) {
    log_event("cannot play: not an http or https address");
    ze::exit_process(static_cast<int>(ze::contract::EngineExit::Unplayable));
  }

  // About two live segments of 128 kbit/s audio ahead of playback.
  ByteQueue queue(1 << 20);
  std::thread source([&] { run_source(options.url, options.source, queue); });

  DecodeEvents events;
  events.first_audio = [&] {
    if (!options.marker.empty()) {
      ze::Status written = ze::write_file(options.marker, "1");
      if (!written) log_event("cannot create the marker: {}", written.error());
    }
    log_event("audio started");
    if (card != nullptr) now_playing.set_output_name(card->path());
  };
  events.audio = [&](const AudioFacts& facts) { now_playing.audio(facts); };
  events.note = [&](const StreamNote& note) { now_playing.note(note); };
  events.played = [&](double seconds) { now_playing.tick(seconds); };
  DecodeStats stats;
  Finish how = decode_queue(queue, *sink, events, stats,
                            options.source.stall_seconds.value_or(kDefaultStallSeconds));
  // The source may still be fetching (the decoder gave up first): it ends at
  // the stop request, its curl killed and reaped.
  queue.close();
  request_stop();
  source.join();
  sink->close(how.outcome == Outcome::Ended);
  // Stopped, the engine takes its document along; after a lost stream it
  // stays for the engine that the script starts again.
  if (how.outcome == Outcome::Stopped) {
    now_playing.remove();
  } else {
    now_playing.flush();
  }
  int status = exit_status(how);
  ze::exit_process(status);
}
