#include "convert.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "clip.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/memory.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

bool is_ndarray(nb::handle obj) {
  // Kept for the life of the process: never released after the interpreter.
  static PyObject* ndarray_type = nb::object(numpy().attr("ndarray")).release().ptr();
  return PyObject_IsInstance(obj.ptr(), ndarray_type) == 1;
}

bool is_tensor(nb::handle obj) {
  return nb::hasattr(obj, "detach") && nb::hasattr(obj, "cpu") && nb::hasattr(obj, "numpy");
}

std::string shape_of(nb::handle a) { return to_text(a.attr("shape")); }

std::string bytes_of(nb::handle bytes) {
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// A reference released under the interpreter lock, whichever thread drops
// the last copy of the pointer.
std::shared_ptr<const void> held(nb::object o) {
  PyObject* p = o.release().ptr();
  return std::shared_ptr<const void>(p, [](const void* q) {
    nb::gil_scoped_acquire gil;
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(q)));
  });
}

void* buffer_start(nb::handle array, int flags) {
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, flags) != 0) throw nb::python_error();
  void* data = view.buf;
  PyBuffer_Release(&view);
  return data;
}

}  // namespace

// ---------------------------------------------------------------- type tests

std::string py_type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

bool is_array_like(nb::handle obj) {
  return is_ndarray(obj) || is_tensor(obj) || nb::hasattr(obj, "__array_interface__");
}

bool is_text_like(nb::handle obj) { return nb::isinstance<nb::str>(obj) || nb::isinstance<nb::bytes>(obj); }

bool is_pil(nb::handle obj) {
  nb::object image_type = nb::module_::import_("PIL.Image").attr("Image");
  return PyObject_IsInstance(obj.ptr(), image_type.ptr()) == 1;
}

bool is_mapping(nb::handle obj) {
  return PyDict_CheckExact(obj.ptr()) || (PyMapping_Check(obj.ptr()) && nb::hasattr(obj, "items") &&
                                          !nb::isinstance<nb::list>(obj) && !nb::isinstance<nb::tuple>(obj));
}

std::vector<std::pair<nb::object, nb::object>> mapping_items(nb::handle obj, const std::string& expected) {
  std::vector<std::pair<nb::object, nb::object>> out;
  if (PyDict_CheckExact(obj.ptr())) {  // what items() gives, without making the item tuples
    out.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj.ptr())));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj.ptr(), &pos, &key, &value)) out.emplace_back(nb::borrow(key), nb::borrow(value));
    return out;
  }
  if (!is_mapping(obj)) throw TypeError(expected_got(expected, py_type_name(obj)));
  for (nb::handle item : obj.attr("items")()) out.emplace_back(item[nb::int_(0)], item[nb::int_(1)]);
  return out;
}

nb::list to_list(nb::handle seq) {
  PyObject* l = PySequence_List(seq.ptr());
  if (!l) throw nb::python_error();
  return nb::steal<nb::list>(l);
}

bool to_bool(nb::handle v) {
  const int t = PyObject_IsTrue(v.ptr());
  if (t < 0) throw nb::python_error();
  return t == 1;
}

nb::object get_item(nb::handle container, nb::handle key) {
  PyObject* v = PyObject_GetItem(container.ptr(), key.ptr());
  if (!v) throw nb::python_error();
  return nb::steal(v);
}

nb::object get_field(nb::handle record, const char* field) { return get_item(record, nb::str(field)); }

