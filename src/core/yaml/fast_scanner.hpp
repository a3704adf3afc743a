// The fast scanner: the parser events of the common shape of configuration
// YAML, read without the full parser (parser.hpp).
//
// It gives exactly the events the parser would give for the same text, or
// gives up (tests/native/yaml_fast_check and the yaml_parser fuzz target
// compare the two); use it through fast_events, which also takes CR LF line ends. It reads
// block mappings and sequences indented with spaces (indentless sequences
// and compact "- key: value" items among them); plain scalars, continued on
// more indented lines or not; quoted scalars and flow sequences and
// mappings that close on their line; literal and folded block scalars;
// anchors, and tags written "!name", "!!name" or "!", on values; aliases as
// values; values on the lines below their key or "-"; comments, blank lines
// and a leading "---".
//
// Anything else makes it give up at once: tabs outside comments and
// scalars, control characters, line breaks other than LF and CR LF, byte
// order marks, other tags, tags on empty nodes and collections below them,
// anchors and tags on keys, directives, "...", a second document, explicit
// ("?") keys, keys that are collections or aliases, keys longer than an
// implicit key may be, a more indented line that neither opens a nested
// collection nor continues a plain scalar, and each construct whose reading
// it does not reproduce exactly (a '#' right after a token, ": " inside a
// value, a '-' followed by a tab, a trailing comma in a flow collection, a
// tab before a comment, a block scalar at the top level or ending in a line
// of blanks, ...). Some of these it left to libyaml, the YAML 1.1 parser
// this project once used, and still leaves to the parser.
//
// It never reports an error: the caller throws away the events it gave
// before giving up and reads the text again with the parser, which then gives
// every event, error and position. The events carry no positions for that
// reason.
//
// The sink takes the events through these calls, each returning false to
// stop the scan (which then counts as giving up):
//
//   bool document_start();
//   bool document_end();
//   bool scalar(std::string_view text, ScalarStyle style, std::string_view anchor, std::string_view tag);
//   bool collection_start(bool mapping, std::string_view anchor, std::string_view tag);
//   bool collection_end();
//   bool alias(std::string_view name);
//   bool stream_end();
//
// (the stream start is implied). Texts, names and tags are valid during the
// call only; an empty anchor or tag means none. A tag is given in full, its
// handle resolved ("!!str" as "tag:yaml.org,2002:str").
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text/scan.hpp"
#include "core/text/utf8.hpp"
#include "core/yaml/parser.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tabrix::yaml {


namespace fast {

// An implicit key ends within 1024 characters of its start; a character
// takes a byte at least, so a key of at most this many bytes up to its ':'
// is always one.
inline constexpr std::size_t kMaxKeyBytes = 1024;

// Collections nested deeper than this are left to the parser (the loader
// refuses them anyway, with a position that only the parser gives).
inline constexpr int kMaxDepth = 255;

// First byte in [p, end) that the reader or the scanner treats specially
// beyond printable ASCII: a control character other than tab and line feed,
// DEL, or a byte of a multi-byte character.
inline const char* find_unusual(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i limit = _mm_set1_epi8(0x1F);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i line_feed = _mm_set1_epi8('\n');
    const __m128i del = _mm_set1_epi8(0x7F);
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit);
        const __m128i allowed = _mm_or_si128(_mm_cmpeq_epi8(block, tab), _mm_cmpeq_epi8(block, line_feed));
        const __m128i high = _mm_or_si128(_mm_cmplt_epi8(block, _mm_setzero_si128()), _mm_cmpeq_epi8(block, del));
        const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_andnot_si128(allowed, control), high));
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t' && c != '\n') || c >= 0x7F) return p;
    }
    return end;
}

