// Compact strict JSON text: no blanks, no line breaks, keys in the order
// given, non-ASCII text unescaped. Infinities are written 1e999 and -1e999,
// which read back as infinities; a NaN has no JSON form and is refused.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/error.hpp"
#include "core/number/float_text.hpp"
#include "core/text/out_buffer.hpp"
#include "core/text/scan.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::jsonc {

Status write_json(OutBuffer& out, const ConfigTree& tree);

// A JSON string literal: quotes, the two-character escapes for \" \\ \b \t
// \n \f \r, \u00XX for the other control characters, everything else as is.
void write_json_string(OutBuffer& out, std::string_view text);

// Whether any of the 8 bytes of `word` needs an escape (exact: a byte that
// does not is never reported without one that does).
inline bool word_needs_escape(std::uint64_t word) noexcept {
    const std::uint64_t control = (word - scan::broadcast(0x20)) & ~word & 0x8080808080808080ULL;
    return (control | scan::zero_bytes(word ^ scan::broadcast('"')) | scan::zero_bytes(word ^ scan::broadcast('\\'))) != 0;
}

// Text up to this long is tried whole by copy_unescaped.
inline constexpr std::size_t kShortText = 32;

// Copies the `size` bytes (at most kShortText) at `text` to `w` with a few
// overlapping word moves, and tells whether none of them needs an escape;
// when one does, what it wrote is garbage to be written over. Most keys and
// values of a config are such text: this saves the call and the byte loop
// of write_json_string, and reads nothing outside the text.
inline bool copy_unescaped(char* w, const char* text, std::size_t size) noexcept {
    std::uint64_t head, tail;
    if (size >= 8) {
        head = scan::load64(text);
        tail = scan::load64(text + size - 8);
        bool clean = !word_needs_escape(head) && !word_needs_escape(tail);
        if (size > 16) {
            const std::uint64_t second = scan::load64(text + 8);
            const std::uint64_t third = scan::load64(text + size - 16);
            clean = clean && !word_needs_escape(second) && !word_needs_escape(third);
            std::memcpy(w + 8, &second, 8);
            std::memcpy(w + size - 16, &third, 8);
        }
        std::memcpy(w, &head, 8);
        std::memcpy(w + size - 8, &tail, 8);
        return clean;
    }
    if (size >= 4) {
        std::uint32_t first, last;
        std::memcpy(&first, text, 4);
        std::memcpy(&last, text + size - 4, 4);
        std::memcpy(w, &first, 4);
        std::memcpy(w + size - 4, &last, 4);
        return !word_needs_escape(first | (std::uint64_t{last} << 32));
    }
    if (size == 0) return true;
    // One to three bytes: the first, the middle and the last; the word's
    // other bytes are spaces, which need no escape.
    const unsigned char a = static_cast<unsigned char>(text[0]);
    const unsigned char b = static_cast<unsigned char>(text[size / 2]);
    const unsigned char c = static_cast<unsigned char>(text[size - 1]);
    w[0] = static_cast<char>(a);
    w[size / 2] = static_cast<char>(b);
    w[size - 1] = static_cast<char>(c);
    return !word_needs_escape(scan::broadcast(' ') << 24 | std::uint64_t{c} << 16 | std::uint64_t{b} << 8 | a);
}

// Writes JSON from the values of a walk, given in document order with the
// calls a TreeBuilder takes (a Map's key before each of its values, through
// add_key). write_json walks a tree into it; jsonc.dumps walks the Python
// value into it directly, which saves building the tree of a value that is
// written once.
class JsonEmitter {
public:
    explicit JsonEmitter(OutBuffer& out) noexcept : out_(out) {}

    void add_null() { value("null", 4); }
    void add_bool(bool b) { b ? value("true", 4) : value("false", 5); }
    void add_int(std::int64_t number) {
        const bool comma = comma_;
        comma_ = true;
        char* const start = out_.room(kMaxIntText + 1);
        *start = ',';
        out_.commit(static_cast<std::size_t>(write_int(start + comma, number) - start));
    }
    // Decimal literal of an integer beyond 64 bits.
    void add_big_int(std::string_view digits) { value(digits.data(), digits.size()); }
    // JSON has no infinity, but a number too large for a double reads back
    // as one. A NaN is written as null and remembered: the caller refuses
    // the text (see saw_nan).
    void add_float(double number) {
        if (std::isfinite(number)) [[likely]] {
            separate();
            write_float_shortest(out_, number);
        } else if (number > 0) {
            value("1e999", 5);
        } else if (number < 0) {
            value("-1e999", 6);
        } else {
            add_null();
            nan_ = true;
        }
    }
    // `ascii`: the caller knows the text to be ASCII (false: it may not be).
    void add_str(std::string_view text, bool ascii = false) { string<false>(text, ascii); }
    void add_key(std::string_view text, bool ascii = false) { string<true>(text, ascii); }
    void begin_list() { open('['); }
    void end_list() { close(']'); }
    void begin_map() { open('{'); }
    void end_map() { close('}'); }

    // Whether every string written was known to be ASCII, so that the whole
    // text is (numbers and punctuation are).
    bool ascii() const noexcept { return ascii_; }
    // Whether a NaN was given, which makes the text unfit to be returned.
    bool saw_nan() const noexcept { return nan_; }
    static Error nan_error() { return value_error("nan has no json form"); }

private:
    void separate() {
        if (comma_) out_.push(',');
        comma_ = true;
    }
    void value(const char* text, std::size_t size) {
        separate();
        out_.append(text, size);
    }
    // A value, or a key with its colon, with the comma before it. Short
    // text without escapes goes in one reservation of the buffer, the rest
    // through write_json_string.
    template <bool kKey>
    void string(std::string_view text, bool ascii) {
        ascii_ &= ascii;
        const bool comma = comma_;
        comma_ = !kKey;
        const std::size_t size = text.size();
        if (size <= kShortText) [[likely]] {
            char* const start = out_.room(kShortText + 4);
            char* w = start;
            *w = ',';
            w += comma;
            *w++ = '"';
            if (copy_unescaped(w, text.data(), size)) [[likely]] {
                w += size;
                *w++ = '"';
                if constexpr (kKey) *w++ = ':';
                out_.commit(static_cast<std::size_t>(w - start));
                return;
            }
        }
        if (comma) out_.push(',');
        write_json_string(out_, text);
        if constexpr (kKey) out_.push(':');
    }
    void open(char bracket) {
        if (comma_) out_.push(',');
        out_.push(bracket);
        comma_ = false;
    }
    void close(char bracket) {
        out_.push(bracket);
        comma_ = true;
    }

    OutBuffer& out_;
    bool comma_ = false;  // the next value or key follows another
    bool ascii_ = true;
    bool nan_ = false;
};

}  // namespace tabrix::jsonc
