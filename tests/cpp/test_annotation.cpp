#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <opencv2/imgcodecs.hpp>

#include "common/platform.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/polygon_fill.hpp"
#include "pen/annotation.hpp"
#include "segment/annotation_data.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() / ("mirelo_annotation_" + std::to_string(platform::process_id()) + "_" +
                                        std::to_string(std::random_device{}()));
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

// A path as a JSON string: Windows' backslashes escaped.
std::string json_path(const fs::path& p) {
  std::string out = "\"";
  for (char c : platform::utf8_path(p)) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// An annotation file of detections, each a list of polygons of normalised
// (x, y) points written as the host writes floats.
std::string annotation(const std::string& image, const std::vector<std::vector<std::vector<double>>>& detections) {
  std::string s = "{\"image_path\": \"" + image + "\", \"detections\": [";
  for (size_t d = 0; d < detections.size(); ++d) {
    s += (d ? ", " : "") + std::string("{\"object_id\": ") + std::to_string(d + 1) + ", \"formatted_polygon\": [";
    for (size_t p = 0; p < detections[d].size(); ++p) {
      s += (p ? ", \"0" : "\"0");
      for (double v : detections[d][p]) s += " " + format_float(v);
      s += "\"";
    }
    s += "]}";
  }
  return s + "]}";
}

}  // namespace

TEST(AnnotationMasks, BoxFillEqualsTheFrameFillAlsoAcrossTheSides) {
  TempDir dir;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> coord(-0.3, 1.3);
  std::uniform_int_distribution<int> count(1, 9), polys(1, 3);
  const int64_t h = 37, w = 53;
  for (int trial = 0; trial < 80; ++trial) {
    std::vector<std::vector<std::vector<double>>> dets(3);
    for (auto& det : dets) {
      det.resize(static_cast<size_t>(polys(gen)));
      for (auto& poly : det)
        for (int k = 2 * count(gen); k > 0; --k) poly.push_back(coord(gen));
    }
    const fs::path file = dir.path / "a.json";
    write(file, annotation("frame.jpg", dets));
    const AnnotationMasks got = read_annotation_masks(file.string(), h, w);
    ASSERT_EQ(got.masks.size(), dets.size());
    for (size_t d = 0; d < dets.size(); ++d) {
      cv::Mat frame = cv::Mat::zeros(static_cast<int>(h), static_cast<int>(w), CV_8UC1);
      for (const auto& poly : dets[d]) {
        std::vector<cv::Point> v;
        for (size_t k = 0; k < poly.size(); k += 2)
          v.emplace_back(static_cast<int>(poly[k] * w), static_cast<int>(poly[k + 1] * h));
        fill_polygon(frame, v, cv::Scalar(1));
      }
      Mask dense(h, w);
      got.masks[d].paint(dense.pixels.data(), w);
      ASSERT_EQ(0, std::memcmp(dense.pixels.data(), frame.data, static_cast<size_t>(h * w))) << "trial " << trial;
    }
    EXPECT_EQ(got.box_keys, (std::vector<int64_t>{0, 1, 2}));
  }
}

TEST(AnnotationFiles, WalkOrderNameFilterAndNumericStableSort) {
  TempDir dir;
  for (const char* name : {"output_pp_10.json", "output_pp_2.json", "output_pp_1.json", "notes.json",
                           "output_pp_3.json.bak", "output_pp_5.JSON", "x_04.json", ".json", "b/output_pp_0.json",
                           "a/output_pp_9.json", "a/deep/output_pp_1.json"})
    write(dir.path / name, "{}");
  std::error_code no_links;  // Windows lets only some users make them
  fs::create_directory_symlink(dir.path / "a", dir.path / "c_link", no_links);
  const auto files = list_annotation_files(dir.path.string());
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.substr(dir.path.string().size() + 1));
  std::vector<std::string> expected{"output_pp_1.json", "output_pp_2.json", "x_04.json", "output_pp_10.json",
                                    "a/output_pp_9.json", "a/deep/output_pp_1.json", "b/output_pp_0.json"};
  if (platform::kWindows)  // the walk joins its paths as ntpath.join does
    for (auto& name : expected) std::replace(name.begin(), name.end(), '/', '\\');
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(list_annotation_files((dir.path / "missing").string()).empty());
}

TEST(AnnotationFiles, FrameIndexIsReadAsTheHostsInt) {
  const std::pair<const char*, const char*> ok[] = {
      {"/d/output_pp_12.json", "12"},      {"output_pp_007.json", "7"},    {"a/output_pp_1_2.json", "12"},
      {"output_pp_ 3 .json", "3"},         {"output_pp_-0.json", "0"},     {"output_pp_+5.x.json", "5"},
      {"output_pp_99999999999999999999999.json", "99999999999999999999999"},
      {"/output_pp_9/output_pp_4.json", "4"},
  };
  for (const auto& [path, index] : ok) EXPECT_EQ(frame_index_of(path), index) << path;
  for (const char* bad : {"data_7.json", "output_pp_.json", "output_pp_1__2.json", "output_pp_x1.json",
                          "/output_pp_9/x_4.json"}) {
    EXPECT_THROW(frame_index_of(bad), ValueError) << bad;
  }
}

TEST(AnnotationFiles, ParallelLoadKeepsOrderAndRaisesTheFirstFailure) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int k = 0; k < 12; ++k) {
    const fs::path p = dir.path / ("output_pp_" + std::to_string(k) + ".json");
    const double x = 0.1 + 0.05 * k;
    write(p, annotation("f.jpg", {{{x, 0.1, x + 0.1, 0.1, x + 0.1, 0.9}}}));
    paths.push_back(p.string());
  }
  const auto records = load_frame_records(paths, 20, 40, LoadOptions{true, true}, 3);
  ASSERT_EQ(records.size(), paths.size());
  for (size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ(records[k].frame_index, std::to_string(k));
    EXPECT_EQ(records[k].keys, std::vector<std::string>{"Box0"});
    EXPECT_EQ(records[k].dense.layers, 1);
    EXPECT_EQ(records[k].table, std::vector<double>{0.0});
  }
  write(paths[9], "{broken");
  write(paths[4], "{\"image_path\": 1, \"detections\": 5}");
  for (unsigned threads : {1u, 2u, 4u}) {
    try {
      load_frame_records(paths, 20, 40, LoadOptions{}, threads);
      ADD_FAILURE() << "no error";
    } catch (const TypeError& e) {
      EXPECT_NE(std::string(e.what()).find("output_pp_4"), std::string::npos) << e.what();
    }
  }
}

TEST(AnnotationFiles, FrameSizeAsTheImageReaderSeesIt) {
  TempDir dir;
  cv::imwrite((dir.path / "f.png").string(), cv::Mat(7, 11, CV_8UC1, cv::Scalar(3)));
  write(dir.path / "a.json", "{\"image_path\": " + json_path(dir.path / "f.png") + ", \"detections\": []}");
  EXPECT_EQ(annotation_frame_size((dir.path / "a.json").string()), (std::pair<int64_t, int64_t>{7, 11}));
  write(dir.path / "b.json", "{\"image_path\": " + json_path(dir.path / "none.png") + "}");
  EXPECT_THROW(annotation_frame_size((dir.path / "b.json").string()), FileNotFoundError);
  write(dir.path / "c.json", "{\"image_path\": " + json_path(dir.path / "a.json") + "}");
  EXPECT_THROW(annotation_frame_size((dir.path / "c.json").string()), OSError);
  write(dir.path / "d.json", "{\"image_path\": 4}");
  EXPECT_THROW(annotation_frame_size((dir.path / "d.json").string()), TypeError);
}
