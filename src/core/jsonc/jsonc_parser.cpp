#include "core/jsonc/jsonc_parser.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/number/parse.hpp"
#include "core/text/scan.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"
#include "core/text/ascii.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabrix::jsonc {

Source::Source(std::string_view text) : buffer_(ConfigTree::take_source()), size_(text.size()) {
    buffer_.reserve(text.size() + kPadding);
    buffer_.append(text);
    buffer_.append(kPadding, '\0');
}

namespace {

// ------------------------------------------------------------------ characters

// What a byte begins: a token, white space or a comment (Slash), or a
// non-ASCII character (High, told apart after decoding).
enum class Start : std::uint8_t {
    Other, Blank, Slash, Open, Close, OpenList, CloseList, Comma, Colon, Quote, Number, Keyword, Word, High,
};

constexpr std::array<Start, 256> kStart = [] {
    std::array<Start, 256> table{};
    for (int c = 'a'; c <= 'z'; ++c) table[c] = Start::Word;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = Start::Word;
    for (int c = '0'; c <= '9'; ++c) table[c] = Start::Number;
    for (int c = 0x80; c < 0x100; ++c) table[c] = Start::High;
    table['_'] = Start::Word;
    table['t'] = table['f'] = table['n'] = Start::Keyword;
    table['-'] = table['+'] = Start::Number;
    table[' '] = table['\t'] = table['\n'] = table['\r'] = Start::Blank;
    table['/'] = Start::Slash;
    table['{'] = Start::Open;
    table['}'] = Start::Close;
    table['['] = Start::OpenList;
    table[']'] = Start::CloseList;
    table[','] = Start::Comma;
    table[':'] = Start::Colon;
    table['"'] = table['\''] = Start::Quote;
    return table;
}();

// Value of a hexadecimal digit, or 0xFF.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table) v = 0xFF;
    for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
    for (int c = 0; c < 6; ++c) table['a' + c] = table['A' + c] = static_cast<std::uint8_t>(10 + c);
    return table;
}();

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }
inline bool is_hex(char c) noexcept { return kHexValue[static_cast<unsigned char>(c)] != 0xFF; }

// Letters, marks and numbers beyond ASCII: the characters a bare word may
// hold besides ASCII letters, digits, '-' and '_'.
bool is_alphanumeric(char32_t cp) noexcept {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
        case UTF8PROC_CATEGORY_LU: case UTF8PROC_CATEGORY_LL: case UTF8PROC_CATEGORY_LT:
        case UTF8PROC_CATEGORY_LM: case UTF8PROC_CATEGORY_LO: case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_MC: case UTF8PROC_CATEGORY_ND: case UTF8PROC_CATEGORY_NL:
        case UTF8PROC_CATEGORY_NO:
            return true;
        default:
            return false;
    }
}

// Whether the character at `p` is a letter or digit (ASCII or not): what may
// not follow `true`, `false` or `null` for them to be keywords.
bool alphanumeric_at(const char* p) noexcept {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80) return ascii::kWordBytes[c] && c != '-' && c != '_';
    return is_alphanumeric(utf8::decode(p));
}

// ------------------------------------------------------------------ bulk scans
// All of them may read up to 15 bytes past the end of the text (the Source's
// padding) and stop at the padding's zero bytes.

// First byte at or after `p` that is not a blank (space, tab, line feed,
// carriage return).
inline const char* skip_blanks(const char* p) noexcept {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'),
                  tab = _mm_set1_epi8('\t');
    while (true) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i blank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, space), _mm_cmpeq_epi8(block, lf)),
                                           _mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, tab)));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xFFFF;
        if (other) return p + std::countr_zero(other);
        p += 16;
    }
#else
    while (kStart[static_cast<unsigned char>(*p)] == Start::Blank) ++p;
    return p;
#endif
}

