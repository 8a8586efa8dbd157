#include "common/polygon_fill.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "common/runtime.hpp"

namespace mirelo {
namespace {

// OpenCV's fixed-point x of polygon edges: 16 fractional bits.
constexpr int kShift = 16;
constexpr int64_t kAlmostOne = (int64_t{1} << kShift) - 1;
// Work between two interrupt checks: well under a millisecond.
constexpr uint64_t kWorkPerCheck = uint64_t{1} << 18;

// The reference computes edge positions in 64-bit integers that far-away
// vertices can overflow; it then wraps, and so must this fill, without the
// undefined behaviour of signed overflow.
int64_t wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t wrap_sub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
int64_t wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

// cv::clipLine(Size2l, Point2l&, Point2l&), step for step (its rounding
// decides which pixels of an edge leaving the frame are drawn).
bool clip_line(int64_t width, int64_t height, int64_t& x1, int64_t& y1, int64_t& x2, int64_t& y2) {
  const int64_t right = width - 1, bottom = height - 1;
  if (width <= 0 || height <= 0) return false;
  int c1 = (x1 < 0) + (x1 > right) * 2 + (y1 < 0) * 4 + (y1 > bottom) * 8;
  int c2 = (x2 < 0) + (x2 > right) * 2 + (y2 < 0) * 4 + (y2 > bottom) * 8;
  if ((c1 & c2) == 0 && (c1 | c2) != 0) {
    int64_t a;
    if (c1 & 12) {
      a = c1 < 8 ? 0 : bottom;
      x1 += static_cast<int64_t>(static_cast<double>(a - y1) * static_cast<double>(x2 - x1) /
                                 static_cast<double>(y2 - y1));
      y1 = a;
      c1 = (x1 < 0) + (x1 > right) * 2;
    }
    if (c2 & 12) {
      a = c2 < 8 ? 0 : bottom;
      x2 += static_cast<int64_t>(static_cast<double>(a - y2) * static_cast<double>(x2 - x1) /
                                 static_cast<double>(y2 - y1));
      y2 = a;
      c2 = (x2 < 0) + (x2 > right) * 2;
    }
    if ((c1 & c2) == 0 && (c1 | c2) != 0) {
      if (c1) {
        a = c1 == 1 ? 0 : right;
        y1 += static_cast<int64_t>(static_cast<double>(a - x1) * static_cast<double>(y2 - y1) /
                                   static_cast<double>(x2 - x1));
        x1 = a;
        c1 = 0;
      }
      if (c2) {
        a = c2 == 1 ? 0 : right;
        y2 += static_cast<int64_t>(static_cast<double>(a - x2) * static_cast<double>(y2 - y1) /
                                   static_cast<double>(x2 - x1));
        x2 = a;
        c2 = 0;
      }
    }
  }
  return (c1 | c2) == 0;
}

// Where pixels land: the frame, and the window of it that the target holds.
class Canvas {
 public:
  Canvas(cv::Mat& target, const cv::Point2l& origin, int64_t frame_height, int64_t frame_width,
         const cv::Scalar& value)
      : target_(target), ox_(origin.x), oy_(origin.y), width_(frame_width), height_(frame_height) {
    pixel_size_ = static_cast<int>(target.elemSize());
    for (int c = 0; c < pixel_size_; ++c) pixel_[c] = cv::saturate_cast<uint8_t>(value[c]);
    col_lo_ = std::max<int64_t>(ox_, 0);
    col_hi_ = std::min<int64_t>(ox_ + target.cols, width_) - 1;
    row_lo_ = std::max<int64_t>(oy_, 0);
    row_hi_ = std::min<int64_t>(oy_ + target.rows, height_) - 1;
  }

  int64_t width() const { return width_; }
  int64_t height() const { return height_; }
  int64_t row_lo() const { return row_lo_; }
  int64_t row_hi() const { return row_hi_; }
  bool empty() const { return col_lo_ > col_hi_ || row_lo_ > row_hi_; }

