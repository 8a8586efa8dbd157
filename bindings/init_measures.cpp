// Overlap measures: box IoU, mask intersection percentages, the pairwise
// intersection table and the mask IoU matrix.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "measures/overlap.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::object calculate_iou(nb::handle box1, nb::handle box2) {
  HostNumber b1[4], b2[4];
  to_box(box1, b1, "box1");
  to_box(box2, b2, "box2");
  return host_number_to_py(box_iou(b1, b2));
}

nb::object calculate_masks_intersection(nb::handle mask1, nb::handle mask2) {
  MaskInput a = to_mask(mask1, "mask1"), b = to_mask(mask2, "mask2");
  HostNumber result;
  {
    nb::gil_scoped_release release;
    const MaskStats sa = mask_stats(a.view), sb = mask_stats(b.view);
    result = percentage_of(count_intersection(a.view, sa.box, b.view, sb.box), static_cast<double>(sa.area));
  }
  return host_number_to_py(result);
}

nb::tuple calculate_masks_intersection_new(nb::handle mask1, nb::handle mask2, nb::handle mask_area_1,
                                           nb::handle mask_area_2) {
  MaskInput a = to_mask(mask1, "mask1"), b = to_mask(mask2, "mask2");
  const double area1 = to_real(mask_area_1, "mask_area_1");
  const double area2 = to_real(mask_area_2, "mask_area_2");
  int64_t inter = 0;
  {
    nb::gil_scoped_release release;
    inter = count_intersection(a.view, b.view);
  }
  return nb::make_tuple(host_number_to_py(percentage_of(inter, area1)), host_number_to_py(percentage_of(inter, area2)));
}

nb::object intersection_between_masks(nb::handle masks_dict, nb::handle processed_mask_areas) {
  MaskDictInput masks = to_mask_dict(masks_dict, "masks_dict");
  const bool have_areas = !processed_mask_areas.is_none() && nb::len(processed_mask_areas) > 0;
  std::vector<double> areas;
  if (have_areas) {
    for (nb::handle key : masks.keys)
      areas.push_back(to_real(processed_mask_areas[key], "processed_mask_areas[" + to_text(nb::repr(key)) + "]"));
  }
  const std::vector<MaskView> views = views_of(masks.masks);
  std::vector<double> table;
  {
    nb::gil_scoped_release release;
    table = have_areas ? intersection_table(views, areas) : intersection_table(views);
  }
  return square_frame(std::move(table), masks.keys);
}

nb::object cal_masks_iou_scores(nb::handle masks_new, nb::handle masks_old) {
  std::vector<MaskInput> a = to_mask_list(masks_new, "masks_new");
  std::vector<MaskInput> b = to_mask_list(masks_old, "masks_old");
  std::vector<double> out;
  {
    nb::gil_scoped_release release;
    out = iou_matrix(views_of(a), views_of(b));
  }
  return to_numpy(std::move(out), {a.size(), b.size()});
}

}  // namespace

void init_measures(nb::module_& m) {
  m.def("calculate_iou", &calculate_iou, "box1"_a, "box2"_a,
        "Intersection over union of two boxes [x_min, y_min, x_max, y_max].\n\n"
        "Coordinates are used as given (width is x_max - x_min). Returns a float in\n"
        "0..1, or the integer 0 when the union area is not positive.");
  m.def("calculate_masks_intersection", &calculate_masks_intersection, "mask1"_a, "mask2"_a,
        "Percentage (0..100) of mask1's set pixels that mask2 also covers.\n\n"
        "Returns the integer 0 when mask1 is empty.");
  m.def("calculate_masks_intersection_new", &calculate_masks_intersection_new, "mask1"_a, "mask2"_a,
        "mask_area_1"_a, "mask_area_2"_a,
        "Overlap of two masks as percentages of the two given areas.\n\n"
        "Returns (result_1, result_2); a result is the integer 0 when its area is\n"
        "not positive. The areas are used as given, not checked against the masks.");
  m.def("intersection_between_masks", &intersection_between_masks, "masks_dict"_a,
        "processed_mask_areas"_a = nb::none(),
        "Pairwise intersection table of a masks_dict as a pandas DataFrame.\n\n"
        "Cell (r, c) is the percentage of mask r's area (from processed_mask_areas)\n"
        "that mask c covers; float64, rows and columns labelled by the keys in order,\n"
        "0.0 on the diagonal. A pair is skipped (both cells 0.0) when the later key's\n"
        "area is at most 1. Without areas (None or empty) the masks' pixel counts are\n"
        "used. A key missing from processed_mask_areas raises KeyError.");
  m.def("cal_masks_iou_scores", &cal_masks_iou_scores, "masks_new"_a, "masks_old"_a,
        "IoU of every new mask against every old mask, as a float64 array of shape\n"
        "(len(masks_new), len(masks_old)); each value is intersection / (union + 1e-6).");
}

}  // namespace mirelo::py
