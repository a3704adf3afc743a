// Byte classes of ASCII text shared by the parsers and writers.
#pragma once

#include <array>

namespace tabrix::ascii {

// Letters, digits, '-' and '_': the bytes of a TOML bare key and of a bare
// word in JSON with comments.
inline constexpr std::array<bool, 256> kWordBytes = [] {
    std::array<bool, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
    for (int c = '0'; c <= '9'; ++c) table[c] = true;
    table['-'] = table['_'] = true;
    return table;
}();

}  // namespace tabrix::ascii
