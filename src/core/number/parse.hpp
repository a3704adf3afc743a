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

// m * 10^exponent in `out` (negated when `negative`) when m and 10^exponent
// are both exact doubles (m <= 2^53, |exponent| <= 22): one multiplication
// or division then rounds once, giving the nearest double. False otherwise.
inline bool exact_decimal_double(std::uint64_t m, long exponent, bool negative, double& out) noexcept {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (m > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
    const double value = exponent >= 0 ? static_cast<double>(m) * kPowers[exponent]
                                       : static_cast<double>(m) / kPowers[-exponent];
    out = negative ? -value : value;
    return true;
}

// Reads ASCII decimal digits (at least one, no sign) as a signed 64-bit value,
// negated when `negative`; false when the value does not fit. Leading zeros
// are fine.
bool read_decimal_int64(std::string_view digits, bool negative, std::int64_t& out) noexcept;

}  // namespace tabrix
