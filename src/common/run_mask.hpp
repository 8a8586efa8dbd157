#pragma once
// Compact binary masks: the set pixels of each row of the mask's box as runs
// of columns. An animal covers about one percent of a frame and its outline is
// one polygon, so a mask of a 1440 x 2180 frame (3 MB dense) takes a few
// kilobytes this way; areas and overlaps are counted on the runs, never on
// pixels, and a dense array is made only when a caller asks for one.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/mask.hpp"
#include "common/ndarray.hpp"

namespace mirelo {

/// Columns [x_begin, x_end) of one row.
struct Run {
  int32_t x_begin = 0;
  int32_t x_end = 0;
};

/// A binary mask of a height x width frame held as runs. Rows outside the
/// tight box hold nothing; the runs of a row are sorted, disjoint and never
/// touch (adjacent runs are merged).
class RunMask {
 public:
  RunMask() = default;
  /// An empty mask of a height x width frame. Throws ValueError for a
  /// negative side or a width beyond 2^31 - 1 columns.
  RunMask(int64_t height, int64_t width);

  int64_t height() const { return height_; }
  int64_t width() const { return width_; }
  /// Number of set pixels.
  int64_t area() const { return area_; }
  /// Tight box of the set pixels (`empty` when none is set).
  const PixelBox& box() const { return box_; }
  bool same_shape(const RunMask& o) const { return height_ == o.height_ && width_ == o.width_; }

  /// The runs of frame row `y`, left to right; none outside the box.
  std::span<const Run> row(int64_t y) const {
    if (box_.empty || y < box_.y_min || y > box_.y_max) return {};
    const size_t r = static_cast<size_t>(y - box_.y_min);
    return std::span<const Run>(runs_.data() + row_start_[r], row_start_[r + 1] - row_start_[r]);
  }

  /// Sets every pixel of the mask to `value` in `plane`, a height x width
  /// byte plane whose rows are `row_stride` bytes apart; other pixels are
  /// left as they are.
  void paint(uint8_t* plane, int64_t row_stride, uint8_t value = 1) const;

  /// Bytes held on the heap.
  size_t memory_bytes() const { return runs_.capacity() * sizeof(Run) + row_start_.capacity() * sizeof(uint32_t); }

 private:
  friend class RunMaskBuilder;
  int64_t height_ = 0, width_ = 0, area_ = 0;
  PixelBox box_;
  std::vector<uint32_t> row_start_;  ///< box rows + 1 entries: runs of row box_.y_min + r are [r], [r + 1])
  std::vector<Run> runs_;
};

/// Builds a RunMask from runs given row by row, top to bottom.
class RunMaskBuilder {
 public:
  /// Validates the frame size as RunMask(height, width) does.
  RunMaskBuilder(int64_t height, int64_t width);

  /// Adds columns [x_begin, x_end) of frame row `y`. Rows come in increasing
  /// order, runs of one row left to right; a run touching the previous one
  /// is merged with it. Empty runs are ignored. Inline: masks read from
  /// run-length files add their runs one by one.
  void add(int64_t y, int64_t x_begin, int64_t x_end) {
    if (x_end <= x_begin) return;
    if (y < last_row_ || y >= mask_.height_ || x_begin < 0 || x_end > mask_.width_) [[unlikely]]
      fail("run outside the frame or out of row order");
    auto& runs = mask_.runs_;
    auto& starts = mask_.row_start_;
    if (last_row_ < 0) {
      mask_.box_.y_min = y;
      starts.push_back(0);
    } else {
      for (int64_t r = last_row_; r < y; ++r) starts.push_back(static_cast<uint32_t>(runs.size()));
    }
    const bool same_row = last_row_ == y && starts.back() < runs.size();
    last_row_ = y;
    if (same_row) {
      Run& prev = runs.back();
      if (x_begin < prev.x_end) [[unlikely]]
        fail("runs of a row out of order");
      if (x_begin == prev.x_end) {
        prev.x_end = static_cast<int32_t>(x_end);
        return;
      }
    }
    if (runs.size() >= UINT32_MAX) [[unlikely]]
      fail("too many runs for one mask");
    runs.push_back(Run{static_cast<int32_t>(x_begin), static_cast<int32_t>(x_end)});
  }

  /// Makes room for `runs` runs over `rows` rows of the box, so that a
  /// caller that knows them builds the mask without growing it.
  void reserve(size_t runs, size_t rows);

  RunMask finish();

 private:
  [[noreturn]] static void fail(const char* what);

  RunMask mask_;
  int64_t last_row_ = -1;
};

/// The set (non-zero) pixels of a dense mask.
RunMask runs_of(const MaskView& m);

/// The set pixels of `m` placed with its top-left pixel on (x0, y0) of a
/// `height` x `width` frame; `m` must lie inside the frame.
RunMask runs_of(const MaskView& m, int64_t x0, int64_t y0, int64_t height, int64_t width);

/// The set pixels of a plane of any element type (the non-zero test of
/// visit_nonzero_type: NaN is set, -0.0 is not).
RunMask runs_of(const PlaneView& plane);

/// The pixels set in both masks, as a mask of their frame. Throws
/// ValueError when the frame sizes differ.
RunMask intersect(const RunMask& a, const RunMask& b);

/// Pixels set in both masks. Throws ValueError when the frame sizes differ.
int64_t count_intersection(const RunMask& a, const RunMask& b);

/// Dense masks, layers x height x width bytes (0 or 1) in one zeroed block.
/// Large blocks are mapped fresh from the system, whose zero pages cost
/// nothing until a mask or a reader touches them; small ones come from calloc.
struct BlockRelease {
  size_t mapped = 0;  ///< length of a mapped block, 0 for calloc's
  void operator()(uint8_t* p) const;
};
struct MaskStack {
  int64_t layers = 0, height = 0, width = 0;
  std::unique_ptr<uint8_t, BlockRelease> data;
};

/// The masks painted into a new stack, one layer each, in order. All masks
/// must have the frame size height x width (ValueError); a stack beyond
/// memory raises MemoryError before anything is allocated.
MaskStack paint_stack(const std::vector<const RunMask*>& masks, int64_t height, int64_t width);

}  // namespace mirelo