void set_item(nb::handle container, nb::handle key, nb::handle value) {
  if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

std::string item_name(const std::string& base, nb::handle key) { return base + "[" + to_text(nb::repr(key)) + "]"; }

std::string field_name(const std::string& base, const char* field) { return base + "[\"" + field + "\"]"; }

// ------------------------------------------------------------- texts, paths

std::string to_text(nb::handle obj) {
  nb::object s = nb::steal(PyObject_Str(obj.ptr()));
  if (!s.is_valid()) throw nb::python_error();
  return utf8_of(s);
}

std::string utf8_of(nb::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

std::string to_utf8(nb::handle v, const std::string& what) {
  if (!PyUnicode_Check(v.ptr())) throw TypeError(expected_got("a text for " + what, py_type_name(v)));
  return utf8_of(v);
}

std::string utf8_surrogatepass(nb::handle str) {
  nb::object bytes = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  if (!bytes.is_valid()) throw nb::python_error();
  return bytes_of(bytes);
}

nb::str str_of(const std::string& utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

nb::str console_text(std::string_view utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "backslashreplace");
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

bool is_path_like(nb::handle obj) { return PyUnicode_Check(obj.ptr()) || nb::hasattr(obj, "__fspath__"); }

std::string to_path(nb::handle path, const std::string& what) {
  if (!is_path_like(path))
    throw TypeError(expected_got("a path (str or os.PathLike) for " + what, py_type_name(path)));
  nb::object text = nb::steal(PyOS_FSPath(path.ptr()));
  if (!text.is_valid()) throw nb::python_error();
  if (!PyUnicode_Check(text.ptr()))
    throw TypeError(expected_got("a text path for " + what, py_type_name(text)));
  nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!bytes.is_valid()) throw nb::python_error();
  std::string out = bytes_of(bytes);
  if (out.find('\0') != std::string::npos) throw ValueError("embedded null character in " + what);
  return out;
}

std::string to_fs_text(nb::handle value) {
  nb::str text = nb::str(value);
  nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!bytes.is_valid()) throw nb::python_error();
  return bytes_of(bytes);
}

nb::str path_str(const std::string& path) {
  PyObject* s = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

// ------------------------------------------------------------------ numbers

HostNumber to_host_number(nb::handle v, const std::string& what, BigInt big) {
  return to_host_number(v, [&] { return what; }, big);
}

HostNumber to_host_number(nb::handle v, const std::function<std::string()>& what, BigInt big) {
  if (PyFloat_CheckExact(v.ptr())) return HostNumber::real(PyFloat_AS_DOUBLE(v.ptr()));
  if (PyLong_CheckExact(v.ptr())) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0) return HostNumber::integer(x);
  }
  if (!PyFloat_Check(v.ptr()) && PyIndex_Check(v.ptr())) {
    nb::object i = nb::steal(PyNumber_Index(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow == 0) {
      if (x == -1 && PyErr_Occurred()) throw nb::python_error();
      return HostNumber::integer(x);
    }
    if (big == BigInt::Saturate) return HostNumber::integer(overflow > 0 ? INT64_MAX : INT64_MIN);
    if (big == BigInt::Raise)
      throw std::overflow_error(what() + " is too large: expected an integer of at most 64 bits, got " +
                                to_text(nb::repr(v)));
    const double d = PyLong_AsDouble(i.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return HostNumber::real(d);
  }
  // Complex numbers have no real value to compute with (numpy's would drop
  // the imaginary part with a warning).
  const bool complex =
      PyComplex_Check(v.ptr()) ||
      (!PyFloat_Check(v.ptr()) && PyObject_IsInstance(v.ptr(), numpy().attr("complexfloating").ptr()) == 1);
  if (!complex && (PyFloat_Check(v.ptr()) || nb::hasattr(v, "__float__"))) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return HostNumber::real(d);
  }
  throw TypeError(expected_got("a number for " + what(), py_type_name(v)));
}

double to_real(nb::handle v, const std::string& what) { return to_host_number(v, what).as_double(); }

int64_t to_integer(nb::handle v, const std::string& what) {
  if (PyFloat_Check(v.ptr()) || !PyIndex_Check(v.ptr()))
    throw TypeError(expected_got("an integer for " + what, py_type_name(v)));
  return to_host_number(v, what, BigInt::Saturate).i;
}

nb::object host_number_to_py(const HostNumber& n) {
  if (n.is_int) return nb::int_(n.i);
  return nb::float_(n.d);
}

void to_box(nb::handle box, HostNumber (&out)[4], const std::string& what) {
  for (int k = 0; k < 4; ++k) out[k] = to_host_number(box[nb::int_(k)], what + "[" + std::to_string(k) + "]");
}

std::vector<std::array<double, 4>> to_boxes(nb::handle obj, const std::string& what) {
  std::vector<std::array<double, 4>> out;
  if (is_array_like(obj)) {
    NDArray a = to_ndarray(obj, what);
    if (a.size() == 0) return out;
    if (a.ndim() != 2 || a.shape[1] < 4)
      throw ValueError(expected_got(what + " of shape (N, 4)", "an array of shape " + a.shape_text()));
    const int64_t cols = a.shape[1];
    for (int64_t r = 0; r < a.shape[0]; ++r)
      out.push_back({a.get(r * cols), a.get(r * cols + 1), a.get(r * cols + 2), a.get(r * cols + 3)});
    return out;
  }
  if (is_text_like(obj) || !PySequence_Check(obj.ptr()))
    throw TypeError(expected_got("a list of [x_min, y_min, x_max, y_max] boxes for " + what, py_type_name(obj)));
  size_t k = 0;
  for (nb::handle b : obj) {
    const std::string item = what + "[" + std::to_string(k) + "]";
    const Py_ssize_t n = (is_text_like(b) || !PySequence_Check(b.ptr())) ? -1 : PySequence_Size(b.ptr());
    if (n < 4) {
      if (PyErr_Occurred()) PyErr_Clear();
      throw ValueError(expected_got("[x_min, y_min, x_max, y_max] for " + item, to_text(nb::repr(b))));
    }
    HostNumber numbers[4];
    to_box(b, numbers, item);
    std::array<double, 4> box{};
    for (int c = 0; c < 4; ++c) box[c] = numbers[c].as_double();
    out.push_back(box);
    ++k;
  }
  return out;
}

std::vector<std::array<HostNumber, 2>> to_points(nb::handle obj, const std::string& what) {
  nb::object seq = nb::borrow(obj);
  if (is_array_like(seq)) seq = host_array(seq);
  if (is_text_like(seq) || !PySequence_Check(seq.ptr()))
    throw TypeError(expected_got("a list of (x, y) points for " + what, py_type_name(seq)));
  std::vector<std::array<HostNumber, 2>> out;
  size_t k = 0;
  for (nb::handle p : seq) {
    const std::string item = what + "[" + std::to_string(k) + "]";
    if (is_text_like(p) || !PySequence_Check(p.ptr()) || PySequence_Size(p.ptr()) != 2) {
      if (PyErr_Occurred()) PyErr_Clear();
      throw ValueError(expected_got("an (x, y) pair of numbers for " + item, to_text(nb::repr(p))));
    }
    out.push_back({to_host_number(p[nb::int_(0)], item + "[0]"), to_host_number(p[nb::int_(1)], item + "[1]")});
    ++k;
  }
  return out;
}

// ------------------------------------------------------------------- arrays

nb::module_ numpy() {
  static PyObject* np = nb::module_::import_("numpy").release().ptr();
  return nb::borrow<nb::module_>(np);
}

nb::object host_array(nb::handle obj) {
  if (is_ndarray(obj)) return nb::borrow(obj);
  if (is_tensor(obj)) return numpy().attr("asarray")(obj.attr("detach")().attr("cpu")().attr("numpy")());
  try {
    return numpy().attr("asarray")(obj);
  } catch (nb::python_error& e) {
    // Listing a huge sequence runs out of memory with a MemoryError that
    // carries no text; say what was being converted.
    if (!e.matches(PyExc_MemoryError) || !to_text(e.value()).empty()) throw;
    PyErr_SetString(PyExc_MemoryError, ("out of memory converting a " + py_type_name(obj) + " to an array").c_str());
    throw nb::python_error();
  }
}

nb::object native_byte_order(nb::handle array) {
  if (nb::cast<bool>(array.attr("dtype").attr("isnative"))) return nb::borrow(array);
  return array.attr("astype")(array.attr("dtype").attr("newbyteorder")("="));
}

char dtype_kind(nb::handle array) { return nb::cast<std::string>(array.attr("dtype").attr("kind"))[0]; }

bool numeric_kind(char kind) { return kind == 'b' || kind == 'u' || kind == 'i' || kind == 'f' || kind == 'c'; }

std::optional<DType> dtype_of(nb::handle array) {
  const char kind = dtype_kind(array);
  const auto itemsize = nb::cast<size_t>(array.attr("itemsize"));
  if (kind == 'b') return DType::Bool;
  if (kind == 'u' || kind == 'i') {
    const bool u = kind == 'u';
    switch (itemsize) {
      case 1: return u ? DType::UInt8 : DType::Int8;
      case 2: return u ? DType::UInt16 : DType::Int16;
      case 4: return u ? DType::UInt32 : DType::Int32;
      case 8: return u ? DType::UInt64 : DType::Int64;
      default: return std::nullopt;
    }
  }
  if (kind == 'f' && itemsize == 4) return DType::Float32;
  if (kind == 'f' && itemsize == 8) return DType::Float64;
  return std::nullopt;
}

ArrayView to_array_view(nb::handle obj, const std::string& expected) {
  nb::object a = native_byte_order(host_array(obj));
  const auto itemsize = nb::cast<size_t>(a.attr("itemsize"));
  if (dtype_kind(a) == 'f' && itemsize != 4 && itemsize != 8) a = a.attr("astype")(itemsize < 4 ? "float32" : "float64");
  a = numpy().attr("ascontiguousarray")(a);
  const std::optional<DType> t = dtype_of(a);
  if (!t) throw TypeError(expected_got(expected, "dtype " + to_text(a.attr("dtype"))));
  ArrayView v;
  v.dtype = *t;
  for (nb::handle d : a.attr("shape")) v.shape.push_back(nb::cast<int64_t>(d));
  v.data = array_data(a);
  v.owner = held(std::move(a));
  return v;
}

NDArray to_ndarray(nb::handle obj, const std::string& what) {
  const ArrayView v = to_array_view(obj, "a numeric array for " + what);
  NDArray out(v.dtype, v.shape);
  if (!out.bytes.empty()) std::memcpy(out.bytes.data(), v.data, out.bytes.size());
  return out;
}

const uint8_t* array_data(nb::handle array) {
  return static_cast<const uint8_t*>(buffer_start(array, PyBUF_C_CONTIGUOUS));
}

uint8_t* writable_array_data(nb::handle array) {
  return static_cast<uint8_t*>(buffer_start(array, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
}

const uint8_t* first_element(nb::handle array) {
  return static_cast<const uint8_t*>(buffer_start(array, PyBUF_STRIDES));
}

std::vector<int64_t> to_whole_numbers(nb::handle obj, const std::string& what) {
  nb::object a = host_array(obj);
  if (nb::cast<size_t>(a.attr("ndim")) != 1)
    throw ValueError(expected_got("a 1-D array of whole numbers for " + what, "an array of shape " + shape_of(a)));
  const char kind = dtype_kind(a);
  if (kind == 'i' || kind == 'b') {
    a = numpy().attr("ascontiguousarray")(a, "dtype"_a = "int64");
    const auto* data = reinterpret_cast<const int64_t*>(array_data(a));
    return std::vector<int64_t>(data, data + nb::cast<size_t>(a.attr("size")));
  }
  // Unsigned, real or object elements: each must be a whole number in int64.
  const auto n = nb::cast<size_t>(a.attr("size"));
  std::vector<int64_t> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string item = what + "[" + std::to_string(i) + "]";
    const HostNumber h = to_host_number(a[nb::int_(i)], item, BigInt::Raise);
    if (h.is_int) {
      out.push_back(h.i);
    } else if (std::isfinite(h.d) && std::trunc(h.d) == h.d && h.d >= -0x1p63 && h.d < 0x1p63) {
      out.push_back(static_cast<int64_t>(h.d));
    } else {
      throw ValueError(expected_got("a whole number for " + item, h.text()));
    }
  }
  return out;
}

std::vector<double> to_real_vector(nb::handle obj, const std::string& what) {
  nb::object a;
  // Tensors of element types the array library lacks (bfloat16) are
  // widened on their own side first.
  if (is_tensor(obj) && nb::hasattr(obj, "double")) {
    // Widening a complex tensor would drop its imaginary parts.
    if (nb::hasattr(obj, "is_complex") && to_bool(obj.attr("is_complex")()))
      throw TypeError(expected_got("real numbers in " + what, "dtype " + to_text(obj.attr("dtype"))));
    a = numpy().attr("asarray")(obj.attr("detach")().attr("cpu")().attr("double")().attr("numpy")());
  } else
    a = host_array(obj);
  const char kind = dtype_kind(a);
  if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f')
    throw TypeError(expected_got("real numbers in " + what, "dtype " + to_text(a.attr("dtype"))));
  if (nb::cast<size_t>(a.attr("ndim")) != 1)
    throw ValueError(expected_got("a 1-D vector for " + what, "an array of shape " + shape_of(a)));
  a = numpy().attr("ascontiguousarray")(a, "dtype"_a = "float64");
  const auto* data = reinterpret_cast<const double*>(array_data(a));
  return std::vector<double>(data, data + nb::cast<size_t>(a.attr("size")));
}

namespace {

nb::dlpack::dtype dlpack_of(DType t) {
  switch (t) {
    case DType::Bool: return nb::dtype<bool>();
    case DType::UInt8: return nb::dtype<uint8_t>();
    case DType::Int8: return nb::dtype<int8_t>();
    case DType::UInt16: return nb::dtype<uint16_t>();
    case DType::Int16: return nb::dtype<int16_t>();
    case DType::UInt32: return nb::dtype<uint32_t>();
    case DType::Int32: return nb::dtype<int32_t>();
    case DType::UInt64: return nb::dtype<uint64_t>();
    case DType::Int64: return nb::dtype<int64_t>();
    case DType::Float32: return nb::dtype<float>();
    case DType::Float64: return nb::dtype<double>();
  }
  return nb::dtype<double>();
}

}  // namespace

nb::object to_numpy(NDArray&& a) {
  auto* holder = new NDArray(std::move(a));
  if (holder->bytes.empty()) holder->bytes.reserve(1);
  nb::capsule owner(holder, [](void* p) noexcept { delete static_cast<NDArray*>(p); });
  std::vector<size_t> shape(holder->shape.begin(), holder->shape.end());
  nb::ndarray<nb::numpy> arr(holder->bytes.data(), shape.size(), shape.data(), owner, nullptr,
                             dlpack_of(holder->dtype));
  return nb::cast(arr, nb::rv_policy::reference);
}

nb::object to_numpy(std::vector<double>&& values, std::vector<size_t> shape) {
  NDArray a;
  a.dtype = DType::Float64;
  a.shape.assign(shape.begin(), shape.end());
  a.bytes.resize(values.size() * sizeof(double));
  if (!values.empty()) std::memcpy(a.bytes.data(), values.data(), a.bytes.size());
  return to_numpy(std::move(a));
}

nb::object to_numpy(const std::vector<int64_t>& values) {
  NDArray a(DType::Int64, {static_cast<int64_t>(values.size())});
  if (!values.empty()) std::memcpy(a.bytes.data(), values.data(), values.size() * sizeof(int64_t));
  return to_numpy(std::move(a));
}

nb::object text_array(const std::vector<std::string>& texts, const std::vector<int64_t>& take) {
  nb::list items;
  for (const auto& t : texts) items.append(str_of(t));
  return numpy().attr("array")(items)[to_numpy(take)];
}

// -------------------------------------------------------------------- masks

namespace {

// The caller's mask as a 2-D numpy array of a numeric or bool element type
// (a leading axis of length 1 dropped when allowed).
nb::object mask_array(nb::handle obj, const std::string& what, bool allow_leading_one) {
  if (const CompactMask* c = compact_mask_of(obj)) return dense_mask(c->runs());
  if (!is_array_like(obj)) throw TypeError(expected_got("a 2-D array for " + what, py_type_name(obj)));
  nb::object a = host_array(obj);
  size_t ndim = nb::cast<size_t>(a.attr("ndim"));
  if (ndim == 3 && allow_leading_one && nb::cast<int64_t>(a.attr("shape")[0]) == 1) {
    a = a[nb::int_(0)];
    ndim = 2;
  }
  if (ndim != 2) {
    throw ValueError(expected_got(std::string("a 2-D mask (height x width") +
                                      (allow_leading_one ? ", or 1 x height x width" : "") +
                                      ") for " + what,
                                  "an array of shape " + shape_of(a)));
  }
  if (!numeric_kind(dtype_kind(a)))
    throw TypeError(expected_got("a numeric or bool mask for " + what, "dtype " + to_text(a.attr("dtype"))));
  return a;
}

// Whether the last two axes of an array are rows of contiguous elements of
// `itemsize` bytes, rows at growing addresses.
bool rows_in_place(nb::handle a, size_t itemsize) {
  const auto ndim = nb::cast<size_t>(a.attr("ndim"));
  nb::object shape = a.attr("shape"), strides = a.attr("strides");
  const auto h = nb::cast<int64_t>(shape[nb::int_(ndim - 2)]), w = nb::cast<int64_t>(shape[nb::int_(ndim - 1)]);
  const auto row = nb::cast<int64_t>(strides[nb::int_(ndim - 2)]);
  const auto col = nb::cast<int64_t>(strides[nb::int_(ndim - 1)]);
  return (w <= 1 || col == static_cast<int64_t>(itemsize)) && (h <= 1 || row >= w * static_cast<int64_t>(itemsize));
}

// The masks of a mask-list argument: the planes of an N x H x W (or
// N x 1 x H x W) array, or the items of a sequence, each converted by
// `convert(item, name)`. `stack(array)` converts a whole array in one go
// where its planes cannot be read as they are: a broadcast stack far larger
// than memory then fails at once instead of mask by mask.
template <typename Item, typename Stack, typename Convert>
std::vector<Item> mask_list(nb::handle obj, const std::string& what, Stack stack, Convert convert) {
  std::vector<Item> out;
  if (is_array_like(obj)) {
    nb::object seq = host_array(obj);
    const size_t ndim = nb::cast<size_t>(seq.attr("ndim"));
    if (ndim != 3 && ndim != 4)
      throw ValueError(expected_got("a sequence of 2-D masks (an N x height x width array) for " + what,
                                    "an array of shape " + shape_of(seq)));
    const int64_t n = nb::cast<int64_t>(seq.attr("shape")[0]);
    // A zero-size or broadcast array can claim more masks than memory holds
    // views for: refuse it before walking it.
    require_allocatable(static_cast<uint64_t>(n), sizeof(Item), [&] {
      return "the " + std::to_string(n) + " masks of " + what + " (an array of shape " + shape_of(seq) + ")";
    });
    out.reserve(static_cast<size_t>(n));
    if (numeric_kind(dtype_kind(seq)) && n > 0) seq = stack(seq);
    for (int64_t k = 0; k < n; ++k) {
      out.push_back(convert(seq[nb::int_(k)], what + "[" + std::to_string(k) + "]"));
      if ((k & 4095) == 4095 && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return out;
  }
  if (!PySequence_Check(obj.ptr()) || is_text_like(obj))
    throw TypeError(expected_got("a list of masks or an N x height x width array for " + what, py_type_name(obj)));
  size_t k = 0;
  for (nb::handle item : obj) {
    out.push_back(convert(item, what + "[" + std::to_string(k) + "]"));
    ++k;
  }
  return out;
}

// Masks as 0/1 bytes (non-zero, NaN included, is set), contiguous.
nb::object nonzero_bytes(nb::handle a) {
  require_allocatable(nb::cast<uint64_t>(a.attr("size")), 1,
                      [&] { return "the non-zero pixels of an array of shape " + shape_of(a) + " as bytes"; });
  return numpy().attr("ascontiguousarray")(numpy().attr("not_equal")(a, 0));
}

// An array in the machine's byte order and of an element type the core
// knows: float16 widened to float32; element types the core has no
// counterpart of (complex, wider reals) become int8, 1 where the array
// library finds an element above zero, -1 where it is otherwise non-zero,
// 0 where it is zero. Rows made contiguous where they are not.
nb::object typed_planes(nb::handle array) {
  nb::object a = native_byte_order(array);
  if (dtype_kind(a) == 'f' && nb::cast<size_t>(a.attr("itemsize")) == 2) a = a.attr("astype")("float32");
  if (!dtype_of(a)) {
    nb::object above = numpy().attr("greater")(a, 0);
    a = numpy().attr("subtract")(numpy().attr("multiply")(above, 2, "dtype"_a = "int8"), numpy().attr("not_equal")(a, 0),
                                 "dtype"_a = "int8");
  }
  if (!rows_in_place(a, nb::cast<size_t>(a.attr("itemsize")))) a = numpy().attr("ascontiguousarray")(a);
  return a;
}

}  // namespace

MaskInput to_mask(nb::handle obj, const std::string& what, bool allow_leading_one) {
  nb::object a = mask_array(obj, what, allow_leading_one);
  MaskInput out;
  nb::ndarray<nb::ro, nb::device::cpu> view;
  if (nb::cast<size_t>(a.attr("itemsize")) == 1 && rows_in_place(a, 1) && nb::try_cast(a, view, false) &&
      view.ndim() == 2) {
    out.view = MaskView{static_cast<const uint8_t*>(view.data()), static_cast<int64_t>(view.shape(0)),
                        static_cast<int64_t>(view.shape(1)),
                        view.shape(0) <= 1 ? static_cast<int64_t>(view.shape(1)) : view.stride(0)};
    out.source = a;
    return out;
  }
  // Any other layout or element type: one conversion to contiguous 0/1 bytes.
  nb::object b = nonzero_bytes(a);
  const int64_t h = nb::cast<int64_t>(b.attr("shape")[0]), w = nb::cast<int64_t>(b.attr("shape")[1]);
  out.view = MaskView{array_data(b), h, w, w};
  out.source = b;
  return out;
}

std::vector<MaskInput> to_mask_list(nb::handle obj, const std::string& what) {
  return mask_list<MaskInput>(
      obj, what,
      [](nb::object seq) { return nb::cast<size_t>(seq.attr("itemsize")) == 1 && rows_in_place(seq, 1) ? seq : nonzero_bytes(seq); },
      [](nb::handle item, const std::string& name) { return to_mask(item, name); });
}

namespace {

// Masks with their elements as the array library's astype(uint8) gives
// them, in a layout to_mask reads in place (one-byte arrays that already are
// one stay as they are).
nb::object weight_bytes(nb::object a) {
  if (nb::cast<size_t>(a.attr("itemsize")) == 1 && rows_in_place(a, 1)) return a;
  require_allocatable(nb::cast<uint64_t>(a.attr("size")), 1,
                      [&] { return "the weights of an array of shape " + shape_of(a) + " as bytes"; });
  return numpy().attr("ascontiguousarray")(a.attr("astype")("uint8"));
}

}  // namespace

std::vector<MaskInput> to_weight_mask_list(nb::handle obj, const std::string& what) {
  return mask_list<MaskInput>(
      obj, what, [](nb::object seq) { return weight_bytes(seq); },
      [](nb::handle item, const std::string& name) {
        return to_mask(is_array_like(item) ? weight_bytes(mask_array(item, name, true)) : nb::borrow(item), name);
      });
}

PlaneInput to_plane(nb::handle obj, const std::string& what) {
  nb::object a = typed_planes(mask_array(obj, what, true));
  const auto itemsize = nb::cast<int64_t>(a.attr("itemsize"));
  const auto h = nb::cast<int64_t>(a.attr("shape")[0]), w = nb::cast<int64_t>(a.attr("shape")[1]);
  const auto row = nb::cast<int64_t>(a.attr("strides")[0]);
  PlaneInput out;
  out.plane = PlaneView{*dtype_of(a), first_element(a), h, w, h <= 1 ? w * itemsize : row};
  out.source = a;
  return out;
}

std::vector<PlaneInput> to_plane_list(nb::handle obj, const std::string& what) {
  return mask_list<PlaneInput>(
      obj, what, [](nb::object seq) { return typed_planes(seq); },
      [](nb::handle item, const std::string& name) { return to_plane(item, name); });
}

std::vector<PlaneView> planes_of(const std::vector<PlaneInput>& masks) {
  std::vector<PlaneView> v;
  v.reserve(masks.size());
  for (const auto& m : masks) v.push_back(m.plane);
  return v;
}

RunMask to_run_mask(nb::handle obj, const std::string& what, DType* dtype) {
  if (const CompactMask* c = compact_mask_of(obj)) {
    if (dtype) *dtype = DType::UInt8;  // what its dense form holds
    return c->runs();
  }
  PlaneInput in = to_plane(obj, what);
  if (dtype) *dtype = in.plane.dtype;
  RunMask out;
  {
    nb::gil_scoped_release release;
    out = runs_of(in.plane);
  }
  return out;
}

nb::object to_numpy(MaskStack&& stack) {
  auto* holder = new MaskStack(std::move(stack));
  nb::capsule owner(holder, [](void* p) noexcept { delete static_cast<MaskStack*>(p); });
  const size_t shape[3] = {static_cast<size_t>(holder->layers), static_cast<size_t>(holder->height),
                           static_cast<size_t>(holder->width)};
  nb::ndarray<nb::numpy, uint8_t> arr(holder->data.get(), 3, shape, owner);
  return nb::cast(arr, nb::rv_policy::reference);
}

std::vector<MaskView> views_of(const std::vector<MaskInput>& masks) {
  std::vector<MaskView> v;
  v.reserve(masks.size());
  for (const auto& m : masks) v.push_back(m.view);
  return v;
}

MaskDictInput to_mask_dict(nb::handle obj, const std::string& what) {
  MaskDictInput out;
  for (auto& [key, value] : mapping_items(obj, "a mapping of mask keys to masks for " + what)) {
    out.masks.push_back(to_mask(value, what + "[" + to_text(nb::repr(key)) + "]"));
    out.map.emplace_back(to_text(key), out.masks.back().view);
    out.keys.append(key);
  }
  return out;
}

std::optional<std::array<int64_t, 2>> mask_height_width(nb::handle array) {
  std::vector<int64_t> shape;
  for (nb::handle d : array.attr("shape")) shape.push_back(nb::cast<int64_t>(d));
  std::vector<int64_t> kept;
  for (int64_t d : shape)
    if (d != 1) kept.push_back(d);
  if (kept.size() == 2) return std::array<int64_t, 2>{kept[0], kept[1]};
  if (shape.size() < 2) return std::nullopt;
  for (size_t k = 0; k + 2 < shape.size(); ++k)
    if (shape[k] != 1) return std::nullopt;
  return std::array<int64_t, 2>{shape[shape.size() - 2], shape[shape.size() - 1]};
}

MaskInput to_squeezed_mask(nb::handle array, const std::string& what) {
  if (!is_array_like(array)) throw TypeError(expected_got("an array for " + what, py_type_name(array)));
  nb::object a = host_array(array);
  const auto hw = mask_height_width(a);
  if (!hw)
    throw ValueError(expected_got("a height x width mask (axes of length 1 aside) for " + what,
                                  "an array of shape " + shape_of(a)));
  return to_mask(a.attr("reshape")((*hw)[0], (*hw)[1]), what, false);
}

nb::object new_bool_array(const std::vector<int64_t>& shape, uint8_t*& data) {
  nb::list dims;
  for (int64_t d : shape) dims.append(d);
  nb::object a = numpy().attr("zeros")(nb::tuple(dims), "dtype"_a = "bool");
  data = writable_array_data(a);
  return a;
}

PlaneDictInput to_plane_dict(nb::handle obj, const std::string& what) {
  return to_plane_dict(mapping_items(obj, "a mapping of mask keys to masks for " + what), what);
}

PlaneDictInput to_plane_dict(const std::vector<std::pair<nb::object, nb::object>>& items, const std::string& what) {
  PlaneDictInput out;
  for (const auto& [key, value] : items) {
    out.planes.push_back(to_plane(value, what + "[" + to_text(nb::repr(key)) + "]"));
    out.texts.push_back(to_text(key));
    out.keys.append(key);
  }
  return out;
}

// ------------------------------------------------------------------- images

cv::Mat array_to_mat(nb::handle array, nb::object& keep, const std::string& what) {
  nb::object a = numpy().attr("ascontiguousarray")(host_array(array));
  if (to_text(a.attr("dtype")) != "uint8")
    throw TypeError(expected_got("a uint8 image array for " + what, "dtype " + to_text(a.attr("dtype"))));
  const size_t ndim = nb::cast<size_t>(a.attr("ndim"));
  if (ndim != 2 && ndim != 3)
    throw ValueError(expected_got("an H x W or H x W x C image for " + what, "shape " + shape_of(a)));
  auto v = nb::cast<nb::ndarray<nb::ro, nb::device::cpu, nb::c_contig>>(a);
  const size_t channels = ndim == 3 ? v.shape(2) : 1;
  if (channels < 1 || channels > 4)
    throw ValueError(expected_got("1 to 4 channels for " + what, std::to_string(channels)));
  // Image sides are int in the imaging code; a zero-size array may still
  // claim more.
  if (v.shape(0) > INT_MAX || v.shape(1) > INT_MAX)
    throw ValueError(expected_got("an image of at most " + std::to_string(INT_MAX) + " rows and columns for " + what,
                                  "shape " + shape_of(a)));
  keep = a;
  return cv::Mat(static_cast<int>(v.shape(0)), static_cast<int>(v.shape(1)), CV_8UC(static_cast<int>(channels)),
                 const_cast<void*>(v.data()));
}

cv::Mat pil_to_rgb(nb::handle image) {
  nb::object rgb = as_pil(image).attr("convert")("RGB");
  nb::object keep;
  cv::Mat view = array_to_mat(numpy().attr("asarray")(rgb), keep, "image");
  // A copy of an empty Mat forgets its size and pixel type.
  if (view.empty()) return cv::Mat(view.rows, view.cols, CV_8UC3);
  return view.clone();
}

nb::object mat_to_pil(const cv::Mat& m) {
  if (m.depth() != CV_8U || m.channels() == 2 || m.channels() > 4)
    throw ValueError("internal: cannot make an image of this pixel format");
  const char* mode = m.channels() == 4 ? "RGBA" : m.channels() == 3 ? "RGB" : "L";
  nb::object pil = nb::module_::import_("PIL.Image");
  nb::tuple size = nb::make_tuple(m.cols, m.rows);
  if (m.empty()) return pil.attr("new")(mode, size);
  // frombytes copies into memory the imaging library owns, so the image is
  // writable like any it makes (fromarray would share a read-only buffer).
  cv::Mat c = m.isContinuous() ? m : m.clone();
  nb::object view = nb::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(c.data),
                                                      static_cast<Py_ssize_t>(c.total() * c.elemSize()),
                                                      PyBUF_READ));
  if (!view.is_valid()) throw nb::python_error();
  return pil.attr("frombytes")(mode, size, view);
}

nb::object open_regular_binary(nb::handle path) {
  // The host's open() with the core's opener: the file object carries the
  // path as its name, as the imaging library expects of an opened file.
  nb::object opener = nb::cpp_function([](nb::handle p, int) {
    std::string name = PyBytes_Check(p.ptr()) ? bytes_of(p) : to_path(p, "path");
    if (name.find('\0') != std::string::npos) throw ValueError("embedded null byte");
    return open_regular_file(name).fd;
  });
  return nb::module_::import_("builtins").attr("open")(path, "rb", "opener"_a = opener);
}

nb::object open_image(nb::handle path, const char* mode) {
  return with_image_source(path, [&](nb::handle source) {
    nb::object opened = nb::module_::import_("PIL.Image").attr("open")(source);
    try {
      nb::object image = opened.attr("convert")(mode);
      opened.attr("close")();
      return image;
    } catch (...) {
      opened.attr("close")();
      throw;
    }
  });
}

nb::object as_pil(nb::handle image) {
  if (is_pil(image)) return nb::borrow(image);
  if (is_array_like(image)) {
    nb::object keep;
    array_to_mat(image, keep, "image");
    return nb::module_::import_("PIL.Image").attr("fromarray")(keep);
  }
  throw TypeError(expected_got("a PIL image or a uint8 image array", py_type_name(image)));
}

nb::object new_image_array(int64_t height, int64_t width, int channels, uint8_t*& data) {
  nb::object a = numpy().attr("empty")(nb::make_tuple(height, width, channels), "dtype"_a = "uint8");
  data = writable_array_data(a);
  return a;
}

namespace {

// The Arrow C data interface (a stable ABI), through which the imaging
// library exports an image's own pixel rows.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

// The imaging library's own pixel rows of an image with four bytes per
// pixel (RGB with its padding byte, RGBA), exported through the Arrow C data
// interface, as a CV_8UC4 view of that memory; `keep` holds the export, and
// with it the image's memory, alive. An empty Mat when the image does not
// export its memory that way (an older library, memory in several blocks, an
// image without pixels).
cv::Mat pil_memory(nb::handle image, nb::object& keep) {
  if (!nb::hasattr(image, "__arrow_c_array__")) return {};
  nb::object exported;
  try {
    exported = image.attr("__arrow_c_array__")();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return {};
  }
  nb::object schema_capsule = exported[nb::int_(0)], array_capsule = exported[nb::int_(1)];
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule.ptr(), "arrow_array"));
  if (!schema || !array) {
    PyErr_Clear();
    return {};
  }
  const auto w = nb::cast<int64_t>(image.attr("width")), h = nb::cast<int64_t>(image.attr("height"));
  if (w <= 0 || h <= 0 || w > INT_MAX || h > INT_MAX) return {};
  const int64_t n = w * h;
  const bool four_bytes = schema->format && std::strcmp(schema->format, "+w:4") == 0 && schema->n_children == 1 &&
                          schema->children[0]->format && std::strcmp(schema->children[0]->format, "C") == 0 &&
                          array->length == n && array->offset == 0 && array->null_count == 0 &&
                          array->n_children == 1;
  if (!four_bytes) return {};
  const ArrowArray* values = array->children[0];
  if (values->length != 4 * n || values->offset != 0 || values->null_count != 0 || values->n_buffers != 2 ||
      !values->buffers[1])
    return {};
  keep = exported;
  return cv::Mat(static_cast<int>(h), static_cast<int>(w), CV_8UC4, const_cast<void*>(values->buffers[1]));
}

}  // namespace

