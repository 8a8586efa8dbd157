#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/errors.hpp"
#include "common/json.hpp"
#include "common/files.hpp"
#include "common/platform.hpp"
#include "pen/pen.hpp"

using namespace mirelo;
namespace fs = std::filesystem;

namespace {

PenPoint pt(int64_t x, int64_t y) { return PenPoint{HostNumber::integer(x), HostNumber::integer(y)}; }

std::vector<PenPoint> square(int64_t s) { return {pt(0, 0), pt(s, 0), pt(s, s), pt(0, s)}; }

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() / ("mirelo_pen_test_" + std::to_string(platform::process_id()));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string file(const std::string& name, const std::string& text) const {
    std::ofstream(path / name) << text;
    return (path / name).string();
  }
};

std::string slurp(const std::string& p) {
  std::ifstream f(p);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

TEST(JsonDoc, RoundTripInHostLayout) {
  const JsonValue v = parse_json(
      R"({"b": [1, 2.5, -0.0, 1e16, 123456789012345678901234567890], "a": {}, "c": [], "s": "\u00e9\"\n\ud83d\ude00", "n": NaN, "z": null, "b": true})");
  EXPECT_EQ(dump_json(v, 4),
            "{\n    \"b\": true,\n    \"a\": {},\n    \"c\": [],\n    \"s\": \"\\u00e9\\\"\\n\\ud83d\\ude00\",\n"
            "    \"n\": NaN,\n    \"z\": null\n}");
  const JsonValue nums = parse_json("[1, 2.5, -0.0, 1e16, 123456789012345678901234567890, -Infinity]");
  EXPECT_EQ(dump_json(nums, 1), "[\n 1,\n 2.5,\n -0.0,\n 1e+16,\n 123456789012345678901234567890,\n -Infinity\n]");
  // Repeated keys keep their first position and last value, in small and
  // large objects alike.
  for (int members : {3, 40}) {
    std::string text = "{";
    for (int k = 0; k < members; ++k) text += "\"k" + std::to_string(k) + "\": " + std::to_string(k) + ", ";
    text += "\"k1\": \"again\", \"k" + std::to_string(members - 1) + "\": \"last\"}";
    const JsonValue o = parse_json(text);
    ASSERT_EQ(o.members.size(), static_cast<size_t>(members));
    EXPECT_EQ(o.members[1].second.text, "again");
    EXPECT_EQ(o.members.back().second.text, "last");
    EXPECT_EQ(o.members[0].second.integer, 0);
  }
}

TEST(JsonDoc, MalformedInputThrowsValueError) {
  for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "\"\x01\"", "01", "[1] x", "\"\\x\"", "\"\xff\""})
    EXPECT_THROW(parse_json(bad), ValueError) << bad;
  EXPECT_THROW(parse_json(std::string(5000, '[') + std::string(5000, ']')), ValueError);
  EXPECT_THROW(read_json_file("/nonexistent/pen.json"), FileNotFoundError);
}

TEST(PenPath, CameraTableAndRoot) {
  const std::string dir = R"(D:\frames\20240115\Camera61_2_20240115101500\0min_to_0.1min\left_cropped_frames)";
  EXPECT_EQ(get_pen_json_path(dir, std::nullopt, "D:\\root").value(), "D:\\root\\GSAM2_output\\Cam61.json");
  EXPECT_EQ(get_pen_json_path(dir, std::nullopt, "/data/pens/").value(), "/data/pens/GSAM2_output/Cam61.json");
  EXPECT_FALSE(get_pen_json_path("D:/frames/Camera61_2/x", std::nullopt, "D:\\root"));
  EXPECT_FALSE(get_pen_json_path(R"(x\Camera63_1_2\y)", std::nullopt, "D:\\root"));
  EXPECT_EQ(get_pen_json_path(R"(x\Camera63_1\y)", std::string("pen.json"), "r").value(), "pen.json");
}

TEST(PenRatios, SquarePenAndThresholdEdge) {
  const auto r = pen_box_ratios(square(100), {{50, 50, 150, 150}, {10, 10, 20, 20}, {90, 0, 100, 10}, {70, 0, 170, 10}});
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0], 25.0);
  EXPECT_EQ(r[1], 100.0);
  EXPECT_EQ(r[2], 100.0);
  EXPECT_EQ(r[3], 30.0);
  // A box given with swapped corners is the same rectangle.
  EXPECT_EQ(pen_box_ratios(square(100), {{150, 150, 50, 50}})[0], 25.0);
}

TEST(PenRatios, InvalidInputThrows) {
  const std::vector<PenPoint> bowtie = {pt(0, 0), pt(10, 0), pt(0, 10), pt(10, 10)};
  EXPECT_THROW(pen_box_ratios(bowtie, {{1, 1, 2, 2}}), ValueError);
  EXPECT_THROW(pen_box_ratios({pt(0, 0), pt(1, 1), pt(0, 0)}, {}), ValueError);
  EXPECT_THROW(pen_box_ratios(square(10), {{1, 1, 1, 5}}), ZeroDivisionError);
  EXPECT_THROW(pen_box_ratios(square(10), {{1, NAN, 3, 5}}), ValueError);
  EXPECT_TRUE(pen_box_ratios(square(10), {}).empty());
}

