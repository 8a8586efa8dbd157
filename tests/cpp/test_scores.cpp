#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/coco_rle.hpp"
#include "common/errors.hpp"
#include "common/mask.hpp"
#include "common/run_mask.hpp"
#include "pen/track_files.hpp"
#include "qc/scores.hpp"
#include "random_masks.hpp"

using namespace mirelo;

namespace {

bool same_pixels(const RunMask& a, const RunMask& b) {
  if (!a.same_shape(b) || a.area() != b.area()) return false;
  return count_intersection(a, b) == a.area();
}

}  // namespace

TEST(CocoRle, TurningOverAndBackThroughTheCountsKeepsEveryPixel) {
  std::mt19937 gen(3);
  for (const auto& [h, w] : {std::pair<int64_t, int64_t>{1, 1}, {1, 9}, {9, 1}, {17, 23}, {40, 7}}) {
    for (double p : {0.0, 0.2, 0.7, 1.0}) {
      const RunMask m = random_runs(gen, h, w, p);
      const RunMask t = transposed(m);
      EXPECT_EQ(t.height(), w);
      EXPECT_EQ(t.width(), h);
      EXPECT_EQ(t.area(), m.area());
      EXPECT_TRUE(same_pixels(transposed(t), m));
      const auto counts = rle_counts(m);
      uint64_t sum = 0;
      for (uint32_t c : counts) sum += c;
      EXPECT_EQ(sum, static_cast<uint64_t>(h * w));
      EXPECT_TRUE(same_pixels(rle_to_run_mask(counts, h, w), m));
      EXPECT_TRUE(same_pixels(rle_to_column_runs(counts, h, w), t));
      EXPECT_EQ(rle_counts_of_text(rle_counts_text(counts)), counts);
      std::vector<uint32_t> scratch;
      EXPECT_TRUE(same_pixels(rle_text_to_run_mask(rle_counts_text(counts), h, w, scratch, true), t));
    }
  }
}

TEST(Scores, BoxIouInTheReferenceOperationOrder) {
  // 0.1 / 0.2 of a box one pixel high: the reference computes the largest
  // double below 0.5, which an identity match at 0.5 does not reach.
  EXPECT_EQ(box_iou({0, 0, 0.1, 1}, {0, 0, 0.2, 1}), std::nextafter(0.5, 0.0));
  EXPECT_EQ(box_iou({0, 0, 10, 10}, {5, 0, 10, 10}), 50.0 / 150.0);
  EXPECT_EQ(box_iou({0, 0, 0, 10}, {0, 0, 0, 10}), 0.0);  // no area: no overlap
}

TEST(Scores, NumpySumsInBlocksOfEightAccumulators) {
  std::vector<double> v(300);
  for (size_t k = 0; k < v.size(); ++k) v[k] = 1.0 / static_cast<double>(k + 3);
  double sequential = 0;
  for (size_t k = 0; k < 7; ++k) sequential += v[k];
  EXPECT_EQ(numpy_sum(v.data(), 7), sequential);
  double r[8];
  for (int j = 0; j < 8; ++j) r[j] = v[j] + v[8 + j];
  double blocked = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  blocked += v[16];
  EXPECT_EQ(numpy_sum(v.data(), 17), blocked);
  EXPECT_EQ(numpy_sum(v.data(), 300), numpy_sum(v.data(), 144) + numpy_sum(v.data() + 144, 156));
}

TEST(Scores, PerfectTracksScoreOneAndASwapIsCounted) {
  TrackSide gt, pr;
  gt.name = "gt";
  pr.name = "pr";
  for (int64_t f = 1; f <= 4; ++f)
    for (int64_t i = 1; i <= 2; ++i) {
      const std::array<double, 4> box{static_cast<double>(100 * i), 0, 10, 10};
      gt.frame.push_back(f);
      gt.id.push_back(i);
      gt.xywh.push_back(box);
      pr.frame.push_back(f);
      pr.id.push_back(f <= 2 ? i : 3 - i);  // the predictions swap at frame 3
      pr.xywh.push_back(box);
    }
  const TrackingScores s = score_tracking(gt, pr, Similarity::Box, 0.5);
  EXPECT_EQ(s.DetA, 1.0);
  EXPECT_EQ(s.LocA, 1.0);
  EXPECT_EQ(s.IDSW, 2);
  ASSERT_EQ(s.switches.size(), 2u);
  EXPECT_EQ(s.switches[0].frame, 3);
  EXPECT_EQ(s.switches[0].previous, 1);
  EXPECT_EQ(s.switches[0].current, 2);
  EXPECT_EQ(s.MOTA, (8.0 - 2.0) / 8.0);
  EXPECT_THROW(score_tracking(gt, pr, Similarity::Mask, 0.5), ValueError);
  EXPECT_THROW(score_tracking(gt, pr, Similarity::Box, std::nan("")), ValueError);
}

TEST(TrackFiles, KindsAndMessagesNameTheLine) {
  EXPECT_EQ(track_file_kind("\n\n", "f"), TrackFileKind::Empty);
  EXPECT_EQ(track_file_kind("1,2,3,4,5,6,7\n", "f"), TrackFileKind::Mot);
  EXPECT_EQ(track_file_kind("1 2 3 4 5 6 7\n", "f"), TrackFileKind::Mot);
  EXPECT_EQ(track_file_kind("1 2 2 4 4 `0\n", "f"), TrackFileKind::Mots);
  try {
    parse_mot("1,1,0,0,1,1,1\n\n2,1,0,0,x,1,1\n", "tracks.txt");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("tracks.txt, line 3: ", 0), 0u) << e.what();
  }
  const MotTable t = parse_mot("1,1,0.5,0,1,1,1,7\n2,1,0,0,1,1,1\n", "f");
  EXPECT_EQ(mot_text(t), "1,1,0.5,0,1,1,1,7\n2,1,0,0,1,1,1\n");
}
