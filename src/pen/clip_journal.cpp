#include "pen/clip_journal.hpp"

#include <algorithm>
#include <charconv>

#include "common/errors.hpp"
#include "common/sha256.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

constexpr std::string_view kMagic = "mirelo clip edit 1\n";

void put_line(std::string& out, std::string_view word, std::initializer_list<std::string> values) {
  out.append(word);
  for (const std::string& v : values) {
    out.push_back(' ');
    out += v;
  }
  out.push_back('\n');
}

// A reader of the journal's pieces that refuses anything out of place.
class Reader {
 public:
  Reader(std::string_view s, const std::string& source) : s_(s), source_(source) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError("malformed edit journal " + repr_text(source_) + ": " + what + " (at byte " +
                     std::to_string(pos_) + ")");
  }

  bool at_end() const { return pos_ == s_.size(); }

  // The words of the next line, which must start with `word`.
  std::vector<std::string_view> line(std::string_view word) {
    const size_t end = s_.find('\n', pos_);
    if (end == std::string_view::npos) fail("expected a line \"" + std::string(word) + "\"");
    const std::string_view text = s_.substr(pos_, end - pos_);
    std::vector<std::string_view> words;
    for (size_t k = 0; k <= text.size();) {
      const size_t space = std::min(text.find(' ', k), text.size());
      words.push_back(text.substr(k, space - k));
      k = space + 1;
    }
    if (words.front() != word) fail("expected a line \"" + std::string(word) + "\"");
    pos_ = end + 1;
    return words;
  }

  uint64_t count(std::string_view text, uint64_t most) const {
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || v > most ||
        (text.size() > 1 && text.front() == '0'))
      fail("expected a whole number up to " + std::to_string(most) + ", got " + repr_text(text));
    return v;
  }

  int64_t integer(std::string_view text) const {
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
      fail("expected a whole number, got " + repr_text(text));
    return v;
  }

  std::string hash(std::string_view text) const {
    if (text.size() != 64 || text.find_first_not_of("0123456789abcdef") != std::string_view::npos)
      fail("expected a SHA-256 in hexadecimal, got " + repr_text(text));
    return std::string(text);
  }

  // `n` bytes, then a line break.
  std::string bytes(uint64_t n) {
    if (n > s_.size() - pos_ || s_.size() - pos_ - n < 1 || s_[pos_ + n] != '\n') fail("a piece cut short");
    std::string out(s_.substr(pos_, n));
    pos_ += n + 1;
    return out;
  }

  std::vector<std::string_view> words_of(std::string_view word, size_t n) {
    std::vector<std::string_view> w = line(word);
    if (w.size() != n) fail("expected " + std::to_string(n - 1) + " values after \"" + std::string(word) + "\"");
    return w;
  }

  size_t pos() const { return pos_; }
  void skip(size_t n) { pos_ += n; }

 private:
  std::string_view s_;
  const std::string& source_;
  size_t pos_ = 0;
};

}  // namespace

std::string serialize_clip_edit(const ClipEdit& edit) {
  std::string out(kMagic);
  put_line(out, "direction", {edit.direction == ClipEdit::Direction::Forward ? "forward" : "back"});
  put_line(out, "edit", {std::to_string(edit.number)});
  put_line(out, "log-size", {std::to_string(edit.log_size)});
  put_line(out, "log-line", {std::to_string(edit.log_line.size())});
  out += edit.log_line;
  out.push_back('\n');
  put_line(out, "files", {std::to_string(edit.files.size())});
  for (const FileChange& f : edit.files) {
    put_line(out, "file", {std::to_string(f.file.size()), std::to_string(f.frame), f.before, f.after,
                           std::to_string(f.splices.size())});
    out += f.file;
    out.push_back('\n');
    for (const Splice& s : f.splices) {
      put_line(out, "splice", {std::to_string(s.at), std::to_string(s.old_text.size()),
                               std::to_string(s.new_text.size())});
      out += s.old_text;
      out += s.new_text;
      out.push_back('\n');
    }
  }
  put_line(out, "end", {sha256_hex(out)});
  return out;
}

