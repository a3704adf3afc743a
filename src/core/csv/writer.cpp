#include "core/csv/writer.hpp"

#include <cmath>
#include <cstdlib>

#include "core/number/float_text.hpp"

namespace tabrix::csv {

void write_quoted(OutBuffer& out, std::string_view field) {
    const char* p = field.data();
    const char* const end = p + field.size();
    out.push('"');
    for (;;) {
        const char* quote = scan::find_any<false, '"'>(p, end);
        out.append(p, static_cast<std::size_t>(quote - p));
        if (quote == end) break;
        out.append("\"\"", 2);
        p = quote + 1;
    }
    out.push('"');
}

void write_float_repr(OutBuffer& out, double value) {
    if (std::isnan(value)) {
        out.append("nan", 3);
        return;
    }
    if (std::isinf(value)) {
        if (value < 0) out.append("-inf", 4);
        else out.append("inf", 3);
        return;
    }
    if (value == 0.0) {
        if (std::signbit(value)) out.append("-0.0", 4);
        else out.append("0.0", 3);
        return;
    }
    if (write_few_decimals(out, value)) return;
    const ShortestDigits d = shortest_digits(value);
    // Room for the sign, 17 digits, the point, and either up to 16 padding
    // zeros (positional) or "e-308".
    char* start = out.room(48);
    char* o = start;
    if (d.negative) *o++ = '-';
    const int point = d.exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *o++ = '0';
            *o++ = '.';
            for (int i = point; i < 0; ++i) *o++ = '0';
            for (int i = 0; i < d.count; ++i) *o++ = d.digits[i];
        } else if (point < d.count) {
            for (int i = 0; i < point; ++i) *o++ = d.digits[i];
            *o++ = '.';
            for (int i = point; i < d.count; ++i) *o++ = d.digits[i];
        } else {
            for (int i = 0; i < d.count; ++i) *o++ = d.digits[i];
            for (int i = d.count; i < point; ++i) *o++ = '0';
            *o++ = '.';
            *o++ = '0';
        }
    } else {
        *o++ = d.digits[0];
        if (d.count > 1) {
            *o++ = '.';
            for (int i = 1; i < d.count; ++i) *o++ = d.digits[i];
        }
        *o++ = 'e';
        int exponent = d.exponent;
        *o++ = exponent < 0 ? '-' : '+';
        exponent = std::abs(exponent);
        if (exponent >= 100) *o++ = static_cast<char>('0' + exponent / 100);
        *o++ = static_cast<char>('0' + exponent / 10 % 10);
        *o++ = static_cast<char>('0' + exponent % 10);
    }
    out.commit(static_cast<std::size_t>(o - start));
}

}  // namespace tabrix::csv
