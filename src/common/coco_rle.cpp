#include "common/coco_rle.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "common/errors.hpp"

namespace mirelo {
namespace {

// Runs of one line (a row or a column) minus the runs of another, both
// sorted and disjoint: calls out(lo, hi) for each stretch of `a` outside `b`.
template <typename Out>
void difference(std::span<const Run> a, std::span<const Run> b, Out&& out) {
  size_t j = 0;
  for (const Run& r : a) {
    while (j < b.size() && b[j].x_end <= r.x_begin) ++j;
    int32_t cur = r.x_begin;
    for (size_t k = j; k < b.size() && b[k].x_begin < r.x_end; ++k) {
      if (b[k].x_begin > cur) out(cur, b[k].x_begin);
      cur = std::max(cur, b[k].x_end);
    }
    if (cur < r.x_end) out(cur, r.x_end);
  }
}

// Runs along lines first..last (line(l) gives the sorted runs of line l,
// positions within [lo, hi)) turned the other way: for each position p in
// [lo, hi), in order, the stretches of lines [begin, end) that cover it,
// given to out(p, begin, end) in increasing order of begin. One sweep over
// the lines: a stretch starts where a position enters a line's runs and ends
// where it leaves them, so the work follows the runs, not the pixels.
struct Crossing {
  int32_t pos, begin, end;
};

template <typename Line, typename Out>
void transpose_runs(int64_t first, int64_t last, int32_t lo, int32_t hi, Line&& line, Out&& out) {
  if (last < first || hi <= lo) return;
  std::vector<int32_t> open(static_cast<size_t>(hi - lo), 0);
  std::vector<Crossing> done;
  std::span<const Run> prev;
  for (int64_t l = first; l <= last + 1; ++l) {
    const std::span<const Run> cur = l <= last ? line(l) : std::span<const Run>{};
    const int32_t at = static_cast<int32_t>(l);
    difference(prev, cur, [&](int32_t a, int32_t b) {
      for (int32_t p = a; p < b; ++p) done.push_back({p, open[static_cast<size_t>(p - lo)], at});
    });
    difference(cur, prev, [&](int32_t a, int32_t b) {
      for (int32_t p = a; p < b; ++p) open[static_cast<size_t>(p - lo)] = at;
    });
    prev = cur;
  }
  // Stable counting sort by position: each position's stretches were
  // closed in increasing order already.
  std::vector<uint32_t> start(static_cast<size_t>(hi - lo) + 1, 0);
  for (const Crossing& c : done) ++start[static_cast<size_t>(c.pos - lo) + 1];
  for (size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<Crossing> sorted(done.size());
  for (const Crossing& c : done) sorted[start[static_cast<size_t>(c.pos - lo)]++] = c;
  for (const Crossing& c : sorted) out(c.pos, c.begin, c.end);
}

void require_coco_frame(int64_t height, int64_t width) {
  if (height < 0 || width < 0 || (height > 0 && width > static_cast<int64_t>(UINT32_MAX) / height))
    throw ValueError(expected_got("a frame of fewer than 2^32 pixels for COCO RLE",
                                  std::to_string(height) + " x " + std::to_string(width)));
}

}  // namespace

RunMask transposed(const RunMask& m) {
  RunMaskBuilder out(m.width(), m.height());
  const PixelBox& b = m.box();
  if (!b.empty)
    transpose_runs(b.y_min, b.y_max, static_cast<int32_t>(b.x_min), static_cast<int32_t>(b.x_max + 1),
                   [&](int64_t y) { return m.row(y); },
                   [&](int32_t x, int32_t y0, int32_t y1) { out.add(x, y0, y1); });
  return out.finish();
}

std::vector<uint32_t> rle_counts(const RunMask& m) {
  const int64_t h = m.height(), w = m.width();
  require_coco_frame(h, w);
  const RunMask columns = transposed(m);
  std::vector<uint32_t> counts;
  uint64_t pos = 0;  // pixels counted so far, in column-major order
  const PixelBox& b = columns.box();
  if (!b.empty) {
    for (int64_t x = b.y_min; x <= b.y_max; ++x) {
      const uint64_t base = static_cast<uint64_t>(x) * static_cast<uint64_t>(h);
      for (const Run& r : columns.row(x)) {
        const uint64_t s = base + static_cast<uint64_t>(r.x_begin), e = base + static_cast<uint64_t>(r.x_end);
        if (s == pos && !counts.empty()) {
          counts.back() += static_cast<uint32_t>(e - s);  // a run going on into the next column
        } else {
          counts.push_back(static_cast<uint32_t>(s - pos));
          counts.push_back(static_cast<uint32_t>(e - s));
        }
        pos = e;
      }
    }
  }
  const uint64_t total = static_cast<uint64_t>(h) * static_cast<uint64_t>(w);
  if (pos < total || counts.empty()) counts.push_back(static_cast<uint32_t>(total - pos));
  return counts;
}

namespace {

// Builds the column runs of RLE counts given one by one, checking at the
// end that they cover the frame exactly. The column of a position is
// followed forward rather than divided out: runs mostly move on by less than
// a column.
class ColumnRuns {
 public:
  ColumnRuns(int64_t height, int64_t width, size_t expected_runs)
      : columns_(width, height),
        h_(static_cast<uint64_t>(height)),
        total_(static_cast<uint64_t>(height) * static_cast<uint64_t>(width)),
        height_(height),
        width_(width) {
    require_coco_frame(height, width);
    columns_.reserve(expected_runs, expected_runs);
  }