ClipEdit parse_clip_edit(std::string_view bytes, const std::string& source) {
  Reader r(bytes, source);
  if (bytes.substr(0, kMagic.size()) != kMagic) r.fail("not an edit journal");
  r.skip(kMagic.size());
  constexpr uint64_t kMost = uint64_t{1} << 62;
  ClipEdit edit;
  const auto direction = r.words_of("direction", 2)[1];
  if (direction == "forward") {
    edit.direction = ClipEdit::Direction::Forward;
  } else if (direction == "back") {
    edit.direction = ClipEdit::Direction::Back;
  } else {
    r.fail("expected the direction forward or back, got " + repr_text(direction));
  }
  edit.number = static_cast<int64_t>(r.count(r.words_of("edit", 2)[1], kMost));
  edit.log_size = r.count(r.words_of("log-size", 2)[1], kMost);
  edit.log_line = r.bytes(r.count(r.words_of("log-line", 2)[1], bytes.size()));
  const uint64_t files = r.count(r.words_of("files", 2)[1], bytes.size());
  for (uint64_t k = 0; k < files; ++k) {
    const auto w = r.words_of("file", 6);
    FileChange f;
    const uint64_t name_size = r.count(w[1], bytes.size());
    f.frame = r.integer(w[2]);
    f.before = r.hash(w[3]);
    f.after = r.hash(w[4]);
    const uint64_t splices = r.count(w[5], bytes.size());
    f.file = r.bytes(name_size);
    uint64_t end_of_last = 0;
    for (uint64_t s = 0; s < splices; ++s) {
      const auto sw = r.words_of("splice", 4);
      Splice sp;
      sp.at = r.count(sw[1], kMost);
      const uint64_t old_size = r.count(sw[2], bytes.size()), new_size = r.count(sw[3], bytes.size());
      if (s > 0 && sp.at < end_of_last) r.fail("splices out of order");
      if (old_size > bytes.size() - r.pos() || new_size > bytes.size() - r.pos() - old_size) r.fail("a piece cut short");
      std::string both = r.bytes(old_size + new_size);
      sp.old_text = both.substr(0, old_size);
      sp.new_text = both.substr(old_size);
      end_of_last = sp.at + old_size;
      f.splices.push_back(std::move(sp));
    }
    edit.files.push_back(std::move(f));
  }
  const size_t body_end = r.pos();
  const auto end = r.words_of("end", 2);
  if (end[1] != sha256_hex(bytes.substr(0, body_end))) r.fail("its content does not match its checksum");
  if (!r.at_end()) r.fail("bytes after its end");
  return edit;
}

std::string apply_splices(std::string_view text, const std::vector<Splice>& splices, const std::string& where) {
  std::string out;
  size_t from = 0;
  for (const Splice& s : splices) {
    if (s.at < from || s.at > text.size() || s.old_text.size() > text.size() - s.at ||
        text.substr(s.at, s.old_text.size()) != s.old_text)
      throw ValueError("the recorded edit of " + repr_text(where) + " does not fit its bytes");
    out.append(text.substr(from, s.at - from));
    out += s.new_text;
    from = s.at + s.old_text.size();
  }
  out.append(text.substr(from));
  return out;
}

std::vector<Splice> reverse_splices(const std::vector<Splice>& splices) {
  std::vector<Splice> out;
  int64_t shift = 0;
  for (const Splice& s : splices) {
    out.push_back(Splice{static_cast<uint64_t>(static_cast<int64_t>(s.at) + shift), s.new_text, s.old_text});
    shift += static_cast<int64_t>(s.new_text.size()) - static_cast<int64_t>(s.old_text.size());
  }
  return out;
}

// ------------------------------------------------------------ audit log

