// An annotation file (output_pp_<frame>.json): loaded as the clip loaders
// load it (masks as runs), read and drawn as draw_annotation draws it, and
// its polygon texts rescaled as fix_polygon_scaling rescales them.
#include <opencv2/core.hpp>

#include "common/json.hpp"
#include "fuzz_input.hpp"
#include "pen/annotation.hpp"
#include "pen/pen.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] { read_annotation_masks(path, 48, 64); });
  fuzz::accepting_errors([&] {
    const AnnotationForDrawing file = read_annotation_for_drawing(path);
    const cv::Mat rgba(48, 64, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    draw_annotation(rgba, file, std::vector<char>(file.object_ids.size(), 1), true, 7, path);
  });
  fuzz::accepting_errors([&] {
    JsonValue doc = parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    rescale_polygon_texts(doc, 1920, 1080);
    dump_json(doc, 4);
  });
  return 0;
}
