#include "formats/playlist.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <unordered_set>

#include "base/text.h"

namespace ze {
namespace {

constexpr size_t kMaxTitleLength = 512;
// Media and discontinuity sequence numbers above this are absurd; the bound
// leaves room to count segments on top without overflow.
constexpr uint64_t kMaxSequence = uint64_t{1} << 62;
constexpr double kMaxSegmentDuration = 86400;
// Enough of a response to tell text from audio.
constexpr size_t kSniffBytes = 4096;

bool starts_with_ci(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equals_ascii_ci(text.substr(0, prefix.size()), prefix);
}

std::string_view trim_ascii(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\f\v");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\f\v");
  return text.substr(begin, end - begin + 1);
}

std::string_view strip_bom(std::string_view text) {
  return text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
}

// Cuts a text into lines at LF, CRLF or a lone CR, counting them from 1.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(strip_bom(text)) {}

  bool next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find_first_of("\r\n", pos_);
    if (end == std::string_view::npos) end = text_.size();
    line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    if (end < text_.size() && text_[end] == '\r' && pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
    ++number_;
    return true;
  }
  size_t number() const { return number_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  size_t number_ = 0;
};

// A title as shown to the user: valid UTF-8 (a text that is not is read as
// Latin-1, as old playlist writers produced), without control characters,
// trimmed and bounded.
std::string clean_title(std::string_view raw) {
  bool utf8 = is_valid_utf8(raw);
  std::string out;
  size_t pos = 0;
  while (pos < raw.size() && out.size() < kMaxTitleLength) {
    char32_t cp = utf8 ? decode_utf8(raw, pos) : static_cast<unsigned char>(raw[pos++]);
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) continue;
    append_utf8(out, cp);
  }
  return std::string(trim_space(out));
}

// ---- URLs ----

struct UrlParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
};

