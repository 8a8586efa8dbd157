// A pen polygon file: its outline read, filled as the pen mask and measured
// against boxes as get_in_pen_mask and the pen ratios do.
#include "fuzz_input.hpp"
#include "pen/pen.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] {
    const std::vector<PenPoint> pen = read_pen_points(path);
    fuzz::accepting_errors([&] { pen_mask(pen, 40, 64); });
    fuzz::accepting_errors([&] { pen_box_ratios(pen, {{0, 0, 10, 10}, {5, 5, 60, 30}, {-1e9, 3, 1e9, 4}}); });
  });
  return 0;
}
