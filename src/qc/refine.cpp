#include "qc/refine.hpp"

#include <algorithm>
#include <climits>
#include <utility>
#include <cmath>
#include <limits>
#include <cstring>
#include <numbers>
#include <numeric>
#include <tuple>
#include <type_traits>


#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/runtime.hpp"

namespace mirelo {
namespace {

constexpr int64_t kLargeMainArea = 1000;  // pixels: from here on the tighter distance ratio applies
constexpr size_t kMainCandidates = 5;     // the main piece is one of the five largest

// Sum of the integers a .. b - 1.
int64_t range_sum(int64_t a, int64_t b) { return (a + b - 1) * (b - a) / 2; }

cv::Rect local_rect(const PixelBox& box, int64_t x0, int64_t y0) {
  return cv::Rect(static_cast<int>(box.x_min - x0), static_cast<int>(box.y_min - y0),
                  static_cast<int>(box.x_max - box.x_min + 1), static_cast<int>(box.y_max - box.y_min + 1));
}

}  // namespace

double centroid_distance(const Centroid& a, const Centroid& b) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

namespace {

// Calls fn(k, y, run) for every run of the mask, numbered k = 0, 1, ... in
// row order.
template <typename F>
void for_each_run(const RunMask& mask, F&& fn) {
  if (mask.box().empty) return;
  size_t k = 0;
  for (int64_t y = mask.box().y_min; y <= mask.box().y_max; ++y)
    for (const Run& r : mask.row(y)) fn(k++, y, r);
}

}  // namespace

RunPieces split_pieces(RunMask mask) {
  RunPieces p;
  // Runs in row order with their rows.
  std::vector<int64_t> rows;
  std::vector<Run> runs;
  for_each_run(mask, [&](size_t, int64_t y, const Run& r) {
    rows.push_back(y);
    runs.push_back(r);
  });
  const size_t n = runs.size();
  // Union-find over runs: a run joins the runs of the row above that touch
  // it, diagonally included. The root of a set is its first run.
  std::vector<size_t> parent(n);
  std::iota(parent.begin(), parent.end(), size_t{0});
  auto find = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  size_t above = 0, row = 0;  // runs of the row above: [above, row)
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || rows[i] != rows[i - 1]) {
      const bool adjacent = i > 0 && rows[i] == rows[i - 1] + 1;
      above = adjacent ? row : i;
      row = i;
    }
    // Runs above that end left of this one's reach cannot touch later runs
    // of this row either.
    while (above < row && runs[above].x_end < runs[i].x_begin) ++above;
    for (size_t j = above; j < row && runs[j].x_begin <= runs[i].x_end; ++j) {
      const size_t a = find(i), b = find(j);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  // Pieces in the order of their first 2 x 2 block.
  struct Acc {
    Piece piece;
    int64_t block_y = INT64_MAX, block_x = INT64_MAX;
  };
  std::vector<int64_t> slot(n, -1);
  std::vector<Acc> acc;
  std::vector<int64_t> run_slot(n);
  for (size_t i = 0; i < n; ++i) {
    const size_t root = find(i);
    if (slot[root] < 0) {
      slot[root] = static_cast<int64_t>(acc.size());
      acc.emplace_back();
    }
    run_slot[i] = slot[root];
    Acc& a = acc[static_cast<size_t>(slot[root])];
    const Run& r = runs[i];
    const int64_t y = rows[i], len = r.x_end - r.x_begin;
    Piece& piece = a.piece;
    if (piece.area == 0) {
      piece.box = PixelBox{r.x_begin, y, r.x_end - 1, y, false};
    } else {
      piece.box.x_min = std::min<int64_t>(piece.box.x_min, r.x_begin);
      piece.box.x_max = std::max<int64_t>(piece.box.x_max, r.x_end - 1);
      piece.box.y_max = y;
    }
    piece.area += len;
    piece.sum_x += range_sum(r.x_begin, r.x_end);
    piece.sum_y += y * len;
    const int64_t by = y >> 1, bx = r.x_begin >> 1;
    if (by < a.block_y || (by == a.block_y && bx < a.block_x)) {
      a.block_y = by;
      a.block_x = bx;
    }
  }
  std::vector<size_t> order(acc.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(acc[a].block_y, acc[a].block_x) < std::tie(acc[b].block_y, acc[b].block_x);
  });
  std::vector<int32_t> label_of_slot(acc.size());
  p.pieces.reserve(acc.size());
  for (size_t k = 0; k < order.size(); ++k) {
    label_of_slot[order[k]] = static_cast<int32_t>(k + 1);
    p.pieces.push_back(acc[order[k]].piece);
  }
  p.label.resize(n);
  for (size_t i = 0; i < n; ++i) p.label[i] = label_of_slot[static_cast<size_t>(run_slot[i])];
  p.mask = std::move(mask);
  return p;
}

