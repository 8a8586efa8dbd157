#include "qc/overlap_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "measures/similarity.hpp"
#include "segment/features.hpp"

namespace mirelo {
namespace {

constexpr int64_t kWindow = 5;

std::string frame_text(const std::optional<int64_t>& f) { return f ? std::to_string(*f) : "nan"; }

// The parts of a text split at every "-", empty parts included.
std::vector<std::string> split_pair(const std::string& pair) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dash = pair.find('-', start);
    parts.push_back(pair.substr(start, dash == std::string::npos ? std::string::npos : dash - start));
    if (dash == std::string::npos) return parts;
    start = dash + 1;
  }
}

// Intersection over union of two masks' tight boxes as the overlap
// analysis scores them: the inclusive pixel corners taken as the box's edges
// (a box is x_max - x_min wide, one pixel short of its pixels; an empty mask
// is the box [0, 0, 0, 0]) and 1e-6 added to the union, so that two empty
// boxes give 0.
double tight_box_iou_plus_epsilon(const PixelBox& a, const PixelBox& b) {
  auto corners = [](const PixelBox& p) {
    return p.empty ? std::array<int64_t, 4>{0, 0, 0, 0} : std::array<int64_t, 4>{p.x_min, p.y_min, p.x_max, p.y_max};
  };
  const auto A = corners(a), B = corners(b);
  const int64_t xa = std::max(A[0], B[0]), ya = std::max(A[1], B[1]);
  const int64_t xb = std::min(A[2], B[2]), yb = std::min(A[3], B[3]);
  const int64_t inter = std::max<int64_t>(0, xb - xa) * std::max<int64_t>(0, yb - ya);
  const int64_t area_a = (A[2] - A[0]) * (A[3] - A[1]), area_b = (B[2] - B[0]) * (B[3] - B[1]);
  return static_cast<double>(inter) / (static_cast<double>(area_a + area_b - inter) + 1e-6);
}

// Position of the largest value, the first one on ties; a NaN counts as the
// largest (the array library's argmax).
size_t argmax(const std::vector<double>& v) {
  size_t best = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (std::isnan(v[i])) return i;
    if (v[i] > v[best]) best = i;
  }
  return best;
}

std::vector<FeatureVector> feature_vectors(ImagePredictor& predictor, const ClipFrame& frame) {
  std::vector<FeatureVector> out;
  for (const ModelValuePtr& f : image_features(predictor, frame.rgb, frame.masks)) {
    if (f)
      out.emplace_back(predictor.feature_values(f));
    else
      out.emplace_back(std::nullopt);
  }
  return out;
}

// Mismatch of every test box between frames m (old) and n (new): 1 - cosine
// of its appearance vectors + 1 - its mask IoU + 1 - its box IoU.
std::vector<double> mismatch_scores(ImagePredictor& predictor, const ClipFrame& old_frame, const ClipFrame& new_frame) {
  const size_t k = old_frame.masks.size();
  std::vector<double> ious_shape(k), ious_bbox(k);
  for (size_t i = 0; i < k; ++i) {
    const MaskView &a = old_frame.masks[i], &b = new_frame.masks[i];
    const MaskStats sa = mask_stats(a), sb = mask_stats(b);
    const int64_t inter = count_intersection(a, sa.box, b, sb.box);
    ious_shape[i] = static_cast<double>(inter) / (static_cast<double>(sa.area + sb.area - inter) + 1e-6);
    ious_bbox[i] = tight_box_iou_plus_epsilon(sa.box, sb.box);
  }
  const std::vector<FeatureVector> feats_old = feature_vectors(predictor, old_frame);
  const std::vector<FeatureVector> feats_new = feature_vectors(predictor, new_frame);
  const std::vector<double> cosine = cosine_scores(feats_new, feats_old);
  constexpr double w1 = 1.0, w2 = 1.0, w3 = 1.0;
  std::vector<double> scores(k);
  for (size_t i = 0; i < k; ++i)
    scores[i] = w1 * (1 - cosine[i * k + i]) + w2 * (1 - ious_shape[i]) + w3 * (1 - ious_bbox[i]);
  return scores;
}

// The shortest episode: `n_consecutive` frames for one pair, two more when
// the table holds several pairs.
int64_t episode_length(const OverlapTable& table, int64_t n_consecutive) {
  std::set<int64_t> distinct;
  for (int64_t c : table.pair_codes)
    if (c >= 0) distinct.insert(c);
  return distinct.size() > 1 && n_consecutive <= std::numeric_limits<int64_t>::max() - 2 ? n_consecutive + 2
                                                                                          : n_consecutive;
}

