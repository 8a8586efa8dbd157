#pragma once
// Number formatting as the host language prints numbers in messages and
// file names, and the locale-independent reading of decimal numbers.
#include <cstdint>
#include <string>

namespace mirelo {

/// Shortest round-trip text of a double with the host's repr rules:
/// "25.0", "0.30000000000000004", "1e+16", "1.5e-05", "nan", "inf", "-inf".
std::string format_float(double value);

/// The same shortest round-trip digits, never in scientific notation:
/// "25.0", "1e16" as "10000000000000000.0", "1.5e-05" as "0.000015".
std::string format_float_positional(double value);

/// Fixed-point text with `decimals` digits after the point ("60.00").
std::string format_fixed(double value, int decimals);

/// Integer padded with leading zeros to at least `width` digits ("0007").
std::string format_padded(int64_t value, int width);

/// strtod of `text` in the "C" locale whatever the process locale says: the
/// decimal point of a number in a file is always '.'.
double c_strtod(const std::string& text);

}  // namespace mirelo
