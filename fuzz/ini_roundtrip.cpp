// The INI writer's pieces: section names, option names and option values
// written as ini.dumps writes them read back as the same texts, without
// disturbing the options after them (names with white space at either end
// and empty option names, which ini.dumps refuses, aside); float texts read
// back as the same double.
#include "common.hpp"
#include "core/ini/ini_parser.hpp"
#include "core/ini/ini_writer.hpp"
#include "core/number/parse.hpp"

using namespace tabrix;

namespace {

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
    std::string section = words.text();
    if (ini::has_white_space_edge(section)) section = "s";
    std::vector<std::string> names;
    std::vector<std::string> values;
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, 4);
    OutBuffer doc;
    doc.push('[');
    ini::write_ini_section_name(doc, section);
    doc.append("]\n");
    for (std::size_t i = 0; i < count; ++i) {
        // Distinct names: the option's number, then the generated text.
        std::string name(1, static_cast<char>('0' + i));
        name += words.text();
        if (ini::has_white_space_edge(name)) name.resize(1);
        names.push_back(std::move(name));
        values.push_back(words.text());
        ini::write_ini_option_name(doc, names.back());
        doc.append(" = ");
        ini::write_ini_escaped(doc, values.back());
        doc.push('\n');
    }
    doc.push('\n');
    Result<ini::IniDocument> document = ini::parse_ini_document(doc.view());
    if (!document) fuzz::fail("written INI does not load", {doc.view(), document.error().message});
    Result<ini::IniSections> table = ini::ini_document_to_sections(std::move(*document));
    if (!table) fuzz::fail("written INI has no section table", {doc.view(), table.error().message});
    fuzz::check(table->sections.size() == 1 && table->sections[0].name == section, "the section", {doc.view()});
    fuzz::check(table->sections[0].count == count, "the option count", {doc.view()});
    for (std::size_t i = 0; i < count; ++i) {
        const ini::IniPair& pair = table->pairs.items[table->sections[0].first + i];
        fuzz::check(pair.key == names[i], "option name reads back differently", {doc.view(), pair.key});
        fuzz::check(pair.value == values[i], "value reads back differently", {doc.view(), pair.value});
    }
    return 0;
}
