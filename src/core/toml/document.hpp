// The TOML loader's working copy of a document: tables that stay open while
// the text is read (a later `[a.c]` reopens `[a]`, `[[a]]` appends to an
// array of tables), with the facts the table rules need, and the walk that
// turns the finished document into a config tree.
//
// Storage is three flat vectors and no per-table allocation: values (scalars
// and containers), table entries (key and value), and one open-addressing
// key index shared by every table. A table's entries form a linked list in
// the order their keys were first defined; small tables are searched by a
// scan of that list, and a table that grows past a few keys gets its
// entries into the shared index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/tree/config_tree.hpp"

namespace tabrix::toml {

inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

enum class ValueKind : std::uint8_t { Bool, Int, Float, Str, Array, Table };

// Value flags.
inline constexpr std::uint8_t kAscii = 1;     // Str: text known to be ASCII
inline constexpr std::uint8_t kExplicit = 2;  // Table: defined by a [header] or as a [[header]] element
inline constexpr std::uint8_t kFrozen = 4;    // Table: an inline table, closed for good
inline constexpr std::uint8_t kIndexed = 8;   // Table: its entries are in the shared key index
inline constexpr std::uint8_t kOfTables = 16;  // Array: made by [[header]] (otherwise a static array)

struct Value {
    union {
        bool boolean;
        std::int64_t integer;
        double real;
        const char* text;
        struct {
            std::uint32_t first;  // Array: first element value; Table: first entry
            std::uint32_t last;
        } links;
    };
    union {
        std::size_t size;  // Str: byte length
        struct {
            std::uint32_t count;    // elements or entries
            std::uint32_t section;  // Table: the section whose dotted keys last went through it (0: none)
        } container;
    };
    std::uint32_t next;  // next element of the array holding this value
    std::uint32_t seen;  // Table, not indexed: a bit for each key fingerprint present
    ValueKind kind;
    std::uint8_t flags;
    std::uint16_t depth;  // containers: nesting depth below the root
};

struct Entry {
    const char* key;
    std::size_t key_size;
    std::uint32_t value;
    std::uint32_t next;   // next entry of the same table
    std::uint32_t table;  // value index of the owning table
    std::uint32_t hash;   // of (table, key) once the table is indexed; before, a fingerprint of the key
};

class Document {
public:
    explicit Document(std::size_t source_size);
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    std::uint32_t root() const noexcept { return 0; }
    Value& value(std::uint32_t index) noexcept { return values_[index]; }
    const Value& value(std::uint32_t index) const noexcept { return values_[index]; }
    const Entry& entry(std::uint32_t index) const noexcept { return entries_[index]; }

    // New values; the index stays valid, references do not (the vector grows).
    std::uint32_t add_scalar(ValueKind kind, std::uint8_t flags = 0) { return push(kind, flags).first; }
    std::uint32_t add_table(std::uint16_t depth, std::uint8_t flags = 0) {
        return add_container(ValueKind::Table, depth, flags);
    }
    std::uint32_t add_array(std::uint16_t depth, std::uint8_t flags = 0) {
        return add_container(ValueKind::Array, depth, flags);
    }
    std::uint32_t add_container(ValueKind kind, std::uint16_t depth, std::uint8_t flags);

    // Appends `element` to the array at `array`.
    void append(std::uint32_t array, std::uint32_t element) noexcept {
        Value& a = values_[array];
        if (a.links.last == kNone) a.links.first = element;
        else values_[a.links.last].next = element;
        a.links.last = element;
        ++a.container.count;
    }

    // The entry of `key` in the table at `table`, or kNone.
    std::uint32_t find(std::uint32_t table, std::string_view key) const noexcept;
    // Adds an entry (the key must not be there yet); `key` must outlive the
    // document.
    void insert(std::uint32_t table, std::string_view key, std::uint32_t value);

    std::size_t value_count() const noexcept { return values_.size(); }
    std::size_t entry_count() const noexcept { return entries_.size(); }

    // The config tree of the root table (toml_value_to_tree of the root).
    // `source` is the text the document was read from, which outlives the
    // tree: keys and strings that lie in it are not copied.
    ConfigTree to_tree(std::string_view source) const;

private:
    static constexpr std::uint32_t kScanLimit = 16;  // tables up to this size are scanned

    std::pair<std::uint32_t, Value*> push(ValueKind kind, std::uint8_t flags) {
        // Indexes are 32-bit: a document of four billion values (gigabytes
        // of text) is more than memory allows for.
        if (values_.size() >= kNone - 1) [[unlikely]] throw std::bad_alloc();
        const auto index = static_cast<std::uint32_t>(values_.size());
        Value& v = values_.emplace_back();
        v.size = 0;
        v.next = kNone;
        v.seen = 0;
        v.kind = kind;
        v.flags = flags;
        v.depth = 0;
        return {index, &v};
    }
    static std::uint32_t hash(std::uint32_t table, std::string_view key) noexcept;
    void index_table(std::uint32_t table);
    void index_entry(std::uint32_t entry);
    void grow_index();

    std::vector<Value> values_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1; 0 is empty
    std::size_t indexed_ = 0;
};

}  // namespace tabrix::toml