// The runs of at least `min_run` frames of each pair that has any, pairs
// ascending; prints the pairs.
std::vector<std::pair<std::string, std::vector<FrameRun>>> overlap_episodes(const OverlapTable& table,
                                                                             int64_t min_run) {
  const std::vector<std::vector<FrameRun>> runs =
      continuous_runs(table.pair_codes, table.frame_ids, static_cast<int64_t>(table.pairs.size()), min_run);
  std::vector<std::pair<std::string, std::vector<FrameRun>>> episodes;
  std::string line = "Box pairs with overlap episodes:";
  for (size_t g = 0; g < runs.size(); ++g) {
    if (runs[g].empty()) continue;
    episodes.emplace_back(table.pairs[g], runs[g]);
    line += (episodes.size() == 1 ? " " : ", ") + table.pairs[g];
  }
  if (episodes.empty()) line += " none";
  print_line(line);
  return episodes;
}

// Where the compared window lies: five frame pairs leading into the test
// frame, or out of it (compared backwards) when reverse_track is set.
struct WindowAnchor {
  int64_t test_frame = 0;
  bool reverse_track = false;
};

// The test frame is the earliest frame, over all pairs' episodes, at which
// either exactly one pair or more than one pair overlaps (counting the rows
// of each frame over the whole table). An episode that starts with the clip
// has no frames before it, so for such a pair the window goes after its
// episodes and their last such frames count instead. That direction,
// reverse_track, is one for all pairs, and the last pair (in ascending
// order) decides it: each pair sets it in turn, and the earlier pairs'
// frames stay as they were chosen. Prints four lines per pair.
WindowAnchor window_anchor(const OverlapTable& table,
                           const std::vector<std::pair<std::string, std::vector<FrameRun>>>& episodes,
                           int64_t min_run) {
  std::unordered_map<int64_t, int64_t> rows_per_frame;
  for (int64_t f : table.frame_ids) ++rows_per_frame[f];

  WindowAnchor anchor;
  std::optional<int64_t> test_frame;
  std::vector<std::optional<int64_t>> singles, multiples;
  for (const auto& [pair, pair_runs] : episodes) {
    std::set<int64_t> frames;
    for (const FrameRun& r : pair_runs) frames.insert(r.begin(), r.end());
    std::optional<int64_t> first_single, first_multiple, last_single, last_multiple;
    for (int64_t f : frames) {
      const int64_t count = rows_per_frame[f];
      auto& first = count == 1 ? first_single : first_multiple;
      auto& last = count == 1 ? last_single : last_multiple;
      if (!first) first = f;
      last = f;
    }
    anchor.reverse_track = first_single == 0 || first_multiple == 0;
    const std::optional<int64_t> single = anchor.reverse_track ? last_single : first_single;
    const std::optional<int64_t> multiple = anchor.reverse_track ? last_multiple : first_multiple;
    print_line("Box Pair: " + pair);
    print_line("First frame with a single boxpair: " + frame_text(single));
    print_line("First frame with multiple boxpairs: " + frame_text(multiple));
    print_line(std::string("reverse_track: ") + (anchor.reverse_track ? "True" : "False"));
    singles.push_back(single);
    multiples.push_back(multiple);
  }
  for (const auto* list : {&singles, &multiples})
    for (const auto& f : *list)
      if (f && (!test_frame || *f < *test_frame)) test_frame = f;
  if (!test_frame)
    throw ValueError("no overlap episode to analyse: no box pair overlaps in " + std::to_string(min_run) +
                     " or more consecutive frames");
  anchor.test_frame = *test_frame;
  return anchor;
}

// Every mask key named in the pairs ("Box0-Box1" names Box0 and Box1),
// sorted as text.
std::vector<std::string> boxes_of_pairs(const std::vector<std::pair<std::string, std::vector<FrameRun>>>& episodes) {
  std::set<std::string> unique_boxes;
  for (const auto& entry : episodes)
    for (std::string& part : split_pair(entry.first)) unique_boxes.insert(std::move(part));
  return std::vector<std::string>(unique_boxes.begin(), unique_boxes.end());
}

