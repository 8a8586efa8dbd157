#include "segment/detections.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/errors.hpp"

namespace mirelo {
namespace {

// Strict weak order with NaN after every number, as the array library sorts.
inline bool nan_last_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

void validate(const Detections& d) {
  if (d.boxes.ndim() != 2 || d.boxes.shape[1] != 4)
    throw ValueError(expected_got("boxes of shape (N, 4)", "shape " + d.boxes.shape_text()));
  const int64_t n = d.boxes.shape[0];
  if (d.scores.ndim() != 1 || d.scores.shape[0] != n)
    throw ValueError(expected_got(std::to_string(n) + " scores, one per box",
                                  "shape " + d.scores.shape_text()));
  if (static_cast<int64_t>(d.labels.size()) != n)
    throw ValueError(expected_got(std::to_string(n) + " labels, one per box",
                                  std::to_string(d.labels.size())));
}

}  // namespace

std::vector<int64_t> select_detections(const Detections& d, const std::string& target_label) {
  validate(d);
  const int64_t n = d.boxes.shape[0];
  std::vector<int64_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&d](int64_t a, int64_t b) {
    const double ya = d.boxes.get(a * 4 + 1), yb = d.boxes.get(b * 4 + 1);
    if (nan_last_less(ya, yb)) return true;
    if (nan_last_less(yb, ya)) return false;
    return nan_last_less(d.boxes.get(a * 4), d.boxes.get(b * 4));
  });
  const bool any_match = std::any_of(d.labels.begin(), d.labels.end(),
                                     [&](const std::string& l) { return l == target_label; });
  if (!any_match) return order;
  std::vector<int64_t> kept;
  for (int64_t i : order)
    if (d.labels[static_cast<size_t>(i)] == target_label) kept.push_back(i);
  return kept;
}

Detections take_detections(const Detections& d, const std::vector<int64_t>& indices) {
  Detections out;
  out.scores = d.scores.take(indices);
  out.boxes = d.boxes.take(indices);
  for (int64_t i : indices) out.labels.push_back(d.labels.at(static_cast<size_t>(i)));
  return out;
}

}  // namespace mirelo
