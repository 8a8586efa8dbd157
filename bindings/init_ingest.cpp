// Video ingest: the catalogue, the measurements of a recording and the frame
// extraction. The two record types are Python data classes
// (mirelo_utils._ingest) whose methods call the entry points of the private
// submodule `_ingest` defined here, passing the record itself so that the
// crop-window cache stays the caller's own mapping.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "convert.hpp"
#include "ingest/catalogue.hpp"
#include "ingest/extract.hpp"
#include "ingest/pen_region.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

CropWindow window_from(nb::handle value, nb::handle key) {
  const std::string where = "camera_crop_coords[" + to_text(nb::repr(key)) + "]";
  nb::object seq = nb::steal(PySequence_Fast(value.ptr(), ""));
  if (!seq.is_valid()) {
    PyErr_Clear();
    throw TypeError(expected_got("four integers (x1, y1, x2, y2) in " + where, py_type_name(value)));
  }
  if (PySequence_Fast_GET_SIZE(seq.ptr()) != 4)
    throw ValueError(expected_got("four integers (x1, y1, x2, y2) in " + where,
                                  std::to_string(PySequence_Fast_GET_SIZE(seq.ptr())) + " values"));
  PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
  return CropWindow{to_integer(items[0], where), to_integer(items[1], where), to_integer(items[2], where),
                    to_integer(items[3], where)};
}

