#include "core/toml/document.hpp"

#include <chrono>
#include <random>

#include "core/spare.hpp"
#include "core/text/scan.hpp"

namespace tabrix::toml {

namespace {

// Key of the index hash, drawn once per process: the slots a key lands in
// cannot be predicted from outside, so no document can be crafted to pile
// its keys into one probe chain.
struct HashKey {
    std::uint64_t k0, k1;
};

HashKey make_hash_key() noexcept {
    try {
        std::random_device source;
        auto draw = [&source] { return (std::uint64_t{source()} << 32) ^ source(); };
        const std::uint64_t k0 = draw();
        return HashKey{k0, draw()};
    } catch (...) {
        // No entropy source: the clock and an address are the best left.
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto where = reinterpret_cast<std::uintptr_t>(&now);
        return HashKey{now * 0x9E3779B97F4A7C15ULL, where ^ (now >> 17)};
    }
}

const HashKey& hash_key() {
    static const HashKey key = make_hash_key();
    return key;
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

// SipHash-1-3: keyed, so collisions cannot be found without the key.
std::uint64_t siphash13(const HashKey& key, std::uint64_t tweak, const char* data, std::size_t size) noexcept {
    std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
    std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1 ^ tweak;
    std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
    std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    };
    const char* p = data;
    std::size_t left = size;
    while (left >= 8) {
        const std::uint64_t m = scan::load64(p);
        v3 ^= m;
        round();
        v0 ^= m;
        p += 8;
        left -= 8;
    }
    std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
    for (std::size_t i = 0; i < left; ++i) last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xFF;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

inline bool same_key(const Entry& entry, std::string_view key) noexcept {
    if (entry.key_size != key.size()) return false;
    if (key.size() <= 16) {
        for (std::size_t i = 0; i < key.size(); ++i) {
            if (entry.key[i] != key[i]) return false;
        }
        return true;
    }
    return std::memcmp(entry.key, key.data(), key.size()) == 0;
}

// Length, first and last byte: most keys of a table differ in one of them.
inline std::uint32_t fingerprint(std::string_view key) noexcept {
    if (key.empty()) return 0;
    return (static_cast<std::uint32_t>(key.size()) & 0xFFFF) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(key.front())) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(key.back())) << 24);
}

// The bit of a fingerprint in a table's `seen` mask: a key whose bit is
// clear is not in the table, which settles most lookups of new keys
// without a scan.
inline std::uint32_t seen_bit(std::uint32_t print) noexcept { return std::uint32_t{1} << ((print * 0x9E3779B9u) >> 27); }

// Storage of a finished document, kept for the next one (up to a bounded
// size) so that repeated loads do not fault in fresh pages.
constexpr std::size_t kKeepBytes = std::size_t{8} << 20;
using ValueSpare = Spare<std::vector<Value>, kKeepBytes, struct TomlValueStorage>;
using EntrySpare = Spare<std::vector<Entry>, kKeepBytes, struct TomlEntryStorage>;
using SlotSpare = Spare<std::vector<std::uint32_t>, kKeepBytes, struct TomlSlotStorage>;

}  // namespace

Document::Document(std::size_t source_size)
    : values_(ValueSpare::take()), entries_(EntrySpare::take()), slots_(SlotSpare::take()) {
    // A config line is rarely shorter than about a dozen bytes.
    values_.reserve(source_size / 12 + 4);
    entries_.reserve(source_size / 16 + 4);
    add_table(0, kExplicit);  // the root
}

Document::~Document() {
    ValueSpare::give(std::move(values_));
    EntrySpare::give(std::move(entries_));
    SlotSpare::give(std::move(slots_));
}

std::uint32_t Document::add_container(ValueKind kind, std::uint16_t depth, std::uint8_t flags) {
    auto [index, v] = push(kind, flags);
    v->links.first = v->links.last = kNone;
    v->container.count = 0;
    v->container.section = 0;
    v->depth = depth;
    return index;
}

std::uint32_t Document::hash(std::uint32_t table, std::string_view key) noexcept {
    return static_cast<std::uint32_t>(siphash13(hash_key(), table, key.data(), key.size()));
}

