#include "stream/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "stream/frame_sync.h"
#include "stream/join_smoother.h"
#include "stream/log.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

constexpr int kIoBufferSize = 32768;
// Enough of a stream to recognise its container and audio format without
// waiting long for a live stream's bytes.
constexpr int64_t kProbeBytes = 65536;
constexpr int64_t kAnalyzeMicroseconds = 1000000;
// This many undecodable packets in a row, with no audio between, and the
// stream is taken for something that is not audio.
constexpr int kBadPacketLimit = 64;

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct IoCloser {
  void operator()(AVIOContext* io) const {
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct PacketCloser {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameCloser {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ResamplerCloser {
  void operator()(SwrContext* swr) const { swr_free(&swr); }
};

// Bytes looked at to recognise MP3 and ADTS before FFmpeg's probing: a few
// frames, well below a second of a live stream.
constexpr size_t kFrameSyncBytes = 16384;

// Bytes that keep coming while no audio does (a server sending noise, or
// segments without an audio track): after `limit_seconds` of that the
// stream counts as lost. Only time with bytes counts, so a network drop-out,
// which brings none, is left to the source's own stall limit.
struct Starvation {
  int limit_seconds = 30;
  std::optional<Instant> since;  // the first byte read after the last audio
  bool reached = false;

  // Bytes were read; false once the limit is reached.
  bool fed() {
    if (!since) since = now();
    reached = reached || elapsed_between(*since, now()) >= std::chrono::seconds(limit_seconds);
    return !reached;
  }
};

// The current stream of the queue, as FFmpeg reads it: first the bytes
// already looked at to recognise its format, then the rest.
struct QueueReader {
  ByteQueue* queue = nullptr;
  int64_t bytes = 0;  // read from the current stream so far
  std::string seen;   // read ahead to recognise the format, not yet given to FFmpeg
  size_t seen_taken = 0;
  Starvation* starvation = nullptr;
  bool ended = false;  // the queue said the stream ended
};

int read_queue(void* opaque, uint8_t* buffer, int size) {
  auto* reader = static_cast<QueueReader*>(opaque);
  // A demuxer looking for its sync reads on after an end: the stream stays
  // ended.
  if (reader->starvation->reached) return AVERROR_EOF;
  if (reader->seen_taken < reader->seen.size()) {
    size_t take = std::min(reader->seen.size() - reader->seen_taken, static_cast<size_t>(size));
    std::memcpy(buffer, reader->seen.data() + reader->seen_taken, take);
    reader->seen_taken += take;
    return static_cast<int>(take);
  }
  size_t got = reader->queue->read(buffer, static_cast<size_t>(size));
  reader->bytes += static_cast<int64_t>(got);
  reader->ended = got == 0;
  if (got > 0 && !reader->starvation->fed()) return AVERROR_EOF;
  return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

// Reads the stream's first bytes until they show MP3 or ADTS frames, or
// cannot; the FFmpeg demuxer that reads such a stream without probing.
const AVInputFormat* recognise_format(QueueReader& reader) {
  uint8_t buffer[4096];
  for (;;) {
    FrameGuess guess = guess_frame_format(reader.seen);
    if (guess.format == FrameFormat::Mp3) return av_find_input_format("mp3");
    if (guess.format == FrameFormat::Adts) return av_find_input_format("aac");
    if (!guess.need_more || reader.seen.size() >= kFrameSyncBytes) return nullptr;
    size_t got = reader.queue->read(buffer, sizeof buffer);
    reader.ended = got == 0;
    if (got == 0) return nullptr;
    reader.bytes += static_cast<int64_t>(got);
    reader.seen.append(reinterpret_cast<const char*>(buffer), got);
  }
}

int interrupted(void* starvation) {
  return stop_requested() || static_cast<const Starvation*>(starvation)->reached ? 1 : 0;
}

// The conversion to the output format, rebuilt whenever the decoded audio's
// rate, layout or sample format changes.
class Converter {
 public:
  bool matches(const AVFrame* frame) const {
    return swr_ && frame->sample_rate == rate_ && frame->format == format_ &&
           av_channel_layout_compare(&frame->ch_layout, &layout_) == 0;
  }

  std::optional<std::string> rebuild(const AVFrame* frame, int output_rate) {
    swr_.reset();
    av_channel_layout_uninit(&layout_);
    if (av_channel_layout_copy(&layout_, &frame->ch_layout) < 0) return "bad channel layout";
    if (layout_.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_uninit(&layout_);
      av_channel_layout_default(&layout_, frame->ch_layout.nb_channels);
    }
    rate_ = frame->sample_rate;
    format_ = frame->format;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* swr = nullptr;
    int rc = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, output_rate, &layout_,
                                 static_cast<AVSampleFormat>(format_), rate_, 0, nullptr);
    if (rc < 0 || swr_init(swr) < 0) {
      swr_free(&swr);
      return "cannot convert " + std::to_string(rate_) + " Hz audio";
    }
    swr_.reset(swr);
    return std::nullopt;
  }

  // Converts one frame; the result stays valid until the next call.
  const std::vector<int16_t>& convert(const AVFrame* frame, int& frames_out) {
    int most = swr_get_out_samples(swr_.get(), frame->nb_samples);
    if (most < 0) most = 0;
    output_.resize(static_cast<size_t>(most) * 2 + 2);
    uint8_t* out = reinterpret_cast<uint8_t*>(output_.data());
    frames_out = swr_convert(swr_.get(), &out, most, const_cast<const uint8_t**>(frame->extended_data),
                             frame->nb_samples);
    if (frames_out < 0) frames_out = 0;
    return output_;
  }

  ~Converter() { av_channel_layout_uninit(&layout_); }

 private:
  std::unique_ptr<SwrContext, ResamplerCloser> swr_;
  AVChannelLayout layout_{};
  int rate_ = 0;
  int format_ = -1;
  std::vector<int16_t> output_;
};

// The bitrate is measured over this much audio when no header announces it.
constexpr double kMeasureSeconds = 8.0;

class Decoder {
 public:
  Decoder(ByteQueue& queue, AudioSink& sink, const DecodeEvents& events, DecodeStats& stats,
          int no_audio_seconds)
      : queue_(queue), sink_(sink), events_(events), stats_(stats) {
    starvation_.limit_seconds = no_audio_seconds;
  }

  Finish run() {
    for (;;) {
      ++stats_.streams;
      std::optional<Finish> failed = play_stream();
      if (failed) return *failed;
      if (stop_requested()) return Finish{Outcome::Stopped, "stopped"};
      skip_rest();
      if (starvation_.reached) {
        return Finish{Outcome::Lost, fmt::format("no audio in {} s of data", starvation_.limit_seconds)};
      }
      if (!queue_.next_stream()) {
        Finish end = queue_.finish_state();
        if (std::optional<Finish> failed = write_held()) return *failed;
        return end;
      }
      if (smoother_) smoother_->begin_stream();
    }
  }

 private:
  // Drops what is left of the current stream once its demuxer gave up on
  // it, counted as bytes that brought no audio.
  void skip_rest() {
    uint8_t buffer[16384];
    while (!reader_.ended && !stop_requested()) {
      size_t got = queue_.read(buffer, sizeof buffer);
      reader_.ended = got == 0;
      if (got > 0 && !starvation_.fed()) return;
    }
  }

  // The demuxer and decoder of one stream of the queue; closed in the
  // reverse order of opening.
  struct OpenStream {
    std::unique_ptr<AVIOContext, IoCloser> io;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> decoder;
    AVStream* stream = nullptr;
    const AVCodec* codec = nullptr;
    int index = -1;
    bool decoding = false;  // the decoder is open
  };

  // Plays the current stream of the queue to its end. Returns a finish only
  // when the whole engine must end.
  std::optional<Finish> play_stream() {
    OpenStream open;
    // A stream that is no audio ends the engine, or is skipped (no finish).
    if (std::optional<Finish> failed = open_demuxer(open); failed || !open.stream) return failed;
    if (std::optional<Finish> failed = open_decoder(open); failed || !open.decoding) return failed;
    std::optional<Finish> failed = decode_packets(open);
    decoder_ = nullptr;
    position_ = -1;
    return failed;
  }

  // Opens FFmpeg's demuxer over the queue and finds the audio in it.
  std::optional<Finish> open_demuxer(OpenStream& open) {
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) return Finish{Outcome::Lost, "out of memory"};
    reader_ = QueueReader{&queue_, 0, {}, 0, &starvation_};
    const AVInputFormat* known = recognise_format(reader_);
    open.io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &reader_, read_queue, nullptr, nullptr));
    if (!open.io) {
      av_free(buffer);
      return Finish{Outcome::Lost, "out of memory"};
    }
    open.io->seekable = 0;

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return Finish{Outcome::Lost, "out of memory"};
    raw->pb = open.io.get();
    // No AVFMT_FLAG_NOBUFFER: the packets read while the stream is analysed
    // (up to a second of a probed stream) are kept and played, not dropped.
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->probesize = kProbeBytes;
    raw->max_analyze_duration = kAnalyzeMicroseconds;
    raw->interrupt_callback = AVIOInterruptCB{interrupted, &starvation_};
    // MP3 and ADTS open at once; other formats are probed.
    int rc = avformat_open_input(&raw, nullptr, known, nullptr);
    if (rc < 0) return not_audio("unrecognised stream format (" + av_error_text(rc) + ")");
    open.format.reset(raw);
    AVFormatContext* format = open.format.get();

    rc = avformat_find_stream_info(format, nullptr);
    if (rc < 0) return not_audio("no stream information (" + av_error_text(rc) + ")");
    open.index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &open.codec, 0);
    if (open.index < 0 || !open.codec) {
      // Audio this build has no decoder for keeps no rate or channels after
      // probing, and FFmpeg then does not offer it at all: name its codec.
      for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* par = format->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && !avcodec_find_decoder(par->codec_id)) {
          return not_audio("unsupported audio codec " + std::string(avcodec_get_name(par->codec_id)));
        }
      }
      return not_audio("no audio in the stream");
    }
    open.stream = format->streams[open.index];
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      if (static_cast<int>(i) != open.index) format->streams[i]->discard = AVDISCARD_ALL;
    }
    return std::nullopt;
  }

  std::optional<Finish> open_decoder(OpenStream& open) {
    const AVCodec* codec = open.codec;
    open.decoder.reset(avcodec_alloc_context3(codec));
    if (!open.decoder || avcodec_parameters_to_context(open.decoder.get(), open.stream->codecpar) < 0) {
      return Finish{Outcome::Lost, "out of memory"};
    }
    AVCodecContext* decoder = open.decoder.get();
    decoder->thread_count = 1;
    int rc = avcodec_open2(decoder, codec, nullptr);
    if (rc < 0) return not_audio("cannot open the " + std::string(codec->name) + " decoder");
    open.decoding = true;
    if (stats_.streams == 1 || codec_name_ != codec->name) {
      codec_name_ = codec->name;
      log_event("stream: {} {}, {} Hz, {} channels", open.format->iformat->name, codec->name,
                decoder->sample_rate, decoder->ch_layout.nb_channels);
    }
    return std::nullopt;
  }

  // Reads and decodes the stream's packets to its end (or a stop).
  std::optional<Finish> decode_packets(OpenStream& open) {
    AVCodecContext* decoder = open.decoder.get();
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    int bad_packets = 0;
    decoder_ = decoder;
    facts_ = AudioFacts{};
    const int64_t announced = open.stream->codecpar->bit_rate;
    announced_bitrate_ = announced > 0 ? static_cast<uint32_t>(announced) : 0;
    measured_bytes_ = 0;
    measured_samples_ = 0;
    const std::string_view demuxer = open.format->iformat->name;
    const bool raw_audio = demuxer == "aac" || demuxer == "mp3" || demuxer == "loas";
    raw_next_ = -1;
    while (av_read_frame(open.format.get(), packet.get()) >= 0) {  // to the end of this stream (or a stop)
      if (packet->stream_index != open.index) {
        av_packet_unref(packet.get());
        continue;
      }
      // Raw audio is cut into frames by a parser that gives each frame the
      // position of the chunk it was read in, which may lie well ahead:
      // there the frames themselves are counted from the first.
      if (raw_audio) {
        if (raw_next_ < 0) raw_next_ = packet->pos >= 0 ? packet->pos : 0;
        position_ = raw_next_;
        raw_next_ += packet->size;
      } else if (packet->pos >= 0) {
        position_ = packet->pos;
      }
      measured_bytes_ += packet->size;
      int rc = avcodec_send_packet(decoder, packet.get());
      av_packet_unref(packet.get());
      if (rc < 0 && rc != AVERROR(EAGAIN)) {
        if (++bad_packets >= kBadPacketLimit) return not_audio("the audio cannot be decoded");
        continue;
      }
      if (std::optional<Finish> failed = drain(decoder, frame.get(), bad_packets)) return failed;
    }
    // What the decoder still holds belongs to the end of this stream.
    if (!stop_requested() && avcodec_send_packet(decoder, nullptr) >= 0) {
      if (std::optional<Finish> failed = drain(decoder, frame.get(), bad_packets)) return failed;
    }
    return std::nullopt;
  }

  // The format of what was just played, told when it changes.
  void tell_audio(const AVFrame* frame) {
    if (!events_.audio || decoder_ == nullptr) return;
    measured_samples_ += frame->nb_samples;
    AudioFacts facts;
    facts.codec = codec_label(decoder_->codec->name, decoder_->profile);
    facts.sample_rate = static_cast<uint32_t>(frame->sample_rate);
    facts.channels = static_cast<uint32_t>(frame->ch_layout.nb_channels);
    facts.bitrate = announced_bitrate_;
    if (facts.bitrate == 0 && facts_.bitrate_measured) {
      facts.bitrate = facts_.bitrate;
      facts.bitrate_measured = true;
    }
    const double seconds = double(measured_samples_) / frame->sample_rate;
    if (facts.bitrate == 0 && seconds >= kMeasureSeconds) {
      facts.bitrate = static_cast<uint32_t>(double(measured_bytes_) * 8.0 / seconds);
      facts.bitrate_measured = true;
    }
    if (facts == facts_) return;
    facts_ = facts;
    events_.audio(facts);
  }

  // The notes whose audio has now been played.
  void tell_notes() {
    if (!events_.note) {
      queue_.notes_reached(position_);
      return;
    }
    for (const StreamNote& note : queue_.notes_reached(position_)) events_.note(note);
  }

  std::optional<Finish> drain(AVCodecContext* decoder, AVFrame* frame, int& bad_packets) {
    for (;;) {
      int rc = avcodec_receive_frame(decoder, frame);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return std::nullopt;
      if (rc < 0) {
        if (++bad_packets >= kBadPacketLimit) return not_audio("the audio cannot be decoded");
        return std::nullopt;
      }
      bad_packets = 0;
      std::optional<Finish> failed = output(frame);
      av_frame_unref(frame);
      if (failed) return failed;
    }
  }

  std::optional<Finish> output(AVFrame* frame) {
    if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return std::nullopt;
    if (stats_.output_rate == 0) {
      Result<int> rate = sink_.open(frame->sample_rate);
      if (!rate) return output_failed(rate.error());
      stats_.output_rate = *rate;
      if (std::string described = sink_.description(); !described.empty()) {
        log_event("{}", described);
      }
      if (*rate != frame->sample_rate) {
        log_event("output at {} Hz (the stream has {} Hz)", *rate, frame->sample_rate);
      }
    }
    if (!converter_.matches(frame)) {
      if (stats_.frames_written > 0) {
        log_event("audio format changed: {} Hz, {} channels", frame->sample_rate,
                  frame->ch_layout.nb_channels);
      }
      std::optional<std::string> failed = converter_.rebuild(frame, stats_.output_rate);
      if (failed) return not_audio(*failed);
    }
    int frames = 0;
    const std::vector<int16_t>& pcm = converter_.convert(frame, frames);
    if (frames <= 0) return std::nullopt;
    starvation_.since.reset();
    if (!smoother_) smoother_.emplace(stats_.output_rate);
    ready_.clear();
    smoother_->feed(pcm.data(), static_cast<size_t>(frames), ready_);
    if (ready_.empty()) return std::nullopt;
    Status written = sink_.write(ready_.data(), ready_.size() / 2);
    if (!written) return output_failed(written.error());
    stats_.frames_written += static_cast<int64_t>(ready_.size() / 2);
    if (events_.played) events_.played(static_cast<double>(stats_.frames_written) / stats_.output_rate);
    if (!first_audio_done_) {
      first_audio_done_ = true;
      if (events_.first_audio) events_.first_audio();
    }
    tell_audio(frame);
    tell_notes();
    return std::nullopt;
  }

  // The last milliseconds the smoother held back, at the end of all audio.
  std::optional<Finish> write_held() {
    if (!smoother_) return std::nullopt;
    ready_.clear();
    smoother_->end(ready_);
    if (ready_.empty()) return std::nullopt;
    Status written = sink_.write(ready_.data(), ready_.size() / 2);
    if (!written) return output_failed(written.error());
    stats_.frames_written += static_cast<int64_t>(ready_.size() / 2);
    return std::nullopt;
  }

  Finish output_failed(const std::string& why) const {
    if (stop_requested()) return Finish{Outcome::Stopped, "stopped"};
    return Finish{sink_.output_closed() ? Outcome::OutputClosed : Outcome::DeviceFailed, why};
  }

  // Bytes that are no audio: unplayable at the start, a lost stream once
  // audio has played (a later part of the stream went bad).
  std::optional<Finish> not_audio(const std::string& why) {
    if (stop_requested()) return Finish{Outcome::Stopped, "stopped"};
    // An empty stream: the source's own finish says what happened.
    if (reader_.bytes == 0) return std::nullopt;
    if (stats_.frames_written == 0) return Finish{Outcome::Unplayable, why};
    log_event("skipping a part of the stream: {}", why);
    return std::nullopt;
  }

  ByteQueue& queue_;
  AudioSink& sink_;
  const DecodeEvents& events_;
  DecodeStats& stats_;
  AVCodecContext* decoder_ = nullptr;  // of the stream playing
  int64_t position_ = -1;              // in the stream, of the last packet decoded
  int64_t raw_next_ = -1;              // raw audio: where the next frame begins
  AudioFacts facts_;
  uint32_t announced_bitrate_ = 0;
  int64_t measured_bytes_ = 0;
  int64_t measured_samples_ = 0;
  Converter converter_;
  std::optional<JoinSmoother> smoother_;  // once the output's rate is known
  std::vector<int16_t> ready_;            // what the smoother gives for output
  QueueReader reader_;
  Starvation starvation_;
  bool first_audio_done_ = false;
  std::string codec_name_;
};

}  // namespace

Finish decode_queue(ByteQueue& queue, AudioSink& sink, const DecodeEvents& events,
                    DecodeStats& stats, int no_audio_seconds) {
  av_log_set_level(AV_LOG_QUIET);
  Decoder decoder(queue, sink, events, stats, no_audio_seconds);
  return decoder.run();
}

std::string codec_label(std::string_view ffmpeg_name, int profile) {
  if (ffmpeg_name == "mp3" || ffmpeg_name == "mp3float") return "MP3";
  if (ffmpeg_name == "aac" || ffmpeg_name == "aac_fixed" || ffmpeg_name == "aac_latm") {
    switch (profile) {
      case FF_PROFILE_AAC_HE: return "HE-AAC";
      case FF_PROFILE_AAC_HE_V2: return "HE-AAC v2";
      case FF_PROFILE_AAC_LOW:
      case FF_PROFILE_UNKNOWN: return "AAC-LC";
      default: return "AAC";
    }
  }
  return std::string(ffmpeg_name);
}

}  // namespace ze::stream
