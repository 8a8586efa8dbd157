// What only the Windows build meets: drive letters and backslashes, devices
// by name, its own loader; and, by name, the tests of the POSIX build that
// need POSIX's own means (posix_ files), so that the run says what it leaves.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/lazy_library.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "common/walk.hpp"
#include "ingest/catalogue.hpp"
#include "media/media.hpp"
#include "pen/pen.hpp"
#include "test_support.hpp"

using namespace mirelo;
using test_support::thrown;
namespace fs = std::filesystem;

namespace {

// A new folder below the temporary one, written as Windows writes paths:
// "C:\\...\\name", backslashes only.
struct DriveFolder {
  std::string path;
  explicit DriveFolder(const std::string& name) {
    std::string temp = platform::utf8_path(fs::temp_directory_path());
    while (!temp.empty() && platform::is_separator(temp.back())) temp.pop_back();
    std::replace(temp.begin(), temp.end(), '/', '\\');
    path = temp + "\\" + name + "_" + std::to_string(platform::process_id());
    fs::remove_all(platform::fs_path(path));
  }
  ~DriveFolder() {
    std::error_code ignore;
    fs::remove_all(platform::fs_path(path), ignore);
  }
};

}  // namespace

// The pen files' root as the researchers' machines have it: a drive letter
// and backslashes; the files are reached through it however the rest of
// the path is written.
TEST(WindowsPaths, DriveLettersAndBackslashes) {
  DriveFolder root("mirelo_pen_root");
  ASSERT_GE(root.path.size(), 3u);
  ASSERT_EQ(root.path.substr(1, 2), ":\\") << root.path;
  const std::string pens = root.path + "\\GSAM2_output";
  fs::create_directories(platform::fs_path(pens));
  const std::string video_dir = "D:\\frames\\20240115\\Camera61_2_20240115101500\\0min_to_0.1min\\left_cropped_frames";
  const std::optional<std::string> pen_file = get_pen_json_path(video_dir, std::nullopt, root.path);
  ASSERT_EQ(pen_file, pens + "\\Cam61.json");
  write_file_atomically(*pen_file, R"({"shapes": [{"points": [[0, 0], [10, 0], [10, 10]]}]})");
  EXPECT_EQ(read_pen_points(*pen_file).size(), 3u);

  // The same file by forward slashes, mixed ones and a lower-case drive
  std::string forward = *pen_file, lower = *pen_file;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  lower[0] = static_cast<char>(lower[0] | 0x20);
  for (const std::string& other : {forward, lower, root.path + "/GSAM2_output\\Cam61.json"})
    EXPECT_EQ(read_file(other), read_file(*pen_file)) << other;
  write_file_atomically(forward, "{}");
  EXPECT_EQ(read_file(*pen_file), "{}");

  // Walks join below a drive path with backslashes, as ntpath.join does
  std::vector<std::string> folders;
  walk_folders(root.path, [&](const std::string& folder, const std::vector<std::string>&) { folders.push_back(folder); });
  EXPECT_EQ(folders, (std::vector<std::string>{root.path, pens}));
  EXPECT_EQ(list_all_files(root.path, {".json"}), std::vector<std::string>{pens + "\\Cam61.json"});
  EXPECT_EQ(list_all_files(root.path + "\\", {".json"}), std::vector<std::string>{pens + "\\Cam61.json"});
  EXPECT_EQ(file_name_of(*pen_file), "Cam61.json");
  std::vector<std::string> names;
  ASSERT_TRUE(platform::list_folder(pens + "\\", names));
  EXPECT_EQ(names, std::vector<std::string>{"Cam61.json"});

  const std::string missing = root.path + "\\no_such_folder\\Cam61.json";
  EXPECT_EQ(thrown([&] { write_file_atomically(missing, "{}"); }),
            "[Errno 2] No such file or directory: " + repr_text(missing));
}

