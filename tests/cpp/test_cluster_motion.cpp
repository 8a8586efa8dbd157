#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "measures/cluster.hpp"
#include "measures/motion.hpp"

using namespace mirelo;

namespace {

// The centroid as traced over the whole frame, for comparison with the
// box-restricted tracing.
std::optional<PointXY> full_frame_centroid(const cv::Mat& m) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(m, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;
  size_t best = 0;
  for (size_t k = 1; k < contours.size(); ++k)
    if (cv::contourArea(contours[k]) > cv::contourArea(contours[best])) best = k;
  const cv::Moments mo = cv::moments(contours[best]);
  if (mo.m00 == 0) return std::nullopt;
  return PointXY{static_cast<int64_t>(mo.m10 / mo.m00), static_cast<int64_t>(mo.m01 / mo.m00)};
}

MaskView view_of(const cv::Mat& m) { return MaskView{m.data, m.rows, m.cols, static_cast<int64_t>(m.step)}; }

PlaneView plane_of(const cv::Mat& m) {
  const DType t = m.depth() == CV_8S ? DType::Int8 : m.depth() == CV_32F ? DType::Float32 : DType::UInt8;
  return PlaneView{t, m.data, m.rows, m.cols, static_cast<int64_t>(m.step)};
}

}  // namespace

TEST(ContourCentroid, MatchesFullFrameTracingOnRandomBlobs) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    // A strided view (a column window of a wider frame) with a few ellipses
    // and stray pixels, some touching the frame's edges.
    cv::Mat wide = cv::Mat::zeros(60, 90, CV_8UC1);
    cv::Mat m = wide(cv::Rect(5, 0, 70, 60));
    const int blobs = static_cast<int>(rng() % 4);
    for (int b = 0; b < blobs; ++b)
      cv::ellipse(m, cv::Point(static_cast<int>(rng() % 70), static_cast<int>(rng() % 60)),
                  cv::Size(static_cast<int>(rng() % 15), static_cast<int>(rng() % 15)), rng() % 180, 0, 360,
                  cv::Scalar(1 + rng() % 255), cv::FILLED);
    for (int s = 0; s < 3; ++s) m.at<uint8_t>(static_cast<int>(rng() % 60), static_cast<int>(rng() % 70)) = 1;
    EXPECT_EQ(contour_centroid(view_of(m)), full_frame_centroid(m.clone())) << "trial " << trial;
  }
}

TEST(ContourCentroid, LargerBlobOnlyAndNoAreaCases) {
  cv::Mat m = cv::Mat::zeros(50, 50, CV_8UC1);
  EXPECT_FALSE(contour_centroid(view_of(m)));
  m.at<uint8_t>(10, 10) = 255;  // a single pixel: a contour without area
  EXPECT_FALSE(contour_centroid(view_of(m)));
  cv::line(m, {0, 20}, {30, 20}, cv::Scalar(1));  // a line: still no area
  EXPECT_FALSE(contour_centroid(view_of(m)));
  cv::rectangle(m, {40, 40}, {44, 44}, cv::Scalar(1), cv::FILLED);  // small blob
  cv::rectangle(m, {2, 2}, {12, 8}, cv::Scalar(1), cv::FILLED);     // larger blob
  EXPECT_EQ(contour_centroid(view_of(m)), (PointXY{7, 5}));
}

TEST(Dbscan, LabelsFollowFirstCorePointAndBorderGoesToFirstCluster) {
  // Two groups sharing the border point at index 0, exactly eps from both
  // cores (30, 0) and (10, 0); with min_samples 4 it is not core itself. The
  // group listed first after it is numbered first and takes it.
  const std::vector<PointXY> pts = {{20, 0}, {30, 0}, {35, 0}, {30, -5}, {500, 500}, {10, 0}, {5, 0}, {10, -5}};
  EXPECT_EQ(dbscan_labels(pts, 10.0, 4), (std::vector<int64_t>{0, 0, 0, 0, -1, 1, 1, 1}));
  // With every point core, the groups join through the border point.
  EXPECT_EQ(dbscan_labels(pts, 10.0, 1), (std::vector<int64_t>{0, 0, 0, 0, 1, 0, 0, 0}));
  // Radius inclusive on a 3-4-5 triangle, exclusive just below.
  EXPECT_EQ(dbscan_labels({{0, 0}, {3, 4}}, 5.0, 2), (std::vector<int64_t>{0, 0}));
  EXPECT_EQ(dbscan_labels({{0, 0}, {3, 4}}, std::nextafter(5.0, 0.0), 2), (std::vector<int64_t>{-1, -1}));
  EXPECT_EQ(dbscan_labels({{0, 0}, {1 << 30, 0}}, INFINITY, 2), (std::vector<int64_t>{0, 0}));
}