  // Frame pixels [x1, x2] of frame row y (x1, x2 inside the frame).
  void span(int64_t y, int64_t x1, int64_t x2) {
    x1 = std::max(x1, col_lo_), x2 = std::min(x2, col_hi_);
    if (x1 > x2 || y < row_lo_ || y > row_hi_) return;
    uint8_t* row = target_.ptr<uint8_t>(static_cast<int>(y - oy_));
    uint8_t* p = row + (x1 - ox_) * pixel_size_;
    const size_t n = static_cast<size_t>(x2 - x1 + 1);
    if (pixel_size_ == 1) {
      std::memset(p, pixel_[0], n);
      return;
    }
    for (size_t k = 0; k < n; ++k, p += pixel_size_) std::memcpy(p, pixel_, static_cast<size_t>(pixel_size_));
  }

  // Frame pixel (x, y), inside the target.
  void set(int64_t x, int64_t y) {
    uint8_t* p = target_.ptr<uint8_t>(static_cast<int>(y - oy_)) + (x - ox_) * pixel_size_;
    if (pixel_size_ == 1) {
      *p = pixel_[0];
    } else {
      std::memcpy(p, pixel_, static_cast<size_t>(pixel_size_));
    }
  }

  int64_t col_lo() const { return col_lo_; }
  int64_t col_hi() const { return col_hi_; }

  // cv::LineIterator(frame, p1, p2, 8, leftToRight = true) and what
  // cv::line's 8-connected Line() paints with it, limited to the target.
  // Returns the pixels visited.
  uint64_t line(int x1, int y1, int x2, int y2) {
    if (static_cast<uint64_t>(static_cast<unsigned>(x1)) >= static_cast<uint64_t>(width_) ||
        static_cast<uint64_t>(static_cast<unsigned>(x2)) >= static_cast<uint64_t>(width_) ||
        static_cast<uint64_t>(static_cast<unsigned>(y1)) >= static_cast<uint64_t>(height_) ||
        static_cast<uint64_t>(static_cast<unsigned>(y2)) >= static_cast<uint64_t>(height_)) {
      int64_t a = x1, b = y1, c = x2, d = y2;
      if (!clip_line(width_, height_, a, b, c, d)) return 0;
      x1 = static_cast<int>(a), y1 = static_cast<int>(b), x2 = static_cast<int>(c), y2 = static_cast<int>(d);
    }
    int64_t dx = static_cast<int64_t>(x2) - x1, dy = static_cast<int64_t>(y2) - y1;
    int64_t sx = x1, sy = y1;  // the start
    if (dx < 0) {
      dx = -dx, dy = -dy;
      sx = x2, sy = y2;
    }
    int64_t minor_step = 1;
    if (dy < 0) dy = -dy, minor_step = -1;
    // Bresenham along the longer axis ("major"): after k steps the shorter
    // one has moved m(k) = ceil((2 dy k - dx) / (2 dx)) times, which is where
    // the iterator's error term puts it; so the walk can start at the first
    // step inside the target instead of the line's first pixel.
    const bool vertical = dy > dx;
    if (vertical) std::swap(dx, dy);
    int64_t major0 = vertical ? sy : sx, minor0 = vertical ? sx : sy;
    const int64_t major_step = vertical ? minor_step : 1;
    if (vertical) minor_step = 1;
    const int64_t lo = vertical ? row_lo_ : col_lo_, hi = vertical ? row_hi_ : col_hi_;
    const int64_t minor_lo = vertical ? col_lo_ : row_lo_, minor_hi = vertical ? col_hi_ : row_hi_;
    // Steps k in [0, dx] whose major coordinate major0 + k * major_step is in [lo, hi].
    int64_t k0, k1;
    if (major_step > 0) {
      k0 = std::max<int64_t>(0, lo - major0), k1 = std::min<int64_t>(dx, hi - major0);
    } else {
      k0 = std::max<int64_t>(0, major0 - hi), k1 = std::min<int64_t>(dx, major0 - lo);
    }
    if (k0 > k1) return 0;
    int64_t moved = 0;
    if (dx > 0 && k0 > 0) {
      const __int128 num = static_cast<__int128>(2 * dy) * k0 - dx, den = 2 * static_cast<__int128>(dx);
      moved = static_cast<int64_t>(num >= 0 ? (num + den - 1) / den : -((-num) / den));
    }
    int64_t err = static_cast<int64_t>(static_cast<__int128>(dx) - 2 * dy - static_cast<__int128>(2 * dy) * k0 +
                                       static_cast<__int128>(2 * dx) * moved);
    int64_t major = major0 + k0 * major_step, minor = minor0 + moved * minor_step;
    for (int64_t k = k0; k <= k1; ++k) {
      if (minor >= minor_lo && minor <= minor_hi) vertical ? set(minor, major) : set(major, minor);
      major += major_step;
      if (err < 0) {
        minor += minor_step;
        err += 2 * dx - 2 * dy;
      } else {
        err -= 2 * dy;
      }
    }
    return static_cast<uint64_t>(k1 - k0 + 1);
  }

