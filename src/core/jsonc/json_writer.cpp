#include "core/jsonc/json_writer.hpp"

#include <array>
#include <cmath>

#include "core/number/float_text.hpp"
#include "core/text/scan.hpp"

namespace tabrix::jsonc {

namespace {

// Bytes a JSON string cannot hold as they are: the quote, the backslash and
// the control characters.
constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

// Writes the escape of one byte at `w`; returns its length.
inline std::size_t write_escape(char* w, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    w[0] = '\\';
    switch (c) {
        case '"': w[1] = '"'; return 2;
        case '\\': w[1] = '\\'; return 2;
        case '\b': w[1] = 'b'; return 2;
        case '\t': w[1] = 't'; return 2;
        case '\n': w[1] = 'n'; return 2;
        case '\f': w[1] = 'f'; return 2;
        case '\r': w[1] = 'r'; return 2;
        default:
            w[1] = 'u';
            w[2] = '0';
            w[3] = '0';
            w[4] = kHex[c >> 4];
            w[5] = kHex[c & 0xF];
            return 6;
    }
}

}  // namespace

void write_json_string(OutBuffer& out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (text.size() < 32) {
        // Short strings (most keys and many values): a table test per byte,
        // with room for the worst case reserved once.
        char* const start = out.room(2 + 6 * text.size());
        char* w = start;
        *w++ = '"';
        for (; p < end; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (!kNeedsEscape[c]) [[likely]] *w++ = static_cast<char>(c);
            else w += write_escape(w, c);
        }
        *w++ = '"';
        out.commit(static_cast<std::size_t>(w - start));
        return;
    }
    out.push('"');
    while (true) {
        const char* special = scan::find_any<true, '"', '\\'>(p, end);
        out.append(p, static_cast<std::size_t>(special - p));
        if (special == end) break;
        out.commit(write_escape(out.room(6), static_cast<unsigned char>(*special)));
        p = special + 1;
    }
    out.push('"');
}

namespace {

// Writes the value at `node` and returns the node after its subtree; a NaN
// is written as null and sets `nan`. Depth is bounded by whoever built the
// tree.
const Node* write_value(OutBuffer& out, const Node* node, bool& nan) {
    switch (node->kind()) {
        case Kind::Null:
            out.append("null", 4);
            return node + 1;
        case Kind::Bool:
            if (node->boolean) out.append("true", 4);
            else out.append("false", 5);
            return node + 1;
        case Kind::Int:
            write_int(out, node->integer);
            return node + 1;
        case Kind::BigInt:
            out.append(node->str());
            return node + 1;
        case Kind::Float:
            // JSON has no infinity, but a number too large for a double
            // reads back as one.
            if (std::isfinite(node->real)) write_float_shortest(out, node->real);
            else if (node->real > 0) out.append("1e999", 5);
            else if (node->real < 0) out.append("-1e999", 6);
            else {
                out.append("null", 4);
                nan = true;
            }
            return node + 1;
        case Kind::Str:
            write_json_string(out, node->str());
            return node + 1;
        case Kind::List: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            out.push('[');
            for (std::uint64_t i = 0; i < count; ++i) {
                if (i) out.push(',');
                child = write_value(out, child, nan);
            }
            out.push(']');
            return child;
        }
        case Kind::Map: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            out.push('{');
            for (std::uint64_t i = 0; i < count; ++i) {
                if (i) out.push(',');
                write_json_string(out, child->str());
                out.push(':');
                child = write_value(out, child + 1, nan);
            }
            out.push('}');
            return child;
        }
    }
    return node + 1;
}

}  // namespace

Status write_json(OutBuffer& out, const ConfigTree& tree) {
    bool nan = false;
    write_value(out, &tree.root(), nan);
    if (nan) return value_error("nan has no json form");
    return Status::success();
}

}  // namespace tabrix::jsonc
