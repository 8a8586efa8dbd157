// COCO video JSON: read as the import reads it; a small clip read is
// written again and read back to the same masks.
#include "common/files.hpp"
#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] {
    const ClipMasks read = parse_coco_video_json(read_file(path), path);
    ClipMasksView view;
    if (!fuzz::writable(read, view)) return;
    fuzz::require_covered(read, parse_coco_video_json(coco_video_json(view, "clip", "pig"), "again"), true);
  });
  return 0;
}
