#include <string>

#include "binding/text.hpp"
#include "binding/tree_convert.hpp"

namespace tabrix::py {

namespace {

class ToPython {
public:
    // A new reference for the value at `node`, advancing `node` past its
    // subtree; NULL with an exception set, or with `error` recorded.
    PyObject* convert(const Node*& node, std::size_t depth) { return convert_value(node, depth); }

    WalkError error;

private:
    PyObject* string(const Node& node) {
        const std::string_view text = node.str();
        if (node.known_ascii()) return str_from_ascii(text.data(), text.size());
        return str_from_utf8(text.data(), text.size());
    }
    // The scalars inline, in the loops over a container's items, which
    // saves a call (and its frame) per value; containers out of line.
    [[gnu::always_inline]] inline PyObject* convert_value(const Node*& node, std::size_t depth);
    static PyObject* big_int(std::string_view digits);
    [[gnu::noinline]] PyObject* list(const Node*& node, std::size_t depth);
    [[gnu::noinline]] PyObject* dict(const Node*& node, std::size_t depth);

    KeyCache keys_;
};

PyObject* ToPython::big_int(std::string_view digits) {
    Ref text(str_from_utf8(digits));
    if (!text) return nullptr;
    return builtin_int(text.get());
}

PyObject* ToPython::convert_value(const Node*& node, std::size_t depth) {
    const Node& n = *node;
    switch (n.kind()) {
        case Kind::Null:
            ++node;
            Py_RETURN_NONE;
        case Kind::Bool:
            ++node;
            return Py_NewRef(n.boolean ? Py_True : Py_False);
        case Kind::Int:
            ++node;
            return PyLong_FromLongLong(n.integer);
        case Kind::Float:
            ++node;
            return PyFloat_FromDouble(n.real);
        case Kind::Str:
            ++node;
            return string(n);
        case Kind::BigInt:
            ++node;
            return big_int(n.str());
        case Kind::List:
            return list(node, depth);
        case Kind::Map:
            return dict(node, depth);
    }
    PyErr_SetString(PyExc_SystemError, "corrupt config tree");
    return nullptr;
}

PyObject* ToPython::list(const Node*& node, std::size_t depth) {
    if (depth >= kMaxNesting) [[unlikely]] {
        error.fail(ErrorKind::Recursion, std::string(kNestingMessage));
        return nullptr;
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(node->size());
    ++node;
    Ref list(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = convert_value(node, depth + 1);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject* ToPython::dict(const Node*& node, std::size_t depth) {
    if (depth >= kMaxNesting) [[unlikely]] {
        error.fail(ErrorKind::Recursion, std::string(kNestingMessage));
        return nullptr;
    }
    const std::uint64_t count = node->size();
    ++node;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::uint64_t i = 0; i < count; ++i) {
        const Node& key_node = *node++;
        Ref value(convert_value(node, depth + 1));
        if (!value) return nullptr;
        const std::string_view key_text = key_node.str();
        PyObject* key = keys_.get(key_text.data(), key_text.size(), key_node.known_ascii());
        if (key == nullptr || PyDict_SetItem(dict.get(), key, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace

PyResult tree_to_python(const ConfigTree& tree) {
    ToPython walk;
    const Node* node = &tree.root();
    PyObject* result = walk.convert(node, 0);
    if (result == nullptr) {
        return PyResult(walk.error.take());
    }
    return PyResult(Ref(result));
}

}  // namespace tabrix::py
