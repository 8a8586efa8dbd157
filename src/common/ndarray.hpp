#pragma once
// A small owned n-dimensional array of one of the host's numeric element
// types. Model results cross into the core in this form so that their
// element type survives the round trip back to the caller.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/mask.hpp"

namespace mirelo {

enum class DType { Bool, UInt8, Int8, UInt16, Int16, UInt32, Int32, UInt64, Int64, Float32, Float64 };

/// Size of one element in bytes.
size_t dtype_size(DType t);
/// Name as the array library spells it ("bool", "uint8", "float32", ...).
const char* dtype_name(DType t);

/// Calls `fn(T{})` with the element type whose `!= 0` test is the non-zero
/// test of `t`: integers of one width share their unsigned type (the same
/// bits are zero), booleans are bytes, reals keep their type (-0.0 and NaN).
template <typename F>
decltype(auto) visit_nonzero_type(DType t, F&& fn) {
  switch (t) {
    case DType::UInt16:
    case DType::Int16: return fn(uint16_t{});
    case DType::UInt32:
    case DType::Int32: return fn(uint32_t{});
    case DType::UInt64:
    case DType::Int64: return fn(uint64_t{});
    case DType::Float32: return fn(float{});
    case DType::Float64: return fn(double{});
    default: return fn(uint8_t{});
  }
}

/// Calls `fn(T{})` with the element type of `t` (bool as uint8_t).
template <typename F>
decltype(auto) visit_dtype(DType t, F&& fn) {
  switch (t) {
    case DType::Int8: return fn(int8_t{});
    case DType::UInt16: return fn(uint16_t{});
    case DType::Int16: return fn(int16_t{});
    case DType::UInt32: return fn(uint32_t{});
    case DType::Int32: return fn(int32_t{});
    case DType::UInt64: return fn(uint64_t{});
    case DType::Int64: return fn(int64_t{});
    case DType::Float32: return fn(float{});
    case DType::Float64: return fn(double{});
    default: return fn(uint8_t{});
  }
}

/// Owned, C-contiguous array.
struct NDArray {
  DType dtype = DType::Float64;
  std::vector<int64_t> shape;
  std::vector<uint8_t> bytes;

  NDArray() = default;
  NDArray(DType t, std::vector<int64_t> s);

  int64_t ndim() const { return static_cast<int64_t>(shape.size()); }
  int64_t size() const;
  /// Element `i` of the flat array as a double.
  double get(int64_t i) const;
  /// Copy of the sub-arrays at `indices` along axis 0, in that order.
  NDArray take(const std::vector<int64_t>& indices) const;
  /// Shape text as the array library prints it: "(3, 4)", "(5,)".
  std::string shape_text() const;
};

/// Shape text as the array library prints it: "(3, 4)", "(5,)".
std::string shape_text(const std::vector<int64_t>& shape);

/// Read-only view of a C-contiguous array held elsewhere; `owner` keeps the
/// memory alive for as long as the view is used.
struct ArrayView {
  DType dtype = DType::Float32;
  std::vector<int64_t> shape;
  const uint8_t* data = nullptr;
  std::shared_ptr<const void> owner;

  int64_t ndim() const { return static_cast<int64_t>(shape.size()); }
};

/// Read-only view of one height x width plane of elements held elsewhere,
/// in the machine's byte order: rows `row_stride` bytes apart, the elements
/// of a row contiguous.
struct PlaneView {
  DType dtype = DType::UInt8;
  const uint8_t* data = nullptr;
  int64_t height = 0;
  int64_t width = 0;
  int64_t row_stride = 0;

  const uint8_t* row(int64_t y) const { return data + y * row_stride; }
};

/// The planes of an array whose last two axes are height x width, each as an
/// owned 0/1 mask (non-zero elements, NaN included, are set).
std::vector<Mask> masks_from_array(const NDArray& a);

}  // namespace mirelo
