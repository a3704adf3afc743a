#include "core/ini/ini_parser.hpp"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "core/spare.hpp"
#include "core/text/scan.hpp"
#include "core/text/unicode.hpp"
#include "core/text/utf8.hpp"

namespace tabrix::ini {

namespace {

// ---------------------------------------------------------------- white space

inline bool is_ascii_white_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the white space character at `p` (valid UTF-8, before the end),
// or 0 when it is not white space.
inline int white_space_at(const char* p) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) return is_ascii_white_space(c) ? 1 : 0;
    // Non-ASCII white space starts with one of these bytes (U+0085, U+00A0,
    // U+1680, U+2000..U+205F, U+3000).
    if (c != 0xC2 && c != 0xE1 && c != 0xE2 && c != 0xE3) return 0;
    const char* q = p;
    return unicode::is_white_space(utf8::decode(q)) ? static_cast<int>(q - p) : 0;
}

[[gnu::noinline]] std::string_view trim_start_slow(std::string_view text) noexcept {
    while (!text.empty()) {
        const int n = white_space_at(text.data());
        if (n == 0) break;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return text;
}

[[gnu::noinline]] std::string_view trim_end_slow(std::string_view text) noexcept {
    while (!text.empty()) {
        std::size_t last = text.size() - 1;
        while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
        if (white_space_at(text.data() + last) == 0) break;
        text.remove_suffix(text.size() - last);
    }
    return text;
}

// Text without the white space at its start or end. Most text starts and
// ends with a visible ASCII character: one test each.
inline std::string_view trim_start(std::string_view text) noexcept {
    if (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        if (c > ' ' && c < 0x80) [[likely]] return text;
    }
    return trim_start_slow(text);
}

inline std::string_view trim_end(std::string_view text) noexcept {
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.back());
        if (c >= 0x80) return trim_end_slow(text);
        if (!is_ascii_white_space(c)) break;
        text.remove_suffix(1);
    }
    return text;
}

inline std::string_view trim(std::string_view text) noexcept { return trim_end(trim_start(text)); }

inline int hex_digit(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---------------------------------------------------------------- text ends

// What ends the text being read.
enum class End { SectionName, Key, DoubleQuoted, SingleQuoted, Line };

// The first end character or backslash at or after `p`; `end` when there is
// none.
template <End E>
inline const char* find_end_or_escape(const char* p, const char* end) noexcept {
    if constexpr (E == End::SectionName) return scan::find_any<false, ']', '\\'>(p, end);
    if constexpr (E == End::Key) return scan::find_any<false, '=', ':', '\\'>(p, end);
    if constexpr (E == End::DoubleQuoted) return scan::find_any<false, '"', '\\'>(p, end);
    if constexpr (E == End::SingleQuoted) return scan::find_any<false, '\'', '\\'>(p, end);
    if constexpr (E == End::Line) return scan::find_any<false, '\n', '\r', '\\'>(p, end);
}

// The message for a text that the end of the input cuts short, listing the
// characters that would have ended it.
template <End E>
constexpr std::string_view eof_message() noexcept {
    if constexpr (E == End::SectionName) return "expecting \"[Some(']')]\" but found EOF.";
    if constexpr (E == End::Key) return "expecting \"[Some('='), Some(':')]\" but found EOF.";
    if constexpr (E == End::DoubleQuoted) return "expecting \"[Some('\"')]\" but found EOF.";
    if constexpr (E == End::SingleQuoted) return "expecting \"[Some('\\'')]\" but found EOF.";
    if constexpr (E == End::Line) return "expecting \"[Some('\\n'), Some('\\r'), None]\" but found EOF.";
}

// ---------------------------------------------------------------- parser

class Parser {
public:
    Parser(std::string_view text, IniDocument& document) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), document_(document) {}

    // False with error() set when the document is malformed.
    bool parse();
    Error& error() noexcept { return error_; }

private:
    template <End E>
    bool read_text(std::string_view& out);
    template <End E>
    bool decode_escape(char*& w);
    template <End E>
    bool decode_hex(char*& w);
    bool read_value(std::string_view& out);
    std::string_view join(std::string_view value, std::string_view part);

    void skip_white_space() noexcept {
        while (p_ < end_) {
            const int n = white_space_at(p_);
            if (n == 0) return;
            p_ += n;
        }
    }
    // White space other than line feed and carriage return.
    void skip_blanks() noexcept {
        while (p_ < end_ && *p_ != '\n' && *p_ != '\r') {
            const int n = white_space_at(p_);
            if (n == 0) return;
            p_ += n;
        }
    }
    void skip_line() noexcept {
        const void* feed = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
        p_ = feed ? static_cast<const char*>(feed) + 1 : end_;
    }

    // Decoded text lives in one buffer as large as the input, allocated on
    // first need: decoding never makes text longer, the texts come from
    // disjoint stretches of the input, and joining value parts copies only
    // parts that were not decoded there, so it never fills up and views into
    // it stay valid.
    char* decoded_tail() {
        if (!document_.decoded) {
            document_.decoded.reset(new char[static_cast<std::size_t>(end_ - begin_)]);
        }
        return document_.decoded.get() + decoded_size_;
    }
    bool is_decoded(std::string_view text) const noexcept {
        const char* base = document_.decoded.get();
        return base != nullptr && text.data() >= base && text.data() < base + (end_ - begin_);
    }

    [[gnu::cold]] bool fail(const char* at, std::string_view message);
    template <End E>
    [[gnu::cold]] bool fail_eof() {
        return fail(end_, eof_message<E>());
    }
    [[gnu::cold]] bool fail_no_line_feed(const char* found);

    const char* const begin_;
    const char* p_;
    const char* const end_;
    IniDocument& document_;
    std::size_t decoded_size_ = 0;
    Error error_;
};

