#include "common/polygon_fill.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"

namespace mirelo {
namespace {

struct ClipBox {
  int64_t x_min, y_min, x_max, y_max;
  bool contains(const cv::Point2l& p) const { return p.x >= x_min && p.x <= x_max && p.y >= y_min && p.y <= y_max; }
};

// One side of the clip box: the half-plane coordinate[axis] >= bound (or <=
// bound when `upper`).
struct Side {
  int axis;  // 0: x, 1: y
  int64_t bound;
  bool upper;
  bool inside(const cv::Point2l& p) const {
    const int64_t v = axis == 0 ? p.x : p.y;
    return upper ? v <= bound : v >= bound;
  }
  // Where the segment a-b crosses the side, rounded to the nearest pixel.
  cv::Point2l cross(const cv::Point2l& a, const cv::Point2l& b) const {
    const long double ax = static_cast<long double>(a.x), ay = static_cast<long double>(a.y);
    const long double bx = static_cast<long double>(b.x), by = static_cast<long double>(b.y);
    if (axis == 0) {
      const long double t = (static_cast<long double>(bound) - ax) / (bx - ax);
      return {bound, std::llround(ay + t * (by - ay))};
    }
    const long double t = (static_cast<long double>(bound) - ay) / (by - ay);
    return {std::llround(ax + t * (bx - ax)), bound};
  }
};

// Sutherland-Hodgman against one side of the (convex) box.
std::vector<cv::Point2l> clip_side(const std::vector<cv::Point2l>& in, const Side& side) {
  std::vector<cv::Point2l> out;
  out.reserve(in.size() + 4);
  for (size_t k = 0; k < in.size(); ++k) {
    const cv::Point2l& cur = in[k];
    const cv::Point2l& prev = in[(k + in.size() - 1) % in.size()];
    const bool cur_in = side.inside(cur), prev_in = side.inside(prev);
    if (cur_in != prev_in) out.push_back(side.cross(prev, cur));
    if (cur_in) out.push_back(cur);
  }
  return out;
}

}  // namespace

void fill_polygon(cv::Mat& image, const std::vector<cv::Point2l>& vertices, const cv::Scalar& value) {
  if (vertices.empty() || image.empty()) return;
  // The box stays within 32 bits, the vertex type of the fill.
  const ClipBox box{std::max<int64_t>(-kPolygonFillMargin, INT_MIN),
                    std::max<int64_t>(-kPolygonFillMargin, INT_MIN),
                    std::min<int64_t>(image.cols - 1 + kPolygonFillMargin, INT_MAX),
                    std::min<int64_t>(image.rows - 1 + kPolygonFillMargin, INT_MAX)};
  std::vector<cv::Point2l> kept = vertices;
  if (!std::all_of(vertices.begin(), vertices.end(), [&](const cv::Point2l& p) { return box.contains(p); })) {
    for (const Side& side : {Side{0, box.x_min, false}, Side{0, box.x_max, true}, Side{1, box.y_min, false},
                             Side{1, box.y_max, true}}) {
      kept = clip_side(kept, side);
      if (kept.empty()) return;  // wholly outside the box, so outside the image
    }
  }
  if (kept.size() > static_cast<size_t>(INT_MAX))
    throw ValueError(expected_got("a polygon of at most " + std::to_string(INT_MAX) + " vertices",
                                  std::to_string(kept.size())));
  std::vector<cv::Point> points;
  points.reserve(kept.size());
  for (const cv::Point2l& p : kept) points.emplace_back(static_cast<int>(p.x), static_cast<int>(p.y));
  const cv::Point* contours[] = {points.data()};
  const int counts[] = {static_cast<int>(points.size())};
  cv::fillPoly(image, contours, counts, 1, value);
}

}  // namespace mirelo