// Whether every character of the text is one the scanner may meet: printable
// ASCII, tab, line feed, and well-formed non-ASCII characters that the parser's
// reader takes as printable and that are neither line breaks (NEL, LS, PS)
// nor byte order marks.
inline bool usual_characters(const char* p, const char* end) noexcept {
    const auto byte = [&](const char* q) { return static_cast<unsigned char>(*q); };
    while ((p = find_unusual(p, end)) != end) {
        const unsigned char lead = byte(p);
        const auto continuation = [&](std::ptrdiff_t i) { return p + i < end && (byte(p + i) & 0xC0) == 0x80; };
        if (lead >= 0xC2 && lead <= 0xDF) {
            // U+0080..U+009F: C1 controls, NEL among them.
            if (!continuation(1) || (lead == 0xC2 && byte(p + 1) < 0xA0)) return false;
            p += 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            if (!continuation(1) || !continuation(2)) return false;
            const unsigned char second = byte(p + 1), third = byte(p + 2);
            if (lead == 0xE0 && second < 0xA0) return false;                             // overlong
            if (lead == 0xED && second >= 0xA0) return false;                            // surrogate
            if (lead == 0xE2 && second == 0x80 && (third == 0xA8 || third == 0xA9)) return false;  // LS, PS
            if (lead == 0xEF && second == 0xBB && third == 0xBF) return false;           // byte order mark
            if (lead == 0xEF && second == 0xBF && third >= 0xBE) return false;           // U+FFFE, U+FFFF
            p += 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            if (!continuation(1) || !continuation(2) || !continuation(3)) return false;
            if (lead == 0xF0 && byte(p + 1) < 0x90) return false;  // overlong
            if (lead == 0xF4 && byte(p + 1) >= 0x90) return false;  // beyond U+10FFFF
            p += 4;
        } else {
            return false;  // a control character, DEL, or not UTF-8
        }
    }
    return true;
}

inline bool is_anchor_char(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
}

// Characters that cannot start a plain scalar (besides blanks and breaks).
inline bool is_indicator(char c) noexcept {
    switch (c) {
        case '-': case '?': case ':': case ',': case '[': case ']': case '{': case '}': case '#':
        case '&': case '*': case '!': case '|': case '>': case '\'': case '"': case '%': case '@': case '`':
            return true;
        default:
            return false;
    }
}

inline bool is_tag_char(char c) noexcept { return is_anchor_char(c) || c == '.' || c == '/'; }

inline int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace fast

template <class Sink>
class FastScanner {
public:
    FastScanner(std::string_view text, Sink& sink) noexcept
        : p_(text.data()), end_(text.data() + text.size()), line_(text.data()), sink_(sink) {}

    // True when the whole text was read and every event handed to the sink;
    // false when the scanner gave up (or the sink refused an event).
    bool run() {
        if (!fast::usual_characters(p_, end_)) return false;
        if (!skip_to_content(true)) return false;
        bool explicit_start = false;
        if (col_ == 0 && document_marker('-')) {
            p_ += 3;
            if (!end_of_line() || !next_line()) return false;
            explicit_start = true;
        } else if (col_ == 0 && document_marker('.')) {
            return false;
        }
        if (col_ < 0) {
            // Nothing but comments: no document, or an empty one after "---".
            if (explicit_start) {
                if (!sink_.document_start() || !sink_.scalar({}, ScalarStyle::Plain, {}, {}) || !sink_.document_end()) {
                    return false;
                }
            }
            return sink_.stream_end();
        }
        if (!sink_.document_start() || !root_node()) return false;
        if (col_ >= 0) return false;  // more after the root node: another document, or an error
        return sink_.document_end() && sink_.stream_end();
    }

private:
    struct Scalar {
        std::string_view text;
        ScalarStyle style;
    };

    // ---------------------------------------------------------------- lines

    char at(const char* q) const noexcept { return q < end_ ? *q : '\0'; }  // the text holds no NUL
    static bool space_or_break(char c) noexcept { return c == ' ' || c == '\n' || c == '\0'; }

    void skip_spaces() noexcept {
        while (p_ < end_ && *p_ == ' ') ++p_;
    }

    // "---" or "..." at the start of a line, followed by a blank or a break.
    bool document_marker(char c) const noexcept {
        return end_ - p_ >= 3 && p_[0] == c && p_[1] == c && p_[2] == c &&
               (space_or_break(at(p_ + 3)) || p_[3] == '\t');
    }

    // From the start of a line, past blank and comment lines, to the first
    // character of the next line with content; col_ is its column, or -1 at
    // the end of the text. breaks_ counts the line feeds passed and
    // passed_comment_ tells whether a comment line was among the lines. Only
    // the first content line may be a document marker.
    bool skip_to_content(bool first = false) {
        while (true) {
            const char* q = scan::skip_spaces(p_, end_);
            if (q < end_ && *q == '#') {
                q = scan::find_any<false, '\n'>(q, end_);
                passed_comment_ = true;
            }
            if (q == end_) {
                p_ = end_;
                col_ = -1;
                return true;
            }
            if (*q == '\n') {
                p_ = q + 1;
                ++breaks_;
                continue;
            }
            if (*q == '\t') return false;
            line_ = p_;
            p_ = q;
            col_ = q - line_;
            // A later marker starts another document or ends this one.
            return first || !(col_ == 0 && (document_marker('-') || document_marker('.')));
        }
    }

