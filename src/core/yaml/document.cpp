#include "core/yaml/document.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/text/scan.hpp"

namespace tabrix::yaml {

namespace {

constexpr std::uint64_t kEndToken = ~std::uint64_t{0};

// Walks the live nodes of a subtree in pre-order, through aliases, giving an
// end token after the children of each collection (and of each Tagged node),
// so that two walks give the same tokens exactly when the subtrees are equal
// keys. Iterative: aliases can make a subtree far deeper than the text.
class Walker {
public:
    Walker(const Document& doc, std::uint64_t index) : doc_(doc) {
        stack_.push_back(Range{index, doc.next(index), false, false});
    }

    // The next node index, or kEndToken; false when the walk is over.
    bool next(std::uint64_t& out) {
        while (!stack_.empty()) {
            Range& top = stack_.back();
            if (top.pos == top.end) {
                stack_.pop_back();
                if (stack_.empty()) return false;
                out = kEndToken;
                return true;
            }
            const std::uint64_t index = top.pos;
            if (top.mapping) {
                if (top.at_key && has_flag(doc_.nodes[index], kDeadEntry)) {
                    top.pos = doc_.next(doc_.next(index));
                    continue;
                }
                top.at_key = !top.at_key;
            }
            top.pos = doc_.next(index);
            const std::uint64_t resolved = doc_.resolve(index);
            const DocNode& node = doc_.nodes[resolved];
            if (has_span(node)) {
                stack_.push_back(Range{resolved + 1, resolved + node.span, kind_of(node) == NodeKind::Mapping, true});
            }
            out = resolved;
            return true;
        }
        return false;
    }

private:
    struct Range {
        std::uint64_t pos;
        std::uint64_t end;
        bool mapping;
        bool at_key;
    };
    const Document& doc_;
    std::vector<Range> stack_;
};

bool same_token(const Document& doc, const DocNode& a, const DocNode& b) noexcept {
    if (kind_of(a) != kind_of(b)) return false;
    switch (kind_of(a)) {
        case NodeKind::Boolean: return a.boolean == b.boolean;
        case NodeKind::Integer: return a.integer == b.integer;
        case NodeKind::Float: return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
        case NodeKind::String:
        case NodeKind::TagName: return doc.str(a) == doc.str(b);
        default: return true;  // Null, BadValue, and collections (their children follow)
    }
}

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}
constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;

std::uint64_t hash_bytes(const char* p, std::size_t size, std::uint64_t seed) noexcept {
    std::uint64_t h = mum(seed ^ size, kMul);
    while (size >= 8) {
        h = mum(h ^ scan::load64(p), kMul);
        p += 8;
        size -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, size);
    return mum(h ^ tail, 0xA0761D6478BD642FULL);
}

std::uint64_t token_hash(const Document& doc, const DocNode& node, std::uint64_t seed) noexcept {
    const std::uint64_t kind = static_cast<std::uint64_t>(kind_of(node)) + 1;
    switch (kind_of(node)) {
        case NodeKind::Boolean: return mum(seed ^ kind, kMul + node.boolean);
        case NodeKind::Integer: return mum(seed ^ kind, static_cast<std::uint64_t>(node.integer) ^ kMul);
        case NodeKind::Float: {
            double value = node.real;
            if (value == 0.0) value = 0.0;  // -0.0 equals 0.0
            if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();
            std::uint64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            return mum(seed ^ kind, bits ^ kMul);
        }
        case NodeKind::String:
        case NodeKind::TagName: {
            const std::string_view text = doc.str(node);
            return hash_bytes(text.data(), text.size(), seed ^ kind);
        }
        default: return mum(seed ^ kind, kMul);
    }
}

}  // namespace

bool keys_equal(const Document& doc, std::uint64_t a, std::uint64_t b) {
    const std::uint64_t ra = doc.resolve(a);
    const std::uint64_t rb = doc.resolve(b);
    const DocNode& na = doc.nodes[ra];
    const DocNode& nb = doc.nodes[rb];
    if (!has_span(na) || !has_span(nb)) return same_token(doc, na, nb);
    if (kind_of(na) != kind_of(nb)) return false;
    Walker wa(doc, a), wb(doc, b);
    while (true) {
        std::uint64_t x, y;
        const bool more_a = wa.next(x);
        const bool more_b = wb.next(y);
        if (more_a != more_b) return false;
        if (!more_a) return true;
        if ((x == kEndToken) != (y == kEndToken)) return false;
        if (x != kEndToken && !same_token(doc, doc.nodes[x], doc.nodes[y])) return false;
    }
}

