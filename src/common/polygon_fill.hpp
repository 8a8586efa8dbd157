#pragma once
// The polygon fill of the core's masks, OpenCV's rule. Every mask filled
// from a polygon (pen masks, annotation outlines) goes through fill_polygon,
// so that a vertex far outside the image costs nothing: the scanline fill
// underneath walks every row between the polygon's top and the image's
// bottom, and a vertex at y = -2^31 would make that billions of rows. The
// drawings of annotation files fill by the imaging library's rule instead
// (fill_polygon_scanline in visual/raster.hpp).
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace mirelo {

/// Distance, in pixels, from the image within which vertices are used as
/// they are. Polygons whose vertices all lie within it are filled exactly as
/// cv::fillPoly fills them.
inline constexpr int64_t kPolygonFillMargin = 1 << 16;

/// Fills the polygon through `vertices` (pixel coordinates, closed
/// implicitly) with `value` on `image`, as cv::fillPoly does with the default
/// 8-connected line type: outline pixels included, self-crossing outlines
/// filled by scanline pairs. A polygon reaching beyond kPolygonFillMargin is
/// first clipped to the box the margin draws around the image (new vertices
/// rounded to the nearest pixel), so that the time stays proportional to the
/// image and the vertex count; inside the image it then differs from the
/// unclipped fill by at most the rounding of those vertices. Fewer than one
/// vertex, or an empty image, fills nothing.
void fill_polygon(cv::Mat& image, const std::vector<cv::Point2l>& vertices, const cv::Scalar& value);

}  // namespace mirelo