    // From the end of a line's content (p_ at its line feed or the end of the
    // text) to the next line with content.
    bool next_line() {
        breaks_ = 1;
        passed_comment_ = false;
        if (p_ == end_) {
            col_ = -1;
            return true;
        }
        ++p_;
        return skip_to_content();
    }

    // The rest of the line holds only spaces and a comment; p_ ends at the
    // line feed or the end of the text. line_comment_ tells whether there
    // was a comment.
    bool end_of_line() {
        skip_spaces();
        line_comment_ = false;
        if (p_ == end_ || *p_ == '\n') return true;
        // A comment needs a space before it here ("'a'#b" is left to the parser).
        if (*p_ != '#' || p_[-1] != ' ') return false;
        p_ = scan::find_any<false, '\n'>(p_, end_);
        line_comment_ = true;
        return true;
    }

    // Only blanks and perhaps a comment left on the line.
    bool at_line_end() const noexcept {
        return p_ == end_ || *p_ == '\n' || (*p_ == '#' && p_[-1] == ' ');
    }

    // A block sequence entry: '-' followed by a space, a break or the end.
    bool dash_entry() const noexcept { return *p_ == '-' && space_or_break(at(p_ + 1)); }

    bool enter() noexcept { return ++depth_ <= fast::kMaxDepth; }
    void leave() noexcept { --depth_; }

    // ---------------------------------------------------------------- block structure

    bool root_node() {
        const long column = col_;
        if (dash_entry()) return block_sequence(column, {});
        if (*p_ == '[' || *p_ == '{') {
            return flow_collection({}, {}) && end_of_line() && next_line();
        }
        const char* start = p_;
        Scalar scalar;
        bool key = false;
        if (!simple_scalar(scalar, key)) return false;
        if (key) {
            p_ = start;
            return block_mapping(column, {});
        }
        // A root scalar: any later line but a comment continues it.
        return finish_scalar(scalar, 0) && sink_.scalar(scalar.text, scalar.style, {}, {});
    }

    // A block mapping whose keys stand at column `indent`; p_ is at its first
    // key, at the start of a line or after "- ".
    bool block_mapping(long indent, std::string_view anchor) {
        if (!enter() || !sink_.collection_start(true, anchor, {})) return false;
        while (true) {
            const char* start = p_;
            Scalar key;
            bool colon = false;
            if (!simple_scalar(key, colon) || !colon) return false;
            if (static_cast<std::size_t>(p_ - start) > fast::kMaxKeyBytes) return false;
            if (!sink_.scalar(key.text, key.style, {}, {})) return false;
            ++p_;  // the ':'
            if (!mapping_value(indent)) return false;
            if (col_ == indent) continue;
            if (col_ > indent) return false;
            break;
        }
        leave();
        return sink_.collection_end();
    }

    // The value after a key's ':' (followed by a space, a break or the end).
    bool mapping_value(long indent) {
        skip_spaces();
        std::string_view anchor, tag;
        if ((at(p_) == '&' || at(p_) == '!') && !properties(anchor, tag)) return false;
        if (at_line_end()) {
            // A tag on a node below (or an empty one) is left to the parser.
            if (!tag.empty() || !end_of_line() || !next_line()) return false;
            return nested_value(indent, anchor, true);
        }
        return inline_value(indent, anchor, tag);
    }

    // A node on the lines after its key or "-" at column `indent`: a nested
    // block collection, a scalar, alias or flow collection on a more indented
    // line, an indentless sequence (for a mapping value), or nothing (null).
    bool nested_value(long indent, std::string_view anchor, bool indentless) {
        if (col_ > indent) {
            if (dash_entry()) return block_sequence(col_, anchor);
            const char c = *p_;
            if (c == '*' || c == '[' || c == '{') return inline_value(indent, anchor, {});
            const char* start = p_;
            const long column = col_;
            Scalar scalar;
            bool colon = false;
            if (!simple_scalar(scalar, colon)) return false;
            if (colon) {
                p_ = start;
                return block_mapping(column, anchor);
            }
            // Continued, if at all, by lines indented deeper than the key.
            return finish_scalar(scalar, indent + 1) && sink_.scalar(scalar.text, scalar.style, anchor, {}) &&
                   col_ <= indent;
        }
        if (col_ == indent && indentless && dash_entry()) return indentless_sequence(indent, anchor);
        return sink_.scalar({}, ScalarStyle::Plain, anchor, {});
    }

