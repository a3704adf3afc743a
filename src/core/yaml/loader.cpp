#include "core/yaml/loader.hpp"

#include <chrono>
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/text/scan.hpp"
#include "core/text/utf8.hpp"
#include "core/yaml/document.hpp"
#include "core/yaml/fast_scanner.hpp"
#include "core/yaml/parser.hpp"
#include "core/yaml/resolve.hpp"
#include "core/yaml/to_tree.hpp"

namespace tabrix::yaml {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};
constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";
constexpr std::string_view kBudgetMessage = "node budget exceeded (alias expansion?)";

// ------------------------------------------------------------------ errors

// "{description} at byte {index} line {line} column {column}" for the fault
// at byte `offset` of `text` (the index counts characters).
[[gnu::cold, gnu::noinline]] Error parse_error(std::string_view description, std::string_view text, std::size_t offset) {
    const Location at = locate(text, offset);
    std::string message(description);
    message += " at byte ";
    message += std::to_string(at.index);
    message += " line ";
    message += std::to_string(at.line + 1);
    message += " column ";
    message += std::to_string(at.column + 1);
    return value_error(std::move(message));
}

// ------------------------------------------------------------------ node budget

// The counting pass: how many nodes each open document and collection stands
// for, aliases counted at the size of their anchored node. Fails as soon as a
// count passes the budget, before any copy of an anchored node is made.
class NodeCounter {
public:
    Status document_start() {
        frames_.push_back(Frame{0, 0, true});
        return Status();
    }
    Status collection_start(std::uint64_t anchor) {
        frames_.push_back(Frame{1, anchor, false});
        return Status();
    }
    Status scalar(std::uint64_t anchor) {
        record(anchor, 1);
        return add(1);
    }
    Status alias(std::uint64_t anchor) {
        const std::uint64_t size = anchor < sizes_.size() ? sizes_[anchor] : 0;
        return add(size ? size : 1);  // an alias to a node still open counts 1
    }
    Status collection_end() {
        if (frames_.empty()) return value_error("unbalanced container");
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (!frame.document) record(frame.anchor, frame.count);
        return add(frame.count);
    }
    Status document_end() {
        if (frames_.empty()) return value_error("unbalanced document");
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (frame.count > kNodeBudget) return value_error(std::string(kBudgetMessage));
        return Status();
    }

private:
    struct Frame {
        std::uint64_t count;
        std::uint64_t anchor;
        bool document;
    };

    void record(std::uint64_t anchor, std::uint64_t size) {
        if (anchor == 0) return;
        if (anchor >= sizes_.size()) sizes_.resize(anchor + 1, 0);
        if (size > sizes_[anchor]) sizes_[anchor] = size;
    }
    Status add(std::uint64_t amount) {
        if (frames_.empty()) return Status();
        std::uint64_t& count = frames_.back().count;
        count += amount;
        if (count > kNodeBudget) [[unlikely]] return value_error(std::string(kBudgetMessage));
        return Status();
    }

    std::vector<Frame> frames_;
    std::vector<std::uint64_t> sizes_;  // by anchor id; 0 = none recorded
};

// ------------------------------------------------------------------ builder

