#include "common/ndarray.hpp"

#include <cstring>

#include "common/errors.hpp"
#include "common/memory.hpp"

namespace mirelo {

size_t dtype_size(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::UInt8:
    case DType::Int8:
      return 1;
    case DType::UInt16:
    case DType::Int16:
      return 2;
    case DType::UInt32:
    case DType::Int32:
    case DType::Float32:
      return 4;
    case DType::UInt64:
    case DType::Int64:
    case DType::Float64:
      return 8;
  }
  return 1;
}

const char* dtype_name(DType t) {
  switch (t) {
    case DType::Bool: return "bool";
    case DType::UInt8: return "uint8";
    case DType::Int8: return "int8";
    case DType::UInt16: return "uint16";
    case DType::Int16: return "int16";
    case DType::UInt32: return "uint32";
    case DType::Int32: return "int32";
    case DType::UInt64: return "uint64";
    case DType::Int64: return "int64";
    case DType::Float32: return "float32";
    case DType::Float64: return "float64";
  }
  return "?";
}

NDArray::NDArray(DType t, std::vector<int64_t> s) : dtype(t), shape(std::move(s)) {
  require_allocatable(static_cast<uint64_t>(size()), dtype_size(t),
                      [&] { return "an array of shape " + shape_text() + " and data type " + dtype_name(t); });
  bytes.assign(static_cast<size_t>(size()) * dtype_size(t), 0);
}

int64_t NDArray::size() const {
  // A zero-size array may still have huge other axes: their product must not
  // be formed first.
  for (auto d : shape)
    if (d == 0) return 0;
  int64_t n = 1;
  for (auto d : shape)
    if (__builtin_mul_overflow(n, d, &n)) throw ValueError("array of shape " + shape_text() + " is too large");
  return n;
}

double NDArray::get(int64_t i) const {
  const uint8_t* p = bytes.data() + static_cast<size_t>(i) * dtype_size(dtype);
  auto rd = [p](auto v) {
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
  };
  switch (dtype) {
    case DType::Bool: return *p != 0 ? 1.0 : 0.0;
    case DType::UInt8: return rd(uint8_t{});
    case DType::Int8: return rd(int8_t{});
    case DType::UInt16: return rd(uint16_t{});
    case DType::Int16: return rd(int16_t{});
    case DType::UInt32: return rd(uint32_t{});
    case DType::Int32: return rd(int32_t{});
    case DType::UInt64: return rd(uint64_t{});
    case DType::Int64: return rd(int64_t{});
    case DType::Float32: return rd(float{});
    case DType::Float64: return rd(double{});
  }
  return 0.0;
}

NDArray NDArray::take(const std::vector<int64_t>& indices) const {
  if (shape.empty()) throw ValueError("cannot select rows of a 0-dimensional array");
  std::vector<int64_t> s = shape;
  s[0] = static_cast<int64_t>(indices.size());
  NDArray out(dtype, s);
  const size_t row = shape[0] == 0 ? 0 : bytes.size() / static_cast<size_t>(shape[0]);
  for (size_t k = 0; k < indices.size(); ++k) {
    const int64_t i = indices[k];
    if (i < 0 || i >= shape[0])
      throw IndexError("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                       std::to_string(shape[0]));
    std::memcpy(out.bytes.data() + k * row, bytes.data() + static_cast<size_t>(i) * row, row);
  }
  return out;
}

std::string NDArray::shape_text() const { return mirelo::shape_text(shape); }

std::string shape_text(const std::vector<int64_t>& shape) {
  std::string s = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

namespace {

template <typename T>
void set_nonzero(const uint8_t* src, int64_t n, uint8_t* dst) {
  const T* p = reinterpret_cast<const T*>(src);
  for (int64_t i = 0; i < n; ++i) dst[i] = p[i] != T(0);
}

void plane_to_mask(const NDArray& a, int64_t offset, int64_t n, uint8_t* dst) {
  const uint8_t* src = a.bytes.data() + static_cast<size_t>(offset) * dtype_size(a.dtype);
  visit_nonzero_type(a.dtype, [&](auto tag) { set_nonzero<decltype(tag)>(src, n, dst); });
}

}  // namespace

std::vector<Mask> masks_from_array(const NDArray& a) {
  if (a.ndim() < 2)
    throw ValueError(expected_got("masks with at least 2 dimensions", "shape " + a.shape_text()));
  const int64_t h = a.shape[a.shape.size() - 2], w = a.shape.back();
  // Zero-size arrays can claim any number of masks: the count and each
  // mask's bytes are checked against memory before anything is made.
  uint64_t count = 1, plane = 0;
  bool huge = __builtin_mul_overflow(static_cast<uint64_t>(h), static_cast<uint64_t>(w), &plane);
  for (size_t i = 0; i + 2 < a.shape.size(); ++i)
    huge = huge || __builtin_mul_overflow(count, static_cast<uint64_t>(a.shape[i]), &count);
  const uint64_t per_mask = huge || plane > UINT64_MAX - sizeof(Mask) ? UINT64_MAX : plane + sizeof(Mask);
  require_allocatable(huge ? UINT64_MAX : count, per_mask,
                      [&] { return "the masks of an array of shape " + a.shape_text(); });
  std::vector<Mask> out;
  out.reserve(static_cast<size_t>(count));
  for (uint64_t k = 0; k < count; ++k) {
    Mask m(h, w);
    plane_to_mask(a, static_cast<int64_t>(k) * h * w, h * w, m.pixels.data());
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace mirelo
