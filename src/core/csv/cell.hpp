// Cell typing shared by csv.loads (one kind per column, joined over all its
// cells) and CsvStream (each cell typed on its own).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tabrix::csv {

// What a cell holds, and what a whole column holds once its cells are joined.
// The order is part of the contract (it is the order of the join table).
enum class CellKind : std::uint8_t {
    Empty,   // the empty string
    Bool,    // exactly "true" or "false"
    Int,     // a decimal integer within the signed 64-bit range
    BigInt,  // a decimal integer outside it
    Float,   // a decimal or special (inf, infinity, nan) float literal
    Text,    // anything else
};

// The number an Int or Float cell holds.
union CellValue {
    std::int64_t integer;  // Int
    double real;           // Float: the nearest double
};

// A cell's kind and, for an Int or Float cell, its value, read in the one
// pass that types it.
struct TypedCell {
    CellKind kind;
    CellValue value;
};

// Kind of a non-empty cell (never Empty; callers handle empty cells), with
// the value of an Int or Float cell (as read_cell_int64 and read_cell_double
// give it). The whole cell is looked at, with no trimming:
//   Bool    "true", "false" (lower case only)
//   Int     [+-]?[0-9]+ whose value fits in 64 bits (leading zeros allowed)
//   BigInt  [+-]?[0-9]+ beyond that
//   Float   [+-]? then inf | infinity | nan (any case), or digits with at most
//           one point and a digit on at least one side, then an optional
//           exponent e[+-]?[0-9]+ (either case of e)
//   Text    everything else, a lone sign included
TypedCell type_cell(std::string_view cell) noexcept;

inline CellKind classify_cell(std::string_view cell) noexcept { return type_cell(cell).kind; }

// The join of two kinds: Empty adds nothing, Int rises to BigInt and Float,
// Bool joins only with itself, Text absorbs everything. Commutative, so the
// kind of a column does not depend on the order of its rows.
inline constexpr CellKind merge_kind(CellKind acc, CellKind kind) noexcept {
    using K = CellKind;
    constexpr K E = K::Empty, B = K::Bool, I = K::Int, G = K::BigInt, F = K::Float, T = K::Text;
    constexpr std::array<std::array<K, 6>, 6> table{{
        //  Empty Bool Int BigInt Float Text
        {{E, B, I, G, F, T}},  // Empty
        {{B, B, T, T, T, T}},  // Bool
        {{I, T, I, G, F, T}},  // Int
        {{G, T, G, G, F, T}},  // BigInt
        {{F, T, F, F, F, T}},  // Float
        {{T, T, T, T, T, T}},  // Text
    }};
    return table[static_cast<std::uint8_t>(acc)][static_cast<std::uint8_t>(kind)];
}

// The value of an integer cell ([+-]?[0-9]+); false when it does not fit in
// 64 bits.
bool read_cell_int64(std::string_view cell, std::int64_t& out) noexcept;

// The value of a Float (or integer) cell as the nearest double: ties to even,
// beyond the double range an infinity, "nan" a NaN.
double read_cell_double(std::string_view cell) noexcept;

}  // namespace tabrix::csv
