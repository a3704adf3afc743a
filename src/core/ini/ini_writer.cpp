#include "core/ini/ini_writer.hpp"

#include <cmath>

#include "core/number/float_text.hpp"
#include "core/text/scan.hpp"

namespace tabrix::ini {

void write_ini_escaped(OutBuffer& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true) {
        const char* special = scan::find_any<false, '\\', '\n'>(p, end);
        out.append(p, static_cast<std::size_t>(special - p));
        if (special == end) return;
        char* w = out.room(2);
        w[0] = '\\';
        w[1] = *special == '\n' ? 'n' : '\\';
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