// First `quote` or backslash in [p, end), or `end`; `ascii` tells whether the
// bytes before it are all ASCII.
inline const char* find_string_end(const char* p, const char* end, char quote, bool& ascii) noexcept {
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote), backslash = _mm_set1_epi8('\\');
    unsigned high = 0;
    while (p < end) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, q), _mm_cmpeq_epi8(block, backslash))));
        const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (hits) {
            high |= top & ((hits & (0u - hits)) - 1);  // the bytes before the first hit
            ascii = high == 0;
            const char* hit = p + std::countr_zero(hits);
            return hit < end ? hit : end;
        }
        high |= top;  // the padding past `end` is zero: no high bits
        p += 16;
    }
    ascii = high == 0;
    return end;
#else
    const char* hit = quote == '"' ? scan::find_any<false, '"', '\\'>(p, end)
                                   : scan::find_any<false, '\'', '\\'>(p, end);
    ascii = scan::is_ascii(p, static_cast<std::size_t>(hit - p));
    return hit;
#endif
}

// ------------------------------------------------------------------ numbers

// Decimal text of a hexadecimal magnitude beyond the 64-bit range (digits
// without leading zeros), with a leading '-' when negative.
std::string hex_to_decimal(std::string_view hex, bool negative) {
    // 32-bit limbs, most significant first.
    std::vector<std::uint32_t> limbs((hex.size() + 7) / 8);
    std::size_t stop = hex.size();
    for (std::size_t i = limbs.size(); i-- > 0;) {
        const std::size_t start = stop >= 8 ? stop - 8 : 0;
        std::uint32_t limb = 0;
        for (std::size_t k = start; k < stop; ++k) limb = (limb << 4) | kHexValue[static_cast<unsigned char>(hex[k])];
        limbs[i] = limb;
        stop = start;
    }
    // Repeated division by 10^9 gives nine decimal digits at a time, least
    // significant first.
    constexpr std::uint32_t kBase = 1'000'000'000;
    std::vector<std::uint32_t> parts;
    parts.reserve(hex.size() * 4 / 29 + 2);
    std::size_t first = 0;
    while (first < limbs.size()) {
        std::uint64_t remainder = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            const std::uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(current / kBase);
            remainder = current % kBase;
        }
        parts.push_back(static_cast<std::uint32_t>(remainder));
        while (first < limbs.size() && limbs[first] == 0) ++first;
    }
    std::string text;
    text.reserve(parts.size() * 9 + 1);
    if (negative) text.push_back('-');
    text.append(std::to_string(parts.back()));
    char chunk[9];
    for (std::size_t i = parts.size() - 1; i-- > 0;) {
        std::uint32_t part = parts[i];
        for (int k = 8; k >= 0; --k) {
            chunk[k] = static_cast<char>('0' + part % 10);
            part /= 10;
        }
        text.append(chunk, 9);
    }
    return text;
}

// ------------------------------------------------------------------ parser

enum class Token : std::uint8_t {
    End, Open, Close, OpenList, CloseList, Comma, Colon,
    String,  // its Str node has already been added
    Number, True, False, Null, Word,
};

enum class Shape : std::uint8_t { Integer, Real, Hex };

enum class Fault : std::uint8_t {
    ExpectedColon, ExpectedValue, ExpectedDigit, ExpectedDigitAfterSign, ExpectedExponent, MultipleValues,
    UnexpectedCloseBrace, UnexpectedCloseBracket, UnexpectedColon, UnexpectedComma, UnexpectedToken,
    UnexpectedTokenInObject, UnexpectedWord, UnterminatedArray, UnterminatedCommentBlock, UnterminatedObject,
    NestingDepth, InvalidEscapeSingle, InvalidEscapeDouble, ExpectedFourHexDigits, InvalidEscape,
    UnterminatedString, InvalidUnicodeEscape,
};

