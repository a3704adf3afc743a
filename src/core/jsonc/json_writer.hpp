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
    JsonEmitter(const JsonEmitter&) = delete;
    JsonEmitter& operator=(const JsonEmitter&) = delete;

    void add_null() { literal("null", 4); }
    void add_bool(bool b) { b ? literal("true", 4) : literal("false", 5); }
    void add_int(std::int64_t number) {
        char* const start = room(kMaxIntText + 1);
        *start = ',';
        pos_ = write_int(start + comma_, number);
        comma_ = true;
    }
    // Decimal literal of an integer beyond 64 bits.
    void add_big_int(std::string_view digits) { literal(digits.data(), digits.size()); }
    // JSON has no infinity, but a number too large for a double reads back
    // as one. A NaN is written as null and remembered: the caller refuses
    // the text (see saw_nan).
    void add_float(double number) {
        if (std::isfinite(number)) [[likely]] {
            char* const start = room(kMaxFloatText + 1);
            *start = ',';
            pos_ = write_float_shortest(start + comma_, number);
            comma_ = true;
        } else if (number > 0) {
            literal("1e999", 5);
        } else if (number < 0) {
            literal("-1e999", 6);
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

    // Puts the text written so far in the buffer; called once the walk is
    // done, before the buffer is read.
    void finish() { sync(); }

    // Whether every string written was known to be ASCII, so that the whole
    // text is (numbers and punctuation are).
    bool ascii() const noexcept { return ascii_; }
    // Whether a NaN was given, which makes the text unfit to be returned.
    bool saw_nan() const noexcept { return nan_; }
    static Error nan_error() { return value_error("nan has no json form"); }

private:
    // The emitter writes at a cursor of its own into room taken from the
    // buffer a block at a time: each value costs one bounds test on the
    // emitter's members instead of loads and stores through the buffer.
    static constexpr std::size_t kBlock = 4096;

    char* room(std::size_t count) {
        if (static_cast<std::size_t>(limit_ - pos_) < count) [[unlikely]] refill(count);
        return pos_;
    }
    [[gnu::noinline]] void refill(std::size_t count) {
        sync();
        start_ = pos_ = out_.room(count + kBlock);
        limit_ = pos_ + count + kBlock;
    }
    // Hands what the cursor wrote to the buffer, for a writer that appends
    // to the buffer itself; resume() takes up the cursor after it.
    void sync() {
        out_.commit(static_cast<std::size_t>(pos_ - start_));
        start_ = pos_ = limit_ = nullptr;
    }
    void resume() {
        start_ = pos_ = out_.room(kBlock);
        limit_ = pos_ + kBlock;
    }

    void literal(const char* text, std::size_t size) {
        char* w = room(size + 1);
        *w = ',';
        w += comma_;
        std::memcpy(w, text, size);
        pos_ = w + size;
        comma_ = true;
    }
    // A value, or a key with its colon, with the comma before it. Short
    // text without escapes is copied whole at the cursor, the rest goes
    // through write_json_string.
    template <bool kKey>
    void string(std::string_view text, bool ascii) {
        ascii_ &= ascii;
        const bool comma = comma_;
        comma_ = !kKey;
        const std::size_t size = text.size();
        if (size <= kShortText) [[likely]] {
            char* w = room(kShortText + 4);
            *w = ',';
            w += comma;
            *w++ = '"';
            if (copy_unescaped(w, text.data(), size)) [[likely]] {
                w += size;
                *w++ = '"';
                if constexpr (kKey) *w++ = ':';
                pos_ = w;
                return;
            }
        }
        if (comma) *room(1) = ',', ++pos_;
        sync();
        write_json_string(out_, text);
        resume();
        if constexpr (kKey) *room(1) = ':', ++pos_;
    }
    void open(char bracket) {
        char* w = room(2);
        *w = ',';
        w += comma_;
        *w++ = bracket;
        pos_ = w;
        comma_ = false;
    }
    void close(char bracket) {
        *room(1) = bracket;
        ++pos_;
        comma_ = true;
    }

    OutBuffer& out_;
    char* start_ = nullptr;  // where the cursor's block began in the buffer
    char* pos_ = nullptr;
    char* limit_ = nullptr;
    bool comma_ = false;  // the next value or key follows another
    bool ascii_ = true;
    bool nan_ = false;
};

}  // namespace tabrix::jsonc
