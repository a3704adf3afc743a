#include "core/jsonc/json_writer.hpp"

#include <array>
#include <cstring>

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
        // Short strings (most keys and many values), with room for the worst
        // case reserved once: eight bytes at a time while none needs an
        // escape (a word test and a copy instead of eight table tests), then
        // byte by byte.
        char* const start = out.room(2 + 6 * text.size());
        char* w = start;
        *w++ = '"';
        bool verbatim = true;  // every byte so far copied as it is
        while (end - p >= 8) {
            const std::uint64_t word = scan::load64(p);
            if (word_needs_escape(word)) {
                verbatim = false;
                break;
            }
            std::memcpy(w, &word, 8);
            p += 8;
            w += 8;
        }
        // The last 1 to 7 bytes: one word that ends at the text's end, which
        // overlaps bytes already copied as they are (the word loop ran for
        // the whole text before), or two overlapping halves for a text of 4
        // to 7 bytes; byte by byte when one of them needs an escape.
        const std::size_t rest = static_cast<std::size_t>(end - p);
        if (rest != 0 && verbatim) {
            if (text.size() >= 8) {
                const std::uint64_t word = scan::load64(end - 8);
                if (!word_needs_escape(word)) {
                    std::memcpy(w + rest - 8, &word, 8);
                    w += rest;
                    p = end;
                }
            } else if (rest >= 4) {
                std::uint32_t head, tail;
                std::memcpy(&head, p, 4);
                std::memcpy(&tail, end - 4, 4);
                if (!word_needs_escape(head | (std::uint64_t{tail} << 32))) {
                    std::memcpy(w, &head, 4);
                    std::memcpy(w + rest - 4, &tail, 4);
                    w += rest;
                    p = end;
                }
            }
        }
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

// Gives the value at `node` to `emit` and returns the node after its subtree.
// Depth is bounded by whoever built the tree.
const Node* emit_value(JsonEmitter& emit, const Node* node) {
    switch (node->kind()) {
        case Kind::Null: emit.add_null(); break;
        case Kind::Bool: emit.add_bool(node->boolean); break;
        case Kind::Int: emit.add_int(node->integer); break;
        case Kind::BigInt: emit.add_big_int(node->str()); break;
        case Kind::Float: emit.add_float(node->real); break;
        case Kind::Str: emit.add_str(node->str(), node->known_ascii()); break;
        case Kind::List: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            emit.begin_list();
            for (std::uint64_t i = 0; i < count; ++i) child = emit_value(emit, child);
            emit.end_list();
            return child;
        }
        case Kind::Map: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            emit.begin_map();
            for (std::uint64_t i = 0; i < count; ++i) {
                emit.add_key(child->str(), child->known_ascii());
                child = emit_value(emit, child + 1);
            }
            emit.end_map();
            return child;
        }
    }
    return node + 1;
}

}  // namespace

Status write_json(OutBuffer& out, const ConfigTree& tree) {
    JsonEmitter emit(out);
    emit_value(emit, &tree.root());
    emit.finish();
    if (emit.saw_nan()) return JsonEmitter::nan_error();
    return Status::success();
}

}  // namespace tabrix::jsonc