constexpr std::string_view kFaultText[] = {
    "Expected colon after the string or word in object property",
    "Expected value after colon in object property",
    "Expected digit",
    "Expected digit following negative sign",
    "Expected plus, minus, or digit in number literal",
    "Text cannot contain more than one JSON value",
    "Unexpected close brace",
    "Unexpected close bracket",
    "Unexpected colon",
    "Unexpected comma",
    "Unexpected token",
    "Unexpected token in object",
    "Unexpected word",
    "Unterminated array",
    "Unterminated comment block",
    "Unterminated object",
    "Maximum nesting depth exceeded",
    "Invalid escape in single quote string",
    "Invalid escape in double quote string",
    "Expected four hex digits",
    "Invalid escape",
    "Unterminated string literal",
    "Invalid unicode escape sequence. '",  // + the four digits + kUnicodeEscapeTail
};
constexpr std::string_view kUnicodeEscapeTail = "' is not a valid UTF8 character";

// Bytes after which no space or comment can follow directly: anything but a
// blank, a '/' or the first byte of a non-ASCII character.
constexpr std::array<bool, 256> kQuiet = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = kStart[c] != Start::Blank && kStart[c] != Start::Slash && kStart[c] != Start::High;
    }
    return table;
}();

class Parser {
public:
    Parser(const char* begin, std::size_t size, TreeBuilder& out) noexcept
        : begin_(begin), end_(begin + size), p_(begin), out_(out) {}

    // The document's one value; false with the fault recorded (see error()).
    bool document();
    bool empty() const noexcept { return empty_; }
    Error error() const;

private:
    [[gnu::cold]] bool fail(Fault fault, const char* at) noexcept {
        fault_ = fault;
        fault_at_ = at;
        return false;
    }

    // Skips spaces and comments; blanks without a call (one blank without
    // a block scan).
    [[gnu::always_inline]] bool space() {
        if (kQuiet[static_cast<unsigned char>(*p_)]) [[likely]] return true;
        if (*p_ == ' ' && kQuiet[static_cast<unsigned char>(p_[1])]) {
            ++p_;
            return true;
        }
        p_ = skip_blanks(p_);
        if (kQuiet[static_cast<unsigned char>(*p_)]) [[likely]] return true;
        return skip_space();
    }
    bool skip_space();
    bool scan(Token& token);
    bool scan_token(Token& token);
    bool scan_string();
    bool unescape_string(const char* body, char quote);
    bool scan_number();
    void scan_word();

    bool element(Fault at_end);
    bool value(Token token);
    bool object();
    bool array();
    void number_value();
    void hex_value();
    // The current Word or Number token as a key.
    void add_token_key() { out_.add_str_view({tok_, static_cast<std::size_t>(p_ - tok_)}, token_ascii_); }

    const char* const begin_;
    const char* const end_;
    const char* p_;    // scan position
    const char* tok_;  // start of the current token
    TreeBuilder& out_;
    std::size_t depth_ = 0;

    // The current Number token: its shape, its digits (after the sign and,
    // for Hex, the "0x") and its sign. The current Word's ASCII-ness.
    Shape shape_ = Shape::Integer;
    const char* digits_ = nullptr;
    const char* digits_end_ = nullptr;
    bool negative_ = false;
    bool token_ascii_ = true;

    bool empty_ = false;
    Fault fault_ = Fault::UnexpectedToken;
    const char* fault_at_ = nullptr;
    std::string sequence_;  // the digits of an invalid \u escape
};

// Skips blanks, other Unicode white space and comments.
bool Parser::skip_space() {
    while (true) {
        p_ = skip_blanks(p_);
        if (kQuiet[static_cast<unsigned char>(*p_)]) [[likely]] return true;
        if (*p_ == '/') {
            if (p_[1] == '/') {
                const void* lf = std::memchr(p_ + 2, '\n', static_cast<std::size_t>(end_ - (p_ + 2)));
                p_ = lf ? static_cast<const char*>(lf) + 1 : end_;
                continue;
            }
            if (p_[1] == '*') {
                const char* q = p_ + 2;
                while (true) {
                    const void* star = std::memchr(q, '*', static_cast<std::size_t>(end_ - q));
                    if (star == nullptr) return fail(Fault::UnterminatedCommentBlock, p_);
                    q = static_cast<const char*>(star) + 1;
                    if (*q == '/') break;
                }
                p_ = q + 1;
                continue;
            }
            return true;  // a lone '/': the scan reports it
        }
        // A non-ASCII character.
        const char* next = p_;
        if (!unicode::is_white_space(utf8::decode(next))) return true;
        p_ = next;
    }
}

