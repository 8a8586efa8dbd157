// Track quality control: the tracking question report, the masks to drop
// before a hand-over, the overlap-episode analysis, and the entry points of
// the mask refinement class (mirelo_utils._qc.Mask_Refinement), which hands
// itself in so that its tuning attributes are read at each use and its
// prev_centroids stays the caller's own mapping.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "clip.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/runtime.hpp"
#include "convert.hpp"
#include "models.hpp"
#include "pen/pen.hpp"
#include "pen_support.hpp"
#include "qc/overlap_analysis.hpp"
#include "qc/refine.hpp"
#include "qc/report.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

// The area of a mask key; a missing key raises KeyError(key), as the
// mapping raises it, once the key has shown that it has a text form.
nb::object area_of(nb::handle areas, nb::handle key) {
  PyObject* v = PyObject_GetItem(areas.ptr(), key.ptr());
  if (v) return nb::steal(v);
  nb::python_error missing;
  if (missing.matches(PyExc_KeyError)) (void)to_text(nb::repr(key));
  throw missing;
}

// A host value as a report field: integers (numpy ones too) as integers,
// reals as reals, None absent, texts as they are, anything else as str().
CsvField csv_field_of(nb::handle v) {
  if (v.is_none()) return CsvField::empty();
  if (PyBool_Check(v.ptr()) || PyUnicode_Check(v.ptr())) return CsvField::of(to_text(v));
  if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()) || nb::isinstance(v, numpy().attr("integer")) ||
      nb::isinstance(v, numpy().attr("floating")))
    return CsvField::of(to_host_number(v, "a report value"));
  return CsvField::of(to_text(v));
}

// ---------------------------------------------------------------- report

// A record's "mask_areas" mapping. A record of an opened clip that has not
// handed its areas out gives them from its runs (a new dict).
nb::object areas_of(nb::handle record, const std::optional<ClipRecordRef>& clip) {
  if (clip && !clip->handed("mask_areas")) return clip->areas();
  return get_field(record, "mask_areas");
}

// A record's "intersections_df": its cells and, for a table the caller
// holds, the table itself (its labels are read from it); a record of an
// opened clip that has not handed its table out gives the cells of its runs
// and its mask keys.
struct FrameTable {
  NDArray cells;
  nb::object table, keys;

  std::pair<nb::list, nb::list> labels() const {
    if (!table.is_valid()) return {nb::borrow<nb::list>(keys), nb::borrow<nb::list>(keys)};
    return {to_list(table.attr("index")), to_list(table.attr("columns"))};
  }
};

FrameTable table_of(nb::handle record, nb::handle field, const std::optional<ClipRecordRef>& clip,
                    const std::function<std::string()>& where) {
  FrameTable t;
  if (clip && !clip->handed("intersections_df")) {
    const auto n = static_cast<int64_t>(clip->record->keys.size());
    t.cells = NDArray(DType::Float64, {n, n});
    if (n > 0) std::memcpy(t.cells.bytes.data(), clip->record->table.data(), t.cells.bytes.size());
    t.keys = clip->keys();
    return t;
  }
  t.table = get_item(record, field);
  t.cells = frame_cells(t.table, [&] { return field_name(where(), "intersections_df"); });
  return t;
}

// What the report keeps of a frame record besides what the core reads: its
// key, its "mask_areas" mapping and items, and its table's labels.
struct HostFrame {
  nb::object key, areas;
  std::vector<std::pair<nb::object, nb::object>> items;
  FrameTable table;
};

// The host's values of a report row's fields, looked up once: the table,
// the zero-area dicts and the CSV are all made from them.
struct HostRow {
  nb::object frame_id, pair, area1, area2, box_id, mask_area;
};

nb::object field_value(const ReportRow& row, const HostRow& host, ReportField field) {
  if (!has_field(row, field)) return nb::none();
  switch (field) {
    case ReportField::FrameId: return host.frame_id;
    case ReportField::BoxPair: return host.pair;
    case ReportField::IntersectionValue: return host_number_to_py(row.value);
    case ReportField::MaskArea1: return host.area1;
    case ReportField::MaskArea2: return host.area2;
    case ReportField::ReportType: return nb::str(report_type(row.kind));
    case ReportField::BoxId: return host.box_id;
    case ReportField::MaskAreas: return host.mask_area;
  }
  return nb::none();
}

