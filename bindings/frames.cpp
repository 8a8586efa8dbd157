#include "frames.hpp"

#include "convert.hpp"

using namespace nb::literals;

namespace mirelo::py {

PilFrames::PilFrames(nb::object frame_names, int64_t count, PyDetectorProcessor* processor,
                     PyImagePredictor& predictor)
    : names_(std::move(frame_names)), count_(count), processor_(processor), predictor_(predictor) {
  loader_ = nb::cpp_function([](nb::handle path) {
    // Only a regular file is read: the worker would wait on a FIFO for good.
    nb::object image = with_image_source(path, [&](nb::handle source) {
      nb::object image = nb::module_::import_("PIL.Image").attr("open")(source);
      // Named as when the imaging library opens the path itself.
      if (!source.is(path)) image.attr("filename") = nb::module_::import_("os").attr("fspath")(path);
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
      return image;
    });
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
  if (processor_) processor_->set_source_image(image_);
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
