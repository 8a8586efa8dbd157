#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "qc/overlap_analysis.hpp"

using namespace mirelo;

namespace {

using Runs = std::vector<FrameRun>;

// Frames of a clip in which "A" stays put and "B" jumps between two places
// at the transitions listed in `b_moves` (frame f -> f + 1).
class Clip : public OverlapClip {
 public:
  Clip(int64_t frames, std::vector<int64_t> b_moves) : frames_(frames), moves_(std::move(b_moves)) {}
  int64_t size() override { return frames_; }
  ClipFrame load(int64_t index, const std::vector<std::string>& keys) override {
    loads.push_back(index);
    auto masks = std::make_shared<std::vector<Mask>>();
    int64_t place = 0;
    for (int64_t f : moves_) place += f < index;
    ClipFrame out;
    for (const std::string& k : keys) {
      Mask m(30, 40);
      const int64_t x0 = k == "A" ? 2 : (place % 2 ? 25 : 14);
      for (int64_t y = 10; y < 20; ++y)
        for (int64_t x = x0; x < x0 + 10; ++x) m.row(y)[x] = 1;
      masks->push_back(std::move(m));
      out.masks.push_back(masks->back().view());
    }
    out.rgb = cv::Mat(30, 40, CV_8UC3, cv::Scalar(100, 100, 100));
    out.owner = masks;
    return out;
  }
  std::vector<int64_t> loads;

 private:
  int64_t frames_;
  std::vector<int64_t> moves_;
};

// Every usable mask gets the same vector: appearance never decides.
class Predictor : public ImagePredictor {
 public:
  struct Value : ModelValue {};
  void set_image(const cv::Mat&) override { ++images; }
  Prediction predict(const NDArray&) override { return {}; }
  ModelValuePtr encode(NDArray) override { return std::make_shared<Value>(); }
  std::vector<double> feature_values(const ModelValuePtr&) override { return {1.0, 2.0}; }
  int images = 0;
};

// The printed lines, without their line breaks.
struct Printed {
  Printed() {
    set_message_sink([this](std::string_view s) { lines.emplace_back(s.substr(0, s.size() - 1)); });
  }
  ~Printed() { set_message_sink({}); }
  std::vector<std::string> lines;
};

OverlapTable table(const std::vector<std::pair<int64_t, std::string>>& rows) {
  OverlapTable t;
  std::map<std::string, int64_t> codes;
  for (const auto& r : rows) codes[r.second] = 0;
  for (auto& [pair, code] : codes) {
    code = static_cast<int64_t>(t.pairs.size());
    t.pairs.push_back(pair);
  }
  for (const auto& [frame, pair] : rows) {
    t.frame_ids.push_back(frame);
    t.pair_codes.push_back(codes[pair]);
  }
  return t;
}

}  // namespace

TEST(ContinuousRuns, SplitSortAndLength) {
  const std::vector<int64_t> codes = {0, 0, 0, 0, 0, 1, 1, 1, -1};
  const std::vector<int64_t> frames = {8, 3, 5, 4, 7, 6, 5, 5, 9};
  EXPECT_EQ(continuous_runs(codes, frames, 2, 3), (std::vector<Runs>{{{3, 4, 5}}, {}}));
  EXPECT_EQ(continuous_runs(codes, frames, 2, 2), (std::vector<Runs>{{{3, 4, 5}, {7, 8}}, {{5, 6}}}));
  EXPECT_EQ(continuous_runs(codes, frames, 2, 1), (std::vector<Runs>{{{3, 4, 5}, {7, 8}}, {{5}, {5, 6}}}));
  const int64_t top = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(continuous_runs({0, 0, 0}, {top, top - 1, std::numeric_limits<int64_t>::min()}, 1, 1),
            (std::vector<Runs>{{{std::numeric_limits<int64_t>::min()}, {top - 1, top}}}));
  EXPECT_THROW(continuous_runs({0, 2}, {1, 2}, 2, 1), ValueError);
  EXPECT_THROW(continuous_runs({0}, {1, 2}, 1, 1), ValueError);
}

