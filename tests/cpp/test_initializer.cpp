#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/platform.hpp"
#include "common/errors.hpp"
#include "segment/initializer.hpp"

using namespace mirelo;

namespace {

constexpr int kH = 60, kW = 80;
using Row = std::array<float, 5>;  // x0, y0, x1, y1, score

class Frames : public FrameSource {
 public:
  explicit Frames(int64_t n) : n_(n) {}
  int64_t size() const override { return n_; }
  cv::Mat open(int64_t index) override {
    opened.push_back(index);
    return cv::Mat(kH, kW, CV_8UC3, cv::Scalar(10, 20, 30));
  }
  cv::Mat rgba() override { return cv::Mat(kH, kW, CV_8UC4, cv::Scalar(10, 20, 30, 255)); }
  std::vector<int64_t> opened;

 private:
  int64_t n_;
};

class Detector : public DetectorProcessor, public DetectorModel {
 public:
  explicit Detector(Frames& frames, std::map<int64_t, std::vector<Row>> rows) : frames_(frames), rows_(std::move(rows)) {}
  ModelValuePtr prepare(const cv::Mat&, const std::string& text) override {
    EXPECT_EQ(text, "pig.");
    return std::make_shared<ModelValue>();
  }
  ModelValuePtr run(const ModelValuePtr&) override { return std::make_shared<ModelValue>(); }
  Detections post_process(const ModelValuePtr&, const ModelValuePtr&, double, int h, int w) override {
    EXPECT_EQ(h, kH);
    EXPECT_EQ(w, kW);
    const auto& rows = rows_[frames_.opened.back()];
    const auto n = static_cast<int64_t>(rows.size());
    Detections d{NDArray(DType::Float32, {n}), std::vector<std::string>(rows.size(), "pig"),
                 NDArray(DType::Float32, {n, 4})};
    for (int64_t i = 0; i < n; ++i) {
      std::memcpy(d.boxes.bytes.data() + i * 16, rows[i].data(), 16);
      std::memcpy(d.scores.bytes.data() + i * 4, &rows[i][4], 4);
    }
    return d;
  }

 private:
  Frames& frames_;
  std::map<int64_t, std::vector<Row>> rows_;
};

// Masks of one-byte elements through the default predict_masks (a copy out
// of predict()).
class Predictor : public ImagePredictor {
 public:
  void set_image(const cv::Mat& rgb) override { calls.push_back(rgb.rows); }
  Prediction predict(const NDArray& boxes) override {
    const int64_t k = boxes.shape[0];
    Prediction p;
    p.masks = NDArray(DType::UInt8, {k, 1, kH, kW});
    for (int64_t i = 0; i < k; ++i)
      for (int y = static_cast<int>(boxes.get(i * 4 + 1)); y < static_cast<int>(boxes.get(i * 4 + 3)); ++y)
        for (int x = static_cast<int>(boxes.get(i * 4)); x < static_cast<int>(boxes.get(i * 4 + 2)); ++x)
          p.masks.bytes[static_cast<size_t>((i * kH + y) * kW + x)] = 7;
    return p;
  }
  ModelValuePtr encode(NDArray) override { return nullptr; }
  std::vector<double> feature_values(const ModelValuePtr&) override { return {}; }
  std::vector<int> calls;
};

std::string pen_file() {
  const auto path = std::filesystem::temp_directory_path() / ("mirelo_init_pen_" + std::to_string(platform::process_id()) + ".json");
  std::ofstream(path) << R"({"shapes": [{"points": [[0, 0], [80, 0], [80, 60], [0, 60]]}]})";
  return path.string();
}

}  // namespace

TEST(Initializer, SkipsRejectsAndAcceptsWithRenumberedMasks) {
  const std::string pen = pen_file();
  Frames frames(12);
  const Row a{5, 5, 15, 15, 0.9f}, b{20, 5, 30, 15, 0.8f}, dup{22, 5, 31, 15, 0.7f}, c{40, 5, 50, 15, 0.6f};
  Detector det(frames, {{3, {{200, 200, 210, 210, 0.9f}}}, {6, {a, b}}, {9, {c, dup, b, a}}});
  Predictor pred;
  InitializerOptions opt;
  opt.start_index = 3;
  opt.step = 3;
  opt.close_set_num = 3;
  const InitializerResult r = initializer(frames, "clip", pen, "root", det, det, pred, opt, nullptr);
  EXPECT_EQ(frames.opened, (std::vector<int64_t>{3, 6, 9}));
  EXPECT_EQ(pred.calls.size(), 2u);  // frame 3's only box lies outside the pen
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.frame_index, 9);
  EXPECT_EQ(r.label_index, (std::vector<int64_t>{3, 2, 0}));  // reading order a, b, c; dup removed
  ASSERT_EQ(r.masks.shape, (std::vector<int64_t>{3, kH, kW}));
  EXPECT_EQ(r.masks.dtype, DType::UInt8);
  EXPECT_EQ(r.masks.bytes[static_cast<size_t>(2 * kH * kW + 5 * kW + 40)], 7);  // c is "Box2"
  EXPECT_EQ(r.annotated.type(), CV_8UC4);
  std::filesystem::remove(pen);
}

TEST(Initializer, RejectsBadSettingsAndMissingPenFile) {
  Frames frames(1);
  Detector det(frames, {{0, {{5, 5, 15, 15, 0.9f}}}});
  Predictor pred;
  InitializerOptions opt;
  opt.step = 0;
  EXPECT_THROW(initializer(frames, "clip", std::nullopt, "root", det, det, pred, opt, nullptr), ValueError);
  opt.step = 1;
  EXPECT_THROW(initializer(frames, R"(x\Camera99_1\y)", std::nullopt, "root", det, det, pred, opt, nullptr),
               TypeError);
}