std::uint32_t Document::find(std::uint32_t table, std::string_view key) const noexcept {
    const Value& t = values_[table];
    if (!(t.flags & kIndexed)) {
        const std::uint32_t print = fingerprint(key);
        if (!(t.seen & seen_bit(print))) return kNone;
        for (std::uint32_t e = t.links.first; e != kNone; e = entries_[e].next) {
            if (entries_[e].hash == print && same_key(entries_[e], key)) return e;
        }
        return kNone;
    }
    const std::uint32_t h = hash(table, key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) return kNone;
        const Entry& entry = entries_[slot - 1];
        if (entry.hash == h && entry.table == table && same_key(entry, key)) return slot - 1;
    }
}

void Document::insert(std::uint32_t table, std::string_view key, std::uint32_t value) {
    if (entries_.size() >= kNone - 1) [[unlikely]] throw std::bad_alloc();
    const auto index = static_cast<std::uint32_t>(entries_.size());
    const std::uint32_t print = fingerprint(key);
    entries_.push_back(Entry{key.data(), key.size(), value, kNone, table, print});
    Value& t = values_[table];
    if (t.links.last == kNone) t.links.first = index;
    else entries_[t.links.last].next = index;
    t.links.last = index;
    ++t.container.count;
    t.seen |= seen_bit(print);
    if (t.flags & kIndexed) {
        entries_[index].hash = hash(table, key);
        index_entry(index);
    } else if (t.container.count > kScanLimit) {
        index_table(table);
    }
}

void Document::index_table(std::uint32_t table) {
    values_[table].flags |= kIndexed;
    for (std::uint32_t e = values_[table].links.first; e != kNone; e = entries_[e].next) {
        Entry& entry = entries_[e];
        entry.hash = hash(table, {entry.key, entry.key_size});
        index_entry(e);
    }
}

void Document::index_entry(std::uint32_t entry) {
    if ((indexed_ + 1) * 2 > slots_.size()) grow_index();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = entries_[entry].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = entry + 1;
    ++indexed_;
}

void Document::grow_index() {
    if (slots_.empty()) {
        slots_.assign(256, 0);  // into the capacity of an earlier document's index, if any
        return;
    }
    std::vector<std::uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint32_t slot : old) {
        if (slot == 0) continue;
        std::size_t i = entries_[slot - 1].hash & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

namespace {

// Text that lies in the document's text, which outlives the tree.
struct Source {
    std::uintptr_t begin, end;
    bool holds(const char* text) const noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(text);
        return at >= begin && at < end;
    }
};

inline void add_text(TreeBuilder& out, const Source& source, std::string_view text, bool ascii) {
    if (source.holds(text.data())) out.add_str_view(text, ascii);
    else out.add_str(text, ascii);
}

// toml_value_to_tree: one value and its subtree, in document order. Depth
// is bounded by the parser's recursion limit.
void toml_value_to_tree(const Document& doc, const Source& source, std::uint32_t index, TreeBuilder& out) {
    const Value& v = doc.value(index);
    switch (v.kind) {
        case ValueKind::Bool:
            out.add_bool(v.boolean);
            return;
        case ValueKind::Int:
            out.add_int(v.integer);
            return;
        case ValueKind::Float:
            out.add_float(v.real);
            return;
        case ValueKind::Str:
            add_text(out, source, {v.text, v.size}, (v.flags & kAscii) != 0);
            return;
        case ValueKind::Array:
            out.begin_list();
            for (std::uint32_t e = v.links.first; e != kNone; e = doc.value(e).next) toml_value_to_tree(doc, source, e, out);
            out.end_list();
            return;
        case ValueKind::Table:
            out.begin_map();
            for (std::uint32_t e = v.links.first; e != kNone;) {
                const Entry& entry = doc.entry(e);
                add_text(out, source, {entry.key, entry.key_size}, false);
                toml_value_to_tree(doc, source, entry.value, out);
                e = entry.next;
            }
            out.end_map();
            return;
    }
}

}  // namespace

ConfigTree Document::to_tree(std::string_view source) const {
    const auto text = reinterpret_cast<std::uintptr_t>(source.data());
    TreeBuilder out(values_.size() + entries_.size());
    toml_value_to_tree(*this, Source{text, text + source.size()}, root(), out);
    return out.finish();
}

}  // namespace tabrix::toml
