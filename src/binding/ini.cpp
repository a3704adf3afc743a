// ini.loads and ini.dumps. Neither uses the config tree: loads builds its
// dicts from the section table, dumps walks the Python dicts itself.
#include <cstring>
#include <string>
#include <vector>

#include "binding/dict_walk.hpp"
#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "core/ini/ini_parser.hpp"
#include "core/ini/ini_writer.hpp"
#include "core/number/float_text.hpp"

namespace tabrix::py {

namespace {

// ---------------------------------------------------------------- loads

// The text is read without the lock and without a copy: a str's UTF-8 form
// never changes and lives as long as the str, which the caller holds for the
// whole call.
PyResult loads(PyObject*, Text data) {
    ConversionTurn turn;
    Result<ini::IniSections> table = [&]() -> Result<ini::IniSections> {
        WithoutGil released(turn);
        Result<ini::IniDocument> document = ini::parse_ini_document(data.utf8);
        if (!document) return std::move(document).error();
        return ini::ini_document_to_sections(std::move(*document));
    }();
    if (!table) return std::move(table).error();

    Ref result(PyDict_New());
    if (!result) return PyResult::failed();
    const bool ascii = table->ascii;
    auto make_str = [ascii](std::string_view text) {
        return ascii ? str_from_ascii(text.data(), text.size()) : str_from_utf8(text);
    };
    // One str per distinct option name, made when first needed.
    std::vector<Ref> option_names(table->option_names.size());
    for (const ini::IniSection& section : table->sections) {
        Ref options(PyDict_New());
        if (!options) return PyResult::failed();
        const ini::IniPair* pair = table->pairs.items.data() + section.first;
        for (std::size_t i = 0; i < section.count; ++i, ++pair) {
            Ref& key = option_names[pair->option];
            if (!key) {
                key = Ref(make_str(pair->key));
                if (!key) return PyResult::failed();
            }
            Ref value(make_str(pair->value));
            if (!value || PyDict_SetItem(options.get(), key.get(), value.get()) < 0) return PyResult::failed();
        }
        Ref name(make_str(section.name));
        if (!name || PyDict_SetItem(result.get(), name.get(), options.get()) < 0) return PyResult::failed();
    }
    return PyResult(std::move(result));
}

// ---------------------------------------------------------------- dumps

// The UTF-8 text of a str (or subclass); false (no exception set) for any
// other object and for a str without a UTF-8 form. Valid while `object` is.
bool utf8_text(PyObject* object, std::string_view& text) {
    if (!PyUnicode_Check(object)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(object)) [[likely]] {
        text = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
        return true;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a lone surrogate
        return false;
    }
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// NumPy's boolean scalar types: named "bool_" (NumPy 1) or "bool" (NumPy 2)
// in the module "numpy". Checked without importing NumPy.
bool is_numpy_bool(PyTypeObject* type) {
    const char* full = type->tp_name;
    const char* dot = std::strrchr(full, '.');
    const char* name = dot ? dot + 1 : full;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
    static InternedName module_name("__module__");
    PyObject* attribute = module_name.get();
    if (attribute == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref module(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), attribute));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

class IniWriter {
public:
    explicit IniWriter(OutBuffer& out) : out_(out) {}

    // False when the walk failed: `error` holds the error, or else the
    // interpreter has an exception set.
    bool write_document(PyObject* root);

    WalkError error;

private:
    bool fail(ErrorKind kind, std::string message) { return error.fail(kind, std::move(message)); }
    bool write_options(PyObject* root, PyObject* section, std::string_view section_name);
    int ini_value_text(PyObject* value);
    int write_str(PyObject* value) {
        std::string_view text;
        if (!utf8_text(value, text)) return 0;
        ini::write_ini_escaped(out_, text);
        return 1;
    }

    OutBuffer& out_;
};

bool IniWriter::write_document(PyObject* root) {
    return for_each_entry(root, error, [&](PyObject* key, PyObject* section) {
        std::string_view name;
        if (!utf8_text(key, name)) return fail(ErrorKind::Type, "section names must be str");
        if (!PyDict_Check(section)) return fail(ErrorKind::Type, "section " + std::string(name) + " must be a mapping");
        // What the reader would not give back: a trimmed name, or a section
        // that it drops for having no options.
        if (ini::has_white_space_edge(name)) {
            return fail(ErrorKind::Value, "section name " + std::string(name) + " starts or ends with white space");
        }
        if (PyDict_GET_SIZE(section) == 0) {
            return fail(ErrorKind::Value, "section " + std::string(name) + " has no options");
        }
        out_.push('[');
        ini::write_ini_section_name(out_, name);
        out_.append("]\n", 2);
        if (!write_options(root, section, name)) return false;
        out_.push('\n');
        return true;
    });
}

bool IniWriter::write_options(PyObject* root, PyObject* section, std::string_view section_name) {
    // A value's __index__ or __float__ may change the section or the root.
    return for_each_entry(section, error, [&](PyObject* key, PyObject* value) {
        std::string_view option;
        if (!utf8_text(key, option)) return fail(ErrorKind::Type, "option names must be str");
        // The reader trims option names, and an empty one is no key to it.
        if (option.empty()) {
            return fail(ErrorKind::Value, "section " + std::string(section_name) + " has an empty option name");
        }
        if (ini::has_white_space_edge(option)) {
            return fail(ErrorKind::Value, "option name " + std::string(option) + " in section " +
                                              std::string(section_name) + " starts or ends with white space");
        }
        ini::write_ini_option_name(out_, option);
        out_.append(" = ", 3);
        const int written = ini_value_text(value);
        if (written <= 0) return written == 0 ? fail(ErrorKind::Type, "INI values must be str, int, float or bool") : false;
        out_.push('\n');
        return true;
    }, root);
}

// Writes the text of one option value, escaped: 1 when written, 0 when the
// value has no INI form (no exception set), -1 with an exception set. The
// first that fits of: a boolean, a C long, a C double, a str.
int IniWriter::ini_value_text(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    // The exact built-in types first: none of them fits an earlier step.
    if (type == &PyUnicode_Type) return write_str(value);
    if (type == &PyBool_Type) {
        if (value == Py_True) out_.append("true", 4);
        else out_.append("false", 5);
        return 1;
    }
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long number = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            write_int(out_, number);
            return 1;
        }
        const double real = PyLong_AsDouble(value);
        if (real == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // beyond the double range
            return 0;
        }
        ini::write_ini_float(out_, real);
        return 1;
    }
    if (type == &PyFloat_Type) {
        ini::write_ini_float(out_, PyFloat_AS_DOUBLE(value));
        return 1;
    }

    if (is_numpy_bool(type)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return -1;
        if (truth) out_.append("true", 4);
        else out_.append("false", 5);
        return 1;
    }
    const long number = PyLong_AsLong(value);
    if (number != -1 || !PyErr_Occurred()) {
        write_int(out_, number);
        return 1;
    }
    PyErr_Clear();
    const double real = PyFloat_AsDouble(value);
    if (real != -1.0 || !PyErr_Occurred()) {
        ini::write_ini_float(out_, real);
        return 1;
    }
    PyErr_Clear();
    return write_str(value);
}

PyResult dumps(PyObject*, PyObject* obj) {
    if (!PyDict_Check(obj)) return type_error("INI dumps expects a mapping of sections to mappings");
    OutBuffer out;
    IniWriter writer(out);
    if (!writer.write_document(obj)) return PyResult(writer.error.take());
    return PyResult::from(str_from_utf8(out.data(), out.size()));
}

}  // namespace

PyMethodDef ini_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