 private:
  cv::Mat& target_;
  int64_t ox_, oy_, width_, height_;
  int64_t col_lo_, col_hi_, row_lo_, row_hi_;
  int pixel_size_ = 1;
  uint8_t pixel_[4] = {};
};

// An edge as cv::fillPoly keeps it: rows [y0, y1), x (16 fractional bits)
// at row y0 and its change per row.
struct Edge {
  int64_t y0, y1, x, dx;
};

// Upper bound of the work of a fill (outline pixels inside the target and
// edge–row crossings in its rows), from the vertices alone, so that a fill
// beyond the limit is refused before it starts.
uint64_t work_bound(const Canvas& canvas, const std::vector<cv::Point>& v) {
  const int64_t cols = canvas.col_hi() - canvas.col_lo() + 1, rows = canvas.row_hi() - canvas.row_lo() + 1;
  uint64_t work = 0;
  cv::Point prev = v.back();
  for (const cv::Point& cur : v) {
    const int64_t dx = std::abs(int64_t{cur.x} - prev.x), dy = std::abs(int64_t{cur.y} - prev.y);
    work += static_cast<uint64_t>(std::min(std::max(dx, dy), std::max(cols, rows))) + 1;
    const int64_t lo = std::max<int64_t>(std::min(prev.y, cur.y), canvas.row_lo());
    const int64_t hi = std::min<int64_t>(std::max(prev.y, cur.y) - 1, canvas.row_hi());
    if (lo <= hi) work += static_cast<uint64_t>(hi - lo + 1);
    prev = cur;
  }
  return work;
}

// The outline drawn and the edges collected as OpenCV's CollectPolyEdges
// does it for one contour (8-connected lines, no fractional bits).
std::vector<Edge> outline_and_edges(Canvas& canvas, const std::vector<cv::Point>& v) {
  std::vector<Edge> edges;
  edges.reserve(v.size());
  cv::Point prev = v.back();
  uint64_t since_check = 0;
  for (const cv::Point& cur : v) {
    since_check += canvas.line(prev.x, prev.y, cur.x, cur.y) + 1;
    if (since_check >= kWorkPerCheck) {
      check_interrupt();
      since_check = 0;
    }
    int64_t t0x = prev.x, t0y = prev.y, t1x = cur.x, t1y = cur.y;
    int64_t c0y = prev.y, c1y = cur.y;
    if (static_cast<uint64_t>(static_cast<unsigned>(prev.x)) >= static_cast<uint64_t>(canvas.width()) ||
        static_cast<uint64_t>(static_cast<unsigned>(cur.x)) >= static_cast<uint64_t>(canvas.width()) ||
        static_cast<uint64_t>(static_cast<unsigned>(prev.y)) >= static_cast<uint64_t>(canvas.height()) ||
        static_cast<uint64_t>(static_cast<unsigned>(cur.y)) >= static_cast<uint64_t>(canvas.height())) {
      clip_line(canvas.width(), canvas.height(), t0x, t0y, t1x, t1y);
      if (t0y != t1y) c0y = t0y, c1y = t1y;
    }
    const int64_t c0x = static_cast<int64_t>(static_cast<uint64_t>(t0x) << kShift);
    const int64_t c1x = static_cast<int64_t>(static_cast<uint64_t>(t1x) << kShift);
    if (prev.y != cur.y) {
      Edge e;
      e.dx = (c1x - c0x) / (c1y - c0y);
      if (prev.y < cur.y) {
        e.y0 = prev.y, e.y1 = cur.y;
        e.x = wrap_add(c0x, wrap_mul(prev.y - c0y, e.dx));
      } else {
        e.y0 = cur.y, e.y1 = prev.y;
        e.x = wrap_add(c1x, wrap_mul(cur.y - c1y, e.dx));
      }
      edges.push_back(e);
    }
    prev = cur;
  }
  return edges;
}

struct Active {
  int64_t x, dx, y1;
};

bool by_x(const Active& p, const Active& q) { return p.x < q.x; }

// Sorts the active edges by x. From one row to the next few edges change
// places, so an insertion sort costs about one pass; when many have, a full
// sort is cheaper.
void sort_active(std::vector<Active>& a) {
  const size_t budget = 4 * a.size() + 64;
  size_t moves = 0;
  for (size_t i = 1; i < a.size(); ++i) {
    const Active cur = a[i];
    size_t j = i;
    while (j > 0 && a[j - 1].x > cur.x) {
      a[j] = a[j - 1];
      --j;
      if (++moves > budget) {
        a[j] = cur;
        std::sort(a.begin(), a.end(), by_x);
        return;
      }
    }
    a[j] = cur;
  }
}

// One row's spans from its crossings, as cv::fillPoly pairs them: the
// crossings in x order, and between the two of each pair the pixels from
// the first at or right of the left one to the last at or left of the
// right one. Only the order of the x values matters (equal ones give the
// same spans whichever way they pair).
class RowFiller {
 public:
  explicit RowFiller(Canvas& canvas)
      : canvas_(canvas), lo_(canvas.col_lo()), hi_(canvas.col_hi()), keys_(static_cast<size_t>(2 * (hi_ - lo_) + 3)) {}

