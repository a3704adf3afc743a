// Expansion of variable references with a table of variables taken from the
// input (one name whose lookup fails). Checks: the output is valid UTF-8;
// text without "$" is unchanged; text without "{" expands exactly as a
// plain reading of $NAME and $$ says.
#include <map>

#include "common.hpp"
#include "core/interpolate/expand.hpp"

using namespace tabrix;
using namespace tabrix::interpolate;

namespace {

class TableVariables final : public Variables {
public:
    std::map<std::string, std::string, std::less<>> values;
    std::string failing;  // looking this name up fails
    bool failed = false;

    Found find(std::string_view name, std::string_view& value) override {
        fuzz::check(!name.empty(), "empty variable name");
        if (name == failing) {
            failed = true;
            return Found::Failed;
        }
        auto it = values.find(name);
        if (it == values.end()) return Found::Unset;
        value = it->second;
        return Found::Set;
    }
};

bool name_byte(char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (!first && c >= '0' && c <= '9');
}

// $NAME and $$ only; false where the text is invalid (a lone "$") or a
// lookup fails.
bool plain_expansion(std::string_view text, TableVariables& vars, std::string& out) {
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '$') {
            out.push_back(text[i++]);
            continue;
        }
        if (++i == text.size()) return false;
        if (text[i] == '$') {
            out.push_back('$');
            ++i;
            continue;
        }
        if (!name_byte(text[i], true)) return false;
        std::size_t end = i + 1;
        while (end < text.size() && name_byte(text[end], false)) ++end;
        const std::string_view name = text.substr(i, end - i);
        if (name == vars.failing) return false;
        auto it = vars.values.find(name);
        if (it != vars.values.end()) out += it->second;
        i = end;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    TableVariables vars;
    static constexpr const char* kNames[] = {"A", "B", "HOME", "_x", "a1", "EMPTY", "LONG_NAME_9"};
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 5);
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = kNames[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
        std::string value = in.ConsumeRandomLengthString(64);
        if (!utf8::is_valid(value)) value = "?";
        vars.values[name] = value;
    }
    if (in.ConsumeBool()) vars.failing = kNames[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
    const std::string text = in.ConsumeRemainingBytesAsString();
    if (!utf8::is_valid(text)) return -1;  // the text of a str

    OutBuffer out;
    Error error;
    const Outcome outcome = expand(text, vars, out, error);
    switch (outcome) {
        case Outcome::Expanded:
            fuzz::check(!vars.failed, "a failed lookup expanded", {text});
            fuzz::check(utf8::is_valid(out.view()), "expansion is not UTF-8", {text, out.view()});
            if (text.find('$') == std::string::npos) fuzz::check(out.view() == text, "text without $ changed", {text});
            break;
        case Outcome::Invalid:
            fuzz::check(error.kind == ErrorKind::Value || error.kind == ErrorKind::Recursion, "error kind", {text});
            fuzz::check(!error.message.empty() && utf8::is_valid(error.message), "error message", {text, error.message});
            break;
        case Outcome::LookupFailed:
            fuzz::check(vars.failed, "lookup failure without a failed lookup", {text});
            break;
    }
    if (text.find('{') == std::string::npos) {
        std::string expected;
        TableVariables again = vars;
        again.failed = false;
        const bool ok = plain_expansion(text, again, expected);
        fuzz::check(ok == (outcome == Outcome::Expanded), "plain expansion disagrees on success", {text});
        if (ok) fuzz::check(out.view() == expected, "plain expansion disagrees", {text, out.view(), expected});
    }
    return 0;
}
