// Compact strict JSON text: no blanks, no line breaks, keys in the order
// given, non-ASCII text unescaped. Infinities are written 1e999 and -1e999,
// which read back as infinities; a NaN has no JSON form and is refused.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/number/float_text.hpp"
#include "core/text/out_buffer.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::jsonc {

Status write_json(OutBuffer& out, const ConfigTree& tree);

// A JSON string literal: quotes, the two-character escapes for \" \\ \b \t
// \n \f \r, \u00XX for the other control characters, everything else as is.
void write_json_string(OutBuffer& out, std::string_view text);

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
        separate();
        write_int(out_, number);
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
    void add_str(std::string_view text, bool ascii = false) {
        separate();
        string(text, ascii);
    }
    void add_key(std::string_view text, bool ascii = false) {
        if (comma_) out_.push(',');
        string(text, ascii);
        out_.push(':');
        comma_ = false;
    }
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
    void string(std::string_view text, bool ascii) {
        ascii_ &= ascii;
        write_json_string(out_, text);
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
