// Shared pieces of the fuzz targets: a failed check that libFuzzer reports as
// a crash, config tree comparison and printing, and a generator that builds a
// config tree from the fuzzer's bytes for the round-trip targets.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/jsonc/json_writer.hpp"
#include "core/text/out_buffer.hpp"
#include "core/text/utf8.hpp"
#include "core/tree/config_tree.hpp"

namespace fuzz {

using tabrix::ConfigTree;
using tabrix::Kind;
using tabrix::Node;

// Prints the message (and a few texts that explain it) and aborts, which
// libFuzzer reports as a crash with the input that caused it.
[[noreturn, gnu::cold]] inline void fail(const char* what, std::initializer_list<std::string_view> details = {}) {
    std::fprintf(stderr, "\n*** check failed: %s\n", what);
    for (std::string_view text : details) {
        std::fprintf(stderr, "--- (%zu bytes)\n%.*s\n", text.size(), static_cast<int>(std::min<std::size_t>(text.size(), 4000)),
                     text.data());
    }
    std::abort();
}

// The details are made whether or not the check fails: keep them cheap (use
// `if (...) fail(...)` for details that take work to make).
inline void check(bool condition, const char* what, std::initializer_list<std::string_view> details = {}) {
    if (!condition) [[unlikely]] fail(what, details);
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The compact JSON of a tree, for messages (a NaN reads null).
inline std::string show(const ConfigTree& tree) {
    tabrix::OutBuffer out;
    (void)tabrix::jsonc::write_json(out, tree);
    return std::string(out.view());
}

// Whether a subtree holds a NaN.
inline bool holds_nan(const Node* node) {
    for (const Node *p = node, *stop = node->skip(); p < stop; ++p) {
        if (p->kind() == Kind::Float && std::isnan(p->real)) return true;
    }
    return false;
}

// Containers on the deepest path from the root (0 for a scalar root).
inline std::size_t depth_of(const Node* node) {
    std::size_t deepest = 0;
    std::vector<const Node*> ends;  // one per open container: the node after its subtree
    const Node* const stop = node->skip();
    for (const Node* p = node; p < stop;) {
        while (!ends.empty() && p >= ends.back()) ends.pop_back();
        if (p->is_container()) {
            ends.push_back(p->skip());
            if (ends.size() > deepest) deepest = ends.size();
        }
        ++p;
    }
    return deepest;
}

// ---------------------------------------------------------------- comparison

struct Equality {
    bool ordered_maps = true;     // entries in the same order (else matched by key)
    bool python_keys = false;     // a repeated key keeps its first position and its last value, as in a dict
};

// Whether two subtrees hold the same value. Floats compare bit for bit (so
// -0.0 differs from 0.0), any NaN equals any NaN.
inline bool same_value(const Node* a, const Node* b, const Equality& eq);

inline bool same_scalar(const Node* a, const Node* b) {
    if (a->kind() != b->kind()) return false;
    switch (a->kind()) {
        case Kind::Null: return true;
        case Kind::Bool: return a->boolean == b->boolean;
        case Kind::Int: return a->integer == b->integer;
        case Kind::Float:
            if (std::isnan(a->real)) return std::isnan(b->real);
            return std::memcmp(&a->real, &b->real, sizeof(double)) == 0;
        case Kind::BigInt:
        case Kind::Str: return a->str() == b->str();
        default: return false;
    }
}

using Entries = std::vector<std::pair<std::string_view, const Node*>>;

// The entries of a map (key text, value node), repeated keys merged when
// `python_keys`.
inline Entries entries_of(const Node* map, bool python_keys) {
    Entries entries;
    std::map<std::string_view, std::size_t> index;
    const Node* key = map->first_child();
    for (std::uint64_t i = 0; i < map->size(); ++i, key = (key + 1)->skip()) {
        if (python_keys) {
            auto [at, fresh] = index.emplace(key->str(), entries.size());
            if (!fresh) {
                entries[at->second].second = key + 1;
                continue;
            }
        }
        entries.emplace_back(key->str(), key + 1);
    }
    return entries;
}

inline bool same_value(const Node* a, const Node* b, const Equality& eq) {
    if (!a->is_container()) return same_scalar(a, b);
    if (a->kind() != b->kind()) return false;
    if (a->kind() == Kind::List) {
        if (a->size() != b->size()) return false;
        const Node* x = a->first_child();
        const Node* y = b->first_child();
        for (std::uint64_t i = 0; i < a->size(); ++i, x = x->skip(), y = y->skip()) {
            if (!same_value(x, y, eq)) return false;
        }
        return true;
    }
    const Entries left = entries_of(a, eq.python_keys);
    const Entries right = entries_of(b, eq.python_keys);
    if (left.size() != right.size()) return false;
    // Repeated key texts, written out, read back as one key that a YAML
    // loader moves to the end: their order is not the writer's to keep.
    const bool repeated = left.size() != a->size();
    if (eq.ordered_maps && !repeated) {
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (left[i].first != right[i].first || !same_value(left[i].second, right[i].second, eq)) return false;
        }
        return true;
    }
    std::multimap<std::string_view, const Node*> by_key(right.begin(), right.end());
    for (const auto& [key, value] : left) {
        auto match = by_key.find(key);
        if (match == by_key.end() || !same_value(value, match->second, eq)) return false;
        by_key.erase(match);
    }
    return true;
}

inline bool same_tree(const ConfigTree& a, const ConfigTree& b, const Equality& eq = {}) {
    return same_value(&a.root(), &b.root(), eq);
}

// Whether every map of the tree has distinct keys.
inline bool unique_keys(const Node* node) {
    const Node* const stop = node->skip();
    for (const Node* p = node; p < stop; ++p) {
        if (p->kind() != Kind::Map) continue;
        std::set<std::string_view> keys;
        const Node* key = p->first_child();
        for (std::uint64_t i = 0; i < p->size(); ++i, key = (key + 1)->skip()) {
            if (!keys.insert(key->str()).second) return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- generation

struct TreeShape {
    bool nulls = true;
    bool big_ints = true;
    bool non_finite = true;
    bool unique_keys = false;
    bool map_root = false;
    bool merge_keys = true;  // "<<" keys (YAML merges a "<<" entry whose value is a collection)
    std::size_t max_depth = 64;
    std::size_t max_width = 12;
};

// Builds a config tree from the fuzzer's bytes: every kind of value, texts
// drawn from characters and words that are special to one format or another.
class TreeGenerator {
public:
    TreeGenerator(FuzzedDataProvider& in, TreeShape shape) : in_(in), shape_(shape) {}

    ConfigTree make() {
        if (shape_.map_root) map(0);
        else value(0);
        return builder_.finish();
    }

private:
    void value(std::size_t depth) {
        const int pick = in_.ConsumeIntegralInRange<int>(0, 9);
        switch (pick) {
            case 0:
                if (shape_.nulls) {
                    builder_.add_null();
                    return;
                }
                [[fallthrough]];
            case 1: builder_.add_bool(in_.ConsumeBool()); return;
            case 2: builder_.add_int(integer()); return;
            case 3: builder_.add_float(real()); return;
            case 4:
                if (shape_.big_ints) {
                    builder_.add_big_int(big_int());
                    return;
                }
                [[fallthrough]];
            case 5:
            case 6: {
                const std::string s = text();
                builder_.add_str(s);
                return;
            }
            case 7:
                if (depth < shape_.max_depth) return list(depth);
                builder_.add_int(0);
                return;
            default:
                if (depth < shape_.max_depth) return map(depth);
                builder_.add_bool(false);
                return;
        }
    }

    void list(std::size_t depth) {
        builder_.begin_list();
        const std::size_t count = in_.ConsumeIntegralInRange<std::size_t>(0, shape_.max_width);
        for (std::size_t i = 0; i < count && in_.remaining_bytes() > 0; ++i) value(depth + 1);
        builder_.end_list();
    }

    void map(std::size_t depth) {
        builder_.begin_map();
        const std::size_t count = in_.ConsumeIntegralInRange<std::size_t>(0, shape_.max_width);
        std::set<std::string> keys;
        for (std::size_t i = 0; i < count && in_.remaining_bytes() > 0; ++i) {
            std::string key = text();
            if (shape_.unique_keys && !keys.insert(key).second) continue;
            if (!shape_.merge_keys && key == "<<") continue;
            builder_.add_str(key);
            value(depth + 1);
        }
        builder_.end_map();
    }

    std::int64_t integer() {
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: return in_.ConsumeIntegralInRange<std::int64_t>(-100, 100);
            case 1: return in_.ConsumeBool() ? INT64_MAX : INT64_MIN;
            default: return in_.ConsumeIntegral<std::int64_t>();
        }
    }

    double real() {
        static constexpr double kSpecial[] = {0.0, -0.0, 1.0, -1.0, 0.1, 0.5, 1e15, 1e16, 1e-5, 1e-6, 1e300,
                                              5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                                              9007199254740993.0, 123456789.125};
        switch (in_.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: return kSpecial[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
            case 1:
                if (shape_.non_finite) {
                    const int which = in_.ConsumeIntegralInRange<int>(0, 2);
                    return which == 0 ? NAN : which == 1 ? INFINITY : -INFINITY;
                }
                return 2.5;
            case 2: {
                const std::uint64_t bits = in_.ConsumeIntegral<std::uint64_t>();
                double x;
                std::memcpy(&x, &bits, sizeof x);
                if (!shape_.non_finite && !std::isfinite(x)) return 3.25;
                return x;
            }
            default: return static_cast<double>(in_.ConsumeIntegral<std::int32_t>()) / 64.0;
        }
    }

    // Decimal text of an integer beyond the signed 64-bit range.
    std::string big_int() {
        std::string digits;
        if (in_.ConsumeBool()) digits.push_back('-');
        digits.push_back(static_cast<char>('1' + in_.ConsumeIntegralInRange<int>(0, 8)));
        const std::size_t more = in_.ConsumeIntegralInRange<std::size_t>(19, 60);
        for (std::size_t i = 0; i < more; ++i) digits.push_back(static_cast<char>('0' + in_.ConsumeIntegralInRange<int>(0, 9)));
        return digits;
    }

public:
    // Valid UTF-8, built from words that mean something in some format and
    // from characters of every awkward class.
    std::string text() {
        static constexpr std::string_view kWords[] = {
            "", "null", "Null", "NULL", "~", "true", "True", "false", "yes", "No", "on", "OFF", "y", "n",
            "1", "-1", "+1", "0", "007", "0x1F", "0o17", "0b101", "1_000", "1e3", "1E-3", "1.5", ".5", "5.",
            "-0", "1e", ".inf", "-.Inf", "+.INF", ".nan", ".NaN", "nan", "inf", "-inf", "infinity", "NaN",
            "1979-05-27", "1979-05-27T07:32:00Z", "07:32:00", "12:30", "1:2:3", "---", "...", "--- a",
            "... a", "- a", "-", "? a", "?", ": a", "a: b", "a:b", "#", "a #b", "a#b", "&a", "*a", "!a",
            "!!str", "|", ">", "%YAML", "@", "`", "[", "]", "{", "}", ",", "=", ";", "a=b", "[a]", "\"",
            "'", "''", "\"\"", "'''", "\"\"\"", "\\", "\\n", "\\x41", "\\u0041", "$", "$$", "${A}", "${A:-b}",
            "$A", "\t", " ", "  a", "a  ", "\n", "\r", "\r\n", "a\nb", "\x7f", "\xc2\x85", "\xe2\x80\xa8",
            "\xe2\x80\xa9", "\xef\xbb\xbf", "\xef\xbf\xbe", "\xef\xbf\xbf", "\xcc\x81", "\xe3\x80\x80",
            "\xc2\xa0", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xe2\x80\x8b", "a.b", "\"a\".b", "a b",
        };
        std::string out;
        const std::size_t parts = in_.ConsumeIntegralInRange<std::size_t>(0, 4);
        for (std::size_t i = 0; i < parts; ++i) {
            if (in_.ConsumeBool()) {
                out += kWords[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)];
                continue;
            }
            const std::size_t count = in_.ConsumeIntegralInRange<std::size_t>(1, 8);
            for (std::size_t k = 0; k < count; ++k) add_char(out);
        }
        return out;
    }

private:
    void add_char(std::string& out) {
        char32_t cp;
        switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: cp = in_.ConsumeIntegralInRange<char32_t>(0, 0x1F); break;
            case 1: cp = in_.ConsumeIntegralInRange<char32_t>(0x80, 0xFF); break;
            case 2: cp = in_.ConsumeIntegralInRange<char32_t>(0x100, 0xFFFF); break;
            case 3: cp = in_.ConsumeIntegralInRange<char32_t>(0x10000, 0x10FFFF); break;
            default: cp = in_.ConsumeIntegralInRange<char32_t>(0x20, 0x7F); break;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // no surrogates in UTF-8
        char bytes[4];
        out.append(bytes, static_cast<std::size_t>(tabrix::utf8::encode(cp, bytes)));
    }

    FuzzedDataProvider& in_;
    TreeShape shape_;
    tabrix::TreeBuilder builder_;
};

}  // namespace fuzz
