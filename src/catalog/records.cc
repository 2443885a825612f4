#include "catalog/records.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace ze {
namespace {

using Json = nlohmann::json;

// Raised inside this file only; every public function turns it into an Error.
struct InvalidDocument : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "boolean";
    case Json::value_t::string: return "string";
    case Json::value_t::array: return "array";
    case Json::value_t::object: return "object";
    case Json::value_t::number_float: return "floating point number";
    case Json::value_t::number_integer: return "integer";
    case Json::value_t::number_unsigned: return "integer";
    default: return "value";
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `token` is a JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view token) {
  size_t i = 0;
  auto digits = [&] {
    size_t from = i;
    while (i < token.size() && is_digit(token[i])) ++i;
    return i - from;
  };
  if (i < token.size() && token[i] == '-') ++i;
  if (i < token.size() && token[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return false;
  }
  if (i < token.size() && token[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == token.size();
}

// The parser refuses a number beyond the range of a double wherever it
// stands, even under a key that no record reads (and such keys are skipped
// whatever their value). Each such number is written as the largest double
// of its sign instead: no record takes that either, since every number a
// record reads is a whole number, so only the unread keys change. Returns
// `text` itself when it holds none; otherwise the rewritten copy in `storage`.
std::string_view tame_huge_numbers(std::string_view text, std::string& storage) {
  size_t copied = 0;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '-' || is_digit(c)) {
      const size_t start = i;
      while (i < text.size() && (is_digit(text[i]) || text[i] == '-' || text[i] == '+' ||
                                 text[i] == '.' || text[i] == 'e' || text[i] == 'E')) {
        ++i;
      }
      std::string_view token = text.substr(start, i - start);
      if (!is_json_number(token)) continue;  // the parser reports it
      if (!std::isinf(std::strtod(std::string(token).c_str(), nullptr))) continue;
      storage.append(text, copied, start - copied);
      storage += token.front() == '-' ? "-1.7976931348623157e308" : "1.7976931348623157e308";
      copied = i;
    } else {
      ++i;
    }
  }
  if (copied == 0) return text;
  storage.append(text, copied);
  return storage;
}

// Builds the document from the parser's events, refusing a key repeated
// within one object. Each object finds a repeat by looking the key up in
// itself, so the time stays proportional to the document's size whatever
// it holds (the library's callback parser looks through an object's parent
// at every object's end).
class DocumentBuilder final : public nlohmann::json_sax<Json> {
 public:
  explicit DocumentBuilder(Json& root) : root_(root) {}

  // Why parsing stopped: the library's message or a repeated key.
  const std::string& error() const { return error_; }

  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override { return add(std::move(value)); }
  bool binary(binary_t& value) override { return add(Json::binary(std::move(value))); }
  bool start_object(std::size_t) override { return open(Json::object()); }
  bool start_array(std::size_t) override { return open(Json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& key) override {
    auto& members = open_.back()->get_ref<Json::object_t&>();
    auto [member, added] = members.try_emplace(std::move(key));  // not moved when present
    if (!added) {
      error_ = fmt::format("duplicate field `{}`", key);
      return false;
    }
    member_ = &member->second;
    return true;
  }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) override {
    error_ = error.what();
    return false;
  }

 private:
  // Stores `value` where the document stands: the root, the next element of
  // the open array, or the member whose key came last.
  template <typename Value>
  Json* place(Value&& value) {
    if (open_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return &root_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      auto& elements = parent.get_ref<Json::array_t&>();
      elements.emplace_back(std::forward<Value>(value));
      return &elements.back();
    }
    *member_ = Json(std::forward<Value>(value));
    return member_;
  }
  template <typename Value>
  bool add(Value&& value) {
    place(std::forward<Value>(value));
    return true;
  }
  // The open containers stay where they are: only the innermost one grows.
  bool open(Json&& container) {
    open_.push_back(place(std::move(container)));
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }

  Json& root_;
  std::vector<Json*> open_;  // the containers being filled, outermost first
  Json* member_ = nullptr;   // the value slot of the last key
  std::string error_;
};

// Parses one JSON document; a key repeated within one object is an error.
Json parse_document(std::string_view text) {
  // Only white space may surround a document; the parser would skip a
  // byte order mark silently.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    throw InvalidDocument("byte order mark before the document");
  }
  // The parser takes a NUL byte for the end of the text and would accept
  // anything after it; no JSON text holds one.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
    throw InvalidDocument(fmt::format("NUL byte at offset {} of the document", nul));
  }
  std::string tamed;
  text = tame_huge_numbers(text, tamed);
  Json document;
  DocumentBuilder builder(document);
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) {
    throw InvalidDocument(builder.error().empty() ? "invalid document" : builder.error());
  }
  return document;
}

