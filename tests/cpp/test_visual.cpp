#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "common/platform.hpp"
#include "common/errors.hpp"
#include "common/run_mask.hpp"
#include "visual/draw.hpp"
#include "visual/raster.hpp"
#include "visual/text.hpp"

using namespace mirelo;

namespace {

Rgba at(const cv::Mat& m, int x, int y) {
  const uint8_t* p = m.ptr<uint8_t>(y) + 4 * x;
  return Rgba{p[0], p[1], p[2], p[3]};
}

int count_colour(const cv::Mat& m, const Rgba& c) {
  int n = 0;
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x) n += at(m, x, y) == c;
  return n;
}

}  // namespace

TEST(MaskColor, SameAsLegacyGeneratorDraws) {
  // numpy.random.RandomState(s).randint(0, 256, 3) for these seeds.
  EXPECT_EQ(mask_color(42), (std::array<uint8_t, 3>{102, 179, 92}));
  EXPECT_EQ(mask_color(43), (std::array<uint8_t, 3>{68, 64, 255}));
  EXPECT_EQ(mask_color(0), (std::array<uint8_t, 3>{172, 47, 117}));
  EXPECT_THROW(mask_color(-1), ValueError);
  EXPECT_THROW(mask_color(int64_t{1} << 32), ValueError);
  EXPECT_NO_THROW(mask_color(0xFFFFFFFFll));
}

TEST(CompositeOver, TransparentEnds) {
  const uint8_t dst[4] = {10, 20, 30, 200}, clear[4] = {1, 2, 3, 0}, solid[4] = {7, 8, 9, 255};
  uint8_t out[4];
  composite_over(dst, clear, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(dst, dst + 4));
  composite_over(dst, solid, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{7, 8, 9, 255}));
  const uint8_t empty[4] = {50, 60, 70, 0}, half[4] = {90, 100, 110, 128};
  composite_over(empty, half, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{90, 100, 110, 128}));
}

TEST(Rectangle, OutlineInsideCornersAndDegenerateBoxes) {
  cv::Mat m = cv::Mat::zeros(20, 20, CV_8UC4);
  const Rgba c{1, 2, 3, 255};
  draw_rectangle_outline(m, 2, 2, 12, 10, c, 3);
  EXPECT_EQ(at(m, 2, 2), c);
  EXPECT_EQ(at(m, 12, 10), c);
  EXPECT_EQ(at(m, 4, 4), c);
  EXPECT_NE(at(m, 5, 5), c);   // inside the 3-pixel frame
  EXPECT_NE(at(m, 13, 10), c);  // outside the corner
  EXPECT_EQ(count_colour(m, c), 11 * 9 - 5 * 3);

  // A one-pixel box at the origin: the side strokes run past it, as the
  // imaging library draws them (3 columns x 4 rows).
  cv::Mat z = cv::Mat::zeros(8, 8, CV_8UC4);
  draw_rectangle_outline(z, 0, 0, 0, 0, c, 3);
  EXPECT_EQ(count_colour(z, c), 12);
  EXPECT_EQ(at(z, 2, 3), c);

  cv::Mat far = cv::Mat::zeros(8, 8, CV_8UC4);
  draw_rectangle_outline(far, -(int64_t{1} << 62), 3, int64_t{1} << 62, 5, c, 3);
  fill_rectangle(far, -100, -100, -1, 100, c);
  EXPECT_EQ(count_colour(far, c), 8 * 3);
  EXPECT_THROW(draw_rectangle_outline(far, 5, 0, 4, 0, c, 3), ValueError);
}

TEST(Coverage, BlendsAllChannelsTakesInkOverTransparent) {
  cv::Mat m(1, 3, CV_8UC4, cv::Scalar(100, 100, 100, 255));
  m.ptr<uint8_t>(0)[8 + 3] = 0;  // third pixel transparent
  cv::Mat cov(1, 3, CV_8UC1, cv::Scalar(128));
  cov.at<uint8_t>(0, 0) = 0;
  fill_through_coverage(m, cov, 0, 0, Rgba{255, 255, 255, 255});
  EXPECT_EQ(at(m, 0, 0), (Rgba{100, 100, 100, 255}));
  EXPECT_EQ(at(m, 1, 0), (Rgba{178, 178, 178, 255}));
  EXPECT_EQ(at(m, 2, 0), (Rgba{255, 255, 255, 128}));
  fill_through_coverage(m, cov, -5, 1000, Rgba{0, 0, 0, 255});  // entirely outside
}