nb::object rgb_pixels(nb::handle rgb) {
  nb::object keep;
  const cv::Mat rgbx = pil_memory(rgb, keep);
  if (rgbx.empty()) return nb::none();
  uint8_t* dst = nullptr;
  nb::object out = new_image_array(rgbx.rows, rgbx.cols, 3, dst);
  {
    nb::gil_scoped_release release;
    cv::Mat rgb_out(rgbx.rows, rgbx.cols, CV_8UC3, dst);
    cv::cvtColor(rgbx, rgb_out, cv::COLOR_RGBA2RGB);
  }
  return out;
}

nb::object rgb_image_array(nb::handle image) {
  nb::object rgb = as_pil(image);
  if (to_text(rgb.attr("mode")) != "RGB") rgb = rgb.attr("convert")("RGB");
  nb::object pixels = rgb_pixels(rgb);
  return pixels.is_none() ? numpy().attr("array")(rgb) : pixels;
}

ImagePixels to_drawing_pixels(nb::handle image, const std::string& what) {
  ImagePixels in;
  nb::object source;
  if (is_pil(image)) {
    nb::object img = nb::borrow(image);
    std::string mode = to_text(img.attr("mode"));
    if (mode != "RGB" && mode != "RGBA") {
      img = img.attr("convert")("RGBA");
      mode = "RGBA";
    }
    // The image's own memory where the library lends it: no copy at all.
    in.pixels = pil_memory(img, in.keep);
    if (!in.pixels.empty()) {
      in.padded = mode == "RGB";
      return in;
    }
    source = numpy().attr("asarray")(img);
  } else if (is_array_like(image)) {
    nb::object a = host_array(image);
    const size_t ndim = nb::cast<size_t>(a.attr("ndim"));
    const bool direct = ndim == 3 && to_text(a.attr("dtype")) == "uint8" &&
                        (nb::cast<int64_t>(a.attr("shape")[2]) == 3 || nb::cast<int64_t>(a.attr("shape")[2]) == 4);
    source = direct ? a : numpy().attr("asarray")(as_pil(a).attr("convert")("RGBA"));
  } else {
    throw TypeError(expected_got("a PIL image or a uint8 image array for " + what, py_type_name(image)));
  }
  in.pixels = array_to_mat(source, in.keep, what);
  return in;
}

