#include "convert.hpp"

#include <climits>
#include <cstring>

#include "common/errors.hpp"

namespace mirelo::py {
namespace {

bool is_ndarray(nb::handle obj) {
  // Kept for the life of the process: never released after the interpreter.
  static PyObject* ndarray_type = nb::object(numpy().attr("ndarray")).release().ptr();
  return PyObject_IsInstance(obj.ptr(), ndarray_type) == 1;
}

bool looks_like_tensor(nb::handle obj) {
  return nb::hasattr(obj, "detach") && nb::hasattr(obj, "cpu") && nb::hasattr(obj, "numpy");
}

std::string shape_of(nb::handle a) { return to_text(a.attr("shape")); }

char dtype_kind(nb::handle a) { return nb::cast<std::string>(a.attr("dtype").attr("kind"))[0]; }

}  // namespace

std::string to_text(nb::handle obj) {
  nb::object s = nb::steal(PyObject_Str(obj.ptr()));
  if (!s.is_valid()) throw nb::python_error();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

std::string utf8_of(nb::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

nb::module_ numpy() {
  static PyObject* np = nb::module_::import_("numpy").release().ptr();
  return nb::borrow<nb::module_>(np);
}

std::string py_type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

nb::object host_array(nb::handle obj) {
  if (is_ndarray(obj)) return nb::borrow(obj);
  if (looks_like_tensor(obj)) return numpy().attr("asarray")(obj.attr("detach")().attr("cpu")().attr("numpy")());
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

MaskInput to_mask(nb::handle obj, const std::string& what, bool allow_leading_one) {
  nb::object a;
  if (is_ndarray(obj)) {
    a = nb::borrow(obj);
  } else if (looks_like_tensor(obj)) {
    a = host_array(obj);
  } else {
    throw TypeError(expected_got("a 2-D array for " + what, py_type_name(obj)));
  }
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
  const char kind = dtype_kind(a);
  if (kind != 'b' && kind != 'u' && kind != 'i' && kind != 'f' && kind != 'c')
    throw TypeError(expected_got("a numeric or bool mask for " + what,
                                 "dtype " + to_text(a.attr("dtype"))));

  MaskInput out;
  nb::ndarray<nb::ro, nb::device::cpu> view;
  if (nb::cast<size_t>(a.attr("itemsize")) == 1 && nb::try_cast(a, view, false) &&
      view.ndim() == 2 && (view.shape(1) <= 1 || view.stride(1) == 1) &&
      (view.shape(0) <= 1 || view.stride(0) >= static_cast<int64_t>(view.shape(1)))) {
    out.view = MaskView{static_cast<const uint8_t*>(view.data()), static_cast<int64_t>(view.shape(0)),
                        static_cast<int64_t>(view.shape(1)),
                        view.shape(0) <= 1 ? static_cast<int64_t>(view.shape(1)) : view.stride(0)};
    out.source = a;
    return out;
  }
  // Any other layout or element type: one conversion to contiguous 0/1 bytes
  // (NaN counts as set, as in the array library's non-zero test).
  nb::object b = numpy().attr("not_equal")(a, 0);
  b = numpy().attr("ascontiguousarray")(b);
  nb::ndarray<nb::ro, nb::device::cpu, nb::c_contig> bv = nb::cast<nb::ndarray<nb::ro, nb::device::cpu, nb::c_contig>>(b);
  out.view = MaskView{static_cast<const uint8_t*>(bv.data()), static_cast<int64_t>(bv.shape(0)),
                      static_cast<int64_t>(bv.shape(1)), static_cast<int64_t>(bv.shape(1))};
  out.source = b;
  return out;
}

std::vector<MaskInput> to_mask_list(nb::handle obj, const std::string& what) {
  std::vector<MaskInput> out;
  nb::object seq = nb::borrow(obj);
  if (looks_like_tensor(seq)) seq = host_array(seq);
  if (is_ndarray(seq)) {
    const size_t ndim = nb::cast<size_t>(seq.attr("ndim"));
    if (ndim != 3 && ndim != 4)
      throw ValueError(expected_got("a sequence of 2-D masks (an N x height x width array) for " + what,
                                    "an array of shape " + shape_of(seq)));
    const int64_t n = nb::cast<int64_t>(seq.attr("shape")[0]);
    // A zero-size or broadcast array can claim more masks than memory holds
    // views for: refuse it before walking it.
    try {
      out.reserve(static_cast<size_t>(n));
    } catch (const std::exception&) {
      PyErr_SetString(PyExc_MemoryError, ("out of memory for the " + std::to_string(n) + " masks of " + what +
                                          " (an array of shape " + shape_of(seq) + ")")
                                             .c_str());
      throw nb::python_error();
    }
    // Stacks whose masks cannot be read in place are converted in one go,
    // not one mask at a time: a broadcast stack far larger than memory fails
    // at once.
    const char kind = dtype_kind(seq);
    const bool numeric = kind == 'b' || kind == 'u' || kind == 'i' || kind == 'f' || kind == 'c';
    if (numeric && n > 0) {
      nb::object shape = seq.attr("shape"), strides = seq.attr("strides");
      const auto h = nb::cast<int64_t>(shape[nb::int_(ndim - 2)]), w = nb::cast<int64_t>(shape[nb::int_(ndim - 1)]);
      const auto row = nb::cast<int64_t>(strides[nb::int_(ndim - 2)]);
      const auto col = nb::cast<int64_t>(strides[nb::int_(ndim - 1)]);
      const bool in_place = nb::cast<size_t>(seq.attr("itemsize")) == 1 && (w <= 1 || col == 1) && (h <= 1 || row >= w);
      if (!in_place) seq = numpy().attr("ascontiguousarray")(numpy().attr("not_equal")(seq, 0));
    }
    for (int64_t k = 0; k < n; ++k) {
      out.push_back(to_mask(seq[nb::int_(k)], what + "[" + std::to_string(k) + "]"));
      if ((k & 4095) == 4095 && PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return out;
  }
  if (!PySequence_Check(seq.ptr()) || nb::isinstance<nb::str>(seq) || nb::isinstance<nb::bytes>(seq))
    throw TypeError(expected_got("a list of masks or an N x height x width array for " + what,
                                 py_type_name(seq)));
  size_t k = 0;
  for (nb::handle item : seq) {
    out.push_back(to_mask(item, what + "[" + std::to_string(k) + "]"));
    ++k;
  }
  return out;
}

std::vector<MaskView> views_of(const std::vector<MaskInput>& masks) {
  std::vector<MaskView> v;
  v.reserve(masks.size());
  for (const auto& m : masks) v.push_back(m.view);
  return v;
}

NDArray to_ndarray(nb::handle obj, const std::string& what) {
  nb::object a = numpy().attr("ascontiguousarray")(native_byte_order(host_array(obj)));
  const char kind = dtype_kind(a);
  size_t itemsize = nb::cast<size_t>(a.attr("itemsize"));
  if (kind == 'f' && itemsize != 4 && itemsize != 8) {
    a = a.attr("astype")(itemsize < 4 ? "float32" : "float64");
    itemsize = itemsize < 4 ? 4 : 8;
  }
  DType t;
  if (kind == 'b') {
    t = DType::Bool;
  } else if (kind == 'u' || kind == 'i') {
    const bool u = kind == 'u';
    switch (itemsize) {
      case 1: t = u ? DType::UInt8 : DType::Int8; break;
      case 2: t = u ? DType::UInt16 : DType::Int16; break;
      case 4: t = u ? DType::UInt32 : DType::Int32; break;
      default: t = u ? DType::UInt64 : DType::Int64; break;
    }
  } else if (kind == 'f') {
    t = itemsize == 4 ? DType::Float32 : DType::Float64;
  } else {
    throw TypeError(expected_got("a numeric array for " + what,
                                 "dtype " + to_text(a.attr("dtype"))));
  }
  std::vector<int64_t> shape;
  for (nb::handle d : a.attr("shape")) shape.push_back(nb::cast<int64_t>(d));
  NDArray out(t, shape);
  if (!out.bytes.empty()) {
    auto view = nb::cast<nb::ndarray<nb::ro, nb::device::cpu, nb::c_contig>>(a);
    std::memcpy(out.bytes.data(), view.data(), out.bytes.size());
  }
  return out;
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

HostNumber to_host_number(nb::handle v, const std::string& what, bool big_int_as_real) {
  if (!PyFloat_Check(v.ptr()) && PyIndex_Check(v.ptr())) {
    nb::object i = nb::steal(PyNumber_Index(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow == 0) {
      if (x == -1 && PyErr_Occurred()) throw nb::python_error();
      return HostNumber::integer(x);
    }
    if (!big_int_as_real)
      throw std::overflow_error(what + " is too large: expected an integer of at most 64 bits, got " +
                                to_text(nb::repr(v)));
    const double d = PyLong_AsDouble(i.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return HostNumber::real(d);
  }
  if (PyFloat_Check(v.ptr()) || nb::hasattr(v, "__float__")) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return HostNumber::real(d);
  }
  throw TypeError(expected_got("a number for " + what, py_type_name(v)));
}

nb::object host_number_to_py(const HostNumber& n) {
  if (n.is_int) return nb::int_(n.i);
  return nb::float_(n.d);
}

cv::Mat array_to_mat(nb::handle array, nb::object& keep, const std::string& what) {
  nb::object a = numpy().attr("ascontiguousarray")(host_array(array));
  if (to_text(a.attr("dtype")) != "uint8")
    throw TypeError(expected_got("a uint8 image array for " + what,
                                 "dtype " + to_text(a.attr("dtype"))));
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

nb::object as_pil(nb::handle image) {
  nb::object img_mod = nb::module_::import_("PIL.Image");
  if (PyObject_IsInstance(image.ptr(), img_mod.attr("Image").ptr()) == 1) return nb::borrow(image);
  if (is_ndarray(image) || looks_like_tensor(image)) {
    nb::object keep;
    array_to_mat(image, keep, "image");
    return img_mod.attr("fromarray")(keep);
  }
  throw TypeError(expected_got("a PIL image or a uint8 image array", py_type_name(image)));
}

}  // namespace mirelo::py
