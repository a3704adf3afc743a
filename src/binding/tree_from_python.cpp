#include <string>

#include "binding/dict_walk.hpp"
#include "binding/tree_convert.hpp"

namespace tabrix::py {

namespace {

class FromPython {
public:
    // False when the walk failed: then either the interpreter has an
    // exception set or `error` holds the error.
    bool convert(PyObject* object, std::size_t depth);

    TreeBuilder builder;
    WalkError error;

private:
    // The walk recurses once per level (up to kMaxNesting): the rare paths
    // and the containers stay out of line, so each level keeps a small frame.
    [[gnu::cold, gnu::noinline]] bool fail(ErrorKind kind, const char* message) {
        return error.fail(kind, std::string(message));
    }
    [[gnu::cold, gnu::noinline]] bool fail_type(PyTypeObject* type);
    [[gnu::noinline]] bool add_big_int(PyObject* integer);
    inline bool add_text(PyObject* str);
    bool enter(std::size_t depth) {
        if (depth >= kMaxNesting) [[unlikely]] return fail(ErrorKind::Recursion, kNestingMessage.data());
        return true;
    }
    [[gnu::noinline]] bool convert_list(PyObject* list, std::size_t depth);
    [[gnu::noinline]] bool convert_tuple(PyObject* tuple, std::size_t depth);
    [[gnu::noinline]] bool convert_dict(PyObject* dict, std::size_t depth);
};

bool FromPython::add_text(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
        // ASCII text is its own UTF-8 form.
        builder.add_str(std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))),
                        true);
        return true;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
    builder.add_str(std::string_view(utf8, static_cast<std::size_t>(size)), PyUnicode_IS_ASCII(str));
    return true;
}

bool FromPython::convert(PyObject* object, std::size_t depth) {
    if (object == Py_None) {
        builder.add_null();
        return true;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyBool_Type) {
        builder.add_bool(object == Py_True);
        return true;
    }
    if (PyUnicode_Check(object)) return add_text(object);
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) return false;
            builder.add_int(value);
            return true;
        }
        return add_big_int(object);
    }
    if (PyFloat_Check(object)) {
        builder.add_float(PyFloat_AS_DOUBLE(object));
        return true;
    }
    if (PyList_Check(object)) return convert_list(object, depth);
    if (PyTuple_Check(object)) return convert_tuple(object, depth);
    if (PyDict_Check(object)) return convert_dict(object, depth);
    return fail_type(type);
}

bool FromPython::fail_type(PyTypeObject* type) {
    Ref name(PyType_GetName(type));
    if (!name) return false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) return false;
    return error.fail(ErrorKind::Type,
                      "cannot represent " + std::string(utf8, static_cast<std::size_t>(size)) + " in a config tree");
}

// An int beyond 64 bits: its str() (a subclass's own, if it has one).
bool FromPython::add_big_int(PyObject* integer) {
    Ref text(PyObject_Str(integer));
    if (!text) return false;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return false;
    builder.add_big_int(std::string_view(utf8, static_cast<std::size_t>(size)));
    return true;
}

bool FromPython::convert_tuple(PyObject* tuple, std::size_t depth) {
    if (!enter(depth)) return false;
    builder.begin_list();
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!convert(PyTuple_GET_ITEM(tuple, i), depth + 1)) return false;
    }
    builder.end_list();
    return true;
}

bool FromPython::convert_list(PyObject* list, std::size_t depth) {
    if (!enter(depth)) return false;
    builder.begin_list();
    // Indexes below the smaller of the length at the start and the current
    // length: a list that shrinks while it is walked is read only so far.
    const Py_ssize_t start_size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start_size && i < PyList_GET_SIZE(list); ++i) {
        Ref item(PyList_GetItemRef(list, i));
        if (!item) {
            // Another thread shortened the list since the size test.
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                break;
            }
            return false;
        }
        if (!convert(item.get(), depth + 1)) return false;
    }
    builder.end_list();
    return true;
}

bool FromPython::convert_dict(PyObject* dict, std::size_t depth) {
    if (!enter(depth)) return false;
    builder.begin_map();
    const bool ok = for_each_entry(dict, error, [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) return fail(ErrorKind::Type, "config keys must be strings");
        if (!add_text(key)) {
            PyErr_Clear();  // a lone surrogate
            return fail(ErrorKind::Type, "config keys must be strings");
        }
        return convert(value, depth + 1);
    });
    if (!ok) return false;
    builder.end_map();
    return true;
}

}  // namespace

Outcome<ConfigTree> tree_from_python(PyObject* object) {
    FromPython walk;
    if (!walk.convert(object, 0)) return walk.error.take();
    return walk.builder.finish();
}

}  // namespace tabrix::py
