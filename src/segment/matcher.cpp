#include "segment/matcher.hpp"

#include <cstring>

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "measures/overlap.hpp"

namespace mirelo {
namespace {

constexpr double kMaxNewOverlap = 10;  // percent of a new mask covered by another

}  // namespace

NDArray tight_boxes(const std::vector<RunMask>& masks) {
  NDArray boxes(DType::Int64, {static_cast<int64_t>(masks.size()), 4});
  auto* out = reinterpret_cast<int64_t*>(boxes.bytes.data());
  for (size_t k = 0; k < masks.size(); ++k) {
    const PixelBox& b = masks[k].box();
    if (b.empty)
      throw ValueError(expected_got("a mask with at least one pixel to box for the predictor",
                                    "an empty mask at position " + std::to_string(k) + " of the best last frame"));
    const int64_t xyxy[4] = {b.x_min, b.y_min, b.x_max, b.y_max};
    std::memcpy(out + 4 * k, xyxy, sizeof xyxy);
  }
  return boxes;
}

std::vector<int64_t> normalised_mask_shape(const std::vector<int64_t>& shape) {
  if (shape.size() == 2) return {1, shape[0], shape[1]};
  if (shape.size() == 3) return shape;
  if (shape.size() == 4 && shape[1] == 1) return {shape[0], shape[2], shape[3]};
  throw ValueError(expected_got("masks of shape (H, W), (N, H, W) or (N, 1, H, W) from the image predictor",
                                "shape " + shape_text(shape)));
}

MatcherResult match_next_clip(FrameRecords& records, const std::function<cv::Mat()>& open_frame,
                              ImagePredictor& predictor, const MatcherOptions& options,
                              const std::function<void(const LastFrame& best)>& display) {
  MatcherResult result;
  const std::optional<LastFrame> best = find_best_last_frame(records, options.last);
  if (!best) {
    print_line("Issue is from the laste frame, not enough masks found.");
    return result;
  }
  result.best_position = best->position;
  const NDArray boxes = tight_boxes(best->masks);
  const int64_t n_track = static_cast<int64_t>(best->masks.size());

  const cv::Mat rgb = open_frame();
  predictor.set_image(rgb);
  const ArrayView masks = predictor.predict_masks(boxes);
  result.mask_shape = normalised_mask_shape(masks.shape);
  const int64_t n = result.mask_shape[0], h = result.mask_shape[1], w = result.mask_shape[2];

  // A count other than the best frame's fails whatever the masks hold; the
  // table and the areas cannot raise, so they are not computed for it.
  bool success = n == n_track;
  if (success) {
    std::vector<RunMask> runs;
    runs.reserve(static_cast<size_t>(n));
    const size_t plane = static_cast<size_t>(h * w) * dtype_size(masks.dtype);
    for (int64_t k = 0; k < n; ++k) {
      const PlaneView view{masks.dtype, masks.data + static_cast<size_t>(k) * plane, h, w,
                           w * static_cast<int64_t>(dtype_size(masks.dtype))};
      runs.push_back(runs_of(view));
      check_interrupt();
    }
    for (double cell : intersection_table(runs)) success = success && cell <= kMaxNewOverlap;
    for (const RunMask& m : runs) {
      const HostNumber area = HostNumber::integer(m.area());
      success = success && (options.last.min_area < area || options.last.min_area == area);
    }
  }

  if (display) display(*best);
  if (success) {
    print_line("ann_frame_idx [" + options.frame_text + "] works for mask finding!!!");
  } else {
    print_line("ann_frame_idx [" + options.frame_text + "] cannot work..\n");
  }
  result.accepted = success;
  return result;
}

}  // namespace mirelo
