#include "core/yaml/parser.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/text/scan.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::yaml {

namespace {

// ------------------------------------------------------------------ characters

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";
// An implicit key must end within this many characters of its start.
constexpr std::size_t kMaxImplicitKey = 1024;

inline bool is_break(char c) noexcept { return c == '\n' || c == '\r'; }
inline bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
inline bool is_flow_indicator(char c) noexcept {
    return c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
}
inline bool is_word(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}
inline bool is_hex(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}
inline bool is_uri_char(char c) noexcept {
    if (is_word(c)) return true;
    switch (c) {
        case '#': case ';': case '/': case '?': case ':': case '@': case '&': case '=': case '+': case '$':
        case ',': case '_': case '.': case '!': case '~': case '*': case '\'': case '(': case ')': case '[':
        case ']': case '%':
            return true;
        default:
            return false;
    }
}

// The first byte of `text` that is not a printable character of YAML
// (tab, line feed, carriage return, printable ASCII, NEL and Unicode
// characters other than C1 controls, surrogates, U+FFFE and U+FFFF), or
// text.size() when all are. Malformed UTF-8 counts as not printable.
std::size_t first_unprintable(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Printable ASCII, tabs and line breaks, sixteen or eight bytes at a time.
#if defined(__SSE2__)
        while (i + 16 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            // Signed: bytes of 0x80 and above compare below 0x20 too.
            const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
            const __m128i ok = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                                         _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
            const __m128i bad = _mm_or_si128(_mm_andnot_si128(ok, low), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
            if (_mm_movemask_epi8(bad) != 0) break;
            i += 16;
        }
#endif
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t high = w & 0x8080808080808080ULL;
            // Bytes below 0x20: (b - 0x20) borrows into bit 7 when b < 0x20.
            const std::uint64_t low = (w - 0x2020202020202020ULL) & ~w & 0x8080808080808080ULL;
            const std::uint64_t del = ((w ^ 0x7F7F7F7F7F7F7F7FULL) - 0x0101010101010101ULL) & ~(w ^ 0x7F7F7F7F7F7F7F7FULL) &
                                      0x8080808080808080ULL;
            if (high | low | del) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c == 0x7F || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) return i;
            ++i;
            continue;
        }
        std::uint32_t cp;
        std::size_t length;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (i + length > n) return i;
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return i;
        if (cp >= 0xD800 && cp <= 0xDFFF) return i;
        if ((cp >= 0x80 && cp <= 0x9F && cp != 0x85) || cp == 0xFFFE || cp == 0xFFFF) return i;
        i += length;
    }
    return n;
}

// ------------------------------------------------------------------ tokens

enum class Tok : std::uint8_t {
    StreamStart,
    StreamEnd,
    VersionDirective,
    TagDirective,
    DocumentStart,
    DocumentEnd,
    BlockSequenceStart,
    BlockMappingStart,
    BlockEnd,
    FlowSequenceStart,
    FlowSequenceEnd,
    FlowMappingStart,
    FlowMappingEnd,
    BlockEntry,
    FlowEntry,
    Key,
    Value,
    Alias,
    Anchor,
    Tag,
    Scalar,
};

// A token's texts are views into the input, or into the scanner's text
// store when the scanner had to rewrite them.
struct Token {
    Tok kind = Tok::StreamStart;
    ScalarStyle style = ScalarStyle::Plain;
    std::size_t offset = 0;
    std::string_view first;   // scalar text, anchor name, tag handle, directive handle
    std::string_view second;  // tag suffix, directive prefix
};

// Texts kept for the tokens in the queue, in blocks that never move, so that
// a view stays valid while more texts are added.
class TextStore {
public:
    std::string_view keep(std::string_view text) {
        if (text.size() > room_) grow(text.size());
        if (!text.empty()) std::memcpy(next_, text.data(), text.size());
        const std::string_view kept(next_, text.size());
        next_ += text.size();
        room_ -= text.size();
        return kept;
    }
    // Forgets every text (no view into the store is in use any more); the
    // last block, the largest, stays for the texts to come.
    void clear() noexcept {
        if (blocks_.empty()) return;
        if (blocks_.size() > 1) {
            blocks_.erase(blocks_.begin(), blocks_.end() - 1);
            sizes_.erase(sizes_.begin(), sizes_.end() - 1);
        }
        next_ = blocks_.front().get();
        room_ = sizes_.front();
    }

private:
    void grow(std::size_t need) {
        std::size_t size = sizes_.empty() ? 16 * 1024 : sizes_.back() * 2;
        if (size < need) size = need;
        blocks_.push_back(std::make_unique<char[]>(size));
        sizes_.push_back(size);
        next_ = blocks_.back().get();
        room_ = size;
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::size_t> sizes_;
    char* next_ = nullptr;
    std::size_t room_ = 0;
};

struct SimpleKey {
    bool possible = false;
    bool required = false;
    std::size_t token_number = 0;
    std::size_t offset = 0;
    std::size_t chars = 0;  // characters before it
    std::size_t line = 0;
    long column = 0;
};

}  // namespace

// ------------------------------------------------------------------ scanner

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text), p_(text.data()), end_(text.data() + text.size()) {
        simple_keys_.emplace_back();
        const std::size_t bad = first_unprintable(text);
        if (bad != text.size()) {
            fail(std::string("control characters are not allowed"), bad);
            invalid_at_ = bad;
        }
    }

    // The token at the head of the queue, or null after an error.
    Token* peek() {
        while (true) {
            if (failed_) return nullptr;
            if (head_ < tokens_.size()) {
                if (stream_end_done_) break;
                stale_simple_keys();
                if (failed_) return nullptr;
                if (live_begin_ == live_.size() ||
                    simple_keys_[live_[live_begin_]].token_number != tokens_parsed_) {
                    break;
                }
            }
            if (stream_end_done_) return nullptr;
            fetch_next_token();
        }
        return &tokens_[head_];
    }

    Token take() {
        const Token token = tokens_[head_++];
        ++tokens_parsed_;
        if (head_ == tokens_.size()) {
            tokens_.clear();
            head_ = 0;
        }
        return token;
    }

    // Drops the texts of tokens already taken, when the queue is empty.
    void release_texts() noexcept {
        if (head_ == tokens_.size()) store_.clear();
    }

    bool failed() const noexcept { return failed_; }
    const std::string& error() const noexcept { return error_; }
    std::size_t error_offset() const noexcept { return error_offset_; }

    [[gnu::cold]] void fail(std::string message, std::size_t offset) {
        if (failed_) return;
        failed_ = true;
        error_ = std::move(message);
        error_offset_ = offset;
    }

