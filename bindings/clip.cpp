#include "clip.hpp"

#include <nanobind/stl/string.h>

#include <cstring>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

// The package's record and mask mappings (mirelo_utils._clip), registered
// when the package is imported; kept for the life of the process.
PyObject* record_type = nullptr;
PyObject* masks_type = nullptr;

bool is_instance(nb::handle obj, PyObject* type) {
  return type && PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(type));
}

nb::str key_str(const std::string& key) { return nb::str(key.data(), key.size()); }

nb::object box_of(const RunMask& m) {
  const PixelBox& b = m.box();
  if (b.empty) return nb::none();
  return nb::make_tuple(b.x_min, b.y_min, b.x_max, b.y_max);
}

// Runs as rows (y, x_begin, x_end), top to bottom, left to right.
nb::object runs_array(const RunMask& m) {
  std::vector<int32_t> rows;
  const PixelBox& b = m.box();
  if (!b.empty)
    for (int64_t y = b.y_min; y <= b.y_max; ++y)
      for (const Run& r : m.row(y)) rows.insert(rows.end(), {static_cast<int32_t>(y), r.x_begin, r.x_end});
  NDArray a(DType::Int32, {static_cast<int64_t>(rows.size() / 3), 3});
  if (!rows.empty()) std::memcpy(a.bytes.data(), rows.data(), rows.size() * sizeof(int32_t));
  return to_numpy(std::move(a));
}

nb::list keys_of(const FrameRecord& r) {
  nb::list out;
  for (const std::string& k : r.keys) out.append(key_str(k));
  return out;
}

nb::dict areas_of(const FrameRecord& r) {
  nb::dict out;
  for (size_t k = 0; k < r.keys.size(); ++k) out[key_str(r.keys[k])] = nb::int_(r.masks[k].area());
  return out;
}

nb::object masks_of(const ClipHandle& h, int64_t index) {
  const FrameRecord& r = h.record(index);
  nb::dict out;
  for (size_t k = 0; k < r.keys.size(); ++k) out[key_str(r.keys[k])] = nb::cast(h.mask(index, k));
  return out;
}

nb::object table_of(const FrameRecord& r) {
  std::vector<double> cells = r.table;
  return square_frame(std::move(cells), keys_of(r));
}

nb::object paint_masks(nb::handle masks) {
  std::vector<const RunMask*> runs;
  for (nb::handle m : masks) {
    const CompactMask* c = compact_mask_of(m);
    if (!c) throw TypeError(expected_got("CompactMask objects", py_type_name(m)));
    runs.push_back(&c->runs());
  }
  if (runs.empty()) throw ValueError("expected at least one mask to paint, got none");
  MaskStack stack;
  {
    nb::gil_scoped_release release;
    stack = paint_stack(runs, runs.front()->height(), runs.front()->width());
  }
  return to_numpy(std::move(stack));
}

}  // namespace

const FrameRecord& ClipHandle::record(int64_t index) const {
  if (index < 0 || index >= static_cast<int64_t>(clip_->records.size()))
    throw IndexError(expected_got("a record position from 0 to " + std::to_string(clip_->records.size()) + " (exclusive)",
                                  std::to_string(index)));
  return clip_->records[static_cast<size_t>(index)];
}

CompactMask ClipHandle::mask(int64_t index, size_t k) const {
  const FrameRecord& r = record(index);
  if (k >= r.masks.size()) throw IndexError("mask position out of range");
  return CompactMask(std::shared_ptr<const RunMask>(clip_, &r.masks[k]));
}

nb::object frame_number(const FrameRecord& r) {
  PyObject* n = PyLong_FromString(r.frame_index.c_str(), nullptr, 10);
  if (!n) throw nb::python_error();
  return nb::steal(n);
}

const CompactMask* compact_mask_of(nb::handle obj) {
  CompactMask* c = nullptr;
  return nb::try_cast<CompactMask*>(obj, c, false) ? c : nullptr;
}

nb::object dense_mask(const RunMask& m) {
  MaskStack stack;
  {
    nb::gil_scoped_release release;
    stack = paint_stack({&m}, m.height(), m.width());
  }
  return to_numpy(std::move(stack))[nb::int_(0)];
}

bool ClipRecordRef::handed(const char* name) const { return nb::cast<nb::dict>(handed_out).contains(name); }

nb::list ClipRecordRef::keys() const { return keys_of(*record); }

nb::dict ClipRecordRef::areas() const { return areas_of(*record); }

std::optional<ClipRecordRef> clip_record_of(nb::handle record) {
  if (!is_instance(record, record_type)) return std::nullopt;
  ClipRecordRef ref;
  ref.handle = record.attr("_handle");
  ref.record = &nb::cast<const ClipHandle&>(ref.handle).record(nb::cast<int64_t>(record.attr("_index")));
  ref.handed_out = record.attr("_values");
  return ref;
}

std::vector<std::pair<nb::object, nb::object>> mask_entries(nb::handle masks_dict, const std::string& expected) {
  return mapping_items(is_instance(masks_dict, masks_type) ? masks_dict.attr("_entries") : nb::borrow(masks_dict),
                       expected);
}

nb::object mask_entry(nb::handle masks_dict, nb::handle key) {
  return is_instance(masks_dict, masks_type) ? masks_dict.attr("_entries")[key] : masks_dict[key];
}