    // A scalar, alias or flow collection that ends its line; the next line
    // must not be more indented than `indent`, where it would continue a
    // plain scalar or be an error.
    bool inline_value(long indent, std::string_view anchor, std::string_view tag) {
        if (*p_ == '*') {
            std::string_view name;
            if (!anchor.empty() || !tag.empty() || !read_name(name) || !sink_.alias(name)) return false;
        } else if (*p_ == '[' || *p_ == '{') {
            if (!flow_collection(anchor, tag)) return false;
        } else if (*p_ == '|' || *p_ == '>') {
            Scalar scalar;
            if (!literal_or_folded(indent, scalar) || !sink_.scalar(scalar.text, scalar.style, anchor, tag)) {
                return false;
            }
            return skip_to_content() && col_ <= indent;
        } else {
            Scalar scalar;
            bool colon = false;
            if (!simple_scalar(scalar, colon) || colon || !finish_scalar(scalar, indent + 1)) return false;
            return sink_.scalar(scalar.text, scalar.style, anchor, tag) && col_ <= indent;
        }
        return end_of_line() && next_line() && col_ <= indent;
    }

    // A block sequence whose "-" entries stand at column `indent`.
    bool block_sequence(long indent, std::string_view anchor) {
        if (!enter() || !sink_.collection_start(false, anchor, {})) return false;
        while (true) {
            ++p_;  // the '-'
            if (!sequence_item(indent)) return false;
            if (col_ == indent && dash_entry()) continue;
            if (col_ >= indent) return false;
            break;
        }
        leave();
        return sink_.collection_end();
    }

    // An indentless sequence: the value of a key at column `indent` whose
    // entries stand at that same column.
    bool indentless_sequence(long indent, std::string_view anchor) {
        if (!enter() || !sink_.collection_start(false, anchor, {})) return false;
        while (true) {
            ++p_;  // the '-'
            if (!sequence_item(indent)) return false;
            if (col_ == indent && dash_entry()) continue;
            if (col_ > indent) return false;
            break;  // back to the mapping at the same column, or out of it
        }
        leave();
        return sink_.collection_end();
    }

    // The node after a "-" at column `indent`.
    bool sequence_item(long indent) {
        skip_spaces();
        std::string_view anchor, tag;
        if ((at(p_) == '&' || at(p_) == '!') && !properties(anchor, tag)) return false;
        if (at_line_end()) {
            if (!tag.empty() || !end_of_line() || !next_line()) return false;
            return nested_value(indent, anchor, false);
        }
        if (anchor.empty() && tag.empty()) {
            const long column = p_ - line_;  // only '-' and spaces before it
            if (dash_entry()) return block_sequence(column, {});
            if (*p_ != '*' && *p_ != '[' && *p_ != '{' && *p_ != '|' && *p_ != '>') {
                // A scalar, or the first key of a compact mapping.
                const char* start = p_;
                Scalar scalar;
                bool colon = false;
                if (!simple_scalar(scalar, colon)) return false;
                if (colon) {
                    p_ = start;
                    return block_mapping(column, {});
                }
                return finish_scalar(scalar, indent + 1) && sink_.scalar(scalar.text, scalar.style, {}, {}) &&
                       col_ <= indent;
            }
        }
        return inline_value(indent, anchor, tag);
    }

    // ---------------------------------------------------------------- tokens

    // The properties of a node: at most one anchor and one tag, in either
    // order.
    bool properties(std::string_view& anchor, std::string_view& tag) {
        for (int i = 0; i < 2; ++i) {
            if (at(p_) == '&' && anchor.empty()) {
                if (!read_name(anchor)) return false;
            } else if (at(p_) == '!' && tag.empty()) {
                if (!read_tag(tag)) return false;
            } else {
                break;
            }
        }
        return true;
    }

    // A tag: "!suffix" (the tag "!suffix"), "!!suffix" (the core schema's
    // "tag:yaml.org,2002:suffix") or "!" alone, the suffix of letters,
    // digits and "-_./", followed by a space; spaces after it are skipped.
    // Verbatim tags, named handles, escapes and other characters are left to
    // the parser.
    bool read_tag(std::string_view& tag) {
        const char* start = p_;
        const char* q = p_ + 1;
        const bool core = at(q) == '!';
        if (core) ++q;
        const char* suffix = q;
        while (q < end_ && fast::is_tag_char(*q)) ++q;
        if (at(q) != ' ' || (core && q == suffix)) return false;
        if (core) {
            tag_scratch_.assign("tag:yaml.org,2002:");
            tag_scratch_.append(suffix, static_cast<std::size_t>(q - suffix));
            tag = tag_scratch_;
        } else {
            tag = std::string_view(start, static_cast<std::size_t>(q - start));
        }
        p_ = q;
        skip_spaces();
        return true;
    }