std::vector<cv::Point> piece_contour_points(const RunPieces& p, int32_t label) {
  if (label < 1 || static_cast<size_t>(label) > p.pieces.size()) return {};
  const PixelBox& box = p.pieces[static_cast<size_t>(label - 1)].box;
  cv::Mat image = cv::Mat::zeros(static_cast<int>(box.y_max - box.y_min + 1), static_cast<int>(box.x_max - box.x_min + 1),
                                 CV_8UC1);
  for_each_run(p.mask, [&](size_t k, int64_t y, const Run& r) {
    if (p.label[k] != label) return;
    std::memset(image.ptr<uint8_t>(static_cast<int>(y - box.y_min)) + (r.x_begin - box.x_min), 1,
                static_cast<size_t>(r.x_end - r.x_begin));
  });
  return outer_contour_points(image, box.x_min, box.y_min, box);
}

std::vector<cv::Point> outer_contour_points(const cv::Mat& image, int64_t x0, int64_t y0, const PixelBox& box,
                                            std::optional<int32_t> value) {
  std::vector<cv::Point> out;
  if (box.empty) return out;
  const cv::Mat sub = image(local_rect(box, x0, y0));
  cv::Mat binary;
  if (value) {
    cv::compare(sub, cv::Scalar(*value), binary, cv::CMP_EQ);
  } else if (sub.type() == CV_8UC1) {
    binary = sub;
  } else {
    cv::compare(sub, cv::Scalar(0), binary, cv::CMP_NE);
  }
  // findContours treats the pixels beyond the image as clear, so a crop to
  // the box gives the frame's contours moved by the box's corner.
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(static_cast<int>(box.x_min), static_cast<int>(box.y_min)));
  for (const auto& c : contours) out.insert(out.end(), c.begin(), c.end());
  return out;
}

std::vector<cv::Point> mask_contour_points(const MaskView& mask) {
  if (mask.height > INT_MAX || mask.width > INT_MAX)
    throw ValueError(expected_got("a mask of at most 2^31 - 1 rows and columns",
                                  std::to_string(mask.height) + " x " + std::to_string(mask.width)));
  const PixelBox box = mask_box(mask);
  if (box.empty) return {};
  const cv::Mat image(static_cast<int>(mask.height), static_cast<int>(mask.width), CV_8UC1,
                      const_cast<uint8_t*>(mask.data), static_cast<size_t>(mask.row_stride));
  return outer_contour_points(image, 0, 0, box);
}

PointSet::PointSet(std::vector<cv::Point> points) : by_x_(std::move(points)) {
  std::sort(by_x_.begin(), by_x_.end(), [](const cv::Point& a, const cv::Point& b) { return a.x < b.x; });
}

