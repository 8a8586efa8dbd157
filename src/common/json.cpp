#include "common/json.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/format.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

constexpr int kMaxDepth = 1000;

class Parser {
 public:
  Parser(std::string_view text, const std::string& source) : s_(text), source_(source) {}

  JsonValue parse_document() {
    skip_ws();
    JsonValue v = parse_value(0);
    skip_ws();
    if (pos_ != s_.size()) fail("Extra data", pos_);
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what, size_t at) const {
    // Line, column and position counted in characters, as the host reports them.
    size_t line = 1, col = 1, chars = 0;
    for (size_t k = 0; k < at && k < s_.size(); ++k) {
      const auto c = static_cast<uint8_t>(s_[k]);
      if ((c & 0xC0) == 0x80) continue;
      ++chars;
      if (c == '\n') {
        ++line;
        col = 1;
      } else {
        ++col;
      }
    }
    throw ValueError("invalid JSON in " + source_ + ": " + what + ": line " + std::to_string(line) +
                     " column " + std::to_string(col) + " (char " + std::to_string(chars) + ")");
  }

  bool at_end() const { return pos_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[pos_]; }

  void skip_ws() {
    while (!at_end()) {
      const char c = s_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  bool match(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue parse_value(int depth) {
    if (at_end()) fail("Expecting value", pos_);
    const char c = s_[pos_];
    JsonValue v;
    if (c == '"') {
      v.kind = JsonValue::Kind::String;
      v.text = parse_string();
    } else if (c == '{') {
      parse_object(v, depth + 1);
    } else if (c == '[') {
      parse_array(v, depth + 1);
    } else if (match("null")) {
      v.kind = JsonValue::Kind::Null;
    } else if (match("true")) {
      v.kind = JsonValue::Kind::Bool;
      v.boolean = true;
    } else if (match("false")) {
      v.kind = JsonValue::Kind::Bool;
    } else if ((c == '-' && pos_ + 1 < s_.size() && s_[pos_ + 1] >= '0' && s_[pos_ + 1] <= '9') ||
               (c >= '0' && c <= '9')) {
      parse_number(v);
    } else if (match("NaN")) {
      v.kind = JsonValue::Kind::Float;
      v.number = std::nan("");
    } else if (match("Infinity")) {
      v.kind = JsonValue::Kind::Float;
      v.number = HUGE_VAL;
    } else if (match("-Infinity")) {
      v.kind = JsonValue::Kind::Float;
      v.number = -HUGE_VAL;
    } else {
      fail("Expecting value", pos_);
    }
    return v;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? : an integer unless a
  // fraction or an exponent follows.
  void parse_number(JsonValue& v) {
    const size_t start = pos_;
    auto digit = [&] { return !at_end() && s_[pos_] >= '0' && s_[pos_] <= '9'; };
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else {
      while (digit()) ++pos_;
    }
    const size_t int_end = pos_;
    bool is_float = false;
    if (peek() == '.' && pos_ + 1 < s_.size() && s_[pos_ + 1] >= '0' && s_[pos_ + 1] <= '9') {
      ++pos_;
      while (digit()) ++pos_;
      is_float = true;
    }
    if (peek() == 'e' || peek() == 'E') {
      size_t k = pos_ + 1;
      if (k < s_.size() && (s_[k] == '+' || s_[k] == '-')) ++k;
      if (k < s_.size() && s_[k] >= '0' && s_[k] <= '9') {
        pos_ = k;
        while (digit()) ++pos_;
        is_float = true;
      }
    }
    const std::string text(s_.substr(start, pos_ - start));
    if (is_float) {
      v.kind = JsonValue::Kind::Float;
      v.number = c_strtod(text);
      return;
    }
    v.kind = JsonValue::Kind::Int;
    const std::string digits(s_.substr(start, int_end - start));
    errno = 0;
    char* end = nullptr;
    const long long x = std::strtoll(digits.c_str(), &end, 10);
    if (errno == ERANGE) {
      v.big_int = true;
      v.text = digits;
    } else {
      v.integer = x;
    }
  }

  uint32_t parse_hex4(size_t at) {
    if (at + 4 > s_.size()) fail("Invalid \\uXXXX escape", at - 1);
    uint32_t cp = 0;
    for (size_t k = at; k < at + 4; ++k) {
      const char c = s_[k];
      cp <<= 4;
      if (c >= '0' && c <= '9') {
        cp |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        cp |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        cp |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        fail("Invalid \\uXXXX escape", at - 1);
      }
    }
    return cp;
  }

  std::string parse_string() {
    const size_t start = pos_;
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (at_end()) fail("Unterminated string starting at", start);
      const auto c = static_cast<uint8_t>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) fail("Invalid control character at", pos_);
      if (c == '\\') {
        if (pos_ + 1 >= s_.size()) fail("Unterminated string starting at", start);
        const char e = s_[pos_ + 1];
        switch (e) {
          case '"': out.push_back('"'); break;
          case '\\': out.push_back('\\'); break;
          case '/': out.push_back('/'); break;
          case 'b': out.push_back('\b'); break;
          case 'f': out.push_back('\f'); break;
          case 'n': out.push_back('\n'); break;
          case 'r': out.push_back('\r'); break;
          case 't': out.push_back('\t'); break;
          case 'u': {
            uint32_t cp = parse_hex4(pos_ + 2);
            pos_ += 6;
            if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
              const uint32_t lo = parse_hex4(pos_ + 2);
              if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                pos_ += 6;
              }
            }
            append_utf8(out, cp);
            continue;
          }
          default: fail("Invalid \\escape", pos_);
        }
        pos_ += 2;
        continue;
      }
      if (c < 0x80) {
        // A run of plain characters is copied at once.
        size_t end = pos_ + 1;
        while (end < s_.size()) {
          const auto d = static_cast<uint8_t>(s_[end]);
          if (d == '"' || d == '\\' || d < 0x20 || d >= 0x80) break;
          ++end;
        }
        out.append(s_.substr(pos_, end - pos_));
        pos_ = end;
        continue;
      }
      char32_t cp = 0;
      const size_t len = utf8_decode(s_, pos_, cp);
      if (len == 0) fail("invalid UTF-8 byte in a string", pos_);
      out.append(s_.substr(pos_, len));
      pos_ += len;
    }
  }