const Json& expect_object(const Json& value, std::string_view record) {
  if (!value.is_object()) {
    throw InvalidDocument(fmt::format("invalid type: {}, expected {}", type_name(value), record));
  }
  return value;
}

std::string text_field(const Json& object, const char* key, bool required,
                       const char* fallback = "") {
  auto found = object.find(key);
  if (found == object.end()) {
    if (required) throw InvalidDocument(fmt::format("missing field `{}`", key));
    return fallback;
  }
  if (!found->is_string()) {
    throw InvalidDocument(
        fmt::format("invalid type: {}, expected a string for field `{}`", type_name(*found), key));
  }
  return found->get<std::string>();
}

uint64_t unsigned_field(const Json& object, const char* key, uint64_t maximum) {
  auto found = object.find(key);
  if (found == object.end()) throw InvalidDocument(fmt::format("missing field `{}`", key));
  if (!found->is_number_unsigned() && !(found->is_number_integer() && found->get<int64_t>() >= 0)) {
    throw InvalidDocument(fmt::format("invalid type: {}, expected an unsigned integer for field `{}`",
                                      type_name(*found), key));
  }
  uint64_t value = found->get<uint64_t>();
  if (value > maximum) {
    throw InvalidDocument(fmt::format("invalid value: {}, out of range for field `{}`", value, key));
  }
  return value;
}

const Json& array_field(const Json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end()) throw InvalidDocument(fmt::format("missing field `{}`", key));
  if (!found->is_array()) {
    throw InvalidDocument(
        fmt::format("invalid type: {}, expected a sequence for field `{}`", type_name(*found), key));
  }
  return *found;
}

Category read_category(const Json& value) {
  const Json& object = expect_object(value, "struct Category");
  Category category;
  category.id = text_field(object, "id", true);
  category.name = text_field(object, "name", true);
  category.name_en = text_field(object, "nameEn", false);
  return category;
}

Channel read_channel(const Json& value) {
  const Json& object = expect_object(value, "struct Channel");
  Channel channel;
  channel.id = text_field(object, "id", true);
  channel.name = text_field(object, "name", true);
  channel.short_name = text_field(object, "shortName", false);
  channel.frequency = text_field(object, "frequency", false);
  channel.category = text_field(object, "category", true);
  channel.color = text_field(object, "color", false, "E11D48");
  channel.stream_url = text_field(object, "streamUrl", true);
  channel.fallback_url = text_field(object, "fallbackUrl", false);
  channel.description = text_field(object, "description", false);
  return channel;
}

template <typename T, typename Body>
Result<T> guarded(Body body) {
  try {
    return body();
  } catch (const InvalidDocument& error) {
    return Error{error.what()};
  } catch (const Json::exception& error) {
    return Error{error.what()};
  }
}

}  // namespace

Result<ChannelCatalog> parse_catalog(std::string_view text) {
  return guarded<ChannelCatalog>([&] {
    Json document = parse_document(text);
    const Json& root = expect_object(document, "struct ChannelCatalog");
    ChannelCatalog catalog;
    catalog.version = text_field(root, "version", true);
    catalog.updated_at = text_field(root, "updatedAt", false);
    for (const Json& item : array_field(root, "categories")) {
      catalog.categories.push_back(read_category(item));
    }
    for (const Json& item : array_field(root, "channels")) {
      catalog.channels.push_back(read_channel(item));
    }
    return catalog;
  });
}

Result<OtaManifest> parse_manifest(std::string_view text) {
  return guarded<OtaManifest>([&] {
    Json document = parse_document(text);
    const Json& root = expect_object(document, "struct OtaManifest");
    OtaManifest manifest;
    manifest.id = text_field(root, "id", true);
    manifest.version = text_field(root, "version", true);
    manifest.download_url = text_field(root, "downloadUrl", true);
    manifest.channels_url = text_field(root, "channelsUrl", false);
    manifest.summary = text_field(root, "summary", false);
    return manifest;
  });
}

Result<PersistedState> parse_state(std::string_view text) {
  return guarded<PersistedState>([&] {
    Json document = parse_document(text);
    const Json& root = expect_object(document, "struct PersistedState");
    PersistedState state;
    state.station_id = text_field(root, "station_id", true);
    state.station_name = text_field(root, "station_name", true);
    state.stream_url = text_field(root, "stream_url", true);
    state.frequency = text_field(root, "frequency", true);
    state.pid = static_cast<uint32_t>(unsigned_field(root, "pid", UINT32_MAX));
    state.started_at = unsigned_field(root, "started_at", UINT64_MAX);
    if (root.contains("process_start")) {
      state.process_start = unsigned_field(root, "process_start", UINT64_MAX);
    }
    if (root.contains("process_name")) state.process_name = text_field(root, "process_name", true);
    return state;
  });
}