// The host's values of every row. The labels of a frame's table are read
// when its first row needs them; a label missing from "mask_areas" raises
// the mapping's KeyError.
std::vector<HostRow> host_rows(const TrackingReport& report, std::vector<HostFrame>& frames) {
  std::vector<HostRow> out;
  out.reserve(report.rows.size());
  nb::str pair_format("{}-{}");
  int64_t labelled = -1;
  nb::list row_keys, col_keys;
  for (const ReportRow& row : report.rows) {
    HostFrame& f = frames[static_cast<size_t>(row.frame)];
    HostRow h;
    h.frame_id = f.key;
    if (row.kind == ReportKind::ZeroArea) {
      h.box_id = f.items[static_cast<size_t>(row.mask)].first;
      h.mask_area = f.items[static_cast<size_t>(row.mask)].second;
      out.push_back(std::move(h));
      continue;
    }
    if (row.frame != labelled) {
      std::tie(row_keys, col_keys) = f.table.labels();
      const NDArray& cells = f.table.cells;
      if (static_cast<int64_t>(nb::len(row_keys)) != cells.shape[0] ||
          static_cast<int64_t>(nb::len(col_keys)) != cells.shape[1])
        throw ValueError(expected_got(
            "row and column labels for every cell of " +
                field_name(item_name("gsam_annotation_data", f.key), "intersections_df"),
            std::to_string(nb::len(row_keys)) + " x " + std::to_string(nb::len(col_keys)) + " labels for " +
                cells.shape_text() + " cells"));
      labelled = row.frame;
    }
    nb::object key_row = row_keys[static_cast<size_t>(row.row)];
    nb::object key_col = col_keys[static_cast<size_t>(row.column)];
    h.area1 = area_of(f.areas, key_row);
    h.area2 = area_of(f.areas, key_col);
    h.pair = pair_format.attr("format")(key_row, key_col);
    out.push_back(std::move(h));
  }
  return out;
}

// The report's columns over rows [begin, end), as host values.
std::vector<nb::list> report_columns(const TrackingReport& report, const std::vector<HostRow>& hosts, size_t begin,
                                     size_t end) {
  std::vector<nb::list> out;
  for (const ReportColumn& c : kReportColumns) {
    nb::list column;
    for (size_t i = begin; i < end; ++i) column.append(field_value(report.rows[i], hosts[i], c.field));
    out.push_back(std::move(column));
  }
  return out;
}

// Whether pandas gives every column of a table made of any run of these
// rows the type it gives the column of all of them: each column holds
// values of one plain kind only (ints within 64 bits, floats, texts or
// Nones), from which pandas infers one type whatever their number.
bool one_kind_per_column(const std::vector<nb::list>& columns) {
  for (const nb::list& column : columns) {
    const size_t n = nb::len(column);
    if (n == 0) continue;
    PyTypeObject* kind = Py_TYPE(column[0].ptr());
    if (kind != &PyLong_Type && kind != &PyFloat_Type && kind != &PyUnicode_Type && kind != Py_TYPE(Py_None))
      return false;
    for (size_t i = 0; i < n; ++i) {
      PyObject* v = column[i].ptr();
      if (Py_TYPE(v) != kind) return false;
      if (kind == &PyLong_Type) {
        int overflow = 0;
        (void)PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0) return false;
      }
    }
  }
  return true;
}

// The report's two tables: all high-overlap rows, and those of the last
// overlap frame, each as DataFrame(columns) would make it. The second is
// cut from the first where that gives the same table (pandas spends far
// longer making a table than cutting one).
std::pair<nb::object, nb::object> report_tables(const TrackingReport& report, const std::vector<HostRow>& hosts) {
  std::vector<std::string> names;
  for (const ReportColumn& c : kReportColumns) names.emplace_back(c.name);
  const std::vector<nb::list> all = report_columns(report, hosts, 0, report.overlap_rows);
  nb::object all_rows = columns_frame(names, all);
  if (report.last_frame_start == 0) return {all_rows, all_rows.attr("copy")()};
  if (one_kind_per_column(all)) {
    nb::object cut = all_rows.attr("iloc")[nb::slice(nb::int_(report.last_frame_start), nb::int_(report.overlap_rows),
                                                     nb::none())];
    return {all_rows, cut.attr("reset_index")("drop"_a = true)};
  }
  return {all_rows, columns_frame(names, report_columns(report, hosts, report.last_frame_start, report.overlap_rows))};
}

