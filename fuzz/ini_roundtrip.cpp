// The INI writer's pieces: option values escaped as ini.dumps writes them
// read back as the same text (blanks at either end aside, which the reader
// trims), without disturbing the options after them; float texts read back
// as the same double.
#include "common.hpp"
#include "core/ini/ini_parser.hpp"
#include "core/ini/ini_writer.hpp"
#include "core/number/parse.hpp"
#include "core/text/unicode.hpp"

using namespace tabrix;

namespace {

bool is_space(const char* p) {
    return unicode::is_white_space(utf8::decode(p));
}

// Without White_Space at either end.
std::string_view trimmed(std::string_view text) {
    while (!text.empty()) {
        const char* p = text.data();
        const char* q = p;
        if (!unicode::is_white_space(utf8::decode(q))) break;
        text.remove_prefix(static_cast<std::size_t>(q - p));
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!is_space(text.data() + start)) break;
        text = text.substr(0, start);
    }
    return text;
}

void check_float(double value) {
    OutBuffer out;
    ini::write_ini_float(out, value);
    const std::string_view text = out.view();
    if (std::isnan(value)) {
        fuzz::check(text == "NaN", "NaN text", {text});
        return;
    }
    if (std::isinf(value)) {
        fuzz::check(text == (value > 0 ? "inf" : "-inf"), "infinity text", {text});
        return;
    }
    fuzz::check(text.find_first_of("eE") == std::string_view::npos, "an exponent in an INI float", {text});
    const double back = read_decimal_double(text);
    fuzz::check(std::memcmp(&back, &value, sizeof value) == 0, "float text reads back differently", {text});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    double real;
    std::memcpy(&real, &bits, sizeof real);
    check_float(real);

    fuzz::TreeGenerator words(in, fuzz::TreeShape{});
    std::vector<std::string> values;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, 4);
    OutBuffer doc;
    doc.append("[s]\n");
    for (std::size_t i = 0; i < count; ++i) {
        values.push_back(words.text());
        doc.append("k");
        doc.push(static_cast<char>('0' + i));
        doc.append(" = ");
        ini::write_ini_escaped(doc, values.back());
        doc.push('\n');
    }
    doc.push('\n');
    Result<ini::IniDocument> document = ini::parse_ini_document(doc.view());
    if (!document) fuzz::fail("written INI does not load", {doc.view(), document.error().message});
    Result<ini::IniSections> table = ini::ini_document_to_sections(std::move(*document));
    if (!table) fuzz::fail("written INI has no section table", {doc.view(), table.error().message});
    fuzz::check(table->sections.size() == 1 && table->sections[0].name == "s", "the section", {doc.view()});
    fuzz::check(table->sections[0].count == count, "the option count", {doc.view()});
    for (std::size_t i = 0; i < count; ++i) {
        const ini::IniPair& pair = table->pairs.items[table->sections[0].first + i];
        fuzz::check(pair.key.size() == 2 && pair.key[1] == static_cast<char>('0' + i), "option name", {doc.view()});
        const std::string_view value = values[i];
        if (trimmed(value) == value) fuzz::check(pair.value == value, "value reads back differently", {doc.view(), pair.value});
        else fuzz::check(trimmed(pair.value) == trimmed(value), "value reads back differently", {doc.view(), pair.value});
    }
    return 0;
}
