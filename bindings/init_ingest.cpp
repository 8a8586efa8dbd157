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

CropWindow window_from(nb::handle value, const std::string& where) {
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
    return window_from(coords[key], "camera_crop_coords[" + to_text(nb::repr(key)) + "]");
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

// The settings of a run over a video table, read from the record's fields.
RunSettings run_settings_of(nb::handle processor) {
  RunSettings s;
  s.extraction = extraction_settings(processor);
  s.time_step = to_host_number(processor.attr("time_step"), "time_step", BigInt::Raise);
  s.output_dir_base = to_fs_text(processor.attr("output_dir_base"));
  s.crop = to_bool(processor.attr("crop"));
  s.left_folder = to_bool(processor.attr("left_crop"));
  return s;
}

// The columns of one row of the video table (a pandas Series).
VideoRow video_row_of(nb::handle row) {
  VideoRow r;
  r.video_name = to_fs_text(row["Video Name"]);
  r.file_path = to_path(row["File Path"], "\"File Path\"");
  r.date = to_fs_text(row["Date"]);
  r.camera_label = to_fs_text(row["Camera Number"]);
  return r;
}

void process_videos_to_frames_py(nb::handle processor, nb::handle df) {
  const RunSettings s = run_settings_of(processor);
  nb::object coords = processor.attr("camera_crop_coords");

  // The rows are read ahead; one that cannot be read ends the run after the
  // rows before it, as a row-by-row run would.
  std::vector<VideoRow> rows;
  std::vector<nb::object> cameras;  // the cache keys, alive for the whole run
  std::exception_ptr bad_row;
  for (nb::handle item : df.attr("iterrows")()) {
    try {
      nb::object row = item[1];
      rows.push_back(video_row_of(row));
      cameras.push_back(row["Camera Number"]);
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

// ---------------------------------------------------------------------------
// Single windows, for runs spread over a cluster (mirelo_utils._dask): the
// caller reads the settings and rows once into named values, which the
// package keeps as records (RunSettings, VideoRow) that travel to the
// workers, which plan a recording's windows and run single windows. The
// lines a call prints are appended to the caller's list instead, also when
// the call fails.

nb::dict settings_values(const RunSettings& s) {
  const ExtractionSettings& e = s.extraction;
  const char* side = e.side == CropSide::Left ? "left" : e.side == CropSide::Right ? "right" : "keep";
  nb::dict d;
  d["resize_height"] = e.resize_height ? nb::object(nb::int_(*e.resize_height)) : nb::none();
  d["frame_skip"] = host_number_to_py(e.frame_skip);
  d["crop_side"] = nb::str(side);
  d["time_step"] = host_number_to_py(s.time_step);
  d["output_dir_base"] = path_str(s.output_dir_base);
  d["crop"] = nb::bool_(s.crop);
  d["left_folder"] = nb::bool_(s.left_folder);
  return d;
}

RunSettings settings_from(nb::handle record) {
  RunSettings s;
  nb::object resize_height = record.attr("resize_height");
  if (!resize_height.is_none()) s.extraction.resize_height = to_integer(resize_height, "resize_dim[1]");
  s.extraction.frame_skip = to_host_number(record.attr("frame_skip"), "frame_skip", BigInt::Raise);
  const std::string side = to_utf8(record.attr("crop_side"), "the crop side");
  if (side == "left") {
    s.extraction.side = CropSide::Left;
  } else if (side == "right") {
    s.extraction.side = CropSide::Right;
  } else if (side == "keep") {
    s.extraction.side = CropSide::Keep;
  } else {
    throw ValueError(expected_got("the crop side \"left\", \"right\" or \"keep\"", repr_text(side)));
  }
  s.time_step = to_host_number(record.attr("time_step"), "time_step", BigInt::Raise);
  s.output_dir_base = to_path(record.attr("output_dir_base"), "output_dir_base");
  s.crop = to_bool(record.attr("crop"));
  s.left_folder = to_bool(record.attr("left_folder"));
  return s;
}

nb::dict row_values(const VideoRow& r) {
  nb::dict d;
  d["video_name"] = path_str(r.video_name);
  d["file_path"] = path_str(r.file_path);
  d["date"] = path_str(r.date);
  d["camera_number"] = path_str(r.camera_label);
  return d;
}

VideoRow row_from(nb::handle record) {
  VideoRow r;
  r.video_name = to_path(record.attr("video_name"), "\"Video Name\"");
  r.file_path = to_path(record.attr("file_path"), "\"File Path\"");
  r.date = to_path(record.attr("date"), "\"Date\"");
  r.camera_label = to_path(record.attr("camera_number"), "\"Camera Number\"");
  return r;
}

// Runs `work` without the interpreter lock, its printed lines appended to
// `lines` (a list), whether it returns or throws.
template <class Work>
auto with_captured_lines(nb::handle lines, Work&& work) {
  if (!PyList_Check(lines.ptr())) throw TypeError(expected_got("a list for the printed lines", py_type_name(lines)));
  MessageCapture capture;
  auto append = [&] {
    for (const std::string& l : capture.take())
      if (PyList_Append(lines.ptr(), console_text(l).ptr()) != 0) throw nb::python_error();
  };
  try {
    auto result = [&] {
      nb::gil_scoped_release release;
      return work();
    }();
    append();
    return result;
  } catch (...) {
    append();
    throw;
  }
}

nb::tuple window_tuple(const CropWindow& w) {
  return nb::make_tuple(nb::int_(w.x1), nb::int_(w.y1), nb::int_(w.x2), nb::int_(w.y2));
}

nb::tuple read_crop_window(nb::handle value, nb::handle camera) {
  return window_tuple(window_from(value, "camera_crop_coords[" + to_text(nb::repr(camera)) + "]"));
}

nb::dict read_run_settings(nb::handle processor) { return settings_values(run_settings_of(processor)); }

nb::dict read_video_row(nb::handle row) { return row_values(video_row_of(row)); }

// The windows of one recording: [(start, end, folder), ...].
nb::list plan_recording(nb::handle settings, nb::handle row, nb::handle lines, int64_t max_windows) {
  const RunSettings s = settings_from(settings);
  const VideoRow r = row_from(row);
  struct Planned {
    HostNumber start, end;
    std::string folder;
  };
  std::vector<Planned> windows = with_captured_lines(lines, [&] {
    std::vector<Planned> out;
    if (const std::string refusal = row_outside_base_error(s, r); !refusal.empty()) {
      print_line(refusal);
      return out;
    }
    const std::optional<double> duration = video_duration_minutes(r.file_path);
    const HostNumber total = duration ? HostNumber::real(*duration) : HostNumber::integer(0);
    for_each_window(total, s.time_step, [&](const HostNumber& start, const HostNumber& end) {
      if (static_cast<int64_t>(out.size()) >= max_windows)
        throw ValueError(expected_got("at most " + std::to_string(max_windows) + " windows in " +
                                          repr_text(r.file_path),
                                      "more with a time_step of " + s.time_step.text() + " minutes"));
      out.push_back({start, end, window_folder(s, r, start, end)});
    });
    return out;
  });
  nb::list out;
  for (const Planned& w : windows)
    out.append(nb::make_tuple(host_number_to_py(w.start), host_number_to_py(w.end), path_str(w.folder)));
  return out;
}

const char* outcome_name(const WindowRun& run) {
  if (run.skipped) return "skipped";
  switch (run.result.outcome) {
    case WindowOutcome::Completed:
      return "saved";
    case WindowOutcome::NotOpened:
      return "not opened";
    case WindowOutcome::NoFirstFrame:
      return "no first frame";
    case WindowOutcome::NoOrangeRegion:
      return "no orange region";
  }
  return "saved";
}

// One window: (status, images saved, crop window chosen or None).
nb::tuple run_window_py(nb::handle settings, nb::handle row, nb::handle start_min, nb::handle end_min,
                        nb::handle crop_window, bool detect_only, int encode_threads, nb::handle lines) {
  RunSettings s = settings_from(settings);
  if (encode_threads < 0)
    throw ValueError(expected_got("encode_threads of at least 0", std::to_string(encode_threads)));
  s.extraction.encode_threads = encode_threads;
  const VideoRow r = row_from(row);
  const HostNumber start = to_host_number(start_min, "start_min", BigInt::Raise);
  const HostNumber end = to_host_number(end_min, "end_min", BigInt::Raise);
  std::optional<CropWindow> window;
  if (!crop_window.is_none()) window = window_from(crop_window, "the crop window");
  CameraWindowCache cache;
  cache.find = [&window] { return window; };
  cache.store = [&window](const CropWindow& w) { window = w; };
  const WindowRun run = with_captured_lines(lines, [&] { return run_window(r, s, start, end, cache, detect_only); });
  nb::object chosen = nb::none();
  if (window && !run.skipped && run.result.outcome == WindowOutcome::Completed && s.crop) chosen = window_tuple(*window);
  return nb::make_tuple(nb::str(outcome_name(run)), nb::int_(run.result.saved), chosen);
}

// File-name patterns are the host's regular expressions, so the host's own
// engine matches them: every spelling the caller may use means what it means
// in a script.
nb::object recording_pattern(const nb::object& pattern) {
  const nb::module_ re = nb::module_::import_("re");
  nb::object compiled;
  try {
    compiled = re.attr("compile")(pattern);
  } catch (nb::python_error& e) {
    if (!e.matches(re.attr("error"))) throw;
    throw ValueError("invalid match_pattern " + to_text(nb::repr(pattern)) + ": " + to_text(nb::str(e.value())));
  }
  const int64_t groups = to_integer(compiled.attr("groups"), "the pattern's group count");
  if (groups < 4)
    throw ValueError(expected_got("a match_pattern with groups 1 (camera number), 3 (date) and 4 (time)",
                                  std::to_string(groups) + " group" + (groups == 1 ? "" : "s") + " in " +
                                      to_text(nb::repr(pattern))));
  return compiled;
}

// The row of the recording at `path` when the start of its file name
// matches `compiled`; groups 1, 3 and 4 must have taken part in the match.
std::optional<VideoRecord> match_recording(const nb::object& compiled, const nb::object& pattern,
                                           const std::string& path) {
  const nb::str name = path_str(file_name_of(path));
  const nb::object match = compiled.attr("match")(name);
  if (match.is_none()) return std::nullopt;
  auto group = [&](int g) {
    const nb::object text = match.attr("group")(g);
    if (text.is_none())
      throw ValueError("group " + std::to_string(g) + " of match_pattern " + to_text(nb::repr(pattern)) +
                       " took no part in the match of " + to_text(nb::repr(name)));
    return to_fs_text(text);
  };
  std::string camera = group(1), date = group(3);
  return recording_row(path, std::move(camera), std::move(date), group(4));
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
  const nb::object pattern = record.attr("match_pattern");
  to_utf8(pattern, "match_pattern");
  const nb::object compiled = recording_pattern(pattern);

  std::vector<std::string> found;
  {
    nb::gil_scoped_release release;
    found = collect_recordings(base_dir, sub_dirs);
  }
  std::vector<VideoRecord> records;
  for (const std::string& path : found)
    if (std::optional<VideoRecord> r = match_recording(compiled, pattern, path)) records.push_back(std::move(*r));
  const std::vector<int64_t> kept = filter_catalogue(records, filter);

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
  ing.def("run_settings", &read_run_settings, "processor"_a,
          nb::sig("def run_settings(processor: mirelo_utils._ingest.VideoProcessor) -> dict[str, typing.Any]"),
          "The record's settings of a run by name (resize_height, frame_skip, crop_side, time_step, "
          "output_dir_base, crop, left_folder): the fields of mirelo_utils._dask.RunSettings.");
  ing.def("crop_window", &read_crop_window, "value"_a.none(), "camera"_a.none(),
          nb::sig("def crop_window(value: typing.Any, camera: typing.Any) -> tuple[int, int, int, int]"),
          "A cached crop window as four ints, checked as the extraction checks camera_crop_coords[camera].");
  ing.def("video_row", &read_video_row, "row"_a.none(),
          nb::sig("def video_row(row: pandas.Series) -> dict[str, str]"),
          "The columns of a video-table row a run reads, by name (video_name, file_path, date, camera_number as "
          "printed): the fields of mirelo_utils._dask.VideoRow.");
  ing.def("plan_recording", &plan_recording, "settings"_a.none(), "row"_a.none(), "lines"_a.none(),
          "max_windows"_a,
          nb::sig("def plan_recording(settings: mirelo_utils._dask.RunSettings, row: mirelo_utils._dask.VideoRow, "
                  "lines: list[str], max_windows: int) -> list[tuple[float, float, str]]"),
          "The windows (start, end, folder) of one recording of a run; the printed lines go to `lines`.");
  ing.def("run_window", &run_window_py, "settings"_a.none(), "row"_a.none(), "start_min"_a.none(),
          "end_min"_a.none(), "crop_window"_a.none(), "detect_only"_a, "encode_threads"_a, "lines"_a.none(),
          nb::sig("def run_window(settings: mirelo_utils._dask.RunSettings, row: mirelo_utils._dask.VideoRow, "
                  "start_min: float, end_min: float, crop_window: tuple[int, int, int, int] | None, "
                  "detect_only: bool, encode_threads: int, lines: list[str]) -> "
                  "tuple[str, int, tuple[int, int, int, int] | None]"),
          "One window of a run: (status, images saved, crop window chosen); JPEG encoding on `encode_threads` "
          "threads (0: one per core, at most 4); the printed lines go to `lines`.");
}

}  // namespace mirelo::py