bool Parser::parse() {
    document_.blocks.push_back(IniBlock{});
    std::string_view key;
    skip_white_space();
    while (p_ < end_) {
        switch (*p_) {
            case ';':
            case '#':
                if (p_ != begin_ && p_[-1] != '\n') return fail(p_, "doesn't support inline comment");
                skip_line();
                break;
            case '[': {
                ++p_;
                std::string_view name;
                if (!read_text<End::SectionName>(name)) return false;
                ++p_;  // the ']'
                document_.blocks.push_back(IniBlock{trim(name), true, document_.pairs.items.size(), 0});
                break;
            }
            default:
                if (!read_text<End::Key>(key)) return false;
                key = trim(key);
                // The "=" or ":" that ended the key is the next item.
                [[fallthrough]];
            case '=':
            case ':': {
                if (key.empty()) return fail(p_, "missing key");
                ++p_;
                std::string_view value;
                if (!read_value(value)) return false;
                document_.pairs.items.push_back(IniPair{key, value});
                ++document_.blocks.back().count;
                key = {};
                break;
            }
        }
        skip_white_space();
    }
    return true;
}

// Reads text from p_ up to (not including) its end character, decoding
// escapes. The end of the input ends only a plain value part; elsewhere it
// is an error.
template <End E>
bool Parser::read_text(std::string_view& out) {
    const char* const start = p_;
    const char* stop = find_end_or_escape<E>(p_, end_);
    if (stop == end_ || *stop != '\\') [[likely]] {
        p_ = stop;
        if constexpr (E != End::Line) {
            if (stop == end_) return fail_eof<E>();
        }
        out = std::string_view(start, static_cast<std::size_t>(stop - start));
        return true;
    }
    // Escapes: the text is decoded into the document's buffer.
    char* const first = decoded_tail();
    char* w = first;
    const char* run = start;
    p_ = stop;
    while (true) {
        std::memcpy(w, run, static_cast<std::size_t>(p_ - run));
        w += p_ - run;
        if (p_ == end_) {
            if constexpr (E != End::Line) return fail_eof<E>();
            break;
        }
        if (*p_ != '\\') break;
        if (!decode_escape<E>(w)) return false;
        run = p_;
        p_ = find_end_or_escape<E>(p_, end_);
    }
    decoded_size_ += static_cast<std::size_t>(w - first);
    out = std::string_view(first, static_cast<std::size_t>(w - first));
    return true;
}

// p_ is at a backslash: appends what the escape stands for and moves p_ past
// it.
template <End E>
bool Parser::decode_escape(char*& w) {
    ++p_;
    if (p_ == end_) return fail_eof<E>();
    const auto c = static_cast<unsigned char>(*p_);
    switch (c) {
        case '0': *w++ = '\0'; break;
        case 'a': *w++ = '\a'; break;
        case 'b': *w++ = '\b'; break;
        case 't': *w++ = '\t'; break;
        case 'r': *w++ = '\r'; break;
        case 'n': *w++ = '\n'; break;
        case '\n': break;  // a backslash at the end of a line joins the next line
        case 'x': return decode_hex<E>(w);
        default: {
            const int n = utf8::sequence_length(c);
            std::memcpy(w, p_, static_cast<std::size_t>(n));
            w += n;
            p_ += n;
            return true;
        }
    }
    ++p_;
    return true;
}

