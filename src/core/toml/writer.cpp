#include "core/toml/writer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/number/float_text.hpp"
#include "core/number/parse.hpp"
#include "core/text/scan.hpp"
#include "core/text/ascii.hpp"

namespace tabrix::toml {

namespace {

// A big integer's text as a signed 64-bit value: an optional sign and at
// least one decimal digit, nothing else.
bool read_int64(std::string_view text, std::int64_t& out) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return read_decimal_int64(text, negative, out);
}

// What the bytes of a string hold, for choosing its form.
struct Measure {
    bool control = false;  // below 0x20 other than TAB and LF, or 0x7F
    bool backslash = false;
    bool line_feed = false;
    bool double_quote = false;
    bool single_quote = false;
    std::size_t double_run = 0;  // longest run of double quotes
    std::size_t single_run = 0;
};

Measure measure(std::string_view text) {
    Measure m;
    const char* p = text.data();
    const char* const end = p + text.size();
    std::size_t double_run = 0, single_run = 0;
    while (true) {
        const char* special = scan::find_any<true, '"', '\'', '\\', 0x7F>(p, end);
        if (special != p) double_run = single_run = 0;
        if (special == end) break;
        const char c = *special;
        if (c == '"') {
            m.double_quote = true;
            single_run = 0;
            if (++double_run > m.double_run) m.double_run = double_run;
        } else if (c == '\'') {
            m.single_quote = true;
            double_run = 0;
            if (++single_run > m.single_run) m.single_run = single_run;
        } else {
            double_run = single_run = 0;
            if (c == '\\') m.backslash = true;
            else if (c == '\n') m.line_feed = true;
            else if (c != '\t') m.control = true;
        }
        p = special + 1;
    }
    return m;
}

// Basic-string text of `text` between its delimiters. In the multi-line
// form a line feed stays as it is and only the third double quote of a run
// is escaped.
void write_escaped(OutBuffer& out, std::string_view text, bool multiline) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char* p = text.data();
    const char* const end = p + text.size();
    std::size_t quotes = 0;  // the run of double quotes written so far
    while (true) {
        const char* special = scan::find_any<true, '"', '\\', 0x7F>(p, end);
        if (special != p) quotes = 0;
        out.append(p, static_cast<std::size_t>(special - p));
        if (special == end) return;
        const unsigned char c = static_cast<unsigned char>(*special);
        p = special + 1;
        if (c == '"') {
            if (multiline && ++quotes < 3) {
                out.push('"');
            } else {
                quotes = 0;
                out.append("\\\"", 2);
            }
            continue;
        }
        quotes = 0;
        char* w = out.room(6);
        std::size_t n = 2;
        w[0] = '\\';
        switch (c) {
            case '\\': w[1] = '\\'; break;
            case '\b': w[1] = 'b'; break;
            case '\t': w[1] = 't'; break;
            case '\f': w[1] = 'f'; break;
            case '\r': w[1] = 'r'; break;
            case '\n':
                if (multiline) {
                    w[0] = '\n';
                    n = 1;
                } else {
                    w[1] = 'n';
                }
                break;
            default:
                w[1] = 'u';
                w[2] = '0';
                w[3] = '0';
                w[4] = kHex[c >> 4];
                w[5] = kHex[c & 0xF];
                n = 6;
        }
        out.commit(n);
    }
}

void write_delimited(OutBuffer& out, std::string_view delimiter, std::string_view text, bool escaped, bool multiline,
                     bool line_feed) {
    out.append(delimiter);
    if (line_feed) out.push('\n');  // dropped by a reader: the text starts on the next line
    if (escaped) write_escaped(out, text, multiline);
    else out.append(text);
    out.append(delimiter);
}

}  // namespace

void encode_toml_key(OutBuffer& out, std::string_view key) {
    bool bare = !key.empty();
    bool control = false, backslash = false, double_quote = false, single_quote = false;
    for (const char ch : key) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (ascii::kWordBytes[c]) continue;
        bare = false;
        if ((c < 0x20 && c != '\t') || c == 0x7F) control = true;
        else if (c == '\\') backslash = true;
        else if (c == '"') double_quote = true;
        else if (c == '\'') single_quote = true;
    }
    if (bare) {
        out.append(key);
    } else if (!control && !backslash && !double_quote) {
        write_delimited(out, "\"", key, true, false, false);
    } else if (!control && !single_quote) {
        write_delimited(out, "'", key, false, false, false);
    } else {
        write_delimited(out, "\"", key, true, false, false);
    }
}

