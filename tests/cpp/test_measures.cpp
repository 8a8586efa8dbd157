#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/errors.hpp"
#include "measures/overlap.hpp"
#include "measures/similarity.hpp"
#include "segment/detections.hpp"

using namespace mirelo;

namespace {

Mask rect(int64_t h, int64_t w, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  Mask m(h, w);
  for (int64_t y = y0; y < y1; ++y)
    for (int64_t x = x0; x < x1; ++x) m.row(y)[x] = 1;
  return m;
}

}  // namespace

TEST(BoxIou, IntegerAndRealBoxes) {
  const HostNumber a[4] = {HostNumber::integer(0), HostNumber::integer(0), HostNumber::integer(10), HostNumber::integer(10)};
  const HostNumber b[4] = {HostNumber::integer(5), HostNumber::integer(5), HostNumber::integer(15), HostNumber::integer(15)};
  const HostNumber edge[4] = {HostNumber::integer(10), HostNumber::integer(0), HostNumber::integer(20), HostNumber::integer(10)};
  EXPECT_DOUBLE_EQ(box_iou_exact(a, b).d, 25.0 / 175.0);
  const HostNumber e = box_iou_exact(a, edge);  // shared edge: no intersection, float 0.0
  EXPECT_FALSE(e.is_int);
  EXPECT_EQ(e.d, 0.0);
  const HostNumber point[4] = {HostNumber::integer(5), HostNumber::integer(5), HostNumber::integer(5), HostNumber::integer(5)};
  const HostNumber z = box_iou_exact(point, point);  // zero union: integer 0
  EXPECT_TRUE(z.is_int);
  EXPECT_EQ(z.i, 0);
  const HostNumber huge[4] = {HostNumber::integer(0), HostNumber::integer(0), HostNumber::integer(INT64_MAX / 2),
                          HostNumber::integer(INT64_MAX / 2)};
  EXPECT_DOUBLE_EQ(box_iou_exact(huge, huge).d, 1.0);  // no overflow in the areas
}

TEST(IntersectionTable, SkipRuleUsesLaterKeyArea) {
  Mask m0 = rect(40, 40, 0, 0, 10, 10), m1 = rect(40, 40, 5, 5, 15, 15);
  std::vector<MaskView> v = {m0.view(), m1.view()};
  auto t = intersection_table(v, {100, 50});
  EXPECT_DOUBLE_EQ(t[0 * 2 + 1], 25.0);
  EXPECT_DOUBLE_EQ(t[1 * 2 + 0], 50.0);
  EXPECT_DOUBLE_EQ(t[0], 0.0);
  t = intersection_table(v, {400, 1});
  EXPECT_EQ(t, (std::vector<double>{0, 0, 0, 0}));
  t = intersection_table(v, {1, 400});
  EXPECT_DOUBLE_EQ(t[1], 2500.0);  // 25 px of an area of 1: percentages are not capped
  // Without areas, the masks' pixel counts (100 and 100; one pixel for the third).
  Mask dot = rect(40, 40, 7, 7, 8, 8);
  v.push_back(dot.view());
  EXPECT_EQ(intersection_table(v), intersection_table(v, {100, 100, 1}));
}

TEST(IouMatrix, EpsilonInEveryDenominator) {
  Mask a = rect(8, 8, 0, 0, 4, 4), empty(8, 8);
  auto m = iou_matrix({a.view(), empty.view()}, {a.view(), empty.view(), a.view()});
  ASSERT_EQ(m.size(), 6u);
  EXPECT_DOUBLE_EQ(m[0], 16.0 / (16.0 + 1e-6));
  EXPECT_LT(m[0], 1.0);
  EXPECT_EQ(m[4], 0.0);
}

TEST(Detections, ReadingOrderStableAndNaNLast) {
  Detections d;
  d.boxes = NDArray(DType::Float64, {4, 4});
  const double b[16] = {5, 10, 9, 9, 1, 5, 2, 2, std::nan(""), std::nan(""), 0, 0, 0, 5, 0, 0};
  std::memcpy(d.boxes.bytes.data(), b, sizeof b);
  d.scores = NDArray(DType::Float64, {4});
  d.labels = {"pig", "pig", "pig", "pigpig"};
  EXPECT_EQ(select_detections(d, "pig"), (std::vector<int64_t>{1, 0, 2}));
  EXPECT_EQ(select_detections(d, "cow"), (std::vector<int64_t>{3, 1, 0, 2}));
  d.labels.pop_back();
  EXPECT_THROW(select_detections(d, "pig"), std::invalid_argument);
}

TEST(Centroid, WeightedRowColumnOrder) {
  Mask m(10, 12);
  m.row(3)[7] = 1;
  EXPECT_EQ(mask_centroid(m.view()), (std::array<double, 2>{3.0, 7.0}));
  m.row(3)[7] = 255;  // a single pixel: its weight does not matter
  EXPECT_EQ(mask_centroid(m.view()), (std::array<double, 2>{3.0, 7.0}));
  m.row(5)[1] = 85;  // weights 255 and 85: three quarters of the way to (3, 7)
  EXPECT_DOUBLE_EQ(mask_centroid(m.view())[0], (3.0 * 255 + 5.0 * 85) / 340);
  EXPECT_DOUBLE_EQ(mask_centroid(m.view())[1], (7.0 * 255 + 1.0 * 85) / 340);
  EXPECT_TRUE(std::isnan(mask_centroid(Mask(4, 4).view())[0]));
}

