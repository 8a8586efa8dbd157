#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>

#include <opencv2/imgproc.hpp>

#include "common/format.hpp"
#include "qc/refine.hpp"
#include "qc/report.hpp"

using namespace mirelo;

namespace {

// A frame of random blobs: ellipses and single pixels, some touching
// diagonally only, scattered so that boxes of pieces interleave.
cv::Mat random_blobs(std::mt19937& rng, int h, int w, int count) {
  cv::Mat m = cv::Mat::zeros(h, w, CV_8UC1);
  std::uniform_int_distribution<int> x(0, w - 1), y(0, h - 1), r(0, 6), angle(0, 179);
  for (int k = 0; k < count; ++k) {
    const cv::Point c(x(rng), y(rng));
    if (k % 4 == 0) {
      m.at<uint8_t>(c) = 1;
      if (c.x + 1 < w && c.y + 1 < h) m.at<uint8_t>(c.y + 1, c.x + 1) = 1;  // a diagonal pair
    } else {
      cv::ellipse(m, c, cv::Size(r(rng), r(rng)), angle(rng), 0, 360, cv::Scalar(1), -1);
    }
  }
  return m;
}

PixelBox box_of(const cv::Mat& m) { return mask_box(MaskView{m.data, m.rows, m.cols, static_cast<int64_t>(m.step)}); }

std::vector<std::pair<int, int>> sorted_points(std::vector<cv::Point> pts) {
  std::vector<std::pair<int, int>> out;
  for (const auto& p : pts) out.emplace_back(p.x, p.y);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

// Pieces split from runs are the whole frame's pieces: same numbering,
// areas, boxes and centroids to the last bit, and the same contour points.
TEST(SplitPieces, MatchWholeFrameComponents) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 60; ++trial) {
    const int h = 30 + trial % 7 * 9, w = 25 + trial % 5 * 13;
    const cv::Mat frame = random_blobs(rng, h, w, 4 + trial % 12);
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(frame, labels, stats, centroids, 8, CV_32S);
    const RunPieces p = split_pieces(runs_of(MaskView{frame.data, h, w, static_cast<int64_t>(frame.step)}));
    ASSERT_EQ(static_cast<int>(p.pieces.size()), n - 1) << "trial " << trial;
    size_t k = 0;
    for (int y = 0; y < h; ++y)
      for (const mirelo::Run& r : p.mask.row(y)) {
        for (int x = r.x_begin; x < r.x_end; ++x) ASSERT_EQ(p.label[k], labels.at<int>(y, x)) << "trial " << trial;
        ++k;
      }
    ASSERT_EQ(k, p.label.size());
    for (int l = 1; l < n; ++l) {
      const Piece& piece = p.pieces[static_cast<size_t>(l - 1)];
      EXPECT_EQ(piece.area, stats.at<int>(l, cv::CC_STAT_AREA));
      EXPECT_EQ(piece.box.x_min, stats.at<int>(l, cv::CC_STAT_LEFT));
      EXPECT_EQ(piece.box.y_max, stats.at<int>(l, cv::CC_STAT_TOP) + stats.at<int>(l, cv::CC_STAT_HEIGHT) - 1);
      EXPECT_EQ(piece.centroid().x, centroids.at<double>(l, 0));
      EXPECT_EQ(piece.centroid().y, centroids.at<double>(l, 1));

      cv::Mat only = labels == l;
      std::vector<std::vector<cv::Point>> contours;
      cv::findContours(only, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
      std::vector<cv::Point> expected;
      for (const auto& c : contours) expected.insert(expected.end(), c.begin(), c.end());
      EXPECT_EQ(sorted_points(piece_contour_points(p, l)), sorted_points(expected));
    }
  }
}

TEST(RunMaskIntersect, KeepsThePixelsSetInBoth) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    const cv::Mat a = random_blobs(rng, 40, 50, 8), b = random_blobs(rng, 40, 50, 8);
    const cv::Mat both = a & b;
    auto runs = [](const cv::Mat& m) { return runs_of(MaskView{m.data, m.rows, m.cols, static_cast<int64_t>(m.step)}); };
    const RunMask r = intersect(runs(a), runs(b));
    cv::Mat painted = cv::Mat::zeros(40, 50, CV_8UC1);
    r.paint(painted.data, static_cast<int64_t>(painted.step));
    EXPECT_EQ(cv::countNonZero(painted != both), 0) << "trial " << trial;
    EXPECT_EQ(r.area(), cv::countNonZero(both));
  }
  EXPECT_THROW(intersect(RunMask(4, 5), RunMask(5, 4)), std::invalid_argument);
}

