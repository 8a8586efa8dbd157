#include "measures/cluster.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <string>

#include <opencv2/imgproc.hpp>
#if CV_VERSION_MAJOR >= 5
#include <opencv2/geometry.hpp>
#endif

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"

namespace mirelo {

std::optional<PointXY> contour_centroid(const MaskView& mask) {
  const PixelBox box = mask_box(mask);
  if (box.empty) return std::nullopt;
  const int64_t w = box.x_max - box.x_min + 1, h = box.y_max - box.y_min + 1;
  // The tracer pads the image by one pixel and works in int coordinates.
  if (w > INT_MAX - 2 || h > INT_MAX - 2 || box.x_max > INT_MAX - 2 || box.y_max > INT_MAX - 2)
    throw ValueError(expected_got("a mask whose set pixels span at most " + std::to_string(INT_MAX - 2) +
                                      " rows and columns",
                                  std::to_string(h) + " x " + std::to_string(w)));
  // findContours copies its input before tracing, so the caller's bytes are
  // only read. The offset puts the points in frame coordinates, so moments
  // and centroids come out exactly as from the full frame.
  const cv::Mat roi(static_cast<int>(h), static_cast<int>(w), CV_8UC1,
                    const_cast<uint8_t*>(mask.row(box.y_min) + box.x_min), static_cast<size_t>(mask.row_stride));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(roi, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(static_cast<int>(box.x_min), static_cast<int>(box.y_min)));
  if (contours.empty()) return std::nullopt;
  size_t largest = 0;
  double largest_area = cv::contourArea(contours[0]);
  for (size_t k = 1; k < contours.size(); ++k) {
    const double a = cv::contourArea(contours[k]);
    if (a > largest_area) {
      largest = k;
      largest_area = a;
    }
  }
  const cv::Moments m = cv::moments(contours[largest]);
  if (m.m00 == 0.0) return std::nullopt;
  return PointXY{static_cast<int64_t>(m.m10 / m.m00), static_cast<int64_t>(m.m01 / m.m00)};
}

namespace {

// Neighbourhood queries over points sorted by x: only the points whose x lies
// within eps of the query are measured.
class Neighbours {
 public:
  Neighbours(const std::vector<PointXY>& points, double eps) : points_(points), eps_(eps), order_(points.size()) {
    std::iota(order_.begin(), order_.end(), size_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return points_[a].x < points_[b].x; });
  }

  // Calls visit(j) for every neighbour j of point i (i itself included);
  // stops early when visit returns false.
  template <typename Visit>
  void for_each(size_t i, Visit&& visit) const {
    const double x = static_cast<double>(points_[i].x), y = static_cast<double>(points_[i].y);
    auto first = std::lower_bound(order_.begin(), order_.end(), x - eps_,
                                  [&](size_t j, double v) { return static_cast<double>(points_[j].x) < v; });
    for (auto it = first; it != order_.end(); ++it) {
      const PointXY& p = points_[*it];
      const double dx = static_cast<double>(p.x) - x;
      if (dx > eps_) break;
      const double dy = static_cast<double>(p.y) - y;
      if (std::abs(dy) > eps_ || std::sqrt(dx * dx + dy * dy) > eps_) continue;
      if (!visit(*it)) return;
    }
  }

 private:
  const std::vector<PointXY>& points_;
  double eps_;
  std::vector<size_t> order_;
};

void require_parameters(double eps, int64_t min_samples) {
  if (!(eps > 0.0)) throw ValueError(expected_got("a positive eps", format_float(eps)));
  if (min_samples < 1) throw ValueError(expected_got("min_samples of at least 1", std::to_string(min_samples)));
}

}  // namespace

std::vector<int64_t> dbscan_labels(const std::vector<PointXY>& points, double eps, int64_t min_samples) {
  require_parameters(eps, min_samples);
  if (points.empty()) throw ValueError(expected_got("at least one point to cluster", "none"));

  const size_t n = points.size();
  const Neighbours neighbours(points, eps);
  std::vector<char> core(n, 0);
  for (size_t i = 0; i < n; ++i) {
    int64_t count = 0;
    neighbours.for_each(i, [&](size_t) { return ++count < min_samples; });
    core[i] = count >= min_samples;
    if ((i & 1023) == 1023) check_interrupt();
  }

  // Clusters grow from the unlabelled core points in input order. Points are
  // labelled when first reached, so a border point keeps the first cluster
  // that reaches it and each point enters the stack once.
  std::vector<int64_t> labels(n, -1);
  std::vector<size_t> stack;
  int64_t next_label = 0;
  size_t expanded = 0;
  for (size_t i = 0; i < n; ++i) {
    if (labels[i] != -1 || !core[i]) continue;
    labels[i] = next_label;
    stack.assign(1, i);
    while (!stack.empty()) {
      const size_t p = stack.back();
      stack.pop_back();
      if (!core[p]) continue;
      neighbours.for_each(p, [&](size_t q) {
        if (labels[q] == -1) {
          labels[q] = next_label;
          stack.push_back(q);
        }
        return true;
      });
      if ((++expanded & 1023) == 0) check_interrupt();
    }
    ++next_label;
  }
  return labels;
}

std::vector<std::optional<int64_t>> cluster_mask_centroids(const std::vector<MaskView>& masks, double eps,
                                                           int64_t min_samples) {
  require_parameters(eps, min_samples);
  // Outlines are traced on all cores for large masks.
  std::vector<std::optional<PointXY>> centroids(masks.size());
  for_each_in_parallel(masks.size(), threads_for_bytes(total_pixels(masks)),
                       [&](size_t k) { centroids[k] = contour_centroid(masks[k]); });
  std::vector<PointXY> points;
  std::vector<size_t> owner;
  for (size_t k = 0; k < masks.size(); ++k) {
    if (centroids[k]) {
      points.push_back(*centroids[k]);
      owner.push_back(k);
    }
  }
  if (points.empty())
    throw ValueError(expected_got("at least one mask with a centroid to cluster",
                                  masks.empty() ? "no masks" : "only empty masks or masks without area"));
  const std::vector<int64_t> labels = dbscan_labels(points, eps, min_samples);
  std::vector<std::optional<int64_t>> out(masks.size());
  for (size_t j = 0; j < labels.size(); ++j) out[owner[j]] = labels[j];
  return out;
}

}  // namespace mirelo