  void count(uint64_t c) {
    const uint64_t end = pos_ + c;
    if (end > total_) [[unlikely]]
      pos_ = end;  // reported by finish()
    else if (set_) {
      while (pos_ < end) {
        if (pos_ - base_ >= 4 * h_) {
          x_ = pos_ / h_;
          base_ = x_ * h_;
        }
        while (pos_ - base_ >= h_) {
          base_ += h_;
          ++x_;
        }
        const uint64_t stop = std::min(end, base_ + h_);
        columns_.add(static_cast<int64_t>(x_), static_cast<int64_t>(pos_ - base_), static_cast<int64_t>(stop - base_));
        pos_ = stop;
      }
    }
    pos_ = end;
    set_ = !set_;
  }

  RunMask finish() {
    if (pos_ != total_)
      throw ValueError("RLE counts cover " + std::to_string(pos_) + " pixels, expected " + std::to_string(height_) +
                       " x " + std::to_string(width_) + " = " + std::to_string(total_));
    return columns_.finish();
  }

 private:
  RunMaskBuilder columns_;
  uint64_t h_, total_, pos_ = 0, x_ = 0, base_ = 0;  // column x_ starts at pixel base_ = x_ * h_
  int64_t height_, width_;
  bool set_ = false;
};

}  // namespace

RunMask rle_to_column_runs(const std::vector<uint32_t>& counts, int64_t height, int64_t width) {
  ColumnRuns runs(height, width, counts.size() / 2);
  for (uint32_t c : counts) runs.count(c);
  return runs.finish();
}

RunMask rle_to_run_mask(const std::vector<uint32_t>& counts, int64_t height, int64_t width) {
  return transposed(rle_to_column_runs(counts, height, width));
}

std::string rle_counts_text(const std::vector<uint32_t>& counts) {
  std::string s;
  s.reserve(counts.size() * 2);
  for (size_t i = 0; i < counts.size(); ++i) {
    int64_t x = counts[i];
    if (i > 2) x -= counts[i - 2];
    bool more = true;
    while (more) {
      char c = static_cast<char>(x & 0x1f);
      x >>= 5;  // arithmetic: negative differences keep their sign
      more = (c & 0x10) ? x != -1 : x != 0;
      if (more) c |= 0x20;
      s.push_back(static_cast<char>(c + 48));
    }
  }
  return s;
}

namespace {

[[noreturn]] void bad_character(std::string_view text, size_t p) {
  throw ValueError(expected_got("RLE characters '0' to 'o'", "byte " + std::to_string(static_cast<unsigned char>(text[p])) +
                                                                  " at character " + std::to_string(p + 1)));
}

// Decodes a compressed RLE text, giving each count to sink(count).
template <typename Sink>
void decode_counts(std::string_view text, Sink&& sink) {
  uint32_t before_last = 0, last = 0;  // the two counts before this one
  size_t m = 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t p = 0;
  while (p < n) {
    const size_t start = p;
    uint64_t x = 0;
    int shift = 0;
    unsigned c = 0;
    do {
      if (p >= n) [[unlikely]]
        throw ValueError("RLE text ends inside the count that starts at character " + std::to_string(start + 1));
      c = static_cast<unsigned>(s[p]) - 48u;
      if (c > 63u) [[unlikely]]
        bad_character(text, p);
      x |= static_cast<uint64_t>(c & 0x1f) << shift;
      ++p;
      shift += 5;
    } while ((c & 0x20) && shift < 64);
    if (c & 0x20) [[unlikely]]
      throw ValueError("RLE count at character " + std::to_string(start + 1) + " has more than 64 bits");
    if ((c & 0x10) && shift < 64) x |= ~uint64_t{0} << shift;
    int64_t value = static_cast<int64_t>(x);
    if (m > 2 && __builtin_add_overflow(value, static_cast<int64_t>(before_last), &value))
      throw ValueError("RLE count at character " + std::to_string(start + 1) + " overflows");
    if (value < 0 || value > static_cast<int64_t>(UINT32_MAX))
      throw ValueError(expected_got("RLE counts from 0 to 2^32 - 1",
                                    std::to_string(value) + " at character " + std::to_string(start + 1)));
    before_last = last;
    last = static_cast<uint32_t>(value);
    ++m;
    sink(last);
  }
}

void decode_counts(std::string_view text, std::vector<uint32_t>& counts) {
  counts.clear();
  counts.reserve(text.size());
  decode_counts(text, [&](uint32_t c) { counts.push_back(c); });
}

}  // namespace

std::vector<uint32_t> rle_counts_of_text(std::string_view text) {
  std::vector<uint32_t> counts;
  decode_counts(text, counts);
  return counts;
}

RunMask rle_text_to_run_mask(std::string_view text, int64_t height, int64_t width, std::vector<uint32_t>& scratch,
                             bool column_runs) {
  if (!column_runs) {
    decode_counts(text, scratch);
    return rle_to_run_mask(scratch, height, width);
  }
  // Each count takes a character or more, and two counts make a run.
  ColumnRuns runs(height, width, text.size() / 2 + 1);
  decode_counts(text, [&](uint32_t c) { runs.count(c); });
  return runs.finish();
}

}  // namespace mirelo
