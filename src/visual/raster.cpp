#include "visual/raster.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>
#include <string>

#include "common/errors.hpp"
#include "common/polygon_fill.hpp"
#include "common/runtime.hpp"

namespace mirelo {
namespace {

// Coordinates further out than this cannot reach an image; clamping them
// keeps every sum below int64 overflow without changing what is drawn.
constexpr int64_t kFar = int64_t{1} << 40;

int64_t clamp_far(int64_t v) { return std::clamp(v, -kFar, kFar); }

void require_rgba(const cv::Mat& m, const char* what) {
  if (m.type() != CV_8UC4)
    throw ValueError(expected_got(std::string("an RGBA image with 8 bits per channel for ") + what,
                                  std::to_string(m.channels()) + " channel(s) of depth " +
                                      std::to_string(m.depth())));
}

void put(cv::Mat& m, int64_t x, int64_t y, const Rgba& c) {
  if (x < 0 || y < 0 || x >= m.cols || y >= m.rows) return;
  std::copy(c.begin(), c.end(), m.ptr<uint8_t>(static_cast<int>(y)) + 4 * x);
}

void hline(cv::Mat& m, int64_t xa, int64_t xb, int64_t y, const Rgba& c) {
  if (y < 0 || y >= m.rows) return;
  xa = std::max<int64_t>(xa, 0);
  xb = std::min<int64_t>(xb, m.cols - 1);
  uint8_t* p = m.ptr<uint8_t>(static_cast<int>(y));
  for (int64_t x = xa; x <= xb; ++x) std::copy(c.begin(), c.end(), p + 4 * x);
}

// The rows a vertical side stroke covers. When the box is too short for its
// sides (b < a) the imaging library's stroke runs from b + 2 up to a.
void vline(cv::Mat& m, int64_t x, int64_t a, int64_t b, const Rgba& c) {
  if (x < 0 || x >= m.cols) return;
  int64_t lo = a, hi = b;
  if (b < a) lo = b + 2, hi = a;
  lo = std::max<int64_t>(lo, 0);
  hi = std::min<int64_t>(hi, m.rows - 1);
  for (int64_t y = lo; y <= hi; ++y) put(m, x, y, c);
}

// An edge of the scanline fill, with the imaging library's field types: the
// crossing of a row is computed in single precision, as it computes it.
struct Edge {
  int64_t x0 = 0, y0 = 0, xmin = 0, ymin = 0, xmax = 0, ymax = 0;
  float dx = 0;