TEST(Centroid, WideRowsOfFullWeightAreExact) {
  // Rows wider than the kernel's blocks, at full weight and with a ragged
  // start, against sums taken pixel by pixel.
  Mask m(3, 20011);
  for (int64_t x = 5; x < 20011; ++x) m.row(1)[x] = 255;
  for (int64_t x = 4095; x < 12290; x += 3) m.row(2)[x] = static_cast<uint8_t>(x % 256);
  double s00 = 0, s10 = 0, s01 = 0;
  for (int64_t y = 0; y < 3; ++y)
    for (int64_t x = 0; x < 20011; ++x) {
      s00 += m.row(y)[x];
      s10 += static_cast<double>(x) * m.row(y)[x];
      s01 += static_cast<double>(y) * m.row(y)[x];
    }
  const MaskMoments mo = mask_moments(m.view());
  EXPECT_EQ(mo.m00, s00);
  EXPECT_EQ(mo.m10, s10);
  EXPECT_EQ(mo.m01, s01);
}

TEST(CentroidSimilarity, LargeMasksGiveTheCentroidsOfOneByOne) {
  // Enough pixels for the centroids to be shared between threads.
  std::vector<Mask> masks;
  for (int k = 0; k < 6; ++k) masks.push_back(rect(600, 800, 10 + 90 * k, 5 + 70 * k, 100 + 95 * k, 90 + 80 * k));
  masks.emplace_back(600, 800);  // empty: the farthest pair
  std::vector<MaskView> a, b;
  for (size_t k = 0; k < masks.size(); ++k) (k % 2 ? b : a).push_back(masks[k].view());
  const CentroidSimilarity sim = centroid_similarity(a, b);
  double far = 0;
  for (const MaskView& x : a)
    for (const MaskView& y : b) {
      const auto cx = mask_centroid(x), cy = mask_centroid(y);
      if (!std::isnan(cx[0]) && !std::isnan(cy[0])) far = std::max(far, std::hypot(cx[0] - cy[0], cx[1] - cy[1]));
    }
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) {
      const auto cx = mask_centroid(a[i]), cy = mask_centroid(b[j]);
      const double d = std::isnan(cx[0]) || std::isnan(cy[0]) ? far + 1 : std::hypot(cx[0] - cy[0], cx[1] - cy[1]);
      EXPECT_DOUBLE_EQ(sim.values[i * b.size() + j], 1.0 - d / (far + 1 + 1e-6)) << i << "," << j;
    }
}

TEST(CentroidSimilarity, ScaledByTheFarthestPair) {
  Mask old_m(40, 40), near_m(40, 40), far_m(40, 40), empty(40, 40);
  old_m.row(0)[0] = near_m.row(0)[10] = far_m.row(0)[30] = 1;
  auto s = centroid_similarity({near_m.view(), far_m.view()}, {old_m.view()});
  EXPECT_FALSE(s.all_nan);
  EXPECT_DOUBLE_EQ(s.values[0], 1 - 10 / (30 + 1e-6));
  EXPECT_DOUBLE_EQ(s.values[1], 1 - 30 / (30 + 1e-6));
  s = centroid_similarity({old_m.view()}, {old_m.view()});
  EXPECT_EQ(s.values, (std::vector<double>{1.0}));
  // An empty mask's pairs become the farthest: largest distance + 1.
  s = centroid_similarity({near_m.view(), empty.view()}, {old_m.view()});
  EXPECT_DOUBLE_EQ(s.values[1], 1 - 11 / (11 + 1e-6));
  s = centroid_similarity({empty.view()}, {empty.view(), empty.view()});
  EXPECT_TRUE(s.all_nan);
  EXPECT_TRUE(std::isnan(s.values[0]) && std::isnan(s.values[1]));
  EXPECT_THROW(centroid_similarity({}, {old_m.view()}), ValueError);
  EXPECT_THROW(centroid_similarity({old_m.view()}, {}), ValueError);
}

TEST(CosineScores, MissingVectorsAndZeroVectors) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<FeatureVector> fresh = {std::vector<double>{1, 0}, std::nullopt, std::vector<double>{0, 0}};
  const std::vector<FeatureVector> old = {std::vector<double>{3, 4}, std::vector<double>{-2, 0}};
  const auto s = cosine_scores(fresh, old);
  ASSERT_EQ(s.size(), 6u);
  EXPECT_DOUBLE_EQ(s[0], 0.6);
  EXPECT_DOUBLE_EQ(s[1], -1.0);
  EXPECT_EQ(s[2], -inf);
  EXPECT_EQ(s[3], -inf);
  EXPECT_EQ(s[4], 0.0);
  EXPECT_EQ(s[5], 0.0);
  EXPECT_EQ(cosine_scores(fresh, {}).size(), 0u);
  EXPECT_THROW(cosine_scores(fresh, {std::vector<double>{1, 2, 3}}), ValueError);
}
