// The config tree: the one in-memory value that the YAML, TOML and JSONC codecs
// share between text and Python objects.
//
// Layout. A tree is one flat array of 16-byte nodes in pre-order (document
// order): a container node is followed directly by its children, each child by
// its own subtree. A container records how many nodes its subtree spans, so a
// reader skips a child in one step. A `Map` of n entries has 2n children:
// key, value, key, value, ... where every key is a `Str` node. Text (strings,
// keys, big-integer literals) lives in an arena owned by the tree or, when a
// parser hands its source buffer to the tree, points into that buffer.
//
// Building appends each node exactly once, in order; there is no per-node heap
// allocation, and copying a subtree (a YAML alias) is a copy of a node range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/spare.hpp"
#include "core/tree/arena.hpp"

namespace tabrix {

// Nesting limit of the Python-to-tree conversion, the tree-to-Python
// conversion and the interpolation walk: deeper values (or a list or dict
// that contains itself) fail with RecursionError and `kNestingMessage`.
inline constexpr std::size_t kMaxNesting = 1024;
inline constexpr std::string_view kNestingMessage =
    "maximum nesting depth of 1024 exceeded (does a container contain itself?)";

enum class Kind : std::uint8_t { Null, Bool, Int, BigInt, Float, Str, List, Map };

struct Node {
    // Low 4 bits: kind. Bit 4: text known to be ASCII (Str, BigInt).
    // Upper 56 bits: byte length (Str, BigInt), element count (List),
    // entry count (Map).
    std::uint64_t head;
    union {
        bool boolean;
        std::int64_t integer;
        double real;
        const char* text;
        std::uint64_t span;  // List, Map: nodes in the subtree, itself included
    };

    static constexpr std::uint64_t kAsciiFlag = 1u << 4;

    Kind kind() const noexcept { return static_cast<Kind>(head & 0xF); }
    std::uint64_t size() const noexcept { return head >> 8; }
    bool known_ascii() const noexcept { return (head & kAsciiFlag) != 0; }
    bool is_container() const noexcept { return kind() >= Kind::List; }
    std::string_view str() const noexcept { return {text, static_cast<std::size_t>(size())}; }

    // The node after this one's subtree: its next sibling, if it has one.
    const Node* skip() const noexcept { return this + (is_container() ? span : 1); }
    // First child of a container (the first key of a Map).
    const Node* first_child() const noexcept { return this + 1; }
};
static_assert(sizeof(Node) == 16);

class ConfigTree {
public:
    ConfigTree() = default;
    ConfigTree(ConfigTree&&) noexcept = default;
    ConfigTree& operator=(ConfigTree&&) noexcept = default;
    ~ConfigTree() {
        recycle_nodes(std::move(nodes_));
        SourceSpare::give(std::move(source_));
    }

    const Node& root() const noexcept { return nodes_.front(); }
    std::size_t node_count() const noexcept { return nodes_.size(); }

    // Node storage (and a parser's copy of its text) of a finished tree is
    // kept for the next tree, up to a bounded size.
    static std::vector<Node> take_nodes() noexcept { return NodeSpare::take(); }
    static void recycle_nodes(std::vector<Node>&& nodes) noexcept { NodeSpare::give(std::move(nodes)); }
    // An empty buffer for a parser's copy of its text, to be handed to the
    // tree with TreeBuilder::keep_source.
    static std::string take_source() noexcept { return SourceSpare::take(); }

private:
    friend class TreeBuilder;
    using NodeSpare = Spare<std::vector<Node>, std::size_t{4} << 20, struct NodeStorage>;
    using SourceSpare = Spare<std::string, std::size_t{8} << 20, struct SourceStorage>;

    std::vector<Node> nodes_;
    TextArena arena_;
    std::string source_;  // a parser's buffer that Str nodes may point into
};

// Appends nodes in pre-order. Every value is added with one call; containers
// are opened and closed around their children. For a Map, add the key (as a
// string) before each value.
class TreeBuilder {
public:
    explicit TreeBuilder(std::size_t expected_nodes = 0) {
        tree_.nodes_ = ConfigTree::take_nodes();
        if (expected_nodes) tree_.nodes_.reserve(expected_nodes);
    }

