#pragma once
// Polygon texts of annotation files: "<identifier> x1 y1 x2 y2 ...", each x a
// fraction of the image width and each y of its height, read as the host
// reads them (str.split(), then float() of every piece).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo {

/// The pieces of `s` between runs of whitespace, as the host's str.split()
/// cuts them (Unicode whitespace included).
std::vector<std::string_view> split_whitespace(std::string_view s);

/// float(text) of the host: sign, digits with single underscores between
/// them, optional fraction and exponent, or inf / infinity / nan in any case.
/// False when `t` is not such a number.
bool parse_py_float(std::string_view t, double& out);

/// A polygon text taken apart.
struct PolygonText {
  std::string_view identifier;
  std::vector<std::array<double, 2>> points;  ///< (x, y) fractions, in order
};

/// Parses a polygon text. Throws ValueError naming `where` for a text
/// without an identifier, an odd number of values or a value that is not a
/// number.
PolygonText parse_polygon_text(std::string_view text, const std::string& where);

/// The pixel vertex of a point of a polygon text: x times `width` and y times
/// `height`, each truncated toward zero. Throws ValueError naming `where`
/// when a product is not finite or its integer part does not fit 32 bits.
std::array<int32_t, 2> pixel_vertex(const std::array<double, 2>& point, int64_t width, int64_t height,
                                    const std::string& where);

}  // namespace mirelo