void discard_mask(nb::handle masks_dict, nb::handle key) {
  nb::object entries = is_instance(masks_dict, masks_type) ? masks_dict.attr("_entries") : nb::borrow(masks_dict);
  entries.attr("pop")(key, nb::none());
  if (!entries.is(masks_dict)) masks_dict.attr("_views").attr("pop")(key, nb::none());
}

void init_clip(nb::module_& m) {
  nb::class_<CompactMask>(m, "CompactMask", R"(One mask held as runs of pixels per row, inside its tight box.

The per-animal view of an opened clip (Clip.animals) and the form in which a
clip holds every mask. Every operation that takes a mask accepts it as the
dense mask it stands for; numpy.asarray(mask) paints it.

Attributes:
    area: Number of set pixels (int).
    box: Tight box (x_min, y_min, x_max, y_max) of the set pixels, all
        inclusive pixel indices (the boxes the matcher prompts with), or
        None for an empty mask.
    shape: (height, width) of the frame.
    runs: int32 array of shape (R, 3), one row (y, x_begin, x_end) per run of
        set pixels [x_begin, x_end) of frame row y, top to bottom and left to
        right; runs of a row never touch.
)")
      .def_static(
          "from_array", [](nb::handle mask) { return CompactMask(std::make_shared<const RunMask>(to_run_mask(mask, "mask"))); },
          "mask"_a,
          nb::sig("def from_array(mask: numpy.ndarray) -> mirelo_utils._core.CompactMask"),
          R"(The compact form of a mask.

Args:
    mask: 2-D array (or 1 x H x W), any numeric or bool dtype; non-zero is set.

Returns:
    The mask as runs.

Raises:
    TypeError: not a numeric or bool array.
    ValueError: not a 2-D mask.
)")
      .def_prop_ro("area", [](const CompactMask& c) { return c.runs().area(); })
      .def_prop_ro("box", [](const CompactMask& c) { return box_of(c.runs()); },
                   nb::sig("def box(self) -> tuple[int, int, int, int] | None"))
      .def_prop_ro("shape", [](const CompactMask& c) { return nb::make_tuple(c.runs().height(), c.runs().width()); },
                   nb::sig("def shape(self) -> tuple[int, int]"))
      .def_prop_ro("runs", [](const CompactMask& c) { return runs_array(c.runs()); },
                   nb::sig("def runs(self) -> numpy.ndarray"))
      .def("to_array", [](const CompactMask& c) { return dense_mask(c.runs()); },
           nb::sig("def to_array(self) -> numpy.ndarray"),
           R"(The dense mask: a new height x width uint8 array, 1 where set.)")
      .def(
          "__array__",
          [](const CompactMask& c, nb::handle dtype, nb::handle copy) {
            nb::object a = dense_mask(c.runs());
            return dtype.is_none() ? a : a.attr("astype")(dtype);
          },
          "dtype"_a = nb::none(), "copy"_a = nb::none(),
          nb::sig("def __array__(self, dtype: typing.Any = None, copy: bool | None = None) -> numpy.ndarray"))
      .def("__repr__", [](const CompactMask& c) {
        const RunMask& r = c.runs();
        return "CompactMask(area=" + std::to_string(r.area()) + ", box=" + to_text(nb::repr(box_of(r))) +
               ", shape=(" + std::to_string(r.height()) + ", " + std::to_string(r.width()) + "))";
      });

  nb::class_<ClipHandle>(m, "_Clip", "The records of an opened clip (see mirelo_utils.Clip).")
      .def("__len__", [](const ClipHandle& h) { return h.clip().records.size(); })
      .def_prop_ro("height", [](const ClipHandle& h) { return h.clip().height; })
      .def_prop_ro("width", [](const ClipHandle& h) { return h.clip().width; })
      .def_prop_ro("nbytes", [](const ClipHandle& h) { return h.clip().memory_bytes(); })
      .def("frame_index", [](const ClipHandle& h, int64_t i) { return frame_number(h.record(i)); })
      .def("json_path", [](const ClipHandle& h, int64_t i) { return path_str(h.record(i).json_path); })
      .def("image_path", [](const ClipHandle& h, int64_t i) { return json_to_py(h.record(i).image_path); })
      .def("masks", &masks_of, nb::sig("def masks(self, index: int) -> dict[str, mirelo_utils._core.CompactMask]"))
      .def("areas", [](const ClipHandle& h, int64_t i) { return areas_of(h.record(i)); },
           nb::sig("def areas(self, index: int) -> dict[str, int]"))
      .def("table", [](const ClipHandle& h, int64_t i) { return table_of(h.record(i)); },
           nb::sig("def table(self, index: int) -> pandas.DataFrame"));

  m.def("_paint_masks", &paint_masks, "masks"_a,
        nb::sig("def _paint_masks(masks: collections.abc.Sequence[mirelo_utils._core.CompactMask]) -> numpy.ndarray"),
        "Compact masks of one frame size painted into one N x H x W uint8 array.");
  m.def(
      "_clip_types",
      [](nb::handle record, nb::handle masks) {
        if (!PyType_Check(record.ptr()) || !PyType_Check(masks.ptr()))
          throw TypeError(expected_got("two classes", py_type_name(record) + " and " + py_type_name(masks)));
        Py_XDECREF(record_type);
        Py_XDECREF(masks_type);
        record_type = nb::borrow(record).release().ptr();
        masks_type = nb::borrow(masks).release().ptr();
      },
      "record_type"_a, "masks_type"_a, "Registers the record and mask mappings of mirelo_utils._clip.");
}

}  // namespace mirelo::py