nb::tuple generate_tracking_report(nb::handle data, nb::handle save_dir_base, nb::handle intersection_thrr) {
  const HostNumber threshold = to_host_number(intersection_thrr, "intersection_thrr");
  const nb::str areas_field("mask_areas"), table_field("intersections_df");
  const auto records = mapping_items(data, "a mapping of frame keys to frame records for gsam_annotation_data");
  std::vector<HostFrame> hosts;
  std::vector<ReportFrame> frames;
  hosts.reserve(records.size());
  frames.reserve(records.size());
  for (auto& [key, record] : records) {
    const auto where = [&key] { return item_name("gsam_annotation_data", key); };
    const std::optional<ClipRecordRef> clip = clip_record_of(record);
    HostFrame& host = hosts.emplace_back();
    ReportFrame& frame = frames.emplace_back();
    host.key = key;
    host.areas = clip && !clip->handed("mask_areas") ? clip->areas() : get_item(record, areas_field);
    if (!is_mapping(host.areas))
      throw TypeError(expected_got("a mapping of mask keys to areas for " + field_name(where(), "mask_areas"),
                                   py_type_name(host.areas)));
    host.items = mapping_items(host.areas, {});
    frame.areas.reserve(host.items.size());
    for (const auto& [box_key, area] : host.items)
      frame.areas.push_back(to_host_number(area, [&] { return item_name(field_name(where(), "mask_areas"), box_key); }));
    host.table = table_of(record, table_field, clip, where);
    frame.cells = std::move(host.table.cells);
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
  TrackingReport report;
  {
    nb::gil_scoped_release release;
    report = tracking_report(frames, threshold);
  }
  for (size_t f = 0; f < frames.size(); ++f) hosts[f].table.cells = std::move(frames[f].cells);

  nb::list zero_area_frames, overlap_frames;
  for (int64_t f : report.overlap_frames) overlap_frames.append(hosts[static_cast<size_t>(f)].key);
  if (report.rows.empty()) {
    auto [all_rows, last_rows] = report_tables(report, {});
    return nb::make_tuple(all_rows, zero_area_frames, overlap_frames, last_rows);
  }
  print_line("Generating tracking question report...\n");
  const std::vector<HostRow> values = host_rows(report, hosts);
  for (size_t i = report.overlap_rows; i < report.rows.size(); ++i) {
    nb::dict row;
    for (const ReportColumn& c : kReportColumns) row[c.name] = field_value(report.rows[i], values[i], c.field);
    zero_area_frames.append(row);
  }
  const std::string text = report_csv(report.rows, [&](size_t i, ReportField field) {
    return csv_field_of(field_value(report.rows[i], values[i], field));
  });
  const std::string path = report_path(to_path(save_dir_base, "save_dir_base"));
  {
    nb::gil_scoped_release release;
    write_file_atomically(path, text);
  }
  print_line("Tracking question report saved to " + path);
  auto [overlap_frames_data, box_keys_df] = report_tables(report, values);
  return nb::make_tuple(overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df);
}

nb::list find_boxes_with_small_area_from_last_video(nb::handle laste_frame, nb::handle min_frame_id,
                                                    nb::handle area_threshold, nb::handle min_count) {
  const HostNumber min_id = to_host_number(min_frame_id, "min_frame_id");
  const HostNumber threshold = to_host_number(area_threshold, "area_threshold");
  const HostNumber count = to_host_number(min_count, "min_count");
  // Keys are told apart as the host tells dictionary keys apart.
  nb::dict ids;
  nb::list keys;
  std::vector<FrameAreas> frames;
  for (auto& [frame_id, record] : mapping_items(laste_frame, "a mapping of frame ids to frame records for laste_frame")) {
    const std::string where = item_name("laste_frame", frame_id);
    if (!frame_after(to_host_number(frame_id, "the frame id " + to_text(nb::repr(frame_id)) + " of laste_frame"), min_id))
      continue;
    const std::string field = field_name(where, "mask_areas");
    FrameAreas frame;
    for (auto& [box_id, area] :
         mapping_items(areas_of(record, clip_record_of(record)), "a mapping of mask keys to areas for " + field)) {
      const HostNumber a = to_host_number(area, item_name(field, box_id));
      if (!ids.contains(box_id)) {
        ids[box_id] = nb::int_(nb::len(keys));
        keys.append(box_id);
      }
      frame.emplace_back(nb::cast<int64_t>(ids[box_id]), a);
    }
    frames.push_back(std::move(frame));
  }
  nb::list out;
  for (int64_t id : keys_small_too_often(frames, threshold, count)) out.append(keys[static_cast<size_t>(id)]);
  return out;
}

// ------------------------------------------------------------ refinement

RefineSettings settings_of(nb::handle refiner) {
  RefineSettings s;
  s.min_area_ratio = to_real(refiner.attr("MIN_AREA_RATIO"), "MIN_AREA_RATIO");
  nb::object ratios = refiner.attr("MAX_DISTANCE_RATIOS");
  s.distance_ratio_large = to_real(ratios[nb::int_(0)], "MAX_DISTANCE_RATIOS[0]");
  s.distance_ratio_small = to_real(ratios[nb::int_(1)], "MAX_DISTANCE_RATIOS[1]");
  s.max_prev_dist = to_real(refiner.attr("MAX_PREV_DIST"), "MAX_PREV_DIST");
  return s;
}

// The remembered centroid of `object_id`, when the mapping holds one.
std::optional<Centroid> centroid_of(nb::handle prev_centroids, nb::handle object_id, const char* what) {
  const int has = PySequence_Contains(prev_centroids.ptr(), object_id.ptr());
  if (has < 0) throw nb::python_error();
  if (!has) return std::nullopt;
  const std::string name = item_name(what, object_id);
  const NDArray v = to_ndarray(get_item(prev_centroids, object_id), name);
  if (v.size() != 2) throw ValueError(expected_got("an (x, y) centroid for " + name, "an array of shape " + v.shape_text()));
  return Centroid{v.get(0), v.get(1)};
}

void remember(nb::handle prev_centroids, nb::handle object_id, const Centroid& c) {
  set_item(prev_centroids, object_id, to_numpy(std::vector<double>{c.x, c.y}, {2}));
}

void print_clean_frame(nb::handle frame_idx, nb::handle object_id) {
  print_line("clean frame" + to_text(frame_idx) + "--obj_id" + to_text(object_id));
}

// The pens of one call, by pen file and frame size: a pen file is read once
// and rasterised once per size.
class PenCache {
 public:
  const RunMask& get(const std::string& path, int64_t height, int64_t width) {
    auto key = std::make_tuple(path, height, width);
    auto it = pens_.find(key);
    if (it != pens_.end()) return it->second;
    auto pts = points_.find(path);
    if (pts == points_.end()) {
      std::vector<PenPoint> read;
      {
        nb::gil_scoped_release release;
        read = read_pen_points(path);
      }
      pts = points_.emplace(path, std::move(read)).first;
    }
    RunMask pen;
    {
      nb::gil_scoped_release release;
      const cv::Mat raster = pen_mask(pts->second, height, width);
      pen = runs_of(MaskView{raster.data, raster.rows, raster.cols, static_cast<int64_t>(raster.step)});
    }
    return pens_.emplace(std::move(key), std::move(pen)).first->second;
  }

 private:
  std::map<std::string, std::vector<PenPoint>> points_;
  std::map<std::tuple<std::string, int64_t, int64_t>, RunMask> pens_;
};

// The pen file of the refiner's setting, or of the camera in video_dir.
std::string pen_file_of(nb::handle refiner, nb::handle video_dir) {
  nb::object custom = refiner.attr("custom_pen_json_path");
  if (!custom.is_none()) return to_path(custom, "custom_pen_json_path");
  const auto path = get_pen_json_path(to_path(video_dir, "video_dir"), std::nullopt, pen_json_root());
  if (!path)
    throw TypeError("no pen polygon file for this clip: the camera in video_dir has no entry in the pen file table "
                    "and custom_pen_json_path is None");
  return *path;
}

void refine_one(nb::handle refiner, nb::handle objects, nb::handle frame_idx, nb::handle object_id, nb::handle mask,
                nb::handle video_dir, nb::handle frame_names, bool first_frame, PenCache& pens) {
  const std::string what = item_name(item_name("video_segments", frame_idx), object_id);
  if (!is_array_like(mask)) throw TypeError(expected_got("an array for " + what, py_type_name(mask)));
  nb::object a = host_array(mask);
  if (!numeric_kind(dtype_kind(a)))
    throw TypeError(expected_got("a numeric or bool mask for " + what, "dtype " + to_text(a.attr("dtype"))));
  // An empty mask is left as it is, whatever its shape.
  if (!mask_height_width(a) && !to_bool(a.attr("any")())) return;
  const MaskInput m = to_squeezed_mask(a, what);
  RunMask runs;
  {
    nb::gil_scoped_release release;
    runs = runs_of(m.view);
  }
  if (runs.box().empty) return;

  // Looked up as the pen outline's image (which is not opened).
  (void)get_item(frame_names, frame_idx);
  const RefineSettings s = settings_of(refiner);
  const RunMask& pen = pens.get(pen_file_of(refiner, video_dir), m.view.height, m.view.width);
  nb::object prev_centroids = refiner.attr("prev_centroids");
  const std::optional<Centroid> prev = centroid_of(prev_centroids, object_id, "prev_centroids");

  uint8_t* out_data = nullptr;
  nb::object out = new_bool_array({1, m.view.height, m.view.width}, out_data);
  RefinedMask r;
  {
    nb::gil_scoped_release release;
    r = refine_mask(runs, pen, prev, s, first_frame, out_data, m.view.width);
  }
  using Outcome = RefinedMask::Outcome;
  if (r.outcome == Outcome::OutsidePen) {
    set_item(objects, object_id, numpy().attr("zeros")(a.attr("shape"), "dtype"_a = a.attr("dtype")));
    return;
  }
  if (r.outcome == Outcome::FirstFrameKept && nb::cast<size_t>(a.attr("ndim")) > 2) out = out.attr("reshape")(a.attr("shape"));
  if (r.outcome == Outcome::Emptied) print_clean_frame(frame_idx, object_id);
  set_item(objects, object_id, out);
  if (r.centroid) {
    remember(prev_centroids, object_id, *r.centroid);
  } else {
    print_line("frame " + to_text(frame_idx) + "--obj_id" + to_text(object_id) + "-- no mask");
  }
}

nb::object refine_video_segments(nb::handle refiner, nb::handle video_segments, nb::handle video_dir,
                                 nb::handle frame_names) {
  PenCache pens;
  bool first_frame = true;
  for (auto& [frame_idx, objects] :
       mapping_items(video_segments, "a mapping of frame indices to {object id: mask} mappings for video_segments")) {
    const std::string where = item_name("video_segments", frame_idx);
    for (auto& [object_id, mask] : mapping_items(objects, "a mapping of object ids to masks for " + where)) {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      refine_one(refiner, objects, frame_idx, object_id, mask, video_dir, frame_names, first_frame, pens);
    }
    first_frame = false;
  }
  return nb::borrow(video_segments);
}

nb::tuple main_blob(nb::handle refiner, nb::handle mask, nb::handle prev_centroids, nb::handle object_id) {
  const MaskInput m = to_squeezed_mask(mask, "mask");
  const std::optional<Centroid> prev = centroid_of(prev_centroids, object_id, "prev_centroids");
  const RefineSettings s = settings_of(refiner);
  NDArray labels(DType::Int32, {m.view.height, m.view.width});
  cv::Mat stats, centroids;
  FramePieces p;
  {
    nb::gil_scoped_release release;
    cv::Mat label_header;
    if (labels.size() > 0 && m.view.height <= INT_MAX && m.view.width <= INT_MAX)
      label_header = cv::Mat(static_cast<int>(m.view.height), static_cast<int>(m.view.width), CV_32SC1, labels.bytes.data());
    p = label_frame(m.view, prev, s, label_header, stats, centroids);
  }
  NDArray st(DType::Int32, {p.num_labels, 5}), ce(DType::Float64, {p.num_labels, 2});
  std::memcpy(st.bytes.data(), stats.data, st.bytes.size());
  std::memcpy(ce.bytes.data(), centroids.data, ce.bytes.size());
  return nb::make_tuple(p.num_labels, to_numpy(std::move(st)), to_numpy(std::move(ce)), p.thresholds.min_area,
                        p.thresholds.max_distance, p.best, to_numpy(std::move(labels)));
}

nb::object kept_pieces(nb::handle refiner, nb::handle num_labels, nb::handle labels, nb::handle stats,
                       nb::handle centroids, nb::handle max_distance_threshold, nb::handle min_area_threshold,
                       nb::handle best_idx, nb::handle prev_centroids, nb::handle object_id, nb::handle frame_idx,
                       nb::handle mask, nb::handle video_segments) {
  const int64_t n = to_integer(num_labels, "num_labels");
  const cv::Mat label_img = label_image(to_array_view(labels, "an integer label image for labels"));
  const NDArray st = to_ndarray(stats, "stats"), ce = to_ndarray(centroids, "centroids");
  PieceThresholds t{to_real(min_area_threshold, "min_area_threshold"),
                    to_real(max_distance_threshold, "max_distance_threshold")};
  const int64_t best = to_integer(best_idx, "best_idx");
  const std::optional<Centroid> prev = centroid_of(prev_centroids, object_id, "prev_centroids");
  const RefineSettings s = settings_of(refiner);

  const int64_t h = label_img.rows, w = label_img.cols;
  uint8_t* out_data = nullptr;
  nb::object out = new_bool_array({1, h, w}, out_data);
  int64_t count = 0;
  {
    nb::gil_scoped_release release;
    const std::vector<char> keep = keep_labelled_pieces(label_img, n, st, ce, best, t, prev, s);
    count = paint_kept(label_img, keep, out_data, w);
  }
  if (count > 0) return out;
  nb::object first = nb::steal(PyObject_GetIter(video_segments.ptr()));
  if (!first.is_valid()) throw nb::python_error();
  nb::object first_key = nb::steal(PyIter_Next(first.ptr()));
  if (!first_key.is_valid() && PyErr_Occurred()) throw nb::python_error();
  if (first_key.is_valid() && first_key.equal(frame_idx)) {
    nb::object kept = host_array(mask).attr("astype")("bool");
    if (nb::cast<size_t>(kept.attr("ndim")) == 2) kept = kept[nb::make_tuple(nb::none(), nb::ellipsis())];
    return kept;
  }
  print_clean_frame(frame_idx, object_id);
  return out;
}

double blob_shortest_distance(nb::handle blob_mask1, nb::handle blob_mask2) {
  const MaskInput a = to_mask(blob_mask1, "blob_mask1"), b = to_mask(blob_mask2, "blob_mask2");
  nb::gil_scoped_release release;
  return PointSet(mask_contour_points(a.view)).shortest_distance(mask_contour_points(b.view));
}

// -------------------------------------------------------- overlap analysis

// A table's rows grouped by one column: the group of each row (negative for
// an absent key), the groups' keys in ascending order and each row's
// "Frame ID".
struct GroupedRows {
  std::vector<int64_t> codes;
  std::vector<int64_t> frame_ids;
  nb::list keys;
};

nb::object column_of(nb::handle df, nb::handle label) {
  if (!nb::cast<bool>(df.attr("columns").attr("__contains__")(label)))
    throw KeyError("the table has no column " + to_text(nb::repr(label)));
  nb::object col = df[label];
  if (!nb::isinstance(col, pandas().attr("Series")))
    throw ValueError(expected_got("one column named " + to_text(nb::repr(label)), "several"));
  return col;
}

GroupedRows group_rows(nb::handle df, nb::handle group_by, const char* what) {
  nb::module_ pd = pandas();
  if (!nb::isinstance(df, pd.attr("DataFrame")))
    throw TypeError(expected_got(std::string("a pandas DataFrame for ") + what, py_type_name(df)));
  nb::object frames = column_of(df, nb::str("Frame ID"));
  nb::object keys_col = column_of(df, group_by);
  GroupedRows g;
  g.frame_ids = to_whole_numbers(frames.attr("to_numpy")(), "\"Frame ID\"");
  // The groups in the table library's own ascending key order; absent keys
  // (NaN, None) belong to no group.
  nb::object f = pd.attr("factorize")(keys_col, "sort"_a = true);
  g.codes = to_whole_numbers(f[nb::int_(0)], "group codes");
  g.keys = nb::list(f[nb::int_(1)].attr("tolist")());
  return g;
}

nb::list runs_to_py(const std::vector<FrameRun>& runs) {
  nb::list out;
  for (const FrameRun& r : runs) {
    nb::list run;
    for (int64_t v : r) run.append(v);
    out.append(run);
  }
  return out;
}

nb::dict find_continuous_frames(nb::handle frames_df, nb::handle group_by, int64_t n_consecutive) {
  GroupedRows g = group_rows(frames_df, group_by, "frames_df");
  std::vector<std::vector<FrameRun>> runs;
  {
    nb::gil_scoped_release release;
    runs = continuous_runs(g.codes, g.frame_ids, static_cast<int64_t>(nb::len(g.keys)), n_consecutive);
  }
  nb::dict out;
  for (size_t k = 0; k < runs.size(); ++k)
    if (!runs[k].empty()) out[g.keys[k]] = runs_to_py(runs[k]);
  return out;
}

// The masks and the image of one frame record, kept for the analysis.
struct HeldFrame {
  std::vector<MaskInput> masks;
  nb::object pixels;
  ~HeldFrame() {
    nb::gil_scoped_acquire gil;
    masks.clear();
    pixels.reset();
  }
};

// The caller's frame records, read through the mapping protocol only:
// `data[index]["masks_dict"][key]` and `data[index]["image_path"]`.
class PyClip : public OverlapClip {
 public:
  explicit PyClip(nb::object data) : data_(std::move(data)) {}
  ~PyClip() override {
    nb::gil_scoped_acquire gil;
    data_.reset();
  }

  int64_t size() override {
    nb::gil_scoped_acquire gil;
    const Py_ssize_t n = PyObject_Length(data_.ptr());
    if (n < 0) throw nb::python_error();
    return n;
  }

  ClipFrame load(int64_t index, const std::vector<std::string>& keys) override {
    nb::gil_scoped_acquire gil;
    nb::object record = data_[nb::int_(index)];
    nb::object masks_dict = get_field(record, "masks_dict");
    auto held = std::make_shared<HeldFrame>();
    ClipFrame frame;
    for (const std::string& key : keys) {
      nb::str k(key.data(), key.size());
      nb::object mask;
      try {
        mask = mask_entry(masks_dict, k);
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        throw KeyError("frame " + std::to_string(index) + " has no mask \"" + key + "\" in its masks_dict");
      }
      held->masks.push_back(
          to_mask(mask, "the mask " + to_text(nb::repr(k)) + " of frame " + std::to_string(index)));
      frame.masks.push_back(held->masks.back().view);
    }
    // The converted image's pixels are read once, into the array the core reads.
    nb::object pixels = rgb_image_array(open_image(get_field(record, "image_path"), "RGB"));
    frame.rgb = array_to_mat(pixels, held->pixels, "image");
    frame.owner = std::move(held);
    return frame;
  }

 private:
  nb::object data_;
};

nb::tuple process_overlap_frames(nb::handle overlap_frames_dataframe, nb::object gsam_annotation_data,
                                 nb::object image_predictor, int64_t n_consecutive) {
  GroupedRows g = group_rows(overlap_frames_dataframe, nb::str("Box Pair"), "overlap_frames_dataframe");
  OverlapTable table;
  table.frame_ids = std::move(g.frame_ids);
  table.pair_codes = std::move(g.codes);
  std::map<std::string, nb::object> pair_objects;
  for (nb::handle k : g.keys) {
    if (!nb::isinstance<nb::str>(k))
      throw TypeError(expected_got("texts such as \"Box0-Box1\" in \"Box Pair\"", py_type_name(k)));
    table.pairs.push_back(utf8_of(k));
    pair_objects[table.pairs.back()] = nb::borrow(k);
  }
  PyClip clip(std::move(gsam_annotation_data));
  PyImagePredictor predictor(std::move(image_predictor));
  OverlapAnalysis r;
  {
    nb::gil_scoped_release release;
    r = analyse_overlap_frames(table, clip, predictor, n_consecutive);
  }
  nb::dict con_frames;
  for (const auto& [pair, runs] : r.con_frames) con_frames[pair_objects[pair]] = runs_to_py(runs);
  nb::list worst;
  for (const std::string& b : r.worst_boxes) worst.append(nb::str(b.data(), b.size()));
  return nb::make_tuple(r.test_frame, nb::str(r.most_frequent_box.data(), r.most_frequent_box.size()), con_frames,
                        worst);
}

}  // namespace