std::uint64_t key_hash(const Document& doc, std::uint64_t index, std::uint64_t seed) {
    const DocNode& node = doc.nodes[doc.resolve(index)];
    if (!has_span(node)) return token_hash(doc, node, seed);
    std::uint64_t h = seed;
    Walker walk(doc, index);
    std::uint64_t token;
    while (walk.next(token)) {
        h = mum(h ^ (token == kEndToken ? kMul : token_hash(doc, doc.nodes[token], seed)), kMul);
    }
    return h;
}

namespace {

class Renderer {
public:
    explicit Renderer(const Document& doc) : doc_(doc) {}

    void node(std::uint64_t index, int depth) {
        if (cut_) return;
        if (out.size() > kMaxSize || depth > kMaxDepth) {
            cut();
            return;
        }
        const std::uint64_t resolved = doc_.resolve(index);
        const DocNode& n = doc_.nodes[resolved];
        switch (kind_of(n)) {
            case NodeKind::Null: out += "Value(Null)"; return;
            case NodeKind::Boolean: out += n.boolean ? "Value(Boolean(true))" : "Value(Boolean(false))"; return;
            case NodeKind::Integer: {
                char digits[24];
                out += "Value(Integer(";
                out.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + 24, n.integer).ptr - digits));
                out += "))";
                return;
            }
            case NodeKind::Float:
                out += "Value(FloatingPoint(";
                real(n.real);
                out += "))";
                return;
            case NodeKind::String:
                out += "Value(String(";
                quoted(doc_.str(n));
                out += "))";
                return;
            case NodeKind::BadValue: out += "BadValue"; return;
            case NodeKind::Sequence: {
                out += "Sequence([";
                bool first = true;
                for (std::uint64_t i = resolved + 1; i < resolved + n.span && !cut_; i = doc_.next(i)) {
                    if (!first) out += ", ";
                    first = false;
                    node(i, depth + 1);
                }
                out += "])";
                return;
            }
            case NodeKind::Mapping: {
                out += "Mapping({";
                bool first = true;
                for (std::uint64_t i = resolved + 1; i < resolved + n.span && !cut_;) {
                    const std::uint64_t value = doc_.next(i);
                    if (!has_flag(doc_.nodes[i], kDeadEntry)) {
                        if (!first) out += ", ";
                        first = false;
                        node(doc_.entry_key(i), depth + 1);
                        out += ": ";
                        node(value, depth + 1);
                    }
                    i = doc_.next(value);
                }
                out += "})";
                return;
            }
            case NodeKind::Tagged:
                out += "Tagged(";
                quoted(doc_.str(doc_.nodes[resolved + 1]));
                out += ", ";
                node(resolved + 2, depth + 1);
                out += ")";
                return;
            case NodeKind::TagName:
            case NodeKind::Alias:
                return;
        }
    }

    std::string out;

private:
    static constexpr std::size_t kMaxSize = 400;
    static constexpr int kMaxDepth = 32;

    void real(double value) {
        if (std::isnan(value)) {
            out += "NaN";
            return;
        }
        if (std::isinf(value)) {
            out += value < 0 ? "-inf" : "inf";
            return;
        }
        char text[32];
        const char* end = std::to_chars(text, text + sizeof text, value).ptr;
        out.append(text, static_cast<std::size_t>(end - text));
        if (std::string_view(text, static_cast<std::size_t>(end - text)).find_first_of(".e") == std::string_view::npos) {
            out += ".0";
        }
    }

    void quoted(std::string_view text) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += '"';
        for (const char ch : text) {
            const unsigned char c = static_cast<unsigned char>(ch);
            if (out.size() > kMaxSize * 2 && (c & 0xC0) != 0x80) {
                cut();
                return;
            }
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        out += "\\u{";
                        out += kHex[c >> 4];
                        out += kHex[c & 0xF];
                        out += '}';
                    } else {
                        out += ch;
                    }
            }
        }
        out += '"';
    }

    // Ends the rendering here: what the callers append afterwards is
    // dropped by finish().
    void cut() {
        if (cut_) return;
        out += "...";
        cut_ = true;
        cut_at_ = out.size();
    }

public:
    std::string finish() {
        if (cut_) out.resize(cut_at_);
        return std::move(out);
    }

private:
    const Document& doc_;
    bool cut_ = false;
    std::size_t cut_at_ = 0;
};

}  // namespace

std::string render_node(const Document& doc, std::uint64_t index) {
    Renderer renderer(doc);
    renderer.node(index, 0);
    return renderer.finish();
}

}  // namespace tabrix::yaml
