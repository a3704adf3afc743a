// The one walk over a dict's own entries that every writer and copier uses.
#pragma once

#include <utility>

#include "binding/errors.hpp"

namespace tabrix::py {

// Asks for the start of a dict's table, where its first entries are (for
// a dict of up to a few dozen entries): the walk of that dict starts with a
// read of them, which would otherwise wait on each nested dict in turn.
// Only a hint: nothing is read through the pointer here.
inline void prefetch_table(PyObject* dict) noexcept {
    const char* const table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    __builtin_prefetch(table);
    __builtin_prefetch(table + 64);
}

// Whether `object` is None, an exact bool, int or float, or an exact str of
// ASCII text in its compact form: a value whose conversion reads it and
// calls nothing that could run Python code or wait for a lock.
inline bool is_plain(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyUnicode_Type) return PyUnicode_IS_COMPACT_ASCII(object);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || object == Py_None;
}

// What a visit of the walk that leaves plain entries unheld tells it: that
// it failed, or whether the entry's conversion ran no Python code (Quiet).
enum class Visited { Failed, Quiet, RanCode };

// Calls visit(key, value) for each entry of `dict`, in its order, read from
// its own storage (no method of a subclass is called) under its critical
// section; both references are held for the call. Stops with false when
// visit does (its error is set or recorded). Code that a visit runs may change
// the dict: after each entry the walk fails with PanicException "dictionary
// changed size during iteration" if its size (or that of `outer`, an
// enclosing dict being walked too) is not what it was, and with "dictionary
// keys changed during iteration" if it yields more entries than it held.
//
// With kHoldPlain false the walk holds no key or value that is_plain: the
// Python-to-tree walk takes it, where converting such an object runs no
// Python code that could drop the entry, and which is done with the key
// before it converts the value. That saves four reference count writes per
// entry, on objects that walk only reads; after an entry whose key and value
// are both plain it skips the tests for a changed dict, as nothing ran that
// could change one. Its visit returns a Visited: with the GIL, an entry
// whose visit was Quiet (a nested dict or list of plain values, say) skips
// those tests and the second read of the next entry too. Without the GIL a
// nested container's critical section may let other threads in, so there
// only plain entries skip them.
template <bool kHoldPlain = true, class Visit>
bool for_each_entry(PyObject* dict, WalkError& error, Visit&& visit, PyObject* outer = nullptr) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    const Py_ssize_t outer_size = outer != nullptr ? PyDict_GET_SIZE(outer) : 0;
    CriticalSection lock(dict);
    Py_ssize_t position = 0;
    Py_ssize_t seen = 0;
    PyObject* borrowed_key;
    PyObject* borrowed_value;
    if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) return true;
    while (true) {
        // The next entry is read before this one is converted and its
        // objects are asked for at once: the conversion starts with each
        // object's type, and without the hint it would wait for every
        // object in turn (a fifth of a jsonc.dumps). The read ahead is only
        // a hint until this entry's conversion is known to have run no code.
        Py_ssize_t ahead = position;
        PyObject* next_key;
        PyObject* next_value;
        bool more = PyDict_Next(dict, &ahead, &next_key, &next_value);
        if (more) {
            __builtin_prefetch(next_key);
            __builtin_prefetch(next_value);
        }
        bool plain = false;
        if constexpr (kHoldPlain) {
            const Ref key = Ref::borrow(borrowed_key);
            const Ref value = Ref::borrow(borrowed_value);
            if (!visit(key.get(), value.get())) return false;
        } else {
            // An entry of plain key and value runs no code that could change
            // the dict: the walk holds neither and skips the tests below.
            plain = is_plain(borrowed_key) && is_plain(borrowed_value);
            const Ref key = plain ? Ref() : Ref::borrow(borrowed_key);
            const Ref value = plain ? Ref() : Ref::borrow(borrowed_value);
            const Visited visited = visit(borrowed_key, borrowed_value);
            if (visited == Visited::Failed) return false;
#ifndef Py_GIL_DISABLED
            plain = plain || visited == Visited::Quiet;
#endif
        }
        ++seen;
        if (!plain) {
            if (PyDict_GET_SIZE(dict) != size || (outer != nullptr && PyDict_GET_SIZE(outer) != outer_size))
                [[unlikely]] {
                return error.fail(ErrorKind::Panic, "dictionary changed size during iteration");
            }
            if (seen > size) [[unlikely]] return error.fail(ErrorKind::Panic, "dictionary keys changed during iteration");
            // The visit may have run code that changed the entries: the
            // next one is read again.
            ahead = position;
            more = PyDict_Next(dict, &ahead, &next_key, &next_value);
        }
        if (!more) break;
        position = ahead;
        borrowed_key = next_key;
        borrowed_value = next_value;
    }
    return true;
}

}  // namespace tabrix::py
