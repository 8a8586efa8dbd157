// Overlap measures: box IoU, mask intersection percentages, the pairwise
// intersection table and the mask IoU matrix.
#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "measures/cluster.hpp"
#include "measures/motion.hpp"
#include "measures/overlap.hpp"
#include "measures/similarity.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::object calculate_iou(nb::handle box1, nb::handle box2) {
  HostNumber b1[4], b2[4];
  to_box(box1, b1, "box1");
  to_box(box2, b2, "box2");
  return host_number_to_py(box_iou_exact(b1, b2));
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

nb::dict cluster_masks_and_print(nb::handle masks_dict, nb::handle eps, nb::handle min_samples) {
  const double radius = to_real(eps, "eps");
  const int64_t min_points = to_integer(min_samples, "min_samples");
  const MaskDictInput masks = to_mask_dict(masks_dict, "masks_dict");
  const std::vector<MaskView> views = views_of(masks.masks);
  std::vector<std::optional<int64_t>> labels;
  {
    nb::gil_scoped_release release;
    labels = cluster_mask_centroids(views, radius, min_points);
  }
  nb::dict clusters;
  nb::list noise;
  clusters["Noise"] = noise;
  for (size_t k = 0; k < labels.size(); ++k) {
    if (!labels[k]) continue;
    if (*labels[k] < 0) {
      noise.append(masks.keys[k]);
      continue;
    }
    nb::str name(("Cluster " + std::to_string(*labels[k])).c_str());
    if (!clusters.contains(name)) clusters[name] = nb::list();
    nb::borrow<nb::list>(clusters[name]).append(masks.keys[k]);
  }
  return clusters;
}

// video_frames[k] as a path; a sequence too short for it raises IndexError
// saying how many paths were needed and given.
std::string frame_path(nb::handle video_frames, size_t k) {
  nb::object item;
  try {
    item = video_frames[nb::int_(k)];
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_IndexError)) throw;
    const Py_ssize_t n = PyObject_Length(video_frames.ptr());
    if (n < 0) PyErr_Clear();
    throw IndexError(expected_got("at least 6 frame paths in video_frames",
                                  n < 0 ? "a shorter sequence" : std::to_string(n)));
  }
  return to_path(item, "video_frames[" + std::to_string(k) + "]");
}

nb::dict compute_motion_score_in_polygon(nb::handle video_frames, nb::handle masks_dict) {
  if (is_text_like(video_frames) || !PySequence_Check(video_frames.ptr()))
    throw TypeError(expected_got("a sequence of frame paths for video_frames", py_type_name(video_frames)));
  const std::string first = frame_path(video_frames, 0), later = frame_path(video_frames, 5);
  const PlaneDictInput masks = to_plane_dict(masks_dict, "masks_dict");
  std::vector<std::string> names;
  for (nb::handle key : masks.keys) names.push_back("masks_dict[" + to_text(nb::repr(key)) + "]");
  const std::vector<PlaneView> planes = planes_of(masks.planes);
  std::vector<std::optional<double>> scores;
  {
    nb::gil_scoped_release release;
    const cv::Mat prev = read_gray_image(first, "video_frames[0]");
    const cv::Mat next = read_gray_image(later, "video_frames[5]");
    scores = motion_scores(prev, next, planes, names);
  }
  nb::dict out;
  for (size_t k = 0; k < scores.size(); ++k) {
    if (scores[k]) {
      out[masks.keys[k]] = nb::float_(*scores[k]);
    } else {
      out[masks.keys[k]] = nb::int_(0);
    }
  }
  return out;
}

nb::object cal_centroid_distance(nb::handle masks_new, nb::handle masks_old) {
  std::vector<MaskInput> a = to_weight_mask_list(masks_new, "masks_new");
  std::vector<MaskInput> b = to_weight_mask_list(masks_old, "masks_old");
  CentroidSimilarity sim;
  {
    nb::gil_scoped_release release;
    sim = centroid_similarity(views_of(a), views_of(b));
  }
  if (sim.all_nan && PyErr_WarnEx(PyExc_RuntimeWarning, "All-NaN slice encountered", 1) != 0)
    throw nb::python_error();
  return to_numpy(std::move(sim.values), {a.size(), b.size()});
}

