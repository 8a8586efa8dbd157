#include "common/xml.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

constexpr int kMaxDepth = 256;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_name_start(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || u >= 0x80;
}

bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool is_xml_char(char32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         (cp >= 0x10000 && cp <= 0x10FFFF);
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& source) : s_(text), source_(source) {}

  XmlElement document() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;
    check_characters();
    if (starts("<?xml") && i_ + 5 < s_.size() && is_space(s_[i_ + 5])) skip_past("?>", "the XML declaration");
    misc();
    if (starts("<!DOCTYPE"))
      fail("a document type declaration (<!DOCTYPE) is not accepted: entities could expand beyond any bound");
    if (!starts("<") || i_ + 1 >= s_.size() || !is_name_start(s_[i_ + 1])) fail("expected the root element");
    XmlElement root = element(1);
    misc();
    if (i_ < s_.size()) fail("expected the end of the document after the root element </" + root.name + ">");
    return root;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError(source_ + ", line " + std::to_string(line_) + ": " + what);
  }

  bool starts(std::string_view p) const { return s_.substr(i_, p.size()) == p; }

  // Moves to position `j`, counting the lines passed.
  void move_to(size_t j) {
    line_ += std::count(s_.begin() + static_cast<std::ptrdiff_t>(i_), s_.begin() + static_cast<std::ptrdiff_t>(j), '\n');
    i_ = j;
  }

  void skip_spaces() {
    size_t j = i_;
    while (j < s_.size() && is_space(s_[j])) ++j;
    move_to(j);
  }

  void skip_past(std::string_view end, const char* what) {
    const size_t j = s_.find(end, i_);
    if (j == std::string_view::npos) fail(std::string(what) + " is not closed by " + std::string(end));
    move_to(j + end.size());
  }

  // Every character must be one XML allows, in valid UTF-8.
  void check_characters() {
    size_t line = 1;
    for (size_t k = i_; k < s_.size();) {
      const auto c = static_cast<unsigned char>(s_[k]);
      if (c == '\n') ++line;
      if (c < 0x80) {
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          line_ = static_cast<int64_t>(line);
          fail("the control character " + std::to_string(c) + " is not allowed in XML");
        }
        ++k;
        continue;
      }
      char32_t cp = 0;
      const size_t n = utf8_decode(s_, k, cp);
      if (n == 0 || !is_xml_char(cp)) {
        line_ = static_cast<int64_t>(line);
        fail("expected UTF-8 text of characters XML allows, got the byte " + std::to_string(c));
      }
      k += n;
    }
  }

  // Comments, processing instructions and white space between elements.
  void misc() {
    for (;;) {
      skip_spaces();
      if (starts("<!--")) {
        skip_past("-->", "a comment");
      } else if (starts("<?")) {
        skip_past("?>", "a processing instruction");
      } else {
        return;
      }
    }
  }

  std::string name() {
    if (i_ >= s_.size() || !is_name_start(s_[i_])) fail("expected a name");
    size_t j = i_ + 1;
    while (j < s_.size() && is_name_char(s_[j])) ++j;
    std::string out(s_.substr(i_, j - i_));
    i_ = j;
    return out;
  }

  // A reference after its '&', appended to `out`.
  void reference(std::string& out) {
    const size_t semi = s_.find(';', i_);
    if (semi == std::string_view::npos || semi - i_ > 12) fail("an entity reference (&...;) is not closed");
    const std::string_view ref = s_.substr(i_, semi - i_);
    if (ref == "lt") {
      out += '<';
    } else if (ref == "gt") {
      out += '>';
    } else if (ref == "amp") {
      out += '&';
    } else if (ref == "quot") {
      out += '"';
    } else if (ref == "apos") {
      out += '\'';
    } else if (ref.size() > 1 && ref[0] == '#') {
      const bool hex = ref[1] == 'x';
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      uint32_t cp = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || !is_xml_char(cp))
        fail("the character reference &" + std::string(ref) + "; names no character XML allows");
      append_utf8(out, cp);
    } else {
      fail("the entity &" + std::string(ref) + "; is not one of XML's five (lt, gt, amp, quot, apos)");
    }
    i_ = semi + 1;
  }

  std::string attribute_value() {
    if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\'')) fail("expected a quoted attribute value");
    const char quote = s_[i_++];
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) fail("an attribute value is not closed");
      const char c = s_[i_];
      if (c == quote) {
        ++i_;
        return out;
      }
      if (c == '<') fail("'<' inside an attribute value");
      if (c == '&') {
        ++i_;
        reference(out);
        continue;
      }
      if (c == '\n') ++line_;
      out += is_space(c) ? ' ' : c;
      ++i_;
    }
  }

  XmlElement element(int depth) {
    if (depth > kMaxDepth) fail("elements nested more than " + std::to_string(kMaxDepth) + " deep");
    if (++elements_ % 4096 == 0) check_interrupt();
    XmlElement e;
    e.line = line_;
    ++i_;  // '<'
    e.name = name();
    for (;;) {
      const size_t before = i_;
      skip_spaces();
      if (starts("/>")) {
        i_ += 2;
        return e;
      }
      if (starts(">")) {
        ++i_;
        break;
      }
      if (i_ == before) fail("expected white space, '>' or '/>' in the start tag <" + e.name + ">");
      std::string key = name();
      skip_spaces();
      if (!starts("=")) fail("expected '=' after the attribute " + key + " of <" + e.name + ">");
      ++i_;
      skip_spaces();
      std::string value = attribute_value();
      if (e.attribute(key)) fail("the attribute " + key + " appears twice in <" + e.name + ">");
      e.attributes.emplace_back(std::move(key), std::move(value));
    }
    for (;;) {
      if (i_ >= s_.size()) fail("the element <" + e.name + "> (line " + std::to_string(e.line) + ") is not closed");
      const char c = s_[i_];
      if (c == '<') {
        if (starts("</")) {
          i_ += 2;
          const std::string end = name();
          if (end != e.name)
            fail("the end tag </" + end + "> does not close <" + e.name + "> (line " + std::to_string(e.line) + ")");
          skip_spaces();
          if (!starts(">")) fail("expected '>' after </" + end);
          ++i_;
          return e;
        }
        if (starts("<!--")) {
          skip_past("-->", "a comment");
        } else if (starts("<![CDATA[")) {
          const size_t from = i_ + 9, to = s_.find("]]>", from);
          if (to == std::string_view::npos) fail("a CDATA section is not closed by ]]>");
          e.text.append(s_.substr(from, to - from));
          move_to(to + 3);
        } else if (starts("<?")) {
          skip_past("?>", "a processing instruction");
        } else if (starts("<!")) {
          fail("a declaration (<!...) is not accepted inside <" + e.name + ">");
        } else {
          e.children.push_back(element(depth + 1));
        }
      } else if (c == '&') {
        ++i_;
        reference(e.text);
      } else {
        size_t j = i_;
        while (j < s_.size() && s_[j] != '<' && s_[j] != '&') ++j;
        e.text.append(s_.substr(i_, j - i_));
        move_to(j);
      }
    }
  }

  std::string_view s_;
  const std::string& source_;
  size_t i_ = 0;
  int64_t line_ = 1;
  uint64_t elements_ = 0;
};

}  // namespace

const std::string* XmlElement::attribute(std::string_view key) const {
  for (const auto& [k, v] : attributes)
    if (k == key) return &v;
  return nullptr;
}

const XmlElement* XmlElement::child(std::string_view name_) const {
  for (const XmlElement& c : children)
    if (c.name == name_) return &c;
  return nullptr;
}

XmlElement parse_xml(std::string_view text, const std::string& source) { return Parser(text, source).document(); }

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

}  // namespace mirelo
