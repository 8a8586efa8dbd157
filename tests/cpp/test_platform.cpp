// The platform layer as the rest of the core uses it, on every system:
// names beyond ASCII, a file replaced while another program reads it, and
// the process and memory queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/memory.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "common/walk.hpp"
#include "media/media.hpp"
#include "test_support.hpp"

using namespace mirelo;
using test_support::thrown;
namespace fs = std::filesystem;

namespace {

// A folder below the system's temporary folder, as a UTF-8 path text.
struct TempFolder {
  std::string path;
  explicit TempFolder(const std::string& name) {
    path = platform::path_join(platform::utf8_path(fs::temp_directory_path()),
                               name + "_" + std::to_string(platform::process_id()));
    fs::remove_all(platform::fs_path(path));
    fs::create_directories(platform::fs_path(path));
  }
  ~TempFolder() {
    std::error_code ignore;
    fs::remove_all(platform::fs_path(path), ignore);
  }
  std::string operator/(const std::string& name) const { return platform::path_join(path, name); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    EXPECT_TRUE(platform::list_folder(path, out));
    std::sort(out.begin(), out.end());
    return out;
  }
};

}  // namespace

// Names in several scripts, an emoji (beyond the Basic Multilingual Plane:
// two UTF-16 units on Windows) and a precomposed accent, through every file
// operation of the core: the names come back as the same UTF-8 bytes.
TEST(Platform, NamesBeyondAscii) {
  TempFolder top("mirelo_\xc3\xbcnic\xc3\xb8" "de");                        // "ünicøde"
  const std::string folder = top / "\xe6\x97\xa5\xe6\x9c\xac \xd0\xba\xd0\xbb\xd0\xb8\xd0\xbf";  // "日本 клип"
  fs::create_directories(platform::fs_path(folder));
  const std::string name = "\xc3\xa9t\xc3\xa9_\xf0\x9f\x90\x96.json";              // "été_🐖.json"
  const std::string path = platform::path_join(folder, name);
  write_file_atomically(path, "{\"a\": 1}");
  write_file_atomically(path, "{\"a\": 2}");  // replacing, through a temporary
  EXPECT_EQ(read_file(path), "{\"a\": 2}");
  EXPECT_NO_THROW(require_regular_file(path));
  std::vector<std::string> listed;
  ASSERT_TRUE(platform::list_folder(folder, listed));
  EXPECT_EQ(listed, std::vector<std::string>{name});

  std::vector<std::pair<std::string, std::vector<std::string>>> walked;
  walk_folders(top.path, [&](const std::string& f, const std::vector<std::string>& files) { walked.emplace_back(f, files); });
  ASSERT_EQ(walked.size(), 2u);
  EXPECT_EQ(walked[1].first, folder);
  EXPECT_EQ(walked[1].second, std::vector<std::string>{name});

  // An image read by the core and decoded by the media library
  cv::Mat image(24, 32, CV_8UC1);
  cv::randu(image, 0, 255);
  std::vector<uchar> png;
  cv::imencode(".png", image, png);
  const std::string image_path = platform::path_join(folder, "\xc3\xa5ngstr\xc3\xb6m.png");  // "ångström.png"
  write_file_atomically(image_path, std::string(png.begin(), png.end()));
  const cv::Mat back = media::library().read_image(image_path, media::ImageColor::gray);
  ASSERT_EQ(back.size(), image.size());
  EXPECT_EQ(cv::norm(back, image, cv::NORM_INF), 0.0);
  EXPECT_TRUE(media::library().read_image(platform::path_join(folder, "\xc3\xa5.png"), media::ImageColor::gray).empty());

  EXPECT_EQ(thrown([&] { read_file(platform::path_join(folder, "missing_\xc3\xa9.json")); }),
            "[Errno 2] No such file or directory: " + repr_text(platform::path_join(folder, "missing_\xc3\xa9.json")));
}

// Another program reads the file while the core replaces it. POSIX renames
// over it and the reader keeps the old content. Windows refuses to replace a
// file opened without FILE_SHARE_DELETE (as the C runtime's fopen and most
// programs open files): the core tries again for about a second, then says
// what holds it up and leaves the file and no temporary behind. The core's
// own readers allow the replacement.
TEST(Platform, ReplacingAFileAnotherHandleHoldsOpen) {
  TempFolder dir("mirelo_held");
  const std::string target = dir / "report.csv";
  write_file_atomically(target, "old");
  {
    std::ifstream reader(platform::fs_path(target), std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    const auto started = std::chrono::steady_clock::now();
    const std::string error = thrown([&] { write_file_atomically(target, "new", {true, true, "could not write"}); });
    const auto waited = std::chrono::steady_clock::now() - started;
    if (platform::kWindows) {
      EXPECT_EQ(error, "could not write: [Errno 13] Permission denied (another program has the file open and does not "
                       "let it be replaced; close it there and try again): " + repr_text(target));
      EXPECT_GE(waited, std::chrono::milliseconds(900));
      EXPECT_EQ(read_file(target), "old");
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(read_file(target), "new");
    }
    const std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, "old");
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{"report.csv"});

  // A holder that lets go within the second: the replacement goes through.
  write_file_atomically(target, "old");
  {
    auto reader = std::make_unique<std::ifstream>(platform::fs_path(target), std::ios::binary);
    std::thread closer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      reader.reset();
    });
    EXPECT_NO_THROW(write_file_atomically(target, "newer"));
    closer.join();
  }
  EXPECT_EQ(read_file(target), "newer");

  EXPECT_EQ(dir.names(), std::vector<std::string>{"report.csv"});
}

// The core's own reader lets the file be replaced: no wait, no failure. On
// Windows only where renames have POSIX semantics
// (WindowsFiles.TheCoresOwnReadersLetTheFileBeReplaced).
TEST(Platform, TheCoresOwnReadersLetTheFileBeReplaced) {
  if (platform::kWindows) GTEST_SKIP() << "WindowsFiles.TheCoresOwnReadersLetTheFileBeReplaced is this test there";
  TempFolder dir("mirelo_own_reader");
  const std::string target = dir / "report.csv";
  write_file_atomically(target, "old");
  const OpenedFile own = open_regular_file(target);
  EXPECT_NO_THROW(write_file_atomically(target, "new"));
  platform::close_descriptor(own.fd);
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"report.csv"});
}

TEST(Platform, ProcessesAndMemory) {
  EXPECT_GT(platform::process_id(), 0);
  EXPECT_FALSE(platform::process_gone(platform::process_id()));
  EXPECT_FALSE(platform::process_gone(0));
  EXPECT_TRUE(platform::process_gone(999999999));  // above any process id either system gives
  EXPECT_FALSE(platform::host_name().empty());
  const uint64_t limit = memory_capacity();
  EXPECT_GT(limit, uint64_t{64} << 20);
  EXPECT_LT(limit, UINT64_MAX);
  void* block = platform::map_zeroed(size_t{1} << 24);
  ASSERT_NE(block, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(block);
  EXPECT_TRUE(std::all_of(bytes, bytes + (size_t{1} << 24), [](unsigned char b) { return b == 0; }));
  platform::unmap(block, size_t{1} << 24);
  EXPECT_EQ(platform::c_strtod("2.5e-3"), 2.5e-3);
}