TEST(OverlapAnalysis, WindowBeforeTheEpisodeEachFrameLoadedOnce) {
  Printed out;
  Clip clip(20, {7, 8});  // B moves 7 -> 8 and 8 -> 9
  Predictor p;
  const OverlapAnalysis r = analyse_overlap_frames(table({{10, "A-B"}, {11, "A-B"}}), clip, p, 2);
  EXPECT_EQ(r.test_frame, 10);
  EXPECT_EQ(r.worst_boxes, (std::vector<std::string>{"A", "A", "B", "B", "A"}));
  EXPECT_EQ(r.most_frequent_box, "A");  // a tie: A was worst first
  EXPECT_EQ(clip.loads, (std::vector<int64_t>{5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(p.images, 10);
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "Box pairs with overlap episodes: A-B", "Box Pair: A-B",
                           "First frame with a single boxpair: 10", "First frame with multiple boxpairs: nan",
                           "reverse_track: False", "Most frequent box with errors: A"}));
}

TEST(OverlapAnalysis, EpisodeFromTheFirstFrameLooksAfterIt) {
  Printed out;
  Clip clip(20, {4});
  Predictor p;
  const OverlapAnalysis r = analyse_overlap_frames(table({{0, "A-B"}, {1, "A-B"}, {2, "A-B"}}), clip, p, 2);
  EXPECT_EQ(r.test_frame, 2);
  // Pairs (2, 1), (3, 2), (4, 3), (5, 4), (6, 5): B moves between 4 and 5.
  EXPECT_EQ(r.worst_boxes, (std::vector<std::string>{"A", "A", "A", "B", "A"}));
  EXPECT_EQ(out.lines[4], "reverse_track: True");
  EXPECT_EQ(clip.loads, (std::vector<int64_t>{2, 1, 3, 4, 5, 6}));
}

// The window's direction is one for all pairs, and the last pair (in
// ascending order) sets it; each pair's frames are chosen in its own
// direction. The test frame 3 is A-B's episode end in the first case (the
// window then runs forward from it: frames -2 and -1 fall outside) and C-D's
// in the second (backward: five frame pairs).
TEST(OverlapAnalysis, LastPairDecidesTheDirection) {
  struct Case {
    std::vector<std::pair<int64_t, std::string>> rows;
    std::vector<std::string> reverse_lines;
    std::vector<int64_t> loads;
  };
  const std::vector<std::pair<int64_t, std::string>> early = {{0, "A-B"}, {1, "A-B"}, {2, "A-B"}, {3, "A-B"}};
  const std::vector<std::pair<int64_t, std::string>> late = {{10, "C-D"}, {11, "C-D"}, {12, "C-D"}, {13, "C-D"}};
  std::vector<std::pair<int64_t, std::string>> first = early, second;
  first.insert(first.end(), late.begin(), late.end());
  for (const auto& [f, pair] : early) second.emplace_back(f, "C-D");
  for (const auto& [f, pair] : late) second.emplace_back(f, "A-B");
  const std::vector<Case> cases = {
      {first, {"reverse_track: True", "reverse_track: False"}, {0, 1, 2, 3}},
      {second, {"reverse_track: False", "reverse_track: True"}, {3, 2, 4, 5, 6, 7}},
  };
  for (const Case& c : cases) {
    Printed out;
    Clip clip(20, {});
    Predictor p;
    const OverlapAnalysis r = analyse_overlap_frames(table(c.rows), clip, p, 2);
    EXPECT_EQ(r.test_frame, 3);
    EXPECT_EQ(out.lines[4], c.reverse_lines[0]);
    EXPECT_EQ(out.lines[8], c.reverse_lines[1]);
    EXPECT_EQ(clip.loads, c.loads);
  }
}

TEST(OverlapAnalysis, FailuresSayWhy) {
  Printed out;
  Predictor p;
  Clip clip(3, {});
  EXPECT_THROW(analyse_overlap_frames(table({}), clip, p, 2), ValueError);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"Box pairs with overlap episodes: none"}));
  try {
    analyse_overlap_frames(table({{10, "A-B"}, {11, "A-B"}}), clip, p, 2);  // window 5..9 beyond 3 frames
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("outside the clip's 3 frames"), std::string::npos);
  }
  EXPECT_TRUE(clip.loads.empty());
}
