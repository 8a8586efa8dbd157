#include "common/number.hpp"

#include <cmath>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/format.hpp"

namespace mirelo {
namespace {

// Three-way comparison of an int64 and a double without rounding the integer:
// -1, 0, 1, or 2 when the double is NaN.
int compare_int_real(int64_t a, double b) {
  if (std::isnan(b)) return 2;
  constexpr double two63 = 9223372036854775808.0;
  if (b >= two63) return -1;
  if (b < -two63) return 1;
  const double fl = std::floor(b);
  const auto bi = static_cast<int64_t>(fl);  // in range: -2^63 <= fl < 2^63
  if (a < bi) return -1;
  if (a > bi) return 1;
  return fl == b ? 0 : -1;
}

}  // namespace

std::string HostNumber::text() const { return is_int ? std::to_string(i) : format_float(d); }

HostNumber operator+(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) {
    int64_t r;
    if (__builtin_add_overflow(a.i, b.i, &r)) throw std::overflow_error("integer sum too large");
    return HostNumber::integer(r);
  }
  return HostNumber::real(a.as_double() + b.as_double());
}

HostNumber operator-(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) {
    int64_t r;
    if (__builtin_sub_overflow(a.i, b.i, &r)) throw std::overflow_error("integer difference too large");
    return HostNumber::integer(r);
  }
  return HostNumber::real(a.as_double() - b.as_double());
}

HostNumber operator*(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) {
    int64_t r;
    if (__builtin_mul_overflow(a.i, b.i, &r)) throw std::overflow_error("integer product too large");
    return HostNumber::integer(r);
  }
  return HostNumber::real(a.as_double() * b.as_double());
}

bool operator<(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) return a.i < b.i;
  if (!a.is_int && !b.is_int) return a.d < b.d;
  if (a.is_int) return compare_int_real(a.i, b.d) == -1;
  return compare_int_real(b.i, a.d) == 1;
}

bool operator==(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) return a.i == b.i;
  if (!a.is_int && !b.is_int) return a.d == b.d;
  return a.is_int ? compare_int_real(a.i, b.d) == 0 : compare_int_real(b.i, a.d) == 0;
}

bool remainder_is_zero(const HostNumber& x, const HostNumber& divisor) {
  if (divisor.is_int ? divisor.i == 0 : divisor.d == 0.0)
    throw ZeroDivisionError(x.is_int && divisor.is_int ? "integer modulo by zero" : "float modulo by zero");
  if (x.is_int && divisor.is_int) {
    // INT64_MIN % -1 traps in C++; mathematically the remainder is 0.
    if (divisor.i == -1) return true;
    return x.i % divisor.i == 0;
  }
  // The host adjusts a non-zero fmod result by adding the divisor when the
  // signs differ; that sum of two values of different magnitude never rounds
  // to zero, so the test reduces to fmod == 0.
  return std::fmod(x.as_double(), divisor.as_double()) == 0.0;
}

}  // namespace mirelo