// Devices by name are no regular files: neither read nor replaced.
TEST(WindowsPaths, DevicesAreNotRegularFiles) {
  EXPECT_EQ(thrown([] { read_file("NUL"); }), "expected a regular file, got a character device: 'NUL'");
  EXPECT_EQ(special_file_problem("NUL"), "expected a regular file, got a character device: 'NUL'");
  EXPECT_EQ(thrown([] { write_file_atomically("NUL", "x"); }),
            "expected a regular file, got a character device: 'NUL'");
}

// The media library's DLL cut short is refused by name before the loader
// maps it.
TEST(WindowsLibraries, ALibraryCutShortIsRefused) {
  const std::string dll = platform::path_join(platform::folder_of_this_binary(), media::library_file());
  ASSERT_EQ(platform::library_truncation(dll), "");
  DriveFolder dir("mirelo_cut_library");
  fs::create_directories(platform::fs_path(dir.path));
  const std::string whole = read_file(dll), cut = dir.path + "\\mirelo_cut.dll";
  write_file_atomically(cut, whole.substr(0, whole.size() / 2));
  const std::string error = thrown([&] { library_entry(cut, media::kEntry); });
  EXPECT_EQ(error.rfind("cannot load " + cut + ": the file is cut short (" + std::to_string(whole.size() / 2) +
                            " of at least ", 0), 0u) << error;
  EXPECT_NE(thrown([&] { library_entry(dir.path + "\\mirelo_missing.dll", media::kEntry); }), "");
}

// The core's own readers open files for deletion too, so the file they read
// can be replaced while they read it, where Windows renames with POSIX
// semantics (Windows 10 1809 and later, on NTFS); they go on reading the old
// file.
TEST(WindowsFiles, TheCoresOwnReadersLetTheFileBeReplaced) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr)
    GTEST_SKIP() << "Wine renames without POSIX semantics (FileRenameInfoEx), like Windows before 10 1809 or FAT: "
                    "there the replacement waits for the reader (Platform.ReplacingAFileAnotherHandleHoldsOpen)";
  DriveFolder dir("mirelo_own_reader");
  fs::create_directories(platform::fs_path(dir.path));
  const std::string target = dir.path + "\\report.csv";
  write_file_atomically(target, "old");
  const OpenedFile own = open_regular_file(target);
  EXPECT_NO_THROW(write_file_atomically(target, "new"));
  std::string seen(8, '\0');
  size_t got = 0;
  EXPECT_EQ(platform::read_some(own.fd, seen.data(), seen.size(), got), 0);
  EXPECT_EQ(seen.substr(0, got), "old");
  platform::close_descriptor(own.fd);
  EXPECT_EQ(read_file(target), "new");
}

// The POSIX build's tests that need POSIX's own means.
TEST(NotOnWindows, VideoReaderAgainstOpenCVsCapture) {
  GTEST_SKIP() << "OpenCV's videoio, the reference writer and capture, is in the Debian build only; "
                  "RecordingsAcrossSystems decodes that build's recordings here";
}
TEST(NotOnWindows, WritersKilledMidWrite) {
  GTEST_SKIP() << "kills a writer with fork() and RLIMIT_FSIZE; the removal of its temporary is the same code here";
}
TEST(NotOnWindows, AddressSpaceLimits) {
  GTEST_SKIP() << "sets RLIMIT_AS in a forked child; Windows has job objects instead (Platform.ProcessesAndMemory)";
}
TEST(NotOnWindows, CorrectionsKilledInTheMiddle) {
  GTEST_SKIP() << "kill a lock holder and editors inside a write with fork() and RLIMIT_FSIZE "
                  "(posix_corrections.cpp); FileLock.ExclusiveAgainstEveryOtherOpenFile runs here";
}
TEST(NotOnWindows, FifosDevicesLinksAndPermissionBits) {
  GTEST_SKIP() << "mkfifo, /dev/zero, /proc, symbolic links and chmod are POSIX's; "
                  "WindowsPaths.DevicesAreNotRegularFiles covers NUL";
}
