#pragma once
// Box IoU, mask intersection percentages, the pairwise intersection table
// and the new-versus-old mask IoU matrix.
#include <cstdint>
#include <optional>
#include <vector>

#include "common/mask.hpp"
#include "common/run_mask.hpp"
#include "common/number.hpp"

namespace mirelo {

/// Intersection over union of two boxes [x_min, y_min, x_max, y_max], exact:
/// integer corners multiply in 128 bits, nothing is added to the union, and
/// the result is the integer 0 when the union area is not positive.
HostNumber box_iou_exact(const HostNumber (&box1)[4], const HostNumber (&box2)[4]);

/// Percentage of `area` that `intersection` pixels make; integer 0 when the
/// area is not positive (NaN included).
HostNumber percentage_of(int64_t intersection, double area);

/// Pairwise intersection table, row-major num x num: cell (r, c) is the
/// percentage of area[r] covered by mask c; pairs whose later mask has an
/// area of at most 1 stay 0. `areas` are used as given.
std::vector<double> intersection_table(const std::vector<MaskView>& masks,
                                       const std::vector<double>& areas);

/// As above, with the tight box of each mask already known (as mask_stats
/// gives it), so that no pass over the masks is spent on the boxes.
std::vector<double> intersection_table(const std::vector<MaskView>& masks, const std::vector<double>& areas,
                                       const std::vector<PixelBox>& boxes);

/// As above, with each mask's own set-pixel count as its area.
std::vector<double> intersection_table(const std::vector<MaskView>& masks);

/// The same table for compact masks, counted on their runs.
std::vector<double> intersection_table(const std::vector<const RunMask*>& masks, const std::vector<double>& areas);

/// As above, with each mask's own area.
std::vector<double> intersection_table(const std::vector<RunMask>& masks);

/// IoU matrix, row-major new x old: intersection / (union + 1e-6).
std::vector<double> iou_matrix(const std::vector<MaskView>& masks_new,
                               const std::vector<MaskView>& masks_old);

}  // namespace mirelo