void encode_toml_string(OutBuffer& out, std::string_view text) {
    // Most values hold nothing that needs a thought: a basic string as is.
    if (scan::find_any<true, '"', '\'', '\\', 0x7F>(text.data(), text.data() + text.size()) ==
        text.data() + text.size()) {
        char* w = out.room(text.size() + 2);
        w[0] = '"';
        std::memcpy(w + 1, text.data(), text.size());
        w[text.size() + 1] = '"';
        out.commit(text.size() + 2);
        return;
    }
    const Measure m = measure(text);
    if (!m.control && !m.backslash && !m.double_quote && !m.line_feed) {
        write_delimited(out, "\"", text, true, false, false);
    } else if (!m.control && !m.line_feed && !m.single_quote) {
        write_delimited(out, "'", text, false, false, false);
    } else if (!m.control && !m.backslash && m.double_run <= 2) {
        write_delimited(out, "\"\"\"", text, true, true, m.line_feed);
    } else if (!m.control && m.single_run <= 2) {
        write_delimited(out, "'''", text, false, true, m.line_feed);
    } else if (m.line_feed) {
        write_delimited(out, "\"\"\"", text, true, true, true);
    } else {
        write_delimited(out, "\"", text, true, false, false);
    }
}

void format_toml_float(OutBuffer& out, double value) {
    if (std::isnan(value)) {
        out.append("nan", 3);
    } else if (std::isinf(value)) {
        out.append(value < 0 ? std::string_view("-inf") : std::string_view("inf"));
    } else if (value == 0.0) {
        out.append(std::signbit(value) ? std::string_view("-0.0") : std::string_view("0.0"));
    } else {
        const std::size_t start = out.size();
        write_float_positional(out, value);
        if (std::memchr(out.data() + start, '.', out.size() - start) == nullptr) out.append(".0", 2);
    }
}

Status tree_to_toml(const ConfigTree& tree) {
    // Pre-order is document order: the first offending node in the array is
    // the first one a depth-first walk meets.
    const Node* node = &tree.root();
    const Node* const end = node + tree.node_count();
    for (; node < end; ++node) {
        if (node->kind() == Kind::Null) return value_error("TOML cannot represent null");
        if (node->kind() == Kind::BigInt) {
            std::int64_t unused;
            if (!read_int64(node->str(), unused)) {
                return value_error("TOML cannot hold the integer " + std::string(node->str()) +
                                   " (beyond its 64-bit range)");
            }
        }
    }
    if (tree.root().kind() != Kind::Map) return value_error("TOML document root must be a table");
    return Status::success();
}

namespace {

enum class Category : std::uint8_t { Inline, Table, ArrayOfTables };

struct Item {
    const Node* key;
    const Node* value;
    Category category;
};

Category category_of(const Node* value) {
    if (value->kind() == Kind::Map) return Category::Table;
    if (value->kind() != Kind::List || value->size() == 0) return Category::Inline;
    const Node* child = value->first_child();
    for (std::uint64_t i = 0; i < value->size(); ++i, child = child->skip()) {
        if (child->kind() != Kind::Map) return Category::Inline;
    }
    return Category::ArrayOfTables;
}

inline bool same_key(const Node* a, const Node* b) {
    return a->size() == b->size() && std::memcmp(a->text, b->text, a->size()) == 0;
}

class Writer {
public:
    explicit Writer(OutBuffer& out) : out_(out) {}

    void document(const Node* root) { table(root, false, true); }

private:
    // Pushes the entries of `map` onto items_ and returns where they start.
    // A key that occurs more than once keeps its first position and takes
    // its last value.
    std::size_t collect(const Node* map) {
        const std::size_t base = items_.size();
        const Node* child = map->first_child();
        for (std::uint64_t i = 0; i < map->size(); ++i) {
            const Node* value = child + 1;
            items_.push_back(Item{child, value, Category::Inline});
            child = value->skip();
        }
        const std::size_t count = items_.size() - base;
        if (count < 2) return base;
        bool duplicates = false;
        if (count <= 16) {
            for (std::size_t i = base + 1; i < items_.size() && !duplicates; ++i) {
                for (std::size_t j = base; j < i; ++j) {
                    if (same_key(items_[i].key, items_[j].key)) {
                        duplicates = true;
                        break;
                    }
                }
            }
        } else {
            order_.resize(count);
            for (std::size_t i = 0; i < count; ++i) order_[i] = base + i;
            std::sort(order_.begin(), order_.end(), [this](std::size_t a, std::size_t b) {
                const std::string_view x = items_[a].key->str(), y = items_[b].key->str();
                return x != y ? x < y : a < b;
            });
            for (std::size_t i = 1; i < count && !duplicates; ++i) {
                duplicates = same_key(items_[order_[i]].key, items_[order_[i - 1]].key);
            }
        }
        if (duplicates) merge(base);
        return base;
    }

