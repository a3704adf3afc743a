// The YAML document node, built from the parser's events before it becomes a
// config tree.
//
// Layout. Like the config tree, a document is one flat pre-order array of
// 16-byte nodes: a collection is followed by its subtree and records its span,
// a mapping's children alternate key and value. A string points at its text:
// into the YAML text itself when the scalar is a piece of it (as a plain
// scalar on one line is), else into the document's arena, which the config
// tree takes over at the end. Nothing is allocated per node.
//
// A node is a config tree node, its kind numbers those of the tree for the
// values and collections, so that a plain document (below) is already a
// config tree and hands its array on to the tree as it is.
//
//  * A node written with a custom tag is a `Tagged` node followed by a
//    `TagName` node (the tag's text) and then the node itself.
//  * An alias is an `Alias` node holding the index of the anchored node,
//    which is complete and earlier in the array and never changes again: the
//    alias stands for a copy of it, and the copy is made only when the
//    document becomes a config tree, where the node budget bounds it.
//  * A repeated mapping key (equal by the YAML key rules) does not remove
//    anything: the earlier entry is marked dead (`kDeadEntry` on its key
//    node) and the new entry, physically last, is marked `kKeyElsewhere`:
//    it keeps the first key node of the entry, found in `first_keys`.
//    These two flags are read only on the key positions of a mapping walk,
//    never on a node reached through an alias.
//  * A Sequence or Mapping holds its element or entry count in the length
//    bits of its head.
//  * A document with none of the above (no tag, alias, merge key or repeated
//    key, no BadValue, only strings as keys) is `plain`: its array maps node
//    for node onto the config tree.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/tree/arena.hpp"
#include "core/tree/config_tree.hpp"

namespace tabrix::yaml {

// The values and collections are numbered as the config tree's kinds.
enum class NodeKind : std::uint8_t {
    Null = static_cast<std::uint8_t>(Kind::Null),
    Boolean = static_cast<std::uint8_t>(Kind::Bool),
    Integer = static_cast<std::uint8_t>(Kind::Int),
    Float = static_cast<std::uint8_t>(Kind::Float),
    String = static_cast<std::uint8_t>(Kind::Str),
    Sequence = static_cast<std::uint8_t>(Kind::List),  // payload: span; size bits: element count
    Mapping = static_cast<std::uint8_t>(Kind::Map),    // payload: span; size bits: entry count
    BadValue = 8,  // a value that cannot be determined ("!!int abc", an alias to an open node)
    Tagged,        // payload: span (itself, its TagName and the tagged node)
    TagName,       // text: the tag of the Tagged node before it
    Alias,         // payload: index of the anchored node
};
static_assert(static_cast<int>(NodeKind::Alias) < 16);

// A document node is a config tree node: a plain document's array becomes
// the tree's as it is. The YAML kinds and flags are read and written through
// the functions below. Bits: low 4, the kind; bit 4, text known to be ASCII
// (String); bits 5-7, the flags; the upper 56, the text length or a
// collection's count. Payload: `text` for String and TagName, `span` for
// Sequence, Mapping and Tagged, and for an Alias the index of its anchored node.
using DocNode = Node;

inline constexpr std::uint64_t kDeadEntry = 1;    // key node of a replaced entry
inline constexpr std::uint64_t kKeyElsewhere = 2;  // key node of an entry that keeps an earlier key
inline constexpr std::uint64_t kMergeKey = 4;      // on a Mapping: a key is the string "<<"

inline std::uint64_t doc_head(NodeKind kind, std::uint64_t size = 0) noexcept {
    return static_cast<std::uint64_t>(kind) | (size << 8);
}
inline NodeKind kind_of(const DocNode& node) noexcept { return static_cast<NodeKind>(node.head & 0xF); }
inline bool has_flag(const DocNode& node, std::uint64_t flag) noexcept { return ((node.head >> 5) & flag) != 0; }
inline void set_flag(DocNode& node, std::uint64_t flag) noexcept { node.head |= flag << 5; }
inline bool has_span(const DocNode& node) noexcept {
    const NodeKind k = kind_of(node);
    return k == NodeKind::Sequence || k == NodeKind::Mapping || k == NodeKind::Tagged;
}
inline bool is_value(const DocNode& node) noexcept { return kind_of(node) <= NodeKind::String; }

struct Document {
    // Node storage comes from, and goes back to, the kept config
    // tree nodes (a plain document hands its array on to its tree).
    Document() : nodes(ConfigTree::take_nodes()) {}
    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    ~Document() { ConfigTree::recycle_nodes(std::move(nodes)); }

    std::vector<DocNode> nodes;
    TextArena text;  // the texts that are not a piece of the YAML text
    bool plain = true;
    // Key node of an entry marked kKeyElsewhere -> the first key node it keeps.
    std::unordered_map<std::uint64_t, std::uint64_t> first_keys;

    static std::string_view str(const DocNode& node) noexcept {
        return {node.text, static_cast<std::size_t>(node.size())};
    }

    // The node an index stands for, through an alias.
    std::uint64_t resolve(std::uint64_t index) const noexcept {
        while (kind_of(nodes[index]) == NodeKind::Alias) index = nodes[index].span;
        return index;
    }
    // The index after the subtree at `index`.
    std::uint64_t next(std::uint64_t index) const noexcept {
        const DocNode& node = nodes[index];
        return index + (has_span(node) ? node.span : 1);
    }
    // The key node that the entry whose key is at `index` uses.
    std::uint64_t entry_key(std::uint64_t index) const {
        return has_flag(nodes[index], kKeyElsewhere) ? first_keys.at(index) : index;
    }
};

// Key equality of the YAML key rules: same kind and equal payload; strings by
// bytes, floats numerically with NaN equal to NaN, collections element by
// element (mappings in order), tags by text, every BadValue equal to every
// other. Aliases compare as the nodes they stand for.
bool keys_equal(const Document& doc, std::uint64_t a, std::uint64_t b);

// keys_equal with the common case, two scalars, inline.
inline bool keys_equal_fast(const Document& doc, std::uint64_t a, std::uint64_t b) {
    const DocNode& na = doc.nodes[doc.resolve(a)];
    const DocNode& nb = doc.nodes[doc.resolve(b)];
    if (kind_of(na) == NodeKind::String && kind_of(nb) == NodeKind::String) {
        return na.size() == nb.size() && doc.str(na) == doc.str(nb);
    }
    if (kind_of(na) != kind_of(nb)) return false;
    return keys_equal(doc, a, b);
}

// A hash consistent with keys_equal.
std::uint64_t key_hash(const Document& doc, std::uint64_t index, std::uint64_t seed);

// A diagnostic rendering of a node for messages, such as
// Sequence([Value(Integer(1)), Value(String("a"))]); long renderings are cut
// short with "...".
std::string render_node(const Document& doc, std::uint64_t index);

}  // namespace tabrix::yaml