private:
    // ---- position

    std::size_t pos() const noexcept { return static_cast<std::size_t>(p_ - text_.data()); }
    long column() const noexcept { return static_cast<long>(p_ - line_start_); }
    bool at_end(std::size_t k = 0) const noexcept { return static_cast<std::size_t>(end_ - p_) <= k; }
    char at(std::size_t k = 0) const noexcept { return static_cast<std::size_t>(end_ - p_) > k ? p_[k] : '\0'; }
    bool blankz(std::size_t k = 0) const noexcept {
        if (at_end(k)) return true;
        const char c = p_[k];
        return is_blank(c) || is_break(c);
    }
    bool breakz(std::size_t k = 0) const noexcept { return at_end(k) || is_break(p_[k]); }
    // At the start of a line: "---" or "..." followed by a blank, a break or the end.
    bool at_document_marker() const noexcept {
        if (p_ != line_start_ || end_ - p_ < 3) return false;
        if (!((p_[0] == '-' && p_[1] == '-' && p_[2] == '-') || (p_[0] == '.' && p_[1] == '.' && p_[2] == '.'))) {
            return false;
        }
        return blankz(3);
    }
    // Consumes one line break (CR LF as one).
    void skip_break() noexcept {
        if (*p_ == '\r' && end_ - p_ > 1 && p_[1] == '\n') ++p_;
        ++p_;
        ++line_;
        line_start_ = p_;
    }
    // Skips the leading spaces of the current line (at its start); returns their count.
    long skip_indentation() noexcept {
        const char* q = p_;
        while (p_ < end_ && *p_ == ' ') ++p_;
        return static_cast<long>(p_ - q);
    }

    // Characters before byte `offset`, counted on from the last offset
    // asked for (the offsets asked for rarely go back).
    std::size_t chars_at(std::size_t offset) noexcept {
        if (offset < count_offset_) {
            count_offset_ = 0;
            count_chars_ = 0;
        }
        std::size_t i = count_offset_;
        // Eight bytes at a time: a continuation byte has bit 7 set and bit 6 clear.
        for (; i + 8 <= offset; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, text_.data() + i, 8);
            const std::uint64_t continuations = w & ~(w << 1) & 0x8080808080808080ULL;
            // Mostly ASCII, with nothing to count (a popcount is a library
            // call on the baseline instruction set).
            count_chars_ += continuations == 0 ? 8 : 8 - static_cast<std::size_t>(std::popcount(continuations));
        }
        for (; i < offset; ++i) count_chars_ += (static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80;
        count_offset_ = offset;
        return count_chars_;
    }

    // ---- tokens

    Token& push(Tok kind, std::size_t offset) {
        Token& token = tokens_.emplace_back();
        token.kind = kind;
        token.offset = offset;
        return token;
    }
    void insert(std::size_t number, Tok kind, std::size_t offset) {
        Token token;
        token.kind = kind;
        token.offset = offset;
        tokens_.insert(tokens_.begin() + static_cast<std::ptrdiff_t>(head_ + number - tokens_parsed_), token);
    }

    // ---- simple keys

    bool in_flow() const noexcept { return !flow_kinds_.empty(); }
    bool in_flow_mapping() const noexcept { return !flow_kinds_.empty() && flow_kinds_.back() == '{'; }

    void forget_key(std::size_t level) {
        SimpleKey& key = simple_keys_[level];
        key.possible = false;
        if (live_.size() > live_begin_ && live_.back() == level) live_.pop_back();
        if (live_.size() <= live_begin_) {
            live_.clear();
            live_begin_ = 0;
        }
    }

    void stale_simple_keys() {
        while (live_begin_ < live_.size()) {
            SimpleKey& key = simple_keys_[live_[live_begin_]];
            if (key.line == line_ && (pos() <= key.offset + kMaxImplicitKey ||
                                      chars_at(pos()) - key.chars <= kMaxImplicitKey)) {
                break;
            }
            if (key.required) {
                fail("could not find expected ':'", pos());
                return;
            }
            key.possible = false;
            ++live_begin_;
        }
        if (live_begin_ == live_.size()) {
            live_.clear();
            live_begin_ = 0;
        }
    }

    void save_simple_key() {
        if (!simple_key_allowed_ || in_flow_mapping()) return;
        const std::size_t level = simple_keys_.size() - 1;
        remove_simple_key();
        if (failed_) return;
        SimpleKey& key = simple_keys_[level];
        key.possible = true;
        key.required = !in_flow() && indent_ == column() && !tab_indented_;
        key.token_number = tokens_parsed_ + tokens_.size() - head_;
        key.offset = pos();
        key.chars = chars_at(key.offset);
        key.line = line_;
        key.column = column();
        live_.push_back(level);
    }

    void remove_simple_key() {
        const std::size_t level = simple_keys_.size() - 1;
        SimpleKey& key = simple_keys_[level];
        if (!key.possible) return;
        if (key.required) {
            fail("could not find expected ':'", key.offset);
            return;
        }
        forget_key(level);
    }

    // ---- indentation

    void roll_indent(long column, std::size_t number, bool insert_at, Tok kind, std::size_t offset) {
        if (in_flow()) return;
        if (indent_ < column) {
            indents_.push_back(indent_);
            indent_ = column;
            if (insert_at) {
                insert(number, kind, offset);
            } else {
                push(kind, offset);
            }
        }
    }
    void unroll_indent(long column) {
        if (in_flow()) return;
        while (indent_ > column) {
            push(Tok::BlockEnd, pos());
            indent_ = indents_.back();
            indents_.pop_back();
        }
    }

    // ---- the next token

    void fetch_next_token() {
        if (!stream_start_done_) {
            stream_start_done_ = true;
            simple_key_allowed_ = true;
            push(Tok::StreamStart, 0);
            return;
        }
        scan_to_next_token();
        if (failed_) return;
        stale_simple_keys();
        if (failed_) return;
        if (at_end()) {
            fetch_stream_end();
            return;
        }
        if (line_ == document_end_line_ && pos() > 0) {
            fail("invalid content after document end marker", pos());
            return;
        }
        // A token that starts its line in a flow collection stands right of
        // the block indentation around it.
        if (in_flow() && first_on_line_ && line_indent_ <= indent_ && indent_ >= 0) {
            fail("invalid indentation in flow collection", pos());
            return;
        }
        unroll_indent(column());
        const char c = *p_;
        const bool adjacent = json_like_before_;
        json_like_before_ = false;
        if (p_ == line_start_) {
            if (c == '%' && !in_flow()) return fetch_directive();
            if (at_document_marker()) return fetch_document_indicator(c == '-' ? Tok::DocumentStart : Tok::DocumentEnd);
        }
        if (tab_indented_ && !in_flow() && first_on_line_ && line_indent_ <= indent_) {
            fail("tabs are not allowed as indentation", pos());
            return;
        }
        switch (c) {
            case '[': return fetch_flow_start(Tok::FlowSequenceStart, '[');
            case '{': return fetch_flow_start(Tok::FlowMappingStart, '{');
            case ']': return fetch_flow_end(Tok::FlowSequenceEnd, '[');
            case '}': return fetch_flow_end(Tok::FlowMappingEnd, '{');
            case ',': return fetch_flow_entry();
            case '-':
                if (blankz(1)) return fetch_block_entry();
                break;
            case '?':
                if (blankz(1) || (in_flow() && is_flow_indicator(at(1)))) return fetch_key();
                break;
            case ':':
                if (blankz(1) || (in_flow() && (is_flow_indicator(at(1)) || adjacent))) return fetch_value();
                break;
            case '*': return fetch_anchor(Tok::Alias);
            case '&': return fetch_anchor(Tok::Anchor);
            case '!': return fetch_tag();
            case '|':
            case '>':
                if (!in_flow()) return fetch_block_scalar(c == '>');
                break;
            case '\'': return fetch_quoted(false);
            case '"': return fetch_quoted(true);
            default:
                break;
        }
        if (can_start_plain()) return fetch_plain();
        fail(c == '#' ? "a comment must follow whitespace" : "found character that cannot start any token", pos());
    }

    bool can_start_plain() const noexcept {
        const char c = *p_;
        switch (c) {
            case '-': case '?': case ':': {
                if (blankz(1)) return false;
                return !(in_flow() && is_flow_indicator(at(1)));
            }
            case ',': case '[': case ']': case '{': case '}': case '#': case '&': case '*': case '!': case '|':
            case '>': case '\'': case '"': case '%': case '@': case '`':
                return false;
            default:
                return !is_blank(c) && !is_break(c);
        }
    }

    // Skips blanks, comments and line breaks up to the next token, noting
    // whether the token starts its line and the line's indentation.
    void scan_to_next_token() {
        tab_before_ = false;
        first_on_line_ = p_ == line_start_;
        if (first_on_line_) {
            line_indent_ = 0;
            tab_indented_ = false;
        }
        while (true) {
            if (p_ == line_start_) {
                if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) {
                    p_ += 3;
                    line_start_ = p_;
                    if (!(breakz() || *p_ == '#' || *p_ == '%' || at_document_marker())) {
                        fail("a byte order mark may only start a document", pos() - 3);
                        return;
                    }
                }
                line_indent_ = skip_indentation();
                tab_indented_ = false;
                first_on_line_ = true;
            }
            bool white = p_ == line_start_ || (p_ > text_.data() && is_blank(p_[-1]));
            while (p_ < end_ && is_blank(*p_)) {
                if (*p_ == '\t') {
                    tab_before_ = true;
                    if (first_on_line_ && p_ - line_start_ == line_indent_) tab_indented_ = true;
                }
                ++p_;
                white = true;
            }
            if (p_ == end_) return;
            if (*p_ == '#') {
                if (!white && p_ != text_.data()) {
                    fail("a comment must follow whitespace", pos());
                    return;
                }
                const void* found = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
                const char* stop = found ? static_cast<const char*>(found) : end_;
                const void* cr = std::memchr(p_, '\r', static_cast<std::size_t>(stop - p_));
                p_ = cr ? static_cast<const char*>(cr) : stop;
                if (p_ == end_) return;
            }
            if (is_break(*p_)) {
                skip_break();
                tab_before_ = false;
                if (!in_flow()) simple_key_allowed_ = true;
                continue;
            }
            return;
        }
    }

    // ---- indicators

    void fetch_stream_end() {
        unroll_indent(-1);
        for (std::size_t k = live_begin_; k < live_.size(); ++k) {
            SimpleKey& key = simple_keys_[live_[k]];
            if (key.required) {
                fail("could not find expected ':'", key.offset);
                return;
            }
            key.possible = false;
        }
        live_.clear();
        live_begin_ = 0;
        simple_key_allowed_ = false;
        push(Tok::StreamEnd, pos());
        stream_end_done_ = true;
    }

    void fetch_document_indicator(Tok kind) {
        unroll_indent(-1);
        remove_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        const std::size_t start = pos();
        p_ += 3;
        push(kind, start);
        if (kind == Tok::DocumentEnd) document_end_line_ = line_;
    }

    void fetch_flow_start(Tok kind, char open) {
        save_simple_key();
        if (failed_) return;
        flow_kinds_.push_back(open);
        simple_keys_.emplace_back();
        simple_key_allowed_ = true;
        push(kind, pos());
        ++p_;
    }

    void fetch_flow_end(Tok kind, char open) {
        remove_simple_key();
        if (failed_) return;
        if (flow_kinds_.empty() || flow_kinds_.back() != open) {
            fail(open == '[' ? "found unexpected ']'" : "found unexpected '}'", pos());
            return;
        }
        forget_key(simple_keys_.size() - 1);
        simple_keys_.pop_back();
        flow_kinds_.pop_back();
        simple_key_allowed_ = false;
        json_like_before_ = true;
        push(kind, pos());
        ++p_;
    }

    void fetch_flow_entry() {
        remove_simple_key();
        if (failed_) return;
        if (!in_flow()) {
            fail("found unexpected ','", pos());
            return;
        }
        simple_key_allowed_ = true;
        push(Tok::FlowEntry, pos());
        ++p_;
    }

    void fetch_block_entry() {
        if (in_flow()) {
            fail("block sequence entries are not allowed in flow collections", pos());
            return;
        }
        if (!simple_key_allowed_) {
            fail("block sequence entries are not allowed in this context", pos());
            return;
        }
        if (tab_before_) {
            fail("a tab may not separate block collection indicators", pos());
            return;
        }
        roll_indent(column(), 0, false, Tok::BlockSequenceStart, pos());
        remove_simple_key();
        if (failed_) return;
        simple_key_allowed_ = true;
        first_on_line_ = false;
        push(Tok::BlockEntry, pos());
        ++p_;
    }

    void fetch_key() {
        if (!in_flow()) {
            if (!simple_key_allowed_) {
                fail("mapping keys are not allowed in this context", pos());
                return;
            }
            if (tab_before_) {
                fail("a tab may not separate block collection indicators", pos());
                return;
            }
            roll_indent(column(), 0, false, Tok::BlockMappingStart, pos());
        }
        remove_simple_key();
        if (failed_) return;
        simple_key_allowed_ = !in_flow();
        first_on_line_ = false;
        push(Tok::Key, pos());
        ++p_;
    }

    void fetch_value() {
        const std::size_t level = simple_keys_.size() - 1;
        SimpleKey& key = simple_keys_[level];
        if (key.possible) {
            const SimpleKey saved = key;
            forget_key(level);
            insert(saved.token_number, Tok::Key, saved.offset);
            if (!in_flow() && indent_ < saved.column) {
                if (tab_key_line_ == saved.line && saved.offset == tab_key_offset_) {
                    fail("a tab may not separate block collection indicators", saved.offset);
                    return;
                }
            }
            roll_indent(saved.column, saved.token_number, true, Tok::BlockMappingStart, saved.offset);
            simple_key_allowed_ = false;
        } else {
            if (!in_flow()) {
                if (!simple_key_allowed_) {
                    fail("mapping values are not allowed in this context", pos());
                    return;
                }
                roll_indent(column(), 0, false, Tok::BlockMappingStart, pos());
            }
            simple_key_allowed_ = !in_flow();
        }
        push(Tok::Value, pos());
        ++p_;
    }

    void note_tab_key() {
        if (tab_before_) {
            tab_key_line_ = line_;
            tab_key_offset_ = pos();
        }
    }

    void fetch_anchor(Tok kind) {
        note_tab_key();
        save_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        first_on_line_ = false;
        const std::size_t start = pos();
        ++p_;
        const char* name = p_;
        while (p_ < end_ && !is_blank(*p_) && !is_break(*p_) && !is_flow_indicator(*p_)) ++p_;
        if (p_ == name) {
            fail(kind == Tok::Alias ? "did not find expected alias name" : "did not find expected anchor name", start);
            return;
        }
        Token& token = push(kind, start);
        token.first = std::string_view(name, static_cast<std::size_t>(p_ - name));
    }

    // Appends the tag characters at p_ to `out`, decoding %XX escapes;
    // `flow_stop` ends the text at flow indicators (and '!').
    bool scan_uri(std::string& out, bool verbatim) {
        while (p_ < end_) {
            const char c = *p_;
            if (c == '%') {
                if (end_ - p_ < 3 || !is_hex(p_[1]) || !is_hex(p_[2])) {
                    fail("found an invalid escape in a tag", pos());
                    return false;
                }
                out.push_back(static_cast<char>(hex_value(p_[1]) * 16 + hex_value(p_[2])));
                p_ += 3;
                continue;
            }
            if (static_cast<unsigned char>(c) >= 0x80 && verbatim) {
                const int length = utf8::sequence_length(static_cast<unsigned char>(c));
                out.append(p_, static_cast<std::size_t>(length));
                p_ += length;
                continue;
            }
            if (!is_uri_char(c)) break;
            if (!verbatim && (c == '!' || is_flow_indicator(c))) break;
            out.push_back(c);
            ++p_;
        }
        return true;
    }

    void fetch_tag() {
        note_tab_key();
        save_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        first_on_line_ = false;
        const std::size_t start = pos();
        Token token;
        token.kind = Tok::Tag;
        token.offset = start;
        scratch_.clear();
        if (at(1) == '<') {
            p_ += 2;
            if (!scan_uri(scratch_, true)) return;
            if (at() != '>' || scratch_.empty()) {
                fail("did not find the expected '>' of a verbatim tag", pos());
                return;
            }
            ++p_;
        } else {
            // "!", "!!" or "!name!" and a suffix, or "!" and a suffix.
            const char* q = p_ + 1;
            while (q < end_ && is_word(*q)) ++q;
            if (q < end_ && *q == '!') {
                token.first = std::string_view(p_, static_cast<std::size_t>(q + 1 - p_));
                p_ = q + 1;
            } else {
                token.first = std::string_view(p_, 1);
                ++p_;
            }
            if (!scan_uri(scratch_, false)) return;
            if (token.first != "!" && scratch_.empty()) {
                fail("did not find expected tag suffix", start);
                return;
            }
        }
        if (!(blankz() || (in_flow() && is_flow_indicator(*p_)))) {
            fail("did not find expected whitespace after a tag", pos());
            return;
        }
        token.second = store_.keep(scratch_);
        tokens_.push_back(token);
    }

    void fetch_directive() {
        unroll_indent(-1);
        remove_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        const std::size_t start = pos();
        ++p_;
        const char* name = p_;
        while (p_ < end_ && !is_blank(*p_) && !is_break(*p_)) ++p_;
        const std::string_view directive(name, static_cast<std::size_t>(p_ - name));
        if (directive.empty()) {
            fail("did not find expected directive name", start);
            return;
        }
        const auto skip_blanks = [this]() {
            const char* q = p_;
            while (p_ < end_ && is_blank(*p_)) ++p_;
            return p_ != q;
        };
        if (directive == "YAML") {
            if (!skip_blanks()) {
                fail("did not find expected version of a %YAML directive", pos());
                return;
            }
            const char* version = p_;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            const bool major = p_ != version;
            if (!major || at() != '.') {
                fail("did not find expected version of a %YAML directive", pos());
                return;
            }
            ++p_;
            const char* minor = p_;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            if (p_ == minor) {
                fail("did not find expected version of a %YAML directive", pos());
                return;
            }
            Token& token = push(Tok::VersionDirective, start);
            token.first = std::string_view(version, static_cast<std::size_t>(p_ - version));
        } else if (directive == "TAG") {
            if (!skip_blanks() || at() != '!') {
                fail("did not find expected tag handle of a %TAG directive", pos());
                return;
            }
            const char* handle = p_;
            ++p_;
            while (p_ < end_ && is_word(*p_)) ++p_;
            if (p_ < end_ && *p_ == '!') ++p_;
            const std::string_view handle_text(handle, static_cast<std::size_t>(p_ - handle));
            if (handle_text.size() > 1 && handle_text.back() != '!') {
                fail("did not find expected tag handle of a %TAG directive", pos());
                return;
            }
            if (!skip_blanks()) {
                fail("did not find expected tag prefix of a %TAG directive", pos());
                return;
            }
            Token token;
            token.kind = Tok::TagDirective;
            token.offset = start;
            token.first = handle_text;
            scratch_.clear();
            if (at() == '!' || is_uri_char(at())) {
                scratch_.push_back(*p_);
                ++p_;
            }
            if (!scan_uri(scratch_, true)) return;
            if (scratch_.empty()) {
                fail("did not find expected tag prefix of a %TAG directive", pos());
                return;
            }
            token.second = store_.keep(scratch_);
            tokens_.push_back(token);
        } else {
            // A reserved directive: its parameters are ignored.
            while (p_ < end_ && !is_break(*p_)) {
                if (*p_ == '#' && is_blank(p_[-1])) break;
                ++p_;
            }
            while (p_ > name && is_blank(p_[-1])) --p_;
        }
        // Only blanks and a comment may follow on the line.
        const bool white = skip_blanks();
        if (p_ < end_ && *p_ == '#') {
            if (!white) {
                fail("a comment must follow whitespace", pos());
                return;
            }
            while (p_ < end_ && !is_break(*p_)) ++p_;
        }
        if (!breakz()) fail("did not find expected comment or line break after a directive", pos());
    }

    // ---- scalars

    void fetch_quoted(bool double_quoted) {
        save_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        first_on_line_ = false;
        const std::size_t start = pos();
        const char quote = double_quoted ? '"' : '\'';
        ++p_;
        const char* run = p_;
        // The common case: no escape, quote pair or line break before the end.
        while (p_ < end_ && *p_ != quote && !(double_quoted && *p_ == '\\') && !is_break(*p_)) ++p_;
        Token token;
        token.kind = Tok::Scalar;
        token.style = double_quoted ? ScalarStyle::DoubleQuoted : ScalarStyle::SingleQuoted;
        token.offset = start;
        if (p_ < end_ && *p_ == quote && !(quote == '\'' && at(1) == '\'')) {
            token.first = std::string_view(run, static_cast<std::size_t>(p_ - run));
        } else {
            // Blanks before a line break fold away: the slow scan takes them.
            while (p_ > run && is_blank(p_[-1])) --p_;
            scratch_.assign(run, static_cast<std::size_t>(p_ - run));
            if (!scan_quoted_slow(scratch_, double_quoted)) return;
            token.first = store_.keep(scratch_);
        }
        ++p_;  // the closing quote
        tokens_.push_back(token);
        json_like_before_ = true;
    }

    bool scan_quoted_slow(std::string& out, bool double_quoted) {
        const char quote = double_quoted ? '"' : '\'';
        while (true) {
            if (p_ >= end_) {
                fail("found unexpected end of stream while scanning a quoted scalar", pos());
                return false;
            }
            const char c = *p_;
            if (c == quote) {
                if (!double_quoted && at(1) == '\'') {
                    out.push_back('\'');
                    p_ += 2;
                    continue;
                }
                return true;
            }
            if (double_quoted && c == '\\') {
                if (!scan_escape(out)) return false;
                continue;
            }
            if (is_blank(c)) {
                const char* q = p_;
                while (p_ < end_ && is_blank(*p_)) ++p_;
                if (p_ < end_ && is_break(*p_)) continue;  // trailing blanks fold away
                out.append(q, static_cast<std::size_t>(p_ - q));
                continue;
            }
            if (is_break(c)) {
                if (!quoted_fold(out, false)) return false;
                continue;
            }
            out.push_back(c);
            ++p_;
        }
    }

    // A line break inside a quoted scalar (escaped or not): folds it and
    // checks each continuation line.
    bool quoted_fold(std::string& out, bool escaped) {
        std::size_t breaks = 0;
        skip_break();
        while (true) {
            const long spaces = skip_indentation();
            if (p_ == line_start_ + spaces && spaces == 0 && at_document_marker()) {
                fail("found unexpected document indicator while scanning a quoted scalar", pos());
                return false;
            }
            while (p_ < end_ && is_blank(*p_)) ++p_;
            if (p_ < end_ && is_break(*p_)) {
                ++breaks;
                skip_break();
                continue;
            }
            if (p_ < end_ && indent_ >= 0 && spaces <= indent_) {
                fail("invalid indentation in a quoted scalar", pos());
                return false;
            }
            break;
        }
        if (escaped || breaks > 0) {
            out.append(breaks, '\n');
        } else {
            out.push_back(' ');
        }
        return true;
    }

    bool scan_escape(std::string& out) {
        const std::size_t start = pos();
        if (p_ + 1 >= end_) {
            fail("found unexpected end of stream while scanning a quoted scalar", start);
            return false;
        }
        const char e = p_[1];
        int digits = 0;
        switch (e) {
            case '0': out.push_back('\0'); break;
            case 'a': out.push_back('\a'); break;
            case 'b': out.push_back('\b'); break;
            case 't': case '\t': out.push_back('\t'); break;
            case 'n': out.push_back('\n'); break;
            case 'v': out.push_back('\v'); break;
            case 'f': out.push_back('\f'); break;
            case 'r': out.push_back('\r'); break;
            case 'e': out.push_back('\x1B'); break;
            case ' ': out.push_back(' '); break;
            case '"': out.push_back('"'); break;
            case '/': out.push_back('/'); break;
            case '\\': out.push_back('\\'); break;
            case 'N': out.append("\xC2\x85"); break;
            case '_': out.append("\xC2\xA0"); break;
            case 'L': out.append("\xE2\x80\xA8"); break;
            case 'P': out.append("\xE2\x80\xA9"); break;
            case 'x': digits = 2; break;
            case 'u': digits = 4; break;
            case 'U': digits = 8; break;
            case '\n':
            case '\r':
                ++p_;
                return quoted_fold(out, true);
            default:
                fail("found unknown escape character while parsing a quoted scalar", start);
                return false;
        }
        p_ += 2;
        if (digits == 0) return true;
        if (end_ - p_ < digits) {
            fail("did not find expected hexadecimal number", start);
            return false;
        }
        std::uint32_t cp = 0;
        for (int k = 0; k < digits; ++k) {
            if (!is_hex(p_[k])) {
                fail("did not find expected hexadecimal number", start);
                return false;
            }
            cp = cp * 16 + static_cast<std::uint32_t>(hex_value(p_[k]));
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            fail("found invalid Unicode character escape code", start);
            return false;
        }
        p_ += digits;
        char buffer[4];
        const int length = utf8::encode(static_cast<char32_t>(cp), buffer);
        out.append(buffer, static_cast<std::size_t>(length));
        return true;
    }

    void fetch_plain() {
        note_tab_key();
        save_simple_key();
        if (failed_) return;
        simple_key_allowed_ = false;
        first_on_line_ = false;
        const std::size_t start = pos();
        const bool flow = in_flow();
        const long min_indent = indent_ + 1;
        Token token;
        token.kind = Tok::Scalar;
        token.offset = start;
        std::string* out = nullptr;
        const char* run = p_;
        const char* content_end = p_;  // end of the last content character
        std::size_t content_line = line_;
        const char* content_line_start = line_start_;
        while (true) {
            // One line of the scalar.
            const char* q = p_;
            while (true) {
                // Only blanks, breaks, ':' and (in flow) flow indicators can end
                // the text; other control characters were refused up front.
                q = flow ? scan::find_any<true, ' ', ':', ',', '[', ']', '{', '}'>(q, end_)
                         : scan::find_any<true, ' ', ':'>(q, end_);
                if (q == end_) break;
                const char c = *q;
                if (c == ' ' || c == '\t') {
                    // Inner blanks stay when more text follows on the line.
                    const char* w = q;
                    while (w < end_ && is_blank(*w)) ++w;
                    if (w == end_ || is_break(*w) || *w == '#') break;
                    q = w;
                    continue;
                }
                if (c == ':') {
                    const char n = q + 1 < end_ ? q[1] : ' ';
                    if (is_blank(n) || is_break(n) || (flow && is_flow_indicator(n))) break;
                    ++q;
                    continue;
                }
                if (static_cast<unsigned char>(c) < 0x20 && !is_break(c)) {
                    ++q;
                    continue;
                }
                break;  // a break, or a flow indicator in a flow collection
            }
            while (q > p_ && is_blank(q[-1])) --q;
            if (out) out->append(p_, static_cast<std::size_t>(q - p_));
            p_ = q;
            content_end = q;
            content_line = line_;
            content_line_start = line_start_;
            // What follows: blanks, then a break (the scalar may go on), or
            // the end of the scalar.
            while (p_ < end_ && is_blank(*p_)) ++p_;
            if (p_ == end_ || !is_break(*p_)) break;
            // Continuation lines: after empty lines, a line indented enough
            // that is neither a comment nor a document marker.
            std::size_t breaks = 0;
            bool go_on = false;
            while (p_ < end_ && is_break(*p_)) {
                skip_break();
                const long spaces = skip_indentation();
                if (spaces == 0 && at_document_marker()) break;
                const char* after_spaces = p_;
                while (p_ < end_ && is_blank(*p_)) ++p_;
                if (p_ == end_) break;
                if (is_break(*p_)) {
                    ++breaks;
                    continue;
                }
                if (*p_ == '#') break;
                if (!flow && spaces < min_indent) break;
                if (flow && spaces <= indent_ && indent_ >= 0) break;
                if (!flow && after_spaces != p_ && *after_spaces == '\t' && spaces < min_indent) break;
                // Text at p_ continues the scalar, unless it cannot be plain text.
                if (flow && is_flow_indicator(*p_)) break;
                if (*p_ == ':' && (blankz(1) || (flow && is_flow_indicator(at(1))))) break;
                go_on = true;
                break;
            }
            if (!go_on) break;
            if (!out) {
                out = &scratch_;
                out->assign(run, static_cast<std::size_t>(content_end - run));
            }
            if (breaks == 0) {
                out->push_back(' ');
            } else {
                out->append(breaks, '\n');
            }
        }
        // Back to the end of the last content character: the blanks and
        // breaks after it are the next token's to skip.
        p_ = content_end;
        line_ = content_line;
        line_start_ = content_line_start;
        token.first = out ? store_.keep(*out) : std::string_view(run, static_cast<std::size_t>(content_end - run));
        tokens_.push_back(token);
    }

    void fetch_block_scalar(bool folded) {
        remove_simple_key();
        if (failed_) return;
        simple_key_allowed_ = true;
        first_on_line_ = false;
        const std::size_t start = pos();
        ++p_;
        int chomp = 0;  // -1 strip, 0 clip, +1 keep
        long increment = 0;
        for (int k = 0; k < 2; ++k) {
            if (p_ < end_ && (*p_ == '+' || *p_ == '-') && chomp == 0) {
                chomp = *p_ == '+' ? 1 : -1;
                ++p_;
            } else if (p_ < end_ && *p_ >= '1' && *p_ <= '9' && increment == 0) {
                increment = *p_ - '0';
                ++p_;
            } else if (p_ < end_ && *p_ == '0') {
                fail("found an indentation indicator equal to 0", pos());
                return;
            }
        }
        bool white = false;
        while (p_ < end_ && is_blank(*p_)) {
            ++p_;
            white = true;
        }
        if (p_ < end_ && *p_ == '#') {
            if (!white) {
                fail("a comment must follow whitespace", pos());
                return;
            }
            while (p_ < end_ && !is_break(*p_)) ++p_;
        }
        if (!breakz()) {
            fail("did not find expected comment or line break after a block scalar header", pos());
            return;
        }
        Token token;
        token.kind = Tok::Scalar;
        token.style = folded ? ScalarStyle::Folded : ScalarStyle::Literal;
        token.offset = start;
        std::string& out = scratch_;
        out.clear();
        const long parent = indent_;
        long indent = 0;
        if (increment) indent = (parent >= 0 ? parent : 0) + increment;
        // Leading empty lines, and the indentation of the first content line.
        std::string breaks;
        if (p_ < end_) {
            skip_break();
        } else {
            tokens_.push_back(token);
            return;
        }
        if (indent == 0) {
            long max_empty = 0;
            const char* max_empty_at = nullptr;
            const char* scan = p_;
            long detected = -1;
            while (scan < end_) {
                const char* q = scan;
                while (q < end_ && *q == ' ') ++q;
                const long spaces = static_cast<long>(q - scan);
                if (q < end_ && !is_break(*q)) {
                    detected = spaces;
                    break;
                }
                if (spaces > max_empty) {
                    max_empty = spaces;
                    max_empty_at = q;
                }
                if (q == end_) break;
                q += (*q == '\r' && q + 1 < end_ && q[1] == '\n') ? 2 : 1;
                scan = q;
            }
            const long minimum = parent + 1 > 0 ? parent + 1 : 0;
            if (detected >= minimum) {
                indent = detected;
                if (max_empty > detected) {
                    fail("a leading empty line of a block scalar has more spaces than its first line",
                         static_cast<std::size_t>(max_empty_at - text_.data()));
                    return;
                }
            } else {
                indent = std::max(max_empty, minimum);
            }
        }
        // The content lines.
        std::string leading_break;
        bool leading_blank = false;
        bool any_content = false;
        while (true) {
            // At a line start: the indentation.
            const char* line_begin = p_;
            long spaces = 0;
            while (p_ < end_ && *p_ == ' ' && spaces < indent) {
                ++p_;
                ++spaces;
            }
            if (p_ == end_) {
                // A last line of spaces without a break ends as an empty line.
                if (p_ != line_begin) breaks.push_back('\n');
                break;
            }
            if (is_break(*p_)) {
                // An empty line.
                breaks.push_back('\n');
                skip_break();
                continue;
            }
            if (spaces < indent) {
                // Less indented: a blank-only line is empty, else the end.
                const char* q = p_;
                while (q < end_ && *q == ' ') ++q;
                if (q == end_) {
                    if (q != line_begin) breaks.push_back('\n');
                    p_ = q;
                    break;
                }
                if (*q == '\t') {
                    fail("tabs are not allowed as indentation", static_cast<std::size_t>(q - text_.data()));
                    return;
                }
                if (is_break(*q)) {
                    p_ = q;
                    breaks.push_back('\n');
                    skip_break();
                    continue;
                }
                p_ = line_begin;
                break;
            }
            if (indent == 0 && p_ == line_start_ && at_document_marker()) {
                p_ = line_begin;
                break;
            }
            // A content line.
            const bool trailing_blank = is_blank(*p_);
            if (folded && !leading_break.empty() && !leading_blank && !trailing_blank && any_content) {
                if (breaks.empty()) out.push_back(' ');
                leading_break.clear();
            }
            out += leading_break;
            out += breaks;
            leading_break.clear();
            breaks.clear();
            leading_blank = trailing_blank;
            any_content = true;
            const char* text = p_;
            while (p_ < end_ && !is_break(*p_)) ++p_;
            out.append(text, static_cast<std::size_t>(p_ - text));
            if (p_ == end_) {
                // A last line of blanks without a break still ends as a line.
                if (trailing_blank && std::all_of(text, p_, [](char c) { return is_blank(c); })) leading_break = "\n";
                break;
            }
            leading_break = "\n";
            skip_break();
        }
        if (chomp != -1) out += leading_break;
        if (chomp == 1) out += breaks;
        // The next token starts at the first line not taken (p_ stands at
        // its start), or at the end of the text.
        token.first = store_.keep(out);
        tokens_.push_back(token);
    }

    std::string_view text_;
    const char* p_;
    const char* end_;
    const char* line_start_ = text_.data();
    std::size_t line_ = 0;
    std::vector<Token> tokens_;  // the queue: tokens_[head_] onwards
    std::size_t head_ = 0;
    TextStore store_;
    std::string scratch_;
    std::size_t tokens_parsed_ = 0;
    bool stream_start_done_ = false;
    bool stream_end_done_ = false;
    long indent_ = -1;
    std::vector<long> indents_;
    bool simple_key_allowed_ = false;
    std::vector<SimpleKey> simple_keys_;  // one per flow level, the block level first
    std::vector<std::size_t> live_;       // levels with a possible key, oldest first
    std::size_t live_begin_ = 0;
    std::vector<char> flow_kinds_;        // '[' or '{' per open flow collection
    bool json_like_before_ = false;
    bool first_on_line_ = true;
    bool tab_indented_ = false;
    bool tab_before_ = false;  // a tab in the blanks right before the token
    long line_indent_ = 0;
    std::size_t tab_key_line_ = ~std::size_t{0};
    std::size_t tab_key_offset_ = ~std::size_t{0};
    std::size_t document_end_line_ = ~std::size_t{0};
    std::size_t invalid_at_ = ~std::size_t{0};
    std::size_t count_offset_ = 0;
    std::size_t count_chars_ = 0;
    bool failed_ = false;
    std::string error_;
    std::size_t error_offset_ = 0;
};