// The cache entry of one camera: the caller's mapping, the camera as key.
// Called from the extraction with the interpreter lock released.
CameraWindowCache cache_entry(nb::handle coords, nb::handle key) {
  CameraWindowCache c;
  c.find = [coords, key]() -> std::optional<CropWindow> {
    nb::gil_scoped_acquire gil;
    const int has = PySequence_Contains(coords.ptr(), key.ptr());
    if (has < 0) throw nb::python_error();
    if (has == 0) return std::nullopt;
    return window_from(coords[key], key);
  };
  c.store = [coords, key](const CropWindow& w) {
    nb::gil_scoped_acquire gil;
    nb::object value = nb::make_tuple(nb::int_(w.x1), nb::int_(w.y1), nb::int_(w.x2), nb::int_(w.y2));
    if (PyObject_SetItem(coords.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
  };
  return c;
}

ExtractionSettings extraction_settings(nb::handle processor) {
  ExtractionSettings s;
  nb::object resize_dim = processor.attr("resize_dim");
  if (!resize_dim.is_none() && to_bool(resize_dim)) {
    const Py_ssize_t n = PyObject_Length(resize_dim.ptr());
    if (n < 0) throw nb::python_error();
    if (n < 2)
      throw IndexError(expected_got("resize_dim as (width, height)", to_text(nb::repr(resize_dim))));
    s.resize_height = to_integer(resize_dim[1], "resize_dim[1]");
  }
  s.frame_skip = to_host_number(processor.attr("frame_skip"), "frame_skip", BigInt::Raise);
  nb::object left = processor.attr("left_crop");
  if (to_bool(left)) {
    s.side = CropSide::Left;
  } else {
    nb::object equal_false = nb::steal(PyObject_RichCompare(left.ptr(), Py_False, Py_EQ));
    if (!equal_false.is_valid()) throw nb::python_error();
    s.side = to_bool(equal_false) ? CropSide::Right : CropSide::Keep;
  }
  return s;
}

nb::object find_orange_region_py(nb::handle frame) {
  nb::object keep;
  cv::Mat bgr = array_to_mat(frame, keep, "frame");
  if (bgr.channels() != 3 || nb::cast<size_t>(keep.attr("ndim")) != 3)
    throw ValueError(expected_got("a BGR frame of shape H x W x 3",
                                  "shape " + to_text(nb::repr(keep.attr("shape")))));
  std::optional<CropWindow> box;
  {
    nb::gil_scoped_release release;
    box = find_orange_region(bgr);
  }
  if (!box) return nb::none();
  return nb::make_tuple(nb::int_(box->x1), nb::int_(box->y1), nb::int_(box->x2), nb::int_(box->y2));
}

nb::object video_duration_py(nb::handle video_path) {
  const std::string path = to_path(video_path, "video_path");
  std::optional<double> minutes;
  {
    nb::gil_scoped_release release;
    minutes = video_duration_minutes(path);
  }
  if (!minutes) return nb::int_(0);
  return nb::float_(*minutes);
}

void crop_video_to_frames_py(nb::handle processor, nb::handle video_path, nb::handle output_dir,
                             nb::handle start_min, nb::handle end_min, nb::handle camera_number, nb::handle crop) {
  WindowRequest req;
  req.video_path = to_path(video_path, "video_path");
  req.output_dir = to_path(output_dir, "output_dir");
  req.start_min = to_host_number(start_min, "start_min", BigInt::Raise);
  req.end_min = to_host_number(end_min, "end_min", BigInt::Raise);
  req.camera_label = to_fs_text(camera_number);
  req.crop = to_bool(crop);
  const ExtractionSettings settings = extraction_settings(processor);
  nb::object coords = processor.attr("camera_crop_coords");
  const CameraWindowCache cache = cache_entry(coords, camera_number);
  nb::gil_scoped_release release;
  crop_video_to_frames(req, settings, cache);
}

void process_videos_to_frames_py(nb::handle processor, nb::handle df) {
  RunSettings s;
  s.extraction = extraction_settings(processor);
  s.time_step = to_host_number(processor.attr("time_step"), "time_step", BigInt::Raise);
  s.output_dir_base = to_fs_text(processor.attr("output_dir_base"));
  s.crop = to_bool(processor.attr("crop"));
  s.left_folder = to_bool(processor.attr("left_crop"));
  nb::object coords = processor.attr("camera_crop_coords");

  // The rows are read ahead; one that cannot be read ends the run after the
  // rows before it, as a row-by-row run would.
  std::vector<VideoRow> rows;
  std::vector<nb::object> cameras;  // the cache keys, alive for the whole run
  std::exception_ptr bad_row;
  for (nb::handle item : df.attr("iterrows")()) {
    try {
      nb::object row = item[1];
      VideoRow r;
      r.video_name = to_fs_text(row["Video Name"]);
      r.file_path = to_path(row["File Path"], "\"File Path\"");
      r.date = to_fs_text(row["Date"]);
      nb::object camera = row["Camera Number"];
      r.camera_label = to_fs_text(camera);
      rows.push_back(std::move(r));
      cameras.push_back(std::move(camera));
    } catch (...) {
      bad_row = std::current_exception();
      break;
    }
  }
  {
    nb::gil_scoped_release release;
    process_videos_to_frames(rows, s, [&](size_t i) { return cache_entry(coords, cameras[i]); });
  }
  if (bad_row) std::rethrow_exception(bad_row);
}

nb::object filtered_video_dataframe(nb::handle record) {
  const std::string base_dir = to_path(record.attr("base_dir"), "base_dir");
  std::vector<std::string> sub_dirs;
  for (nb::handle sub : record.attr("sub_dirs")) sub_dirs.push_back(to_path(sub, "an entry of sub_dirs"));
  CatalogueFilter filter;
  filter.filter_start = to_utf8(record.attr("filter_start"), "filter_start");
  filter.filter_end = to_utf8(record.attr("filter_end"), "filter_end");
  filter.sample_step = to_integer(record.attr("sample_step"), "sample_step");
  filter.top_n = to_integer(record.attr("top_n"), "top_n");
  nb::object camera = record.attr("camera_number");
  if (PyUnicode_Check(camera.ptr()))
    filter.camera_number = utf8_of(camera);
  else if (!camera.is_none())
    filter.camera_never_matches = true;  // a text column never equals a non-text value
  const std::string pattern = to_utf8(record.attr("match_pattern"), "match_pattern");

  std::vector<VideoRecord> records;
  std::vector<int64_t> kept;
  {
    nb::gil_scoped_release release;
    const RecordingPattern compiled(pattern);
    for (const std::string& path : collect_recordings(base_dir, sub_dirs))
      if (std::optional<VideoRecord> r = compiled.parse(path)) records.push_back(std::move(*r));
    kept = filter_catalogue(records, filter);
  }

  nb::list rows;
  for (const VideoRecord& r : records) {
    nb::list cells;
    cells.append(path_str(r.camera_number));
    cells.append(path_str(r.date));
    cells.append(path_str(r.time));
    cells.append(path_str(r.file_path));
    cells.append(path_str(r.video_name));
    rows.append(cells);
  }
  nb::list columns;
  for (const char* c : {"Camera Number", "Date", "Time", "File Path", "Video Name"}) columns.append(nb::str(c));
  nb::list positions;
  for (int64_t p : kept) positions.append(nb::int_(p));
  nb::object table = pandas().attr("DataFrame")(rows, "columns"_a = columns).attr("iloc")[positions];
  nb::list paths;
  for (int64_t p : kept) paths.append(rows[static_cast<size_t>(p)][3]);
  print_line(to_text(nb::repr(paths)));
  return table;
}

nb::list list_all_files_py(nb::handle directory, nb::handle ext) {
  const std::string dir = to_path(directory, "directory");
  std::vector<std::string> suffixes;
  if (!ext.is_none()) {
    if (PyUnicode_Check(ext.ptr())) {
      suffixes.push_back(to_fs_text(ext));
    } else if (PyTuple_Check(ext.ptr())) {
      for (nb::handle e : ext) {
        if (!PyUnicode_Check(e.ptr()))
          throw TypeError(expected_got("a text suffix in ext", py_type_name(e)));
        suffixes.push_back(to_fs_text(e));
      }
      // An empty tuple selects no name.
      if (suffixes.empty()) return nb::list();
    } else {
      throw TypeError(expected_got("ext as None, a text or a tuple of texts", py_type_name(ext)));
    }
  }
  std::vector<std::string> files;
  {
    nb::gil_scoped_release release;
    files = list_all_files(dir, suffixes);
  }
  nb::list out;
  for (const auto& f : files) out.append(path_str(f));
  return out;
}

}  // namespace

void init_ingest(nb::module_& m) {
  m.def("list_all_files", &list_all_files_py, "directory"_a.none(), "ext"_a.none() = nb::none(),
        nb::sig("def list_all_files(directory: str | os.PathLike[str], ext: str | tuple[str, ...] | None = None) "
                "-> list[str]"),
        R"(Lists the files under a folder, recursively, in a fixed order.

Args:
    directory: Folder to walk.
    ext: When given, only names ending with it (case-sensitive, e.g. ".jpg");
        a tuple of suffixes accepts any of them.

Returns:
    Full paths (the folder joined with each name): a folder's own files in
    ascending name order, then each sub-folder's files, sub-folders taken in
    ascending name order. Symbolic links to folders are not followed. A
    missing or unreadable folder contributes nothing.

Raises:
    TypeError: directory is not a path, or ext not a text or tuple of texts.
    ValueError: directory holds a null character.
)");

  nb::module_ ing = m.def_submodule("_ingest", "Entry points of the video ingest records.");
  // Every argument is the caller's value as given, None included; the
  // entry points check types themselves to name the argument in the error.
  // The records' methods (mirelo_utils._ingest) document them.
  ing.def("filtered_video_dataframe", &filtered_video_dataframe, "record"_a,
          nb::sig("def filtered_video_dataframe(record: mirelo_utils._ingest.VideoMetadata) -> pandas.DataFrame"),
          "The table of VideoMetadata.get_filtered_video_dataframe.");
  ing.def("find_orange_region", &find_orange_region_py, "frame"_a.none(),
          nb::sig("def find_orange_region(frame: numpy.ndarray) -> tuple[int, int, int, int] | None"),
          "The box of VideoProcessor.find_orange_region.");
  ing.def("video_duration", &video_duration_py, "video_path"_a.none(),
          nb::sig("def video_duration(video_path: str | os.PathLike[str]) -> float"),
          "The minutes of VideoProcessor.get_video_duration.");
  ing.def("crop_video_to_frames", &crop_video_to_frames_py, "processor"_a, "video_path"_a.none(),
          "output_dir"_a.none(), "start_min"_a.none(), "end_min"_a.none(), "camera_number"_a.none(),
          "crop"_a.none(),
          nb::sig("def crop_video_to_frames(processor: mirelo_utils._ingest.VideoProcessor, "
                  "video_path: str | os.PathLike[str], output_dir: str | os.PathLike[str], start_min: float, "
                  "end_min: float, camera_number: typing.Any, crop: bool) -> None"),
          "The window extraction of VideoProcessor.crop_video_to_frames.");
  ing.def("process_videos_to_frames", &process_videos_to_frames_py, "processor"_a, "df"_a.none(),
          nb::sig("def process_videos_to_frames(processor: mirelo_utils._ingest.VideoProcessor, "
                  "df: pandas.DataFrame) -> None"),
          "The run of VideoProcessor.process_videos_to_frames.");
}

}  // namespace mirelo::py
