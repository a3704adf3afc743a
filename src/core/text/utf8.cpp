#include "core/text/utf8.hpp"

#include "core/text/scan.hpp"

namespace tabrix::utf8 {

std::size_t valid_prefix(std::string_view text) noexcept {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* s = begin;
    const auto* end = begin + text.size();
    while (s < end) {
        // Runs of ASCII go eight bytes at a time.
        while (end - s >= 8 && (scan::load64(reinterpret_cast<const char*>(s)) & 0x8080808080808080ULL) == 0) s += 8;
        if (s == end) break;
        const unsigned char lead = *s;
        if (lead < 0x80) {
            ++s;
            continue;
        }
        std::size_t need;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) low = 0xA0;        // no overlong forms
            else if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) low = 0x90;
            else if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            break;
        }
        if (static_cast<std::size_t>(end - s) <= need) break;
        if (s[1] < low || s[1] > high) break;
        bool ok = true;
        for (std::size_t i = 2; i <= need; ++i) ok &= (s[i] & 0xC0) == 0x80;
        if (!ok) break;
        s += need + 1;
    }
    return static_cast<std::size_t>(s - begin);
}

}  // namespace tabrix::utf8
