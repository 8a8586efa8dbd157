#pragma once
// The box-and-label drawing as the areas that show one call it.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "common/run_mask.hpp"
#include "convert.hpp"

namespace nb = nanobind;

namespace mirelo::py {

/// img_bbx_drawing of an image argument (read by to_drawing_pixels) and
/// masks read by to_plane_dict, as a new PIL image of mode "RGBA".
nb::object boxes_drawing(nb::handle image, const PlaneDictInput& masks);

/// The same for bool or unsigned masks held as runs (see paints_set_pixels),
/// labelled by `keys`: the runs are painted and boxed.
nb::object boxes_drawing(nb::handle image, const std::vector<std::string>& keys,
                         const std::vector<const RunMask*>& masks);

}  // namespace mirelo::py