// p_ is at the 'x' of \x: reads exactly four characters as a hexadecimal
// code. A backslash among them must be followed by a line feed (both then
// stand for one character that is not a hex digit).
template <End E>
bool Parser::decode_hex(char*& w) {
    const char* current = p_;  // the character read last
    char32_t code = 0;
    bool hex = true;
    for (int i = 0; i < 4; ++i) {
        p_ = current + utf8::sequence_length(static_cast<unsigned char>(*current));
        if (p_ == end_) return fail_eof<E>();
        current = p_;
        const auto c = static_cast<unsigned char>(*current);
        if (c == '\\') {
            const char* const next = current + 1;
            if (next == end_ || *next != '\n') return fail_no_line_feed(next);
            current = next;
            hex = false;
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) hex = false;
        else code = code * 16 + static_cast<char32_t>(digit);
    }
    if (!hex || (code >= 0xD800 && code <= 0xDFFF)) return fail(current, "unknown character in \\xHH form");
    if (code >= 0x80) document_.ascii = false;
    w += utf8::encode(code, w);
    p_ = current + utf8::sequence_length(static_cast<unsigned char>(*current));
    return true;
}

// p_ is just after the "=" or ":".
bool Parser::read_value(std::string_view& out) {
    skip_blanks();
    if (p_ < end_ && *p_ != '"' && *p_ != '\'') [[likely]] {
        // One plain part: the whole value.
        std::string_view part;
        if (!read_text<End::Line>(part)) return false;
        out = trim(part);
        return true;
    }
    std::string_view value;
    bool first = true;
    while (p_ < end_) {
        std::string_view part;
        const char c = *p_;
        if (c == '"' || c == '\'') {
            ++p_;
            if (!(c == '"' ? read_text<End::DoubleQuoted>(part) : read_text<End::SingleQuoted>(part))) return false;
            ++p_;  // the closing quote
            value = join(value, part);
            first = false;
            continue;
        }
        if (!read_text<End::Line>(part)) return false;
        value = join(value, first ? trim(part) : trim_end(part));
        break;
    }
    out = value;
    return true;
}

// `value` followed by `part` (read just now), as one text. Most values are
// one part and need no copy; joined ones end up in the decoded buffer.
std::string_view Parser::join(std::string_view value, std::string_view part) {
    if (part.empty()) return value;
    if (value.empty()) return part;
    char* const base = document_.decoded.get();
    if (is_decoded(part)) {
        // The part was decoded at the buffer's tail, right after the value
        // when the value lives there too.
        const std::size_t part_offset = static_cast<std::size_t>(part.data() - base);
        if (is_decoded(value) && value.data() + value.size() == part.data()) {
            decoded_size_ = part_offset + part.size();
            return std::string_view(value.data(), value.size() + part.size());
        }
        // The value is still in the input: move the part up and put the
        // value in front of it.
        char* const at = base + part_offset;
        std::memmove(at + value.size(), at, part.size());
        std::memcpy(at, value.data(), value.size());
        decoded_size_ = part_offset + value.size() + part.size();
        return std::string_view(at, value.size() + part.size());
    }
    // The part is in the input: the value goes to the tail (if it is not
    // there already) and the part after it.
    char* tail = decoded_tail();
    char* at = const_cast<char*>(value.data());
    if (!(is_decoded(value) && value.data() + value.size() == tail)) {
        at = tail;
        std::memcpy(tail, value.data(), value.size());
        tail += value.size();
    }
    std::memcpy(tail, part.data(), part.size());
    decoded_size_ = static_cast<std::size_t>(tail - document_.decoded.get()) + part.size();
    return std::string_view(at, value.size() + part.size());
}

bool Parser::fail(const char* at, std::string_view message) {
    // `at` is the character read last, or the end of the input (reading past
    // the end does not move the position, so the last character counts).
    std::size_t line = 0;
    std::size_t column = 0;
    if (begin_ != end_) {
        if (at == end_) {
            at = end_ - 1;
            while (at > begin_ && (static_cast<unsigned char>(*at) & 0xC0) == 0x80) --at;
        }
        const char* line_start = begin_;
        while (const void* feed = std::memchr(line_start, '\n', static_cast<std::size_t>(at - line_start))) {
            ++line;
            line_start = static_cast<const char*>(feed) + 1;
        }
        if (*at == '\n') {
            ++line;
        } else {
            column = utf8::count_chars(std::string_view(line_start, static_cast<std::size_t>(at - line_start))) + 1;
        }
    }
    std::string text = std::to_string(line + 1);
    text += ':';
    text += std::to_string(column + 1);
    text += ' ';
    text += message;
    error_ = value_error(std::move(text));
    return false;
}