// ------------------------------------------------------------------ parser

namespace {

enum class St : std::uint8_t {
    StreamStart,
    DocumentStart,
    DocumentContent,
    DocumentEnd,
    BlockNode,
    BlockSeqFirst,
    BlockSeqEntry,
    IndentlessSeqEntry,
    BlockMapFirst,
    BlockMapKey,
    BlockMapValue,
    FlowSeqFirst,
    FlowSeqEntry,
    FlowSeqPairKey,
    FlowSeqPairValue,
    FlowSeqPairEnd,
    FlowMapFirst,
    FlowMapKey,
    FlowMapValue,
    End,
};

}  // namespace

struct Parser::State {
    explicit State(std::string_view text) : scanner(text) {}

    Scanner scanner;
    St state = St::StreamStart;
    std::vector<St> states;
    bool implicit_allowed = true;  // a bare document may start here
    std::unordered_map<std::string, std::string> handles;  // %TAG handle -> prefix
    Token current;   // the token whose texts the last event shows
    Token anchor;
    Token tag;
    std::string tag_text;
    bool failed = false;
    std::string error;
    std::size_t error_offset = 0;

    [[gnu::cold]] bool fail(std::string message, std::size_t offset) {
        failed = true;
        error = std::move(message);
        error_offset = offset;
        return false;
    }

