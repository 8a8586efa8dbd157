// The media library, opened on first use: a missing library or entry point is
// a LibraryError naming what is missing, and a library of another build is
// refused.
#include <gtest/gtest.h>

#include <string>

#include "common/errors.hpp"
#include "common/lazy_library.hpp"
#include "common/platform.hpp"
#include "media/media.hpp"

using namespace mirelo;

// The library's entry point, called directly: it also keeps the library
// linked into this program, where the core then finds it already loaded.
extern "C" const media::Library* mirelo_media_library(int version);

namespace {

std::string library_error(const std::string& file, const char* entry) {
  try {
    library_entry(file, entry);
  } catch (const LibraryError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(LazyLibrary, MissingLibraryOrEntryIsReportedByName) {
  const std::string missing = library_error(platform::shared_library_file("mirelo_no_such_library"), media::kEntry);
  EXPECT_EQ(missing.rfind("cannot load " + platform::shared_library_file("mirelo_no_such_library") + ": ", 0), 0u) << missing;
  const std::string no_entry = library_error(media::library_file(), "mirelo_no_such_entry");
  EXPECT_NE(no_entry.find("mirelo_no_such_entry"), std::string::npos) << no_entry;
}

TEST(LazyLibrary, FindsTheMediaLibraryEntry) {
  // Called, not compared by address: a program's address of a DLL's function
  // is that of its import stub on Windows.
  const auto entry = reinterpret_cast<decltype(&mirelo_media_library)>(library_entry(media::library_file(), media::kEntry));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(media::kInterfaceVersion), mirelo_media_library(media::kInterfaceVersion));
  EXPECT_EQ(&media::library(), mirelo_media_library(media::kInterfaceVersion));
}

TEST(MediaLibrary, RefusesCallersOfAnotherInterface) {
  EXPECT_EQ(mirelo_media_library(media::kInterfaceVersion + 1), nullptr);
  EXPECT_EQ(mirelo_media_library(0), nullptr);
}

// The library's errors come back as the core's own types, though no
// exception crosses the boundary (each side may carry its own C++ runtime):
// the core and the bindings catch them by type.
TEST(MediaLibrary, ErrorsKeepTheirTypeAcrossTheBoundary) {
  const auto converter = media::library().frame_converter();
  cv::Mat out;
  EXPECT_THROW(converter->to_bgr(media::DecodedFrame{}, cv::Rect(0, 0, 1, 1), out), ValueError);
  const cv::Mat small(8, 8, CV_8UC1, cv::Scalar(0)), large(16, 16, CV_8UC1, cv::Scalar(0));
  EXPECT_THROW(media::library().farneback_flow(small, large, 0.5, 3, 15, 3, 5, 1.2, 0), cv::Exception);
  EXPECT_FALSE(media::library().open_video("/no/such/video.mp4")->is_open());
  EXPECT_TRUE(media::library().read_image("/no/such/image.png", media::ImageColor::gray).empty());
}
