// Number reading shared by the parsers.
#pragma once

#include <cstdint>
#include <string_view>

namespace tabrix {

// Reads a decimal floating-point literal whose syntax the caller has already
// checked: an optional sign, digits with at most one point (digits on at
// least one side), an optional exponent. The result is the nearest double
// (ties to even); a magnitude beyond the double range gives an infinity of
// the literal's sign, one too small gives a zero of its sign.
double read_decimal_double(std::string_view literal) noexcept;

// Reads ASCII decimal digits (at least one, no sign) as a signed 64-bit value,
// negated when `negative`; false when the value does not fit. Leading zeros
// are fine.
bool read_decimal_int64(std::string_view digits, bool negative, std::int64_t& out) noexcept;

}  // namespace tabrix
