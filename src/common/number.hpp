#pragma once
// Minutes and frame indices are computed the way the host computes them:
// integers stay exact integers until a real takes part, and a real keeps its
// full binary value (0.1 + 0.2 is 0.30000000000000004). The folder names and
// messages of the frame extraction show these values, so the arithmetic type
// is part of the result.
#include <cstdint>
#include <string>

namespace mirelo {

/// An integer or a real, with the host's mixed arithmetic.
struct HostNumber {
  bool is_int = true;
  int64_t i = 0;
  double d = 0.0;

  static HostNumber integer(int64_t v) { return {true, v, 0.0}; }
  static HostNumber real(double v) { return {false, 0, v}; }

  /// The value as a double (exact for integers below 2^53).
  double as_double() const { return is_int ? static_cast<double>(i) : d; }
  /// The host's text of the value: "0", "150", "0.1", "450.00000000000006".
  std::string text() const;
};

/// Sum, difference and product; int op int stays int (std::overflow_error
/// past 64 bits), anything else is a double operation.
HostNumber operator+(const HostNumber& a, const HostNumber& b);
HostNumber operator-(const HostNumber& a, const HostNumber& b);
HostNumber operator*(const HostNumber& a, const HostNumber& b);

/// Exact comparisons, also between an integer and a real (NaN compares false).
bool operator<(const HostNumber& a, const HostNumber& b);
bool operator==(const HostNumber& a, const HostNumber& b);

/// Whether `x % divisor == 0` in the host's arithmetic (remainder with the
/// divisor's sign, exact for reals). Throws ZeroDivisionError for a zero divisor.
bool remainder_is_zero(const HostNumber& x, const HostNumber& divisor);

}  // namespace mirelo