// Moves to the next token. A string token is read whole and added to the
// tree; a number or word token is checked and left for the caller.
[[gnu::always_inline]] inline bool Parser::scan(Token& token) {
    if (!space()) [[unlikely]] return false;
    tok_ = p_;
    const char c = *p_;
    if (c == '"') {
        token = Token::String;
        return scan_string();
    }
    if (c == ',') {
        ++p_;
        token = Token::Comma;
        return true;
    }
    if (c == '}') {
        ++p_;
        token = Token::Close;
        return true;
    }
    return scan_token(token);
}

// The token at p_ (tok_ set, spaces skipped).
bool Parser::scan_token(Token& token) {
    const unsigned char c = static_cast<unsigned char>(*p_);
    switch (kStart[c]) {
        case Start::Quote:
            token = Token::String;
            return scan_string();
        case Start::Number:
            token = Token::Number;
            return scan_number();
        case Start::Open:
            ++p_;
            token = Token::Open;
            return true;
        case Start::Close:
            ++p_;
            token = Token::Close;
            return true;
        case Start::OpenList:
            ++p_;
            token = Token::OpenList;
            return true;
        case Start::CloseList:
            ++p_;
            token = Token::CloseList;
            return true;
        case Start::Comma:
            ++p_;
            token = Token::Comma;
            return true;
        case Start::Colon:
            ++p_;
            token = Token::Colon;
            return true;
        case Start::Keyword:
            // A keyword when not followed by a letter or digit ("true-1" is
            // true, then -1; "nullable" is a word).
            if (c == 't' && std::memcmp(p_, "true", 4) == 0 && !alphanumeric_at(p_ + 4)) {
                p_ += 4;
                token = Token::True;
                return true;
            }
            if (c == 'f' && std::memcmp(p_, "false", 5) == 0 && !alphanumeric_at(p_ + 5)) {
                p_ += 5;
                token = Token::False;
                return true;
            }
            if (c == 'n' && std::memcmp(p_, "null", 4) == 0 && !alphanumeric_at(p_ + 4)) {
                p_ += 4;
                token = Token::Null;
                return true;
            }
            [[fallthrough]];
        case Start::Word:
            token = Token::Word;
            scan_word();
            return true;
        case Start::High: {
            const char* next = p_;
            if (is_alphanumeric(utf8::decode(next))) {
                token = Token::Word;
                scan_word();
                return true;
            }
            return fail(Fault::UnexpectedToken, p_);
        }
        default:
            if (p_ == end_) {
                token = Token::End;
                return true;
            }
            return fail(Fault::UnexpectedToken, p_);
    }
}

void Parser::scan_word() {
    const char* q = p_;
    bool ascii = true;
    while (true) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if (ascii::kWordBytes[c]) {
            ++q;
            continue;
        }
        if (c >= 0x80) {
            const char* next = q;
            if (is_alphanumeric(utf8::decode(next))) {
                q = next;
                ascii = false;
                continue;
            }
        }
        break;
    }
    p_ = q;
    token_ascii_ = ascii;
}