    Token* peek() {
        Token* token = scanner.peek();
        if (!token) {
            failed = true;
            error = scanner.error();
            error_offset = scanner.error_offset();
        }
        return token;
    }

    static void empty_scalar(Event& event, std::size_t offset) {
        event.kind = EventKind::Scalar;
        event.style = ScalarStyle::Plain;
        event.value = std::string_view();
        event.offset = offset;
    }

    void pop_state() {
        state = states.back();
        states.pop_back();
    }

    bool next(Event& event) {
        if (failed || state == St::End) return false;
        scanner.release_texts();
        event = Event();
        switch (state) {
            case St::StreamStart: {
                Token* t = peek();
                if (!t) return false;
                scanner.take();
                event.kind = EventKind::StreamStart;
                state = St::DocumentStart;
                return true;
            }
            case St::DocumentStart: return document_start(event);
            case St::DocumentContent: {
                Token* t = peek();
                if (!t) return false;
                if (t->kind == Tok::VersionDirective || t->kind == Tok::TagDirective || t->kind == Tok::DocumentStart ||
                    t->kind == Tok::DocumentEnd || t->kind == Tok::StreamEnd) {
                    pop_state();
                    empty_scalar(event, t->offset);
                    return true;
                }
                return node(event, true, false);
            }
            case St::DocumentEnd: {
                Token* t = peek();
                if (!t) return false;
                event.kind = EventKind::DocumentEnd;
                event.offset = t->offset;
                implicit_allowed = false;
                if (t->kind == Tok::DocumentEnd) {
                    scanner.take();
                    event.explicit_marker = true;
                    implicit_allowed = true;
                } else if (t->kind != Tok::DocumentStart && t->kind != Tok::StreamEnd) {
                    return fail("did not find expected <document start>", t->offset);
                }
                state = St::DocumentStart;
                return true;
            }
            case St::BlockNode: return node(event, true, false);
            case St::BlockSeqFirst:
            case St::BlockSeqEntry: return block_sequence_entry(event);
            case St::IndentlessSeqEntry: return indentless_entry(event);
            case St::BlockMapFirst:
            case St::BlockMapKey: return block_mapping_key(event);
            case St::BlockMapValue: return block_mapping_value(event);
            case St::FlowSeqFirst: return flow_sequence_entry(event, true);
            case St::FlowSeqEntry: return flow_sequence_entry(event, false);
            case St::FlowSeqPairKey: {
                Token* t = peek();
                if (!t) return false;
                if (t->kind != Tok::Value && t->kind != Tok::FlowEntry && t->kind != Tok::FlowSequenceEnd) {
                    states.push_back(St::FlowSeqPairValue);
                    return node(event, false, false);
                }
                state = St::FlowSeqPairValue;
                empty_scalar(event, t->offset);
                return true;
            }
            case St::FlowSeqPairValue: {
                Token* t = peek();
                if (!t) return false;
                if (t->kind == Tok::Value) {
                    scanner.take();
                    t = peek();
                    if (!t) return false;
                    if (t->kind != Tok::FlowEntry && t->kind != Tok::FlowSequenceEnd) {
                        states.push_back(St::FlowSeqPairEnd);
                        return node(event, false, false);
                    }
                }
                state = St::FlowSeqPairEnd;
                empty_scalar(event, t->offset);
                return true;
            }
            case St::FlowSeqPairEnd: {
                Token* t = peek();
                if (!t) return false;
                state = St::FlowSeqEntry;
                event.kind = EventKind::MappingEnd;
                event.flow = true;
                event.offset = t->offset;
                return true;
            }
            case St::FlowMapFirst: return flow_mapping_key(event, true);
            case St::FlowMapKey: return flow_mapping_key(event, false);
            case St::FlowMapValue: {
                Token* t = peek();
                if (!t) return false;
                if (t->kind == Tok::Value) {
                    scanner.take();
                    t = peek();
                    if (!t) return false;
                    if (t->kind != Tok::FlowEntry && t->kind != Tok::FlowMappingEnd) {
                        states.push_back(St::FlowMapKey);
                        return node(event, false, false);
                    }
                }
                state = St::FlowMapKey;
                empty_scalar(event, t->offset);
                return true;
            }
            case St::End: return false;
        }
        return false;
    }

