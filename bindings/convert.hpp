#pragma once
// Conversions between the host's values (numpy arrays, torch tensors,
// mappings, texts and paths, numbers, PIL images, pandas frames) and the
// core's types. The one place that knows both sides: an init file that needs
// a conversion missing here adds it here.
//
// Conventions: `what` names the argument in error messages ("mask1",
// "boxes[3]"); `expected` completes an "expected X, got Y" message. Type
// mismatches raise TypeError, unacceptable contents ValueError; a failing
// protocol method of the caller's object propagates its own exception.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "common/mask.hpp"
#include "common/ndarray.hpp"
#include "common/run_mask.hpp"
#include "common/number.hpp"
#include "common/json.hpp"

namespace nb = nanobind;

namespace mirelo::py {

// ---------------------------------------------------------------- type tests

/// The Python type name of a value, for messages.
std::string py_type_name(nb::handle obj);

/// A numpy array, a torch tensor (detach / cpu / numpy) or any other object
/// exporting `__array_interface__`: a value that converts to an array as a
/// whole rather than item by item.
bool is_array_like(nb::handle obj);

/// str or bytes: sequences that are never a sequence of values.
bool is_text_like(nb::handle obj);

/// A PIL image.
bool is_pil(nb::handle obj);

/// Whether mapping_items takes `obj`: anything with items() that passes the
/// C mapping check, except lists and tuples.
bool is_mapping(nb::handle obj);

/// The items of a mapping (see is_mapping), in the mapping's order. Raises
/// TypeError with "expected <expected>" otherwise.
std::vector<std::pair<nb::object, nb::object>> mapping_items(nb::handle obj, const std::string& expected);

/// A new list of the items of any iterable, as list(value).
nb::list to_list(nb::handle seq);

/// The truth value of a value, as `bool(value)` (its __bool__ may raise).
bool to_bool(nb::handle v);

/// container[key], raising what the container raises.
nb::object get_item(nb::handle container, nb::handle key);

/// record["field"], raising what the record raises.
nb::object get_field(nb::handle record, const char* field);

/// container[key] = value, raising what the container raises.
void set_item(nb::handle container, nb::handle key, nb::handle value);

/// The name of an item in messages: `base` followed by [repr(key)].
std::string item_name(const std::string& base, nb::handle key);

/// The name of a field in messages: `base` followed by ["field"].
std::string field_name(const std::string& base, const char* field);

// ------------------------------------------------------------- texts, paths

/// str(obj) as UTF-8.
std::string to_text(nb::handle obj);

/// The text of a str as UTF-8; a text that has none (a lone surrogate)
/// raises the host's UnicodeEncodeError.
std::string utf8_of(nb::handle str);

/// A str argument as UTF-8; anything else raises TypeError
/// "expected a text for <what>".
std::string to_utf8(nb::handle v, const std::string& what);

/// The bytes of a str with lone surrogates kept as their three-byte forms
/// (UTF-8 "surrogatepass"), so that every text comes back unchanged through
/// str_of; and the reverse.
std::string utf8_surrogatepass(nb::handle str);
nb::str str_of(const std::string& utf8_surrogatepass);

/// A printed line as the console shows it: bytes that are not UTF-8 (file
/// names, say) come out escaped ("backslashreplace").
nb::str console_text(std::string_view utf8);

/// A str or an os.PathLike: a value to_path takes (or refuses for its
/// content, not its type).
bool is_path_like(nb::handle obj);

/// A path argument (str, or os.PathLike giving str) as file-system bytes:
/// the surrogate escapes of names that are not UTF-8 (as os.listdir gives
/// them) become the name's own bytes again. bytes paths raise TypeError; a
/// path holding a null character raises ValueError (the system would cut it
/// there and name another file).
std::string to_path(nb::handle path, const std::string& what);

/// str(value) as file-system bytes, for values that become pieces of file
/// names (camera numbers, dates, folder roots).
std::string to_fs_text(nb::handle value);

/// File-system bytes back to the str the host's os functions would give.
nb::str path_str(const std::string& path);

// ------------------------------------------------------------------ numbers

/// How an integer beyond 64 bits converts.
enum class BigInt {
  AsReal,    ///< becomes a real (OverflowError beyond the real range)
  Raise,     ///< raises OverflowError naming `what`
  Saturate,  ///< becomes INT64_MIN or INT64_MAX
};

/// A number as the host computes with it: ints and anything with __index__
/// (numpy integers, bool) stay integers, other values with __float__
/// (floats, numpy reals, Fraction, Decimal) become reals. Texts, complex
/// numbers and other values raise TypeError "expected a number for <what>".
HostNumber to_host_number(nb::handle v, const std::string& what, BigInt big = BigInt::AsReal);

/// The same, with `what` made only for an error: for numbers read by the
/// thousand, whose names would cost more than the numbers.
HostNumber to_host_number(nb::handle v, const std::function<std::string()>& what, BigInt big = BigInt::AsReal);

/// A real number argument: to_host_number as a double.
double to_real(nb::handle v, const std::string& what);

/// An integer argument (anything with __index__; floats refused with
/// TypeError "expected an integer for <what>"), saturated to 64 bits.
int64_t to_integer(nb::handle v, const std::string& what);

/// A Python int or float.
nb::object host_number_to_py(const HostNumber& n);

/// A box [x_min, y_min, x_max, y_max]: items 0 to 3 of a sequence as numbers
/// (extra items are ignored).
void to_box(nb::handle box, HostNumber (&out)[4], const std::string& what);

/// Boxes [x_min, y_min, x_max, y_max] as doubles: an N x 4 (or wider) array
/// or tensor, or a sequence of sequences of at least four numbers. An empty
/// array gives no box.
std::vector<std::array<double, 4>> to_boxes(nb::handle obj, const std::string& what);

/// (x, y) points: a sequence (or array) of pairs of numbers.
std::vector<std::array<HostNumber, 2>> to_points(nb::handle obj, const std::string& what);

// ------------------------------------------------------------------- arrays

/// numpy module, imported once.
nb::module_ numpy();

/// A host array: numpy arrays as they are, torch tensors detached and copied
/// to the CPU, other values through numpy.asarray.
nb::object host_array(nb::handle obj);

/// The array itself when its elements are in the machine's byte order, else
/// a copy converted to it.
nb::object native_byte_order(nb::handle array);

/// The array library's kind code of a numpy array's elements ('b' bool,
/// 'u' unsigned, 'i' signed, 'f' real, 'c' complex, others non-numeric), and
/// whether a kind is one of those five numeric ones.
char dtype_kind(nb::handle array);
bool numeric_kind(char kind);

/// The core's element type of a numpy array; none for element types the
/// core has no counterpart of (float16, complex, datetimes, objects, ...).
std::optional<DType> dtype_of(nb::handle array);

/// Any array-like as a C-contiguous array of a core element type, in the
/// machine's byte order, read in place when it already is one: float16 is
/// widened to float32, wider reals narrowed to float64. Other element types
/// raise TypeError "expected <expected>, got dtype D". The view's owner holds
/// the array (and releases it under the interpreter lock), so the view may
/// outlive the call's locals and be read without the lock.
ArrayView to_array_view(nb::handle obj, const std::string& expected);

/// Any array-like copied into an owned NDArray (as to_array_view; messages
/// say "a numeric array for <what>").
NDArray to_ndarray(nb::handle obj, const std::string& what);

/// The first byte of a C-contiguous numpy array's elements; `writable`
/// refuses read-only arrays. Raises for arrays that are not C-contiguous.
const uint8_t* array_data(nb::handle array);
uint8_t* writable_array_data(nb::handle array);
/// The address of the first element of a numpy array of any layout.
const uint8_t* first_element(nb::handle array);

/// A 1-D array-like of whole numbers (integers, or reals and objects with
/// whole values within int64) as int64 values; other values raise
/// ValueError naming `what`[i].
std::vector<int64_t> to_whole_numbers(nb::handle obj, const std::string& what);

/// A 1-D array of reals (numpy array, torch tensor of any real type and
/// device, sequence of numbers) as float64 values on host memory.
std::vector<double> to_real_vector(nb::handle obj, const std::string& what);

/// A numpy array that owns the given data without a further copy.
nb::object to_numpy(NDArray&& a);
nb::object to_numpy(std::vector<double>&& values, std::vector<size_t> shape);
/// A 1-D int64 array of the values.
nb::object to_numpy(const std::vector<int64_t>& values);

/// A numpy array of texts made from all `texts` (so its text width is that
/// of the longest one) and then indexed by `take`.
nb::object text_array(const std::vector<std::string>& texts, const std::vector<int64_t>& take);

// -------------------------------------------------------------------- masks

/// A mask argument: a view of the caller's array, read in place when it holds
/// one-byte elements with contiguous rows, else converted once to 0/1 bytes.
struct MaskInput {
  MaskView view;
  nb::object source;                           // keeps the caller's array alive
  std::shared_ptr<std::vector<uint8_t>> copy;  // the converted bytes, if any
};

/// Converts one mask. Accepts a 2-D array, or 3-D with a leading axis of
/// length 1 when `allow_leading_one`; any numeric or bool dtype; non-zero
/// (NaN included) is set. A CompactMask (clip.hpp) is painted.
MaskInput to_mask(nb::handle obj, const std::string& what, bool allow_leading_one = true);

/// Converts a sequence of masks (a list of masks, or an N x H x W array).
std::vector<MaskInput> to_mask_list(nb::handle obj, const std::string& what);

/// Masks whose bytes are weights, as the array library's astype(uint8)
/// gives them: one-byte masks are read in place (bool as 0/1), other element
/// types are cast once per call. A list of masks or an N x H x W array.
std::vector<MaskInput> to_weight_mask_list(nb::handle obj, const std::string& what);

/// The views of converted masks.
std::vector<MaskView> views_of(const std::vector<MaskInput>& masks);

/// A mask argument as typed elements, for operations whose rule depends on
/// the values rather than on set / unset (the drawings paint the pixels
/// above zero): a 2-D (or 1 x H x W) array of any numeric or bool element
/// type, read in place when its rows are contiguous and in the machine's
/// byte order, else converted once. float16 is widened; element types the
/// core has no counterpart of (complex, wider reals) come as int8: 1 above
/// zero, -1 otherwise non-zero, 0 zero.
struct PlaneInput {
  PlaneView plane;
  nb::object source;  // keeps the array read alive
};
PlaneInput to_plane(nb::handle obj, const std::string& what);

/// A sequence of masks (a list, or an N x H x W array) as typed planes.
std::vector<PlaneInput> to_plane_list(nb::handle obj, const std::string& what);

/// The views of converted typed masks.
std::vector<PlaneView> planes_of(const std::vector<PlaneInput>& masks);

/// The height and width of a numpy array that is a height x width mask once
/// its axes of length 1 are removed, or whose axes before the last two all
/// have length 1 (1 x 1 x H x W); none for any other shape.
std::optional<std::array<int64_t, 2>> mask_height_width(nb::handle array);

/// A mask argument of any rank whose mask_height_width exists, converted as
/// to_mask converts a height x width array. Other shapes raise ValueError.
MaskInput to_squeezed_mask(nb::handle array, const std::string& what);

/// A fresh numpy bool array of `shape`, all False, and its first byte. The
/// zeros come from the allocator, so pages never written cost nothing.
nb::object new_bool_array(const std::vector<int64_t>& shape, uint8_t*& data);

/// A mask argument in compact form: read as to_plane reads it (in place
/// where it can be), its runs found without the interpreter lock; a
/// CompactMask's runs are taken as they are. `dtype`, when given, receives
/// the element type it was read as (uint8 for a CompactMask, as its dense
/// form).
RunMask to_run_mask(nb::handle obj, const std::string& what, DType* dtype = nullptr);

/// Dense masks as a layers x height x width uint8 numpy array that owns the
/// stack's block (no copy).
nb::object to_numpy(MaskStack&& stack);

/// A mapping of mask keys to masks, in the mapping's order: the caller's
/// key objects, their texts (str(key)) and the converted masks.
struct MaskDictInput {
  nb::list keys;
  std::vector<MaskInput> masks;
  MaskMap map;  ///< str(key) -> view, in order
};
MaskDictInput to_mask_dict(nb::handle obj, const std::string& what);

/// The same with the masks as typed planes (to_plane).
struct PlaneDictInput {
  nb::list keys;
  std::vector<std::string> texts;  ///< str(key), in order
  std::vector<PlaneInput> planes;
};
PlaneDictInput to_plane_dict(nb::handle obj, const std::string& what);
/// The same for a mapping's items as mapping_items read them.
PlaneDictInput to_plane_dict(const std::vector<std::pair<nb::object, nb::object>>& items, const std::string& what);

// ------------------------------------------------------------------- images

/// RGB images are CV_8UC3 in RGB order. pil_to_rgb converts any image
/// argument to "RGB" and copies its pixels.
cv::Mat pil_to_rgb(nb::handle image);
/// A new PIL image of a CV_8UC1/3/4 Mat: mode "L", "RGB" or "RGBA".
nb::object mat_to_pil(const cv::Mat& m);
/// The file at `path` (str, bytes or os.PathLike) as a binary file object opened
/// by the host's open(), named `path`, when it is a regular file: a FIFO, a
/// device, a socket or a folder raises OSError naming it without being read
/// (see open_regular_file).
nb::object open_regular_binary(nb::handle path);
/// Calls `use(source)` with what the imaging library is to open for `path`:
/// for a path (str, bytes or os.PathLike) the regular file opened by
/// open_regular_binary, closed once `use` returns or throws; any other
/// value (an open file) as it is.
template <class Use>
auto with_image_source(nb::handle path, Use&& use) {
  if (!is_path_like(path) && !PyBytes_Check(path.ptr())) return use(nb::borrow(path));
  nb::object file = open_regular_binary(path);
  try {
    auto result = use(file);
    file.attr("close")();
    return result;
  } catch (...) {
    file.attr("close")();
    throw;
  }
}
/// The image file at `path` opened with the imaging library and converted
/// to `mode` ("RGB", "RGBA", ...); the file is closed whatever happens. A
/// path is read only when it names a regular file (open_regular_binary);
/// any other value goes to the imaging library as it is.
nb::object open_image(nb::handle path, const char* mode);
/// Any image argument (PIL image, or an H x W x 3/4 or H x W uint8 array) as
/// a PIL image.
nb::object as_pil(nb::handle image);
/// An H x W or H x W x C uint8 array as a cv::Mat sharing its memory when
/// contiguous (a copy otherwise); `keep` holds the source alive.
cv::Mat array_to_mat(nb::handle array, nb::object& keep, const std::string& what);
/// A fresh, writable H x W x `channels` uint8 numpy array (not zero-filled)
/// and its first byte.
nb::object new_image_array(int64_t height, int64_t width, int channels, uint8_t*& data);

/// The pixels of an RGB PIL image as a fresh, writable H x W x 3 uint8
/// array, read straight from the imaging library's RGBX rows in one pass
/// without the interpreter lock. None when the image does not export its
/// pixels that way (an older library, or image memory in several blocks).
nb::object rgb_pixels(nb::handle rgb);
/// Any image argument converted to "RGB" as a fresh, writable H x W x 3
/// uint8 array (one copy of the pixels).
nb::object rgb_image_array(nb::handle image);

/// The pixels of an image argument as the drawings read them: RGB and RGBA
/// images and H x W x 3/4 uint8 arrays as they are, every other mode through
/// the imaging library's conversion to "RGBA". A PIL image's pixels are read
/// in the library's own memory where it lends it (RGB rows then carry a
/// padding byte per pixel), an array's in place when contiguous.
struct ImagePixels {
  cv::Mat pixels;       ///< CV_8UC3 RGB, or CV_8UC4 RGBA or padded RGB
  bool padded = false;  ///< CV_8UC4 whose fourth byte is padding (opaque RGB)
  nb::object keep;      ///< holds the pixels alive
};
ImagePixels to_drawing_pixels(nb::handle image, const std::string& what);

/// A new, writable PIL image of mode "RGBA" and height x width whose pixels
/// `draw` writes, every one of them, into the CV_8UC4 it is handed, without
/// the interpreter lock: the image maps that memory, so the pixels are
/// written once and never copied.
nb::object new_rgba_image(int height, int width, const std::function<void(cv::Mat&)>& draw);

// ------------------------------------------------------------ tables, JSON

/// pandas, imported at first use.
nb::module_ pandas();

/// A square float64 table (row-major `keys.size()` x `keys.size()` cells) as
/// a pandas DataFrame whose rows and columns are labelled by `keys`.
nb::object square_frame(std::vector<double>&& cells, const nb::list& keys);

/// A pandas DataFrame with the named `columns` in order, rows labelled 0, 1,
/// 2, ...: `values[c]` holds column c's host values, whose type pandas
/// infers. Without rows every column has the object type, as
/// DataFrame(columns=...) gives it.
nb::object columns_frame(const std::vector<std::string>& columns, const std::vector<nb::list>& values);

/// The cells of a pandas DataFrame (to_numpy()) as an owned 2-D NDArray;
/// anything without to_numpy, index and columns raises TypeError. `what`
/// names the table in errors (made only for one).
NDArray frame_cells(nb::handle table, const std::function<std::string()>& what);

/// A JSON value as the host's json module would have loaded it.
nb::object json_to_py(const JsonValue& v);

}  // namespace mirelo::py