TEST(Text, AscenderAnchoredBoxOfBuiltinFont) {
  auto font = builtin_font();
  const TextBox b = font->text_bbox("Box0", 10, 10);
  // The ascender line is at y = 10; capitals start 3 rows below it.
  EXPECT_EQ(b.x1, 10);
  EXPECT_EQ(b.y1, 13);
  EXPECT_EQ(b.x2, 39);
  EXPECT_EQ(b.y2, 21);
  const TextBox e = font->text_bbox("", 4, 5);
  EXPECT_EQ(e.x1, 4);
  EXPECT_EQ(e.y2, 5);
  const TextBox j = font->text_bbox("j", 0, 0);
  EXPECT_LT(j.x1, 0);  // ink left of the pen
  EXPECT_GT(j.y2, 11);  // descends below the baseline
  // Characters outside the table and malformed bytes still take room.
  EXPECT_GT(font->text_bbox("\xE2\x82\xAC\xFF", 0, 0).x2, 0);
}

TEST(Text, DrawsWhiteInkClippedAtEdges) {
  auto font = builtin_font();
  cv::Mat m(30, 60, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  font->draw_text(m, "Box0", 2, 2, Rgba{255, 255, 255, 255});
  EXPECT_GT(count_colour(m, Rgba{255, 255, 255, 255}), 5);
  cv::Mat edge(5, 5, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  font->draw_text(edge, "Box0", -3, -6, Rgba{255, 255, 255, 255});
  font->draw_text(edge, "Box0", int64_t{1} << 50, -(int64_t{1} << 50), Rgba{255, 255, 255, 255});
}

TEST(Text, FarAnchorsNeitherOverflowNorDraw) {
  auto font = builtin_font();
  cv::Mat img(20, 20, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  const int64_t far = std::numeric_limits<int64_t>::max() - 1;
  const TextBox b = font->text_bbox("Box0", far, -far);
  EXPECT_LT(b.x1, b.x2);
  EXPECT_GT(b.x1, int64_t{1} << 39);
  EXPECT_LT(b.y2, -(int64_t{1} << 39));
  const cv::Mat before = img.clone();
  font->draw_text(img, "Box0", far, far, Rgba{255, 255, 255, 255});
  font->draw_text(img, "Box0", -far, -far, Rgba{255, 255, 255, 255});
  EXPECT_EQ(cv::norm(img, before, cv::NORM_INF), 0.0);
}

TEST(Text, FontLookup) {
  EXPECT_THROW(load_truetype_font("no-such-font-anywhere.ttf", 11), OSError);
  EXPECT_THROW(load_truetype_font("x.ttf", 0), ValueError);
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo_font_test_" + std::to_string(platform::process_id()));
  std::filesystem::create_directories(dir);
  const auto bad = dir / "broken.ttf";
  std::ofstream(bad) << "not a font";
  EXPECT_THROW(load_truetype_font(bad.string(), 11), OSError);
  std::filesystem::remove_all(dir);
  EXPECT_NE(label_font(11), nullptr);
  EXPECT_EQ(label_font(11), label_font(11));  // loaded once
}

TEST(Draw, OverlayReplacesAndStaysInsideImage) {
  cv::Mat rgb(4, 6, CV_8UC3, cv::Scalar(10, 20, 30));
  Mask a(4, 6), b(10, 3);
  a.row(1)[2] = 1;
  b.row(1)[2] = 1;  // same pixel, later mask wins
  b.row(9)[1] = 1;  // below the image: ignored
  const cv::Mat out = draw_masks_on_image(rgb, {a.view(), b.view()});
  cv::Mat rgba;
  cv::Mat opaque(4, 6, CV_8UC4, cv::Scalar(10, 20, 30, 255));
  const cv::Mat same = draw_masks_on_image(opaque, {a.view(), b.view()});
  EXPECT_EQ(cv::norm(out, same, cv::NORM_INF), 0);
  const auto c = mask_color(43);
  uint8_t expect[4];
  const uint8_t under[4] = {10, 20, 30, 255}, over[4] = {c[0], c[1], c[2], 128};
  composite_over(under, over, expect);
  EXPECT_EQ(at(out, 2, 1), (Rgba{expect[0], expect[1], expect[2], expect[3]}));
  EXPECT_EQ(at(out, 0, 0), (Rgba{10, 20, 30, 255}));
  EXPECT_THROW(draw_masks_on_image(cv::Mat(2, 2, CV_8UC1), std::vector<MaskView>{}), ValueError);
}

TEST(Draw, BoxesAndLabelsFromCpp) {
  cv::Mat rgba(40, 50, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  Mask m(40, 50), empty(40, 50);
  for (int y = 20; y < 35; ++y)
    for (int x = 10; x < 40; ++x) m.row(y)[x] = 1;
  const cv::Mat out = img_bbx_drawing(rgba, MaskMap{{"Box0", m.view()}, {"Box1", empty.view()}});
  const auto c0 = mask_color(42), c1 = mask_color(43);
  EXPECT_EQ(at(out, 10, 20), (Rgba{c0[0], c0[1], c0[2], 255}));
  EXPECT_EQ(at(out, 0, 0), (Rgba{c1[0], c1[1], c1[2], 255}));
  EXPECT_EQ(at(out, 12, 9), (Rgba{c0[0], c0[1], c0[2], 255}));  // label background above the box
}

TEST(Draw, TypedMasksPaintAboveZeroAndBoxNonZero) {
  const cv::Mat rgba(40, 50, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  std::vector<double> values(40 * 50, 0.0);
  values[20 * 50 + 10] = 0.5;
  values[35 * 50 + 40] = -1.0;                                      // set, not painted: stretches the box
  values[28 * 50 + 25] = std::numeric_limits<double>::quiet_NaN();  // likewise, inside the box
  const PlaneView plane{DType::Float64, reinterpret_cast<const uint8_t*>(values.data()), 40, 50, 50 * 8};
  const cv::Mat out = img_bbx_drawing(rgba, {"Box0"}, {plane});
  const auto c = mask_color(42);
  EXPECT_EQ(at(out, 40, 35), (Rgba{c[0], c[1], c[2], 255}));  // far box corner
  EXPECT_EQ(at(out, 25, 28), (Rgba{0, 0, 0, 255}));           // NaN: not painted
  EXPECT_EQ(at(out, 26, 28), (Rgba{0, 0, 0, 255}));

  // Wider unsigned elements paint every non-zero pixel; rows may be padded.
  std::vector<uint16_t> wide(4 * 8, 0);
  wide[1 * 8 + 2] = 7;
  const PlaneView padded{DType::UInt16, reinterpret_cast<const uint8_t*>(wide.data()), 4, 6, 8 * 2};
  Mask same(4, 6);
  same.row(1)[2] = 1;
  EXPECT_EQ(cv::norm(draw_masks_on_image(rgba(cv::Rect(0, 0, 6, 4)), {padded}),
                     draw_masks_on_image(rgba(cv::Rect(0, 0, 6, 4)), std::vector<MaskView>{same.view()}), cv::NORM_INF),
            0);
  EXPECT_THROW(img_bbx_drawing(rgba, {}, {plane}), ValueError);
}

TEST(Draw, RunsDrawAsTheirDenseMasksOnEveryBaseLayout) {
  // An RGBA base with every alpha, its RGB pixels, and the same RGB with a
  // padding byte that holds garbage (it must be taken as opaque).
  cv::Mat rgba(24, 40, CV_8UC4), rgb, padded(24, 40, CV_8UC4);
  cv::randu(rgba, 0, 256);
  cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
  for (int y = 0; y < rgba.rows; ++y)
    for (int x = 0; x < rgba.cols; ++x) {
      const uint8_t* s = rgba.ptr<uint8_t>(y) + 4 * x;
      uint8_t* p = padded.ptr<uint8_t>(y) + 4 * x;
      p[0] = s[0], p[1] = s[1], p[2] = s[2], p[3] = static_cast<uint8_t>(x * 7 + y);
    }
  // Masks overlapping each other, one reaching past the image's right and
  // bottom edges, one smaller than the image, one empty.
  Mask a(24, 40), b(30, 50), c(10, 12), empty(24, 40);
  for (int y = 2; y < 12; ++y)
    for (int x = 3; x < 20; x += (y % 3) + 1) a.row(y)[x] = 1;
  for (int y = 8; y < 30; ++y)
    for (int x = 15; x < 50; ++x) b.row(y)[x] = (x + y) % 4 != 0;
  for (int y = 0; y < 10; ++y) c.row(y)[y] = 1;
  const std::vector<std::string> keys{"Box0", "Box1", "Box2", "Box3"};
  std::vector<PlaneView> planes;
  std::vector<RunMask> runs;
  for (const Mask* m : {&a, &b, &c, &empty}) {
    planes.push_back(PlaneView{DType::UInt8, m->view().data, m->view().height, m->view().width, m->view().row_stride});
    runs.push_back(runs_of(m->view()));
  }
  const std::vector<const RunMask*> run_ptrs{&runs[0], &runs[1], &runs[2], &runs[3]};
  const cv::Mat opaque = img_bbx_drawing(rgb, keys, planes);
  for (const DrawingBase& base : {DrawingBase{rgba}, DrawingBase{rgb}, DrawingBase{padded, true}}) {
    const cv::Mat dense = base.padded ? opaque : img_bbx_drawing(base.pixels, keys, planes);
    cv::Mat from_planes(24, 40, CV_8UC4, cv::Scalar::all(7)), from_runs(24, 40, CV_8UC4, cv::Scalar::all(9));
    img_bbx_drawing(base, keys, planes, from_planes);
    img_bbx_drawing(base, keys, run_ptrs, from_runs);
    EXPECT_EQ(cv::norm(from_planes, dense, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(from_runs, dense, cv::NORM_INF), 0);
  }
  cv::Mat wrong_size(24, 41, CV_8UC4);
  EXPECT_THROW(img_bbx_drawing(DrawingBase{rgb}, keys, run_ptrs, wrong_size), ValueError);
  cv::Mat out(24, 40, CV_8UC4);
  EXPECT_THROW(img_bbx_drawing(DrawingBase{rgb, true}, keys, run_ptrs, out), ValueError);
}

TEST(Enhance, GammaChecksAndUniformImage) {
  cv::Mat rgb(3, 4, CV_8UC3, cv::Scalar(64, 64, 64));
  EXPECT_THROW(enhance_dark_text(rgb, 0.0), ZeroDivisionError);
  EXPECT_THROW(enhance_dark_text(rgb, -1.0), ValueError);
  EXPECT_THROW(enhance_dark_text(rgb, std::nan("")), ValueError);
  const cv::Mat out = enhance_dark_text(rgb, 1.5);
  ASSERT_EQ(out.type(), CV_8UC1);
  EXPECT_EQ(out.at<uint8_t>(2, 3), 101);  // (64 / 255) ** (1 / 1.5) * 255 = 101.6
  EXPECT_EQ(cv::countNonZero(out != 101), 0);
}

// A long outline costs its crossings of the rows, not rows times edges, and
// the shared corners of a zigzag are joined without pairing every edge with
// every other; beyond the fill's work limit it is refused before drawing.
TEST(PolygonScanline, LongOutlinesAreLinearAndTheLimitIsKept) {
  std::vector<std::array<int32_t, 2>> zigzag;
  for (int32_t i = 0; i < 300000; ++i) zigzag.push_back({i % 90, (i * 7) % 60});
  cv::Mat rgba(64, 96, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  fill_polygon_scanline(rgba, zigzag, {1, 2, 3, 4});
  EXPECT_GT(cv::countNonZero(rgba.reshape(1) != 0), 0);
  std::vector<std::array<int32_t, 2>> tall;
  for (int32_t i = 0; i < 100000; ++i) tall.push_back({i % 2, i % 2 == 0 ? 0 : 4095});
  cv::Mat strip(4096, 2, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  EXPECT_THROW(fill_polygon_scanline(strip, tall, {1, 2, 3, 4}), ValueError);
  EXPECT_EQ(cv::countNonZero(strip.reshape(1) != 0), 0);
}
