#include "core/number/parse.hpp"

#include <charconv>
#include <limits>
#include <system_error>

namespace tabrix {

namespace {

// Decimal exponent of the literal's first non-zero digit, or a very small
// number for a literal whose digits are all zeros.
long magnitude(std::string_view text) noexcept {
    std::size_t i = 0;
    long integer_digits = 0;  // position of the point relative to the first digit
    long first_nonzero = -1;  // index among all digits
    long digit_index = 0;
    bool after_point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        if (!after_point) ++integer_digits;
        if (c != '0' && first_nonzero < 0) first_nonzero = digit_index;
        ++digit_index;
    }
    if (first_nonzero < 0) return std::numeric_limits<long>::min() / 2;
    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        for (; i < text.size() && exponent < 100000000; ++i) exponent = exponent * 10 + (text[i] - '0');
        if (negative) exponent = -exponent;
    }
    return integer_digits - 1 - first_nonzero + exponent;
}

}  // namespace

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The literal (sign removed) as m * 10^exponent, when it is digits with at
// most one point, at most 19 digits in all, and an exponent of at most four
// digits; false for anything else ("inf" and "nan" among them).
bool decimal_parts(std::string_view literal, std::uint64_t& m, long& exponent) noexcept {
    const char* p = literal.data();
    const char* const end = p + literal.size();
    std::uint64_t value = 0;
    long digits = 0;
    long places = 0;
    for (; p < end && is_digit(*p); ++p, ++digits) value = value * 10 + static_cast<unsigned>(*p - '0');
    if (p < end && *p == '.') {
        const char* const fraction = ++p;
        for (; p < end && is_digit(*p); ++p, ++digits) value = value * 10 + static_cast<unsigned>(*p - '0');
        places = fraction - p;
    }
    if (digits == 0 || digits > 19) return false;
    long written = 0;
    if (p < end) {
        if (*p != 'e' && *p != 'E') return false;
        ++p;
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || end - p > 4) return false;
        for (; p < end; ++p) {
            if (!is_digit(*p)) return false;
            written = written * 10 + (*p - '0');
        }
        if (negative) written = -written;
    }
    m = value;
    exponent = places + written;
    return true;
}

}  // namespace

double read_decimal_double(std::string_view literal) noexcept {
    bool negative = false;
    if (!literal.empty() && (literal[0] == '+' || literal[0] == '-')) {
        negative = literal[0] == '-';
        literal.remove_prefix(1);
    }
    // Most literals are short: read exactly without the general algorithm.
    std::uint64_t m;
    long exponent;
    double value = 0.0;
    if (decimal_parts(literal, m, exponent) && exact_decimal_double(m, exponent, negative, value)) return value;
    const auto result = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = magnitude(literal) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -value : value;
}

bool read_decimal_int64(std::string_view digits, bool negative, std::int64_t& out) noexcept {
    // Accumulate the magnitude as unsigned; the negative range is one larger.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t value = 0;
    if (digits.size() < 19) {
        for (char c : digits) value = value * 10 + static_cast<unsigned>(c - '0');
    } else {
        for (char c : digits) {
            const unsigned digit = static_cast<unsigned>(c - '0');
            if (value > (limit - digit) / 10) return false;
            value = value * 10 + digit;
        }
    }
    out = negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
    return true;
}

}  // namespace tabrix
