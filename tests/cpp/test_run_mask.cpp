#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "common/errors.hpp"
#include "common/run_mask.hpp"
#include "measures/overlap.hpp"

using namespace mirelo;

namespace {

// A random mask: a few blobs of rows with gaps, some touching the borders.
Mask random_mask(std::mt19937& gen, int64_t h, int64_t w) {
  Mask m(h, w);
  std::uniform_int_distribution<int64_t> ys(0, h - 1), xs(0, w - 1), len(0, 40);
  for (int blob = 0; blob < 4; ++blob) {
    const int64_t y0 = ys(gen), x0 = xs(gen);
    for (int64_t y = y0; y < std::min(h, y0 + len(gen)); ++y)
      for (int64_t x = x0 + len(gen) / 4; x < std::min(w, x0 + len(gen)); ++x) m.row(y)[x] = (x % 7) ? 1 : 200;
  }
  return m;
}

Mask dense_of(const RunMask& r) {
  Mask m(r.height(), r.width());
  r.paint(m.pixels.data(), r.width());
  return m;
}

}  // namespace

TEST(RunMask, RoundTripAreaBoxAndOverlapsAgreeWithDenseCounts) {
  std::mt19937 gen(7);
  for (const auto& [h, w] : {std::pair<int64_t, int64_t>{1, 1}, {5, 3}, {64, 97}, {120, 33}}) {
    for (int trial = 0; trial < 20; ++trial) {
      const Mask a = random_mask(gen, h, w), b = random_mask(gen, h, w);
      const RunMask ra = runs_of(a.view()), rb = runs_of(b.view());
      Mask back = dense_of(ra);
      for (size_t i = 0; i < a.pixels.size(); ++i) ASSERT_EQ(back.pixels[i], a.pixels[i] != 0) << i;
      const MaskStats s = mask_stats(a.view());
      EXPECT_EQ(ra.area(), s.area);
      EXPECT_EQ(ra.box().empty, s.box.empty);
      if (!s.box.empty) {
        EXPECT_EQ(ra.box().x_min, s.box.x_min);
        EXPECT_EQ(ra.box().x_max, s.box.x_max);
        EXPECT_EQ(ra.box().y_min, s.box.y_min);
        EXPECT_EQ(ra.box().y_max, s.box.y_max);
      }
      EXPECT_EQ(count_intersection(ra, rb), count_intersection(a.view(), b.view()));
    }
  }
}

TEST(RunMask, ReadsEveryElementTypeWithTheNonZeroTest) {
  const int64_t h = 3, w = 37;  // rows longer than one 64-byte stretch for most types
  std::vector<float> f(h * w, 0.0f);
  f[5] = -0.0f;  // not set
  f[6] = std::nanf("");
  f[40] = 0.5f;
  f[41] = -1.0f;
  f[h * w - 1] = 1e-30f;
  const RunMask rf = runs_of(PlaneView{DType::Float32, reinterpret_cast<const uint8_t*>(f.data()), h, w, w * 4});
  EXPECT_EQ(rf.area(), 4);
  ASSERT_EQ(rf.row(0).size(), 1u);
  EXPECT_EQ(rf.row(0)[0].x_begin, 6);
  ASSERT_EQ(rf.row(1).size(), 1u);
  EXPECT_EQ(rf.row(1)[0].x_begin, 3);
  EXPECT_EQ(rf.row(1)[0].x_end, 5);

  std::vector<int64_t> i64(h * w, 0);
  i64[w + 36] = INT64_MIN;
  const RunMask ri = runs_of(PlaneView{DType::Int64, reinterpret_cast<const uint8_t*>(i64.data()), h, w, w * 8});
  EXPECT_EQ(ri.area(), 1);
  EXPECT_EQ(ri.box().x_min, 36);

  std::vector<double> d(h * w, -0.0);
  EXPECT_EQ(runs_of(PlaneView{DType::Float64, reinterpret_cast<const uint8_t*>(d.data()), h, w, w * 8}).area(), 0);
}

TEST(RunMask, BuilderMergesTouchingRunsAndRejectsDisorder) {
  RunMaskBuilder b(4, 10);
  b.add(1, 2, 4);
  b.add(1, 4, 6);  // touches: one run
  b.add(1, 7, 7);  // empty: ignored
  b.add(3, 0, 10);
  const RunMask m = b.finish();
  ASSERT_EQ(m.row(1).size(), 1u);
  EXPECT_EQ(m.row(1)[0].x_end, 6);
  EXPECT_TRUE(m.row(2).empty());
  EXPECT_EQ(m.area(), 14);
  EXPECT_EQ(m.box().y_min, 1);
  EXPECT_EQ(m.box().y_max, 3);

  RunMaskBuilder bad(4, 10);
  bad.add(2, 0, 3);
  EXPECT_THROW(bad.add(1, 0, 3), std::invalid_argument);
  EXPECT_THROW(bad.add(2, 1, 5), std::invalid_argument);
  EXPECT_THROW(bad.add(2, 5, 11), std::invalid_argument);
  EXPECT_THROW(RunMask(3, int64_t{1} << 31), std::invalid_argument);
  EXPECT_THROW(count_intersection(RunMask(3, 4), RunMask(4, 3)), std::invalid_argument);
}

TEST(RunMask, TableMatchesTheDenseTable) {
  std::mt19937 gen(11);
  std::vector<Mask> dense;
  for (int k = 0; k < 6; ++k) dense.push_back(random_mask(gen, 50, 70));
  std::vector<MaskView> views;
  std::vector<RunMask> runs;
  std::vector<double> areas;
  for (const auto& m : dense) {
    views.push_back(m.view());
    runs.push_back(runs_of(m.view()));
    areas.push_back(static_cast<double>(runs.back().area()));
  }
  areas[2] = 1;  // skipped against the masks before it
  std::vector<const RunMask*> ptrs;
  for (const auto& r : runs) ptrs.push_back(&r);
  EXPECT_EQ(intersection_table(ptrs, areas), intersection_table(views, areas));
}
