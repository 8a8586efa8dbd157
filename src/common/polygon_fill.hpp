#pragma once
// The one polygon fill of the core (pen masks, annotation outlines). It sets
// exactly the pixels that OpenCV 5.1's cv::fillPoly sets with the default
// 8-connected line type and no fractional bits, for every polygon: the
// outline drawn as 8-connected lines, the inside by scanline pairs (so a
// self-crossing outline fills as the even-odd pairs of each row's
// crossings), and outlines leaving the frame clipped to it as that release
// clips them. Other OpenCV releases fill polygons leaving the frame a pixel
// differently; with its own fill the core gives the same pixels whatever
// OpenCV it is linked with, and the same as the opencv-python users have.
//
// Its time is linear in the vertices and in the crossings of edges with the
// rows filled (the active edges stay sorted from row to row, and a row with
// many crossings for its width is counted by column instead of sorted),
// plus the outline's pixels. Only
// the rows and columns of the target are visited: a vertex far outside costs
// nothing more than one near it. The drawings of annotation files fill by
// the imaging library's rule instead (fill_polygon_scanline in
// visual/raster.hpp).
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace mirelo {

/// Most work, in edge–row crossings plus outline pixels inside the target,
/// that one fill takes on (a few seconds at most). A polygon needing more,
/// such as a million-point random walk over a large frame, is refused with
/// ValueError rather than keeping the caller waiting for minutes.
inline constexpr uint64_t kPolygonFillMaxWork = uint64_t{1} << 28;

/// Throws the ValueError of a fill of a polygon of `vertices` vertices that
/// needs `work` steps, when that is more than kPolygonFillMaxWork.
void require_fill_work(size_t vertices, uint64_t work);

/// Sets to `value` the pixels of `target` that cv::fillPoly(frame,
/// {vertices}, value) sets on a frame of `frame_height` x `frame_width`,
/// where target pixel (row r, column c) is frame pixel (origin.y + r,
/// origin.x + c). `vertices` are frame pixel coordinates, the polygon closed
/// implicitly. `target` is 8-bit with 1 to 4 channels (each set to the
/// saturated value of its channel in `value`). No vertex, or an empty target,
/// sets nothing. Checks for an interrupt during long fills. Throws
/// ValueError for a frame side beyond INT_MAX or another pixel type, and
/// when the fill needs more than kPolygonFillMaxWork.
void fill_polygon(cv::Mat& target, const cv::Point2l& origin, int64_t frame_height, int64_t frame_width,
                  const std::vector<cv::Point>& vertices, const cv::Scalar& value);

/// fill_polygon over the whole of `image`, which is the frame.
void fill_polygon(cv::Mat& image, const std::vector<cv::Point>& vertices, const cv::Scalar& value);

}  // namespace mirelo
