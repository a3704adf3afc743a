// Unicode character properties, from utf8proc's tables.
#pragma once

namespace tabrix::unicode {

// The White_Space property (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool is_white_space(char32_t cp) noexcept;

// The Grapheme_Extend property: combining marks and other characters that
// attach to the character before them.
bool is_grapheme_extend(char32_t cp) noexcept;

// Printable: every character except those of the general categories Cc, Cf,
// Cs, Co, Cn, Zl, Zp and Zs (U+0020 SPACE excepted, which is printable).
bool is_printable(char32_t cp) noexcept;

}  // namespace tabrix::unicode
