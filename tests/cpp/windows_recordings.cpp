// The recordings of recordings.hpp, as a run of the POSIX build's tests left
// them in the shared folder.
#include <cstdlib>
#include <filesystem>

#include "common/platform.hpp"
#include "recordings.hpp"

namespace mirelo::test_support {

bool writes_recordings() { return false; }

std::string cross_fixtures_folder() {
  const char* folder = std::getenv("MIRELO_CROSS_FIXTURES");
  return folder != nullptr ? folder : "";
}

std::string test_recording(const std::string& name, std::string& why) {
  const std::string folder = cross_fixtures_folder();
  if (folder.empty()) {
    why = "this build writes no recordings: set MIRELO_CROSS_FIXTURES to the folder where the Linux build's tests "
          "wrote theirs (scripts/test_windows.sh does)";
    return {};
  }
  const std::string path = platform::path_join(folder, name);
  platform::FileStatus status;
  if (platform::file_status(path, true, status) != 0) {
    why = name + " is not in " + folder + " (run the Linux build's tests with MIRELO_CROSS_FIXTURES set first)";
    return {};
  }
  return path;
}

bool write_recording(const std::string&, int, int, int, int) { return false; }

}  // namespace mirelo::test_support
