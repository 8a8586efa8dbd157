#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "segment/models.hpp"

namespace mirelo {

/// Positions of the detections to keep, in reading order: sorted by y_min
/// (column 1) and then x_min (column 0), stable, NaN last; restricted to the
/// labels equal to `target_label` when at least one label equals it, else all.
/// Throws ValueError when the three members disagree in length or the boxes
/// are not N x 4.
std::vector<int64_t> select_detections(const Detections& d, const std::string& target_label);

/// The detections at `indices`, in that order.
Detections take_detections(const Detections& d, const std::vector<int64_t>& indices);

}  // namespace mirelo
