#include "frames.hpp"

#include <cstring>

#include <opencv2/imgproc.hpp>

#include "convert.hpp"

using namespace nb::literals;

namespace mirelo::py {
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

// The pixels of an RGB image as a fresh, writable H x W x 3 array, read
// straight from the imaging library's RGBX rows in one pass without the
// interpreter lock. None when the image does not export its pixels that way
// (an older library, or image memory in several blocks).
nb::object rgb_pixels(nb::handle rgb) {
  if (!nb::hasattr(rgb, "__arrow_c_array__")) return nb::none();
  nb::object exported;
  try {
    exported = rgb.attr("__arrow_c_array__")();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::none();
  }
  nb::object schema_capsule = exported[nb::int_(0)], array_capsule = exported[nb::int_(1)];
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule.ptr(), "arrow_array"));
  if (!schema || !array) {
    PyErr_Clear();
    return nb::none();
  }
  const auto w = nb::cast<int64_t>(rgb.attr("width")), h = nb::cast<int64_t>(rgb.attr("height"));
  const int64_t n = w * h;
  const bool rgbx = schema->format && std::strcmp(schema->format, "+w:4") == 0 && schema->n_children == 1 &&
                    schema->children[0]->format && std::strcmp(schema->children[0]->format, "C") == 0 &&
                    array->length == n && array->offset == 0 && array->null_count == 0 && array->n_children == 1;
  if (!rgbx || n == 0) return nb::none();
  const ArrowArray* values = array->children[0];
  if (values->length != 4 * n || values->offset != 0 || values->null_count != 0 || values->n_buffers != 2 ||
      !values->buffers[1])
    return nb::none();
  const auto* src = static_cast<const uint8_t*>(values->buffers[1]);
  uint8_t* dst = nullptr;
  nb::object out = new_image_array(h, w, 3, dst);
  {
    nb::gil_scoped_release release;
    const cv::Mat rgbx(static_cast<int>(h), static_cast<int>(w), CV_8UC4, const_cast<uint8_t*>(src));
    cv::Mat rgb_out(static_cast<int>(h), static_cast<int>(w), CV_8UC3, dst);
    cv::cvtColor(rgbx, rgb_out, cv::COLOR_RGBA2RGB);
  }
  return out;
}

}  // namespace

PilFrames::PilFrames(nb::object frame_names, int64_t count, PyDetectorProcessor& processor,
                     PyImagePredictor& predictor)
    : names_(std::move(frame_names)), count_(count), processor_(processor), predictor_(predictor) {
  loader_ = nb::cpp_function([](nb::handle path) {
    nb::object image = nb::module_::import_("PIL.Image").attr("open")(path);
    // The whole file in one read: the decoder then runs start to end
    // without taking the interpreter lock back between blocks.
    try {
      const auto bytes = nb::cast<int64_t>(nb::module_::import_("os").attr("fstat")(
          image.attr("fp").attr("fileno")()).attr("st_size"));
      if (bytes > nb::cast<int64_t>(image.attr("decodermaxblock"))) image.attr("decodermaxblock") = bytes;
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // not a plain file: blockwise reading stays
    }
    image.attr("load")();
    // convert("RGB") of an RGB image is a plain copy: skipped.
    nb::object rgb = to_text(image.attr("mode")) == "RGB" ? image : image.attr("convert")("RGB");
    return nb::make_tuple(image, rgb);
  });
}

PilFrames::~PilFrames() {
  nb::gil_scoped_acquire gil;
  try {
    // The call ends only when the worker has stopped.
    if (executor_.is_valid()) {
      if (pending_.is_valid()) pending_.attr("cancel")();
      executor_.attr("shutdown")("wait"_a = true);
    }
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("stopping the frame reader");
  }
  for (nb::object* o : {&names_, &loader_, &executor_, &pending_, &image_, &rgb_, &rgba_}) o->reset();
}

cv::Mat PilFrames::open(int64_t index) {
  nb::gil_scoped_acquire gil;
  rgba_.reset();
  nb::object loaded;
  if (pending_.is_valid() && pending_index_ == index) {
    nb::object future = std::move(pending_);
    loaded = future.attr("result")();
  } else {
    pending_.reset();
    loaded = loader_(names_[nb::int_(index)]);
  }
  image_ = loaded[nb::int_(0)];
  processor_.set_source_image(image_);
  nb::object rgb = loaded[nb::int_(1)];
  nb::object pixels = rgb_pixels(rgb);
  const bool fresh = !pixels.is_none();
  if (!fresh) pixels = numpy().attr("asarray")(rgb);
  nb::object keep;
  cv::Mat m = array_to_mat(pixels, keep, "frame");
  rgb_ = std::move(keep);
  if (fresh) predictor_.set_source_array(rgb_);
  return m;
}

void PilFrames::prefetch(int64_t index) {
  nb::gil_scoped_acquire gil;
  try {
    if (!executor_.is_valid())
      executor_ = nb::module_::import_("concurrent.futures").attr("ThreadPoolExecutor")("max_workers"_a = 1);
    pending_ = executor_.attr("submit")(loader_, names_[nb::int_(index)]);
    pending_index_ = index;
  } catch (nb::python_error& e) {
    // Reading ahead is only a hint: open() reads the frame itself.
    if (!e.matches(PyExc_Exception)) throw;
    pending_.reset();
  }
}

cv::Mat PilFrames::rgba() {
  nb::gil_scoped_acquire gil;
  nb::object keep;
  cv::Mat m = array_to_mat(numpy().attr("asarray")(image_.attr("convert")("RGBA")), keep, "frame");
  rgba_ = std::move(keep);
  return m;
}

}  // namespace mirelo::py
