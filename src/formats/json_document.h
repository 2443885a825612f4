// The JSON documents of the player and the engine, read and written through
// one declaration of their fields. A record type declares its fields once,
// in a `describe(Fields&, Record&)` function found by argument-dependent
// lookup; read_document and write_document walk that declaration. Reading is
// strict: a missing required key, a repeated key, a value of the wrong type
// (null included) or text after the document makes the whole document
// invalid. Unknown keys are skipped. Writing gives compact JSON with the keys
// in declaration order and no final newline. Pure functions.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result.h"

namespace ze::json {

using Json = nlohmann::json;

// Whether a field must be there when a document is read. Written documents
// always carry every field (an empty std::optional excepted).
enum class Need { Required, Optional };

// Why a document was refused; raised inside the readers only, and turned
// into an Error by read_document and guarded.
struct InvalidDocument : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The document in `text`; a key repeated within one object, a byte order
// mark or a NUL byte makes it invalid. Throws InvalidDocument.
Json parse(std::string_view text);
// "string", "integer", "null", ... for messages.
std::string type_name(const Json& value);
// `value` itself when it is an object; otherwise refuses the document with
// "invalid type: T, expected RECORD".
const Json& expect_object(const Json& value, std::string_view record);
// A JSON string literal with the escapes the written documents use.
std::string quote(std::string_view text);

// What a record's `describe` function takes: the record itself for reading,
// the const record for writing, so one declaration serves both.
template <typename Self, typename Record>
concept Describes = std::is_same_v<std::remove_const_t<Self>, Record>;

// Runs `body`, turning a refused document into an Error.
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

// Reads the fields of one JSON object into a record.
class FieldReader {
 public:
  explicit FieldReader(const Json& object) : object_(object) {}

  void field(const char* key, std::string& out, Need need);
  void field(const char* key, bool& out, Need need);
  template <typename Number>
    requires std::is_unsigned_v<Number>
  void field(const char* key, Number& out, Need need) {
    if (present(key, need)) out = static_cast<Number>(whole(key, std::numeric_limits<Number>::max()));
  }
  // Present or not; when present, of the field's type.
  template <typename T>
  void field(const char* key, std::optional<T>& out, Need) {
    if (!object_.contains(key)) return;
    T value{};
    field(key, value, Need::Required);
    out = std::move(value);
  }
  // An array of records, each an object named `record` in messages; those
  // beyond `limit` are left out.
  template <typename Record>
  void list(const char* key, std::vector<Record>& out, const char* record, Need need,
            size_t limit = SIZE_MAX) {
    if (!present(key, need)) return;
    for (const Json& item : array(key)) {
      if (out.size() == limit) break;
      FieldReader element(expect_object(item, record));
      Record value;
      describe(element, value);
      out.push_back(std::move(value));
    }
  }

 private:
  // Whether `key` is there; a required one that is not refuses the document.
  bool present(const char* key, Need need) const;
  uint64_t whole(const char* key, uint64_t maximum) const;
  const Json& array(const char* key) const;

  const Json& object_;
};

// Writes the fields of a record as one compact JSON object.
class FieldWriter {
 public:
  void field(const char* key, const std::string& value, Need);
  void field(const char* key, bool value, Need);
  template <typename Number>
    requires std::is_unsigned_v<Number>
  void field(const char* key, Number value, Need) {
    member(key) += std::to_string(value);
  }
  template <typename T>
  void field(const char* key, const std::optional<T>& value, Need need) {
    if (value) field(key, *value, need);
  }
  template <typename Record>
  void list(const char* key, const std::vector<Record>& values, const char*, Need,
            size_t limit = SIZE_MAX) {
    std::string& out = member(key);
    out.push_back('[');
    for (size_t i = 0; i < values.size() && i < limit; ++i) {
      if (i > 0) out.push_back(',');
      out += write_object(values[i]);
    }
    out.push_back(']');
  }

  template <typename Record>
  static std::string write_object(const Record& record) {
    FieldWriter writer;
    describe(writer, record);
    writer.out_.push_back('}');
    return std::move(writer.out_);
  }

 private:
  // The text so far with `"key":` appended, ready for the value.
  std::string& member(const char* key);

  std::string out_ = "{";
};

// The record a document holds, read through its fields' declaration;
// `record` names it in messages ("struct NowPlaying").
template <typename Record>
Result<Record> read_document(std::string_view text, const char* record) {
  return guarded<Record>([&] {
    Json document = parse(text);
    FieldReader reader(expect_object(document, record));
    Record value;
    describe(reader, value);
    return value;
  });
}

template <typename Record>
std::string write_document(const Record& record) {
  return FieldWriter::write_object(record);
}

}  // namespace ze::json