nb::object new_rgba_image(int height, int width, const std::function<void(cv::Mat&)>& draw) {
  if (height <= 0 || width <= 0) {
    cv::Mat out(std::max(height, 0), std::max(width, 0), CV_8UC4);
    {
      nb::gil_scoped_release release;
      draw(out);
    }
    return mat_to_pil(out);
  }
  // From the allocator, not zeroed: every pixel is written, and memory that
  // an earlier image gave back is reused without new page faults.
  std::unique_ptr<uint8_t[]> pixels_block(new uint8_t[static_cast<size_t>(height) * static_cast<size_t>(width) * 4]);
  nb::capsule owner(pixels_block.get(), [](void* p) noexcept { delete[] static_cast<uint8_t*>(p); });
  uint8_t* block = pixels_block.release();
  {
    nb::gil_scoped_release release;
    cv::Mat canvas(height, width, CV_8UC4, block);
    draw(canvas);
  }
  const size_t shape[3] = {static_cast<size_t>(height), static_cast<size_t>(width), 4};
  nb::object pixels = nb::cast(nb::ndarray<nb::numpy, uint8_t>(block, 3, shape, owner), nb::rv_policy::reference);
  // The image maps the block, and the block is the image's alone: it is
  // marked writable like any image the library makes (frombuffer marks it
  // read-only for buffers that others may share).
  nb::object image = nb::module_::import_("PIL.Image")
                         .attr("frombuffer")("RGBA", nb::make_tuple(width, height), pixels, "raw", "RGBA", 0, 1);
  image.attr("readonly") = 0;
  return image;
}

