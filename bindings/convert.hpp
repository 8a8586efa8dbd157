#pragma once
// Conversions between the host's values (numpy arrays, torch tensors,
// mappings, PIL images, pandas frames) and the core's types. The one place
// that knows both sides.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/number.hpp"
#include "common/ndarray.hpp"

namespace nb = nanobind;

namespace mirelo::py {

/// A mask argument: a view of the caller's array, read in place when it holds
/// one-byte elements with contiguous rows, else converted once to 0/1 bytes.
struct MaskInput {
  MaskView view;
  nb::object source;                       // keeps the caller's array alive
  std::shared_ptr<std::vector<uint8_t>> copy;  // the converted bytes, if any
};

/// Converts one mask. Accepts a 2-D array, or 3-D with a leading axis of
/// length 1 when `allow_leading_one`; any numeric or bool dtype.
/// `what` names the argument in error messages.
MaskInput to_mask(nb::handle obj, const std::string& what, bool allow_leading_one = true);

/// Converts a sequence of masks (a list of masks, or an N x H x W array).
std::vector<MaskInput> to_mask_list(nb::handle obj, const std::string& what);

/// The views of converted masks.
std::vector<MaskView> views_of(const std::vector<MaskInput>& masks);

/// A host array: torch tensors are detached and copied to the CPU, other
/// values go through numpy.asarray. Returns a numpy array.
nb::object host_array(nb::handle obj);

/// The array itself when its elements are in the machine's byte order, else
/// a copy converted to it.
nb::object native_byte_order(nb::handle array);

/// Copies any array-like into an owned NDArray (C order, element type kept;
/// float16 is widened to float32).
NDArray to_ndarray(nb::handle obj, const std::string& what);

/// A numpy array that owns the given data without a further copy.
nb::object to_numpy(NDArray&& a);
nb::object to_numpy(std::vector<double>&& values, std::vector<size_t> shape);

/// A number as the host computes with it: ints (and anything with __index__)
/// stay integers, other values with __float__ become reals; texts are
/// refused with TypeError. An integer past 64 bits becomes a real when
/// `big_int_as_real`, else raises OverflowError.
HostNumber to_host_number(nb::handle v, const std::string& what, bool big_int_as_real = true);

/// A Python int or float.
nb::object host_number_to_py(const HostNumber& n);

/// numpy module, imported once.
nb::module_ numpy();

/// Image conversions. RGB images are CV_8UC3 in RGB order; the PIL image
/// gets the given mode after conversion ("RGB", "RGBA", "L").
cv::Mat pil_to_rgb(nb::handle image);
nb::object mat_to_pil(const cv::Mat& m);
/// Any image argument (PIL image, or an H x W x 3/4 or H x W uint8 array) as
/// a PIL image.
nb::object as_pil(nb::handle image);
/// An H x W or H x W x C uint8 array as a cv::Mat sharing its memory when
/// contiguous (a copy otherwise); `keep` holds the source alive.
cv::Mat array_to_mat(nb::handle array, nb::object& keep, const std::string& what);

/// str(obj) as UTF-8.
std::string to_text(nb::handle obj);

/// The text of a str as UTF-8; a text that has none (a lone surrogate)
/// raises the host's UnicodeEncodeError.
std::string utf8_of(nb::handle str);

/// The Python type name of a value, for messages.
std::string py_type_name(nb::handle obj);

}  // namespace mirelo::py