bool is_scheme(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

UrlParts split_url(std::string_view text) {
  UrlParts parts;
  text = text.substr(0, text.find('#'));
  size_t colon = text.find(':');
  if (colon != std::string_view::npos && is_scheme(text.substr(0, colon))) {
    parts.scheme = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  if (text.starts_with("//")) {
    size_t end = std::min(text.find_first_of("/?", 2), text.size());
    parts.authority = text.substr(2, end - 2);
    text.remove_prefix(end);
  }
  size_t question = text.find('?');
  if (question != std::string_view::npos) {
    parts.query = text.substr(question + 1);
    text = text.substr(0, question);
  }
  parts.path = text;
  return parts;
}

std::string remove_dot_segments(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  auto drop_last_segment = [&out] {
    size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./") || in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../")) {
      in.remove_prefix(3);
      drop_last_segment();
    } else if (in == "/..") {
      in = "/";
      drop_last_segment();
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      size_t next = std::min(in.find('/', 1), in.size());
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

std::string merge_paths(const UrlParts& base, std::string_view reference_path) {
  if (base.authority && base.path.empty()) return "/" + std::string(reference_path);
  size_t slash = base.path.rfind('/');
  std::string merged(slash == std::string_view::npos ? std::string_view() : base.path.substr(0, slash + 1));
  merged.append(reference_path);
  return merged;
}

std::string url_path_lower(std::string_view url) {
  std::string_view path = url.substr(0, url.find_first_of("?#"));
  return ascii_lower(path);
}

// ---- numbers and attribute lists ----

std::optional<uint64_t> parse_integer(std::string_view text) {
  text = trim_ascii(text);
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_decimal(std::string_view text) {
  text = trim_ascii(text);
  if (text.empty() || ((text[0] < '0' || text[0] > '9') && text[0] != '.' && text[0] != '-')) {
    return std::nullopt;
  }
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

struct Attribute {
  std::string_view name;
  std::string_view value;  // quotes removed
};

// NAME=VALUE pairs separated by commas; a quoted value may hold commas.
std::vector<Attribute> parse_attributes(std::string_view text) {
  std::vector<Attribute> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t equals = text.find('=', i);
    if (equals == std::string_view::npos) break;
    Attribute attribute;
    attribute.name = trim_ascii(text.substr(i, equals - i));
    i = equals + 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '"') {
      size_t close = std::min(text.find('"', i + 1), text.size());
      attribute.value = text.substr(i + 1, close - i - 1);
      i = std::min(text.find(',', close), text.size());
    } else {
      size_t comma = std::min(text.find(',', i), text.size());
      attribute.value = trim_ascii(text.substr(i, comma - i));
      i = comma;
    }
    ++i;
    out.push_back(attribute);
  }
  return out;
}

std::optional<std::string_view> find_attribute(const std::vector<Attribute>& attributes,
                                               std::string_view name) {
  for (const Attribute& attribute : attributes) {
    if (attribute.name == name) return attribute.value;
  }
  return std::nullopt;
}

// "length[@offset]"
std::optional<HlsByteRange> parse_byte_range(std::string_view text,
                                             std::optional<uint64_t> default_offset) {
  size_t at = text.find('@');
  std::optional<uint64_t> length = parse_integer(text.substr(0, at));
  std::optional<uint64_t> offset =
      at == std::string_view::npos ? default_offset : parse_integer(text.substr(at + 1));
  if (!length || !offset || *offset > UINT64_MAX - *length) return std::nullopt;
  return HlsByteRange{*length, *offset};
}

std::optional<std::array<uint8_t, 16>> parse_iv(std::string_view text) {
  if (!starts_with_ci(text, "0x")) return std::nullopt;
  std::string_view digits = text.substr(2);
  if (digits.empty() || digits.size() > 32) return std::nullopt;
  std::array<uint8_t, 16> iv{};
  // Right-aligned: the IV is a 128-bit number.
  size_t nibble = 32 - digits.size();
  for (char c : digits) {
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (ascii_lower_char(c) >= 'a' && ascii_lower_char(c) <= 'f') {
      value = ascii_lower_char(c) - 'a' + 10;
    } else {
      return std::nullopt;
    }
    iv[nibble / 2] |= static_cast<uint8_t>(nibble % 2 == 0 ? value << 4 : value);
    ++nibble;
  }
  return iv;
}

// ---- HLS ----

Error line_error(size_t line, const std::string& what) {
  return Error{"line " + std::to_string(line) + ": " + what};
}

class HlsParser {
 public:
  explicit HlsParser(std::string_view base_url) : base_url_(base_url) {}

  Result<HlsPlaylist> parse(std::string_view text) {
    LineReader lines(text);
    std::string_view line;
    bool header = false;
    while (!header && lines.next(line)) {
      line = trim_ascii(line);
      if (line.empty()) continue;
      if (line != "#EXTM3U") return Error{"not an HLS playlist: no #EXTM3U at the start"};
      header = true;
    }
    if (!header) return Error{"not an HLS playlist: empty"};
    while (lines.next(line)) {
      line_ = lines.number();
      if (line.size() > kMaxHlsLine) {
        return line_error(line_, "longer than " + std::to_string(kMaxHlsLine) + " bytes");
      }
      line = trim_ascii(line);
      if (line.empty()) continue;
      std::optional<Error> error = line[0] == '#' ? tag(line) : uri_line(line);
      if (error) return *error;
    }
    return finish();
  }

 private:
  std::optional<Error> tag(std::string_view line) {
    size_t colon = line.find(':');
    std::string_view name = line.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (name == "#EXTINF") return extinf(value);
    if (name == "#EXT-X-TARGETDURATION") return target_duration(value);
    if (name == "#EXT-X-MEDIA-SEQUENCE") return sequence(value, media_.media_sequence);
    if (name == "#EXT-X-DISCONTINUITY-SEQUENCE") return sequence(value, media_.discontinuity_sequence);
    if (name == "#EXT-X-DISCONTINUITY") {
      pending_discontinuity_ = true;
      ++discontinuities_;
    } else if (name == "#EXT-X-ENDLIST") {
      media_.ended = true;
    } else if (name == "#EXT-X-PLAYLIST-TYPE") {
      value = trim_ascii(value);
      if (value == "EVENT") media_.type = HlsPlaylistType::Event;
      if (value == "VOD") media_.type = HlsPlaylistType::Vod;
    } else if (name == "#EXT-X-BYTERANGE") {
      pending_range_ = parse_byte_range(value, next_range_offset_);
      if (!pending_range_) return line_error(line_, "unreadable #EXT-X-BYTERANGE");
    } else if (name == "#EXT-X-KEY") {
      return key(parse_attributes(value));
    } else if (name == "#EXT-X-MAP") {
      return map(parse_attributes(value));
    } else if (name == "#EXT-X-STREAM-INF") {
      return stream_inf(parse_attributes(value));
    } else if (name == "#EXT-X-MEDIA") {
      return media(parse_attributes(value));
    }
    return std::nullopt;  // other tags and comments do not matter here
  }

  std::optional<Error> extinf(std::string_view value) {
    std::optional<double> duration = parse_decimal(value.substr(0, value.find(',')));
    if (!duration || *duration < 0 || *duration > kMaxSegmentDuration) {
      return line_error(line_, "#EXTINF without a segment duration");
    }
    pending_duration_ = duration;
    size_t comma = value.find(',');
    pending_title_ = comma == std::string_view::npos ? std::string()
                                                     : std::string(value.substr(comma + 1, 1024));
    return std::nullopt;
  }

  std::optional<Error> target_duration(std::string_view value) {
    std::optional<double> seconds = parse_decimal(value);
    if (!seconds || *seconds <= 0 || *seconds > kMaxTargetDuration) {
      return line_error(line_, "absurd #EXT-X-TARGETDURATION");
    }
    media_.target_duration = *seconds;
    return std::nullopt;
  }

  std::optional<Error> sequence(std::string_view value, uint64_t& out) {
    std::optional<uint64_t> number = parse_integer(value);
    if (!number || *number > kMaxSequence) return line_error(line_, "absurd sequence number");
    if (!media_.segments.empty()) return line_error(line_, "sequence number after the first segment");
    out = *number;
    return std::nullopt;
  }

  std::optional<Error> key(const std::vector<Attribute>& attributes) {
    std::optional<std::string_view> method = find_attribute(attributes, "METHOD");
    if (!method) return line_error(line_, "#EXT-X-KEY without METHOD");
    std::string_view format = find_attribute(attributes, "KEYFORMAT").value_or("identity");
    std::shared_ptr<const HlsKey> key;
    if (*method == "AES-128" && format == "identity") {
      auto aes = std::make_shared<HlsKey>();
      aes->method = HlsKeyMethod::Aes128;
      aes->method_name = *method;
      Result<std::string> uri = resolve(find_attribute(attributes, "URI"), "key");
      if (!uri) return Error{uri.error()};
      aes->uri = std::move(*uri);
      if (std::optional<std::string_view> iv = find_attribute(attributes, "IV")) {
        aes->iv = parse_iv(*iv);
        if (!aes->iv) return line_error(line_, "unreadable IV");
      }
      key = std::move(aes);
    } else if (*method != "NONE") {
      auto unsupported = std::make_shared<HlsKey>();
      unsupported->method_name = std::string(*method);
      if (format != "identity") unsupported->method_name += " (KEYFORMAT " + std::string(format) + ")";
      key = std::move(unsupported);
    }
    // A playlist may offer one key in several formats; one we can use wins.
    bool usable = !key || key->method == HlsKeyMethod::Aes128;
    if (!(key_since_segment_ && key_usable_ && !usable)) {
      key_ = std::move(key);
      key_usable_ = usable;
    }
    key_since_segment_ = true;
    return std::nullopt;
  }

  std::optional<Error> map(const std::vector<Attribute>& attributes) {
    auto map = std::make_shared<HlsMap>();
    Result<std::string> uri = resolve(find_attribute(attributes, "URI"), "#EXT-X-MAP");
    if (!uri) return Error{uri.error()};
    map->uri = std::move(*uri);
    if (std::optional<std::string_view> range = find_attribute(attributes, "BYTERANGE")) {
      map->byte_range = parse_byte_range(*range, 0);
      if (!map->byte_range) return line_error(line_, "unreadable #EXT-X-MAP BYTERANGE");
    }
    map_ = std::move(map);
    return std::nullopt;
  }

  std::optional<Error> stream_inf(const std::vector<Attribute>& attributes) {
    HlsVariant variant;
    if (std::optional<std::string_view> bandwidth = find_attribute(attributes, "BANDWIDTH")) {
      std::optional<uint64_t> bits = parse_integer(*bandwidth);
      if (!bits) return line_error(line_, "unreadable BANDWIDTH");
      variant.bandwidth = *bits;
    }
    variant.codecs = find_attribute(attributes, "CODECS").value_or("");
    variant.audio_group = find_attribute(attributes, "AUDIO").value_or("");
    variant.line = line_;
    pending_variant_ = std::move(variant);
    return std::nullopt;
  }

  std::optional<Error> media(const std::vector<Attribute>& attributes) {
    std::optional<std::string_view> uri = find_attribute(attributes, "URI");
    if (find_attribute(attributes, "TYPE") != "AUDIO" || !uri) return std::nullopt;
    if (master_.audio_renditions.size() >= kMaxHlsVariants) {
      return line_error(line_, "too many renditions");
    }
    HlsAudioRendition rendition;
    Result<std::string> resolved = resolve(uri, "rendition");
    if (!resolved) return Error{resolved.error()};
    rendition.uri = std::move(*resolved);
    rendition.group_id = find_attribute(attributes, "GROUP-ID").value_or("");
    rendition.name = clean_title(find_attribute(attributes, "NAME").value_or(""));
    rendition.is_default = find_attribute(attributes, "DEFAULT") == "YES";
    rendition.line = line_;
    master_.audio_renditions.push_back(std::move(rendition));
    return std::nullopt;
  }

  std::optional<Error> uri_line(std::string_view line) {
    if (pending_variant_) {
      if (master_.variants.size() >= kMaxHlsVariants) return line_error(line_, "too many variants");
      Result<std::string> uri = resolve(line, "variant");
      if (!uri) return Error{uri.error()};
      pending_variant_->uri = std::move(*uri);
      master_.variants.push_back(std::move(*pending_variant_));
      pending_variant_.reset();
      return std::nullopt;
    }
    if (!pending_duration_) return line_error(line_, "a URI without #EXTINF before it");
    if (media_.segments.size() >= kMaxHlsSegments) {
      return line_error(line_, "more than " + std::to_string(kMaxHlsSegments) + " segments");
    }
    HlsSegment segment;
    Result<std::string> uri = resolve(line, "segment");
    if (!uri) return Error{uri.error()};
    segment.uri = std::move(*uri);
    segment.duration = *pending_duration_;
    segment.title = std::move(pending_title_);
    pending_title_.clear();
    segment.sequence = media_.media_sequence + media_.segments.size();
    segment.discontinuity_sequence = media_.discontinuity_sequence + discontinuities_;
    segment.discontinuity = pending_discontinuity_;
    segment.byte_range = pending_range_;
    segment.key = key_;
    segment.map = map_;
    segment.line = line_;
    next_range_offset_.reset();
    if (pending_range_) next_range_offset_ = pending_range_->offset + pending_range_->length;
    pending_duration_.reset();
    pending_range_.reset();
    pending_discontinuity_ = false;
    key_since_segment_ = false;
    media_.segments.push_back(std::move(segment));
    return std::nullopt;
  }

  Result<std::string> resolve(std::optional<std::string_view> uri, const char* what) {
    if (!uri || uri->empty()) return line_error(line_, std::string(what) + " without a URI");
    if (uri->size() > kMaxAddressLength) return line_error(line_, std::string(what) + " URI too long");
    std::string resolved = resolve_url(base_url_, *uri);
    if (!is_stream_address(resolved)) {
      return line_error(line_, std::string(what) + " URI is not an http(s) address");
    }
    resolved_bytes_ += resolved.size();
    if (resolved_bytes_ > kMaxResolvedBytes) {
      return line_error(line_, "the addresses add up to more than " +
                                   std::to_string(kMaxResolvedBytes >> 20) + " MB");
    }
    return resolved;
  }

  Result<HlsPlaylist> finish() {
    if (!master_.variants.empty()) {
      if (!media_.segments.empty()) return Error{"mixes master and media playlist tags"};
      return HlsPlaylist(std::move(master_));
    }
    if (pending_variant_) return line_error(pending_variant_->line, "#EXT-X-STREAM-INF without a URI");
    if (media_.target_duration <= 0) return Error{"no #EXT-X-TARGETDURATION"};
    return HlsPlaylist(std::move(media_));
  }

  std::string_view base_url_;
  size_t resolved_bytes_ = 0;
  size_t line_ = 0;
  HlsMasterPlaylist master_;
  HlsMediaPlaylist media_;
  std::optional<HlsVariant> pending_variant_;
  std::optional<double> pending_duration_;
  std::string pending_title_;
  std::optional<HlsByteRange> pending_range_;
  std::optional<uint64_t> next_range_offset_;
  bool pending_discontinuity_ = false;
  uint64_t discontinuities_ = 0;
  std::shared_ptr<const HlsKey> key_;
  bool key_usable_ = true;
  bool key_since_segment_ = false;
  std::shared_ptr<const HlsMap> map_;
};

// ---- codecs ----

enum class CodecSupport {
  Unknown,     // no CODECS attribute
  AudioOnly,   // only audio codecs, at least one we play
  WithVideo,   // a codec we play next to video or unknown ones
  Unplayable,  // no codec we play
};

bool playable_audio_codec(std::string_view codec) {
  // AAC of every profile (mp4a.40.x, mp4a.66-68) and MP3 (mp4a.40.34,
  // mp4a.69, mp4a.6b, mp3).
  return codec == "mp3" || codec.starts_with("mp4a.40.") || codec == "mp4a.66" || codec == "mp4a.67" ||
         codec == "mp4a.68" || codec == "mp4a.69" || codec == "mp4a.6b";
}

bool audio_codec(std::string_view codec) {
  constexpr std::string_view kOthers[] = {"ac-3", "ec-3", "ac-4", "opus", "flac", "alac", "dtsc",
                                          "dtse", "dtsh", "dtsl", "dtsx", "mhm1", "mha1", "vorbis"};
  return codec.starts_with("mp4a.") ||
         std::find(std::begin(kOthers), std::end(kOthers), codec) != std::end(kOthers);
}

CodecSupport classify_codecs(std::string_view codecs) {
  if (trim_ascii(codecs).empty()) return CodecSupport::Unknown;
  bool playable = false;
  bool other = false;
  while (!codecs.empty()) {
    size_t comma = std::min(codecs.find(','), codecs.size());
    std::string codec = ascii_lower(trim_ascii(codecs.substr(0, comma)));
    codecs.remove_prefix(std::min(comma + 1, codecs.size()));
    if (codec.empty()) continue;
    if (playable_audio_codec(codec)) {
      playable = true;
    } else if (!audio_codec(codec)) {
      other = true;
    }
  }
  if (!playable) return CodecSupport::Unplayable;
  return other ? CodecSupport::WithVideo : CodecSupport::AudioOnly;
}

// Audio groups whose every referring variant lists codecs and none of them
// is one we play: their renditions cannot be played either.
std::unordered_set<std::string_view> unplayable_groups(const HlsMasterPlaylist& master) {
  std::unordered_set<std::string_view> referenced;
  std::unordered_set<std::string_view> playable;
  for (const HlsVariant& variant : master.variants) {
    referenced.insert(variant.audio_group);
    if (classify_codecs(variant.codecs) != CodecSupport::Unplayable) playable.insert(variant.audio_group);
  }
  std::unordered_set<std::string_view> unplayable;
  for (std::string_view group : referenced) {
    if (!playable.contains(group)) unplayable.insert(group);
  }
  return unplayable;
}

// A path or query as curl sends it, whether it was given the address or
// followed it in a redirect: spaces and bytes above 0x7F percent-encoded
// (in lower-case hexadecimal, as curl writes them), a space in the query
// as "+", every other byte as written.
void append_as_curl_sends(std::string& out, std::string_view part, bool query) {
  constexpr char kHex[] = "0123456789abcdef";
  for (char c : part) {
    auto byte = static_cast<unsigned char>(c);
    if (c == ' ') {
      out.append(query ? "+" : "%20");
    } else if (byte >= 0x80) {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
}

// `reference` resolved against `base`; with `as_curl_sends`, its path and
// query encoded as curl encodes them.
std::string resolve(std::string_view base, std::string_view reference, bool as_curl_sends) {
  UrlParts ref = split_url(reference);
  UrlParts from = split_url(base);
  std::optional<std::string_view> scheme = ref.scheme ? ref.scheme : from.scheme;
  std::optional<std::string_view> authority;
  std::string path;
  std::optional<std::string_view> query = ref.query;
  if (ref.scheme || ref.authority) {
    authority = ref.authority;
    path = remove_dot_segments(ref.path);
  } else {
    authority = from.authority;
    if (ref.path.empty()) {
      path = remove_dot_segments(from.path);
      if (!ref.query) query = from.query;
    } else if (ref.path.starts_with('/')) {
      path = remove_dot_segments(ref.path);
    } else {
      path = remove_dot_segments(merge_paths(from, ref.path));
    }
  }
  std::string out;
  out.reserve(reference.size() + base.size());
  if (scheme) out.append(ascii_lower(*scheme)).append(":");
  if (authority) out.append("//").append(*authority);
  // A path starting with "//" would read back as an authority.
  if (!authority && path.starts_with("//")) out.append("/.");
  if (!as_curl_sends) {
    out.append(path);
    if (query) out.append("?").append(*query);
    return out;
  }
  append_as_curl_sends(out, path, false);
  if (query) {
    out.append("?");
    append_as_curl_sends(out, *query, true);
  }
  return out;
}

}  // namespace

std::string resolve_url(std::string_view base, std::string_view reference) {
  return resolve(base, reference, true);
}

bool has_binary_bytes(std::string_view bytes) {
  // Audio streams (MP3 and ADTS sync words, ID3 headers, MPEG-TS, MP4 boxes)
  // show NUL, control or 0xFF bytes within their first few bytes; no text
  // playlist has them.
  return std::any_of(bytes.begin(), bytes.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f') ||
           byte == 0x7F || byte == 0xFF;
  });
}

ContentKind sniff_content(std::string_view url, std::string_view content_type,
                          std::string_view first_bytes) {
  std::string_view head = first_bytes.substr(0, kSniffBytes);
  if (has_binary_bytes(head)) return ContentKind::Media;

  std::string type = ascii_lower(trim_ascii(content_type.substr(0, content_type.find(';'))));
  std::string path = url_path_lower(url);
  bool hls_type = type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl";
  bool m3u_type = type == "audio/mpegurl" || type == "audio/x-mpegurl";
  bool pls_type = type == "audio/x-scpls" || type == "application/pls+xml";

  std::string_view text = strip_bom(head);
  text.remove_prefix(std::min(text.find_first_not_of(" \t\r\n\f"), text.size()));
  if (starts_with_ci(text, "#EXTM3U")) {
    if (text.find("#EXT-X-") != std::string_view::npos || hls_type || path.ends_with(".m3u8")) {
      return ContentKind::HlsPlaylist;
    }
    return ContentKind::M3u;
  }
  if (starts_with_ci(text, "[playlist]")) return ContentKind::Pls;
  if (pls_type || path.ends_with(".pls")) return ContentKind::Pls;
  if (hls_type || m3u_type || path.ends_with(".m3u") || path.ends_with(".m3u8")) return ContentKind::M3u;
  // A text whose first line is an address is a list of addresses.
  std::string_view first_line = trim_ascii(text.substr(0, text.find_first_of("\r\n")));
  if (is_stream_address(first_line)) return ContentKind::M3u;
  return ContentKind::Media;
}

namespace {

// Checks one address of a list and adds it as an entry or, while there is
// room, as a skipped one.
void add_entry(Playlist& playlist, std::string_view address, std::string_view base_url,
               std::string title, size_t line, size_t max_entries) {
  const char* reason = nullptr;
  std::string url;
  if (address.empty()) {
    reason = "no address";
  } else if (address.starts_with('-')) {
    reason = "starts with '-'";
  } else if (address.size() > kMaxAddressLength) {
    reason = "address too long";
  } else {
    // A list read without a base (the user's own file) keeps its addresses
    // as written: a station is known by its address, and curl encodes what
    // it must when it fetches one.
    url = resolve(base_url, address, !base_url.empty());
    if (!is_stream_address(url)) reason = "not an http(s) address";
  }
  if (!reason) {
    playlist.entries.push_back({std::move(url), std::move(title), line});
  } else if (playlist.skipped.size() < max_entries) {
    playlist.skipped.push_back({line, reason});
  }
}

// The title after the first comma outside quotes of "#EXTINF:-1 a="x,y",Name".
std::string_view extinf_title(std::string_view value) {
  bool quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '"') quoted = !quoted;
    if (value[i] == ',' && !quoted) return value.substr(i + 1);
  }
  return {};
}

}  // namespace

Playlist parse_m3u(std::string_view text, std::string_view base_url, size_t max_entries) {
  Playlist playlist;
  LineReader lines(text);
  std::string_view line;
  std::string title;
  while (playlist.entries.size() < max_entries && lines.next(line)) {
    line = trim_ascii(line);
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (starts_with_ci(line, "#EXTINF:")) title = clean_title(extinf_title(line.substr(8)));
      continue;
    }
    add_entry(playlist, line, base_url, std::move(title), lines.number(), max_entries);
    title.clear();
  }
  return playlist;
}

