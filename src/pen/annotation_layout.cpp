#include "pen/annotation_layout.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/json.hpp"

namespace mirelo {
namespace {

constexpr int kMaxDepth = 1000;

class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  AnnotationLayout scan() {
    AnnotationLayout out;
    skip_ws();
    if (peek() != '{') return out;  // not an object: no detections to find
    ++pos_;
    skip_ws();
    if (peek() == '}') return out;
    for (;;) {
      const bool is_detections = key() == "detections";
      colon();
      if (is_detections && peek() == '[') {
        out.detections.clear();
        out.list = scan_list(out.detections);
      } else {
        if (is_detections) out.list.reset(), out.detections.clear();
        skip_value(0);
      }
      if (!next_member('}')) return out;
    }
  }

 private:
  [[noreturn]] void fail() const {
    throw ValueError("malformed JSON near byte " + std::to_string(pos_) + " of an annotation file");
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  void expect(char c) {
    if (peek() != c) fail();
    ++pos_;
  }
  void skip_ws() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }
  void colon() {
    skip_ws();
    expect(':');
    skip_ws();
  }
  // After a member or an item: true at a ',' (skipped, with the blanks
  // after it), false at `close` (skipped).
  bool next_member(char close) {
    skip_ws();
    if (peek() == ',') {
      ++pos_;
      skip_ws();
      return true;
    }
    expect(close);
    return false;
  }

  // The end of the string starting at pos_ (its opening quote).
  size_t string_end() const {
    size_t k = pos_ + 1;
    while (k < s_.size()) {
      if (s_[k] == '\\') {
        k += 2;
      } else if (s_[k] == '"') {
        return k + 1;
      } else {
        ++k;
      }
    }
    fail();
  }

  // A member name, decoded only when it holds an escape.
  std::string key() {
    if (peek() != '"') fail();
    const size_t end = string_end();
    const std::string_view raw = s_.substr(pos_ + 1, end - pos_ - 2);
    std::string name;
    if (raw.find('\\') == std::string_view::npos) {
      name.assign(raw);
    } else {
      name = parse_json(s_.substr(pos_, end - pos_)).text;
    }
    pos_ = end;
    return name;
  }

  void skip_value(int depth) {
    if (depth > kMaxDepth) fail();
    const char c = peek();
    if (c == '"') {
      pos_ = string_end();
    } else if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      skip_ws();
      if (peek() == close) {
        ++pos_;
        return;
      }
      do {
        if (c == '{') {
          key();
          colon();
        }
        skip_value(depth + 1);
      } while (next_member(close));
    } else {
      // A number or a literal: up to the next delimiter.
      const size_t start = pos_;
      while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '}' && s_[pos_] != ']' && s_[pos_] != ' ' &&
             s_[pos_] != '\t' && s_[pos_] != '\n' && s_[pos_] != '\r')
        ++pos_;
      if (pos_ == start) fail();
    }
  }

  TextSpan scan_list(std::vector<DetectionSpan>& items) {
    TextSpan list{pos_, 0};
    ++pos_;
    skip_ws();
    if (peek() == ']') {
      list.end = ++pos_;
      return list;
    }
    do {
      DetectionSpan d;
      d.value.begin = pos_;
      if (peek() == '{') {
        ++pos_;
        skip_ws();
        if (peek() == '}') {
          ++pos_;
        } else {
          do {
            const bool is_id = key() == "object_id";
            colon();
            const size_t begin = pos_;
            skip_value(1);
            if (is_id) d.object_id = TextSpan{begin, pos_};
          } while (next_member('}'));
        }
      } else {
        skip_value(1);
      }
      d.value.end = pos_;
      items.push_back(d);
    } while (next_member(']'));
    list.end = pos_;
    return list;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

AnnotationLayout locate_detections(std::string_view text) { return Scanner(text).scan(); }

}  // namespace mirelo
