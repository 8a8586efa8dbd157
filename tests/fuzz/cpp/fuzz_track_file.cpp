// A track file of the tracking benchmarks: read as MOTChallenge boxes and as
// MOTS masks (row runs and column runs), as the scoring reads them.
#include "fuzz_input.hpp"
#include "pen/track_files.hpp"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::InputFile input;
  const std::string& path = input.write(data, size);
  fuzz::accepting_errors([&] { read_mot_file(path); });
  fuzz::accepting_errors([&] { read_mots_file(path); });
  fuzz::accepting_errors([&] { read_mots_file(path, true); });
  return 0;
}