Playlist parse_pls(std::string_view text, std::string_view base_url, size_t max_entries) {
  struct Numbered {
    std::string_view file;
    size_t line = 0;
    std::string title;
  };
  std::map<uint64_t, Numbered> numbered;
  LineReader lines(text);
  std::string_view line;
  while (lines.next(line)) {
    line = trim_ascii(line);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = trim_ascii(line.substr(0, equals));
    std::string_view value = trim_ascii(line.substr(equals + 1));
    bool file = starts_with_ci(key, "File");
    bool title = starts_with_ci(key, "Title");
    if (!file && !title) continue;
    std::optional<uint64_t> number = parse_integer(key.substr(file ? 4 : 5));
    if (!number) continue;
    // Numbers that are not listed yet make new entries only while the list
    // stays bounded; the first FileN or TitleN of a number wins.
    auto found = numbered.find(*number);
    if (found == numbered.end()) {
      if (numbered.size() / 4 >= max_entries) continue;
      found = numbered.emplace(*number, Numbered{}).first;
    }
    if (file && found->second.line == 0) {
      found->second.file = value;
      found->second.line = lines.number();
    } else if (title && found->second.title.empty()) {
      found->second.title = clean_title(value);
    }
  }
  Playlist playlist;
  for (auto& [number, entry] : numbered) {
    if (playlist.entries.size() >= max_entries) break;
    if (entry.line == 0) continue;  // a title without a file
    add_entry(playlist, entry.file, base_url, std::move(entry.title), entry.line, max_entries);
  }
  return playlist;
}

