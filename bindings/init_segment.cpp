// Clip segmentation and hand-over: detection filtering, the first-frame
// initialisation, loading a tracked clip's annotation files, the best last
// frame and the hand-over matcher.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "clip.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "drawing.hpp"
#include "frames.hpp"
#include "models.hpp"
#include "pen_support.hpp"
#include "common/runtime.hpp"
#include "pen/corrections.hpp"
#include "segment/annotation_data.hpp"
#include "segment/detections.hpp"
#include "segment/features.hpp"
#include "segment/initializer.hpp"
#include "segment/last_frame.hpp"
#include "segment/matcher.hpp"
#include "visual/draw.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::tuple process_gdino_results(nb::handle gdino_results, const std::string& target_label) {
  Detections d = read_detections(gdino_results);
  const std::vector<int64_t> idx = select_detections(d, target_label);
  return nb::make_tuple(to_numpy(d.boxes.take(idx)), to_numpy(d.scores.take(idx)), text_array(d.labels, idx));
}

nb::list generate_sam2_image_features(nb::handle image, nb::handle masks, nb::object image_predictor) {
  // The frame's RGB pixels in the array that set_image is handed.
  nb::object pixels = rgb_image_array(image), keep;
  const cv::Mat rgb = array_to_mat(pixels, keep, "image");
  std::vector<MaskInput> inputs = to_mask_list(masks, "masks");
  PyImagePredictor predictor(std::move(image_predictor));
  predictor.set_source_array(pixels);
  std::vector<ModelValuePtr> features;
  {
    nb::gil_scoped_release release;
    features = image_features(predictor, rgb, views_of(inputs));
  }
  nb::list out;
  for (const ModelValuePtr& f : features) out.append(f ? value_of(f) : nb::none());
  return out;
}

nb::tuple initializer(nb::handle video_dir, nb::handle frame_names, nb::object processor, nb::object grounding_model,
                      nb::object device, nb::object image_predictor, int64_t start_index, int64_t step,
                      double gdino_thr, int64_t close_set_num, nb::handle custom_pen_json_path) {
  const Py_ssize_t count = PyObject_Length(frame_names.ptr());
  if (count < 0 || nb::isinstance<nb::str>(frame_names)) {
    PyErr_Clear();
    throw TypeError(expected_got("a list of frame paths for frame_names", py_type_name(frame_names)));
  }
  std::optional<std::string> custom;
  if (!custom_pen_json_path.is_none()) custom = to_path(custom_pen_json_path, "custom_pen_json_path");
  // With an explicit pen file the clip folder names nothing that is needed.
  const std::string dir = (custom && !is_path_like(video_dir)) ? std::string() : to_path(video_dir, "video_dir");
  const std::string root = pen_json_root();

  InitializerOptions options;
  options.start_index = start_index;
  options.step = step;
  options.gdino_thr = gdino_thr;
  options.close_set_num = close_set_num;
  ArrayText array_text = [](const NDArray& a) {
    nb::gil_scoped_acquire gil;
    NDArray copy = a;
    return to_text(to_numpy(std::move(copy)));
  };

  PyDetectorProcessor proc(std::move(processor), std::move(device));
  PyDetectorModel model(std::move(grounding_model));
  PyImagePredictor predictor(std::move(image_predictor));
  PilFrames frames(nb::borrow(frame_names), count, &proc, predictor);
  InitializerResult r;
  {
    nb::gil_scoped_release release;
    r = mirelo::initializer(frames, dir, custom, root, proc, model, predictor, options, array_text);
  }
  if (!r.found) return nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none());
  return nb::make_tuple(to_numpy(std::move(r.masks)), text_array(r.detector_labels, r.label_index), r.frame_index,
                        mat_to_pil(r.annotated));
}

constexpr int64_t kPenAnimals = 10;

// ---------------------------------------------------------- clip loading

// A loaded frame record as the host's dict, keys in the record's order.
nb::dict record_dict(FrameRecord&& r, bool with_table) {
  nb::dict out;
  out["frame_index"] = frame_number(r);
  nb::dict masks, areas;
  nb::list keys;
  if (!r.keys.empty()) {
    nb::object stack = to_numpy(std::move(r.dense));
    for (size_t k = 0; k < r.keys.size(); ++k) {
      nb::str key(r.keys[k].c_str(), r.keys[k].size());
      masks[key] = stack[nb::int_(k)];
      areas[key] = nb::int_(r.masks[k].area());
      keys.append(key);
    }
  }
  out["masks_dict"] = masks;
  out["mask_areas"] = areas;
  out["json_path"] = path_str(r.json_path);
  out["image_path"] = json_to_py(r.image_path);
  if (with_table) out["intersections_df"] = square_frame(std::move(r.table), keys);
  return out;
}

