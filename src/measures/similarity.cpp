#include "measures/similarity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "common/errors.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"

namespace mirelo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Unit-length copies of the present vectors (zero vectors stay zero), and
// the common length, checked across both lists.
struct UnitRows {
  std::vector<std::vector<double>> rows;
  std::vector<size_t> positions;
};

UnitRows unit_rows(const std::vector<FeatureVector>& features, const char* which, std::optional<size_t>& length) {
  UnitRows out;
  for (size_t k = 0; k < features.size(); ++k) {
    if (!features[k]) continue;
    const std::vector<double>& v = *features[k];
    if (!length) length = v.size();
    if (v.size() != *length)
      throw ValueError(expected_got("feature vectors of one length, " + std::to_string(*length),
                                    std::to_string(v.size()) + " for " + which + " feature " + std::to_string(k)));
    std::vector<double> u(v);
    double sq = 0;
    for (double x : u) sq += x * x;
    // Squares of very large or very small elements overflow or underflow
    // the sum; such a vector is scaled by its largest element first, so
    // that its direction, not its size, decides the score.
    if (std::isinf(sq) || (sq < std::numeric_limits<double>::min() && !std::isnan(sq))) {
      double scale = 0;
      for (double x : u) scale = std::max(scale, std::abs(x));
      if (scale != 0 && std::isfinite(scale)) {
        for (double& x : u) x /= scale;
        sq = 0;
        for (double x : u) sq += x * x;
      }
    }
    const double norm = std::sqrt(sq);
    if (norm != 0)
      for (double& x : u) x /= norm;
    out.rows.push_back(std::move(u));
    out.positions.push_back(k);
  }
  return out;
}

}  // namespace

std::array<double, 2> mask_centroid(const MaskView& weights) {
  const MaskMoments m = mask_moments(weights);
  if (m.m00 == 0) return {kNaN, kNaN};
  return {m.m01 / m.m00, m.m10 / m.m00};
}

CentroidSimilarity centroid_similarity(const std::vector<MaskView>& masks_new, const std::vector<MaskView>& masks_old) {
  if (masks_new.empty() || masks_old.empty())
    throw ValueError(expected_got("at least one new and one old mask",
                                  std::to_string(masks_new.size()) + " new and " + std::to_string(masks_old.size()) +
                                      " old masks"));
  // Every mask's centroid, new ones first, on all cores for large masks.
  const size_t nn = masks_new.size(), no = masks_old.size();
  auto mask_at = [&](size_t k) -> const MaskView& { return k < nn ? masks_new[k] : masks_old[k - nn]; };
  std::vector<std::array<double, 2>> c(nn + no);
  for_each_in_parallel(nn + no, threads_for_bytes(total_pixels(masks_old, total_pixels(masks_new))),
                       [&](size_t k) { c[k] = mask_centroid(mask_at(k)); });
  const std::array<double, 2>* cn = c.data();
  const std::array<double, 2>* co = c.data() + nn;
  CentroidSimilarity out;
  out.values.resize(nn * no);
  double max_valid = -std::numeric_limits<double>::infinity();
  bool any_valid = false;
  for (size_t i = 0; i < nn; ++i) {
    for (size_t j = 0; j < no; ++j) {
      double d = kNaN;
      if (!std::isnan(cn[i][0]) && !std::isnan(co[j][0])) {
        const double dy = cn[i][0] - co[j][0], dx = cn[i][1] - co[j][1];
        d = std::sqrt(dy * dy + dx * dx);
        max_valid = std::max(max_valid, d);
        any_valid = true;
      }
      out.values[i * no + j] = d;
    }
  }
  if (!any_valid) {
    out.all_nan = true;
    return out;  // already NaN everywhere
  }
  // Pairs with an empty mask become the farthest pairs.
  const double fill = max_valid + 1.0;
  double max_dist = -std::numeric_limits<double>::infinity();
  for (double& d : out.values) {
    if (std::isnan(d)) d = fill;
    max_dist = std::max(max_dist, d);
  }
  max_dist += 1e-6;
  for (double& d : out.values) d = 1.0 - d / max_dist;
  return out;
}

std::vector<double> cosine_scores(const std::vector<FeatureVector>& features_new,
                                  const std::vector<FeatureVector>& features_old) {
  const size_t nn = features_new.size(), no = features_old.size();
  std::vector<double> out(nn * no, -std::numeric_limits<double>::infinity());
  std::optional<size_t> length;
  const UnitRows rn = unit_rows(features_new, "new", length);
  const UnitRows ro = unit_rows(features_old, "old", length);
  for (size_t i = 0; i < rn.rows.size(); ++i) {
    for (size_t j = 0; j < ro.rows.size(); ++j) {
      const std::vector<double>&a = rn.rows[i], &b = ro.rows[j];
      double dot = 0;
      for (size_t k = 0; k < a.size(); ++k) dot += a[k] * b[k];
      out[rn.positions[i] * no + ro.positions[j]] = dot;
    }
  }
  return out;
}

}  // namespace mirelo
