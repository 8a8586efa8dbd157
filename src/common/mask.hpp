#pragma once
// Binary masks: read-only views over caller memory and owned masks.
//
// A mask is height x width bytes addressed by a row stride; a byte that is
// not zero is a set pixel. The Python layer hands in arrays of any dtype:
// one-byte dtypes with contiguous rows are viewed in place, anything else is
// converted once per call into an owned 0/1 copy.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mirelo {

/// Tight box of the set pixels, all bounds inclusive; `empty` when none is set.
struct PixelBox {
  int64_t x_min = 0, y_min = 0, x_max = 0, y_max = 0;
  bool empty = true;
};

/// A tight box grown row by row: each row holding set pixels adds its first
/// and last set column.
struct BoxGrowth {
  int64_t x_min = INT64_MAX, x_max = -1, y_min = -1, y_max = -1;

  void add_row(int64_t y, int64_t first, int64_t last) {
    if (y_min < 0) y_min = y;
    y_max = y;
    if (first < x_min) x_min = first;
    if (last > x_max) x_max = last;
  }
  PixelBox box() const { return y_min < 0 ? PixelBox{} : PixelBox{x_min, y_min, x_max, y_max, false}; }
};

/// Read-only view of a 2-D mask (uint8 per pixel, non-zero = set).
struct MaskView {
  const uint8_t* data = nullptr;
  int64_t height = 0;
  int64_t width = 0;
  int64_t row_stride = 0;  ///< bytes from one row to the next

  const uint8_t* row(int64_t y) const { return data + y * row_stride; }
  bool same_shape(const MaskView& o) const { return height == o.height && width == o.width; }
  /// Pixels covered (0 for an empty shape; saturates instead of wrapping).
  size_t pixel_count() const {
    size_t n = 0;
    if (height <= 0 || width <= 0) return 0;
    if (__builtin_mul_overflow(static_cast<size_t>(height), static_cast<size_t>(width), &n)) return SIZE_MAX;
    return n;
  }
};

/// Owned mask, contiguous, 0/1 bytes.
struct Mask {
  int64_t height = 0;
  int64_t width = 0;
  std::vector<uint8_t> pixels;

  Mask() = default;
  Mask(int64_t h, int64_t w) : height(h), width(w), pixels(static_cast<size_t>(h * w), 0) {}
  MaskView view() const { return MaskView{pixels.data(), height, width, width}; }
  uint8_t* row(int64_t y) { return pixels.data() + y * width; }
};

/// Insertion-ordered mapping from mask key ("Box0", ...) to a mask view.
using MaskMap = std::vector<std::pair<std::string, MaskView>>;

/// Pixels the views cover together, added to `start` (saturating).
size_t total_pixels(const std::vector<MaskView>& masks, size_t start = 0);

/// Number of set pixels.
int64_t count_nonzero(const MaskView& m);

/// Number of set pixels and the tight box, in one pass.
struct MaskStats {
  int64_t area = 0;
  PixelBox box;
};
MaskStats mask_stats(const MaskView& m);

/// The tight box alone (cheaper than mask_stats when the area is known).
PixelBox mask_box(const MaskView& m);

/// Raw image moments of order 0 and 1 of a mask whose bytes are weights
/// (a 0/1 mask and a 0/255 mask have the same centroid): m00 = sum of the
/// bytes, m10 = sum of x * byte, m01 = sum of y * byte.
struct MaskMoments {
  double m00 = 0, m10 = 0, m01 = 0;
};
MaskMoments mask_moments(const MaskView& m);

/// Pixels set in both masks, counted only inside the overlap of the two
/// boxes (`a_box`, `b_box` as from mask_stats). Shapes must match.
int64_t count_intersection(const MaskView& a, const PixelBox& a_box, const MaskView& b,
                           const PixelBox& b_box);

/// Pixels set in both masks over the whole frame. Shapes must match.
int64_t count_intersection(const MaskView& a, const MaskView& b);

}  // namespace mirelo