    // An anchor or alias name after its '&' or '*': letters, digits, '_' and
    // '-', ended by a space, a break or the end (the parser also takes a few
    // indicators there; they are left to it). Spaces after it are skipped.
    bool read_name(std::string_view& name) {
        const char* start = ++p_;
        while (p_ < end_ && fast::is_anchor_char(*p_)) ++p_;
        if (p_ == start || !space_or_break(at(p_))) return false;
        name = std::string_view(start, static_cast<std::size_t>(p_ - start));
        skip_spaces();
        return true;
    }

    // A plain or quoted scalar in the block context. `colon` tells whether a
    // ':' and a blank follow it on the line (it is then a key, and p_ is left
    // at the ':'); otherwise p_ is left after it.
    [[gnu::always_inline]] bool simple_scalar(Scalar& out, bool& colon) {
        const char c = *p_;
        if (c == '\'' || c == '"') {
            if (!quoted(out)) return false;
            const char* after = p_;
            skip_spaces();
            if (p_ < end_ && *p_ == ':' && space_or_break(at(p_ + 1))) {
                colon = true;
            } else {
                p_ = after;
            }
            return true;
        }
        // The parser starts a plain scalar at any character but a blank, a
        // break or an indicator; at '-', '?' and ':' too when no blank
        // follows.
        const char next = at(p_ + 1);
        if (fast::is_indicator(c) && !((c == '-' || c == '?' || c == ':') && !space_or_break(next) && next != '\t')) {
            return false;
        }
        if (c == ' ' || c == '\t') return false;
        const char* q = plain_end(p_ + 1, colon);
        if (q == nullptr) return false;
        const char* stop = q;
        while (stop[-1] == ' ') --stop;
        out.text = std::string_view(p_, static_cast<std::size_t>(stop - p_));
        out.style = ScalarStyle::Plain;
        p_ = colon ? q : stop;
        return true;
    }

    // A literal or folded block scalar, p_ at its '|' or '>'; `parent` is
    // the parser's indentation level around it (the column of its key or "-").
    // This is the parser's reading step by step: the header with its chomping
    // and indentation indicators, the indentation (given, or that of the
    // first line with content), the lines with their folding, and the
    // chomping of the final breaks. p_ is left at the start of the first line
    // after the scalar.
    [[gnu::noinline]] bool literal_or_folded(long parent, Scalar& out) {
        // At the top level YAML 1.2 lets the content start in column 0.
        if (parent < 0) return false;
        const bool literal = *p_ == '|';
        ++p_;
        int chomping = 0;  // -1 strip, 0 clip, +1 keep
        long increment = 0;
        const auto read_chomping = [&] {
            if (at(p_) == '+' || at(p_) == '-') chomping = *p_++ == '+' ? 1 : -1;
        };
        const auto read_increment = [&] {
            if (at(p_) >= '0' && at(p_) <= '9') increment = *p_++ - '0';
            return at(p_ - 1) != '0';  // an indentation indicator of 0 is an error
        };
        if (at(p_) == '+' || at(p_) == '-') {
            read_chomping();
            if (!read_increment()) return false;
        } else {
            if (!read_increment()) return false;
            read_chomping();
        }
        if (!end_of_line()) return false;
        if (p_ < end_) ++p_;  // the header's line feed

        long indent = increment ? parent + increment : 0;
        std::size_t breaks = 0;  // line feeds of empty lines not added yet
        bool leading_break = false, leading_blank = false;
        scratch_.clear();
        if (!block_breaks(parent, indent, breaks)) return false;
        while (p_ < end_ && p_ - line_ == indent) {
            const bool trailing_blank = *p_ == ' ' || *p_ == '\t';
            if (!literal && leading_break && !leading_blank && !trailing_blank) {
                if (breaks == 0) scratch_ += ' ';  // folding
            } else if (leading_break) {
                scratch_ += '\n';
            }
            leading_break = false;
            scratch_.append(breaks, '\n');
            breaks = 0;
            leading_blank = trailing_blank;
            const char* eol = scan::find_any<false, '\n'>(p_, end_);
            // A last line of blanks without a break: the parser's reading.
            if (eol == end_ && std::all_of(p_, eol, [](char b) { return b == ' ' || b == '\t'; })) return false;
            scratch_.append(p_, static_cast<std::size_t>(eol - p_));
            p_ = eol;
            if (p_ < end_) {
                ++p_;
                leading_break = true;
            }
            if (!block_breaks(parent, indent, breaks)) return false;
        }
        if (chomping != -1 && leading_break) scratch_ += '\n';
        if (chomping == 1) scratch_.append(breaks, '\n');
        out.text = scratch_;
        out.style = literal ? ScalarStyle::Literal : ScalarStyle::Folded;
        p_ = line_;
        return true;
    }

