#include "core/ini/ini_writer.hpp"

#include <cmath>

#include "core/number/float_text.hpp"
#include "core/text/scan.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::ini {

namespace {

// Appends the text from p to end with a backslash before every backslash and
// every byte of Special, and line feeds and carriage returns written as
// backslash n and backslash r.
template <char... Special>
void write_with_escapes(OutBuffer& out, const char* p, const char* const end) {
    while (true) {
        const char* special = scan::find_any<false, '\\', '\n', '\r', static_cast<unsigned char>(Special)...>(p, end);
        out.append(p, static_cast<std::size_t>(special - p));
        if (special == end) return;
        char* w = out.room(2);
        w[0] = '\\';
        w[1] = *special == '\n' ? 'n' : *special == '\r' ? 'r' : *special;
        out.commit(2);
        p = special + 1;
    }
}

}  // namespace

bool has_white_space_edge(std::string_view text) {
    if (text.empty()) return false;
    const char* p = text.data();
    if (unicode::is_white_space(utf8::decode(p))) return true;
    const char* last = text.data() + text.size() - 1;
    while (last > text.data() && (static_cast<unsigned char>(*last) & 0xC0) == 0x80) --last;
    return unicode::is_white_space(utf8::decode(last));
}

void write_ini_section_name(OutBuffer& out, std::string_view name) {
    write_with_escapes<']'>(out, name.data(), name.data() + name.size());
}

void write_ini_option_name(OutBuffer& out, std::string_view name) {
    const char* p = name.data();
    const char* const end = p + name.size();
    // At the start of an item these open a section header or a comment.
    if (p < end && (*p == '[' || *p == ';' || *p == '#')) {
        const char first[2] = {'\\', *p};
        out.append(first, 2);
        ++p;
    }
    write_with_escapes<'=', ':'>(out, p, end);
}

void write_ini_escaped(OutBuffer& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (has_white_space_edge(text)) {
        // Only a quoted part keeps its blanks.
        out.push('"');
        write_with_escapes<'"'>(out, p, end);
        out.push('"');
        return;
    }
    // A quote there would open a quoted part that runs to the next quote of
    // the file: escaped, it is read as itself.
    if (p < end && (*p == '"' || *p == '\'')) out.push('\\');
    write_with_escapes<>(out, p, end);
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