// `load(files)` of the annotation files below `save_dir_base` (in load
// order, at least one) under the folder's read guard, which settles an
// unfinished correction first and keeps editors out meanwhile; none, after
// the message saying so, when there is no file.
template <typename Load>
auto load_clip_files(nb::handle save_dir_base, Load&& load)
    -> std::optional<decltype(load(std::declval<const std::vector<std::string>&>()))> {
  using Result = decltype(load(std::declval<const std::vector<std::string>&>()));
  const std::string folder = to_path(save_dir_base, "save_dir_base");
  std::optional<Result> result;
  {
    nb::gil_scoped_release release;
    result = read_clip_steadily(folder, [&]() -> std::optional<Result> {
      const std::vector<std::string> files = list_annotation_files(folder);
      if (files.empty()) return std::nullopt;
      return load(files);
    });
  }
  if (!result)
    print_line("No JSON files found in " + to_text(save_dir_base) + ". Please check the directory and try again.");
  return result;
}

nb::tuple get_gsam_annotation_data(nb::handle /*video_dir*/, nb::handle last_or_not, nb::handle ixx,
                                   nb::handle save_dir_base) {
  // The flag is tested as the host tests it; both of its values give the
  // same results, so it selects nothing.
  (void)to_bool(last_or_not);
  const int64_t index = to_integer(ixx, "ixx");
  int64_t count = 0;
  auto loaded = load_clip_files(save_dir_base, [&](const std::vector<std::string>& files) {
    count = static_cast<int64_t>(files.size());
    const auto [height, width] = annotation_frame_size(files.front());
    if (index <= 0) return load_frame_records(files, height, width, LoadOptions{true, true});
    if (index < count)
      return load_frame_records({files[static_cast<size_t>(index)]}, height, width, LoadOptions{false, true});
    return std::vector<FrameRecord>{};
  });
  if (!loaded) return nb::make_tuple(nb::none(), nb::none());
  std::vector<FrameRecord>& records = *loaded;
  nb::dict data;
  if (index > 0) {
    if (!records.empty()) data[nb::int_(index)] = record_dict(std::move(records.front()), false);
    return nb::make_tuple(data, data);
  }
  for (int64_t k = 0; k < count; ++k) data[nb::int_(k)] = record_dict(std::move(records[static_cast<size_t>(k)]), true);
  return nb::make_tuple(data[nb::int_(count - 1)], data);
}

nb::object open_clip(nb::handle save_dir_base, nb::handle threads) {
  unsigned workers = 0;
  if (!threads.is_none()) {
    const int64_t n = to_integer(threads, "threads");
    if (n < 1) throw ValueError(expected_got("threads of at least 1 (or None for one per core)", std::to_string(n)));
    workers = static_cast<unsigned>(std::min<int64_t>(n, 1024));
  }
  auto clip = load_clip_files(save_dir_base, [&](const std::vector<std::string>& files) {
    const auto [height, width] = annotation_frame_size(files.front());
    return load_compact_clip(files, height, width, workers);
  });
  if (!clip) return nb::none();
  return nb::cast(ClipHandle(std::move(*clip)));
}

// ------------------------------------------------------------ last frame

// The caller's frame records as the last-frame search reads them: the keys
// in ascending order (the host's sorted()), each record's "masks_dict" read
// when the search reaches it.
class PyFrameRecords : public FrameRecords {
 public:
  explicit PyFrameRecords(nb::handle laste_frame) : records_(nb::borrow(laste_frame)) {
    nb::list keys;
    for (const auto& item : mapping_items(laste_frame, "a mapping of frame keys to frame records for laste_frame"))
      keys.append(item.first);
    keys_ = nb::module_::import_("builtins").attr("sorted")(keys);
  }
  ~PyFrameRecords() override {
    nb::gil_scoped_acquire gil;
    records_.reset();
    keys_.reset();
    read_.clear();
  }

  /// The record at `pos` of the key order (the caller's own object).
  nb::object record(int64_t pos) const { return records_[keys_[nb::int_(pos)]]; }