    bool document_start(Event& event) {
        Token* t = peek();
        if (!t) return false;
        bool explicit_end = implicit_allowed;
        // Extra document end markers.
        while (t->kind == Tok::DocumentEnd) {
            scanner.take();
            explicit_end = true;
            t = peek();
            if (!t) return false;
        }
        if (t->kind == Tok::StreamEnd) {
            current = scanner.take();
            event.kind = EventKind::StreamEnd;
            event.offset = current.offset;
            state = St::End;
            return true;
        }
        handles.clear();
        if (t->kind != Tok::VersionDirective && t->kind != Tok::TagDirective && t->kind != Tok::DocumentStart) {
            if (!explicit_end) return fail("did not find expected <document start>", t->offset);
            event.kind = EventKind::DocumentStart;
            event.offset = t->offset;
            states.push_back(St::DocumentEnd);
            state = St::BlockNode;
            return true;
        }
        const std::size_t start = t->offset;
        bool version = false;
        bool directives = false;
        while (t->kind == Tok::VersionDirective || t->kind == Tok::TagDirective) {
            directives = true;
            Token d = scanner.take();
            if (d.kind == Tok::VersionDirective) {
                if (version) return fail("found duplicate %YAML directive", d.offset);
                version = true;
                const std::string_view v = d.first;
                if (!v.starts_with("1.")) return fail("found incompatible YAML document", d.offset);
            } else {
                if (!handles.emplace(std::string(d.first), std::string(d.second)).second) {
                    return fail("found duplicate %TAG directive", d.offset);
                }
            }
            t = peek();
            if (!t) return false;
        }
        if (directives && !explicit_end) return fail("found directives after a document without an end marker", start);
        if (t->kind != Tok::DocumentStart) return fail("did not find expected <document start>", t->offset);
        scanner.take();
        event.kind = EventKind::DocumentStart;
        event.explicit_marker = true;
        event.offset = start;
        states.push_back(St::DocumentEnd);
        state = St::DocumentContent;
        return true;
    }