double listed_seconds(const HlsMediaPlaylist& playlist) {
  double total = 0;
  for (const HlsSegment& segment : playlist.segments) total += segment.duration;
  return total;
}

Result<HlsPlaylist> parse_hls(std::string_view text, std::string_view base_url) {
  return HlsParser(base_url).parse(text);
}

std::vector<HlsChoice> variant_order(const HlsMasterPlaylist& master, uint64_t max_bandwidth) {
  std::vector<HlsChoice> order;
  std::unordered_set<std::string_view> listed;
  auto add = [&](const std::string& uri, bool rendition, size_t index) {
    if (listed.insert(uri).second) order.push_back({uri, rendition, index});
  };
  std::unordered_set<std::string_view> unplayable = unplayable_groups(master);
  auto add_renditions = [&](bool playable) {
    std::vector<size_t> picked;
    for (size_t i = 0; i < master.audio_renditions.size(); ++i) {
      if (unplayable.contains(master.audio_renditions[i].group_id) != playable) picked.push_back(i);
    }
    std::stable_sort(picked.begin(), picked.end(), [&](size_t a, size_t b) {
      return master.audio_renditions[a].is_default && !master.audio_renditions[b].is_default;
    });
    for (size_t i : picked) add(master.audio_renditions[i].uri, true, i);
  };
  auto add_variants = [&](auto wanted) {
    std::vector<size_t> picked;
    for (size_t i = 0; i < master.variants.size(); ++i) {
      if (wanted(classify_codecs(master.variants[i].codecs))) picked.push_back(i);
    }
    // Within the limit from the highest down, then above it from the lowest up.
    auto rank = [&](size_t i) {
      uint64_t bandwidth = master.variants[i].bandwidth;
      return bandwidth <= max_bandwidth ? std::pair<int, uint64_t>(0, UINT64_MAX - bandwidth)
                                        : std::pair<int, uint64_t>(1, bandwidth);
    };
    std::stable_sort(picked.begin(), picked.end(), [&](size_t a, size_t b) { return rank(a) < rank(b); });
    for (size_t i : picked) add(master.variants[i].uri, false, i);
  };
  add_renditions(true);
  add_variants([](CodecSupport s) { return s == CodecSupport::AudioOnly; });
  add_variants([](CodecSupport s) { return s == CodecSupport::Unknown || s == CodecSupport::WithVideo; });
  add_renditions(false);
  add_variants([](CodecSupport s) { return s == CodecSupport::Unplayable; });
  return order;
}

}  // namespace ze
