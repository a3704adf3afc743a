#include "core/yaml/to_tree.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/number/float_text.hpp"
#include "core/text/out_buffer.hpp"
#include "core/text/scan.hpp"
#include "core/tree/arena.hpp"

namespace tabrix::yaml {

namespace {

// Copies a finished subtree of another config tree into `out`; returns the
// node after it. Depth is bounded by the conversion that built the source.
const Node* append_copy(TreeBuilder& out, const Node* node) {
    switch (node->kind()) {
        case Kind::Null: out.add_null(); return node + 1;
        case Kind::Bool: out.add_bool(node->boolean); return node + 1;
        case Kind::Int: out.add_int(node->integer); return node + 1;
        case Kind::Float: out.add_float(node->real); return node + 1;
        case Kind::BigInt: out.add_big_int(node->str()); return node + 1;
        case Kind::Str: out.add_str(node->str(), node->known_ascii()); return node + 1;
        case Kind::List: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            out.begin_list();
            for (std::uint64_t i = 0; i < count; ++i) child = append_copy(out, child);
            out.end_list();
            return child;
        }
        case Kind::Map: {
            const std::uint64_t count = node->size();
            const Node* child = node->first_child();
            out.begin_map();
            for (std::uint64_t i = 0; i < count; ++i) {
                out.add_str(child->str(), child->known_ascii());
                child = append_copy(out, child + 1);
            }
            out.end_map();
            return child;
        }
    }
    return node + 1;
}

// One mapping with merge keys: its converted merge sources and the key
// texts of its entries so far.
struct MergeState {
    std::vector<ConfigTree> sources;
    std::unordered_set<std::string_view> keys;
    TextArena texts;  // copies of the key texts, which stay put
};

// Converts document nodes, counting each against the budget. The walks
// return false on failure, with the error in `error`.
class Converter {
public:
    Converter(const Document& doc, std::uint64_t budget) : doc_(doc), budget_(budget) {}

    bool convert(TreeBuilder& out, std::uint64_t index, std::size_t depth) {
        if (budget_ == 0) [[unlikely]] return fail(value_error("node budget exceeded (alias expansion?)"));
        --budget_;
        const std::uint64_t at = doc_.resolve(index);
        const DocNode& node = doc_.nodes[at];
        switch (kind_of(node)) {
            case NodeKind::Null: out.add_null(); return true;
            case NodeKind::Boolean: out.add_bool(node.boolean); return true;
            case NodeKind::Integer: out.add_int(node.integer); return true;
            case NodeKind::Float: out.add_float(node.real); return true;
            case NodeKind::String: out.add_str_view(doc_.str(node), node.known_ascii()); return true;
            case NodeKind::Tagged: return convert(out, at + 2, depth);  // the tag is dropped
            case NodeKind::Sequence: {
                if (depth >= kMaxNesting) [[unlikely]] return fail(recursion_error(std::string(kNestingMessage)));
                out.begin_list();
                const std::uint64_t end = at + node.span;
                for (std::uint64_t child = at + 1; child < end; child = doc_.next(child)) {
                    if (!convert(out, child, depth + 1)) return false;
                }
                out.end_list();
                return true;
            }
            case NodeKind::Mapping:
                if (depth >= kMaxNesting) [[unlikely]] return fail(recursion_error(std::string(kNestingMessage)));
                return mapping(out, at, depth);
            default:
                return fail(value_error("unsupported YAML node: BadValue"));
        }
    }