// Inside \x, a backslash followed by `found` (the end of the input when it is
// `end_`) instead of a line feed.
bool Parser::fail_no_line_feed(const char* found) {
    std::string message = "expecting \"\\\\n\" but found \"";
    if (found == end_) {
        message += "None";
    } else {
        message += "Some('";
        switch (*found) {
            case '\'': message += "\\'"; break;
            case '\r': message += "\\r"; break;
            default:
                message.append(found, static_cast<std::size_t>(utf8::sequence_length(static_cast<unsigned char>(*found))));
        }
        message += "')";
    }
    message += "\".";
    return fail(found, message);
}

// ---------------------------------------------------------------- sections

// A keyed hash of names, so that a document cannot be made to put all its
// names in one chain of the indexes below: the key is random per process.
std::uint64_t hash_key() noexcept {
    static const std::uint64_t key = []() noexcept {
        std::uint64_t seed = 0x2D358DCCAA6C78A5ULL;
        try {
            std::random_device device;
            seed ^= (std::uint64_t{device()} << 32) ^ device();
        } catch (...) {
            // No source of random bytes: the addresses of this process are
            // the next best thing.
            seed ^= reinterpret_cast<std::uintptr_t>(&seed) * 0x9E3779B97F4A7C15ULL;
        }
        return seed;
    }();
    return key;
}

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load32(const char* p) noexcept {
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline std::uint64_t name_hash(std::string_view name, std::uint64_t key) noexcept {
    const char* p = name.data();
    std::size_t n = name.size();
    std::uint64_t h = key ^ (n * 0x9E3779B97F4A7C15ULL);
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n > 16) {
        while (n > 16) {
            h = fold_multiply(scan::load64(p) ^ 0xA0761D6478BD642FULL, scan::load64(p + 8) ^ h);
            p += 16;
            n -= 16;
        }
        p = name.data() + name.size() - 16;  // the last 16 bytes, overlapping
        n = 16;
    }
    if (n >= 8) {
        a = scan::load64(p);
        b = scan::load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        a = (std::uint64_t{u[0]} << 16) | (std::uint64_t{u[n / 2]} << 8) | u[n - 1];
    }
    return fold_multiply(a ^ 0xE7037ED1A0B428DBULL ^ key, b ^ h);
}

// Whether two names of equal size `n` are equal; short names are compared
// in two overlapping words without a call.
inline bool same_text(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) return scan::load64(a) == scan::load64(b) && scan::load64(a + n - 8) == scan::load64(b + n - 8);
    if (n >= 4 && n < 8) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    return std::memcmp(a, b, n) == 0;
}

// The distinct names of a document, numbered in order of first appearance.
class NameTable {
public:
    static constexpr std::size_t kEmpty = ~std::size_t{0};

    NameTable() : slots_(kInitialSlots), mask_(kInitialSlots - 1) {}

    // The number of `name`, which is numbered next when it is new.
    std::size_t number(std::string_view name) {
        const std::uint64_t hash = name_hash(name, key_);
        std::size_t slot = static_cast<std::size_t>(hash) & mask_;
        while (slots_[slot].number != kEmpty) {
            const Slot& seen = slots_[slot];
            if (seen.hash == hash && seen.size == name.size() && same_text(seen.data, name.data(), name.size())) {
                return seen.number;
            }
            slot = (slot + 1) & mask_;
        }
        slots_[slot] = Slot{hash, names_.size(), name.data(), name.size()};
        names_.push_back(name);
        if (names_.size() * 2 > slots_.size()) grow();
        return names_.size() - 1;
    }

    std::size_t size() const noexcept { return names_.size(); }
    std::vector<std::string_view>& names() noexcept { return names_; }

private:
    static constexpr std::size_t kInitialSlots = 64;
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t number = kEmpty;
        const char* data = nullptr;
        std::size_t size = 0;
    };

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        const std::size_t mask = slots.size() - 1;
        for (const Slot& old : slots_) {
            if (old.number == kEmpty) continue;
            std::size_t slot = static_cast<std::size_t>(old.hash) & mask;
            while (slots[slot].number != kEmpty) slot = (slot + 1) & mask;
            slots[slot] = old;
        }
        slots_.swap(slots);
        mask_ = mask;
    }

    std::vector<Slot> slots_;
    std::size_t mask_;
    std::vector<std::string_view> names_;
    const std::uint64_t key_ = hash_key();
};

// Appends the pairs of one section after another to `out` (at out[size],
// which is never past the pair being read, so `out` may be the input
// itself), numbering option names and replacing the value of an option the
// section already has.
class SectionBuilder {
public:
    explicit SectionBuilder(IniPair* out) noexcept : out_(out) {}

