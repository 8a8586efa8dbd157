#include "common/mask.hpp"

#include <algorithm>

#include "common/errors.hpp"

namespace mirelo {
namespace {

// Plain loops over bytes; written so that the compiler vectorises them.
inline int64_t count_row(const uint8_t* p, int64_t n) {
  int64_t c = 0;
  for (int64_t i = 0; i < n; ++i) c += (p[i] != 0);
  return c;
}

inline int64_t count_row_and(const uint8_t* a, const uint8_t* b, int64_t n) {
  int64_t c = 0;
  for (int64_t i = 0; i < n; ++i) c += ((a[i] != 0) & (b[i] != 0));
  return c;
}

void require_same_shape(const MaskView& a, const MaskView& b) {
  if (!a.same_shape(b)) {
    throw ValueError("masks must have the same shape: expected (" + std::to_string(a.height) +
                     ", " + std::to_string(a.width) + "), got (" + std::to_string(b.height) +
                     ", " + std::to_string(b.width) + ")");
  }
}

}  // namespace

int64_t count_nonzero(const MaskView& m) {
  int64_t c = 0;
  for (int64_t y = 0; y < m.height; ++y) c += count_row(m.row(y), m.width);
  return c;
}

MaskStats mask_stats(const MaskView& m) {
  MaskStats s;
  int64_t x_min = m.width, x_max = -1, y_min = -1, y_max = -1;
  for (int64_t y = 0; y < m.height; ++y) {
    const uint8_t* r = m.row(y);
    const int64_t c = count_row(r, m.width);
    if (c == 0) continue;
    s.area += c;
    if (y_min < 0) y_min = y;
    y_max = y;
    // Only the ends of the row need a scan for the box.
    int64_t lo = 0;
    while (lo < x_min && r[lo] == 0) ++lo;
    x_min = std::min(x_min, lo);
    int64_t hi = m.width - 1;
    while (hi > x_max && r[hi] == 0) --hi;
    x_max = std::max(x_max, hi);
  }
  if (s.area > 0) {
    s.box = PixelBox{x_min, y_min, x_max, y_max, false};
  }
  return s;
}

int64_t count_intersection(const MaskView& a, const PixelBox& a_box, const MaskView& b,
                           const PixelBox& b_box) {
  require_same_shape(a, b);
  if (a_box.empty || b_box.empty) return 0;
  const int64_t x0 = std::max(a_box.x_min, b_box.x_min);
  const int64_t x1 = std::min(a_box.x_max, b_box.x_max);
  const int64_t y0 = std::max(a_box.y_min, b_box.y_min);
  const int64_t y1 = std::min(a_box.y_max, b_box.y_max);
  if (x0 > x1 || y0 > y1) return 0;
  int64_t c = 0;
  for (int64_t y = y0; y <= y1; ++y) c += count_row_and(a.row(y) + x0, b.row(y) + x0, x1 - x0 + 1);
  return c;
}

int64_t count_intersection(const MaskView& a, const MaskView& b) {
  require_same_shape(a, b);
  int64_t c = 0;
  for (int64_t y = 0; y < a.height; ++y) c += count_row_and(a.row(y), b.row(y), a.width);
  return c;
}

}  // namespace mirelo