std::uint64_t hash_seed() noexcept {
    // Different in every process and call, so that no fixed set of keys
    // collides in the key tables.
    thread_local std::uint64_t counter = 0;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::uint64_t x = now ^ reinterpret_cast<std::uintptr_t>(&counter) ^ (++counter * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ULL;
    return x ^ (x >> 29);
}

// Builds the first document's node from the events, inserting each finished
// node into the innermost open collection.
class Builder {
public:
    // `source`: the YAML text, which outlives the document; `source_ascii`:
    // whether it is all ASCII.
    Builder(Document& doc, std::string_view source, bool source_ascii)
        : doc_(doc), source_(source), source_ascii_(source_ascii), seed_(hash_seed()) {}

    void scalar(std::string_view text, bool plain, std::string_view tag, bool tagged, std::uint64_t anchor) {
        const std::uint64_t slot = doc_.nodes.size();
        if (!tagged) {
            value(plain ? resolve_plain(text) : Scalar::string(), text);
        } else if (tag.starts_with(kCoreTagPrefix)) {
            value(plain ? resolve_core_tagged(tag.substr(kCoreTagPrefix.size()), text) : Scalar::string(), text);
        } else {
            push_tag(tag, 3);
            value(plain ? resolve_plain(text) : Scalar::string(), text);
        }
        insert(slot, anchor);
    }

    void start(bool mapping, std::string_view tag, bool tagged, std::uint64_t anchor) {
        const std::uint64_t slot = doc_.nodes.size();
        // A core tag on a collection is dropped; a custom one wraps it.
        if (tagged && !tag.starts_with(kCoreTagPrefix)) push_tag(tag, 0);
        const std::uint64_t node = doc_.nodes.size();
        doc_.nodes.push_back(DocNode{doc_head(mapping ? NodeKind::Mapping : NodeKind::Sequence), {}});
        // Its anchor gets its node only at the end: an alias met before that
        // is a bad value.
        frames_.push_back(Frame{node, slot, anchor, kNone, keys_.size(), 0, mapping, {}});
    }

    void end() {
        Frame& frame = frames_.back();
        const std::uint64_t size = doc_.nodes.size();
        DocNode& node = doc_.nodes[frame.node];
        node.span = size - frame.node;
        const std::uint64_t count = frame.mapping ? frame.children / 2 : frame.children;
        node.head = (node.head & 0xFF) | (count << 8);
        if (frame.slot != frame.node) doc_.nodes[frame.slot].span = size - frame.slot;
        keys_.resize(frame.keys_begin);
        const std::uint64_t slot = frame.slot;
        const std::uint64_t anchor = frame.anchor;
        frames_.pop_back();
        insert(slot, anchor);
    }

    void alias(std::uint64_t anchor) {
        const std::uint64_t slot = doc_.nodes.size();
        const std::uint64_t target = anchor < anchors_.size() ? anchors_[anchor] : kNone;
        doc_.plain = false;
        DocNode& node = doc_.nodes.emplace_back();
        if (target == kNone) {
            node.head = doc_head(NodeKind::BadValue);
            node.integer = 0;
        } else {
            node.head = doc_head(NodeKind::Alias);
            node.span = target;
        }
        insert(slot, 0);
    }

    std::uint64_t root() const noexcept { return root_; }

private:
    struct KeySlot {
        std::uint64_t index;
        std::uint64_t hash;
    };
    struct Frame {
        std::uint64_t node;        // the Sequence or Mapping
        std::uint64_t slot;        // its Tagged wrapper, or the node itself
        std::uint64_t anchor;
        std::uint64_t pending;     // a mapping's key waiting for its value
        std::size_t keys_begin;    // this mapping's live keys in keys_
        std::uint64_t children;    // nodes inserted, keys and values alike
        bool mapping;
        std::vector<std::uint64_t> table;  // key positions + 1 by hash, for large mappings
    };
    static constexpr std::size_t kLinearKeys = 12;

    // Inlined: it runs once per scalar, and the call cost a few percent of a load.
    [[gnu::always_inline]] void value(const Scalar& scalar, std::string_view text) {
        DocNode& node = doc_.nodes.emplace_back();
        switch (scalar.kind) {
            case Scalar::Kind::Null:
                node.head = doc_head(NodeKind::Null);
                node.integer = 0;
                return;
            case Scalar::Kind::Boolean:
                node.head = doc_head(NodeKind::Boolean);
                node.integer = 0;
                node.boolean = scalar.boolean;
                return;
            case Scalar::Kind::Integer:
                node.head = doc_head(NodeKind::Integer);
                node.integer = scalar.integer;
                return;
            case Scalar::Kind::Float:
                node.head = doc_head(NodeKind::Float);
                node.real = scalar.real;
                return;
            case Scalar::Kind::String:
                // A piece of the YAML text is pointed at, not copied; a text
                // the scanner or parser made (quoted, folded, on several
                // lines) goes to the arena.
                if (text.data() >= source_.data() && text.data() + text.size() <= source_.data() + source_.size()) {
                    node.head = doc_head(NodeKind::String, text.size()) | (source_ascii_ ? Node::kAsciiFlag : 0);
                    node.text = text.data();
                } else {
                    node.head = doc_head(NodeKind::String, text.size()) |
                                (scan::is_ascii(text.data(), text.size()) ? Node::kAsciiFlag : 0);
                    node.text = doc_.text.copy(text);
                }
                return;
            case Scalar::Kind::Bad:
                node.head = doc_head(NodeKind::BadValue);
                node.integer = 0;
                doc_.plain = false;
                return;
        }
    }

    void push_tag(std::string_view tag, std::uint64_t span) {
        doc_.plain = false;
        DocNode& wrapper = doc_.nodes.emplace_back();
        wrapper.head = doc_head(NodeKind::Tagged);
        wrapper.span = span;
        DocNode& name = doc_.nodes.emplace_back();
        name.head = doc_head(NodeKind::TagName, tag.size());
        name.text = doc_.text.copy(tag);
    }

    void set_anchor(std::uint64_t anchor, std::uint64_t index) {
        if (anchor >= anchors_.size()) anchors_.resize(anchor + 1, kNone);
        anchors_[anchor] = index;
    }

    void insert(std::uint64_t slot, std::uint64_t anchor) {
        if (anchor) set_anchor(anchor, slot);
        if (frames_.empty()) {
            root_ = slot;
            return;
        }
        Frame& frame = frames_.back();
        ++frame.children;
        if (!frame.mapping) return;
        if (frame.pending == kNone) {
            frame.pending = slot;
            return;
        }
        add_entry(frame, frame.pending);
        frame.pending = kNone;
    }

    // A new entry whose key node is at `key` (its value follows it): an
    // equal live key makes the older entry dead, and the new one, last in
    // order, keeps the older entry's first key node. Small mappings compare
    // keys one by one; larger ones keep a hash table of their keys.
    void add_entry(Frame& frame, std::uint64_t key) {
        // In a small mapping the slot holds the key's fingerprint, in a large
        // one its hash.
        const DocNode& resolved = doc_.nodes[doc_.resolve(key)];
        const bool hashed = !frame.table.empty();
        const std::uint64_t hash = hashed ? key_hash(doc_, key, seed_) : fingerprint(resolved);
        const std::size_t found = hashed ? find_hashed(frame, key, hash) : find_linear(frame, key, hash);
        if (found != kNotFound) {
            doc_.plain = false;
            const std::uint64_t old = keys_[found].index;
            const std::uint64_t first = doc_.entry_key(old);
            set_flag(doc_.nodes[old], kDeadEntry);
            doc_.first_keys.erase(old);
            set_flag(doc_.nodes[key], kKeyElsewhere);
            doc_.first_keys[key] = first;
            keys_[found].index = key;
            return;
        }
        keys_.push_back(KeySlot{key, hash});
        const std::size_t count = keys_.size() - frame.keys_begin;
        if (hashed) {
            table_insert(frame, count - 1);
        } else if (count > kLinearKeys) {
            for (std::size_t p = frame.keys_begin; p < keys_.size(); ++p) {
                keys_[p].hash = key_hash(doc_, keys_[p].index, seed_);
            }
            rebuild(frame, 64);
        }
        if (kind_of(resolved) != NodeKind::String) {
            doc_.plain = false;
        } else if (resolved.size() == 2 && doc_.str(resolved) == "<<") {
            set_flag(doc_.nodes[frame.node], kMergeKey);
            doc_.plain = false;
        }
    }

    static constexpr std::size_t kNotFound = ~std::size_t{0};

    // Equal keys have equal fingerprints: a string's length with its first
    // and last four bytes, one constant for every other kind.
    static std::uint64_t fingerprint(const DocNode& node) noexcept {
        if (kind_of(node) != NodeKind::String) return 1;
        const std::string_view text = Document::str(node);
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t size = text.size();
        std::uint64_t bytes;
        if (size >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, p, 4);
            std::memcpy(&tail, p + size - 4, 4);
            bytes = (std::uint64_t{head} << 32) | tail;
        } else if (size > 0) {
            bytes = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[size / 2]} << 8) | p[size - 1];
        } else {
            bytes = 0;
        }
        return bytes ^ (std::uint64_t{size} * 0x9E3779B97F4A7C15ULL);
    }

    std::size_t find_linear(const Frame& frame, std::uint64_t key, std::uint64_t print) const {
        const KeySlot* const first = keys_.data();
        for (const KeySlot *slot = first + frame.keys_begin, *end = first + keys_.size(); slot != end; ++slot) {
            if (slot->hash == print && keys_equal_fast(doc_, slot->index, key)) [[unlikely]] {
                return static_cast<std::size_t>(slot - first);
            }
        }
        return kNotFound;
    }

    std::size_t find_hashed(const Frame& frame, std::uint64_t key, std::uint64_t hash) const {
        const std::size_t mask = frame.table.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const std::uint64_t entry = frame.table[i];
            if (entry == 0) return kNotFound;
            const std::size_t p = frame.keys_begin + entry - 1;
            if (keys_[p].hash == hash && keys_equal(doc_, keys_[p].index, key)) return p;
        }
    }

    void table_insert(Frame& frame, std::size_t position) {
        const std::size_t count = position + 1;
        if (count * 2 > frame.table.size()) {
            rebuild(frame, frame.table.size() * 2);
            return;
        }
        place(frame, position);
    }
    void place(Frame& frame, std::size_t position) {
        const std::size_t mask = frame.table.size() - 1;
        std::size_t i = keys_[frame.keys_begin + position].hash & mask;
        while (frame.table[i] != 0) i = (i + 1) & mask;
        frame.table[i] = position + 1;
    }
    void rebuild(Frame& frame, std::size_t size) {
        frame.table.assign(size, 0);
        const std::size_t count = keys_.size() - frame.keys_begin;
        for (std::size_t position = 0; position < count; ++position) place(frame, position);
    }

    Document& doc_;
    std::string_view source_;
    bool source_ascii_;
    std::uint64_t seed_;
    std::vector<Frame> frames_;
    std::vector<KeySlot> keys_;          // live keys of the open mappings, innermost last
    std::vector<std::uint64_t> anchors_;  // anchor id -> finished node, kNone while open
    std::uint64_t root_ = kNone;
};