    Error error;

private:
    bool mapping(TreeBuilder& out, std::uint64_t at, std::size_t depth) {
        const DocNode& node = doc_.nodes[at];
        // Kept off the stack: this frame recurses once per nesting level.
        std::unique_ptr<MergeState> merges;
        if (has_flag(node, kMergeKey)) merges = std::make_unique<MergeState>();
        out.begin_map();
        const std::uint64_t end = at + node.span;
        for (std::uint64_t key = at + 1; key < end;) {
            const std::uint64_t value = doc_.next(key);
            const std::uint64_t after = doc_.next(value);
            if (!has_flag(doc_.nodes[key], kDeadEntry)) {
                const std::uint64_t key_node = doc_.entry_key(key);
                const DocNode& k = doc_.nodes[doc_.resolve(key_node)];
                if (!is_value(k)) [[unlikely]] return non_scalar_key(key_node);
                const std::string_view text = key_text(k);
                if (merges && text == "<<" && is_collection(value)) {
                    if (!add_merge_source(value, depth, *merges)) return false;
                } else {
                    if (kind_of(k) == NodeKind::String || kind_of(k) == NodeKind::Null || kind_of(k) == NodeKind::Boolean) {
                        // The YAML text, the document's arena or static text.
                        out.add_str_view(text, kind_of(k) != NodeKind::String || k.known_ascii());
                    } else {
                        out.add_str(text, true);  // digits, signs, '.', "NaN", "inf"
                    }
                    if (!convert(out, value, depth + 1)) return false;
                    if (merges) merges->keys.insert(std::string_view(merges->texts.copy(text), text.size()));
                }
            }
            key = after;
        }
        if (merges) {
            // Explicit keys win over merged ones; earlier sources over later.
            for (const ConfigTree& source : merges->sources) merge(out, &source.root(), *merges);
        }
        out.end_map();
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool fail(Error failure) {
        error = std::move(failure);
        return false;
    }

    // The value of a "<<" key, converted on its own for the merge step.
    [[gnu::noinline]] bool add_merge_source(std::uint64_t value, std::size_t depth, MergeState& merges) {
        TreeBuilder source;
        if (!convert(source, value, depth + 1)) return false;
        merges.sources.push_back(source.finish());
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool non_scalar_key(std::uint64_t key) {
        return fail(value_error("non-scalar YAML mapping key: " + render_node(doc_, key)));
    }

    // Appends the entries of a merge source whose key text is not present yet.
    void merge(TreeBuilder& out, const Node* source, MergeState& state) {
        if (source->kind() == Kind::Map) {
            const Node* child = source->first_child();
            for (std::uint64_t i = 0; i < source->size(); ++i) {
                const std::string_view key = child->str();
                if (state.keys.insert(key).second) {
                    out.add_str(key, child->known_ascii());
                    child = append_copy(out, child + 1);
                } else {
                    child = (child + 1)->skip();
                }
            }
        } else if (source->kind() == Kind::List) {
            const Node* child = source->first_child();
            for (std::uint64_t i = 0; i < source->size(); ++i) {
                merge(out, child, state);
                child = child->skip();
            }
        }
    }

    bool is_collection(std::uint64_t index) const {
        std::uint64_t at = doc_.resolve(index);
        if (kind_of(doc_.nodes[at]) == NodeKind::Tagged) at += 2;
        const NodeKind kind = kind_of(doc_.nodes[at]);
        return kind == NodeKind::Sequence || kind == NodeKind::Mapping;
    }

    // The text of a scalar key. Numbers are written into scratch_, valid
    // until the next call.
    std::string_view key_text(const DocNode& key) {
        switch (kind_of(key)) {
            case NodeKind::Null: return "null";
            case NodeKind::Boolean: return key.boolean ? "true" : "false";
            case NodeKind::Integer: {
                char* end = std::to_chars(digits_, digits_ + sizeof digits_, key.integer).ptr;
                return {digits_, static_cast<std::size_t>(end - digits_)};
            }
            case NodeKind::Float: return float_key_text(key.real);
            default: return doc_.str(key);
        }
    }

    [[gnu::noinline]] std::string_view float_key_text(double value) {
        if (std::isnan(value)) return "NaN";
        if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
        OutBuffer text;
        write_float_positional(text, value);
        scratch_.assign(text.data(), text.size());
        return scratch_;
    }

    const Document& doc_;
    std::uint64_t budget_;
    char digits_[24];
    std::string scratch_;
};

// A plain document (see Document) is already the tree, with every count
// and span in place: the tree takes its array (or the root's part of it) and
// its arena, which some of its strings point into.
ConfigTree copy_plain(Document& doc, std::uint64_t root) {
    const std::uint64_t end = doc.next(root);
    TreeBuilder out;
    if (root == 0 && end == doc.nodes.size()) {
        out.adopt_nodes(std::move(doc.nodes));
    } else {
        out.add_nodes(doc.nodes.data() + root, doc.nodes.data() + end);
    }
    out.keep_text(std::move(doc.text));
    return out.finish();
}

}  // namespace

Result<ConfigTree> to_config_tree(Document&& doc, std::uint64_t root, std::uint64_t budget) {
    // Nesting is bounded by the loader's depth limit, far below the tree's.
    if (doc.plain && doc.next(root) - root <= budget) return copy_plain(doc, root);
    TreeBuilder out(std::min<std::size_t>(doc.nodes.size(), 2 * budget + 1));
    Converter converter(doc, budget);
    if (!converter.convert(out, root, 0)) return std::move(converter.error);
    out.keep_text(std::move(doc.text));
    return out.finish();
}

}  // namespace tabrix::yaml
