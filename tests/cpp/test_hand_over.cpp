#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "segment/last_frame.hpp"
#include "segment/matcher.hpp"

using namespace mirelo;

namespace {

constexpr int64_t kH = 40, kW = 60;

// A rectangle mask [x0, x1) x [y0, y1).
RunMask rect(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  RunMaskBuilder b(kH, kW);
  for (int64_t y = y0; y < y1; ++y) b.add(y, x0, x1);
  return b.finish();
}

// `n` separate 3 x 4 masks, the first `small` of them one pixel wide instead.
std::vector<RunMask> animals(int n, int small = 0) {
  std::vector<RunMask> out;
  for (int k = 0; k < n; ++k) out.push_back(rect(5 * k, 1, 5 * k + (k < small ? 1 : 4), 4));
  return out;
}

class Records : public FrameRecords {
 public:
  std::vector<int64_t> keys;
  std::map<int64_t, std::vector<RunMask>> frames;
  std::vector<int64_t> read;
  int64_t size() override { return static_cast<int64_t>(keys.size()); }
  std::vector<RunMask> masks(int64_t pos) override {
    read.push_back(keys.at(pos));
    return frames.at(keys.at(pos));
  }
  std::string key_text(int64_t pos) override { return std::to_string(keys.at(pos)); }
  bool is_regular_last(int64_t pos) override { return keys.at(pos) == 599; }
};

struct Printed {
  std::string text;
  Printed() {
    set_message_sink([this](std::string_view s) { text += s; });
  }
  ~Printed() { set_message_sink({}); }
};

LastFrameOptions options(int64_t n_track = 10, int64_t max_attempts = 10) {
  LastFrameOptions o;
  o.n_track = n_track;
  o.max_attempts = HostNumber::integer(max_attempts);
  return o;
}

}  // namespace

TEST(LastFrame, UsableFrameTestHasStrictBounds) {
  const HostNumber ten = HostNumber::integer(10);
  EXPECT_TRUE(frame_usable(animals(10), ten, 10));  // 12 pixels each
  EXPECT_FALSE(frame_usable(animals(9), ten, 10));
  EXPECT_TRUE(frame_usable(animals(9), ten, 9));
  EXPECT_FALSE(frame_usable(animals(10), HostNumber::integer(12), 10));  // area == min_area fails
  EXPECT_TRUE(frame_usable({}, ten, 0));
  // Half of a mask covered by another: 50 % fails, just under passes.
  EXPECT_FALSE(frame_usable({rect(0, 0, 4, 5), rect(2, 0, 6, 5)}, ten, 2));
  EXPECT_TRUE(frame_usable({rect(0, 0, 10, 10), rect(6, 0, 16, 10)}, ten, 2));  // 40 % each way
  EXPECT_THROW(frame_usable({rect(0, 0, 4, 5), RunMask(kH + 1, kW)}, ten, 2), std::invalid_argument);
}

TEST(LastFrame, ScansBackAndSaysWhenItSwitches) {
  Records r;
  for (int64_t k = 590; k <= 599; ++k) {
    r.keys.push_back(k);
    r.frames[k] = animals(10, k >= 598 ? 1 : 0);
  }
  {
    Printed p;
    const auto best = find_best_last_frame(r, options());
    ASSERT_TRUE(best);
    EXPECT_EQ(r.keys[best->position], 597);
    EXPECT_EQ(best->masks.size(), 10u);
    EXPECT_EQ(p.text, "Switched to frame key 597 due to small mask area in later frames.\n");
  }
  r.frames[599] = animals(10);
  Printed p;
  EXPECT_EQ(r.keys[find_best_last_frame(r, options())->position], 599);
  EXPECT_EQ(p.text, "");
}

TEST(LastFrame, GivesUpAfterMaxAttemptsOrFailsPastTheFirstFrame) {
  Records r;
  for (int64_t k = 0; k < 3; ++k) {
    r.keys.push_back(k);
    r.frames[k] = animals(9);
  }
  {
    Printed p;
    EXPECT_FALSE(find_best_last_frame(r, options(10, 2)));
    EXPECT_EQ(r.read, (std::vector<int64_t>{2, 1}));
    EXPECT_EQ(p.text, "No valid frame found with all masks area > 10 in the last 2 frames for 10 tracks.\n");
  }
  {
    Printed p;
    EXPECT_FALSE(find_best_last_frame(r, options(10, 0)));
    EXPECT_EQ(p.text, "No valid frame found with all masks area > 10 in the last 0 frames for 10 tracks.\n");
  }
  EXPECT_THROW(find_best_last_frame(r, options(10, 4)), IndexError);
  Records empty;
  EXPECT_THROW(find_best_last_frame(empty, options()), IndexError);
}