    void start() noexcept {
        first_ = size_;
        ++section_;
    }
    void add(const IniPair& pair) {
        const std::size_t option = options_.number(pair.key);
        if (option == last_section_.size()) {
            last_section_.push_back(0);
            position_.push_back(0);
        }
        if (last_section_[option] == section_) {
            out_[position_[option]].value = pair.value;
            return;
        }
        last_section_[option] = section_;
        position_[option] = size_;
        out_[size_] = pair;
        out_[size_].option = option;
        ++size_;
    }
    std::size_t first() const noexcept { return first_; }
    std::size_t size() const noexcept { return size_; }
    std::vector<std::string_view>& option_names() noexcept { return options_.names(); }

private:
    IniPair* out_;
    std::size_t size_ = 0;
    std::size_t first_ = 0;
    std::size_t section_ = 0;  // counts from 1
    NameTable options_;
    std::vector<std::size_t> last_section_;  // per option: the section it was last added to
    std::vector<std::size_t> position_;      // per option: where it stands in that section
};

// The pairs of the last document are kept for the next one (up to a
// bounded size), so that repeated loads do not fault in fresh pages.
using PairSpare = Spare<std::vector<IniPair>, std::size_t{8} << 20, struct IniPairStorage>;

}  // namespace

IniPairs::IniPairs() noexcept : items(PairSpare::take()) {}

IniPairs::~IniPairs() { PairSpare::give(std::move(items)); }

Result<IniDocument> parse_ini_document(std::string_view text) {
    // Byte order marks at the start are not part of the document.
    while (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    IniDocument document;
    document.pairs.items.reserve(text.size() / 32);
    document.ascii = scan::is_ascii(text.data(), text.size());
    Parser parser(text, document);
    if (!parser.parse()) return std::move(parser.error());
    return document;
}

Result<IniSections> ini_document_to_sections(IniDocument document) {
    const std::vector<IniBlock>& blocks = document.blocks;
    std::vector<IniPair>& pairs = document.pairs.items;
    IniSections table;
    table.decoded = std::move(document.decoded);
    table.ascii = document.ascii;

    // The section of each block that holds pairs: sections are numbered by
    // name in order of first appearance.
    constexpr std::size_t kSkipped = ~std::size_t{0};
    std::vector<std::size_t> section_of(blocks.size(), kSkipped);
    bool repeated = false;
    {
        NameTable names;
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const IniBlock& block = blocks[b];
            if (block.count == 0) continue;
            if (!block.named) return value_error("keys found outside of any section");
            const std::size_t section = names.number(block.name);
            section_of[b] = section;
            if (section == table.sections.size()) table.sections.push_back(IniSection{block.name, 0, 0});
            else repeated = true;
        }
    }

    if (!repeated) {
        // Each section is one block, in document order: the pairs are
        // compacted where they are.
        table.pairs = std::move(document.pairs);
        std::vector<IniPair>& out = table.pairs.items;
        SectionBuilder builder(out.data());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            if (section_of[b] == kSkipped) continue;
            IniSection& section = table.sections[section_of[b]];
            builder.start();
            for (std::size_t i = blocks[b].first; i < blocks[b].first + blocks[b].count; ++i) builder.add(out[i]);
            section.first = builder.first();
            section.count = builder.size() - builder.first();
        }
        out.resize(builder.size());
        table.option_names = std::move(builder.option_names());
        return table;
    }

    // Repeated sections: each section gathers the blocks of its name.
    std::vector<std::size_t> next_block(blocks.size(), kSkipped);
    std::vector<std::size_t> head(table.sections.size(), kSkipped);
    std::vector<std::size_t> tail(table.sections.size(), kSkipped);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::size_t s = section_of[b];
        if (s == kSkipped) continue;
        if (head[s] == kSkipped) head[s] = b;
        else next_block[tail[s]] = b;
        tail[s] = b;
    }
    std::vector<IniPair>& out = table.pairs.items;
    out.resize(pairs.size());
    SectionBuilder builder(out.data());
    for (std::size_t s = 0; s < table.sections.size(); ++s) {
        builder.start();
        for (std::size_t b = head[s]; b != kSkipped; b = next_block[b]) {
            for (std::size_t i = blocks[b].first; i < blocks[b].first + blocks[b].count; ++i) builder.add(pairs[i]);
        }
        table.sections[s].first = builder.first();
        table.sections[s].count = builder.size() - builder.first();
    }
    out.resize(builder.size());
    table.option_names = std::move(builder.option_names());
    return table;
}

}  // namespace tabrix::ini
