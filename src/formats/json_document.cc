#include "formats/json_document.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include <fmt/format.h>

namespace ze::json {

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

namespace {

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

}  // namespace

Json parse(std::string_view text) {
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

std::string quote(std::string_view text) {
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

bool FieldReader::present(const char* key, Need need) const {
  if (object_.contains(key)) return true;
  if (need == Need::Required) throw InvalidDocument(fmt::format("missing field `{}`", key));
  return false;
}

void FieldReader::field(const char* key, std::string& out, Need need) {
  if (!present(key, need)) return;
  const Json& found = object_.at(key);
  if (!found.is_string()) {
    throw InvalidDocument(
        fmt::format("invalid type: {}, expected a string for field `{}`", type_name(found), key));
  }
  out = found.get<std::string>();
}

void FieldReader::field(const char* key, bool& out, Need need) {
  if (!present(key, need)) return;
  const Json& found = object_.at(key);
  if (!found.is_boolean()) {
    throw InvalidDocument(
        fmt::format("invalid type: {}, expected a boolean for field `{}`", type_name(found), key));
  }
  out = found.get<bool>();
}

uint64_t FieldReader::whole(const char* key, uint64_t maximum) const {
  const Json& found = object_.at(key);
  if (!found.is_number_unsigned() && !(found.is_number_integer() && found.get<int64_t>() >= 0)) {
    throw InvalidDocument(fmt::format("invalid type: {}, expected an unsigned integer for field `{}`",
                                      type_name(found), key));
  }
  uint64_t value = found.get<uint64_t>();
  if (value > maximum) {
    throw InvalidDocument(fmt::format("invalid value: {}, out of range for field `{}`", value, key));
  }
  return value;
}

const Json& FieldReader::array(const char* key) const {
  const Json& found = object_.at(key);
  if (!found.is_array()) {
    throw InvalidDocument(
        fmt::format("invalid type: {}, expected a sequence for field `{}`", type_name(found), key));
  }
  return found;
}

std::string& FieldWriter::member(const char* key) {
  if (out_.size() > 1) out_.push_back(',');
  out_ += quote(key);
  out_.push_back(':');
  return out_;
}

void FieldWriter::field(const char* key, const std::string& value, Need) { member(key) += quote(value); }

void FieldWriter::field(const char* key, bool value, Need) { member(key) += value ? "true" : "false"; }

}  // namespace ze::json