Result<NowPlaying> parse_now_playing(std::string_view text) {
  return guarded<NowPlaying>([&] {
    Json document = parse_document(text);
    const Json& root = expect_object(document, "struct NowPlaying");
    auto number = [&](const char* key, uint64_t maximum) {
      return root.contains(key) ? unsigned_field(root, key, maximum) : 0;
    };
    NowPlaying now;
    now.title = text_field(root, "title", false);
    now.artist = text_field(root, "artist", false);
    if (root.contains("history")) {
      for (const Json& item : array_field(root, "history")) {
        if (now.history.size() == kNowPlayingHistory) break;
        const Json& entry = expect_object(item, "struct PlayedTitle");
        PlayedTitle played;
        played.title = text_field(entry, "title", true);
        played.artist = text_field(entry, "artist", false);
        played.started_at = unsigned_field(entry, "started_at", UINT64_MAX);
        now.history.push_back(std::move(played));
      }
    }
    now.station = text_field(root, "station_name", false);
    now.codec = text_field(root, "codec", false);
    now.bitrate = static_cast<uint32_t>(number("bitrate", UINT32_MAX));
    if (root.contains("bitrate_measured")) {
      const Json& measured = root.at("bitrate_measured");
      if (!measured.is_boolean()) {
        throw InvalidDocument(fmt::format(
            "invalid type: {}, expected a boolean for field `bitrate_measured`", type_name(measured)));
      }
      now.bitrate_measured = measured.get<bool>();
    }
    now.sample_rate = static_cast<uint32_t>(number("sample_rate", UINT32_MAX));
    now.channels = static_cast<uint32_t>(number("channels", UINT32_MAX));
    now.carrier = text_field(root, "carrier", false);
    now.output = text_field(root, "output", false);
    now.output_name = text_field(root, "output_name", false);
    return now;
  });
}

Result<std::vector<std::string>> parse_favorites(std::string_view text) {
  return guarded<std::vector<std::string>>([&] {
    Json document = parse_document(text);
    if (!document.is_array()) {
      throw InvalidDocument(
          fmt::format("invalid type: {}, expected a sequence", type_name(document)));
    }
    std::vector<std::string> ids;
    for (const Json& item : document) {
      if (!item.is_string()) {
        throw InvalidDocument(
            fmt::format("invalid type: {}, expected a string", type_name(item)));
      }
      ids.push_back(item.get<std::string>());
    }
    return ids;
  });
}

std::string json_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string write_state(const PersistedState& state) {
  std::string out = fmt::format(
      "{{\"station_id\":{},\"station_name\":{},\"stream_url\":{},\"frequency\":{},\"pid\":{},"
      "\"started_at\":{}",
      json_quote(state.station_id), json_quote(state.station_name), json_quote(state.stream_url),
      json_quote(state.frequency), state.pid, state.started_at);
  if (state.process_start) out += fmt::format(",\"process_start\":{}", *state.process_start);
  if (state.process_name) out += ",\"process_name\":" + json_quote(*state.process_name);
  out.push_back('}');
  return out;
}

std::string write_now_playing(const NowPlaying& now) {
  std::string history;
  for (size_t i = 0; i < now.history.size() && i < kNowPlayingHistory; ++i) {
    const PlayedTitle& played = now.history[i];
    if (i > 0) history.push_back(',');
    history += fmt::format("{{\"title\":{},\"artist\":{},\"started_at\":{}}}",
                           json_quote(played.title), json_quote(played.artist), played.started_at);
  }
  return fmt::format(
      "{{\"title\":{},\"artist\":{},\"history\":[{}],\"station_name\":{},\"codec\":{},"
      "\"bitrate\":{},\"bitrate_measured\":{},\"sample_rate\":{},\"channels\":{},"
      "\"carrier\":{},\"output\":{},\"output_name\":{}}}",
      json_quote(now.title), json_quote(now.artist), history, json_quote(now.station),
      json_quote(now.codec), now.bitrate, now.bitrate_measured ? "true" : "false",
      now.sample_rate, now.channels, json_quote(now.carrier), json_quote(now.output),
      json_quote(now.output_name));
}

std::string write_favorites(const std::vector<std::string>& ids) {
  if (ids.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    out += "\n  ";
    out += json_quote(ids[i]);
    if (i + 1 < ids.size()) out.push_back(',');
  }
  out += "\n]";
  return out;
}

}  // namespace ze