double PointSet::shortest_distance(const std::vector<cv::Point>& other) const {
  if (by_x_.empty() || other.empty()) return std::numeric_limits<double>::infinity();
  // Squared distances of pixel coordinates (below 2^31) fit in 64 bits
  // unsigned and are exact; the square root of the least is the least root.
  uint64_t best = std::numeric_limits<uint64_t>::max();
  auto sq = [](int64_t d) { return static_cast<uint64_t>(d * d); };
  const auto n = static_cast<int64_t>(by_x_.size());
  for (const cv::Point& q : other) {
    const auto start = std::lower_bound(by_x_.begin(), by_x_.end(), q.x,
                                        [](const cv::Point& p, int x) { return p.x < x; }) -
                       by_x_.begin();
    for (int64_t j = start; j < n; ++j) {
      const uint64_t dx2 = sq(int64_t{by_x_[j].x} - q.x);
      if (dx2 >= best) break;
      best = std::min(best, dx2 + sq(int64_t{by_x_[j].y} - q.y));
    }
    for (int64_t j = start - 1; j >= 0; --j) {
      const uint64_t dx2 = sq(int64_t{q.x} - by_x_[j].x);
      if (dx2 >= best) break;
      best = std::min(best, dx2 + sq(int64_t{by_x_[j].y} - q.y));
    }
    if (best == 0) break;
  }
  return std::sqrt(static_cast<double>(best));
}

PieceThresholds piece_thresholds(int64_t main_area, const RefineSettings& s) {
  const double area = static_cast<double>(main_area);
  const double radius = std::sqrt(area / std::numbers::pi);
  return {area * s.min_area_ratio,
          radius * (main_area >= kLargeMainArea ? s.distance_ratio_large : s.distance_ratio_small)};
}

int64_t choose_main_piece(const std::vector<int64_t>& areas, const std::vector<Centroid>& centroids,
                          const std::optional<Centroid>& prev) {
  if (areas.empty()) throw ValueError(expected_got("a mask with at least one set pixel", "an empty mask"));
  std::vector<int64_t> order(areas.size());
  std::iota(order.begin(), order.end(), int64_t{1});
  const size_t top = std::min(kMainCandidates, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(top), order.end(),
                    [&](int64_t a, int64_t b) {
                      const int64_t aa = areas[static_cast<size_t>(a - 1)], ab = areas[static_cast<size_t>(b - 1)];
                      return aa != ab ? aa > ab : a < b;
                    });
  int64_t best = order[0];
  if (!prev) return best;
  double best_distance = centroid_distance(centroids[static_cast<size_t>(best - 1)], *prev);
  for (size_t k = 1; k < top; ++k) {
    const double d = centroid_distance(centroids[static_cast<size_t>(order[k] - 1)], *prev);
    if (d < best_distance) {
      best = order[k];
      best_distance = d;
    }
  }
  return best;
}

std::vector<PixelBox> label_boxes(const cv::Mat& labels, int64_t num_labels) {
  if (labels.type() != CV_32SC1) throw ValueError("internal: label images are 32-bit");
  std::vector<PixelBox> boxes(static_cast<size_t>(std::max<int64_t>(num_labels, 1)));
  for (int y = 0; y < labels.rows; ++y) {
    const int32_t* l = labels.ptr<int32_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (l[x] <= 0 || l[x] >= num_labels) continue;
      PixelBox& b = boxes[static_cast<size_t>(l[x])];
      if (b.empty) {
        b = PixelBox{x, y, x, y, false};
      } else {
        b.x_min = std::min<int64_t>(b.x_min, x);
        b.x_max = std::max<int64_t>(b.x_max, x);
        b.y_max = y;
      }
    }
    if ((y & 255) == 255) check_interrupt();
  }
  return boxes;
}

int64_t paint_kept(const cv::Mat& labels, const std::vector<char>& keep, uint8_t* out, int64_t out_stride) {
  int64_t count = 0;
  for (int y = 0; y < labels.rows; ++y) {
    const int32_t* l = labels.ptr<int32_t>(y);
    uint8_t* o = out + y * out_stride;
    for (int x = 0; x < labels.cols; ++x) {
      const int64_t k = int64_t{l[x]} - 1;
      if (k >= 0 && k < static_cast<int64_t>(keep.size()) && keep[static_cast<size_t>(k)]) {
        o[x] = 1;
        ++count;
      }
    }
  }
  return count;
}

