// Text of the CSV and TSV writers: the quoting rule of a field, and float
// text as Python's str() spells it.
#pragma once

#include <string_view>

#include "core/text/out_buffer.hpp"
#include "core/text/scan.hpp"

namespace tabrix::csv {

// Appends `field` between double quotes, with every double quote doubled.
void write_quoted(OutBuffer& out, std::string_view field);

// Appends `field`: bare, unless it holds the delimiter, a double quote, CR or
// LF; then quoted by write_quoted. Nothing else quotes a field (an empty field
// is written as nothing; spaces, the other delimiter and non-ASCII text stay
// bare); the line writers quote the two fields that a bare form would lose.
template <char Delimiter>
void write_field(OutBuffer& out, std::string_view field) {
    const char* p = field.data();
    const char* end = p + field.size();
    if (field.size() < 16) {
        // Most fields are short: one pass that copies while it checks.
        char* const start = out.room(field.size());
        char* w = start;
        for (const char* q = p; q < end; ++q) {
            const char c = *q;
            if (c == Delimiter || c == '"' || c == '\r' || c == '\n') [[unlikely]] goto quoted;
            *w++ = c;
        }
        out.commit(field.size());
        return;
    } else {
        const char* special = scan::find_any<false, static_cast<unsigned char>(Delimiter), '"', '\r', '\n'>(p, end);
        if (special == end) [[likely]] {
            out.append(p, field.size());
            return;
        }
    }
quoted:
    write_quoted(out, field);
}

// Appends the text of Python's str() (and repr()) of a float: the shortest
// digits that read back to the same value, in positional notation with at
// least one fractional digit when the decimal exponent is from -5 to 15
// ("1.0", "0.0001", "1e+16" and "1e-05" on either side), otherwise as
// d.ddde[+-]XX with at least two exponent digits; "inf", "-inf", "nan"
// (whatever the sign of the NaN), "0.0", "-0.0".
void write_float_repr(OutBuffer& out, double value);

}  // namespace tabrix::csv