// ------------------------------------------------------------ tables, JSON

nb::module_ pandas() { return nb::module_::import_("pandas"); }

nb::object square_frame(std::vector<double>&& cells, const nb::list& keys) {
  const size_t n = nb::len(keys);
  nb::object values = to_numpy(std::move(cells), {n, n});
  return pandas().attr("DataFrame")(values, "index"_a = keys, "columns"_a = keys);
}

nb::object columns_frame(const std::vector<std::string>& columns, const std::vector<nb::list>& values) {
  nb::list names;
  for (const auto& c : columns) names.append(nb::str(c.c_str(), c.size()));
  if (values.empty() || nb::len(values[0]) == 0) return pandas().attr("DataFrame")("columns"_a = names);
  nb::dict data;
  for (size_t c = 0; c < columns.size(); ++c) data[names[c]] = values[c];
  return pandas().attr("DataFrame")(data, "columns"_a = names);
}

namespace {

// The element type of a buffer in the host's native byte order that the
// core reads as it is (float16, long double, complex and objects are not).
std::optional<DType> buffer_dtype(const Py_buffer& view) {
  if (!view.format || !view.format[0] || view.format[1]) return std::nullopt;
  const char f = view.format[0];
  const Py_ssize_t size = view.itemsize;
  if (f == '?') return DType::Bool;
  if (f == 'f' && size == 4) return DType::Float32;
  if (f == 'd' && size == 8) return DType::Float64;
  const bool is_signed = f == 'b' || f == 'h' || f == 'i' || f == 'l' || f == 'q';
  if (!is_signed && f != 'B' && f != 'H' && f != 'I' && f != 'L' && f != 'Q') return std::nullopt;
  switch (size) {
    case 1: return is_signed ? DType::Int8 : DType::UInt8;
    case 2: return is_signed ? DType::Int16 : DType::UInt16;
    case 4: return is_signed ? DType::Int32 : DType::UInt32;
    case 8: return is_signed ? DType::Int64 : DType::UInt64;
    default: return std::nullopt;
  }
}

// The cells of a 2-D buffer of `Size`-byte elements, row by row.
template <size_t Size>
void copy_strided(const Py_buffer& view, uint8_t* to) {
  const auto* from = static_cast<const uint8_t*>(view.buf);
  for (Py_ssize_t r = 0; r < view.shape[0]; ++r)
    for (Py_ssize_t c = 0; c < view.shape[1]; ++c, to += Size)
      std::memcpy(to, from + r * view.strides[0] + c * view.strides[1], Size);
}

// A 2-D numpy array of a native numeric type copied row by row from its
// buffer (the cells of a DataFrame are often its transposed view); nothing
// when the array is anything else.
std::optional<NDArray> copy_plain_table(nb::handle array) {
  if (!is_ndarray(array)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<NDArray> out;
  const std::optional<DType> dtype = view.ndim == 2 ? buffer_dtype(view) : std::nullopt;
  if (dtype) {
    out.emplace(*dtype, std::vector<int64_t>{view.shape[0], view.shape[1]});
    switch (view.itemsize) {
      case 1: copy_strided<1>(view, out->bytes.data()); break;
      case 2: copy_strided<2>(view, out->bytes.data()); break;
      case 4: copy_strided<4>(view, out->bytes.data()); break;
      default: copy_strided<8>(view, out->bytes.data()); break;
    }
  }
  PyBuffer_Release(&view);
  return out;
}

}  // namespace

NDArray frame_cells(nb::handle table, const std::function<std::string()>& what) {
  // Kept for the life of the process, like the array type.
  static PyObject* dataframe_type = nb::object(pandas().attr("DataFrame")).release().ptr();
  static PyObject* to_numpy = nb::str("to_numpy").release().ptr();
  if (!PyObject_TypeCheck(table.ptr(), reinterpret_cast<PyTypeObject*>(dataframe_type)) &&
      (!nb::hasattr(table, "to_numpy") || !nb::hasattr(table, "index") || !nb::hasattr(table, "columns")))
    throw TypeError(expected_got("a pandas DataFrame for " + what(), py_type_name(table)));
  nb::object values = nb::steal(PyObject_CallMethodNoArgs(table.ptr(), to_numpy));
  if (!values.is_valid()) throw nb::python_error();
  if (std::optional<NDArray> plain = copy_plain_table(values)) return std::move(*plain);
  NDArray cells = to_ndarray(values, what());
  if (cells.ndim() != 2)
    throw ValueError(expected_got("a 2-D table for " + what(), "cells of shape " + cells.shape_text()));
  return cells;
}

nb::object json_to_py(const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::Null: return nb::none();
    case JsonValue::Kind::Bool: return nb::bool_(v.boolean);
    case JsonValue::Kind::Int:
      if (v.big_int) {
        PyObject* i = PyLong_FromString(v.text.c_str(), nullptr, 10);
        if (!i) throw nb::python_error();
        return nb::steal(i);
      }
      return nb::int_(v.integer);
    case JsonValue::Kind::Float: return nb::float_(v.number);
    case JsonValue::Kind::String: return str_of(v.text);
    case JsonValue::Kind::Array: {
      nb::list out;
      for (const auto& item : v.items) out.append(json_to_py(item));
      return out;
    }
    case JsonValue::Kind::Object: {
      nb::dict out;
      for (const auto& [key, value] : v.members) out[str_of(key)] = json_to_py(value);
      return out;
    }
  }
  return nb::none();
}

}  // namespace mirelo::py