// ------------------------------------------------------------------ the load

// Takes the events of one text, from the parser or from the fast scanner,
// counts nodes (when the text holds an "&"), builds the documents and counts
// them: the first one only, or each one in turn, converted into a config
// tree as soon as it ends. Each handler returns false when the load fails,
// with the error in `error`; positions are byte offsets into the text.
class Loader {
public:
    Loader(std::string_view text, bool count_nodes, bool all)
        : text_(text), ascii_(scan::is_ascii(text.data(), text.size())), count_nodes_(count_nodes), all_(all) {
        // Room for the usual case, so that the node array rarely moves: a
        // node takes a few bytes of text at least.
        doc_.nodes.reserve(std::min<std::size_t>(text.size() / 4 + 16, std::size_t{1} << 23));
    }

    bool stream_end(std::size_t at) {
        if (in_document_) return fail(expected_document_start(at));
        return true;
    }

    bool document_start(std::size_t at) {
        if (in_document_) return fail(expected_document_start(at));
        in_document_ = true;
        building_ = all_ || documents_ == 0;
        // Anchors belong to their document.
        anchor_ids_.clear();
        if (building_ && !builder_) builder_.emplace(doc_, text_, ascii_);
        return !count_nodes_ || check(counter_.document_start());
    }

    bool document_end() {
        in_document_ = false;
        if (building_) root_ = builder_->root();
        ++documents_;
        if (count_nodes_ && !check(counter_.document_end())) return false;
        if (building_ && all_) {
            builder_.reset();
            Result<ConfigTree> tree = to_config_tree(std::move(doc_), root_, budget_);
            doc_ = Document();
            if (!tree) return fail(std::move(tree).error());
            const std::uint64_t used = tree.value().node_count();
            budget_ = used < budget_ ? budget_ - used : 0;
            trees_.push_back(std::move(tree).value());
        }
        building_ = false;
        return true;
    }