TEST(PenMask, FillsOutlineAndRejectsHugeCoordinates) {
  const cv::Mat m = pen_mask(square(4), 8, 8);
  EXPECT_EQ(cv::countNonZero(m), 25);  // 0..4 inclusive on both axes
  EXPECT_THROW(pen_mask({pt(0, 0), pt(INT64_C(1) << 40, 0), pt(0, 5)}, 8, 8), ValueError);
  const int64_t far = INT64_C(1) << 20;
  const cv::Mat big = pen_mask({pt(-far, -far), pt(far, -far), pt(far, far), pt(-far, far)}, 6, 5);
  EXPECT_EQ(cv::countNonZero(big), 30);
}

TEST(PenMask, CopyInsideKeepsValuesOfEveryWidthAndLayout) {
  const cv::Mat pen = pen_mask(square(1), 3, 3);  // the 2 x 2 top-left block
  for (size_t itemsize : {1u, 2u, 4u, 8u, 16u}) {
    // Element e of a 2 x 3 x 3 stack holds bytes e + 1; read C-ordered, then
    // through strides that reverse the planes and the columns.
    std::vector<uint8_t> data(18 * itemsize);
    for (size_t e = 0; e < 18; ++e) std::memset(&data[e * itemsize], static_cast<int>(e + 1), itemsize);
    const auto item = static_cast<int64_t>(itemsize);
    for (bool reversed : {false, true}) {
      StridedStack src;
      src.itemsize = itemsize;
      src.shape = {2, 3, 3};
      src.strides = {reversed ? -9 * item : 9 * item, 3 * item, reversed ? -item : item};
      src.data = data.data() + (reversed ? 11 * itemsize : 0);
      std::vector<uint8_t> out(18 * itemsize, 0xEE);
      copy_inside_pen(src, out.data(), pen);
      for (size_t e = 0; e < 18; ++e) {
        const size_t k = e / 9, y = (e % 9) / 3, x = e % 3;
        const size_t from = reversed ? (1 - k) * 9 + y * 3 + (2 - x) : e;
        const uint8_t expect = (x <= 1 && y <= 1) ? static_cast<uint8_t>(from + 1) : 0;
        for (size_t b = 0; b < itemsize; ++b) ASSERT_EQ(out[e * itemsize + b], expect) << itemsize << reversed;
      }
    }
  }
}

TEST(PolygonRepair, RescalesAndWritesAtomically) {
  TempDir tmp;
  const std::string path = tmp.file(
      "a.json", R"({"image_path": "img.jpg", "detections": [{"formatted_polygon": ["0 0.5 0.25"], "k": 1}]})");
  fs::permissions(path, fs::perms(0640));
  auto size = [](const JsonValue&) { return std::pair<int64_t, int64_t>{1920, 1080}; };
  fix_polygon_scaling(path, std::nullopt, size);
  EXPECT_EQ(slurp(path),
            "{\n    \"image_path\": \"img.jpg\",\n    \"detections\": [\n        {\n            \"formatted_polygon\": [\n"
            "                \"0 0.281250 0.444444\"\n            ],\n            \"k\": 1\n        }\n    ]\n}");
  if (!platform::kWindows)  // which keeps no such bits
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path), fs::directory_iterator()), 1);
}

TEST(PolygonRepair, BadTextsLeaveTheFileAlone) {
  TempDir tmp;
  auto size = [](const JsonValue&) { return std::pair<int64_t, int64_t>{4, 2}; };
  for (const char* text : {"0 1 2 3", "0 1 x", ""}) {
    const std::string body = std::string(R"({"image_path": "i", "detections": [{"formatted_polygon": ["0 1 1", ")") +
                             text + "\"]}]}";
    const std::string path = tmp.file("b.json", body);
    EXPECT_THROW(fix_polygon_scaling(path, std::nullopt, size), ValueError) << text;
    EXPECT_EQ(slurp(path), body);
  }
  const std::string path = tmp.file("c.json", R"({"image_path": "i", "detections": [{}]})");
  EXPECT_THROW(fix_polygon_scaling(path, std::nullopt, size), KeyError);
  auto fails = [](const JsonValue&) -> std::pair<int64_t, int64_t> { throw ImageLoadError("cannot identify"); };
  fix_polygon_scaling(path, (tmp.path / "out.json").string(), fails);
  EXPECT_FALSE(fs::exists(tmp.path / "out.json"));
  EXPECT_THROW(write_file_atomically((tmp.path / "missing" / "x.json").string(), "{}"), FileNotFoundError);
}