    // The indentation spaces and empty lines before a line of a block
    // scalar, counting the empty lines in `breaks`; sets the indentation
    // when it is not known yet (0): the deepest of these lines, at least one
    // more than `parent` and at least 1. p_ is left after the indentation
    // of the next line (line_ at its start).
    bool block_breaks(long parent, long& indent, std::size_t& breaks) {
        long deepest = 0;
        long deepest_empty = 0;
        while (true) {
            line_ = p_;
            while ((indent == 0 || p_ - line_ < indent) && p_ < end_ && *p_ == ' ') ++p_;
            const long column = p_ - line_;
            if (column > deepest) deepest = column;
            if ((indent == 0 || column < indent) && at(p_) == '\t') return false;  // a tab as indentation
            if (at(p_) != '\n') break;
            if (column > deepest_empty) deepest_empty = column;
            ++breaks;
            ++p_;
        }
        // Spaces before the end of the text, or (YAML 1.2) an empty line
        // more indented than the first line with content: the parser's.
        if (p_ == end_ && p_ != line_) return false;
        if (indent == 0 && p_ < end_ && p_ - line_ > parent && deepest_empty > p_ - line_) return false;
        if (indent == 0) {
            indent = deepest;
            if (indent < parent + 1) indent = parent + 1;
            if (indent < 1) indent = 1;
        }
        return true;
    }

    // The end of a scalar's line (p_ after its text), and the lines that
    // continue a plain one in the block context: those up to a line indented
    // less than `least` (one more than the parser's indentation level around
    // the scalar), a comment, or the end. Each is folded into the text as
    // the parser folds it: one line break becomes a space, n + 1 line breaks
    // (n empty lines) become n line feeds; blanks at the ends of the lines
    // go. p_ is left at the next line with content. A ": " on a
    // continuation line is left to the parser.
    [[gnu::always_inline]] bool finish_scalar(Scalar& scalar, long least) {
        if (!end_of_line()) return false;
        const bool open = scalar.style == ScalarStyle::Plain && !line_comment_;
        if (!next_line()) return false;
        if (open && col_ >= least && !passed_comment_) [[unlikely]] return continued(scalar, least);
        return true;
    }

    [[gnu::noinline]] bool continued(Scalar& scalar, long least) {
        bool ended = false;
        bool folded = false;
        while (!ended && col_ >= least && !passed_comment_) {
            const char* first = p_;
            bool colon = false;
            const char* stop = plain_end(first, colon);
            if (stop == nullptr || colon) return false;
            while (stop[-1] == ' ') --stop;
            if (!folded) scratch_.assign(scalar.text);
            folded = true;
            if (breaks_ == 1) {
                scratch_ += ' ';
            } else {
                scratch_.append(breaks_ - 1, '\n');
            }
            scratch_.append(first, static_cast<std::size_t>(stop - first));
            p_ = stop;
            if (!end_of_line()) return false;
            ended = line_comment_;
            if (!next_line()) return false;
        }
        if (folded) scalar.text = scratch_;
        return true;
    }

    // Where a plain scalar's text in the block context stops, scanning from
    // `q`: at a line feed, the end of the text, a comment (a '#' after a
    // space) or, with `colon` set, a ':' followed by a blank. Blanks before
    // the stop are not taken off. nullptr for a tab that only the parser reads.
    [[gnu::always_inline]] const char* plain_end(const char* q, bool& colon) const noexcept {
        while (true) {
            q = scan::find_any<true, ':', '#'>(q, end_);
            if (q == end_ || *q == '\n') return q;
            if (*q == ':') {
                const char after = at(q + 1);
                if (space_or_break(after)) {
                    colon = true;
                    return q;
                }
                if (after == '\t') return nullptr;
            } else if (*q == '#') {
                if (q[-1] == ' ') return q;  // a comment
            } else {
                if (!inner_tabs(q, false)) return nullptr;
                continue;
            }
            ++q;
        }
    }

    // Blanks with a tab inside a plain scalar, from the tab at `q`: kept in
    // the text when a character that continues the scalar follows them (q
    // is left there). Tabs before the scalar's end, a comment or an
    // indicator are left to the parser.
    bool inner_tabs(const char*& q, bool flow) const noexcept {
        while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
        switch (at(q)) {
            case '\0': case '\n': case '#': case ':':
                return false;
            case ',': case '[': case ']': case '{': case '}':
                return !flow;
            default:
                return true;
        }
    }