    [[gnu::cold]] void merge(std::size_t base) {
        std::size_t kept = base;
        for (std::size_t i = base; i < items_.size(); ++i) {
            std::size_t j = base;
            while (j < kept && !same_key(items_[j].key, items_[i].key)) ++j;
            if (j < kept) items_[j].value = items_[i].value;
            else items_[kept++] = items_[i];
        }
        items_.resize(kept);
    }

    void table(const Node* map, bool array_element, bool root) {
        const std::size_t base = collect(map);
        const std::size_t end = items_.size();
        bool body = false, children = false;
        for (std::size_t i = base; i < end; ++i) {
            items_[i].category = category_of(items_[i].value);
            if (items_[i].category == Category::Inline) body = true;
            else children = true;
        }
        if (root ? body : (array_element || body || !children)) {
            if (printed_) out_.push('\n');
            printed_ = true;
            if (!root) {
                out_.append(array_element ? std::string_view("[[") : std::string_view("["));
                out_.append(path_);
                out_.append(array_element ? std::string_view("]]\n") : std::string_view("]\n"));
            }
            for (std::size_t i = base; i < end; ++i) {
                if (items_[i].category != Category::Inline) continue;
                encode_toml_key(out_, items_[i].key->str());
                out_.append(" = ", 3);
                inline_value(items_[i].value);
                out_.push('\n');
            }
        }
        if (children) {
            const std::size_t path_size = path_.size();
            for (std::size_t i = base; i < end; ++i) {
                const Item item = items_[i];
                if (item.category == Category::Inline) continue;
                extend_path(item.key->str());
                if (item.category == Category::Table) {
                    table(item.value, false, false);
                } else {
                    const Node* element = item.value->first_child();
                    for (std::uint64_t k = 0; k < item.value->size(); ++k, element = element->skip()) {
                        table(element, true, false);
                    }
                }
                path_.resize(path_size);
            }
        }
        items_.resize(base);
    }

    void extend_path(std::string_view key) {
        if (!path_.empty()) path_.push_back('.');
        key_.clear();
        encode_toml_key(key_, key);
        path_.append(key_.data(), key_.size());
    }

    void inline_value(const Node* value) {
        switch (value->kind()) {
            case Kind::Str:
                encode_toml_string(out_, value->str());
                return;
            case Kind::Int:
                write_int(out_, value->integer);
                return;
            case Kind::BigInt: {
                std::int64_t integer = 0;
                read_int64(value->str(), integer);  // fits: tree_to_toml checked it
                write_int(out_, integer);
                return;
            }
            case Kind::Float:
                format_toml_float(out_, value->real);
                return;
            case Kind::Bool:
                if (value->boolean) out_.append("true", 4);
                else out_.append("false", 5);
                return;
            case Kind::List: {
                out_.push('[');
                const Node* element = value->first_child();
                for (std::uint64_t i = 0; i < value->size(); ++i, element = element->skip()) {
                    if (i) out_.append(", ", 2);
                    inline_value(element);
                }
                out_.push(']');
                return;
            }
            case Kind::Map: {
                if (value->size() == 0) {
                    out_.append("{}", 2);
                    return;
                }
                const std::size_t base = collect(value);
                out_.push('{');
                for (std::size_t i = base; i < items_.size(); ++i) {
                    out_.push(' ');
                    encode_toml_key(out_, items_[i].key->str());
                    out_.append(" = ", 3);
                    inline_value(items_[i].value);
                    if (i + 1 < items_.size()) out_.push(',');
                }
                out_.append(" }", 2);
                items_.resize(base);
                return;
            }
            case Kind::Null:
                return;  // rejected by tree_to_toml
        }
    }

    OutBuffer& out_;
    std::vector<Item> items_;  // entries of the tables being written, innermost last
    std::vector<std::size_t> order_;
    std::string path_;  // encoded keys of the current table, joined by "."
    OutBuffer key_;
    bool printed_ = false;
};

}  // namespace

void write_toml_document(OutBuffer& out, const ConfigTree& tree) {
    Writer writer(out);
    writer.document(&tree.root());
}

}  // namespace tabrix::toml
