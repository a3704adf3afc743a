#include "core/yaml/resolve.hpp"

#include <limits>

#include "core/number/parse.hpp"

namespace tabrix::yaml {

namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

inline int digit_value(char c, int base) noexcept {
    int value;
    if (c >= '0' && c <= '9') value = c - '0';
    else if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    else return -1;
    return value < base ? value : -1;
}

// The decimal literal grammar: [+-]? (D+ (. D*)? | . D+) ([eE] [+-]? D+)?
bool is_decimal_literal(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && is_digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < n && is_digit(text[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == n;
}

// The common number forms in one pass: a decimal integer of at most 18
// digits, and a decimal fraction of at most 15 digits with no exponent, read
// exactly as m / 10^k. False for anything else, which the general reading
// takes.
bool read_common_number(std::string_view text, Scalar& out) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    const char* const whole = p;
    std::uint64_t m = 0;
    while (p < end && is_digit(*p)) m = m * 10 + static_cast<unsigned>(*p++ - '0');
    const std::size_t whole_digits = static_cast<std::size_t>(p - whole);
    if (whole_digits == 0 || whole_digits > 18) return false;
    if (p == end) {
        const auto value = static_cast<std::int64_t>(m);
        out = Scalar::of_int(negative ? -value : value);
        return true;
    }
    if (*p != '.') return false;
    const char* const fraction = ++p;
    while (p < end && is_digit(*p) && p - fraction < 16) m = m * 10 + static_cast<unsigned>(*p++ - '0');
    const std::size_t places = static_cast<std::size_t>(p - fraction);
    double value;
    if (p != end || whole_digits + places > 15 ||
        !exact_decimal_double(m, -static_cast<long>(places), negative, value)) {
        return false;
    }
    out = Scalar::of_float(value);
    return true;
}

}  // namespace

bool read_integer(std::string_view text, int base, bool allow_sign, std::int64_t& out) noexcept {
    bool negative = false;
    if (allow_sign && !text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    if (base == 10) {
        for (char c : text) {
            if (!is_digit(c)) return false;
        }
        return read_decimal_int64(text, negative, out);
    }
    // Octal and hexadecimal forms carry no sign.
    constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t value = 0;
    for (char c : text) {
        const int digit = digit_value(c, base);
        if (digit < 0) return false;
        if (value > (kMax - static_cast<unsigned>(digit)) / static_cast<unsigned>(base)) return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

bool read_float(std::string_view text, double& out) noexcept {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (text.size() >= 4 && text.size() <= 5 && (text[text.size() - 4] == '.')) {
        const std::string_view word = text.substr(text.size() - 3);
        const std::string_view sign = text.substr(0, text.size() - 4);
        if (word == "inf" || word == "Inf" || word == "INF") {
            if (sign.empty() || sign == "+") {
                out = kInf;
                return true;
            }
            if (sign == "-") {
                out = -kInf;
                return true;
            }
        } else if (sign.empty() && (word == "nan" || word == "NaN" || word == "NAN")) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
    }
    if (!is_decimal_literal(text)) return false;
    out = read_decimal_double(text);
    return true;
}

Scalar resolve_typed(std::string_view text) noexcept {
    const char first = text[0];
    switch (first) {
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        case '+': case '-': case '.':
            break;
        case '~':
            return text.size() == 1 ? Scalar::null() : Scalar::string();
        case 'n': case 'N':
            if (text == "null" || text == "Null" || text == "NULL") return Scalar::null();
            return Scalar::string();
        case 't': case 'T':
            if (text == "true" || text == "True" || text == "TRUE") return Scalar::of_bool(true);
            return Scalar::string();
        case 'f': case 'F':
            if (text == "false" || text == "False" || text == "FALSE") return Scalar::of_bool(false);
            return Scalar::string();
        default:
            return Scalar::string();
    }
    Scalar common = Scalar::string();
    if (read_common_number(text, common)) return common;
    std::int64_t integer;
    if (text.size() > 1) {
        if (first == '+') {
            if (read_integer(text.substr(1), 10, false, integer)) return Scalar::of_int(integer);
        } else if (first == '0' && text[1] == 'o') {
            if (read_integer(text.substr(2), 8, false, integer)) return Scalar::of_int(integer);
        } else if (first == '0' && text[1] == 'x') {
            if (read_integer(text.substr(2), 16, false, integer)) return Scalar::of_int(integer);
        }
    }
    if (read_integer(text, 10, true, integer)) return Scalar::of_int(integer);
    double real;
    if (read_float(text, real)) return Scalar::of_float(real);
    return Scalar::string();
}

Scalar resolve_core_tagged(std::string_view suffix, std::string_view text) noexcept {
    if (suffix == "str") return Scalar::string();
    if (suffix == "int") {
        std::int64_t integer;
        return read_integer(text, 10, true, integer) ? Scalar::of_int(integer) : Scalar::bad();
    }
    if (suffix == "float") {
        double real;
        return read_float(text, real) ? Scalar::of_float(real) : Scalar::bad();
    }
    if (suffix == "bool") {
        if (text == "true") return Scalar::of_bool(true);
        if (text == "false") return Scalar::of_bool(false);
        return Scalar::bad();
    }
    if (suffix == "null") return text == "~" || text == "null" ? Scalar::null() : Scalar::bad();
    return Scalar::bad();
}

}  // namespace tabrix::yaml