namespace {

// Answers every box with a float mask filling it (inclusive corners), in the
// shape the test asks for.
class BoxPredictor : public ImagePredictor {
 public:
  enum class Form { Four, Three, Two, Extra };
  Form form = Form::Four;
  int set_images = 0;
  NDArray last_boxes;
  void set_image(const cv::Mat& rgb) override {
    EXPECT_EQ(rgb.type(), CV_8UC3);
    ++set_images;
  }
  Prediction predict(const NDArray& boxes) override {
    last_boxes = boxes;
    const int64_t k = boxes.shape[0] + (form == Form::Extra ? 1 : 0);
    Prediction p;
    p.masks = NDArray(DType::Float32, {k, 1, kH, kW});
    auto* f = reinterpret_cast<float*>(p.masks.bytes.data());
    for (int64_t i = 0; i < boxes.shape[0]; ++i)
      for (int64_t y = static_cast<int64_t>(boxes.get(i * 4 + 1)); y <= boxes.get(i * 4 + 3); ++y)
        for (int64_t x = static_cast<int64_t>(boxes.get(i * 4)); x <= boxes.get(i * 4 + 2); ++x)
          f[(i * kH + y) * kW + x] = 1.0f;
    if (form == Form::Three) p.masks.shape = {k, kH, kW};
    if (form == Form::Two) p.masks.shape = {kH, kW};
    return p;
  }
  ModelValuePtr encode(NDArray) override { return {}; }
  std::vector<double> feature_values(const ModelValuePtr&) override { return {}; }
};

MatcherOptions matcher_options(int64_t n_track) {
  MatcherOptions o;
  o.last.n_track = n_track;
  o.frame_text = "3";
  return o;
}

}  // namespace

TEST(Matcher, PromptsWithTightBoxesAndAcceptsInEveryMaskForm) {
  for (auto form : {BoxPredictor::Form::Four, BoxPredictor::Form::Three}) {
    Records r;
    r.keys = {599};
    r.frames[599] = animals(10);
    BoxPredictor pred;
    pred.form = form;
    int displayed = 0;
    Printed p;
    const MatcherResult res = match_next_clip(
        r, [] { return cv::Mat(kH, kW, CV_8UC3); }, pred, matcher_options(10), [&](const LastFrame&) { ++displayed; });
    EXPECT_TRUE(res.accepted);
    EXPECT_EQ(res.mask_shape, (std::vector<int64_t>{10, kH, kW}));
    EXPECT_EQ(displayed, 1);
    EXPECT_EQ(pred.set_images, 1);
    ASSERT_EQ(pred.last_boxes.shape, (std::vector<int64_t>{10, 4}));
    EXPECT_EQ(pred.last_boxes.dtype, DType::Int64);
    EXPECT_EQ(pred.last_boxes.get(4 * 2 + 0), 10);  // x_min of the third mask
    EXPECT_EQ(pred.last_boxes.get(4 * 2 + 2), 13);  // x_max, inclusive
    EXPECT_EQ(pred.last_boxes.get(4 * 2 + 3), 3);   // y_max, inclusive
    EXPECT_EQ(p.text, "ann_frame_idx [3] works for mask finding!!!\n");
  }
}

TEST(Matcher, OneBoxAnsweredWithATwoDimensionalMask) {
  Records r;
  r.keys = {599};
  r.frames[599] = {rect(2, 2, 9, 9)};
  BoxPredictor pred;
  pred.form = BoxPredictor::Form::Two;
  Printed p;
  const MatcherResult res = match_next_clip(r, [] { return cv::Mat(kH, kW, CV_8UC3); }, pred, matcher_options(1), {});
  EXPECT_TRUE(res.accepted);
  EXPECT_EQ(res.mask_shape, (std::vector<int64_t>{1, kH, kW}));
}

TEST(Matcher, RejectsAWrongCountAndDisplaysBeforeTheMessage) {
  Records r;
  r.keys = {599};
  r.frames[599] = animals(10);
  BoxPredictor pred;
  pred.form = BoxPredictor::Form::Extra;
  Printed p;
  const MatcherResult res = match_next_clip(
      r, [] { return cv::Mat(kH, kW, CV_8UC3); }, pred, matcher_options(10), [&](const LastFrame&) { p.text += "<shown>"; });
  EXPECT_FALSE(res.accepted);
  ASSERT_TRUE(res.best_position);
  EXPECT_EQ(p.text, "<shown>ann_frame_idx [3] cannot work..\n\n");
}

TEST(Matcher, NoUsableLastFrameNeverOpensTheNewFrame) {
  Records r;
  r.keys = {599};
  r.frames[599] = animals(9);
  BoxPredictor pred;
  bool opened = false, displayed = false;
  MatcherOptions o = matcher_options(10);
  o.last.max_attempts = HostNumber::integer(1);
  Printed p;
  const MatcherResult res = match_next_clip(
      r,
      [&] {
        opened = true;
        return cv::Mat(kH, kW, CV_8UC3);
      },
      pred, o, [&](const LastFrame&) { displayed = true; });
  EXPECT_FALSE(res.accepted);
  EXPECT_FALSE(res.best_position);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(displayed);
  EXPECT_EQ(p.text,
            "No valid frame found with all masks area > 10 in the last 1 frames for 10 tracks.\n"
            "Issue is from the laste frame, not enough masks found.\n");
}

TEST(Matcher, ShapeNormalisationAndEmptyBoxes) {
  EXPECT_EQ(normalised_mask_shape({4, 5}), (std::vector<int64_t>{1, 4, 5}));
  EXPECT_EQ(normalised_mask_shape({2, 1, 4, 5}), (std::vector<int64_t>{2, 4, 5}));
  EXPECT_THROW(normalised_mask_shape({2, 2, 4, 5}), std::invalid_argument);
  EXPECT_THROW(normalised_mask_shape({5}), std::invalid_argument);
  EXPECT_THROW(tight_boxes({RunMask(kH, kW)}), std::invalid_argument);
}
