#pragma once
// Scores of every new mask against every old one by the distance between
// their centroids, and of every new appearance vector against every old one
// by cosine similarity. Matrices are row-major, one row per new item and one
// column per old item.
#include <array>
#include <optional>
#include <vector>

#include "common/mask.hpp"

namespace mirelo {

/// Centroid (row, column) = (m01 / m00, m10 / m00) of a mask whose bytes are
/// weights; (NaN, NaN) when the mask has no weight.
std::array<double, 2> mask_centroid(const MaskView& weights);

struct CentroidSimilarity {
  std::vector<double> values;  ///< row-major new x old
  bool all_nan = false;        ///< every pair involved an empty mask: all NaN
};

/// 1 - d / (d_max + 1e-6) for the Euclidean distance d between the two
/// centroids of every pair, where pairs involving an empty mask count as
/// the largest distance among the others plus 1 and d_max is the largest
/// distance after that replacement. When every pair involves an empty mask
/// the result is all NaN and `all_nan` is set. Each mask is read once; the
/// masks' bytes are weights and their sizes may differ. Throws ValueError
/// when either list is empty.
CentroidSimilarity centroid_similarity(const std::vector<MaskView>& masks_new, const std::vector<MaskView>& masks_old);

/// A feature vector, or none for a mask without one.
using FeatureVector = std::optional<std::vector<double>>;

/// Cosine similarity of every present new vector with every present old
/// vector (each scaled to unit length first; a zero vector scores 0), and
/// -inf where either vector is missing. Every present vector must have the
/// same length (ValueError naming the first that differs otherwise).
std::vector<double> cosine_scores(const std::vector<FeatureVector>& features_new,
                                  const std::vector<FeatureVector>& features_old);

}  // namespace mirelo
