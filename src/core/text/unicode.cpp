#include "core/text/unicode.hpp"

#include <utf8proc.h>

namespace tabrix::unicode {

bool is_white_space(char32_t cp) noexcept {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    if (cp < 0x85) return false;
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool is_grapheme_extend(char32_t cp) noexcept {
    if (cp < 0x300) return false;
    // utf8proc files Grapheme_Cluster_Break=Extend, which is Grapheme_Extend
    // plus the emoji skin-tone modifiers.
    if (cp >= 0x1F3FB && cp <= 0x1F3FF) return false;
    return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->boundclass == UTF8PROC_BOUNDCLASS_EXTEND;
}

bool is_printable(char32_t cp) noexcept {
    if (cp < 0x7F) return cp >= 0x20;
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
        case UTF8PROC_CATEGORY_CC: case UTF8PROC_CATEGORY_CF: case UTF8PROC_CATEGORY_CS:
        case UTF8PROC_CATEGORY_CO: case UTF8PROC_CATEGORY_CN: case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP: case UTF8PROC_CATEGORY_ZS:
            return false;
        default:
            return true;
    }
}

}  // namespace tabrix::unicode