  int64_t size() override {
    nb::gil_scoped_acquire gil;
    return static_cast<int64_t>(nb::len(keys_));
  }
  std::vector<RunMask> masks(int64_t pos) override {
    nb::gil_scoped_acquire gil;
    std::vector<RunMask> out;
    read_.clear();
    read_position_ = pos;
    read_paints_runs_ = true;
    for (const auto& [key, mask] :
         mask_entries(record(pos)["masks_dict"], "a mapping of mask keys to masks for \"masks_dict\"")) {
      DType dtype{};
      out.push_back(to_run_mask(mask, "masks_dict[" + to_text(nb::repr(key)) + "]", &dtype));
      read_paints_runs_ = read_paints_runs_ && paints_set_pixels(dtype);
      read_.emplace_back(key, mask);
    }
    return out;
  }

  /// Whether `items` are the very key and mask objects that masks(pos) read
  /// last, all of them masks whose drawing is that of their runs.
  bool drawn_as_read(int64_t pos, const std::vector<std::pair<nb::object, nb::object>>& items) const {
    if (pos != read_position_ || !read_paints_runs_ || items.size() != read_.size()) return false;
    for (size_t k = 0; k < items.size(); ++k)
      if (!items[k].first.is(read_[k].first) || !items[k].second.is(read_[k].second)) return false;
    return true;
  }
  std::string key_text(int64_t pos) override {
    nb::gil_scoped_acquire gil;
    return to_text(keys_[nb::int_(pos)]);
  }
  bool is_regular_last(int64_t pos) override {
    nb::gil_scoped_acquire gil;
    const int ne = PyObject_RichCompareBool(keys_[nb::int_(pos)].ptr(), nb::int_(599).ptr(), Py_NE);
    if (ne < 0) throw nb::python_error();
    return ne == 0;
  }

 private:
  nb::object records_, keys_;
  std::vector<std::pair<nb::object, nb::object>> read_;
  int64_t read_position_ = -1;
  bool read_paints_runs_ = false;
};

// The animals of a pen, as a whole number of at least 1.
int64_t pen_animals_of(nb::handle pen_animals) {
  if (PyBool_Check(pen_animals.ptr()) || !PyIndex_Check(pen_animals.ptr()))
    throw TypeError(expected_got("a whole number for pen_animals", py_type_name(pen_animals)));
  const int64_t n = to_integer(pen_animals, "pen_animals");
  if (n < 1) throw ValueError(expected_got("pen_animals of at least 1", std::to_string(n)));
  return n;
}

// Tracks left once `removed` (a sized collection of mask keys) are dropped
// from a pen of `pen_animals`.
int64_t tracks_left(nb::handle removed, int64_t pen_animals) {
  const Py_ssize_t n = PyObject_Length(removed.ptr());
  if (n < 0) throw nb::python_error();
  return pen_animals - static_cast<int64_t>(n);
}