cv::Mat label_image(const ArrayView& labels) {
  if (labels.ndim() != 2)
    throw ValueError(expected_got("a 2-D label image", "an array of shape " + shape_text(labels.shape)));
  const int64_t h = labels.shape[0], w = labels.shape[1];
  if (h > INT_MAX || w > INT_MAX)
    throw ValueError(expected_got("a label image of at most 2^31 - 1 rows and columns", shape_text(labels.shape)));
  cv::Mat out(static_cast<int>(h), static_cast<int>(w), CV_32SC1);
  visit_dtype(labels.dtype, [&](auto zero) {
    using T = decltype(zero);
    if constexpr (std::is_floating_point_v<T>) {
      throw TypeError(expected_got("an integer label image", std::string("dtype ") + dtype_name(labels.dtype)));
    } else {
      auto* dst = reinterpret_cast<int32_t*>(out.data);
      for (int64_t i = 0, n = h * w; i < n; ++i) {
        T v;
        std::memcpy(&v, labels.data + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
        if (!std::in_range<int32_t>(v))
          throw ValueError(expected_got("label values that fit in 32 bits", std::to_string(v)));
        dst[i] = static_cast<int32_t>(v);
      }
    }
  });
  return out;
}

FramePieces label_frame(const MaskView& mask, const std::optional<Centroid>& prev, const RefineSettings& s,
                        cv::Mat& labels, cv::Mat& stats, cv::Mat& centroids) {
  if (mask.height > INT_MAX || mask.width > INT_MAX)
    throw ValueError(expected_got("a mask of at most 2^31 - 1 rows and columns",
                                  std::to_string(mask.height) + " x " + std::to_string(mask.width)));
  FramePieces out;
  if (mask.height > 0 && mask.width > 0) {
    // The labelling takes every non-zero byte as set: the mask is read in place.
    const cv::Mat binary(static_cast<int>(mask.height), static_cast<int>(mask.width), CV_8UC1,
                         const_cast<uint8_t*>(mask.data), static_cast<size_t>(mask.row_stride));
    out.num_labels = cv::connectedComponentsWithStats(binary, labels, stats, centroids, 8, CV_32S);
  }
  std::vector<int64_t> areas;
  std::vector<Centroid> cents;
  for (int l = 1; l < out.num_labels; ++l) {
    areas.push_back(stats.at<int>(l, cv::CC_STAT_AREA));
    cents.push_back({centroids.at<double>(l, 0), centroids.at<double>(l, 1)});
  }
  out.best = choose_main_piece(areas, cents, prev);
  out.thresholds = piece_thresholds(areas[static_cast<size_t>(out.best - 1)], s);
  return out;
}

std::vector<char> keep_labelled_pieces(const cv::Mat& labels, int64_t num_labels, const NDArray& stats,
                                       const NDArray& centroids, int64_t best, const PieceThresholds& t,
                                       const std::optional<Centroid>& prev, const RefineSettings& s) {
  if (stats.ndim() != 2 || stats.shape[1] <= cv::CC_STAT_AREA)
    throw ValueError(expected_got("stats of shape (num_labels, 5)", "an array of shape " + stats.shape_text()));
  if (centroids.ndim() != 2 || centroids.shape[1] < 2)
    throw ValueError(expected_got("centroids of shape (num_labels, 2)", "an array of shape " + centroids.shape_text()));
  if (num_labels > stats.shape[0] || num_labels > centroids.shape[0])
    throw IndexError("num_labels is " + std::to_string(num_labels) + " but stats has " + std::to_string(stats.shape[0]) +
                     " rows and centroids " + std::to_string(centroids.shape[0]));
  std::vector<int64_t> areas;
  std::vector<Centroid> cents;
  for (int64_t l = 1; l < num_labels; ++l) {
    const double area = stats.get(l * stats.shape[1] + cv::CC_STAT_AREA);
    areas.push_back(std::isfinite(area) ? static_cast<int64_t>(std::clamp(area, -9.0e18, 9.0e18)) : 0);
    cents.push_back({centroids.get(l * centroids.shape[1]), centroids.get(l * centroids.shape[1] + 1)});
  }
  const std::vector<PixelBox> boxes = label_boxes(labels, num_labels);
  const PixelBox whole{0, 0, labels.cols - 1, labels.rows - 1, labels.empty()};
  auto contour_of = [&](int64_t label) {
    if (label < INT32_MIN || label > INT32_MAX) return std::vector<cv::Point>{};
    const PixelBox& box = label >= 1 && label < num_labels ? boxes[static_cast<size_t>(label)] : whole;
    return outer_contour_points(labels, 0, 0, box, static_cast<int32_t>(label));
  };
  std::optional<PointSet> main_points;
  return pieces_to_keep(areas, cents, best, t, prev, s, [&](int64_t label) {
    if (!main_points) main_points.emplace(contour_of(best));
    return main_points->shortest_distance(contour_of(label));
  });
}

RefinedMask refine_mask(const RunMask& mask, const RunMask& pen, const std::optional<Centroid>& prev,
                        const RefineSettings& s, bool first_frame, uint8_t* out, int64_t out_stride) {
  RefinedMask result;
  const RunPieces pieces = split_pieces(intersect(mask, pen));
  if (pieces.pieces.empty()) return result;

  std::vector<int64_t> areas;
  std::vector<Centroid> centroids;
  for (const Piece& piece : pieces.pieces) {
    areas.push_back(piece.area);
    centroids.push_back(piece.centroid());
  }
  const int64_t best = choose_main_piece(areas, centroids, prev);
  const PieceThresholds t = piece_thresholds(areas[static_cast<size_t>(best - 1)], s);
  std::optional<PointSet> main_points;
  const std::vector<char> keep = pieces_to_keep(areas, centroids, best, t, prev, s, [&](int64_t label) {
    if (!main_points) main_points.emplace(piece_contour_points(pieces, static_cast<int32_t>(best)));
    return main_points->shortest_distance(piece_contour_points(pieces, static_cast<int32_t>(label)));
  });

  // The stored mask: the kept pieces, else (first frame only) the whole
  // tracked mask.
  int64_t count = 0, sum_x = 0, sum_y = 0;
  for_each_run(pieces.mask, [&](size_t k, int64_t y, const Run& r) {
    if (keep[static_cast<size_t>(pieces.label[k] - 1)])
      std::memset(out + y * out_stride + r.x_begin, 1, static_cast<size_t>(r.x_end - r.x_begin));
  });
  for (size_t k = 0; k < keep.size(); ++k) {
    if (!keep[k]) continue;
    count += pieces.pieces[k].area;
    sum_x += pieces.pieces[k].sum_x;
    sum_y += pieces.pieces[k].sum_y;
  }
  result.outcome = RefinedMask::Outcome::Cleaned;
  if (count == 0) {
    if (!first_frame) {
      result.outcome = RefinedMask::Outcome::Emptied;
      return result;
    }
    mask.paint(out, out_stride);
    for_each_run(mask, [&](size_t, int64_t y, const Run& r) {
      count += r.x_end - r.x_begin;
      sum_x += range_sum(r.x_begin, r.x_end);
      sum_y += y * (r.x_end - r.x_begin);
    });
    result.outcome = RefinedMask::Outcome::FirstFrameKept;
  }
  result.centroid = Centroid{static_cast<double>(sum_x) / static_cast<double>(count),
                             static_cast<double>(sum_y) / static_cast<double>(count)};
  return result;
}

}  // namespace mirelo
