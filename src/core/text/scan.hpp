// Bulk byte scanning shared by every parser and writer: find the next byte of
// a small set sixteen bytes at a time (SSE2) or eight at a time (portable
// word-at-a-time code), instead of testing byte by byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabrix::scan {

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline constexpr std::uint64_t broadcast(unsigned char byte) noexcept {
    return 0x0101010101010101ULL * byte;
}

// High bit set in each byte of `word` that is zero. Exact for the lowest such
// byte, which is all the callers below use.
inline constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
    return (word - 0x0101010101010101ULL) & ~word & 0x8080808080808080ULL;
}

// Whether a byte is one of `Bytes`, or (with Control) below 0x20.
template <bool Control, unsigned char... Bytes>
constexpr bool matches(unsigned char byte) noexcept {
    return (Control && byte < 0x20) || ((byte == Bytes) || ...);
}

// First position in [p, end) holding one of `Bytes` or, with Control, a byte
// below 0x20; `end` when there is none.
template <bool Control, unsigned char... Bytes>
inline const char* find_any(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hits = _mm_setzero_si128();
        ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(Bytes))))), ...);
        if constexpr (Control) {
            const __m128i limit = _mm_set1_epi8(0x1F);
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit));
        }
        const int mask = _mm_movemask_epi8(hits);
        if (mask) return p + std::countr_zero(static_cast<unsigned>(mask));
        p += 16;
    }
#else
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            const std::uint64_t word = load64(p);
            std::uint64_t hits = 0;
            ((hits |= zero_bytes(word ^ broadcast(Bytes))), ...);
            if constexpr (Control) {
                hits |= (word - broadcast(0x20)) & ~word & 0x8080808080808080ULL;
            }
            if (hits) return p + std::countr_zero(hits) / 8;
            p += 8;
        }
    }
#endif
    while (p < end && !matches<Control, Bytes...>(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// First position in [p, end) that is not a space; `end` when there is none.
// Eight bytes at a time: indentation is most of what a YAML scanner skips.
inline const char* skip_spaces(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            const std::uint64_t other = load64(p) ^ broadcast(' ');
            if (other) return p + std::countr_zero(other) / 8;
            p += 8;
        }
    }
    while (p < end && *p == ' ') ++p;
    return p;
}

// Whether all `size` bytes are ASCII.
inline bool is_ascii(const char* p, std::size_t size) noexcept {
    const char* end = p + size;
    std::uint64_t seen = 0;
    while (end - p >= 32) {
        seen |= load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24);
        p += 32;
    }
    while (end - p >= 8) {
        seen |= load64(p);
        p += 8;
    }
    unsigned char tail = 0;
    while (p < end) tail |= static_cast<unsigned char>(*p++);
    return ((seen & 0x8080808080808080ULL) | (tail & 0x80)) == 0;
}

}  // namespace tabrix::scan