    // A quoted scalar that ends on its line; p_ is left after its closing
    // quote. The text is a view into the input, or into scratch_ when
    // escapes were undone.
    bool quoted(Scalar& out) {
        const bool single = *p_ == '\'';
        const char* q = p_ + 1;
        const char* segment = q;
        bool copied = false;
        while (true) {
            q = single ? scan::find_any<true, '\''>(q, end_) : scan::find_any<true, '"', '\\'>(q, end_);
            if (q == end_ || *q == '\n') return false;  // a scalar over several lines
            if (*q == '\t') {  // blanks inside the quotes are kept, tabs too
                ++q;
                continue;
            }
            if (single) {
                if (at(q + 1) != '\'') break;
                // '' stands for one quote.
                if (!copied) scratch_.clear();
                copied = true;
                scratch_.append(segment, static_cast<std::size_t>(q + 1 - segment));
                q += 2;
                segment = q;
                continue;
            }
            if (*q == '"') break;
            if (!copied) scratch_.clear();
            copied = true;
            scratch_.append(segment, static_cast<std::size_t>(q - segment));
            const int length = escape(q + 1);
            if (length < 0) return false;
            q += 2 + length;
            segment = q;
        }
        if (copied) {
            scratch_.append(segment, static_cast<std::size_t>(q - segment));
            out.text = scratch_;
        } else {
            out.text = std::string_view(segment, static_cast<std::size_t>(q - segment));
        }
        out.style = single ? ScalarStyle::SingleQuoted : ScalarStyle::DoubleQuoted;
        p_ = q + 1;
        return true;
    }

    // Appends the character of the escape whose letter is at `q` to scratch_;
    // returns how many hex digits follow the letter, or -1 for an escape
    // left to the parser (unknown, a break, a tab, a bad code point).
    int escape(const char* q) {
        switch (at(q)) {
            case '0': scratch_ += '\0'; return 0;
            case 'a': scratch_ += '\x07'; return 0;
            case 'b': scratch_ += '\x08'; return 0;
            case 't':
            case '\t': scratch_ += '\x09'; return 0;
            case 'n': scratch_ += '\x0A'; return 0;
            case 'v': scratch_ += '\x0B'; return 0;
            case 'f': scratch_ += '\x0C'; return 0;
            case 'r': scratch_ += '\x0D'; return 0;
            case 'e': scratch_ += '\x1B'; return 0;
            case ' ': scratch_ += ' '; return 0;
            case '"': scratch_ += '"'; return 0;
            case '/': scratch_ += '/'; return 0;
            case '\\': scratch_ += '\\'; return 0;
            case 'N': scratch_ += "\xC2\x85"; return 0;
            case '_': scratch_ += "\xC2\xA0"; return 0;
            case 'L': scratch_ += "\xE2\x80\xA8"; return 0;
            case 'P': scratch_ += "\xE2\x80\xA9"; return 0;
            case 'x': return code_point(q + 1, 2);
            case 'u': return code_point(q + 1, 4);
            case 'U': return code_point(q + 1, 8);
            default: return -1;
        }
    }

    int code_point(const char* q, int digits) {
        if (end_ - q < digits) return -1;
        std::uint32_t value = 0;
        for (int i = 0; i < digits; ++i) {
            const int digit = fast::hex_value(q[i]);
            if (digit < 0) return -1;
            value = (value << 4) | static_cast<std::uint32_t>(digit);
        }
        if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return -1;
        char bytes[4];
        scratch_.append(bytes, static_cast<std::size_t>(utf8::encode(value, bytes)));
        return digits;
    }

    // ---------------------------------------------------------------- flow collections

