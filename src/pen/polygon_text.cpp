#include "pen/polygon_text.hpp"

#include <cctype>
#include <charconv>
#include <climits>
#include <system_error>
#include <cmath>
#include <cstdlib>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

// Whitespace as the host's str.split() sees it.
bool is_py_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::vector<std::string_view> split_whitespace(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0, start = std::string_view::npos;
  while (i < s.size()) {
    char32_t cp = static_cast<uint8_t>(s[i]);
    size_t len = 1;
    if (cp >= 0x80) {
      len = utf8_decode(s, i, cp, true);
      if (len == 0) len = 1, cp = 0xFFFD;
    }
    if (is_py_space(cp)) {
      if (start != std::string_view::npos) out.push_back(s.substr(start, i - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
    i += len;
  }
  if (start != std::string_view::npos) out.push_back(s.substr(start));
  return out;
}

bool parse_py_float(std::string_view t, double& out) {
  // Plain decimal numbers, by far the most common, without a copy: what
  // from_chars reads of them is what the host reads.
  const std::string_view plain = t.substr(!t.empty() && t[0] == '+');
  const bool second_sign = plain.size() < t.size() && !plain.empty() && (plain[0] == '+' || plain[0] == '-');
  if (!plain.empty() && !second_sign && plain.find_first_not_of("0123456789.eE+-") == std::string_view::npos) {
    const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), out);
    if (ec == std::errc() && end == plain.data() + plain.size()) return true;
    if (ec == std::errc::result_out_of_range) {
      // from_chars leaves the value alone when it overflows or underflows;
      // the host rounds to infinity or zero as strtod does.
    } else if (ec == std::errc() || ec == std::errc::invalid_argument) {
      return false;
    }
  }
  std::string clean;
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) clean.push_back(t[i++]);
  std::string rest(t.substr(i));
  for (auto& ch : rest) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (rest == "inf" || rest == "infinity") {
    out = clean == "-" ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (rest == "nan") {
    out = std::nan("");
    return true;
  }
  auto digit = [&](size_t k) { return k < t.size() && t[k] >= '0' && t[k] <= '9'; };
  // digitpart ::= digit (["_"] digit)*
  auto digitpart = [&]() {
    if (!digit(i)) return false;
    clean.push_back(t[i++]);
    while (i < t.size()) {
      if (digit(i)) {
        clean.push_back(t[i++]);
      } else if (t[i] == '_' && digit(i + 1)) {
        ++i;
      } else {
        break;
      }
    }
    return true;
  };
  const bool int_part = digitpart();
  bool frac_part = false;
  if (i < t.size() && t[i] == '.') {
    clean.push_back(t[i++]);
    frac_part = digitpart();
  }
  if (!int_part && !frac_part) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    clean.push_back(t[i++]);
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) clean.push_back(t[i++]);
    if (!digitpart()) return false;
  }
  if (i != t.size()) return false;
  out = c_strtod(clean);
  return true;
}

PolygonText parse_polygon_text(std::string_view text, const std::string& where) {
  const std::vector<std::string_view> parts = split_whitespace(text);
  if (parts.empty())
    throw ValueError(expected_got("an identifier followed by x y coordinates in " + where, "an empty text"));
  const size_t ncoords = parts.size() - 1;
  if (ncoords % 2 != 0)
    throw ValueError(expected_got("an even number of coordinates (x y pairs) in " + where,
                                  std::to_string(ncoords) + " coordinates in " + repr_text(text)));
  PolygonText out;
  out.identifier = parts[0];
  out.points.resize(ncoords / 2);
  for (size_t k = 0; k < ncoords; ++k) {
    const std::string_view piece = parts[1 + k];
    if (!parse_py_float(piece, out.points[k / 2][k % 2]))
      throw ValueError("could not convert string to float: " + repr_text(piece) + " (in " + where + ")");
  }
  return out;
}

std::array<int32_t, 2> pixel_vertex(const std::array<double, 2>& point, int64_t width, int64_t height,
                                    const std::string& where) {
  std::array<int32_t, 2> out{};
  const double scale[2] = {static_cast<double>(width), static_cast<double>(height)};
  for (int c = 0; c < 2; ++c) {
    const double v = std::trunc(point[c] * scale[c]);
    if (!(v >= double{INT32_MIN} && v <= double{INT32_MAX}))
      throw ValueError(expected_got("pixel coordinates that are finite and fit in 32-bit integers in " + where,
                                    std::string(c == 0 ? "x = " : "y = ") + format_float(point[c]) + " times " +
                                        std::to_string(c == 0 ? width : height)));
    out[c] = static_cast<int32_t>(v);
  }
  return out;
}

}  // namespace mirelo