// Removes the keys of `removed` from every record's "masks_dict" (the
// caller's own mappings), when at least one of them is truthy.
void remove_masks(nb::handle laste_frame, nb::handle removed) {
  bool any = false;
  for (nb::handle k : removed)
    if ((any = to_bool(k))) break;
  if (!any) return;
  for (const auto& [frame, record] : mapping_items(laste_frame, "a mapping of frame keys to frame records for laste_frame")) {
    nb::object masks = record["masks_dict"];
    size_t n = 0;
    for (nb::handle k : removed) {
      discard_mask(masks, k);
      if ((++n & 4095) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
  }
}

LastFrameOptions last_frame_options(nb::handle min_area, nb::handle max_attempts, int64_t n_track) {
  LastFrameOptions o;
  o.min_area = to_host_number(min_area, "min_area");
  o.max_attempts = to_host_number(max_attempts, "max_attempts", BigInt::Raise);
  o.n_track = n_track;
  o.min_area_text = to_text(min_area);
  o.max_attempts_text = to_text(max_attempts);
  return o;
}

nb::tuple find_best_laste_frame(nb::handle laste_frame, nb::handle min_area, nb::handle max_attempts,
                                nb::handle remove_stack_obs, nb::handle pen_animals) {
  const LastFrameOptions options =
      last_frame_options(min_area, max_attempts, tracks_left(remove_stack_obs, pen_animals_of(pen_animals)));
  remove_masks(laste_frame, remove_stack_obs);
  PyFrameRecords records(laste_frame);
  std::optional<LastFrame> best;
  {
    nb::gil_scoped_release release;
    best = find_best_last_frame(records, options);
  }
  if (!best) return nb::make_tuple(nb::none(), true);
  return nb::make_tuple(records.record(best->position), false);
}

// -------------------------------------------------------------- matcher

// img_bbx_drawing(image, the best frame's "masks_dict"), drawn without
// copying the frame. When the mapping still holds the very masks the search
// read, and they paint their set pixels, their runs are painted and boxed
// rather than their pixels read again.
nb::object best_frame_drawing(nb::handle image, PyFrameRecords& records, const LastFrame& best) {
  const auto items =
      mask_entries(records.record(best.position)["masks_dict"], "a mapping of mask keys to masks for mask_dict");
  if (!records.drawn_as_read(best.position, items)) return boxes_drawing(image, to_plane_dict(items, "mask_dict"));
  std::vector<std::string> keys;
  std::vector<const RunMask*> runs;
  for (size_t k = 0; k < items.size(); ++k) {
    keys.push_back(to_text(items[k].first));
    runs.push_back(&best.masks[k]);
  }
  return boxes_drawing(image, keys, runs);
}

nb::tuple matcher(nb::handle laste_frame, nb::handle frame_names, nb::handle ann_frame_idx, nb::object image_predictor,
                  nb::handle remove_stack_box, nb::handle min_area, nb::handle max_attempts, nb::handle display_func,
                  nb::handle pen_animals) {
  const nb::object removed = remove_stack_box.is_none() ? nb::object(nb::list()) : nb::borrow(remove_stack_box);
  const int64_t animals = pen_animals_of(pen_animals);
  MatcherOptions options;
  options.last = last_frame_options(min_area, max_attempts, tracks_left(removed, animals));
  options.frame_text = to_text(ann_frame_idx);
  const int64_t index = to_integer(ann_frame_idx, "ann_frame_idx");
  nb::list keep_box;
  for (int64_t k = 0; k < animals; ++k) {
    nb::str key(("Box" + std::to_string(k)).c_str());
    const int in = PySequence_Contains(removed.ptr(), key.ptr());
    if (in < 0) throw nb::python_error();
    if (!in) keep_box.append(key);
  }
  // A shallow copy: the records, and the removals made in them, are the caller's.
  nb::dict copy;
  for (const auto& [key, record] : mapping_items(laste_frame, "a mapping of frame keys to frame records for laste_frame"))
    copy[key] = record;
  remove_masks(copy, removed);
  PyFrameRecords records(copy);
  PyImagePredictor predictor(std::move(image_predictor));
  PilFrames frames(nb::borrow(frame_names), 0, nullptr, predictor);
  std::function<void(const LastFrame&)> display;
  if (!display_func.is_none()) {
    display = [&](const LastFrame& best) {
      nb::gil_scoped_acquire gil;
      display_func(best_frame_drawing(frames.image(), records, best));
    };
  }
  MatcherResult r;
  {
    nb::gil_scoped_release release;
    r = match_next_clip(records, [&] { return frames.open(index); }, predictor, options, display);
  }
  if (!r.accepted) return nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none(), true);
  nb::tuple shape = nb::make_tuple(r.mask_shape[0], r.mask_shape[1], r.mask_shape[2]);
  nb::object masks = numpy().attr("reshape")(predictor.last_masks(), shape);
  nb::list objects;
  for (int64_t k = 0; k < r.mask_shape[0]; ++k) objects.append("pig");
  return nb::make_tuple(masks, objects, keep_box, records.record(*r.best_position), false);
}

}  // namespace