[[gnu::always_inline]] inline bool Parser::scan_number() {
    const char* q = p_;
    negative_ = *q == '-';
    if (*q == '-' || *q == '+') ++q;
    token_ascii_ = true;
    if (*q == '0') {
        ++q;
        if ((*q | 0x20) == 'x') [[unlikely]] {
            ++q;
            if (!is_hex(*q)) return fail(Fault::ExpectedDigit, q);
            digits_ = q;
            while (is_hex(*q)) ++q;
            digits_end_ = p_ = q;
            shape_ = Shape::Hex;
            return true;
        }
        digits_ = q - 1;
    } else if (is_digit(*q)) [[likely]] {
        digits_ = q;
        while (is_digit(*++q)) {
        }
    } else {
        return fail(Fault::ExpectedDigitAfterSign, q);
    }
    digits_end_ = q;
    shape_ = Shape::Integer;
    if (*q == '.') {
        ++q;
        if (!is_digit(*q)) return fail(Fault::ExpectedDigit, q);
        while (is_digit(*++q)) {
        }
        shape_ = Shape::Real;
    }
    if ((*q | 0x20) == 'e') {
        ++q;
        if (*q == '+' || *q == '-') {
            ++q;
            if (!is_digit(*q)) return fail(Fault::ExpectedDigit, q);
        } else if (!is_digit(*q)) {
            return fail(Fault::ExpectedExponent, q);
        }
        while (is_digit(*++q)) {
        }
        shape_ = Shape::Real;
    }
    p_ = q;
    return true;
}

// The Number token as a value: Int when it fits in 64 bits, BigInt (its
// text) beyond, Float when it has a fraction or an exponent.
[[gnu::always_inline]] inline void Parser::number_value() {
    if (shape_ == Shape::Integer) [[likely]] {
        const std::size_t count = static_cast<std::size_t>(digits_end_ - digits_);
        if (count <= 18) [[likely]] {
            std::int64_t value = 0;
            for (const char* d = digits_; d < digits_end_; ++d) value = value * 10 + (*d - '0');
            out_.add_int(negative_ ? -value : value);
            return;
        }
        std::int64_t value;
        if (read_decimal_int64({digits_, count}, negative_, value)) {
            out_.add_int(value);
        } else {
            out_.add_big_int({tok_, static_cast<std::size_t>(p_ - tok_)});
        }
        return;
    }
    if (shape_ == Shape::Real) {
        out_.add_float(read_decimal_double({tok_, static_cast<std::size_t>(p_ - tok_)}));
        return;
    }
    hex_value();
}

void Parser::hex_value() {
    const char* d = digits_;
    while (d < digits_end_ && *d == '0') ++d;
    const std::size_t count = static_cast<std::size_t>(digits_end_ - d);
    if (count <= 16) {
        std::uint64_t magnitude = 0;
        for (const char* h = d; h < digits_end_; ++h) {
            magnitude = (magnitude << 4) | kHexValue[static_cast<unsigned char>(*h)];
        }
        constexpr std::uint64_t kMaxPositive = (std::uint64_t{1} << 63) - 1;
        if (!negative_ && magnitude <= kMaxPositive) {
            out_.add_int(static_cast<std::int64_t>(magnitude));
            return;
        }
        if (negative_ && magnitude <= kMaxPositive + 1) {
            out_.add_int(static_cast<std::int64_t>(0 - magnitude));
            return;
        }
    }
    if (count > kMaxHexDigits) {
        out_.add_big_int({tok_, static_cast<std::size_t>(p_ - tok_)});
        return;
    }
    out_.add_big_int(hex_to_decimal({d, count}, negative_));
}

// A quoted string at tok_: escapes resolved, added to the tree as a Str
// node (pointing into the source when it has no escape).
[[gnu::always_inline]] inline bool Parser::scan_string() {
    const char quote = *p_;
    const char* const body = p_ + 1;
    bool ascii;
    const char* hit = find_string_end(body, end_, quote, ascii);
    if (*hit == quote) [[likely]] {
        out_.add_str_view({body, static_cast<std::size_t>(hit - body)}, ascii);
        p_ = hit + 1;
        return true;
    }
    return unescape_string(body, quote);
}

