#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/mask.hpp"
#include "common/parallel.hpp"
#include "common/ndarray.hpp"
#include "common/polygon_fill.hpp"
#include "common/runtime.hpp"

#include <opencv2/imgproc.hpp>

using namespace mirelo;

TEST(FormatFloat, MatchesHostRepr) {
  const std::pair<double, const char*> cases[] = {
      {25.0, "25.0"},       {1500.0, "1500.0"},        {0.1, "0.1"},
      {0.2 + 0.1, "0.30000000000000004"},              {450.00000000000006, "450.00000000000006"},
      {1e16, "1e+16"},      {1234567890123456.0, "1234567890123456.0"},
      {1.5e-5, "1.5e-05"},  {0.0001, "0.0001"},        {-0.0, "-0.0"},
      {-2.5, "-2.5"},       {std::numeric_limits<double>::infinity(), "inf"},
      {1e300, "1e+300"},    {123.456, "123.456"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(format_float(v), text) << v;
  EXPECT_EQ(format_float(std::nan("")), "nan");
}

TEST(FormatFloat, FixedAndPadded) {
  EXPECT_EQ(format_fixed(60.0, 2), "60.00");
  EXPECT_EQ(format_fixed(2.675, 2), "2.67");  // binary value just below 2.675
  EXPECT_EQ(format_padded(7, 4), "0007");
  EXPECT_EQ(format_padded(12345, 4), "12345");
}

TEST(MaskStats, AreaAndTightBoxInOnePass) {
  Mask m(5, 6);
  m.row(1)[2] = 1;
  m.row(3)[4] = 7;  // any non-zero byte is set
  m.row(3)[1] = 1;
  const MaskStats s = mask_stats(m.view());
  EXPECT_EQ(s.area, 3);
  EXPECT_FALSE(s.box.empty);
  EXPECT_EQ(s.box.x_min, 1);
  EXPECT_EQ(s.box.x_max, 4);
  EXPECT_EQ(s.box.y_min, 1);
  EXPECT_EQ(s.box.y_max, 3);
  EXPECT_TRUE(mask_stats(Mask(4, 4).view()).box.empty);
}

TEST(MaskStats, IntersectionInsideBoxesEqualsFullCount) {
  Mask a(20, 30), b(20, 30);
  for (int y = 2; y < 12; ++y)
    for (int x = 3; x < 15; ++x) a.row(y)[x] = 1;
  for (int y = 8; y < 19; ++y)
    for (int x = 10; x < 29; ++x) b.row(y)[x] = 255;
  const auto sa = mask_stats(a.view()), sb = mask_stats(b.view());
  EXPECT_EQ(count_intersection(a.view(), sa.box, b.view(), sb.box), 4 * 5);
  EXPECT_EQ(count_intersection(a.view(), b.view()), 4 * 5);
  EXPECT_THROW(count_intersection(a.view(), Mask(20, 31).view()), std::invalid_argument);
}

TEST(NDArray, MasksFromArrayAndTake) {
  NDArray a(DType::Float32, {2, 1, 2, 2});
  float vals[8] = {0.f, 1.f, 0.5f, 0.f, std::nanf(""), 0.f, -0.f, 2.f};
  std::memcpy(a.bytes.data(), vals, sizeof vals);
  auto masks = masks_from_array(a);
  ASSERT_EQ(masks.size(), 2u);
  EXPECT_EQ(masks[0].pixels, (std::vector<uint8_t>{0, 1, 1, 0}));
  EXPECT_EQ(masks[1].pixels, (std::vector<uint8_t>{1, 0, 0, 1}));  // NaN set, -0 clear
  NDArray t = a.take({1, 1, 0});
  EXPECT_EQ(t.shape, (std::vector<int64_t>{3, 1, 2, 2}));
  EXPECT_EQ(t.get(3), 2.0);
  EXPECT_THROW(a.take({2}), std::out_of_range);
}

TEST(MaskStats, VectorKernelsAgreeWithScalarCounts) {
  // Odd widths exercise the 16- and 64-byte loops and their tails.
  for (int64_t w : {1, 15, 16, 17, 63, 64, 65, 200}) {
    Mask a(7, w), b(7, w);
    uint32_t state = 12345u + static_cast<uint32_t>(w);
    for (size_t i = 0; i < a.pixels.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      a.pixels[i] = (state >> 24) % 3 == 0 ? static_cast<uint8_t>(state >> 8) : 0;
      b.pixels[i] = (state >> 20) % 2 ? 255 : 0;
    }
    int64_t area = 0, both = 0, x0 = w, x1 = -1, y0 = -1, y1 = -1;
    for (int64_t y = 0; y < 7; ++y)
      for (int64_t x = 0; x < w; ++x) {
        const bool sa = a.row(y)[x] != 0, sb = b.row(y)[x] != 0;
        area += sa;
        both += sa && sb;
        if (sa) {
          x0 = std::min(x0, x), x1 = std::max(x1, x);
          if (y0 < 0) y0 = y;
          y1 = y;
        }
      }
    const MaskStats s = mask_stats(a.view());
    const PixelBox box = mask_box(a.view());
    EXPECT_EQ(s.area, area) << w;
    EXPECT_EQ(count_nonzero(a.view()), area);
    EXPECT_EQ(count_intersection(a.view(), b.view()), both);
    EXPECT_EQ(count_intersection(a.view(), s.box, b.view(), mask_stats(b.view()).box), both);
    if (area > 0) {
      for (const PixelBox& bx : {s.box, box}) {
        EXPECT_EQ(bx.x_min, x0);
        EXPECT_EQ(bx.x_max, x1);
        EXPECT_EQ(bx.y_min, y0);
        EXPECT_EQ(bx.y_max, y1);
      }
    }
  }
}

TEST(MaskStats, MaskWithoutColumnsHasNoPixels) {
  // Claims 2^40 rows over no memory at all: nothing may be read.
  const MaskView m{nullptr, int64_t{1} << 40, 0, 0};
  EXPECT_EQ(count_nonzero(m), 0);
  EXPECT_EQ(mask_stats(m).area, 0);
  EXPECT_TRUE(mask_stats(m).box.empty);
  EXPECT_TRUE(mask_box(m).empty);
  EXPECT_EQ(count_intersection(m, m), 0);
}

TEST(NDArray, SizeOfZeroSizeArrayWithHugeAxes) {
  NDArray a;
  a.shape = {int64_t{1} << 40, int64_t{1} << 40, 0};
  EXPECT_EQ(a.size(), 0);
  a.shape = {int64_t{1} << 40, int64_t{1} << 40};
  EXPECT_THROW(a.size(), ValueError);
}

namespace {

cv::Mat filled(const std::vector<cv::Point>& pts, int rows, int cols, bool by_opencv) {
  cv::Mat m = cv::Mat::zeros(rows, cols, CV_8UC1);
  if (by_opencv) {
    cv::fillPoly(m, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(1));
  } else {
    fill_polygon(m, pts, cv::Scalar(1));
  }
  return m;
}

std::vector<cv::Point> random_polygon(cv::RNG& rng, int rows, int cols, int reach, int n) {
  std::vector<cv::Point> pts;
  for (int i = 0; i < n; ++i) pts.emplace_back(rng.uniform(-reach, cols + reach), rng.uniform(-reach, rows + reach));
  return pts;
}

}  // namespace

// OpenCV releases differ only where outlines leave the frame (the Python
// tests compare those with opencv-python's 5.1); inside it, the OpenCV this
// build links, whatever its release, fills as the core does.
TEST(PolygonFill, EqualsTheLinkedOpenCvInsideTheFrame) {
  cv::RNG rng(7);
  for (int k = 0; k < 300; ++k) {
    const int rows = rng.uniform(1, 50), cols = rng.uniform(1, 50), n = rng.uniform(1, 40);
    std::vector<cv::Point> pts;
    for (int i = 0; i < n; ++i) pts.emplace_back(rng.uniform(0, cols), rng.uniform(0, rows));
    EXPECT_EQ(cv::norm(filled(pts, rows, cols, false), filled(pts, rows, cols, true), cv::NORM_L1), 0) << k;
  }
}

// A window of the frame holds exactly the frame's pixels there, however far
// the vertices lie; far ones cost no more than near ones.
TEST(PolygonFill, AWindowHoldsTheFramesPixels) {
  cv::RNG rng(11);
  for (int k = 0; k < 300; ++k) {
    const int rows = rng.uniform(1, 60), cols = rng.uniform(1, 60);
    const int reach = k % 3 == 0 ? 5 : k % 3 == 1 ? 300 : INT_MAX / 4;
    const std::vector<cv::Point> pts = random_polygon(rng, rows, cols, reach, rng.uniform(1, 12));
    const cv::Mat whole = filled(pts, rows, cols, false);
    const int x0 = rng.uniform(-5, cols), y0 = rng.uniform(-5, rows);
    const int w = rng.uniform(1, cols + 10), h = rng.uniform(1, rows + 10);
    cv::Mat window = cv::Mat::zeros(h, w, CV_8UC1);
    fill_polygon(window, cv::Point2l(x0, y0), rows, cols, pts, cv::Scalar(1));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int fy = y0 + y, fx = x0 + x;
        const int expected = fy >= 0 && fy < rows && fx >= 0 && fx < cols ? whole.at<uint8_t>(fy, fx) : 0;
        ASSERT_EQ(window.at<uint8_t>(y, x), expected) << k << " at " << x << ", " << y;
      }
  }
  const std::vector<cv::Point> far = {{INT_MIN, INT_MIN}, {INT_MAX, 0}, {0, INT_MAX}};
  EXPECT_EQ(cv::countNonZero(filled(far, 30, 20, false)), 600);
}

TEST(PolygonFill, ChannelsTakeTheirValuesAndBadTargetsAreRefused) {
  cv::Mat rgb = cv::Mat::zeros(4, 4, CV_8UC3);
  fill_polygon(rgb, {{0, 0}, {3, 0}, {3, 3}, {0, 3}}, cv::Scalar(1, 2, 300));
  EXPECT_EQ(rgb.at<cv::Vec3b>(2, 2), cv::Vec3b(1, 2, 255));
  cv::Mat floats = cv::Mat::zeros(4, 4, CV_32FC1);
  EXPECT_THROW(fill_polygon(floats, {{0, 0}, {3, 3}}, cv::Scalar(1)), ValueError);
  cv::Mat one = cv::Mat::zeros(1, 1, CV_8UC1);
  EXPECT_THROW(fill_polygon(one, cv::Point2l(0, 0), int64_t{1} << 31, 1, {{0, 0}}, cv::Scalar(1)), ValueError);
}

TEST(PolygonFill, WorkBeyondTheLimitIsRefusedBeforeFilling) {
  // Edges that each cross 4095 rows of a one-column window, where none of
  // the outline lies: 100,000 of them are over 2^28 crossings.
  std::vector<cv::Point> zigzag;
  for (int k = 0; k < 50000; ++k) zigzag.insert(zigzag.end(), {{0, 0}, {1, 4095}});
  cv::Mat window = cv::Mat::zeros(4096, 1, CV_8UC1);
  try {
    fill_polygon(window, cv::Point2l(100, 0), 4096, 200, zigzag, cv::Scalar(1));
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot fill a polygon of 100000 vertices: it needs more than 268435456 steps (crossings of its "
              "edges with the frame's rows, and pixels of its outline), the most one fill may take");
  }
  EXPECT_EQ(cv::countNonZero(window), 0);
}

TEST(MaskBox, LonePixelAtEveryColumn) {
  // Empty stretches are skipped in 64-byte blocks; the pixel after them must
  // still be found wherever it sits.
  for (int64_t w : {63, 64, 65, 130, 200}) {
    for (int64_t x = 0; x < w; ++x) {
      Mask m(5, w);
      m.row(3)[x] = 9;
      const PixelBox box = mask_box(m.view());
      const PixelBox stats_box = mask_stats(m.view()).box;
      for (const PixelBox& b : {box, stats_box}) {
        EXPECT_EQ(b.x_min, x) << w;
        EXPECT_EQ(b.x_max, x) << w;
        EXPECT_EQ(b.y_min, 3);
        EXPECT_EQ(b.y_max, 3);
      }
    }
  }
}

// A capture takes the lines of its own thread only; nested captures keep
// their own lines, and the sink gets the lines again once the capture ends.
TEST(MessageCapture, PerThreadAndNested) {
  std::vector<std::string> sunk;
  set_message_sink([&](std::string_view s) { sunk.emplace_back(s); });
  {
    MessageCapture outer;
    print_line("a");
    std::thread other([] { print_line("from another thread"); });
    other.join();
    {
      MessageCapture inner;
      print_line("b");
      EXPECT_EQ(inner.take(), std::vector<std::string>{"b"});
    }
    print_line("c");
    EXPECT_EQ(outer.take(), (std::vector<std::string>{"a", "c"}));
    EXPECT_TRUE(outer.take().empty());
  }
  print_line("d");
  set_message_sink({});
  EXPECT_EQ(sunk, (std::vector<std::string>{"from another thread\n", "d\n"}));
}

TEST(Parallel, EveryPieceOnceAndTheEarliestFailureWins) {
  for (unsigned threads : {1u, 2u, 4u}) {
    std::vector<std::atomic<int>> runs(1000);
    for_each_in_parallel(runs.size(), threads, [&](size_t i) { ++runs[i]; });
    for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << i;

    std::vector<std::atomic<int>> seen(1000);
    try {
      for_each_in_parallel(seen.size(), threads, [&](size_t i) {
        ++seen[i];
        if (i == 700 || i == 300) throw std::runtime_error("piece " + std::to_string(i));
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "piece 300");
    }
    for (size_t i = 0; i <= 300; ++i) ASSERT_EQ(seen[i].load(), 1) << i;  // all earlier pieces ran
  }
}