  Edge(int64_t xa, int64_t ya, int64_t xb, int64_t yb)
      : x0(xa), y0(ya), xmin(std::min(xa, xb)), ymin(std::min(ya, yb)), xmax(std::max(xa, xb)), ymax(std::max(ya, yb)) {
    if (ya != yb) dx = static_cast<float>(xb - xa) / static_cast<float>(yb - ya);
  }
  float x_at(int64_t y) const { return static_cast<float>(y - y0) * dx + static_cast<float>(x0); }
};

// The library's rounding of a span's ends (a float sum, then a double floor
// or ceiling), clamped to what an int holds before the conversion.
int64_t to_int_clamped(double v) { return static_cast<int64_t>(std::clamp(v, double{INT_MIN}, double{INT_MAX})); }
int64_t round_up(float f) {
  return to_int_clamped(f >= 0.0f ? std::floor(static_cast<double>(f + 0.5f)) : -std::floor(std::fabs(f) + 0.5));
}
int64_t round_down(float f) {
  return to_int_clamped(f >= 0.0f ? std::ceil(static_cast<double>(f - 0.5f)) : -std::ceil(std::fabs(f) - 0.5));
}

// The spans of row `y` from its crossings `xx` (unsorted, an even number)
// without sorting them, when there are many for the image's width: each
// crossing counts in the class of the pixels it starts a span at and ends
// one at, the classes in the order of the crossings; the spans of sorted
// pairs follow from the counts. False (nothing drawn) when not worth it.
bool spans_by_count(cv::Mat& rgba, int64_t y, const std::vector<float>& xx, const Rgba& colour,
                    std::vector<uint32_t>& counts) {
  const int64_t w = rgba.cols;
  const size_t keys = static_cast<size_t>(2 * w + 1);
  if (xx.size() < 64 || xx.size() % 2 != 0 || keys > 16 * xx.size()) return false;
  counts.assign(keys, 0u);
  for (const float x : xx) {
    // First pixel of a span it starts (w: none), last of one it ends (-1: none).
    const int64_t first = std::clamp<int64_t>(round_up(x), 0, w), last = std::clamp<int64_t>(round_down(x), -1, w - 1);
    if (first - last != 0 && first - last != 1) return false;
    ++counts[static_cast<size_t>(first + last + 1)];
  }
  bool open = false;
  int64_t start = 0;
  for (size_t key = 0; key < keys; ++key) {
    uint32_t c = counts[key];
    if (c == 0) continue;
    const int64_t first = static_cast<int64_t>(key / 2), last = key % 2 == 1 ? first : first - 1;
    if (open) {
      hline(rgba, start, last, y, colour);
      open = false;
      --c;
    }
    if (c >= 2) hline(rgba, first, last, y, colour);
    if (c % 2 == 1) {
      open = true;
      start = first;
    }
  }
  return true;
}

}  // namespace

void fill_polygon_scanline(cv::Mat& rgba, const std::vector<std::array<int32_t, 2>>& vertices, const Rgba& colour) {
  require_rgba(rgba, "drawing");
  const size_t count = vertices.size();
  if (count == 0) return;
  // Edges, with runs of horizontal segments going one way merged into one.
  std::vector<Edge> edges;
  size_t i = 0;
  for (; i + 1 < count; ++i) {
    const int64_t x0 = vertices[i][0], y0 = vertices[i][1], x1 = vertices[i + 1][0], y1 = vertices[i + 1][1];
    if (y0 == y1 && i != 0 && y0 == vertices[i - 1][1]) {
      const int64_t before = vertices[i - 1][0];
      if (x1 > x0 && x0 > before) {
        edges.back().xmax = x1;
        continue;
      }
      if (x1 < x0 && x0 < before) {
        edges.back().xmin = x1;
        continue;
      }
    }
    edges.emplace_back(x0, y0, x1, y1);
  }
  if (vertices[i] != vertices[0]) edges.emplace_back(vertices[i][0], vertices[i][1], vertices[0][0], vertices[0][1]);
  if (edges.empty()) return;

  int64_t ymin = rgba.rows - 1, ymax = 0;
  std::vector<const Edge*> sloped;
  for (const Edge& e : edges) {
    ymin = std::min(ymin, e.ymin);
    ymax = std::max(ymax, e.ymax);
    if (e.ymin != e.ymax) sloped.push_back(&e);
  }
  ymin = std::max<int64_t>(ymin, 0);
  ymax = std::min<int64_t>(ymax, rgba.rows);
  if (ymin > ymax) return;

  // Each edge enters the rows [ymin, ymax] once and leaves once, and only
  // rows where an edge ends need the corner rule: the time is linear in the
  // edges and their crossings of the rows (plus a sort of each row's
  // crossings), whatever the outline.
  const size_t rows = static_cast<size_t>(ymax - ymin + 1);
  std::vector<std::vector<uint32_t>> entering(rows), ending(rows);
  uint64_t crossings = 0;
  for (size_t k = 0; k < sloped.size(); ++k) {
    const Edge& e = *sloped[k];
    if (e.ymax < ymin || e.ymin > ymax) continue;
    entering[static_cast<size_t>(std::max(e.ymin, ymin) - ymin)].push_back(static_cast<uint32_t>(k));
    for (const int64_t end : {e.ymin, e.ymax})
      if (end >= ymin && end <= ymax) ending[static_cast<size_t>(end - ymin)].push_back(static_cast<uint32_t>(k));
    crossings += static_cast<uint64_t>(std::min(e.ymax, ymax) - std::max(e.ymin, ymin) + 1);
  }
  require_fill_work(count, crossings + edges.size());
  for (const Edge& e : edges)
    if (e.ymin == e.ymax) hline(rgba, e.xmin, e.xmax, e.ymin, colour);

  // The edges ending on the current row, keyed by their rounded crossing
  // and whether they start or stop there, in outline order within a key: a
  // later edge's corner joins the first edge of its key.
  const auto corner_key = [](float x, bool starts) {
    uint32_t bits;
    const float rounded = std::roundf(x) + 0.0f;  // -0 and 0 are one key
    std::memcpy(&bits, &rounded, sizeof bits);
    return (static_cast<uint64_t>(bits) << 1) | (starts ? 1u : 0u);
  };
  std::vector<std::pair<uint64_t, uint32_t>> corners;
  std::vector<uint32_t> active;
  std::vector<float> xx;
  std::vector<uint32_t> counts;
  uint64_t since_check = 0;
  for (int64_t y = ymin; y <= ymax; ++y) {
    const size_t r = static_cast<size_t>(y - ymin);
    active.erase(std::remove_if(active.begin(), active.end(), [&](uint32_t k) { return sloped[k]->ymax < y; }),
                 active.end());
    active.insert(active.end(), entering[r].begin(), entering[r].end());
    xx.clear();
    for (const uint32_t k : active) {
      const Edge& e = *sloped[k];
      if (y != e.ymin && y != e.ymax) xx.push_back(e.x_at(y));
    }
    corners.clear();
    for (const uint32_t k : ending[r])
      if (sloped[k]->dx != 0) corners.emplace_back(corner_key(sloped[k]->x_at(y), y == sloped[k]->ymin), k);
    std::sort(corners.begin(), corners.end());
    for (const uint32_t k : ending[r]) {
      const Edge& cur = *sloped[k];
      xx.push_back(cur.x_at(y));
      if (y == cur.ymax && y < ymax) {
        xx.push_back(xx.back());  // keeps consecutive edges consistent
      } else if (cur.dx != 0) {
        // A corner where this edge meets an earlier one: moved one pixel
        // beyond the neighbouring rows' crossings when it sticks out past both.
        const int64_t next = y + (y == cur.ymax ? -1 : 1);
        const uint64_t key = corner_key(xx.back(), next > y);
        const auto joined = std::lower_bound(corners.begin(), corners.end(), std::make_pair(key, uint32_t{0}));
        if (joined != corners.end() && joined->first == key && joined->second < k) {
          const Edge& other = *sloped[joined->second];
          const float adjacent = cur.x_at(next), adjacent_other = other.x_at(next);
          float& x = xx.back();
          if (x > adjacent + 1 && x > adjacent_other + 1) {
            x = std::roundf(static_cast<float>(std::fmax(adjacent, adjacent_other))) + 1;
          } else if (x < adjacent - 1 && x < adjacent_other - 1) {
            x = std::roundf(static_cast<float>(std::fmin(adjacent, adjacent_other))) - 1;
          }
        }
      }
    }
    if (!spans_by_count(rgba, y, xx, colour, counts)) {
      std::sort(xx.begin(), xx.end());
      for (size_t k = 1; k < xx.size(); k += 2) hline(rgba, round_up(xx[k - 1]), round_down(xx[k]), y, colour);
    }
    since_check += xx.size() + 1;
    if (since_check >= (uint64_t{1} << 18)) {
      check_interrupt();
      since_check = 0;
    }
  }
}

cv::Mat alpha_composite(const cv::Mat& dst, const cv::Mat& src) {
  require_rgba(dst, "the lower image");
  require_rgba(src, "the upper image");
  if (dst.size() != src.size())
    throw ValueError("images do not match: expected " + std::to_string(dst.cols) + " x " +
                     std::to_string(dst.rows) + ", got " + std::to_string(src.cols) + " x " +
                     std::to_string(src.rows));
  cv::Mat out(dst.size(), CV_8UC4);
  for (int y = 0; y < dst.rows; ++y) {
    const uint8_t* d = dst.ptr<uint8_t>(y);
    const uint8_t* s = src.ptr<uint8_t>(y);
    uint8_t* o = out.ptr<uint8_t>(y);
    for (int x = 0; x < dst.cols; ++x) composite_over(d + 4 * x, s + 4 * x, o + 4 * x);
  }
  return out;
}

void draw_rectangle_outline(cv::Mat& rgba, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                            const Rgba& colour, int width) {
  require_rgba(rgba, "drawing");
  if (x1 < x0 || y1 < y0)
    throw ValueError("expected a rectangle with x0 <= x1 and y0 <= y1, got (" + std::to_string(x0) + ", " +
                     std::to_string(y0) + ", " + std::to_string(x1) + ", " + std::to_string(y1) + ")");
  if (width < 0) throw ValueError(expected_got("a line width of at least 0", std::to_string(width)));
  x0 = clamp_far(x0), y0 = clamp_far(y0), x1 = clamp_far(x1), y1 = clamp_far(y1);
  for (int64_t i = 0; i < width; ++i) {
    hline(rgba, x0, x1, y0 + i, colour);
    hline(rgba, x0, x1, y1 - i, colour);
    vline(rgba, x1 - i, y0 + width, y1 - width, colour);
    vline(rgba, x0 + i, y0 + width, y1 - width, colour);
  }
}

void fill_rectangle(cv::Mat& rgba, int64_t x0, int64_t y0, int64_t x1, int64_t y1, const Rgba& colour) {
  require_rgba(rgba, "drawing");
  const int64_t ya = std::max<int64_t>(y0, 0), yb = std::min<int64_t>(y1, rgba.rows - 1);
  for (int64_t y = ya; y <= yb; ++y) hline(rgba, x0, x1, y, colour);
}

void fill_through_coverage(cv::Mat& rgba, const cv::Mat& coverage, int64_t x, int64_t y, const Rgba& ink) {
  require_rgba(rgba, "drawing");
  if (coverage.type() != CV_8UC1) throw ValueError("expected an 8-bit single-channel coverage mask");
  x = clamp_far(x), y = clamp_far(y);
  const int64_t ya = std::max<int64_t>(y, 0), yb = std::min<int64_t>(y + coverage.rows, rgba.rows);
  const int64_t xa = std::max<int64_t>(x, 0), xb = std::min<int64_t>(x + coverage.cols, rgba.cols);
  const auto mul255 = [](uint32_t a) {
    const uint32_t t = a + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
  };
  for (int64_t yy = ya; yy < yb; ++yy) {
    const uint8_t* cov = coverage.ptr<uint8_t>(static_cast<int>(yy - y));
    uint8_t* p = rgba.ptr<uint8_t>(static_cast<int>(yy));
    for (int64_t xx = xa; xx < xb; ++xx) {
      const uint32_t m = cov[xx - x];
      if (m == 0) continue;
      uint8_t* px = p + 4 * xx;
      const bool transparent = px[3] == 0;
      for (int c = 0; c < 4; ++c) {
        if (transparent && c < 3)
          px[c] = ink[c];
        else
          px[c] = mul255(px[c] * (255 - m) + ink[c] * m);
      }
    }
  }
}

}  // namespace mirelo