  void parse_object(JsonValue& v, int depth) {
    if (depth > kMaxDepth) fail("nested too deeply", pos_);
    v.kind = JsonValue::Kind::Object;
    ++pos_;  // '{'
    skip_ws();
    if (peek() == '}') {
      ++pos_;
      return;
    }
    // Repeated keys are looked up by a scan while the object is small, and
    // through an index once it is not.
    constexpr size_t kScanLimit = 16;
    std::unordered_map<std::string, size_t> index;
    for (;;) {
      if (peek() != '"') fail("Expecting property name enclosed in double quotes", pos_);
      std::string key = parse_string();
      skip_ws();
      if (peek() != ':') fail("Expecting ':' delimiter", pos_);
      ++pos_;
      skip_ws();
      JsonValue value = parse_value(depth);
      size_t at = v.members.size();
      if (v.members.size() < kScanLimit) {
        for (size_t k = 0; k < v.members.size(); ++k)
          if (v.members[k].first == key) at = k;
      } else {
        if (index.empty())
          for (size_t k = 0; k < v.members.size(); ++k) index.emplace(v.members[k].first, k);
        at = index.emplace(key, v.members.size()).first->second;
      }
      if (at == v.members.size()) {
        v.members.emplace_back(std::move(key), std::move(value));
      } else {
        v.members[at].second = std::move(value);
      }
      skip_ws();
      if (peek() == '}') {
        ++pos_;
        return;
      }
      if (peek() != ',') fail("Expecting ',' delimiter", pos_);
      ++pos_;
      skip_ws();
    }
  }

  void parse_array(JsonValue& v, int depth) {
    if (depth > kMaxDepth) fail("nested too deeply", pos_);
    v.kind = JsonValue::Kind::Array;
    ++pos_;  // '['
    skip_ws();
    if (peek() == ']') {
      ++pos_;
      return;
    }
    for (;;) {
      v.items.push_back(parse_value(depth));
      skip_ws();
      if (peek() == ']') {
        ++pos_;
        return;
      }
      if (peek() != ',') fail("Expecting ',' delimiter", pos_);
      ++pos_;
      skip_ws();
    }
  }