std::vector<FeatureVector> to_feature_list(nb::handle features, const std::string& what) {
  if (is_text_like(features) || !nb::hasattr(features, "__iter__"))
    throw TypeError(expected_got("a list of feature vectors (or None) for " + what, py_type_name(features)));
  std::vector<FeatureVector> out;
  size_t k = 0;
  for (nb::handle item : features) {
    const std::string name = what + "[" + std::to_string(k++) + "]";
    if (item.is_none())
      out.emplace_back(std::nullopt);
    else
      out.emplace_back(to_real_vector(item, name));
  }
  return out;
}

nb::object cosine_scores_cal(nb::handle image_features_new, nb::handle image_features_old) {
  const std::vector<FeatureVector> a = to_feature_list(image_features_new, "image_features_new");
  const std::vector<FeatureVector> b = to_feature_list(image_features_old, "image_features_old");
  std::vector<double> scores;
  {
    nb::gil_scoped_release release;
    scores = cosine_scores(a, b);
  }
  return to_numpy(std::move(scores), {a.size(), b.size()});
}

// calculate_iou of every new box (rows) with every old one (columns), in one
// call: the health page's evidence compares masks' boxes pair by pair.
nb::object box_iou_scores(nb::handle boxes_new, nb::handle boxes_old) {
  const std::vector<std::array<double, 4>> a = to_boxes(boxes_new, "boxes_new"), b = to_boxes(boxes_old, "boxes_old");
  std::vector<double> scores(a.size() * b.size());
  auto host = [](const std::array<double, 4>& box, HostNumber (&out)[4]) {
    for (size_t k = 0; k < 4; ++k) {
      const double v = box[k];
      // Whole coordinates stay exact, as calculate_iou keeps them.
      out[k] = v == std::trunc(v) && std::fabs(v) < 9.0e15 ? HostNumber::integer(static_cast<int64_t>(v))
                                                           : HostNumber::real(v);
    }
  };
  HostNumber x[4], y[4];
  for (size_t i = 0; i < a.size(); ++i) {
    host(a[i], x);
    for (size_t j = 0; j < b.size(); ++j) {
      host(b[j], y);
      scores[i * b.size() + j] = box_iou_exact(x, y).as_double();
    }
  }
  return to_numpy(std::move(scores), {a.size(), b.size()});
}

}  // namespace