namespace {

// A file name's bytes as a text, each byte that is not UTF-8 as its
// surrogate escape (the host's decoding of file names).
std::string file_name_text(std::string_view name) {
  std::string out;
  for (char32_t cp : decode_utf8(name, Utf8Errors::SurrogateEscape)) append_utf8(out, cp);
  return out;
}

[[noreturn]] void bad_line(const std::string& source, size_t line, const std::string& what) {
  throw ValueError("malformed line " + std::to_string(line) + " of the corrections log " + repr_text(source) + ": " +
                   what);
}

const JsonValue& field(const JsonValue& obj, const char* key, JsonValue::Kind kind, const std::string& source,
                       size_t line) {
  const JsonValue* v = obj.find(key);
  if (!v) bad_line(source, line, std::string("no \"") + key + "\"");
  if (v->kind != kind || (kind == JsonValue::Kind::Int && v->big_int))
    bad_line(source, line, std::string("an unexpected ") + v->type_name() + " for \"" + key + "\"");
  return *v;
}

}  // namespace

std::string log_line_of(const LoggedEdit& entry) {
  JsonValue doc;
  doc.kind = JsonValue::Kind::Object;
  doc.members.emplace_back("edit", JsonValue::integer_value(entry.number));
  doc.members.emplace_back("time", JsonValue::text_value(entry.time));
  doc.members.emplace_back("operation", JsonValue::text_value(entry.operation));
  doc.members.emplace_back("arguments", entry.arguments);
  JsonValue files;
  files.kind = JsonValue::Kind::Array;
  for (const LoggedFile& f : entry.files) {
    JsonValue o;
    o.kind = JsonValue::Kind::Object;
    // File names are bytes; the log holds them as the host's file-system
    // decoding shows them, undecodable bytes as lone surrogates.
    o.members.emplace_back("file", JsonValue::text_value(file_name_text(f.file)));
    o.members.emplace_back("frame", JsonValue::integer_value(f.frame));
    o.members.emplace_back("before", JsonValue::text_value(f.before));
    o.members.emplace_back("after", JsonValue::text_value(f.after));
    files.items.push_back(std::move(o));
  }
  doc.members.emplace_back("files", std::move(files));
  return dump_json(doc, -1);
}

std::vector<LoggedEdit> parse_corrections_log(std::string_view text, const std::string& source) {
  std::vector<LoggedEdit> out;
  size_t line_no = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    JsonValue doc;
    try {
      doc = parse_json(line, repr_text(source) + " line " + std::to_string(line_no));
    } catch (const ValueError& e) {
      bad_line(source, line_no, e.what());
    }
    if (!doc.is_object()) bad_line(source, line_no, expected_got("an object", doc.type_name()));
    LoggedEdit e;
    e.number = field(doc, "edit", JsonValue::Kind::Int, source, line_no).integer;
    e.time = field(doc, "time", JsonValue::Kind::String, source, line_no).text;
    e.operation = field(doc, "operation", JsonValue::Kind::String, source, line_no).text;
    e.arguments = field(doc, "arguments", JsonValue::Kind::Object, source, line_no);
    for (const JsonValue& f : field(doc, "files", JsonValue::Kind::Array, source, line_no).items) {
      if (!f.is_object()) bad_line(source, line_no, expected_got("an object for each file", f.type_name()));
      LoggedFile lf;
      lf.file = file_name_bytes(field(f, "file", JsonValue::Kind::String, source, line_no).text);
      lf.frame = field(f, "frame", JsonValue::Kind::Int, source, line_no).integer;
      lf.before = field(f, "before", JsonValue::Kind::String, source, line_no).text;
      lf.after = field(f, "after", JsonValue::Kind::String, source, line_no).text;
      e.files.push_back(std::move(lf));
    }
    if (!out.empty() && e.number <= out.back().number)
      bad_line(source, line_no, "edit " + std::to_string(e.number) + " after edit " + std::to_string(out.back().number));
    if (e.operation == "undo") {
      const int64_t target = field(e.arguments, "edit", JsonValue::Kind::Int, source, line_no).integer;
      const auto it = std::find_if(out.begin(), out.end(), [&](const LoggedEdit& x) { return x.number == target; });
      if (it == out.end() || it->operation == "undo" || it->undone_by)
        bad_line(source, line_no, "an undo of edit " + std::to_string(target) + ", which is not an edit left to undo");
      it->undone_by = e.number;
      e.undoes = target;
    }
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace mirelo
