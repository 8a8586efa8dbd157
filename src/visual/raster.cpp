#include "visual/raster.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"

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

}  // namespace

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