// A string with escapes (or without its closing quote): find its end (an
// escaped character is skipped), then unescape it into the tree's arena,
// checking every escape. Without a closing quote, an invalid escape before
// the end of the text is reported rather than the missing quote.
bool Parser::unescape_string(const char* body, char quote) {
    const char* close = body;
    while (true) {
        bool ascii;
        close = find_string_end(close, end_, quote, ascii);
        if (close >= end_ || *close == quote) break;
        close += 2;  // the backslash and the byte after it
    }
    const bool terminated = close < end_;
    if (!terminated) close = end_;

    char* const out = out_.begin_str(static_cast<std::size_t>(close - body));
    char* w = out;
    const char* r = body;
    while (true) {
        const void* found = std::memchr(r, '\\', static_cast<std::size_t>(close - r));
        const char* backslash = found ? static_cast<const char*>(found) : close;
        if (backslash != r) {
            std::memcpy(w, r, static_cast<std::size_t>(backslash - r));
            w += backslash - r;
        }
        if (backslash == close) break;
        if (backslash + 1 >= close) break;  // a backslash at the very end of an unterminated string
        const char escape = backslash[1];
        r = backslash + 2;
        switch (escape) {
            case '"':
                if (quote != '"') return fail(Fault::InvalidEscapeSingle, backslash);
                *w++ = '"';
                break;
            case '\'':
                if (quote != '\'') return fail(Fault::InvalidEscapeDouble, backslash);
                *w++ = '\'';
                break;
            case '\\': *w++ = '\\'; break;
            case '/': *w++ = '/'; break;
            case 'b': *w++ = '\b'; break;
            case 'f': *w++ = '\f'; break;
            case 'n': *w++ = '\n'; break;
            case 'r': *w++ = '\r'; break;
            case 't': *w++ = '\t'; break;
            case 'u': {
                // Four hex digits; the closing quote or the padding stops the
                // check before it could pass the end.
                char32_t cp = 0;
                for (int k = 0; k < 4; ++k) {
                    const std::uint8_t v = kHexValue[static_cast<unsigned char>(r[k])];
                    if (v == 0xFF) return fail(Fault::ExpectedFourHexDigits, backslash);
                    cp = (cp << 4) | v;
                }
                if (cp >= 0xD800 && cp <= 0xDFFF) {
                    // Only a high surrogate directly followed by the escape
                    // of a low one makes a character.
                    char32_t low = 0;
                    bool paired = cp <= 0xDBFF && r[4] == '\\' && r[5] == 'u';
                    for (int k = 6; paired && k < 10; ++k) {
                        const std::uint8_t v = kHexValue[static_cast<unsigned char>(r[k])];
                        paired = v != 0xFF;
                        low = (low << 4) | v;
                    }
                    if (!paired || low < 0xDC00 || low > 0xDFFF) {
                        sequence_.assign(r, 4);
                        return fail(Fault::InvalidUnicodeEscape, backslash);
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    r += 6;
                }
                r += 4;
                w += utf8::encode(cp, w);
                break;
            }
            default:
                return fail(Fault::InvalidEscape, backslash);
        }
    }
    if (!terminated) return fail(Fault::UnterminatedString, tok_);
    const std::size_t size = static_cast<std::size_t>(w - out);
    out_.end_str(size, scan::is_ascii(out, size));
    p_ = close + 1;
    return true;
}

bool Parser::document() {
    if (!space()) return false;
    if (p_ == end_) {
        empty_ = true;
        return false;
    }
    if (!element(Fault::UnexpectedToken)) return false;
    Token token;
    if (!scan(token)) return false;
    if (token != Token::End) return fail(Fault::MultipleValues, tok_);
    return true;
}

// The value at p_ (spaces skipped); `at_end` is the fault when the text ends
// there. The common first bytes are told apart without a token.
[[gnu::always_inline]] inline bool Parser::element(Fault at_end) {
    tok_ = p_;
    const unsigned char c = static_cast<unsigned char>(*p_);
    if (c == '"') return scan_string();
    if (kStart[c] == Start::Number) {
        if (!scan_number()) return false;
        number_value();
        return true;
    }
    if (c == '{') return object();
    if (c == '[') return array();
    Token token;
    if (!scan_token(token)) return false;
    if (token == Token::End) return fail(at_end, tok_);
    return value(token);
}

// The value that starts with `token` (anything but End).
bool Parser::value(Token token) {
    switch (token) {
        case Token::True:
            out_.add_bool(true);
            return true;
        case Token::False:
            out_.add_bool(false);
            return true;
        case Token::Null:
            out_.add_null();
            return true;
        case Token::String:
            return true;
        case Token::Number:
            number_value();
            return true;
        case Token::Open:
            return object();
        case Token::OpenList:
            return array();
        case Token::CloseList:
            return fail(Fault::UnexpectedCloseBracket, tok_);
        case Token::Close:
            return fail(Fault::UnexpectedCloseBrace, tok_);
        case Token::Comma:
            return fail(Fault::UnexpectedComma, tok_);
        case Token::Colon:
            return fail(Fault::UnexpectedColon, tok_);
        case Token::Word:
            return fail(Fault::UnexpectedWord, tok_);
        case Token::End:
            break;
    }
    return fail(Fault::UnexpectedToken, tok_);
}

bool Parser::object() {
    if (++depth_ > kMaxDepth) [[unlikely]] return fail(Fault::NestingDepth, tok_);
    out_.begin_map();
    ++p_;
    Token token;
    if (!scan(token)) return false;  // a comma cannot come first
    while (true) {
        if (token == Token::String) {
            // the key is in the tree
        } else if (token == Token::Close) {
            out_.end_map();
            --depth_;
            return true;
        } else if (token == Token::Word || token == Token::Number) {
            add_token_key();
        } else if (token == Token::End) {
            return fail(Fault::UnterminatedObject, tok_);
        } else {
            return fail(Fault::UnexpectedTokenInObject, tok_);
        }
        if (!space()) return false;
        if (*p_ != ':') [[unlikely]] {
            if (!scan(token)) return false;
            return fail(Fault::ExpectedColon, tok_);
        }
        ++p_;
        if (!space()) return false;
        if (!element(Fault::ExpectedValue)) return false;
        // Members are separated by a comma or by nothing at all; a comma may
        // also follow the last one.
        if (!scan(token)) return false;
        if (token == Token::Comma && !scan(token)) return false;
    }
}

bool Parser::array() {
    if (++depth_ > kMaxDepth) [[unlikely]] return fail(Fault::NestingDepth, tok_);
    out_.begin_list();
    ++p_;
    if (!space()) return false;
    while (true) {
        if (*p_ == ']') {
            ++p_;
            out_.end_list();
            --depth_;
            return true;
        }
        if (!element(Fault::UnterminatedArray)) return false;
        // Elements are separated by a comma or by nothing; a comma may also
        // follow the last one.
        if (!space()) return false;
        if (*p_ == ',') {
            ++p_;
            if (!space()) return false;
        }
    }
}

// The message, with the line and column of the fault's position: lines
// counted by line feeds, columns in code points.
[[gnu::cold]] Error Parser::error() const {
    const std::size_t offset = static_cast<std::size_t>(fault_at_ - begin_);
    const std::string_view before(begin_, offset);
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n');
    const std::size_t column =
        1 + utf8::count_chars(line_start == std::string_view::npos ? before : before.substr(line_start + 1));
    std::string message(kFaultText[static_cast<std::size_t>(fault_)]);
    if (fault_ == Fault::InvalidUnicodeEscape) {
        message += sequence_;
        message += kUnicodeEscapeTail;
    }
    message += " on line ";
    message += std::to_string(line);
    message += " column ";
    message += std::to_string(column);
    return value_error(std::move(message));
}

}  // namespace

Result<ConfigTree> parse(Source source) {
    const char* const text = source.buffer_.data();
    // About one node per 12 bytes of typical documents.
    TreeBuilder out(source.size_ / 12 + 1);
    Parser parser(text, source.size_, out);
    if (!parser.document()) {
        if (parser.empty()) return value_error("jsonc document is empty");
        return parser.error();
    }
    // Str nodes point into the buffer; moving a heap-allocated string keeps
    // its address.
    out.keep_source(std::move(source.buffer_));
    return out.finish();
}

}  // namespace tabrix::jsonc
