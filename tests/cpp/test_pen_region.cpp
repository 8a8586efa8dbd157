#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>
#if CV_VERSION_MAJOR >= 5
#include <opencv2/geometry.hpp>
#endif

#include "ingest/pen_region.hpp"

namespace {

using mirelo::CropWindow;

// The region as OpenCV's own calls find it: the whole HSV image, inRange,
// findContours over the whole mask.
std::optional<CropWindow> reference_region(const cv::Mat& bgr) {
  cv::Mat hsv, mask;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), mask);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (contours.empty()) return std::nullopt;
  std::vector<size_t> order(contours.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return cv::contourArea(contours[a]) > cv::contourArea(contours[b]); });
  size_t best = order[0];
  double best_x = 0;
  for (size_t k = 0; k < std::min<size_t>(2, order.size()); ++k) {
    const cv::Moments m = cv::moments(contours[order[k]]);
    const double cx = m.m10 / (m.m00 + 0.00001);
    if (k == 0 || cx > best_x) best = order[k], best_x = cx;
  }
  const cv::Rect r = cv::boundingRect(contours[best]);
  return CropWindow{r.x, r.y, r.x + r.width, r.y + r.height};
}

// Every 8-bit BGR colour once, as a 4096 x 4096 image (rows of 4096 pixels
// also exercise the vector code's tail with the widths below).
TEST(OrangeRegion, EveryColourDecidedAsCvtColorAndInRange) {
  cv::Mat all(4096, 4096, CV_8UC3);
  for (uint32_t i = 0; i < (1u << 24); ++i) {
    uint8_t* p = all.data + 3 * static_cast<size_t>(i);
    p[0] = static_cast<uint8_t>(i), p[1] = static_cast<uint8_t>(i >> 8), p[2] = static_cast<uint8_t>(i >> 16);
  }
  cv::Mat hsv, expected;
  cv::cvtColor(all, hsv, cv::COLOR_BGR2HSV);
  cv::inRange(hsv, cv::Scalar(10, 150, 150), cv::Scalar(25, 255, 255), expected);
  for (const bool vectorised : {true, false}) {
    for (const int width : {4096, 4095, 31}) {
      std::vector<uint8_t> out(static_cast<size_t>(width));
      int64_t wrong_rows = 0;
      for (int y = 0; y < all.rows; ++y) {
        const bool any = mirelo::mark_orange_row(all.ptr(y), width, out.data(), vectorised);
        const cv::Mat row = expected.row(y).colRange(0, width);
        wrong_rows += std::memcmp(out.data(), row.data, out.size()) != 0 || any != (cv::countNonZero(row) > 0);
      }
      EXPECT_EQ(wrong_rows, 0) << "vectorised " << vectorised << ", width " << width;
    }
  }
}

// Orange blobs (some of equal area, some touching the frame's edges) among
// colours close to orange, on frames of odd sizes: the box of the region is
// the one OpenCV's calls over the whole frame give.
TEST(OrangeRegion, SameBoxAsTheWholeFrameCalls) {
  std::mt19937 rng(5);
  const cv::Scalar orange(0, 128, 255), near_orange(0, 160, 255), dull(60, 110, 160);
  int found = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const int h = 20 + static_cast<int>(rng() % 90), w = 20 + static_cast<int>(rng() % 130);
    cv::Mat frame(h, w, CV_8UC3);
    cv::randu(frame, 0, 256);
    const int blobs = static_cast<int>(rng() % 5);
    for (int k = 0; k < blobs; ++k) {
      const int x = static_cast<int>(rng() % w) - 3, y = static_cast<int>(rng() % h) - 3;
      const int size = 1 + static_cast<int>(rng() % 12);
      const cv::Scalar& colour = k % 3 == 2 ? near_orange : k % 3 == 1 ? dull : orange;
      if (rng() % 2)
        cv::rectangle(frame, cv::Rect(x, y, size, size), colour, cv::FILLED);  // equal areas happen
      else
        cv::circle(frame, cv::Point(x, y), size, colour, cv::FILLED);
    }
    const auto expected = reference_region(frame);
    found += expected.has_value();
    EXPECT_EQ(mirelo::find_orange_region(frame), expected) << "trial " << trial;
  }
  EXPECT_GT(found, 150);
}

TEST(OrangeRegion, StridedFrameAndNoOrange) {
  cv::Mat big(60, 80, CV_8UC3, cv::Scalar(40, 40, 40));
  cv::rectangle(big, cv::Rect(50, 30, 10, 5), cv::Scalar(0, 128, 255), cv::FILLED);
  const cv::Mat view = big(cv::Rect(20, 10, 50, 40));  // rows longer than the view
  EXPECT_EQ(mirelo::find_orange_region(view), (CropWindow{30, 20, 40, 25}));
  EXPECT_EQ(mirelo::find_orange_region(cv::Mat(30, 30, CV_8UC3, cv::Scalar(0, 0, 255))), std::nullopt);
  EXPECT_EQ(mirelo::find_orange_region(cv::Mat()), std::nullopt);
}

}  // namespace
