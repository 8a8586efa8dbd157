// CVAT for video XML: read as the import reads it (at the file's frame size,
// or 40 x 64 for a file that states none); a small clip read is written
// again with exact outlines and read back, covering what was read.
#include "common/files.hpp"
#include "fuzz_exchange.hpp"
#include "fuzz_input.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] {
    const ClipMasks read = parse_cvat_video_xml(read_file(path), path, 40, 64);
    ClipMasksView view;
    if (!fuzz::writable(read, view)) return;
    CvatOptions o;
    o.simplify = 0, o.tolerance = 0, o.threads = 1;
    fuzz::require_covered(read, parse_cvat_video_xml(cvat_video_xml(view, o).text, "again"), false);
  });
  return 0;
}
