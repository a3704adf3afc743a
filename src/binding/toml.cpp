// toml.loads and toml.dumps.
#include <cstdint>
#include <string>

#include "binding/functions.hpp"
#include "binding/text.hpp"
#include "binding/tree_convert.hpp"
#include "core/toml/document.hpp"
#include "core/toml/parser.hpp"
#include "core/toml/writer.hpp"

namespace tabrix::py {

namespace {

// toml.loads builds its Python values straight from the loader's document
// rather than from a config tree made of it, as the other loaders do:
// skipping that copy of every value (a switch and a node written and read
// again per value) saves about 5% of a load. The values are those
// tree_to_python would make of the tree. Nesting is bounded by the loader's
// recursion limit.
class FromDocument {
public:
    explicit FromDocument(const toml::Document& document) noexcept : doc_(document) {}

    // A new reference for the value at `index`, or NULL with an exception.
    PyObject* convert(std::uint32_t index) {
        const toml::Value& v = doc_.value(index);
        switch (v.kind) {
            case toml::ValueKind::Bool:
                return Py_NewRef(v.boolean ? Py_True : Py_False);
            case toml::ValueKind::Int:
                return PyLong_FromLongLong(v.integer);
            case toml::ValueKind::Float:
                return PyFloat_FromDouble(v.real);
            case toml::ValueKind::Str:
                return (v.flags & toml::kAscii) != 0 ? str_from_ascii(v.text, v.size) : str_from_utf8(v.text, v.size);
            case toml::ValueKind::Array:
                return array(v);
            case toml::ValueKind::Table:
                return table(v);
        }
        PyErr_SetString(PyExc_SystemError, "corrupt toml document");
        return nullptr;
    }

private:
    [[gnu::noinline]] PyObject* array(const toml::Value& v) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(v.container.count)));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        for (std::uint32_t e = v.links.first; e != toml::kNone; e = doc_.value(e).next, ++i) {
            PyObject* item = convert(e);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), i, item);
        }
        return list.release();
    }
    [[gnu::noinline]] PyObject* table(const toml::Value& v) {
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (std::uint32_t e = v.links.first; e != toml::kNone;) {
            const toml::Entry& entry = doc_.entry(e);
            Ref value(convert(entry.value));
            if (!value) return nullptr;
            PyObject* key = keys_.get(entry.key, entry.key_size);
            if (key == nullptr || PyDict_SetItem(dict.get(), key, value.get()) < 0) return nullptr;
            e = entry.next;
        }
        return dict.release();
    }

    const toml::Document& doc_;
    KeyCache keys_;
};

// The text is read without the lock and without a copy: a str's UTF-8 form
// never changes, ends in a NUL byte and lives as long as the str, which the
// caller holds for the whole call. The document, which may point into it,
// dies before the call ends.
PyResult loads(PyObject*, Text data) {
    ConversionTurn turn;
    toml::Reader reader(data.utf8);
    Status read = [&reader, &turn] {
        WithoutGil released(turn);
        return reader.read();
    }();
    if (!read) return std::move(read).error();
    FromDocument walk(reader.document());
    return PyResult::from(walk.convert(reader.document().root()));
}

PyResult dumps(PyObject*, PyObject* obj) {
    Outcome<ConfigTree> tree = tree_from_python(obj);
    if (!tree) return std::move(tree).error();
    if (Status checked = toml::tree_to_toml(*tree); !checked) return std::move(checked).error();
    OutBuffer out(tree->node_count() * 12);
    toml::write_toml_document(out, *tree);
    return PyResult::from(str_from_utf8(out.data(), out.size()));
}

}  // namespace

PyMethodDef toml_functions[] = {
    {"loads", function<kLoadsSignature, loads>(), kFastCall, "loads(data)\n--\n\n"},
    {"dumps", function<kDumpsSignature, dumps>(), kFastCall, "dumps(obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tabrix::py