void init_qc(nb::module_& m) {
  m.def("generate_tracking_report", &generate_tracking_report, "gsam_annotation_data"_a.none(), "save_dir_base"_a.none(),
        "intersection_thrr"_a.none() = 80,
        nb::sig("def generate_tracking_report(gsam_annotation_data: collections.abc.Mapping[typing.Any, "
                "collections.abc.Mapping[str, typing.Any]], save_dir_base: str | os.PathLike[str], "
                "intersection_thrr: float = 80) -> tuple[pandas.DataFrame, list[dict[str, typing.Any]], "
                "list[typing.Any], pandas.DataFrame]"),
        "Reports vanished and heavily overlapping masks of a tracked clip.\n\n"
        "Every frame record is read through its \"mask_areas\" (mask key -> area)\n"
        "and \"intersections_df\" (the pairwise intersection table); the masks\n"
        "themselves are not read. A mask whose area is at most 0.1 gives a\n"
        "zero-area row; every table cell strictly above intersection_thrr gives a\n"
        "high-overlap row (row key first in \"Box Pair\", both orders of a pair when\n"
        "both cells exceed the threshold), frames in order, cells row by row.\n\n"
        "When there is anything to report, prints \"Generating tracking question\n"
        "report...\" and a blank line, writes tracking_question_report.csv into\n"
        "save_dir_base (high-overlap rows, then zero-area rows; replaced whole\n"
        "through a temporary file, never left half-written) and prints \"Tracking\n"
        "question report saved to <path>\". Otherwise prints and writes nothing.\n\n"
        "Args:\n"
        "    gsam_annotation_data: Mapping of frame key -> frame record, in frame order.\n"
        "    save_dir_base: Folder of the report file; must exist.\n"
        "    intersection_thrr: Percentage a cell must exceed to count as overlap.\n\n"
        "Returns:\n"
        "    (overlap_frames_data, zero_area_frames, overlap_frames, box_keys_df):\n"
        "    the high-overlap rows as a DataFrame with the columns \"Frame ID\", \"Box\n"
        "    Pair\", \"Intersection Value\" (rounded to 2 decimals), \"Mask Area1\",\n"
        "    \"Mask Area2\", \"Report type\", \"Box ID\", \"Mask Areas\" and rows 0, 1, 2,\n"
        "    ...; the zero-area rows as dicts of those eight fields (None where\n"
        "    empty); the frame keys with an overlap; the rows of the last of them.\n\n"
        "Raises:\n"
        "    KeyError: a record without \"mask_areas\" or \"intersections_df\", or an\n"
        "        overlapping mask key missing from \"mask_areas\".\n"
        "    TypeError: areas or cells that are not numbers.\n"
        "    FileNotFoundError, OSError: the report cannot be written (after the\n"
        "        first message).");
  m.def("find_boxes_with_small_area_from_last_video", &find_boxes_with_small_area_from_last_video, "laste_frame"_a.none(),
        "min_frame_id"_a.none() = 500, "area_threshold"_a.none() = 100, "min_count"_a.none() = 100,
        nb::sig("def find_boxes_with_small_area_from_last_video(laste_frame: collections.abc.Mapping[typing.Any, "
                "collections.abc.Mapping[str, typing.Any]], min_frame_id: float = 500, area_threshold: float = 100, "
                "min_count: float = 100) -> list[typing.Any]"),
        "Mask keys that were tiny in many late frames of a clip.\n\n"
        "Counts, over the frames whose id is strictly greater than min_frame_id,\n"
        "how often each key's \"mask_areas\" value is at most area_threshold.\n\n"
        "Args:\n"
        "    laste_frame: Mapping of frame id (a number) -> frame record.\n"
        "    min_frame_id: Frames up to this id are not examined (nor read).\n"
        "    area_threshold: Largest area in pixels that counts as tiny.\n"
        "    min_count: A key is returned when it was tiny in more frames than this.\n\n"
        "Returns:\n"
        "    The keys, in the order of their first tiny frame (the remove_stack_box\n"
        "    of the hand-over).\n\n"
        "Raises:\n"
        "    KeyError: an examined record without \"mask_areas\".\n"
        "    TypeError: frame ids, areas or arguments that are not numbers.");

  m.def("find_continuous_frames", &find_continuous_frames, "frames_df"_a, "group_by"_a = "Box ID",
        "n_consecutive"_a = 3,
        nb::sig("def find_continuous_frames(frames_df: pandas.DataFrame, group_by: typing.Any = 'Box ID', "
                "n_consecutive: int = 3) -> dict[typing.Any, list[list[int]]]"),
        R"(Runs of consecutive frame numbers per key of a table.

The rows are grouped by column ``group_by`` (keys in ascending order, rows
without a key left out); each key's "Frame ID" values are sorted ascending,
duplicates kept, and split into runs wherever a value is not the previous
one plus 1 (so frames 5, 5, 6 give the runs [5] and [5, 6]).

Args:
    frames_df: pandas DataFrame with a "Frame ID" column of whole numbers and
        the column ``group_by``.
    group_by: label of the key column.
    n_consecutive: shortest run kept.

Returns:
    dict from each key that has a run of at least ``n_consecutive`` frames to
    its runs (lists of ints), in ascending key order; runs in ascending order.

Raises:
    KeyError: the table has no "Frame ID" or no ``group_by`` column.
    ValueError: a "Frame ID" value is not a whole number.
    TypeError: ``frames_df`` is not a DataFrame.
)");
  m.def("process_overlap_frames", &process_overlap_frames, "overlap_frames_dataframe"_a, "gsam_annotation_data"_a,
        "image_predictor"_a, "n_consecutive"_a = 2,
        nb::sig("def process_overlap_frames(overlap_frames_dataframe: pandas.DataFrame, "
                "gsam_annotation_data: collections.abc.Mapping[int, collections.abc.Mapping[str, typing.Any]], "
                "image_predictor: typing.Any, n_consecutive: int = 2) "
                "-> tuple[int, str, dict[str, list[list[int]]], list[str]]"),
        R"(Names the animal whose track most likely went wrong during overlap episodes.

Episodes are runs of consecutive frames per "Box Pair" of the overlap table
(at least ``n_consecutive`` frames, or ``n_consecutive`` + 2 when the table
holds more than one pair). The test frame is the earliest frame, over all
episodes, at which exactly one pair or more than one pair overlaps; when an
episode starts at frame 0 the latest such frames are used and the window
goes after them. Over the five frame pairs leading into the test frame (or
out of it, compared backwards), every mask key of the pairs (sorted as text)
is compared between consecutive frames by appearance
(``generate_sam2_image_features`` and cosine similarity), mask IoU and box
IoU; the key with the largest mismatch of each frame pair is recorded and
the most frequent one (the earliest on a tie) is reported. Frames outside the
clip are skipped. Each frame image is read once. Prints the pairs, four lines
per pair and "Most frequent box with errors: <key>".

Args:
    overlap_frames_dataframe: pandas DataFrame with "Frame ID" (whole
        numbers) and "Box Pair" (texts such as "Box0-Box1") columns, one row
        per frame and overlapping pair.
    gsam_annotation_data: mapping from frame index (0 .. N-1) to a frame
        record holding "masks_dict" (mask key to 2-D mask) and "image_path".
    image_predictor: the image predictor (``set_image`` and
        ``model.image_encoder``).
    n_consecutive: shortest episode, in frames, for a single pair.

Returns:
    (test_frame, most_frequent_box, con_frames_dict, worst_boxes): the test
    frame, the key reported, the episodes per pair (dict of pair to lists of
    frame runs) and the worst key of each compared frame pair, in order.

Raises:
    ValueError: no episode is long enough, or every frame pair of the window
        lies outside the clip.
    KeyError: a column is missing, or a compared frame lacks a mask key.
)");

  nb::module_ qc = m.def_submodule("_qc", "Entry points of the mask refinement class.");
  qc.def("refine_video_segments", &refine_video_segments, "refiner"_a, "video_segments"_a.none(), "video_dir"_a.none(),
         "frame_names"_a.none(),
         nb::sig("def refine_video_segments(refiner: mirelo_utils._qc.Mask_Refinement, video_segments: "
                 "collections.abc.MutableMapping[typing.Any, collections.abc.MutableMapping[typing.Any, typing.Any]], "
                 "video_dir: str | os.PathLike[str], frame_names: collections.abc.Sequence[str]) -> "
                 "collections.abc.MutableMapping[typing.Any, collections.abc.MutableMapping[typing.Any, typing.Any]]"),
         "The refinement of Mask_Refinement.process_video_segments on `refiner`'s settings.");
  qc.def("main_blob", &main_blob, "refiner"_a, "mask"_a.none(), "prev_centroids"_a.none(), "object_id"_a.none(),
         nb::sig("def main_blob(refiner: mirelo_utils._qc.Mask_Refinement, mask: numpy.ndarray, prev_centroids: "
                 "collections.abc.Mapping[typing.Any, typing.Any], object_id: typing.Any) -> tuple[int, numpy.ndarray, "
                 "numpy.ndarray, float, float, int, numpy.ndarray]"),
         "The labelling and main piece of Mask_Refinement.get_main_blob on `refiner`'s settings.");
  qc.def("kept_pieces", &kept_pieces, "refiner"_a, "num_labels"_a.none(), "labels"_a.none(), "stats"_a.none(), "centroids"_a.none(),
         "max_distance_threshold"_a.none(), "min_area_threshold"_a.none(), "best_idx"_a.none(), "prev_centroids"_a.none(), "object_id"_a.none(),
         "frame_idx"_a.none(), "mask"_a.none(), "video_segments"_a.none(),
         nb::sig("def kept_pieces(refiner: mirelo_utils._qc.Mask_Refinement, num_labels: int, labels: numpy.ndarray, "
                 "stats: numpy.ndarray, centroids: numpy.ndarray, max_distance_threshold: float, min_area_threshold: "
                 "float, best_idx: int, prev_centroids: collections.abc.Mapping[typing.Any, typing.Any], object_id: "
                 "typing.Any, frame_idx: typing.Any, mask: numpy.ndarray, video_segments: "
                 "collections.abc.Mapping[typing.Any, typing.Any]) -> numpy.ndarray"),
         "The cleaned mask of Mask_Refinement.get_dis_to_main_and_prev_blob on `refiner`'s settings.");
  qc.def("blob_shortest_distance", &blob_shortest_distance, "blob_mask1"_a.none(), "blob_mask2"_a.none(),
         nb::sig("def blob_shortest_distance(blob_mask1: numpy.ndarray, blob_mask2: numpy.ndarray) -> float"),
         "The distance of Mask_Refinement.blob_shortest_distance.");
}

}  // namespace mirelo::py