    bool resolve_tag(const Token& token) {
        const std::string_view handle = token.first;
        const std::string_view suffix = token.second;
        if (handle.empty()) {  // verbatim
            tag_text.assign(suffix);
            return true;
        }
        if (!handles.empty()) {
            const auto found = handles.find(std::string(handle));
            if (found != handles.end()) {
                tag_text = found->second;
                tag_text += suffix;
                return true;
            }
        }
        if (handle == "!") {
            tag_text = "!";
            tag_text += suffix;
            return true;
        }
        if (handle == "!!") {
            tag_text.assign(kCoreTagPrefix);
            tag_text += suffix;
            return true;
        }
        return fail("found undefined tag handle", token.offset);
    }

    bool node(Event& event, bool block, bool indentless) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind == Tok::Alias) {
            pop_state();
            current = scanner.take();
            event.kind = EventKind::Alias;
            event.anchor = current.first;
            event.offset = current.offset;
            return true;
        }
        bool has_anchor = false;
        bool has_tag = false;
        std::size_t start = t->offset;
        while (t->kind == Tok::Anchor || t->kind == Tok::Tag) {
            if (t->kind == Tok::Anchor) {
                if (has_anchor) return fail("found a second anchor on one node", t->offset);
                has_anchor = true;
                anchor = scanner.take();
            } else {
                if (has_tag) return fail("found a second tag on one node", t->offset);
                has_tag = true;
                tag = scanner.take();
                if (!resolve_tag(tag)) return false;
            }
            t = peek();
            if (!t) return false;
        }
        if (has_anchor) event.anchor = anchor.first;
        if (has_tag) {
            event.tagged = true;
            event.tag = tag_text;
        }
        event.offset = start;
        if (indentless && t->kind == Tok::BlockEntry) {
            event.kind = EventKind::SequenceStart;
            state = St::IndentlessSeqEntry;
            return true;
        }
        switch (t->kind) {
            case Tok::Scalar:
                pop_state();
                current = scanner.take();
                event.kind = EventKind::Scalar;
                event.style = current.style;
                event.value = current.first;
                return true;
            case Tok::FlowSequenceStart:
                scanner.take();
                event.kind = EventKind::SequenceStart;
                event.flow = true;
                state = St::FlowSeqFirst;
                return true;
            case Tok::FlowMappingStart:
                scanner.take();
                event.kind = EventKind::MappingStart;
                event.flow = true;
                state = St::FlowMapFirst;
                return true;
            case Tok::BlockSequenceStart:
                if (!block) break;
                scanner.take();
                event.kind = EventKind::SequenceStart;
                state = St::BlockSeqEntry;
                return true;
            case Tok::BlockMappingStart:
                if (!block) break;
                scanner.take();
                event.kind = EventKind::MappingStart;
                state = St::BlockMapKey;
                return true;
            default:
                break;
        }
        if (has_anchor || has_tag) {
            pop_state();
            empty_scalar(event, start);
            return true;
        }
        return fail(block ? "did not find expected node content" : "did not find expected node content", t->offset);
    }

    bool block_sequence_entry(Event& event) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind == Tok::BlockEntry) {
            const std::size_t at = t->offset;
            scanner.take();
            t = peek();
            if (!t) return false;
            if (t->kind != Tok::BlockEntry && t->kind != Tok::BlockEnd) {
                states.push_back(St::BlockSeqEntry);
                return node(event, true, false);
            }
            state = St::BlockSeqEntry;
            empty_scalar(event, at);
            return true;
        }
        if (t->kind == Tok::BlockEnd) {
            pop_state();
            event.kind = EventKind::SequenceEnd;
            event.offset = t->offset;
            scanner.take();
            return true;
        }
        return fail("did not find expected '-' indicator", t->offset);
    }

    bool indentless_entry(Event& event) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind == Tok::BlockEntry) {
            const std::size_t at = t->offset;
            scanner.take();
            t = peek();
            if (!t) return false;
            if (t->kind != Tok::BlockEntry && t->kind != Tok::Key && t->kind != Tok::Value && t->kind != Tok::BlockEnd) {
                states.push_back(St::IndentlessSeqEntry);
                return node(event, true, false);
            }
            state = St::IndentlessSeqEntry;
            empty_scalar(event, at);
            return true;
        }
        pop_state();
        event.kind = EventKind::SequenceEnd;
        event.offset = t->offset;
        return true;
    }

    bool block_mapping_key(Event& event) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind == Tok::Key) {
            const std::size_t at = t->offset;
            scanner.take();
            t = peek();
            if (!t) return false;
            if (t->kind != Tok::Key && t->kind != Tok::Value && t->kind != Tok::BlockEnd) {
                states.push_back(St::BlockMapValue);
                return node(event, true, true);
            }
            state = St::BlockMapValue;
            empty_scalar(event, at);
            return true;
        }
        if (t->kind == Tok::Value) {
            state = St::BlockMapValue;
            empty_scalar(event, t->offset);
            return true;
        }
        if (t->kind == Tok::BlockEnd) {
            pop_state();
            event.kind = EventKind::MappingEnd;
            event.offset = t->offset;
            scanner.take();
            return true;
        }
        return fail("did not find expected key", t->offset);
    }

    bool block_mapping_value(Event& event) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind == Tok::Value) {
            const std::size_t at = t->offset;
            scanner.take();
            t = peek();
            if (!t) return false;
            if (t->kind != Tok::Key && t->kind != Tok::Value && t->kind != Tok::BlockEnd) {
                states.push_back(St::BlockMapKey);
                return node(event, true, true);
            }
            state = St::BlockMapKey;
            empty_scalar(event, at);
            return true;
        }
        state = St::BlockMapKey;
        empty_scalar(event, t->offset);
        return true;
    }

    bool flow_sequence_entry(Event& event, bool first) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind != Tok::FlowSequenceEnd) {
            if (!first) {
                if (t->kind != Tok::FlowEntry) return fail("did not find expected ',' or ']'", t->offset);
                scanner.take();
                t = peek();
                if (!t) return false;
            }
            if (t->kind == Tok::Key || t->kind == Tok::Value) {
                state = St::FlowSeqPairKey;
                event.kind = EventKind::MappingStart;
                event.flow = true;
                event.offset = t->offset;
                if (t->kind == Tok::Key) scanner.take();
                return true;
            }
            if (t->kind != Tok::FlowSequenceEnd) {
                states.push_back(St::FlowSeqEntry);
                return node(event, false, false);
            }
        }
        pop_state();
        event.kind = EventKind::SequenceEnd;
        event.flow = true;
        event.offset = t->offset;
        scanner.take();
        return true;
    }

    bool flow_mapping_key(Event& event, bool first) {
        Token* t = peek();
        if (!t) return false;
        if (t->kind != Tok::FlowMappingEnd) {
            if (!first) {
                if (t->kind != Tok::FlowEntry) return fail("did not find expected ',' or '}'", t->offset);
                scanner.take();
                t = peek();
                if (!t) return false;
            }
            if (t->kind == Tok::Key) {
                const std::size_t at = t->offset;
                scanner.take();
                t = peek();
                if (!t) return false;
                if (t->kind != Tok::Value && t->kind != Tok::FlowEntry && t->kind != Tok::FlowMappingEnd) {
                    states.push_back(St::FlowMapValue);
                    return node(event, false, false);
                }
                state = St::FlowMapValue;
                empty_scalar(event, at);
                return true;
            }
            if (t->kind == Tok::Value) {
                state = St::FlowMapValue;
                empty_scalar(event, t->offset);
                return true;
            }
            if (t->kind != Tok::FlowMappingEnd) {
                states.push_back(St::FlowMapValue);
                return node(event, false, false);
            }
        }
        pop_state();
        event.kind = EventKind::MappingEnd;
        event.flow = true;
        event.offset = t->offset;
        scanner.take();
        return true;
    }
};

Parser::Parser(std::string_view text) : state_(std::make_unique<State>(text)) {}
Parser::~Parser() = default;

bool Parser::next(Event& event) { return state_->next(event); }
bool Parser::failed() const noexcept { return state_->failed; }
const std::string& Parser::error() const noexcept { return state_->error; }
std::size_t Parser::error_offset() const noexcept { return state_->error_offset; }

Location locate(std::string_view text, std::size_t offset) noexcept {
    if (offset > text.size()) offset = text.size();
    Location at;
    for (std::size_t i = 0; i < offset; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;
        ++at.index;
        if (c == '\n' || (c == '\r' && !(i + 1 < text.size() && text[i + 1] == '\n'))) {
            ++at.line;
            at.column = 0;
        } else {
            ++at.column;
        }
    }
    return at;
}

}  // namespace tabrix::yaml
