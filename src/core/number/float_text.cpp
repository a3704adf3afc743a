#include "core/number/float_text.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tabrix {

namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17};

// Two ASCII digits per entry: "00" to "99".
constexpr auto kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the decimal digits of `value` so that they end just before `end`,
// two at a time; returns where they start.
char* digits_before(char* end, std::uint64_t value) noexcept {
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, &kDigitPairs[2 * (value % 100)], 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, &kDigitPairs[2 * value], 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

constexpr std::uint64_t kUintPowersOfTen[] = {1ULL,
                                              10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL,
                                              10000000000000000ULL,
                                              100000000000000000ULL,
                                              1000000000000000000ULL,
                                              10000000000000000000ULL};

// How many decimal digits `value` has (1 for 0): log10 estimated from the
// bit length (1233 / 4096 is just under log10(2)), then corrected by one
// comparison.
int decimal_length(std::uint64_t value) noexcept {
    const int bits = 64 - std::countl_zero(value | 1);
    const int estimate = (bits * 1233) >> 12;
    return estimate + (value >= kUintPowersOfTen[estimate] || value == 0 ? 1 : 0);
}

// A value with few decimals, the common case of configuration data (2.5,
// 123.45): its shortest digits are an integer m < 2^50 read as m / 10^k.
struct FewDecimals {
    std::uint64_t m;
    int k;
};

// For k = 0, 1, 2, ... take m, the integer nearest to value * 10^k; the first
// m whose m / 10^k reads back as the value gives the shortest digits. The
// test is exact: m and 10^k are exact doubles, and the correctly rounded
// quotient is what reading "m e-k" gives. Below 2^50 the interval of
// decimals that read back as the value is narrower than a quarter of one
// unit of m, so at most one integer lies in it, it is the one nearest the
// product, and no shorter or closer digits exist at that k. Anything else
// (false) takes the general algorithm.
bool few_decimals(double magnitude, FewDecimals& out) noexcept {
    if (!(magnitude >= 1e-5 && magnitude < 1e15)) return false;
    for (int k = 0; k < 18; ++k) {
        const double scaled = magnitude * kPowersOfTen[k];
        if (scaled >= 1125899906842624.0) return false;  // 2^50
        // The nearest integer (ties to even): below 2^52, adding and taking
        // away 2^52 rounds away the fraction.
        const double m = (scaled + 4503599627370496.0) - 4503599627370496.0;
        // If m / 10^k reads back as the value, m is within half an ulp of
        // the value times 10^k, and the product is rounded by half an ulp
        // more: m is within 2^-52 of the product, relatively. Only a product
        // that close (with room to spare) gets the exact test, a division;
        // the other k are passed over with no division and a branch the
        // processor predicts.
        if (std::fabs(scaled - m) > scaled * 0x1p-50 || m / kPowersOfTen[k] != magnitude) continue;
        out.m = static_cast<std::uint64_t>(m);
        out.k = k;
        return true;
    }
    return false;
}

bool few_decimal_digits(double magnitude, ShortestDigits& out) noexcept {
    FewDecimals few;
    if (!few_decimals(magnitude, few)) return false;
    char text[20];
    char* const end = text + sizeof text;
    const char* first = digits_before(end, few.m);
    int count = static_cast<int>(end - first);
    out.exponent = count - 1 - few.k;
    while (count > 1 && first[count - 1] == '0') --count;
    std::memcpy(out.digits, first, static_cast<std::size_t>(count));
    out.count = count;
    return true;
}

}  // namespace

namespace {

// write_few_decimals at `start` (room for kMaxFloatText bytes): the end, or
// null for a value it does not take.
char* few_decimals_at(char* start, double value) noexcept {
    FewDecimals few;
    const double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-4) || !few_decimals(magnitude, few)) return nullptr;
    std::uint64_t m = few.m;
    int k = few.k;
    while (k > 0 && m % 10 == 0) {  // trailing zeros of the fraction
        m /= 10;
        --k;
    }
    const int count = decimal_length(m);
    // Sign, "0.", the zeros after the point, the digits, ".0": with m below
    // 2^50 and k at most 17, never more than 21 bytes.
    char* w = start;
    if (std::signbit(value)) *w++ = '-';
    if (k == 0) {
        w += count;
        digits_before(w, m);
        *w++ = '.';
        *w++ = '0';
    } else if (count > k) {
        w += count - k;
        digits_before(w, m / kUintPowersOfTen[k]);
        *w++ = '.';
        w += k;
        // The fraction's digits, with the zeros that lead it.
        for (char* first = digits_before(w, m % kUintPowersOfTen[k]); first > w - k;) *--first = '0';
    } else {
        *w++ = '0';
        *w++ = '.';
        for (int i = count; i < k; ++i) *w++ = '0';
        w += count;
        digits_before(w, m);
    }
    return w;
}

}  // namespace

bool write_few_decimals(OutBuffer& out, double value) {
    char* const start = out.room(kMaxFloatText);
    char* const end = few_decimals_at(start, value);
    if (end == nullptr) return false;
    out.commit(static_cast<std::size_t>(end - start));
    return true;
}

namespace {

// The shortest digits by the general algorithm, for a value that
// few_decimal_digits does not take (or was not asked).
ShortestDigits general_shortest_digits(double value) noexcept {
    ShortestDigits out{};
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

}  // namespace

ShortestDigits shortest_digits(double value) noexcept {
    ShortestDigits out{};
    out.negative = std::signbit(value);
    if (few_decimal_digits(std::fabs(value), out)) return out;
    return general_shortest_digits(value);
}

char* write_float_shortest(char* start, double value) noexcept {
    if (value == 0.0) {
        const bool negative = std::signbit(value);
        std::memcpy(start, "-0.0", 4);
        if (!negative) std::memcpy(start, "0.0", 3);
        return start + 3 + negative;
    }
    if (char* end = few_decimals_at(start, value)) return end;
    // few_decimals_at has tried the few-decimals shortcut already.
    const ShortestDigits d = general_shortest_digits(value);
    // Longest form: sign, "0.", 4 zeros, 17 digits; or 17 digits, point, exponent.
    char* w = start;
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
    return w;
}

void write_float_shortest(OutBuffer& out, double value) {
    char* const start = out.room(kMaxFloatText);
    out.commit(static_cast<std::size_t>(write_float_shortest(start, value) - start));
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

char* write_int(char* start, std::int64_t value) noexcept {
    // The magnitude as unsigned, exact for the most negative value too.
    const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const int count = decimal_length(magnitude) + (value < 0 ? 1 : 0);
    digits_before(start + count, magnitude);
    if (value < 0) *start = '-';
    return start + count;
}

void write_int(OutBuffer& out, std::int64_t value) {
    char* const start = out.room(kMaxIntText);
    out.commit(static_cast<std::size_t>(write_int(start, value) - start));
}

}  // namespace tabrix
