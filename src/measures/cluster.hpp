#pragma once
// Mask centroids from their largest outline, and density clustering of those
// centroids.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace mirelo {

/// An integer point in pixels of the full frame.
struct PointXY {
  int64_t x = 0, y = 0;
  bool operator==(const PointXY&) const = default;
};

/// Centroid of the largest external contour of `mask` (OpenCV findContours
/// with RETR_EXTERNAL and CHAIN_APPROX_SIMPLE, contourArea, moments of the
/// contour polygon), each coordinate m10/m00 and m01/m00 truncated toward
/// zero. Of contours of equal area the first traced wins. Contours are traced
/// only inside the mask's tight box. nullopt for an empty mask or when the
/// largest contour has no area (a line or a single pixel).
/// Throws ValueError for a mask whose box sides exceed the range of int.
std::optional<PointXY> contour_centroid(const MaskView& mask);

/// DBSCAN labels of `points` with Euclidean distance: a point's neighbourhood
/// holds every point at distance <= `eps`, itself included; a core point has
/// at least `min_samples` neighbours. Labels are -1 for noise, else cluster
/// numbers 0, 1, ... in the order of each cluster's first core point; a border
/// point reached by several clusters joins the earliest numbered.
/// Throws ValueError for `eps` that is NaN or not positive, `min_samples`
/// below 1, or no points (in that order). Calls check_interrupt() while it works.
std::vector<int64_t> dbscan_labels(const std::vector<PointXY>& points, double eps, int64_t min_samples);

/// Clusters masks by their contour centroids (contour_centroid, then
/// dbscan_labels): one entry per mask, nullopt for a mask without a centroid,
/// else its label (-1 for noise). Throws ValueError as dbscan_labels, and
/// when no mask has a centroid.
std::vector<std::optional<int64_t>> cluster_mask_centroids(const std::vector<MaskView>& masks, double eps,
                                                           int64_t min_samples);

}  // namespace mirelo
