#include "pen/track_files.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "common/coco_rle.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/runtime.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Calls fn(line_number, line) for every line that is not blank; a pending
// interrupt stops a long file.
template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  int64_t number = 0;
  while (!text.empty()) {
    if (++number % 8192 == 0) check_interrupt();
    const size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty()) fn(number, line);
  }
}

[[noreturn]] void fail(const std::string& name, int64_t line, const std::string& what) {
  throw ValueError(name + ", line " + std::to_string(line) + ": " + what);
}

// The first `max` blank-separated fields of `s` into `out`; returns how many
// fields `s` has (max + 1 when it has more).
size_t split_blanks(std::string_view s, std::string_view* out, size_t max) {
  size_t count = 0, i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_blank(s[i])) ++i;
    const size_t start = i;
    while (i < s.size() && !is_blank(s[i])) ++i;
    if (i > start) {
      if (count == max) return max + 1;
      out[count++] = s.substr(start, i - start);
    }
  }
  return count;
}

std::vector<std::string_view> split_blanks(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_blank(s[i])) ++i;
    const size_t start = i;
    while (i < s.size() && !is_blank(s[i])) ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

// Fields of a MOTChallenge row: comma-separated (blanks around the commas
// allowed, one trailing comma allowed), or blank-separated without commas.
std::vector<std::string_view> mot_fields(std::string_view line) {
  if (line.find(',') == std::string_view::npos) return split_blanks(line);
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    out.push_back(trim(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (out.size() > 1 && out.back().empty()) out.pop_back();
  return out;
}

bool parse_number(std::string_view t, double& out) {
  const bool plus = !t.empty() && t.front() == '+';
  if (plus) t.remove_prefix(1);
  if (t.empty() || (plus && t.front() == '-')) return false;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
  return ec == std::errc() && end == t.data() + t.size();
}

std::string quoted(std::string_view t) { return repr_text(t.size() > 40 ? std::string(t.substr(0, 40)) + "..." : std::string(t)); }

double number_field(const std::string& name, int64_t line, std::string_view t, const char* what) {
  double v = 0;
  if (!parse_number(t, v)) fail(name, line, expected_got(std::string("a number for the ") + what, quoted(t)));
  if (!std::isfinite(v)) fail(name, line, expected_got(std::string("a finite number for the ") + what, quoted(t)));
  return v;
}

int64_t whole_field(const std::string& name, int64_t line, std::string_view t, const char* what) {
  int64_t whole = 0;  // plain integers, the common case, without the real number reader
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), whole);
  if (ec == std::errc() && end == t.data() + t.size()) return whole;
  const double v = number_field(name, line, t, what);
  if (v != std::floor(v) || std::fabs(v) >= 9.2e18)
    fail(name, line, expected_got(std::string("a whole number for the ") + what, quoted(t)));
  return static_cast<int64_t>(v);
}

// Frame and identity of every row, checked once all rows are read: an
// identity may appear once per frame.
struct SeenIds {
  struct Row {
    int64_t frame, id, line;
  };
  std::vector<Row> rows;

  void add(int64_t line, int64_t frame, int64_t id) { rows.push_back({frame, id, line}); }

  void check(const std::string& name) {
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
      return a.frame != b.frame ? a.frame < b.frame : a.id != b.id ? a.id < b.id : a.line < b.line;
    });
    // The first repeat in file order is the one reported.
    const Row* worst = nullptr;
    const Row* first = nullptr;
    for (size_t k = 1; k < rows.size(); ++k)
      if (rows[k].frame == rows[k - 1].frame && rows[k].id == rows[k - 1].id) {
        size_t f = k - 1;
        while (f > 0 && rows[f - 1].frame == rows[k].frame && rows[f - 1].id == rows[k].id) --f;
        if (!worst || rows[k].line < worst->line) {
          worst = &rows[k];
          first = &rows[f];
        }
      }
    if (worst)
      fail(name, worst->line,
           "identity " + std::to_string(worst->id) + " appears twice in frame " + std::to_string(worst->frame) +
               " (first on line " + std::to_string(first->line) + ")");
  }
};

