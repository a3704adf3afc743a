#include "core/number/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tabrix {

namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17};

// The common case of configuration data: a value with few decimals, such as
// 2.5 or 123.45. For k = 0, 1, 2, ... take m, the integer nearest to
// value * 10^k; the first m whose m / 10^k reads back as the value gives the
// shortest digits. The test is exact: m and 10^k are exact doubles, and the
// correctly rounded quotient is what reading "m e-k" gives. Below 2^50 the
// interval of decimals that read back as the value is narrower than a
// quarter of one unit of m, so at most one integer lies in it, it is the one
// nearest the product, and no shorter or closer digits exist at that k.
// Anything else takes the general algorithm.
bool few_decimal_digits(double magnitude, ShortestDigits& out) noexcept {
    if (!(magnitude >= 1e-5 && magnitude < 1e15)) return false;
    for (int k = 0; k < 18; ++k) {
        const double scaled = magnitude * kPowersOfTen[k];
        if (scaled >= 1125899906842624.0) return false;  // 2^50
        // The nearest integer (ties to even): below 2^52, adding and taking
        // away 2^52 rounds away the fraction.
        const double m = (scaled + 4503599627370496.0) - 4503599627370496.0;
        // The digits, if any at this k, are within a quarter of the product;
        // the costly exact test is left for a product that close.
        if (std::fabs(scaled - m) > 0.25 || m / kPowersOfTen[k] != magnitude) continue;
        char text[20];
        const char* end = std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(m)).ptr;
        int count = static_cast<int>(end - text);
        out.exponent = count - 1 - k;
        while (count > 1 && text[count - 1] == '0') --count;
        std::memcpy(out.digits, text, static_cast<std::size_t>(count));
        out.count = count;
        return true;
    }
    return false;
}

}  // namespace

ShortestDigits shortest_digits(double value) noexcept {
    ShortestDigits out{};
    out.negative = std::signbit(value);
    if (few_decimal_digits(std::fabs(value), out)) return out;
    out = ShortestDigits{};
    // to_chars in scientific form gives the shortest round-trip digits:
    // "-d.ddde+XX".
    char text[40];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const char* p = text;
    if (*p == '-') {
        out.negative = true;
        ++p;
    }
    out.digits[out.count++] = *p++;
    if (*p == '.') {
        ++p;
        while (*p != 'e') out.digits[out.count++] = *p++;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign
    int exponent = 0;
    while (p < result.ptr) exponent = exponent * 10 + (*p++ - '0');
    out.exponent = negative_exponent ? -exponent : exponent;
    // to_chars writes no trailing zeros in the fraction, but be exact.
    while (out.count > 1 && out.digits[out.count - 1] == '0') --out.count;
    return out;
}

void write_float_shortest(OutBuffer& out, double value) {
    if (value == 0.0) {
        out.append(std::signbit(value) ? std::string_view("-0.0") : std::string_view("0.0"));
        return;
    }
    const ShortestDigits d = shortest_digits(value);
    // Longest form: sign, "0.", 4 zeros, 17 digits; or 17 digits, point, exponent.
    char* w = out.room(40);
    char* const start = w;
    if (d.negative) *w++ = '-';
    const int e = d.exponent;
    if (e >= -5 && e <= 15) {
        if (e < 0) {
            *w++ = '0';
            *w++ = '.';
            for (int i = 0; i < -e - 1; ++i) *w++ = '0';
            std::memcpy(w, d.digits, d.count);
            w += d.count;
        } else if (d.count - 1 <= e) {
            std::memcpy(w, d.digits, d.count);
            w += d.count;
            for (int i = 0; i < e + 1 - d.count; ++i) *w++ = '0';
            *w++ = '.';
            *w++ = '0';
        } else {
            std::memcpy(w, d.digits, e + 1);
            w += e + 1;
            *w++ = '.';
            std::memcpy(w, d.digits + e + 1, d.count - e - 1);
            w += d.count - e - 1;
        }
    } else {
        *w++ = d.digits[0];
        if (d.count > 1) {
            *w++ = '.';
            std::memcpy(w, d.digits + 1, d.count - 1);
            w += d.count - 1;
        }
        *w++ = 'e';
        *w++ = e < 0 ? '-' : '+';
        w = std::to_chars(w, w + 4, e < 0 ? -e : e).ptr;
    }
    out.commit(static_cast<std::size_t>(w - start));
}

void write_float_positional(OutBuffer& out, double value) {
    if (value == 0.0) {
        out.append(std::signbit(value) ? std::string_view("-0") : std::string_view("0"));
        return;
    }
    const ShortestDigits d = shortest_digits(value);
    const int e = d.exponent;
    if (d.negative) out.push('-');
    if (e < 0) {
        out.append("0.", 2);
        out.fill('0', static_cast<std::size_t>(-e - 1));
        out.append(d.digits, d.count);
    } else if (d.count - 1 <= e) {
        out.append(d.digits, d.count);
        out.fill('0', static_cast<std::size_t>(e + 1 - d.count));
    } else {
        out.append(d.digits, e + 1);
        out.push('.');
        out.append(d.digits + e + 1, d.count - e - 1);
    }
}

void write_int(OutBuffer& out, std::int64_t value) {
    char* w = out.room(20);
    out.commit(static_cast<std::size_t>(std::to_chars(w, w + 20, value).ptr - w));
}

}  // namespace tabrix
