#include "core/ini/ini_writer.hpp"

#include <cmath>

#include "core/number/float_text.hpp"
#include "core/text/scan.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::ini {

namespace {

// Where a value's text starts for the reader: after the white space (line
// breaks aside) that it skips following "=".
const char* value_start(const char* p, const char* end) {
    while (p < end) {
        const char* next = p;
        const char32_t c = utf8::decode(next);
        if (c == '\n' || c == '\r' || !unicode::is_white_space(c)) break;
        p = next;
    }
    return p;
}

}  // namespace

void write_ini_escaped(OutBuffer& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // A quote there would open a quoted part that runs to the next quote of
    // the file: escaped, it is read as itself.
    const char* start = value_start(p, end);
    if (start < end && (*start == '"' || *start == '\'')) {
        out.append(p, static_cast<std::size_t>(start - p));
        out.push('\\');
        p = start;
    }
    while (true) {
        const char* special = scan::find_any<false, '\\', '\n', '\r'>(p, end);
        out.append(p, static_cast<std::size_t>(special - p));
        if (special == end) return;
        char* w = out.room(2);
        w[0] = '\\';
        w[1] = *special == '\n' ? 'n' : *special == '\r' ? 'r' : '\\';
        out.commit(2);
        p = special + 1;
    }
}

void write_ini_float(OutBuffer& out, double value) {
    if (std::isnan(value)) {
        out.append("NaN", 3);
    } else if (std::isinf(value)) {
        if (value < 0) out.append("-inf", 4);
        else out.append("inf", 3);
    } else {
        write_float_positional(out, value);
    }
}

}  // namespace tabrix::ini