TEST(OuterContourPoints, PiecesInsideHolesAndEdgesOfTheImage) {
  cv::Mat m = cv::Mat::zeros(12, 12, CV_8UC1);
  cv::rectangle(m, cv::Rect(0, 0, 9, 9), cv::Scalar(1), 2);  // a ring touching the image's corner
  m.at<uint8_t>(4, 4) = 1;                                    // a dot in its hole: not an outer contour
  const auto pts = sorted_points(outer_contour_points(m, 0, 0, box_of(m)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(m, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  ASSERT_EQ(contours.size(), 1u);
  EXPECT_EQ(pts, sorted_points(contours[0]));
  EXPECT_EQ(std::count(pts.begin(), pts.end(), std::make_pair(4, 4)), 0);
  // A single pixel is a one-point contour; nothing set gives no point.
  cv::Mat dot = cv::Mat::zeros(3, 3, CV_8UC1);
  dot.at<uint8_t>(2, 1) = 1;
  EXPECT_EQ(sorted_points(outer_contour_points(dot, 10, 20, PixelBox{11, 22, 11, 22, false})),
            (std::vector<std::pair<int, int>>{{11, 22}}));
  EXPECT_TRUE(outer_contour_points(dot, 0, 0, PixelBox{}).empty());
}

TEST(PointSet, ShortestDistanceMatchesAllPairs) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> c(-500, 500), n(1, 40);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<cv::Point> a(static_cast<size_t>(n(rng))), b(static_cast<size_t>(n(rng)));
    for (auto& p : a) p = {c(rng), c(rng) / (trial % 3 + 1)};
    for (auto& p : b) p = {c(rng) / (trial % 4 + 1), c(rng)};
    double expected = std::numeric_limits<double>::infinity();
    for (const auto& p : a)
      for (const auto& q : b) expected = std::min(expected, std::sqrt(double(p.x - q.x) * (p.x - q.x) + double(p.y - q.y) * (p.y - q.y)));
    EXPECT_EQ(PointSet(a).shortest_distance(b), expected);
    EXPECT_EQ(PointSet(b).shortest_distance(a), expected);
  }
  EXPECT_EQ(PointSet({{1, 1}}).shortest_distance({{1, 1}}), 0.0);
  EXPECT_TRUE(std::isinf(PointSet({}).shortest_distance({{1, 1}})));
  EXPECT_TRUE(std::isinf(PointSet({{1, 1}}).shortest_distance({})));
  // Coordinates at the ends of the pixel range do not overflow.
  const int big = std::numeric_limits<int>::max();
  EXPECT_DOUBLE_EQ(PointSet({{0, 0}}).shortest_distance({{big, big}}), std::sqrt(2.0) * big);
}

TEST(ChooseMainPiece, TopFiveNearestToPrevious) {
  // Areas of labels 1..7; label 7 (the sixth largest) lies on the previous centroid.
  const std::vector<int64_t> areas = {20, 900, 40, 800, 700, 600, 30};
  std::vector<Centroid> cents = {{0, 0}, {100, 0}, {1000, 0}, {200, 0}, {300, 0}, {400, 0}, {0, 0}};
  EXPECT_EQ(choose_main_piece(areas, cents, std::nullopt), 2);
  EXPECT_EQ(choose_main_piece(areas, cents, Centroid{390, 0}), 6);
  EXPECT_EQ(choose_main_piece(areas, cents, Centroid{0, 0}), 2);  // labels 7 and 1 are not among the five largest
  EXPECT_EQ(choose_main_piece(areas, cents, Centroid{990, 0}), 3);
  // Equal distance: the larger piece wins.
  EXPECT_EQ(choose_main_piece(areas, cents, Centroid{150, 0}), 2);
  EXPECT_THROW(choose_main_piece({}, {}, std::nullopt), std::invalid_argument);
}

TEST(PieceThresholds, RatioSwitchesAtThousandPixels) {
  const RefineSettings s;
  const PieceThresholds large = piece_thresholds(2000, s), small = piece_thresholds(999, s);
  EXPECT_DOUBLE_EQ(large.min_area, 600.0);
  EXPECT_DOUBLE_EQ(large.max_distance, std::sqrt(2000 / std::numbers::pi) * 0.5);
  EXPECT_DOUBLE_EQ(small.max_distance, std::sqrt(999 / std::numbers::pi) * 1.5);
  EXPECT_DOUBLE_EQ(piece_thresholds(1000, s).max_distance, std::sqrt(1000 / std::numbers::pi) * 0.5);
}

TEST(ReportCells, ThresholdIsStrictAndExact) {
  NDArray t(DType::Float64, {2, 2});
  const double v[] = {80.0, 80.01, std::nan(""), 100.0};
  std::memcpy(t.bytes.data(), v, sizeof v);
  EXPECT_EQ(cells_above(t, HostNumber::integer(80)), (std::vector<int64_t>{1, 3}));
  EXPECT_TRUE(any_cell_above(t, HostNumber::real(99.5)));
  EXPECT_FALSE(any_cell_above(t, HostNumber::integer(100)));
  NDArray big(DType::Int64, {1, 2});
  const int64_t iv[] = {(int64_t{1} << 62) + 1, 5};
  std::memcpy(big.bytes.data(), iv, sizeof iv);
  EXPECT_EQ(cells_above(big, HostNumber::integer(int64_t{1} << 62)), (std::vector<int64_t>{0}));
  EXPECT_TRUE(report_value(big, 0).is_int);
  NDArray flat(DType::Float64, {4});
  EXPECT_THROW(cells_above(flat, HostNumber::integer(0)), std::invalid_argument);
}

TEST(ReportValue, RoundsHalfToEvenOfTheHundredfoldValue) {
  NDArray t(DType::Float64, {1, 4});
  const double v[] = {85.3349, 85.335, 0.125, -0.125};
  std::memcpy(t.bytes.data(), v, sizeof v);
  EXPECT_EQ(report_value(t, 0).d, 85.33);
  EXPECT_EQ(report_value(t, 1).d, std::rint(85.335 * 100.0) / 100.0);
  EXPECT_EQ(report_value(t, 2).d, 0.12);
  EXPECT_EQ(report_value(t, 3).d, -0.12);
}

TEST(ReportCsv, FieldsAndQuoting) {
  // Row 0 high overlap, row 1 zero area: the host gives the frame ids, the
  // pair, the areas and the mask key; the report the value and the type.
  std::vector<ReportRow> rows(2);
  rows[0].value = HostNumber::real(1e16);
  rows[1].kind = ReportKind::ZeroArea;
  const auto host = [](size_t i, ReportField f) {
    EXPECT_TRUE(host_field(f));
    switch (f) {
      case ReportField::FrameId: return i == 0 ? CsvField::of(HostNumber::integer(7)) : CsvField::of(std::string("f 8"));
      case ReportField::BoxPair: return CsvField::of(std::string("a,b"));
      case ReportField::MaskArea1: return CsvField::of(HostNumber::real(std::nan("")));
      case ReportField::MaskArea2: return CsvField::of(HostNumber::real(1.5e-5));
      case ReportField::BoxId: return CsvField::of(std::string("say \"hi\"\nnow"));
      case ReportField::MaskAreas: return CsvField::empty();
      default: ADD_FAILURE() << "asked the host for a field of the report"; return CsvField::empty();
    }
  };
  EXPECT_EQ(report_csv(rows, host),
            "Frame ID,Box Pair,Intersection Value,Mask Area1,Mask Area2,Report type,Box ID,Mask Areas\n"
            "7,\"a,b\",10000000000000000.0,,0.000015,High overlap mask detected,,\n"
            "f 8,,,,,Zero area detected,\"say \"\"hi\"\"\nnow\",\n");
  EXPECT_EQ(format_float_positional(-0.0), "-0.0");
}

TEST(TrackingReport, OverlapRowsByFrameAndCellThenZeroAreaRows) {
  const auto frame = [](std::vector<HostNumber> areas, int64_t n, std::vector<double> cells) {
    ReportFrame f{std::move(areas), NDArray(DType::Float64, {n, n})};
    std::memcpy(f.cells.bytes.data(), cells.data(), cells.size() * sizeof(double));
    return f;
  };
  const HostNumber zero = HostNumber::integer(0), big = HostNumber::integer(900);
  const std::vector<ReportFrame> frames = {
      frame({big, zero}, 2, {0, 85.3349, 81, 0}),  // both orders of a pair, a vanished mask
      frame({big, big}, 2, {0, 10, 20, 0}),
      frame({HostNumber::real(0.1), big, big}, 3, {0, 0, 0, 0, 0, 99, 0, 0, 0}),
  };
  const TrackingReport r = tracking_report(frames, HostNumber::integer(80));
  EXPECT_EQ(r.overlap_frames, (std::vector<int64_t>{0, 2}));
  ASSERT_EQ(r.rows.size(), 5u);
  EXPECT_EQ(r.overlap_rows, 3u);
  EXPECT_EQ(r.last_frame_start, 2u);
  const std::vector<std::array<int64_t, 4>> expected = {{0, 0, 1, -1}, {0, 1, 0, -1}, {2, 1, 2, -1}, {0, -1, -1, 1},
                                                        {2, -1, -1, 0}};
  for (size_t i = 0; i < r.rows.size(); ++i) {
    const ReportRow& row = r.rows[i];
    const bool overlap = row.kind == ReportKind::HighOverlap;
    EXPECT_EQ(overlap, i < 3) << i;
    EXPECT_EQ((std::array<int64_t, 4>{row.frame, overlap ? row.row : -1, overlap ? row.column : -1,
                                      overlap ? -1 : row.mask}),
              expected[i])
        << i;
    EXPECT_EQ(has_field(row, ReportField::BoxPair), overlap);
    EXPECT_EQ(has_field(row, ReportField::MaskAreas), !overlap);
  }
  EXPECT_EQ(r.rows[0].value.d, 85.33);
  EXPECT_TRUE(tracking_report({frame({big}, 1, {0})}, HostNumber::integer(80)).rows.empty());
}

TEST(ReportPath, JoinsAsTheHostDoes) {
  EXPECT_EQ(report_path(""), "tracking_question_report.csv");
  EXPECT_EQ(report_path("out"), "out/tracking_question_report.csv");
  EXPECT_EQ(report_path("out/"), "out/tracking_question_report.csv");
}

TEST(SmallAreas, CountsStrictlyAboveMinCountInFirstOccurrenceOrder) {
  // Key 1 is small in 3 frames, key 2 in 2, key 3 never.
  std::vector<FrameAreas> frames = {
      {{2, HostNumber::integer(5)}, {1, HostNumber::integer(100)}, {3, HostNumber::integer(101)}},
      {{1, HostNumber::real(0.5)}, {2, HostNumber::integer(0)}},
      {{1, HostNumber::integer(3)}, {3, HostNumber::real(std::nan(""))}},
  };
  const HostNumber thr = HostNumber::integer(100);
  EXPECT_EQ(keys_small_too_often(frames, thr, HostNumber::integer(1)), (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(keys_small_too_often(frames, thr, HostNumber::integer(2)), (std::vector<int64_t>{1}));
  EXPECT_EQ(keys_small_too_often(frames, thr, HostNumber::real(2.5)), (std::vector<int64_t>{1}));
  EXPECT_TRUE(keys_small_too_often(frames, thr, HostNumber::integer(3)).empty());
  EXPECT_TRUE(frame_after(HostNumber::integer(501), HostNumber::integer(500)));
  EXPECT_FALSE(frame_after(HostNumber::integer(500), HostNumber::integer(500)));
}