    void add_null() { push(make(Kind::Null, 0)).integer = 0; }
    void add_bool(bool value) { push(make(Kind::Bool, 0)).boolean = value; }
    void add_int(std::int64_t value) { push(make(Kind::Int, 0)).integer = value; }
    void add_float(double value) { push(make(Kind::Float, 0)).real = value; }
    // Decimal literal of an integer beyond 64 bits (copied).
    void add_big_int(std::string_view digits) {
        push(make(Kind::BigInt, digits.size()) | Node::kAsciiFlag).text = tree_.arena_.copy(digits);
    }
    // A string, copied into the tree's arena.
    void add_str(std::string_view text, bool ascii = false) {
        push(make(Kind::Str, text.size()) | (ascii ? Node::kAsciiFlag : 0)).text = tree_.arena_.copy(text);
    }
    // A Map's key: a string, as add_str (a walk that also feeds a JSON
    // writer, which tells keys from values, names it so).
    void add_key(std::string_view text, bool ascii = false) { add_str(text, ascii); }
    // A string whose bytes outlive the tree (the buffer given to keep_source
    // or keep_text, a text the caller keeps alive longer than the tree, or
    // static text): no copy.
    void add_str_view(std::string_view text, bool ascii = false) {
        push(make(Kind::Str, text.size()) | (ascii ? Node::kAsciiFlag : 0)).text = text.data();
    }
    // Room for a string of at most `max_size` bytes, to be filled by the caller
    // and finished with end_str.
    char* begin_str(std::size_t max_size) {
        pending_max_ = max_size;
        pending_ = tree_.arena_.allocate(max_size);
        return pending_;
    }
    void end_str(std::size_t used, bool ascii = false) {
        tree_.arena_.shrink_last(pending_max_ - used);
        push(make(Kind::Str, used) | (ascii ? Node::kAsciiFlag : 0)).text = used ? pending_ : "";
    }

    // A container whose entry count and span (itself and every node under
    // it) are known up front, for a converter that copies a finished
    // pre-order array node by node. Not mixed with begin_/end_ calls.
    void add_container(Kind kind, std::uint64_t count, std::uint64_t span) { push(make(kind, count)).span = span; }

    void begin_list() { open(Kind::List); }
    void end_list() { close(); }
    void begin_map() { open(Kind::Map); }
    void end_map() { close(); }

    // Appends whole finished nodes, with every count and span in place, for
    // a converter whose array has the tree's layout already (a plain YAML
    // document). Not mixed with begin_/end_ calls.
    void add_nodes(const Node* first, const Node* last) { tree_.nodes_.insert(tree_.nodes_.end(), first, last); }

    // The same for a whole array, taken over instead of copied; the builder
    // holds no node yet.
    void adopt_nodes(std::vector<Node>&& nodes) {
        ConfigTree::recycle_nodes(std::move(tree_.nodes_));
        tree_.nodes_ = std::move(nodes);
    }

    // Appends a copy of a subtree taken from this builder's own finished nodes
    // (`first` is the index of its first node, as given by mark()).
    void add_copy(std::size_t first) {
        const std::size_t count = tree_.nodes_[first].is_container() ? tree_.nodes_[first].span : 1;
        count_child();
        tree_.nodes_.reserve(tree_.nodes_.size() + count);
        for (std::size_t i = 0; i < count; ++i) tree_.nodes_.push_back(tree_.nodes_[first + i]);
    }
    // Index of the next node to be added (for add_copy).
    std::size_t mark() const noexcept { return tree_.nodes_.size(); }

    // Number of containers currently open.
    std::size_t depth() const noexcept { return open_.size(); }

    // Hands the tree a buffer that Str nodes added with add_str_view point into.
    void keep_source(std::string source) { tree_.source_ = std::move(source); }
    // Hands the tree an arena that Str nodes added with add_str_view point into.
    void keep_text(TextArena&& text) { tree_.arena_.absorb(std::move(text)); }

    // The finished tree. Exactly one root value must have been added and every
    // container closed.
    ConfigTree finish() { return std::move(tree_); }

private:
    struct Open {
        std::size_t index;
        std::uint64_t children;
    };

    static std::uint64_t make(Kind kind, std::uint64_t size) noexcept {
        return static_cast<std::uint64_t>(kind) | (size << 8);
    }
    [[gnu::always_inline]] void count_child() noexcept {
        if (!open_.empty()) ++open_.back().children;
    }
    [[gnu::always_inline]] Node& push(std::uint64_t head) {
        count_child();
        Node& node = tree_.nodes_.emplace_back();
        node.head = head;
        return node;
    }
    void open(Kind kind) {
        count_child();
        open_.push_back(Open{tree_.nodes_.size(), 0});
        tree_.nodes_.emplace_back().head = make(kind, 0);
    }
    void close() {
        const Open frame = open_.back();
        open_.pop_back();
        Node& node = tree_.nodes_[frame.index];
        const std::uint64_t count = node.kind() == Kind::Map ? frame.children / 2 : frame.children;
        node.head = make(node.kind(), count);
        node.span = tree_.nodes_.size() - frame.index;
    }

    ConfigTree tree_;
    std::vector<Open> open_;
    char* pending_ = nullptr;
    std::size_t pending_max_ = 0;
};

}  // namespace tabrix
