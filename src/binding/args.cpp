#include "binding/args.hpp"

namespace tabrix::py {

namespace {

[[gnu::cold]] void raise_too_many(const Signature& s, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", s.name, s.count(), given,
                 given == 1 ? "was" : "were");
}

// "{function} missing {count} required positional {noun}: {names}", the names
// quoted and joined as the interpreter joins them: 'a'; 'a' and 'b';
// 'a', 'b', and 'c'.
[[gnu::cold]] void raise_missing(const Signature& s, PyObject** bound) {
    const std::size_t count = s.count();
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) missing += bound[i] == nullptr;
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) return;
    std::size_t written = 0;
    bool ok = true;
    for (std::size_t i = 0; i < count && ok; ++i) {
        if (bound[i] != nullptr) continue;
        if (written > 0) {
            const char* separator = missing == 2 ? " and " : (written + 1 == missing ? ", and " : ", ");
            ok = PyUnicodeWriter_WriteUTF8(writer, separator, -1) == 0;
        }
        ok = ok && PyUnicodeWriter_WriteChar(writer, '\'') == 0 &&
             PyUnicodeWriter_WriteUTF8(writer, s.parameters[i], -1) == 0 &&
             PyUnicodeWriter_WriteChar(writer, '\'') == 0;
        ++written;
    }
    if (!ok) {
        PyUnicodeWriter_Discard(writer);
        return;
    }
    Ref names(PyUnicodeWriter_Finish(writer));
    if (!names) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %U", s.name, missing,
                 missing == 1 ? "argument" : "arguments", names.get());
}

}  // namespace

bool bind_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const std::size_t count = s.count();
    if (static_cast<std::size_t>(nargs) > count) [[unlikely]] {
        raise_too_many(s, nargs);
        return false;
    }
    std::size_t filled = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < count; ++i) bound[i] = i < filled ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            std::size_t index = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (PyUnicode_CompareWithASCIIString(keyword, s.parameters[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index == count) [[unlikely]] {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, keyword);
                return false;
            }
            if (bound[index] != nullptr) [[unlikely]] {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.name,
                             s.parameters[index]);
                return false;
            }
            bound[index] = args[nargs + k];
            ++filled;
        }
    }
    if (filled < count) [[unlikely]] {
        raise_missing(s, bound);
        return false;
    }
    return true;
}

void raise_not_instance(PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref name(PyType_GetQualName(Py_TYPE(object)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool Convert<Text>::from(PyObject* object, Text& out) {
    if (!PyUnicode_Check(object)) [[unlikely]] {
        raise_not_instance(object, "str");
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
    out.object = object;
    out.utf8 = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool Convert<Dict>::from(PyObject* object, Dict& out) {
    if (!PyDict_Check(object)) [[unlikely]] {
        raise_not_instance(object, "dict");
        return false;
    }
    out.object = object;
    return true;
}

PyResult not_available(const char* module, const char* function) {
    PyErr_Format(PyExc_NotImplementedError, "%s.%s is not available yet", module, function);
    return PyResult::failed();
}

}  // namespace tabrix::py
