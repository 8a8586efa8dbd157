#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "segment/features.hpp"

using namespace mirelo;

namespace {

Mask rect(int64_t h, int64_t w, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint8_t value = 1) {
  Mask m(h, w);
  for (int64_t y = y0; y < y1; ++y)
    for (int64_t x = x0; x < x1; ++x) m.row(y)[x] = value;
  return m;
}

float at(const NDArray& crop, int64_t y, int64_t x) {
  return reinterpret_cast<const float*>(crop.bytes.data())[y * crop.shape[3] + x];
}

// The encoder's input for a mask, written out step by step: crop to the
// box without its last row and column, luminance, gamma table for gamma 10,
// histogram equalisation, black outside the mask, v / 255.
cv::Mat expected_crop(const cv::Mat& rgb, const Mask& mask, int x0, int y0, int x1, int y1) {
  cv::Mat gray, adjusted, equalized;
  cv::cvtColor(rgb(cv::Rect(x0, y0, x1 - x0, y1 - y0)), gray, cv::COLOR_RGB2GRAY);
  cv::Mat table(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) table.at<uint8_t>(i) = static_cast<uint8_t>(std::pow(i / 255.0, 0.1) * 255.0);
  cv::LUT(gray, table, adjusted);
  cv::equalizeHist(adjusted, equalized);
  cv::Mat out(y1 - y0, x1 - x0, CV_32F);
  for (int y = 0; y < out.rows; ++y)
    for (int x = 0; x < out.cols; ++x)
      out.at<float>(y, x) = mask.view().row(y0 + y)[x0 + x] ? equalized.at<uint8_t>(y, x) / 255.0f : 0.0f;
  return out;
}

class Predictor : public ImagePredictor {
 public:
  struct Value : ModelValue {
    explicit Value(std::vector<double> v) : values(std::move(v)) {}
    std::vector<double> values;
  };
  void set_image(const cv::Mat& rgb) override { log.push_back("set_image " + std::to_string(rgb.cols)); }
  Prediction predict(const NDArray&) override { return {}; }
  ModelValuePtr encode(NDArray crop) override {
    log.push_back("encode " + crop.shape_text());
    return std::make_shared<Value>(std::vector<double>{1.0});
  }
  std::vector<double> feature_values(const ModelValuePtr& f) override {
    return static_cast<const Value&>(*f).values;
  }
  std::vector<std::string> log;
};

}  // namespace

TEST(FeatureCrop, BoxWithoutLastRowAndColumnOnUniformFrame) {
  const cv::Mat rgb(12, 16, CV_8UC3, cv::Scalar(60, 60, 60));
  const Mask m = rect(12, 16, 3, 2, 10, 7);  // columns 3..9, rows 2..6
  const auto crop = feature_crop(rgb, m.view());
  ASSERT_TRUE(crop);
  EXPECT_EQ(crop->dtype, DType::Float32);
  EXPECT_EQ(crop->shape, (std::vector<int64_t>{1, 1, 4, 6}));
  // A uniform crop keeps the gamma table's value for its gray level:
  // (60 / 255) ** 0.1 * 255 = 220.7 -> 220; equalisation leaves one level alone.
  for (int64_t y = 0; y < 4; ++y)
    for (int64_t x = 0; x < 6; ++x) EXPECT_EQ(at(*crop, y, x), 220.0f / 255.0f);
}

TEST(FeatureCrop, MatchesTheStepsOnATexturedFrame) {
  cv::Mat rgb(48, 64, CV_8UC3);
  cv::randu(rgb, cv::Scalar::all(0), cv::Scalar::all(256));
  Mask m(48, 64);
  cv::Mat view(48, 64, CV_8UC1, m.pixels.data());
  cv::ellipse(view, cv::Point(30, 20), cv::Size(20, 12), 30, 0, 360, cv::Scalar(7), -1);  // any non-zero is set
  m.row(20)[30] = 0;                                                                     // a hole stays black
  const PixelBox b = mask_box(m.view());
  const cv::Mat want = expected_crop(rgb, m, static_cast<int>(b.x_min), static_cast<int>(b.y_min),
                                     static_cast<int>(b.x_max), static_cast<int>(b.y_max));
  const auto crop = feature_crop(rgb, m.view());
  ASSERT_TRUE(crop);
  ASSERT_EQ(crop->shape, (std::vector<int64_t>{1, 1, want.rows, want.cols}));
  for (int y = 0; y < want.rows; ++y)
    for (int x = 0; x < want.cols; ++x) ASSERT_EQ(at(*crop, y, x), want.at<float>(y, x)) << y << "," << x;
  EXPECT_EQ(at(*crop, 20 - b.y_min, 30 - b.x_min), 0.0f);
}

TEST(FeatureCrop, MasksWithoutACrop) {
  const cv::Mat rgb(20, 20, CV_8UC3, cv::Scalar(1, 2, 3));
  Mask diag9(20, 20), diag10(20, 20);
  for (int i = 0; i < 9; ++i) diag9.row(i)[i] = 1;
  for (int i = 0; i < 10; ++i) diag10.row(i)[i] = 1;
  EXPECT_FALSE(feature_crop(rgb, diag9.view()));
  EXPECT_TRUE(feature_crop(rgb, diag10.view()));
  EXPECT_FALSE(feature_crop(rgb, rect(20, 20, 2, 5, 18, 6).view()));   // one row
  EXPECT_FALSE(feature_crop(rgb, rect(20, 20, 4, 0, 5, 20).view()));   // one column
  EXPECT_FALSE(feature_crop(rgb, Mask(20, 20).view()));                // empty
  EXPECT_THROW(feature_crop(rgb, Mask(20, 21).view()), ValueError);
  EXPECT_THROW(feature_crop(cv::Mat(20, 20, CV_8UC4), diag10.view()), ValueError);
}

TEST(ImageFeatures, OneImageThenOneEncodingPerUsableMask) {
  const cv::Mat rgb(20, 30, CV_8UC3, cv::Scalar(90, 40, 10));
  const Mask a = rect(20, 30, 2, 2, 10, 8), empty(20, 30), b = rect(20, 30, 12, 5, 30, 20);
  Predictor p;
  const auto f = image_features(p, rgb, {a.view(), empty.view(), b.view()});
  ASSERT_EQ(f.size(), 3u);
  EXPECT_TRUE(f[0] && !f[1] && f[2]);
  EXPECT_EQ(p.log, (std::vector<std::string>{"set_image 30", "encode (1, 1, 5, 7)", "encode (1, 1, 14, 17)"}));

  Predictor q;
  EXPECT_THROW(image_features(q, rgb, {a.view(), Mask(20, 29).view()}), ValueError);
  EXPECT_TRUE(q.log.empty());  // refused before the predictor is called
}
