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

std::vector<uint32_t> rle_counts(const RunMask& m) {
  const int64_t h = m.height(), w = m.width();
  require_coco_frame(h, w);
  std::vector<uint32_t> counts;
  uint64_t pos = 0, run_begin = 0, run_end = 0;
  bool have = false;
  auto flush = [&] {
    counts.push_back(static_cast<uint32_t>(run_begin - pos));
    counts.push_back(static_cast<uint32_t>(run_end - run_begin));
    pos = run_end;
  };
  const PixelBox& b = m.box();
  if (!b.empty)
    transpose_runs(b.y_min, b.y_max, static_cast<int32_t>(b.x_min), static_cast<int32_t>(b.x_max + 1),
                   [&](int64_t y) { return m.row(y); },
                   [&](int32_t x, int32_t y0, int32_t y1) {
                     const uint64_t s = static_cast<uint64_t>(x) * static_cast<uint64_t>(h) + static_cast<uint64_t>(y0);
                     const uint64_t e = s + static_cast<uint64_t>(y1 - y0);
                     if (have && s == run_end) {
                       run_end = e;
                       return;
                     }
                     if (have) flush();
                     run_begin = s;
                     run_end = e;
                     have = true;
                   });
  if (have) flush();
  const uint64_t total = static_cast<uint64_t>(h) * static_cast<uint64_t>(w);
  if (pos < total || counts.empty()) counts.push_back(static_cast<uint32_t>(total - pos));
  return counts;
}

RunMask rle_to_run_mask(const std::vector<uint32_t>& counts, int64_t height, int64_t width) {
  require_coco_frame(height, width);
  const uint64_t total = static_cast<uint64_t>(height) * static_cast<uint64_t>(width);
  uint64_t sum = 0;
  for (uint32_t c : counts) sum += c;
  if (sum != total)
    throw ValueError("RLE counts cover " + std::to_string(sum) + " pixels, expected " + std::to_string(height) + " x " +
                     std::to_string(width) + " = " + std::to_string(total));
  // The set pixels as runs down each column: the columns holding any, and
  // where each one's runs start.
  std::vector<Run> runs;
  std::vector<int32_t> columns;
  std::vector<uint32_t> column_start;
  uint64_t pos = 0;
  for (size_t k = 0; k < counts.size(); ++k) {
    const uint64_t end = pos + counts[k];
    if (k % 2 == 1) {
      while (pos < end) {
        const uint64_t x = pos / static_cast<uint64_t>(height);
        const uint64_t column_end = std::min(end, (x + 1) * static_cast<uint64_t>(height));
        const int32_t y0 = static_cast<int32_t>(pos - x * static_cast<uint64_t>(height));
        const int32_t y1 = static_cast<int32_t>(column_end - x * static_cast<uint64_t>(height));
        if (columns.empty() || columns.back() != static_cast<int32_t>(x)) {
          columns.push_back(static_cast<int32_t>(x));
          column_start.push_back(static_cast<uint32_t>(runs.size()));
          runs.push_back({y0, y1});
        } else if (runs.back().x_end == y0) {
          runs.back().x_end = y1;  // a run of no unset pixels between
        } else {
          runs.push_back({y0, y1});
        }
        pos = column_end;
      }
    }
    pos = end;
  }
  column_start.push_back(static_cast<uint32_t>(runs.size()));
  RunMaskBuilder builder(height, width);
  if (columns.empty()) return builder.finish();
  int32_t y_lo = INT32_MAX, y_hi = 0;
  for (size_t c = 0; c + 1 < column_start.size(); ++c) {
    y_lo = std::min(y_lo, runs[column_start[c]].x_begin);
    y_hi = std::max(y_hi, runs[column_start[c + 1] - 1].x_end);
  }
  // Columns without runs between those with some are lines without runs.
  size_t c = 0;
  transpose_runs(columns.front(), columns.back(), y_lo, y_hi,
                 [&](int64_t x) {
                   while (c < columns.size() && columns[c] < x) ++c;
                   if (c < columns.size() && columns[c] == x)
                     return std::span<const Run>(runs.data() + column_start[c], column_start[c + 1] - column_start[c]);
                   return std::span<const Run>{};
                 },
                 [&](int32_t y, int32_t x0, int32_t x1) { builder.add(y, x0, x1); });
  return builder.finish();
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

void decode_counts(std::string_view text, std::vector<uint32_t>& counts) {
  counts.clear();
  size_t p = 0;
  while (p < text.size()) {
    const size_t start = p;
    uint64_t x = 0;
    int k = 0;
    bool more = true;
    while (more) {
      if (p >= text.size())
        throw ValueError("RLE text ends inside the count that starts at character " + std::to_string(start + 1));
      const int c = static_cast<unsigned char>(text[p]) - 48;
      if (c < 0 || c > 63)
        throw ValueError(expected_got("RLE characters '0' to 'o'",
                                      "byte " + std::to_string(static_cast<unsigned char>(text[p])) + " at character " +
                                          std::to_string(p + 1)));
      if (5 * k >= 64) throw ValueError("RLE count at character " + std::to_string(start + 1) + " has more than 64 bits");
      x |= static_cast<uint64_t>(c & 0x1f) << (5 * k);
      more = (c & 0x20) != 0;
      ++p;
      ++k;
      if (!more && (c & 0x10) && 5 * k < 64) x |= ~uint64_t{0} << (5 * k);
    }
    int64_t value = static_cast<int64_t>(x);
    const size_t m = counts.size();
    if (m > 2 && __builtin_add_overflow(value, static_cast<int64_t>(counts[m - 2]), &value))
      throw ValueError("RLE count at character " + std::to_string(start + 1) + " overflows");
    if (value < 0 || value > static_cast<int64_t>(UINT32_MAX))
      throw ValueError(expected_got("RLE counts from 0 to 2^32 - 1",
                                    std::to_string(value) + " at character " + std::to_string(start + 1)));
    counts.push_back(static_cast<uint32_t>(value));
  }
}

}  // namespace

std::vector<uint32_t> rle_counts_of_text(std::string_view text) {
  std::vector<uint32_t> counts;
  decode_counts(text, counts);
  return counts;
}

RunMask rle_text_to_run_mask(std::string_view text, int64_t height, int64_t width, std::vector<uint32_t>& scratch) {
  decode_counts(text, scratch);
  return rle_to_run_mask(scratch, height, width);
}

}  // namespace mirelo
