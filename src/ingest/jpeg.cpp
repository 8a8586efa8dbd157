#include "ingest/jpeg.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jpeglib.h>

#include "common/errors.hpp"

namespace mirelo {
namespace {

// The library reports errors through a callback that must not return; it
// jumps back to the encoding function, which has no objects with destructors
// between the jump point and the callback.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void on_message(j_common_ptr, int) {}

// Returns false with `message` filled on failure; `out` and `size` are owned
// by the caller (malloc'd by the library) on success and on failure alike.
bool compress(const cv::Mat& image, int quality, unsigned char** out, unsigned long* size, char* message) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = on_error;
  err.pub.emit_message = on_message;
  if (setjmp(err.jump)) {
    std::memcpy(message, err.message, JMSG_LENGTH_MAX);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, size);
  cinfo.image_width = static_cast<JDIMENSION>(image.cols);
  cinfo.image_height = static_cast<JDIMENSION>(image.rows);
  const bool color = image.channels() == 3;
  cinfo.input_components = color ? 3 : 1;
  cinfo.in_color_space = color ? JCS_EXT_BGR : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.ptr<uchar>(static_cast<int>(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

std::vector<uint8_t> encode_jpeg(const cv::Mat& image, int quality) {
  if (image.depth() != CV_8U || (image.channels() != 3 && image.channels() != 1))
    throw ValueError(expected_got("an 8-bit image with 1 or 3 channels to encode",
                                  std::to_string(image.channels()) + " channel(s) of depth " +
                                      std::to_string(image.depth())));
  if (image.empty()) throw ValueError("cannot encode an empty image");
  if (quality < 1 || quality > 100) throw ValueError(expected_got("a JPEG quality of 1 to 100", std::to_string(quality)));
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  char message[JMSG_LENGTH_MAX] = {0};
  const bool ok = compress(image, quality, &buffer, &size, message);
  std::vector<uint8_t> bytes;
  if (ok && buffer != nullptr) bytes.assign(buffer, buffer + size);
  std::free(buffer);
  if (!ok) throw OSError(std::string("JPEG encoding failed: ") + message);
  return bytes;
}

}  // namespace mirelo
