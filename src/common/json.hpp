#pragma once
// JSON documents read and written the way the host's json module does it:
// key order kept, integers of any size stay integers, NaN/Infinity accepted,
// and output byte for byte equal to json.dump(obj, f, indent=N).
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.hpp"

namespace mirelo {

struct JsonMember;

/// One JSON value. Objects keep their members in file order; a repeated key
/// keeps its first position and its last value, as the host's dict does.
struct JsonValue {
  enum class Kind : uint8_t { Null, Bool, Int, Float, String, Array, Object };

  Kind kind = Kind::Null;
  bool boolean = false;
  int64_t integer = 0;   ///< Int that fits in 64 bits
  double number = 0.0;   ///< Float
  /// String: UTF-8 text (a lone \uD800-\uDFFF escape is kept as its 3-byte
  /// form). Int beyond 64 bits: its decimal digits, with '-' when negative.
  std::string text;
  bool big_int = false;
  std::vector<JsonValue> items;                               ///< Array
  std::vector<JsonMember> members;                            ///< Object

  bool is_object() const { return kind == Kind::Object; }
  bool is_array() const { return kind == Kind::Array; }
  bool is_string() const { return kind == Kind::String; }
  bool is_number() const { return kind == Kind::Int || kind == Kind::Float; }

  /// Member `key` of an object, or nullptr.
  const JsonValue* find(std::string_view key) const;
  JsonValue* find(std::string_view key);

  /// The host's name of the value's type ("dict", "list", "str", "int",
  /// "float", "bool", "NoneType"), for messages.
  const char* type_name() const;

  /// Values made in code (the files the library writes).
  static JsonValue integer_value(int64_t v);
  static JsonValue text_value(std::string v);
  // Overloads rather than default arguments: JsonMember is not complete
  // here, and clang instantiates a default argument where it is declared.
  static JsonValue array_value();
  static JsonValue array_value(std::vector<JsonValue> items);
  static JsonValue object_value();
  static JsonValue object_value(std::vector<JsonMember> members);
};

/// A member of a JSON object. A type of its own rather than a std::pair:
/// a pair of an incomplete JsonValue inside JsonValue is not portable C++
/// (clang rejects it with libstdc++), and every compiler must build this.
struct JsonMember {
  JsonMember() = default;
  JsonMember(std::string key, JsonValue value) : first(std::move(key)), second(std::move(value)) {}
  std::string first;
  JsonValue second;
};

/// Parses a JSON text as json.loads does (NaN, Infinity and -Infinity
/// accepted; control characters inside strings rejected; nesting limited to
/// 1000 levels). Throws ValueError naming `source` and the line and column.
JsonValue parse_json(std::string_view text, const std::string& source = "<string>");

/// Reads and parses a UTF-8 JSON file (a leading byte-order mark is skipped).
/// Throws FileNotFoundError / OSError as the host's open() reports them, and
/// ValueError for malformed content.
JsonValue read_json_file(const std::string& path);

/// The text json.dump(value, f, indent=indent) writes: ensure_ascii escapes,
/// ", " / ": " separators with newlines, floats as repr, NaN as NaN, no
/// trailing newline. A negative `indent` gives the one-line form of
/// json.dumps(value) (indent=None).
std::string dump_json(const JsonValue& value, int indent);

}  // namespace mirelo