    // A flow sequence or mapping that closes on its line; p_ is at its
    // bracket and is left after the closing one.
    bool flow_collection(std::string_view anchor, std::string_view tag) {
        const bool mapping = *p_ == '{';
        const char close = mapping ? '}' : ']';
        if (!enter() || !sink_.collection_start(mapping, anchor, tag)) return false;
        ++p_;
        skip_spaces();
        if (p_ < end_ && *p_ == close) {
            ++p_;
        } else {
            while (true) {
                if (mapping) {
                    const char* start = p_;
                    Scalar key;
                    bool colon = false;
                    if (!flow_scalar(key, colon)) return false;
                    if (!colon) {
                        skip_spaces();
                        if (!(p_ < end_ && *p_ == ':' && at(p_ + 1) == ' ')) return false;
                    }
                    if (static_cast<std::size_t>(p_ - start) > fast::kMaxKeyBytes) return false;
                    if (!sink_.scalar(key.text, key.style, {}, {})) return false;
                    p_ += 2;
                    skip_spaces();
                }
                if (!flow_node()) return false;
                skip_spaces();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    skip_spaces();
                    if (p_ < end_ && *p_ == close) return false;  // a trailing comma
                    continue;
                }
                if (p_ < end_ && *p_ == close) {
                    ++p_;
                    break;
                }
                return false;
            }
        }
        leave();
        return sink_.collection_end();
    }

    // An entry of a flow sequence or the value of a flow mapping entry.
    bool flow_node() {
        const char c = at(p_);
        if (c == '[' || c == '{') return flow_collection({}, {});
        if (c == '*') {
            const char* start = ++p_;
            while (p_ < end_ && fast::is_anchor_char(*p_)) ++p_;
            const char after = at(p_);
            if (p_ == start || !(after == ' ' || after == ',' || after == ']' || after == '}')) return false;
            return sink_.alias(std::string_view(start, static_cast<std::size_t>(p_ - start)));
        }
        Scalar scalar;
        bool colon = false;
        if (!flow_scalar(scalar, colon) || colon) return false;
        return sink_.scalar(scalar.text, scalar.style, {}, {});
    }

    // A plain or quoted scalar in a flow collection. `colon` tells whether a
    // plain scalar ended at ": " (p_ is left at the ':'); otherwise p_ is
    // left after the scalar.
    bool flow_scalar(Scalar& out, bool& colon) {
        const char c = at(p_);
        if (c == '\'' || c == '"') return quoted(out);
        if (c == '\0' || c == ' ' || c == '\n' || c == '\t') return false;
        if (fast::is_indicator(c)) {
            const char next = at(p_ + 1);
            if (c != '-' || next == ' ' || next == '\t' || next == '\n' || next == '\0') return false;
            // "-" before a flow indicator is no scalar in YAML 1.2.
            if (next == ',' || next == '[' || next == ']' || next == '{' || next == '}') return false;
        }
        const char* q = p_ + 1;
        while (true) {
            q = scan::find_any<true, ':', '#', ',', '[', ']', '{', '}'>(q, end_);
            if (q == end_ || *q == '\n') return false;  // no closing bracket on the line
            if (*q == '\t') {
                if (!inner_tabs(q, true)) return false;
                continue;
            }
            if (*q == ':') {
                const char after = at(q + 1);
                if (after == ' ') {
                    colon = true;
                    break;
                }
                // ':' before a break, a tab or a flow indicator is left to the parser.
                if (space_or_break(after) || after == '\t' || after == ',' || after == '?' || after == '[' ||
                    after == ']' || after == '{' || after == '}') {
                    return false;
                }
            } else if (*q == '#') {
                if (q[-1] == ' ') return false;  // a comment inside an open collection
            } else {
                break;  // ',' or a bracket
            }
            ++q;
        }
        const char* stop = q;
        while (stop[-1] == ' ') --stop;
        out.text = std::string_view(p_, static_cast<std::size_t>(stop - p_));
        out.style = ScalarStyle::Plain;
        p_ = colon ? q : stop;
        return true;
    }

    const char* p_;
    const char* const end_;
    const char* line_;  // start of the line p_ is on
    long col_ = -1;     // column of the line with content at p_; -1 at the end
    std::size_t breaks_ = 0;       // line feeds before that line
    bool passed_comment_ = false;  // a comment line among them
    bool line_comment_ = false;    // a comment at the end of the last line
    int depth_ = 0;
    Sink& sink_;
    std::string scratch_;      // quoted text with its escapes undone, block scalars
    std::string tag_scratch_;  // a tag with its handle resolved
};

// The fast scanner's events for `text` into `sink`, or false when it gave up.
// The parser reads CR LF exactly as LF (positions aside, which the fast
// scanner's events do not carry), so a text whose carriage returns all stand
// before a line feed is read without them; any other carriage return is a
// line break of its own, which is left to the parser.
template <class Sink>
bool fast_events(std::string_view text, Sink& sink) {
    const char* cr = text.empty() ? nullptr : static_cast<const char*>(std::memchr(text.data(), '\r', text.size()));
    if (cr == nullptr) return FastScanner<Sink>(text, sink).run();
    std::string lf;
    lf.reserve(text.size());
    const char* p = text.data();
    const char* const end = p + text.size();
    while (cr != nullptr) {
        if (cr + 1 == end || cr[1] != '\n') return false;
        lf.append(p, static_cast<std::size_t>(cr - p));
        p = cr + 1;
        cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
    }
    lf.append(p, static_cast<std::size_t>(end - p));
    return FastScanner<Sink>(lf, sink).run();
}

}  // namespace tabrix::yaml