    bool scalar(std::string_view text, bool plain, std::string_view tag, bool tagged, std::string_view anchor_name,
                std::size_t at) {
        if (!in_document_) [[unlikely]] return fail(expected_document_start(at));
        const std::uint64_t anchor = define(anchor_name);
        if (count_nodes_ && !check(counter_.scalar(anchor))) return false;
        if (building_) {
            // An empty node is a plain scalar of no characters: null.
            if (plain && text.empty()) text = "~";
            builder_->scalar(text, plain, tag, tagged, anchor);
        }
        return true;
    }

    bool collection_start(bool mapping, std::string_view tag, bool tagged, std::string_view anchor_name,
                          std::size_t at) {
        if (!in_document_) [[unlikely]] return fail(expected_document_start(at));
        if (depth_ >= kMaxDepth) [[unlikely]] return fail(parse_error("recursion limit exceeded", text_, at));
        ++depth_;
        const std::uint64_t anchor = define(anchor_name);
        if (count_nodes_ && !check(counter_.collection_start(anchor))) return false;
        if (building_) builder_->start(mapping, tag, tagged, anchor);
        return true;
    }

    bool collection_end() {
        if (depth_ > 0) --depth_;
        if (count_nodes_ && !check(counter_.collection_end())) return false;
        if (building_) builder_->end();
        return true;
    }