void append_number(std::string& out, double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

TrackFileKind track_file_kind(std::string_view text, const std::string& name) {
  int64_t first = 0;
  std::string_view row;
  while (!text.empty() && row.empty()) {
    ++first;
    const size_t end = text.find('\n');
    row = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  if (row.empty()) return TrackFileKind::Empty;
  if (row.find(',') != std::string_view::npos) return TrackFileKind::Mot;
  const auto fields = split_blanks(row);
  double v = 0;
  if (fields.size() == 6 && !parse_number(fields[5], v)) return TrackFileKind::Mots;
  if (fields.size() >= 7) return TrackFileKind::Mot;
  fail(name, first,
       "expected a MOTChallenge row (frame,id,x,y,w,h,conf,...) or a MOTS row (frame id class height width rle), got " +
           quoted(row));
}

MotTable parse_mot(std::string_view text, const std::string& name) {
  MotTable t;
  SeenIds seen;
  std::vector<std::array<double, 3>> extras;
  std::vector<size_t> extra_count;
  for_each_line(text, [&](int64_t n, std::string_view line) {
    const auto f = mot_fields(line);
    if (f.size() < 7 || f.size() > 10)
      fail(name, n, expected_got("7 to 10 values (frame,id,x,y,w,h,conf,...)", std::to_string(f.size()) + " in " + quoted(line)));
    for (size_t k = 0; k < f.size(); ++k)
      if (f[k].empty()) fail(name, n, "value " + std::to_string(k + 1) + " is empty in " + quoted(line));
    const int64_t frame = whole_field(name, n, f[0], "frame");
    const int64_t id = whole_field(name, n, f[1], "identity");
    const double x = number_field(name, n, f[2], "box left"), y = number_field(name, n, f[3], "box top");
    const double w = number_field(name, n, f[4], "box width"), h = number_field(name, n, f[5], "box height");
    if (w < 0 || h < 0) fail(name, n, expected_got("a box width and height of at least 0", quoted(line)));
    const double conf = number_field(name, n, f[6], "seventh column");
    std::array<double, 3> more{NAN, NAN, NAN};
    for (size_t k = 7; k < f.size(); ++k) more[k - 7] = number_field(name, n, f[k], "columns after the seventh");
    seen.add(n, frame, id);
    t.frame.push_back(frame);
    t.id.push_back(id);
    t.x.push_back(x);
    t.y.push_back(y);
    t.w.push_back(w);
    t.h.push_back(h);
    t.conf.push_back(conf);
    t.line.push_back(n);
    extras.push_back(more);
    t.extra_columns = std::max(t.extra_columns, f.size() - 7);
  });
  seen.check(name);
  t.extra.reserve(extras.size() * t.extra_columns);
  for (const auto& e : extras)
    for (size_t k = 0; k < t.extra_columns; ++k) t.extra.push_back(e[k]);
  return t;
}

MotsTable parse_mots(std::string_view text, const std::string& name, bool column_runs) {
  MotsTable t;
  t.column_runs = column_runs;
  SeenIds seen;
  std::vector<uint32_t> scratch;
  for_each_line(text, [&](int64_t n, std::string_view line) {
    std::string_view f[6];
    const size_t count = split_blanks(line, f, 6);
    if (count != 6)
      fail(name, n,
           expected_got("6 values (frame id class height width rle)",
                        (count > 6 ? std::string("more") : std::to_string(count)) + " in " + quoted(line)));
    const int64_t frame = whole_field(name, n, f[0], "frame");
    const int64_t id = whole_field(name, n, f[1], "identity");
    const int64_t cls = whole_field(name, n, f[2], "class");
    const int64_t height = whole_field(name, n, f[3], "height"), width = whole_field(name, n, f[4], "width");
    if (height < 0 || width < 0) fail(name, n, expected_got("a height and width of at least 0", quoted(line)));
    if (t.masks.empty()) {
      t.height = height;
      t.width = width;
    } else if (height != t.height || width != t.width) {
      fail(name, n,
           expected_got("the frame size " + std::to_string(t.height) + " x " + std::to_string(t.width) + " of line " +
                            std::to_string(t.line.front()),
                        std::to_string(height) + " x " + std::to_string(width)));
    }
    try {
      t.masks.push_back(rle_text_to_run_mask(f[5], height, width, scratch, column_runs));
    } catch (const ValueError& e) {
      fail(name, n, e.what());
    }
    if (cls != kMotsIgnoreClass) seen.add(n, frame, id);
    t.frame.push_back(frame);
    t.id.push_back(id);
    t.cls.push_back(cls);
    t.line.push_back(n);
  });
  seen.check(name);
  return t;
}

std::string mot_text(const MotTable& t) {
  std::string out;
  out.reserve(t.size() * 48);
  for (size_t r = 0; r < t.size(); ++r) {
    const double values[5] = {t.x[r], t.y[r], t.w[r], t.h[r], t.conf[r]};
    out += std::to_string(t.frame[r]);
    out += ',';
    out += std::to_string(t.id[r]);
    for (double v : values) {
      if (!std::isfinite(v))
        throw ValueError("row " + std::to_string(r) + ": " + expected_got("finite numbers for the box and confidence", "nan or inf"));
      out += ',';
      append_number(out, v);
    }
    size_t last = 0;  // columns after the seventh that the row writes
    for (size_t k = 0; k < t.extra_columns; ++k)
      if (!std::isnan(t.extra[r * t.extra_columns + k])) last = k + 1;
    for (size_t k = 0; k < last; ++k) {
      const double v = t.extra[r * t.extra_columns + k];
      if (!std::isfinite(v))
        throw ValueError("row " + std::to_string(r) + ": " +
                         expected_got("finite numbers after the seventh column, missing ones only at the end", "nan or inf"));
      out += ',';
      append_number(out, v);
    }
    out += '\n';
  }
  return out;
}

std::string mots_text(const std::vector<int64_t>& frame, const std::vector<int64_t>& id, const std::vector<int64_t>& cls,
                      const std::vector<const RunMask*>& masks) {
  std::string out;
  for (size_t r = 0; r < frame.size(); ++r) {
    const RunMask& m = *masks[r];
    out += std::to_string(frame[r]) + ' ' + std::to_string(id[r]) + ' ' + std::to_string(cls[r]) + ' ' +
           std::to_string(m.height()) + ' ' + std::to_string(m.width()) + ' ';
    out += rle_counts_text(rle_counts(m));
    out += '\n';
  }
  return out;
}

MotTable read_mot_file(const std::string& path) { return parse_mot(read_file(path), path); }

MotsTable read_mots_file(const std::string& path, bool column_runs) {
  return parse_mots(read_file(path), path, column_runs);
}

}  // namespace mirelo