// The worst-matching box of each frame pair of the window that lies inside
// the clip, in window order. Each frame is loaded once: a pair's new frame
// is the next pair's old one.
std::vector<std::string> worst_boxes_in_window(OverlapClip& clip, ImagePredictor& predictor,
                                               const std::vector<std::string>& test_boxes,
                                               const WindowAnchor& anchor) {
  // 128-bit frame arithmetic: a frame number near the ends of int64 only
  // makes its window fall outside the clip.
  const int64_t frame_count = clip.size();
  const __int128 t = anchor.test_frame;
  const bool reverse_track = anchor.reverse_track;
  const __int128 first_m = reverse_track ? t : t - kWindow;
  std::vector<std::string> worst;
  std::vector<std::pair<int64_t, ClipFrame>> cache;
  auto frame = [&](int64_t index, std::vector<std::pair<int64_t, ClipFrame>>& next) -> const ClipFrame& {
    auto hit = std::find_if(cache.begin(), cache.end(), [&](const auto& e) { return e.first == index; });
    next.emplace_back(index, hit != cache.end() ? hit->second : clip.load(index, test_boxes));
    return next.back().second;
  };
  for (__int128 m = first_m; m < first_m + kWindow; ++m) {
    const __int128 n = reverse_track ? m - 1 : m + 1;
    if (n < 0 || n >= frame_count || m < 0 || m >= frame_count) continue;
    std::vector<std::pair<int64_t, ClipFrame>> next;
    next.reserve(2);
    const ClipFrame& old_frame = frame(static_cast<int64_t>(m), next);
    const ClipFrame& new_frame = frame(static_cast<int64_t>(n), next);
    const std::vector<double> scores = mismatch_scores(predictor, old_frame, new_frame);
    worst.push_back(test_boxes[argmax(scores)]);
    cache = std::move(next);
    check_interrupt();
  }
  cache.clear();
  if (worst.empty())
    throw ValueError("no frame pair to compare: every frame of the window next to test frame " +
                     std::to_string(anchor.test_frame) + " lies outside the clip's " + std::to_string(frame_count) +
                     " frames");
  return worst;
}

// The most frequent box; on a tie, the one that was worst first.
std::string most_frequent(const std::vector<std::string>& worst_boxes) {
  std::map<std::string, int64_t> counts;
  for (const std::string& b : worst_boxes) ++counts[b];
  int64_t best = 0;
  std::string out;
  for (const std::string& b : worst_boxes) {
    if (counts[b] > best) {
      best = counts[b];
      out = b;
    }
  }
  return out;
}

}  // namespace

std::vector<std::vector<FrameRun>> continuous_runs(const std::vector<int64_t>& codes,
                                                   const std::vector<int64_t>& frame_ids, int64_t groups,
                                                   int64_t n_consecutive) {
  if (codes.size() != frame_ids.size())
    throw ValueError(expected_got(std::to_string(codes.size()) + " frame numbers", std::to_string(frame_ids.size())));
  if (groups < 0) throw ValueError(expected_got("a group count of at least 0", std::to_string(groups)));
  std::vector<std::vector<int64_t>> frames(static_cast<size_t>(groups));
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] < 0) continue;
    if (codes[i] >= groups)
      throw ValueError(expected_got("group codes below " + std::to_string(groups), std::to_string(codes[i])));
    frames[static_cast<size_t>(codes[i])].push_back(frame_ids[i]);
  }
  std::vector<std::vector<FrameRun>> out(frames.size());
  for (size_t g = 0; g < frames.size(); ++g) {
    std::vector<int64_t>& f = frames[g];
    std::sort(f.begin(), f.end());
    size_t start = 0;
    for (size_t p = 1; p <= f.size(); ++p) {
      const bool continues = p < f.size() && f[p - 1] != std::numeric_limits<int64_t>::max() && f[p] == f[p - 1] + 1;
      if (continues) continue;
      if (static_cast<int64_t>(p - start) >= n_consecutive) out[g].emplace_back(f.begin() + start, f.begin() + p);
      start = p;
    }
    check_interrupt();
  }
  return out;
}

OverlapAnalysis analyse_overlap_frames(const OverlapTable& table, OverlapClip& clip, ImagePredictor& predictor,
                                       int64_t n_consecutive) {
  OverlapAnalysis result;
  const int64_t min_run = episode_length(table, n_consecutive);
  result.con_frames = overlap_episodes(table, min_run);
  const WindowAnchor anchor = window_anchor(table, result.con_frames, min_run);
  result.test_frame = anchor.test_frame;
  result.worst_boxes = worst_boxes_in_window(clip, predictor, boxes_of_pairs(result.con_frames), anchor);
  result.most_frequent_box = most_frequent(result.worst_boxes);
  print_line("Most frequent box with errors: " + result.most_frequent_box);
  return result;
}

}  // namespace mirelo