    bool alias(std::string_view name, std::size_t at) {
        if (!in_document_) [[unlikely]] return fail(expected_document_start(at));
        const auto found = anchor_ids_.find(std::string(name));
        if (found == anchor_ids_.end()) return fail(parse_error("unknown anchor", text_, at));
        if (count_nodes_ && !check(counter_.alias(found->second))) return false;
        if (building_) builder_->alias(found->second);
        return true;
    }

    // After the stream's end: the one document as a config tree.
    Result<ConfigTree> finish() {
        if (documents_ != 1) {
            return value_error("expected exactly one YAML document, found " + std::to_string(documents_));
        }
        return to_config_tree(std::move(doc_), root_, kNodeBudget);
    }

    // After the stream's end, when every document was converted.
    std::vector<ConfigTree> take_trees() { return std::move(trees_); }

    Error error;

private:
    [[gnu::cold]] Error expected_document_start(std::size_t at) const {
        return parse_error("did not find expected <document-start>", text_, at);
    }

    [[gnu::cold, gnu::noinline]] bool fail(Error failure) {
        error = std::move(failure);
        return false;
    }
    bool check(Status status) {
        if (status) [[likely]] return true;
        return fail(std::move(status).error());
    }

    // A new id for an anchor definition (0 for none); a redefined name gets
    // a new id, which later aliases of the name refer to.
    std::uint64_t define(std::string_view name) {
        if (name.empty()) [[likely]] return 0;
        return define_name(name);
    }
    [[gnu::noinline]] std::uint64_t define_name(std::string_view name) {
        const std::uint64_t id = ++anchor_count_;
        anchor_ids_[std::string(name)] = id;
        return id;
    }

    std::string_view text_;
    bool ascii_;
    bool count_nodes_;
    bool all_;
    Document doc_;
    std::optional<Builder> builder_;
    NodeCounter counter_;
    std::unordered_map<std::string, std::uint64_t> anchor_ids_;
    std::uint64_t anchor_count_ = 0;
    std::uint64_t documents_ = 0;
    std::uint64_t root_ = kNone;
    std::uint64_t budget_ = kNodeBudget;
    std::vector<ConfigTree> trees_;
    std::size_t depth_ = 0;
    bool in_document_ = false;
    bool building_ = false;
};

