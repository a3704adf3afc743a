// The one walk over a dict's own entries that every writer and copier uses.
#pragma once

#include <utility>

#include "binding/errors.hpp"

namespace tabrix::py {

// Calls visit(key, value) for each entry of `dict`, in its order, read from
// its own storage (no method of a subclass is called) under its critical
// section; both references are held for the call. Stops with false when
// visit does (its error is set or recorded). Code that a visit runs may change
// the dict: after each entry the walk fails with PanicException "dictionary
// changed size during iteration" if its size (or that of `outer`, an
// enclosing dict being walked too) is not what it was, and with "dictionary
// keys changed during iteration" if it yields more entries than it held.
template <class Visit>
bool for_each_entry(PyObject* dict, WalkError& error, Visit&& visit, PyObject* outer = nullptr) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    const Py_ssize_t outer_size = outer != nullptr ? PyDict_GET_SIZE(outer) : 0;
    CriticalSection lock(dict);
    Py_ssize_t position = 0;
    Py_ssize_t seen = 0;
    PyObject* borrowed_key;
    PyObject* borrowed_value;
    while (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
        const Ref key = Ref::borrow(borrowed_key);
        const Ref value = Ref::borrow(borrowed_value);
        if (!visit(key.get(), value.get())) return false;
        ++seen;
        if (PyDict_GET_SIZE(dict) != size || (outer != nullptr && PyDict_GET_SIZE(outer) != outer_size)) [[unlikely]] {
            return error.fail(ErrorKind::Panic, "dictionary changed size during iteration");
        }
        if (seen > size) [[unlikely]] return error.fail(ErrorKind::Panic, "dictionary keys changed during iteration");
    }
    return true;
}

}  // namespace tabrix::py
