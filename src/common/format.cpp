#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/platform.hpp"

namespace mirelo {

namespace {

// Shortest round-trip digits of a finite value, laid out with repr's rules
// (scientific notation when the exponent is below -4 or at least 16) or,
// when `positional`, always in positional notation.
std::string layout_shortest(double value, bool positional) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const auto epos = sci.find('e');
  std::string mant = sci.substr(0, epos);
  const int exp = std::atoi(sci.c_str() + epos + 1);
  bool neg = false;
  if (!mant.empty() && mant[0] == '-') {
    neg = true;
    mant.erase(0, 1);
  }
  std::string digits;
  for (char c : mant)
    if (c != '.') digits.push_back(c);
  std::string out;
  if (!positional && (exp < -4 || exp >= 16)) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out.append(".").append(digits, 1);
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    out += ebuf;
  } else if (exp < 0) {
    out = "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  } else {
    const auto int_len = static_cast<size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return neg ? "-" + out : out;
}

}  // namespace

std::string format_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return layout_shortest(value, false);
}

std::string format_float_positional(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return layout_shortest(value, true);
}

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

std::string format_padded(int64_t value, int width) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(value));
  return buf;
}

double c_strtod(const std::string& text) { return platform::c_strtod(text.c_str()); }

}  // namespace mirelo