// ------------------------------------------------------------------ event sources

// The parser's events into the loader; false when the parse or the load
// failed, with the error in `error`.
bool run_parser(Loader& loader, std::string_view text, Error& error) {
    Parser parser(text);
    Event event;
    while (parser.next(event)) {
        bool ok = true;
        switch (event.kind) {
            case EventKind::StreamStart:
                break;
            case EventKind::StreamEnd:
                if (!loader.stream_end(event.offset)) {
                    error = std::move(loader.error);
                    return false;
                }
                return true;
            case EventKind::DocumentStart:
                ok = loader.document_start(event.offset);
                break;
            case EventKind::DocumentEnd:
                ok = loader.document_end();
                break;
            case EventKind::Scalar:
                ok = loader.scalar(event.value, event.style == ScalarStyle::Plain, event.tag, event.tagged, event.anchor,
                                   event.offset);
                break;
            case EventKind::SequenceStart:
            case EventKind::MappingStart:
                ok = loader.collection_start(event.kind == EventKind::MappingStart, event.tag, event.tagged,
                                             event.anchor, event.offset);
                break;
            case EventKind::SequenceEnd:
            case EventKind::MappingEnd:
                ok = loader.collection_end();
                break;
            case EventKind::Alias:
                ok = loader.alias(event.anchor, event.offset);
                break;
        }
        if (!ok) {
            error = std::move(loader.error);
            return false;
        }
    }
    error = parse_error(parser.error(), text, parser.error_offset());
    return false;
}

Result<ConfigTree> load_with_parser(std::string_view text, bool count_nodes) {
    Loader loader(text, count_nodes, false);
    Error error;
    if (!run_parser(loader, text, error)) return error;
    return loader.finish();
}

// The fast scanner's events into the loader. Its events carry no position:
// a failure of the loader ends the fast scan, and the parser reads the text
// again, finding the same failure with its position.
struct LoaderSink {
    Loader& loader;

    bool document_start() { return loader.document_start(0); }
    bool document_end() { return loader.document_end(); }
    bool scalar(std::string_view text, ScalarStyle style, std::string_view anchor, std::string_view tag) {
        return loader.scalar(text, style == ScalarStyle::Plain, tag, !tag.empty(), anchor, 0);
    }
    bool collection_start(bool mapping, std::string_view anchor, std::string_view tag) {
        return loader.collection_start(mapping, tag, !tag.empty(), anchor, 0);
    }
    bool collection_end() { return loader.collection_end(); }
    bool alias(std::string_view name) { return loader.alias(name, 0); }
    bool stream_end() { return loader.stream_end(0); }
};

// The load from the fast scanner's events, or nothing when it gave up.
std::optional<Result<ConfigTree>> load_with_fast_scanner(std::string_view text, bool count_nodes) {
    Loader loader(text, count_nodes, false);
    LoaderSink sink{loader};
    if (!fast_events(text, sink)) return std::nullopt;
    return loader.finish();
}

std::string_view without_byte_order_marks(std::string_view text) {
    while (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    return text;
}

bool holds_anchor(std::string_view text) {
    return !text.empty() && std::memchr(text.data(), '&', text.size()) != nullptr;
}

}  // namespace

Result<ConfigTree> load(std::string_view text, EventSource source) {
    // Byte order marks at the start, as many as there are.
    text = without_byte_order_marks(text);
    // Without an "&" the text has no anchor, so no alias can multiply nodes.
    const bool has_anchor = holds_anchor(text);
    if (source == EventSource::FastScannerFirst) {
        std::optional<Result<ConfigTree>> fast = load_with_fast_scanner(text, has_anchor);
        if (fast) return std::move(*fast);
    }
    return load_with_parser(text, has_anchor);
}

Result<std::vector<ConfigTree>> load_all(std::string_view text) {
    text = without_byte_order_marks(text);
    Loader loader(text, holds_anchor(text), true);
    Error error;
    if (!run_parser(loader, text, error)) return error;
    return loader.take_trees();
}

}  // namespace tabrix::yaml
