// The argument layer every function enters through: bind the call's
// arguments to the parameters (with the interpreter's own messages), convert
// each in parameter order (a failure gets the note "while processing
// '{parameter}'"), run the implementation, and raise its pending error if it
// failed.
//
// A function is declared by its Signature and its implementation, whose
// parameter types choose the conversions:
//
//     constexpr Signature kLoads{"loads", {"data"}};
//     PyResult loads(PyObject* module, Text data);
//     ... {"loads", function<kLoads, loads>(), METH_FASTCALL | METH_KEYWORDS, "loads(data)\n--\n\n"}
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/errors.hpp"

namespace tabrix::py {

inline constexpr std::size_t kMaxParameters = 3;

struct Signature {
    const char* name;
    std::array<const char*, kMaxParameters> parameters;

    constexpr std::size_t count() const {
        std::size_t n = 0;
        while (n < kMaxParameters && parameters[n] != nullptr) ++n;
        return n;
    }
};

// Fills `bound` (borrowed references) from a vectorcall; false with TypeError
// in the interpreter's wording when the arguments do not fit.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

// "'{type}' object is not an instance of '{expected}'", or for None
// "'None' is not an instance of '{expected}'": raised as TypeError.
void raise_not_instance(PyObject* object, const char* expected);

// ---------------------------------------------------------------- conversions
// Convert<T>::from(object, out) fills `out` or returns false with a Python
// exception set. New parameter kinds add a specialisation next to their use.
template <class T>
struct Convert;

// Any object, as is (borrowed for the call).
template <>
struct Convert<PyObject*> {
    static bool from(PyObject* object, PyObject*& out) {
        out = object;
        return true;
    }
};

// A str (or subclass) viewed as UTF-8: the stored characters, no method of a
// subclass called. The view is borrowed from the object and valid while the
// call holds the lock.
struct Text {
    PyObject* object = nullptr;
    std::string_view utf8;
};
template <>
struct Convert<Text> {
    static bool from(PyObject* object, Text& out);
};

// A dict (or subclass), borrowed.
struct Dict {
    PyObject* object = nullptr;
};
template <>
struct Convert<Dict> {
    static bool from(PyObject* object, Dict& out);
};

// ---------------------------------------------------------------- entry points
namespace detail {

template <class T>
struct Implementation;
template <class... Args>
struct Implementation<PyResult (*)(PyObject*, Args...)> {
    using Values = std::tuple<std::decay_t<Args>...>;
    static constexpr std::size_t arity = sizeof...(Args);
};

template <class T>
bool convert_parameter(PyObject* object, T& out, const char* parameter) {
    if (Convert<T>::from(object, out)) [[likely]] return true;
    add_parameter_note(parameter);
    return false;
}

template <const Signature& S, auto Impl, std::size_t... I>
PyObject* convert_and_call(PyObject* self, PyObject** bound, std::index_sequence<I...>) {
    typename Implementation<decltype(Impl)>::Values values;
    if (!(convert_parameter(bound[I], std::get<I>(values), S.parameters[I]) && ...)) return nullptr;
    try {
        return Impl(self, std::get<I>(values)...).into_python();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

template <const Signature& S, auto Impl>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t arity = Implementation<decltype(Impl)>::arity;
    static_assert(arity == S.count(), "signature and implementation disagree");
    PyObject* bound[arity == 0 ? 1 : arity];
    if (!bind_arguments(S, args, nargs, kwnames, bound)) return nullptr;
    return convert_and_call<S, Impl>(self, bound, std::make_index_sequence<arity>{});
}

}  // namespace detail

// The C function for a PyMethodDef with METH_FASTCALL | METH_KEYWORDS.
template <const Signature& S, auto Impl>
PyCFunction function() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::entry<S, Impl>));
}

// NotImplementedError("{module}.{function} is not available yet"), for a
// function registered ahead of its codec.
PyResult not_available(const char* module, const char* function);

}  // namespace tabrix::py
