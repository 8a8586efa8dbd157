#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>
#if CV_VERSION_MAJOR >= 5
#include <opencv2/geometry.hpp>
#endif

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

TEST(Motion, FramesOfOneOrTwoPixelsStillGiveAFlow) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 1), cv::Size(1, 3)}) {
    const cv::Mat frame(size, CV_8UC1, cv::Scalar(9)), ones(size, CV_8UC1, cv::Scalar(1));
    EXPECT_TRUE(motion_scores(frame, frame, {plane_of(ones)}, {"a"})[0]);
  }
}