  void fill(int64_t y, std::vector<Active>& active) {
    // Many crossings on few columns (a long self-crossing outline): counted
    // by the columns they fall in, with no sorting.
    if (active.size() >= 64 && keys_ <= 16 * active.size() && active.size() % 2 == 0 && counted(y, active))
      return;
    sort_active(active);
    for (size_t k = 1; k < active.size(); k += 2) {
      // The reference's conversions to int, wrapping included.
      const int64_t x1 = static_cast<int>(wrap_add(active[k - 1].x, kAlmostOne) >> kShift);
      const int64_t x2 = static_cast<int>(active[k].x >> kShift);
      if (x1 < canvas_.width() && x2 >= 0)
        canvas_.span(y, std::max<int64_t>(x1, 0), std::min(x2, canvas_.width() - 1));
    }
    // Every edge steps on to the next row, but an unpaired last one stays
    // where it is in the reference: taken back here.
    if (active.size() % 2 == 1) active.back().x = wrap_sub(active.back().x, active.back().dx);
  }

 private:
  // Crossings of one class give the same span ends: those left of the
  // target's columns (key 0), at whole column k (1 + 2 (k - lo)), between
  // columns k and k + 1 (2 + 2 (k - lo)), right of them (last key). Needs
  // every x far from where the reference's int conversion wraps; false
  // (nothing done) otherwise.
  bool counted(int64_t y, const std::vector<Active>& active) {
    constexpr int64_t kSafe = int64_t{1} << (kShift + 30);
    const int64_t lo_fixed = lo_ << kShift, hi_fixed = hi_ << kShift;
    const size_t last = keys_ - 1;
    counts_.assign(keys_, 0u);
    for (const Active& a : active) {
      if (a.x <= -kSafe || a.x >= kSafe) return false;
      size_t key;
      if (a.x < lo_fixed) {
        key = 0;
      } else if (a.x > hi_fixed) {
        key = last;
      } else {
        const int64_t column = a.x >> kShift;
        key = static_cast<size_t>(2 * (column - lo_) + ((a.x & kAlmostOne) == 0 ? 1 : 2));
      }
      ++counts_[key];
    }
    bool open = false;
    int64_t start = 0;
    for (size_t key = 0; key <= last; ++key) {
      uint32_t c = counts_[key];
      if (c == 0) continue;
      // The first pixel a left crossing of this class gives, and the last a
      // right one gives.
      int64_t left, right;
      if (key == 0) {
        left = lo_, right = lo_ - 1;
      } else if (key == last) {
        left = hi_ + 1, right = hi_;
      } else {
        const int64_t column = lo_ + static_cast<int64_t>((key - 1) / 2);
        const bool whole = key % 2 == 1;
        left = whole ? column : column + 1, right = column;
      }
      if (open) {
        if (start <= right) canvas_.span(y, start, right);
        open = false;
        --c;
      }
      if (c >= 2 && left <= right) canvas_.span(y, left, right);
      if (c % 2 == 1) {
        open = true;
        start = left;
      }
    }
    return true;
  }

