// Float and integer text, shared by every writer.
//
// All float texts start from the shortest digit string that reads back as the
// same double (std::to_chars), then lay it out in one of two notations:
//
//  * shortest: the JSON and YAML form. Decimal notation with at least one
//    digit after the point when the decimal exponent E of the first digit is
//    from -5 to 15 ("1.0", "0.00001", "1000000000000000.0", "12.34"),
//    otherwise scientific with an always-signed exponent ("1e+16", "1e-6",
//    "5e-324", "1.7976931348623157e+308"). Zero is "0.0" / "-0.0".
//  * positional: never an exponent and no fraction for whole numbers
//    ("1", "2.5", "100000000000000000000", "0.0000001"). Zero is "0" / "-0".
//    TOML adds ".0" to whole numbers itself.
//
// Both take finite values only; each writer spells NaN and the infinities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text/out_buffer.hpp"

namespace tabrix {

struct ShortestDigits {
    char digits[17];  // significant digits, no leading or trailing zeros
    int count;        // how many
    int exponent;     // decimal exponent of the first digit
    bool negative;
};

// Shortest round-trip digits of a finite, non-zero double.
ShortestDigits shortest_digits(double value) noexcept;

// Writes a finite value from 1e-4 up to 1e15 whose shortest digits have few
// decimals ("123.45", "-0.001", "120.0"), in the positional form the shortest
// notation and Python's repr share there, and returns true; returns false,
// writing nothing, for any other value. The writers try it first: it skips
// the general digit search for most configuration floats.
bool write_few_decimals(OutBuffer& out, double value);

void write_float_shortest(OutBuffer& out, double value);
// The same at `start`, which has room for kMaxFloatText bytes; returns the
// end.
inline constexpr std::size_t kMaxFloatText = 40;
char* write_float_shortest(char* start, double value) noexcept;
void write_float_positional(OutBuffer& out, double value);

// Decimal form of a signed 64-bit integer.
void write_int(OutBuffer& out, std::int64_t value);
// The same at `start`, which has room for kMaxIntText bytes; returns the end.
inline constexpr std::size_t kMaxIntText = 20;
char* write_int(char* start, std::int64_t value) noexcept;

}  // namespace tabrix
