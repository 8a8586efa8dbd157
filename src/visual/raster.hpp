#pragma once
// Drawing primitives on RGBA images (CV_8UC4, channels in R, G, B, A order)
// that reproduce the imaging library's results pixel for pixel, so that a
// drawing made here and one made with the host's imaging library agree:
// "over" compositing with its integer rounding, rectangle outlines and fills
// with inclusive corners, and ink painted through an 8-bit coverage mask
// (how text is laid down).
#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace mirelo {

/// One RGBA pixel value.
using Rgba = std::array<uint8_t, 4>;

/// `src` on top of `dst` ("over"), both RGBA pixels; writes `out` (may alias
/// `dst`). Integer arithmetic with 7 extra bits and the imaging library's
/// rounding; a fully transparent `src` leaves `dst` as it is.
inline void composite_over(const uint8_t* dst, const uint8_t* src, uint8_t* out) {
  if (src[3] == 0) {
    if (out != dst) out[0] = dst[0], out[1] = dst[1], out[2] = dst[2], out[3] = dst[3];
    return;
  }
  constexpr uint32_t kExtra = 7;
  const uint32_t sa = src[3];
  const uint32_t blend = static_cast<uint32_t>(dst[3]) * (255 - sa);
  const uint32_t outa255 = sa * 255 + blend;
  const uint32_t coef1 = sa * 255 * 255 * (1u << kExtra) / outa255;
  const uint32_t coef2 = 255 * (1u << kExtra) - coef1;
  const auto div255 = [](uint32_t a) { return ((a >> 8) + a) >> 8; };
  for (int c = 0; c < 3; ++c) {
    const uint32_t t = src[c] * coef1 + dst[c] * coef2 + (0x80u << kExtra);
    out[c] = static_cast<uint8_t>(div255(t) >> kExtra);
  }
  out[3] = static_cast<uint8_t>(div255(outa255 + 0x80));
}

/// `src` composited over `dst` ("over"); both CV_8UC4 RGBA of one size.
/// Returns a new CV_8UC4 image.
cv::Mat alpha_composite(const cv::Mat& dst, const cv::Mat& src);

/// Outline of the rectangle with inclusive corners (x0, y0) and (x1, y1),
/// `width` pixels thick, lying inside the corners (width 0 draws nothing).
/// Requires x0 <= x1 and y0 <= y1; pixels outside `rgba` are skipped. Boxes
/// smaller than twice the width are drawn the way the imaging library draws
/// them (its side strokes then run past the box).
void draw_rectangle_outline(cv::Mat& rgba, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                            const Rgba& colour, int width);

/// Every pixel of the rectangle with inclusive corners (x0, y0), (x1, y1)
/// set to `colour` (replaced, not blended); pixels outside are skipped.
void fill_rectangle(cv::Mat& rgba, int64_t x0, int64_t y0, int64_t x1, int64_t y1, const Rgba& colour);

/// Fills the polygon through `vertices` (pixel coordinates, closed
/// implicitly) with `colour`, replacing pixels, by the imaging library's
/// scanline rule for filled polygons on an image it does not blend into:
/// spans from the rounded-up left crossing to the rounded-down right one,
/// horizontal edges drawn whole, corners joined as that library joins them.
/// Rows outside `rgba` are skipped, so far-away vertices cost nothing.
void fill_polygon_scanline(cv::Mat& rgba, const std::vector<std::array<int32_t, 2>>& vertices, const Rgba& colour);

/// Paints `ink` through `coverage` (CV_8UC1, 0 = untouched, 255 = ink)
/// whose top-left pixel lands on (x, y) of `rgba`; partial coverage blends
/// every channel, alpha included, with the image's pixel. Over a fully
/// transparent pixel the colour is the ink's and only alpha is blended.
void fill_through_coverage(cv::Mat& rgba, const cv::Mat& coverage, int64_t x, int64_t y, const Rgba& ink);

}  // namespace mirelo