  std::string_view s_;
  const std::string& source_;
  size_t pos_ = 0;
};

void dump_string(std::string& out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  auto u_escape = [&](uint32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(unit >> shift) & 0xF]);
  };
  out.push_back('"');
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (c < 0x20 || c == 0x7F) {
            u_escape(c);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = utf8_decode(s, i, cp, true);
    if (len == 0) throw ValueError("cannot write a text that is not valid UTF-8 as JSON");
    if (cp >= 0x10000) {
      const uint32_t v = cp - 0x10000;
      u_escape(0xD800 | (v >> 10));
      u_escape(0xDC00 | (v & 0x3FF));
    } else {
      u_escape(cp);
    }
    i += len;
  }
  out.push_back('"');
}

void new_line(std::string& out, int indent, int level) {
  if (indent < 0) return;  // one-line form
  out.push_back('\n');
  out.append(static_cast<size_t>(indent) * static_cast<size_t>(level), ' ');
}

void dump_value(std::string& out, const JsonValue& v, int indent, int level) {
  switch (v.kind) {
    case JsonValue::Kind::Null: out += "null"; return;
    case JsonValue::Kind::Bool: out += v.boolean ? "true" : "false"; return;
    case JsonValue::Kind::Int: out += v.big_int ? v.text : std::to_string(v.integer); return;
    case JsonValue::Kind::Float:
      if (std::isnan(v.number)) {
        out += "NaN";
      } else if (std::isinf(v.number)) {
        out += v.number > 0 ? "Infinity" : "-Infinity";
      } else {
        out += format_float(v.number);
      }
      return;
    case JsonValue::Kind::String: dump_string(out, v.text); return;
    case JsonValue::Kind::Array: {
      if (v.items.empty()) {
        out += "[]";
        return;
      }
      out.push_back('[');
      for (size_t k = 0; k < v.items.size(); ++k) {
        if (k) out += indent < 0 ? ", " : ",";
        new_line(out, indent, level + 1);
        dump_value(out, v.items[k], indent, level + 1);
      }
      new_line(out, indent, level);
      out.push_back(']');
      return;
    }
    case JsonValue::Kind::Object: {
      if (v.members.empty()) {
        out += "{}";
        return;
      }
      out.push_back('{');
      for (size_t k = 0; k < v.members.size(); ++k) {
        if (k) out += indent < 0 ? ", " : ",";
        new_line(out, indent, level + 1);
        dump_string(out, v.members[k].first);
        out += ": ";
        dump_value(out, v.members[k].second, indent, level + 1);
      }
      new_line(out, indent, level);
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

JsonValue* JsonValue::find(std::string_view key) {
  for (auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

const char* JsonValue::type_name() const {
  switch (kind) {
    case Kind::Null: return "NoneType";
    case Kind::Bool: return "bool";
    case Kind::Int: return "int";
    case Kind::Float: return "float";
    case Kind::String: return "str";
    case Kind::Array: return "list";
    case Kind::Object: return "dict";
  }
  return "?";
}

JsonValue parse_json(std::string_view text, const std::string& source) {
  return Parser(text, source).parse_document();
}

JsonValue read_json_file(const std::string& path) {
  const std::string data = read_file(path);
  std::string_view text(data);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return parse_json(text, repr_text(path));
}

std::string dump_json(const JsonValue& value, int indent) {
  std::string out;
  dump_value(out, value, indent, 0);
  return out;
}

JsonValue JsonValue::integer_value(int64_t v) {
  JsonValue j;
  j.kind = Kind::Int;
  j.integer = v;
  return j;
}

JsonValue JsonValue::text_value(std::string v) {
  JsonValue j;
  j.kind = Kind::String;
  j.text = std::move(v);
  return j;
}

JsonValue JsonValue::array_value() { return array_value({}); }

JsonValue JsonValue::array_value(std::vector<JsonValue> items) {
  JsonValue j;
  j.kind = Kind::Array;
  j.items = std::move(items);
  return j;
}

JsonValue JsonValue::object_value() { return object_value(std::vector<JsonMember>{}); }

JsonValue JsonValue::object_value(std::vector<JsonMember> members) {
  JsonValue j;
  j.kind = Kind::Object;
  j.members = std::move(members);
  return j;
}

}  // namespace mirelo