void init_segment(nb::module_& m) {
  init_clip(m);
  // The pen size find_best_laste_frame counts on, for the health page's
  // account of the last-frame choice.
  m.attr("_PEN_ANIMALS") = kPenAnimals;
  m.def("process_gdino_results", &process_gdino_results, "gdino_results"_a, "target_label"_a = "pig",
        nb::sig("def process_gdino_results(gdino_results: collections.abc.Sequence[collections.abc.Mapping[str, "
                "typing.Any]], target_label: str = 'pig') -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
        R"(Reduces a detector result to the boxes of one label, in reading order.

The detections are sorted in reading order (y_min, then x_min; ties keep
their order) and those whose label equals target_label are kept; when no
label equals it, every detection is kept.

Args:
    gdino_results: The detector's post-processed result; element 0 is read:
        "scores" (N), "boxes" (N x 4, x_min, y_min, x_max, y_max in pixels)
        and the N label texts, from "text_labels" when it is there and from
        "labels" otherwise; arrays, tensors (copied to the host) or lists.
    target_label: The label to keep.

Returns:
    (filtered_boxes, filtered_scores, filtered_labels): numpy arrays aligned
    by position (K x 4 and K in the detector's dtypes, and K texts).

Raises:
    KeyError: A key is missing from element 0.
    TypeError: A label is not a text, or scores or boxes are not numeric.
)");

  m.def("initializer", &initializer, "video_dir"_a, "frame_names"_a, "processor"_a, "grounding_model"_a, "device"_a,
        "image_predictor"_a, "start_index"_a = 0, "step"_a = 10, "gdino_thr"_a = 0.25, "close_set_num"_a = 10,
        "custom_pen_json_path"_a = nb::none(),
        nb::sig("def initializer(video_dir: str | os.PathLike[str], frame_names: collections.abc.Sequence[str], "
                "processor: typing.Any, grounding_model: typing.Any, device: typing.Any, image_predictor: typing.Any, "
                "start_index: int = 0, step: int = 10, gdino_thr: float = 0.25, close_set_num: int = 10, "
                "custom_pen_json_path: str | os.PathLike[str] | None = None) -> "
                "tuple[numpy.ndarray, numpy.ndarray, int, PIL.Image.Image] | tuple[None, None, None, None]"),
        R"(Finds the first frame of a clip with exactly close_set_num animals and segments them.

Candidates are frame_names[start_index], [start_index + step], ... . On each,
the detector (processor and grounding_model, prompt "pig.", text threshold
gdino_thr) finds boxes, kept in reading order with the label "pig"; boxes
less than 40 % inside the pen polygon and boxes too large for their position
(area 1 500 000 above mid-height, 4 000 000 below) are dropped;
image_predictor segments the rest; of two masks overlapping by more than 8 %
of one, the lower-scored box goes. Progress is printed.

Args:
    video_dir: Clip folder; names the camera whose pen file is used.
    frame_names: Paths of the clip's frames, in order.
    processor: The detector's processor, called as
        processor(images=..., text="pig.", return_tensors="pt").
    grounding_model: The detector model, called as model(**inputs) under
        torch.no_grad().
    device: Where the detector inputs are moved (inputs.to(device)).
    image_predictor: The image predictor (set_image, predict).
    start_index: First candidate index (>= 0).
    step: Distance between candidates (> 0).
    gdino_thr: Text threshold of the detector's post-processing.
    close_set_num: Number of animals the accepted frame must hold.
    custom_pen_json_path: Pen polygon file to use instead of the camera's.

Returns:
    (masks, OBJECTS, ann_frame_idx, annotated_frame): the kept masks in the
    predictor's dtype (close_set_num x H x W; 1 x 1 x H x W when the
    predictor answered a single box with 1 x H x W), their labels as a numpy
    array of texts, the accepted frame index and an RGBA PIL image of the
    masks with their boxes and keys; (None, None, None, None) when no frame
    qualifies.

Raises:
    TypeError: No pen file for the clip's camera and no custom_pen_json_path
        (raised on the first frame with detections).
    ValueError: A negative start_index, a step that is not positive, or masks
        of a shape other than (1, H, W) for one box and (K, 1, H, W) for K
        boxes.
)");
  m.def("generate_sam2_image_features", &generate_sam2_image_features, "image"_a, "masks"_a, "image_predictor"_a,
        nb::sig("def generate_sam2_image_features(image: PIL.Image.Image | numpy.ndarray, "
                "masks: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray, image_predictor: typing.Any) "
                "-> list[torch.Tensor | None]"),
        "Extract SAM image features for masked regions in the input image.");

  m.def("get_gsam_annotation_data", &get_gsam_annotation_data, "video_dir"_a.none(), "last_or_not"_a.none() = false, "ixx"_a.none() = 0,
        "save_dir_base"_a.none() = "D:\\ToBeLabeled_20pigs\\GSAM2_output_2hr",
        nb::sig("def get_gsam_annotation_data(video_dir: str | os.PathLike[str] | None, last_or_not: bool = False, ixx: int = 0, "
                "save_dir_base: str | os.PathLike[str] = 'D:\\\\ToBeLabeled_20pigs\\\\GSAM2_output_2hr') -> "
                "tuple[dict[str, typing.Any], dict[int, dict[str, typing.Any]]] | "
                "tuple[dict[int, dict[str, typing.Any]], dict[int, dict[str, typing.Any]]] | tuple[None, None]"),
        R"(Load a tracked clip's annotation files into frame records.

The files are looked for in save_dir_base and every folder below it: the
folder's own files first, then its sub-folders in ascending name order,
recursively (symbolic links to folders are not followed). Of each folder's
files those named "<anything>_<digits>.json" are taken, ordered by the value
of the digits (equal values keep the folder listing's order). The frame size
is that of the image named by the first file's "image_path", as cv2.imread
reads it. Files are loaded in parallel, without the interpreter lock.

Each record is a dict with the keys, in this order: "frame_index" (the
number after "output_pp_" in the file's path), "masks_dict" ("Box<object id -
1>" -> H x W uint8 mask, 1 inside the animal, one per detection in file
order; a repeated key keeps its first place and its last mask), "mask_areas"
(same keys -> pixel count, int), "json_path", "image_path" (as stored) and,
in the full load only, "intersections_df" (the intersection_between_masks
table of the masks, a pandas DataFrame). The masks of a record are views of
one array that owns its memory. open_clip loads the same records with the
masks held compactly, for whole clips.

Args:
    video_dir: Accepted and not used.
    last_or_not: Accepted; the results are the same for both values.
    ixx: 0 or less loads every file, keyed by its position in the ordered
        list; a positive value loads only the file at that position.
    save_dir_base: Folder searched for annotation files.

Returns:
    (last_frame, gsam_annotation_data). Full load: the record of the last
    file and every record keyed 0, 1, ... . Single-frame load: the same
    one-entry dict {ixx: record} twice, or an empty dict twice when ixx is
    past the last file. (None, None) when no file is found, after printing
    "No JSON files found in <save_dir_base>. Please check the directory and
    try again.".

Raises:
    KeyError: a file without "image_path", "detections" or a detection's
        "formatted_polygon".
    TypeError: members of the wrong type (an "object_id" that is not an
        integer, a polygon that is not a text, ...); ixx not an integer.
    ValueError: malformed JSON, a polygon text with an odd number of
        values, values that are not numbers or whose pixel coordinates do
        not fit 32-bit integers, or a taken file whose path has no frame
        number after "output_pp_".
    FileNotFoundError, OSError: a file or the first file's image that
        cannot be read.
)");

  m.def("_open_clip", &open_clip, "save_dir_base"_a.none(), "threads"_a.none() = nb::none(),
        nb::sig("def _open_clip(save_dir_base: str | os.PathLike[str], threads: int | None = None) -> "
                "mirelo_utils._core._Clip | None"),
        "The records of mirelo_utils.open_clip: the files of get_gsam_annotation_data's walk loaded\n"
        "compactly (masks as runs, intersection tables), or None after its message when there is none.");

  m.def("find_best_laste_frame", &find_best_laste_frame, "laste_frame"_a.none(), "min_area"_a.none() = 10, "max_attempts"_a.none() = 10,
        "remove_stack_obs"_a.none() = nb::list(), nb::kw_only(), "pen_animals"_a.none() = kPenAnimals,
        nb::sig("def find_best_laste_frame(laste_frame: collections.abc.Mapping[typing.Any, typing.Any], "
                "min_area: float = 10, max_attempts: int = 10, remove_stack_obs: collections.abc.Sequence[str] = [], "
                "*, pen_animals: int = 10) -> tuple[typing.Any, bool]"),
        R"(Find the latest frame of a clip whose masks can start the next clip.

Frames are examined from the largest key backwards, at most max_attempts of
them. A frame is usable when every mask of its "masks_dict" has more than
min_area pixels, at least pen_animals - len(remove_stack_obs) masks are
non-empty and
no mask covers 50 % or more of another's area (the intersection_between_masks
table, counted on the masks' runs of pixels). A usable frame other than key
599 prints "Switched to frame key <key> due to small mask area in later
frames.". With none found, prints "No valid frame found with all masks area >
<min_area> in the last <max_attempts> frames for <n> tracks.".

When an entry of remove_stack_obs is truthy, its keys are first removed from
the "masks_dict" of every record: the caller's records change (their
"mask_areas" and "intersections_df" are left as they are); remove_stack_obs
itself is never changed.

Args:
    laste_frame: Frame key -> frame record (as get_gsam_annotation_data
        returns them); only each record's "masks_dict" is read.
    min_area: Pixels every mask must exceed.
    max_attempts: Frames examined, counted back from the last.
    remove_stack_obs: Mask keys to drop from every frame.
    pen_animals: Animals in the pen (a whole number >= 1).

Returns:
    (record, False) with the caller's own record of the frame found, or
    (None, True).

Raises:
    IndexError: the scan runs past the first frame (more attempts than
        frames, or an empty laste_frame).
    KeyError: a record without "masks_dict".
    ValueError: masks of different sizes in one frame, or masks that are
        not 2-D.
)");

  m.def("matcher", &matcher, "laste_frame"_a.none(), "frame_names"_a.none(), "ann_frame_idx"_a.none() = 0, "image_predictor"_a.none() = nb::none(),
        "remove_stack_box"_a.none() = nb::none(), "min_area"_a.none() = 10, "max_attempts"_a.none() = 10, "display_func"_a.none() = nb::none(),
        nb::kw_only(), "pen_animals"_a.none() = kPenAnimals,
        nb::sig("def matcher(laste_frame: collections.abc.Mapping[typing.Any, typing.Any], "
                "frame_names: collections.abc.Sequence[str | os.PathLike[str]], ann_frame_idx: int = 0, "
                "image_predictor: typing.Any = None, remove_stack_box: collections.abc.Sequence[str] | None = None, "
                "min_area: float = 10, max_attempts: int = 10, "
                "display_func: collections.abc.Callable[[PIL.Image.Image], object] | None = None, *, "
                "pen_animals: int = 10) -> "
                "tuple[numpy.ndarray, list[str], list[str], typing.Any, bool] | tuple[None, None, None, None, bool]"),
        R"(Carry the previous clip's animals over to a frame of the next clip.

Picks the previous clip's best last frame with find_best_laste_frame (on a
shallow copy of laste_frame: the removals of remove_stack_box reach the
caller's records), boxes each of its masks (smallest to largest column and
row of its non-zero pixels, inclusive) and prompts image_predictor with the
boxes on frame_names[ann_frame_idx], opened with Pillow:
set_image(RGB array), then predict(point_coords=None, point_labels=None,
box=boxes, multimask_output=False). Masks of shape (H, W) gain a leading
axis, (N, 1, H, W) lose axis 1. The new masks are accepted when no mask
covers more than 10 % of another's area, there is one per box and each has at
least min_area pixels. When display_func is given it is called once, whatever
the outcome, with img_bbx_drawing(new frame, best frame's "masks_dict").
Prints "ann_frame_idx [<i>] works for mask finding!!!" or "ann_frame_idx
[<i>] cannot work..\n" (a message ending in its own line break), or,
without a usable last frame, "Issue is from the laste frame, not enough
masks found.".

Args:
    laste_frame: The previous clip's frame records, frame key -> record.
    frame_names: Paths of the new clip's frames.
    ann_frame_idx: Index into frame_names of the frame to segment.
    image_predictor: The image predictor (set_image, predict).
    remove_stack_box: Track keys to drop before the hand-over (None: none).
    min_area: Pixels a mask of the last frame must exceed and a new mask
        must reach.
    max_attempts: Frames the last-frame search examines.
    display_func: Callable shown the drawing, or None.
    pen_animals: Animals in the pen (a whole number >= 1): the best last
        frame needs pen_animals - len(remove_stack_box) non-empty masks.

Returns:
    (masks, OBJECTS, keep_box, best_laste_frame, False) when accepted: the
    predictor's masks as an N x H x W numpy array of its dtype, ["pig"] * N,
    the keys "Box0" .. "Box<pen_animals - 1>" not in remove_stack_box, and
    the caller's record of the best last frame. (None, None, None, None, True) otherwise.

Raises:
    IndexError: the last-frame search runs past the first frame, or
        ann_frame_idx is outside frame_names.
    KeyError: a record without "masks_dict".
    ValueError: predictor masks of a shape other than (H, W), (N, H, W) or
        (N, 1, H, W); an empty mask in the best last frame.
    Errors of reading the image and of the predictor reach the caller.
)");
}

}  // namespace mirelo::py