void init_measures(nb::module_& m) {
  m.def("calculate_iou", &calculate_iou, "box1"_a, "box2"_a,
        nb::sig("def calculate_iou(box1: collections.abc.Sequence[float], "
                "box2: collections.abc.Sequence[float]) -> float"),
        R"(Intersection over union of two boxes.

Coordinates are used as given (a box's width is x_max - x_min, its height
y_max - y_min); integers stay exact.

Args:
    box1: [x_min, y_min, x_max, y_max] in pixels (a list, tuple or array;
        items past the fourth are ignored).
    box2: The other box, in the same form.

Returns:
    The IoU as a float in 0..1, or the integer 0 when the union area is
    not positive.

Raises:
    TypeError: A coordinate is not a number.
    IndexError: A box has fewer than four items.
)");
  m.def("calculate_masks_intersection", &calculate_masks_intersection, "mask1"_a, "mask2"_a,
        nb::sig("def calculate_masks_intersection(mask1: numpy.ndarray, mask2: numpy.ndarray) -> float"),
        R"(Share of one mask that another covers.

Args:
    mask1: H x W (or 1 x H x W) mask, bool or any numeric dtype; non-zero
        pixels are set.
    mask2: Mask of the same height and width.

Returns:
    The percentage (0..100, a float) of mask1's set pixels that mask2 also
    sets, or the integer 0 when mask1 is empty.

Raises:
    ValueError: The masks differ in shape or are not 2-D.
    TypeError: A mask is not an array of numbers.
)");
  m.def("calculate_masks_intersection_new", &calculate_masks_intersection_new, "mask1"_a, "mask2"_a,
        "mask_area_1"_a, "mask_area_2"_a,
        nb::sig("def calculate_masks_intersection_new(mask1: numpy.ndarray, mask2: numpy.ndarray, "
                "mask_area_1: float, mask_area_2: float) -> tuple[float, float]"),
        R"(Overlap of two masks as percentages of two given areas.

Args:
    mask1: H x W (or 1 x H x W) mask, bool or any numeric dtype; non-zero
        pixels are set.
    mask2: Mask of the same height and width.
    mask_area_1: Area to divide by for the first result (used as given,
        not checked against the mask).
    mask_area_2: Area for the second result.

Returns:
    (result_1, result_2): the pixels set in both masks as a percentage of
    each area; a result is the integer 0 when its area is not positive.

Raises:
    ValueError: The masks differ in shape or are not 2-D.
    TypeError: A mask is not an array of numbers, or an area not a number.
)");
  m.def("intersection_between_masks", &intersection_between_masks, "masks_dict"_a,
        "processed_mask_areas"_a = nb::none(),
        nb::sig("def intersection_between_masks(masks_dict: collections.abc.Mapping[str, numpy.ndarray], "
                "processed_mask_areas: collections.abc.Mapping[str, float] | None = None) -> pandas.DataFrame"),
        R"(Pairwise intersection table of a set of masks.

Args:
    masks_dict: Mask key (e.g. "Box0") -> H x W (or 1 x H x W) mask, bool or
        any numeric dtype, all of one shape; the table keeps the mapping's
        order.
    processed_mask_areas: Mask key -> area to divide by. None or empty: the
        masks' own pixel counts.

Returns:
    A pandas DataFrame of float64, rows and columns labelled by the keys:
    cell (r, c) is the percentage of mask r's area that mask c covers, 0.0 on
    the diagonal. A pair is skipped (both cells 0.0) when the later key's
    area is at most 1.

Raises:
    KeyError: A key of masks_dict is missing from processed_mask_areas.
    ValueError: The masks differ in shape or are not 2-D.
    TypeError: masks_dict is not a mapping of arrays.
)");
  m.def("cal_masks_iou_scores", &cal_masks_iou_scores, "masks_new"_a, "masks_old"_a,
        nb::sig("def cal_masks_iou_scores(masks_new: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray, "
                "masks_old: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray) -> numpy.ndarray"),
        R"(IoU of every new mask against every old mask.

Args:
    masks_new: N masks, a list of H x W (or 1 x H x W) arrays or an
        N x H x W (or N x 1 x H x W) array; bool or any numeric dtype,
        non-zero set.
    masks_old: M masks of the same height and width, in the same forms.

Returns:
    A float64 array of shape (N, M): intersection / (union + 1e-6) per pair.

Raises:
    ValueError: Masks of different shapes, or not 2-D.
    MemoryError: A stack claims more masks than memory holds.
)");
  m.def("_box_iou_scores", &box_iou_scores, "boxes_new"_a, "boxes_old"_a,
        nb::sig("def _box_iou_scores(boxes_new: numpy.ndarray, boxes_old: numpy.ndarray) -> numpy.ndarray"),
        "calculate_iou of every new box with every old one, float64 (new x old).");
  m.def("cluster_masks_and_print", &cluster_masks_and_print, "masks_dict"_a, "eps"_a = 100, "min_samples"_a = 1,
        nb::sig("def cluster_masks_and_print(masks_dict: collections.abc.Mapping[str, numpy.ndarray], "
                "eps: float = 100, min_samples: int = 1) -> dict[str, list[str]]"),
        "Groups masks by DBSCAN over the centroids of their largest outlines.\n\n"
        "Each mask's centroid is that of its largest external contour (by contour\n"
        "area; the first traced of equal ones), from the contour's moments, both\n"
        "coordinates truncated toward zero. Masks without a contour, or whose\n"
        "largest contour has no area (a line, one pixel), are left out of every\n"
        "group. The centroids are clustered with Euclidean distance: a point's\n"
        "neighbourhood holds the points at most eps away, itself included, and a\n"
        "core point has at least min_samples neighbours. With the defaults every\n"
        "point is core, so groups are the chains of centroids at most 100 pixels\n"
        "apart.\n\n"
        "Args:\n"
        "    masks_dict: mask key -> mask (H x W or 1 x H x W array, any numeric\n"
        "        or bool dtype, non-zero set), in the order the result keeps.\n"
        "    eps: neighbourhood radius in pixels (> 0, inclusive).\n"
        "    min_samples: neighbours a core point needs (>= 1, itself counted).\n\n"
        "Returns:\n"
        "    dict: \"Noise\" first (the keys of points in no cluster, possibly none),\n"
        "    then \"Cluster 0\", \"Cluster 1\", ... in the order of each cluster's\n"
        "    first core point, each listing its keys in masks_dict order.\n\n"
        "Raises:\n"
        "    ValueError: no mask has a centroid; eps NaN or not positive;\n"
        "        min_samples below 1; a mask that is not 2-D.\n"
        "    TypeError: masks_dict is not a mapping of arrays, eps is not a\n"
        "        number, or min_samples is not an integer.");
  m.def("compute_motion_score_in_polygon", &compute_motion_score_in_polygon, "video_frames"_a, "masks_dict"_a,
        nb::sig("def compute_motion_score_in_polygon(video_frames: collections.abc.Sequence[str | os.PathLike[str]], "
                "masks_dict: collections.abc.Mapping[str, numpy.ndarray]) -> dict[str, float | int]"),
        "Mean optical-flow magnitude inside each mask between frames 0 and 5.\n\n"
        "video_frames[0] and video_frames[5] are read as 8-bit grayscale (as\n"
        "cv2.imread with IMREAD_GRAYSCALE); the dense Farneback flow between them\n"
        "(pyramid scale 0.5, 3 levels, window 15, 3 iterations, poly_n 5,\n"
        "poly_sigma 1.2, no flags) is computed once, and each mask gets the mean\n"
        "flow magnitude over its pixels above zero.\n\n"
        "Args:\n"
        "    video_frames: frame image paths of one clip, at least six.\n"
        "    masks_dict: mask key -> mask of the frames' height and width (H x W\n"
        "        or 1 x H x W array, any numeric or bool dtype); its pixels above\n"
        "        zero are averaged.\n\n"
        "Returns:\n"
        "    dict: every key of masks_dict, in order, to its mean displacement in\n"
        "    pixels (a float), or the integer 0 for an empty mask.\n\n"
        "Raises:\n"
        "    IndexError: fewer than six frame paths.\n"
        "    FileNotFoundError: a frame file does not exist.\n"
        "    OSError: a frame file is not a readable image.\n"
        "    ValueError: the two frames differ in size, a mask's size differs\n"
        "        from theirs, or a path holds a NUL character.\n"
        "    TypeError: video_frames is not a sequence of paths, or masks_dict\n"
        "        is not a mapping of arrays.");
  m.def("cal_centroid_distance", &cal_centroid_distance, "masks_new"_a, "masks_old"_a,
        nb::sig("def cal_centroid_distance(masks_new: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray, "
                "masks_old: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray) -> numpy.ndarray"),
        R"(Similarity of every new mask to every old mask by the distance of their centroids.

The centroid of a mask is (m01 / m00, m10 / m00) of its raw image moments,
(row, column), with the mask's values converted to uint8 as weights (a 0/1
and a 0/255 mask have the same centroid). With d the Euclidean distance of
two centroids, a pair involving an empty mask counts as the largest distance
among the other pairs plus 1, and the similarity is
1 - d / (largest d + 1e-6): 1.0 for coinciding centroids, near 0 for the
farthest pair.

Args:
    masks_new: list of 2-D masks (bool or any numeric dtype; 1 x H x W
        allowed), or an N x H x W array. Sizes may differ between masks.
    masks_old: the same, for the old masks.

Returns:
    float64 array of shape (len(masks_new), len(masks_old)); row i is
    masks_new[i], column j is masks_old[j]. All NaN when every pair involves
    an empty mask.

Raises:
    ValueError: ``masks_new`` or ``masks_old`` is empty.

Warns:
    RuntimeWarning: "All-NaN slice encountered" when every pair involves an
        empty mask.
)");
  m.def("cosine_scores_cal", &cosine_scores_cal, "image_features_new"_a, "image_features_old"_a,
        nb::sig("def cosine_scores_cal(image_features_new: collections.abc.Sequence[torch.Tensor | numpy.ndarray | None], "
                "image_features_old: collections.abc.Sequence[torch.Tensor | numpy.ndarray | None]) -> numpy.ndarray"),
        R"(Cosine similarity of every new feature vector with every old one.

Each vector is scaled to unit length (a zero vector stays zero and scores 0)
and the scores are the dot products; a pair where either item is None scores
-inf.

Args:
    image_features_new: list of 1-D feature vectors (torch tensors on any
        device, numpy arrays or lists of numbers) or None for a mask without
        one, as ``generate_sam2_image_features`` returns them.
    image_features_old: the same, for the old masks.

Returns:
    float64 array of shape (len(image_features_new), len(image_features_old)).

Raises:
    ValueError: the vectors do not all have the same length, or one is not
        1-D.
    TypeError: an item holds something other than real numbers.
)");
}

}  // namespace mirelo::py
