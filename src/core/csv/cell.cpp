#include "core/csv/cell.hpp"

#include <cstring>

#include "core/number/parse.hpp"

namespace tabrix::csv {

namespace {

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

constexpr char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equals_ignoring_case(std::string_view text, std::string_view word) noexcept {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != word[i]) return false;
    }
    return true;
}

// Whether `digits` (ASCII digits only) is a magnitude that fits in 64 bits
// with the given sign.
bool digits_fit_int64(std::string_view digits, bool negative) noexcept {
    std::size_t first = 0;
    while (first < digits.size() && digits[first] == '0') ++first;
    const std::string_view significant = digits.substr(first);
    if (significant.size() < 19) return true;
    if (significant.size() > 19) return false;
    return significant <= (negative ? std::string_view("9223372036854775808") : std::string_view("9223372036854775807"));
}

// Whether `text` (the cell after its optional sign, not all digits) is a float
// literal.
bool is_float_body(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* digits_start = p;
    while (p < end && is_digit(*p)) ++p;
    std::size_t mantissa_digits = static_cast<std::size_t>(p - digits_start);
    if (mantissa_digits == 0 && p < end && *p != '.') {
        return equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity") ||
               equals_ignoring_case(text, "nan");
    }
    if (p < end && *p == '.') {
        const char* fraction_start = ++p;
        while (p < end && is_digit(*p)) ++p;
        mantissa_digits += static_cast<std::size_t>(p - fraction_start);
    }
    if (mantissa_digits == 0) return false;
    if (p == end) return true;
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent_start = p;
    while (p < end && is_digit(*p)) ++p;
    return p == end && p > exponent_start;
}

}  // namespace

TypedCell type_cell(std::string_view cell) noexcept {
    TypedCell typed{CellKind::Text, {0}};
    const char first = cell[0];
    if (first == 't' || first == 'f') {
        if (cell == "true" || cell == "false") typed.kind = CellKind::Bool;
        return typed;
    }
    const bool negative = first == '-';
    const bool has_sign = negative || first == '+';
    const std::string_view body = cell.substr(has_sign);
    const char* p = body.data();
    const char* const end = p + body.size();
    // Wraps past 19 significant digits, which digits_fit_int64 refuses.
    std::uint64_t magnitude = 0;
    while (p < end && is_digit(*p)) magnitude = magnitude * 10 + static_cast<unsigned>(*p++ - '0');
    if (p == end) {
        if (body.empty()) return typed;  // a lone sign
        if (!digits_fit_int64(body, negative)) {
            typed.kind = CellKind::BigInt;
            return typed;
        }
        typed.kind = CellKind::Int;
        typed.value.integer = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
        return typed;
    }
    if (!is_float_body(body)) return typed;
    typed.kind = CellKind::Float;
    typed.value.real = read_decimal_double(cell);
    return typed;
}

bool read_cell_int64(std::string_view cell, std::int64_t& out) noexcept {
    const bool has_sign = cell[0] == '+' || cell[0] == '-';
    return read_decimal_int64(cell.substr(has_sign), cell[0] == '-', out);
}

double read_cell_double(std::string_view cell) noexcept { return read_decimal_double(cell); }

}  // namespace tabrix::csv