TEST(Dbscan, RejectsBadParameters) {
  const std::vector<PointXY> one = {{1, 1}};
  EXPECT_THROW(dbscan_labels({}, 1.0, 1), ValueError);
  EXPECT_THROW(dbscan_labels(one, NAN, 1), ValueError);
  EXPECT_THROW(dbscan_labels(one, -1.0, 1), ValueError);
  EXPECT_THROW(dbscan_labels(one, 0.0, 1), ValueError);
  EXPECT_THROW(dbscan_labels(one, 1.0, 0), ValueError);
}

TEST(Motion, MeanInsideAveragesThePixelsAboveZero) {
  std::mt19937 rng(3);
  cv::Mat values(37, 53, CV_32FC1), mask = cv::Mat::zeros(37, 53, CV_8UC1);
  cv::randu(values, 0.0, 10.0);
  for (int k = 0; k < 300; ++k) mask.at<uint8_t>(static_cast<int>(rng() % 37), static_cast<int>(rng() % 53)) = 7;
  const auto mean = mean_inside(values, plane_of(mask));
  ASSERT_TRUE(mean);
  EXPECT_NEAR(*mean, cv::mean(values, mask)[0], 1e-9);
  EXPECT_FALSE(mean_inside(values, plane_of(cv::Mat::zeros(37, 53, CV_8UC1))));
  // Signed and real masks: negative and NaN elements are set but not above zero.
  cv::Mat signed_mask, real_mask;
  mask.convertTo(signed_mask, CV_8S);
  mask.convertTo(real_mask, CV_32F);
  signed_mask.setTo(-1, mask == 0);
  real_mask.setTo(std::nanf(""), mask == 0);
  EXPECT_NEAR(*mean_inside(values, plane_of(signed_mask)), *mean, 1e-12);
  EXPECT_NEAR(*mean_inside(values, plane_of(real_mask)), *mean, 1e-12);
}

TEST(Motion, ShiftedTextureMovesAndSizesAreChecked) {
  cv::Mat noise(64, 64, CV_8UC1), prev, next;
  cv::randu(noise, 0, 255);
  cv::GaussianBlur(noise, prev, {7, 7}, 2.0);
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, 2, 0, 1, 0);
  cv::warpAffine(prev, next, shift, prev.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  cv::Mat centre = cv::Mat::zeros(64, 64, CV_8UC1), empty = centre.clone();
  centre(cv::Rect(16, 16, 32, 32)).setTo(1);
  const auto scores = motion_scores(prev, next, {plane_of(centre), plane_of(empty)}, {"a", "b"});
  ASSERT_TRUE(scores[0]);
  EXPECT_NEAR(*scores[0], 2.0, 0.5);
  EXPECT_FALSE(scores[1]);
  EXPECT_NEAR(*motion_scores(prev, prev, {plane_of(centre)}, {"a"})[0], 0.0, 1e-3);

  EXPECT_THROW(motion_scores(prev, next(cv::Rect(0, 0, 64, 63)), {}, {}), ValueError);
  EXPECT_THROW(motion_scores(prev, next, {plane_of(centre(cv::Rect(0, 0, 64, 63)))}, {"a"}), ValueError);
  // Frames of one or two pixels still give a flow.
  for (const cv::Size s : {cv::Size(1, 1), cv::Size(2, 1), cv::Size(1, 3)}) {
    const cv::Mat tiny(s, CV_8UC1, cv::Scalar(9)), ones(s, CV_8UC1, cv::Scalar(1));
    EXPECT_TRUE(motion_scores(tiny, tiny, {plane_of(ones)}, {"a"})[0]);
  }
}
