// UTF-8 helpers: decoding, encoding, validation and character counting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tabrix::utf8 {

// Length of the sequence that starts with `lead` in valid UTF-8 (1 for a
// continuation byte, so that a walk always advances).
inline int sequence_length(unsigned char lead) noexcept {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Decodes the code point at `p` in valid UTF-8 and advances `p` past it.
inline char32_t decode(const char*& p) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    const unsigned char lead = s[0];
    if (lead < 0x80) {
        p += 1;
        return lead;
    }
    if (lead < 0xE0) {
        p += 2;
        return (char32_t(lead & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (lead < 0xF0) {
        p += 3;
        return (char32_t(lead & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    p += 4;
    return (char32_t(lead & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) | (char32_t(s[2] & 0x3F) << 6) |
           (s[3] & 0x3F);
}

// Writes the UTF-8 form of `cp` (at most 4 bytes) and returns its length.
inline int encode(char32_t cp, char* out) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Number of code points in valid UTF-8 text: every byte that is not a
// continuation byte starts one.
inline std::size_t count_chars(std::string_view text) noexcept {
    std::size_t count = 0;
    for (unsigned char byte : text) count += (byte & 0xC0) != 0x80;
    return count;
}

// Length of the longest valid UTF-8 prefix of `text` (its whole size when it
// is valid). Rejects overlong forms, surrogates and code points beyond U+10FFFF.
std::size_t valid_prefix(std::string_view text) noexcept;

inline bool is_valid(std::string_view text) noexcept { return valid_prefix(text) == text.size(); }

}  // namespace tabrix::utf8