  Canvas& canvas_;
  int64_t lo_, hi_;
  size_t keys_;
  std::vector<uint32_t> counts_;
};

}  // namespace

void require_fill_work(size_t vertices, uint64_t work) {
  if (work <= kPolygonFillMaxWork) return;
  throw ValueError("cannot fill a polygon of " + std::to_string(vertices) + " vertices: it needs more than " +
                   std::to_string(kPolygonFillMaxWork) +
                   " steps (crossings of its edges with the frame's rows, and pixels of its outline), the most "
                   "one fill may take");
}

void fill_polygon(cv::Mat& target, const cv::Point2l& origin, int64_t frame_height, int64_t frame_width,
                  const std::vector<cv::Point>& vertices, const cv::Scalar& value) {
  if (frame_height < 0 || frame_width < 0 || frame_height > INT_MAX || frame_width > INT_MAX)
    throw ValueError(expected_got("a frame of at most " + std::to_string(INT_MAX) + " pixels a side",
                                  std::to_string(frame_height) + " x " + std::to_string(frame_width)));
  if (target.depth() != CV_8U || target.channels() > 4)
    throw ValueError(expected_got("an 8-bit image of 1 to 4 channels to fill", "another pixel type"));
  if (vertices.empty() || target.empty()) return;
  Canvas canvas(target, origin, frame_height, frame_width, value);
  if (canvas.empty()) return;
  require_fill_work(vertices.size(), work_bound(canvas, vertices));

  std::vector<Edge> edges = outline_and_edges(canvas, vertices);
  if (edges.size() < 2) return;

  // What cv::fillPoly checks before filling: the edges' rows and x range
  // (its x range from 64-bit values that may have wrapped, hence checked
  // the same way rather than left to the spans).
  int64_t y_min = INT64_MAX, y_max = INT64_MIN, x_min = INT64_MAX, x_max = -1;
  for (const Edge& e : edges) {
    const int64_t x_end = wrap_add(e.x, wrap_mul(e.y1 - e.y0, e.dx));
    y_min = std::min(y_min, e.y0), y_max = std::max(y_max, e.y1);
    x_min = std::min({x_min, e.x, x_end}), x_max = std::max({x_max, e.x, x_end});
  }
  if (y_max < 0 || y_min >= frame_height || x_max < 0 || x_min >= (frame_width << kShift)) return;

  // Only the target's rows are filled; an edge entering them from above
  // starts where its constant step has taken it.
  const int64_t first = std::max(y_min, canvas.row_lo());
  const int64_t last = std::min(y_max - 1, canvas.row_hi());
  if (first > last) return;
  const size_t rows = static_cast<size_t>(last - first + 1);
  // The edges by the row they enter (a counting sort: rows are few).
  std::vector<size_t> starts(rows + 1, 0);
  for (const Edge& e : edges)
    if (e.y1 > first && e.y0 <= last) ++starts[static_cast<size_t>(std::max(e.y0, first) - first) + 1];
  for (size_t r = 1; r <= rows; ++r) starts[r] += starts[r - 1];
  std::vector<Active> entering(starts[rows]);
  {
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    for (const Edge& e : edges) {
      if (e.y1 <= first || e.y0 > last) continue;
      const int64_t y = std::max(e.y0, first);
      entering[next[static_cast<size_t>(y - first)]++] = {wrap_add(e.x, wrap_mul(y - e.y0, e.dx)), e.dx, e.y1};
    }
  }
  edges = {};

  RowFiller filler(canvas);
  std::vector<Active> active;
  uint64_t since_check = 0;
  for (int64_t y = first; y <= last; ++y) {
    const size_t r = static_cast<size_t>(y - first);
    // The edges leaving at this row dropped, the others stepped on from the
    // row above, in one pass.
    size_t kept = 0;
    for (const Active& a : active)
      if (a.y1 != y) active[kept++] = {wrap_add(a.x, a.dx), a.dx, a.y1};
    active.resize(kept);
    active.insert(active.end(), entering.begin() + static_cast<std::ptrdiff_t>(starts[r]),
                  entering.begin() + static_cast<std::ptrdiff_t>(starts[r + 1]));
    filler.fill(y, active);
    since_check += active.size() + 1;
    if (since_check >= kWorkPerCheck) {
      check_interrupt();
      since_check = 0;
    }
  }
}

void fill_polygon(cv::Mat& image, const std::vector<cv::Point>& vertices, const cv::Scalar& value) {
  fill_polygon(image, cv::Point2l(0, 0), image.rows, image.cols, vertices, value);
}

}  // namespace mirelo
