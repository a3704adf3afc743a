// Pending errors: the one error value that travels up to a function's entry
// point, where it is raised (and nowhere else).
//
// A pending error is either deferred (an exception class and its message,
// turned into an exception only when raised; every core Error is one) or
// captured (an exception the interpreter raised during a call we made, kept
// unchanged).
#pragma once

#include <string>
#include <utility>

#include "binding/py.hpp"
#include "core/error.hpp"

namespace tabrix::py {

class PendingError {
public:
    // Deferred: raised later as kind(message).
    PendingError(Error error) : deferred_(std::move(error)) {}  // NOLINT: implicit by design
    PendingError(ErrorKind kind, std::string message) : deferred_{kind, std::move(message)} {}

    // Captured: takes the exception the interpreter has just raised.
    [[gnu::cold]] static PendingError capture() { return PendingError(Ref(PyErr_GetRaisedException())); }

    // Makes the error the interpreter's current exception.
    [[gnu::cold]] void raise() &&;

private:
    explicit PendingError(Ref captured) : captured_(std::move(captured)) {}
    Ref captured_;
    Error deferred_;
};

// The error of a walk whose steps return a bool: a step that fails either
// leaves the interpreter's exception set or records a deferred error here.
class WalkError {
public:
    [[gnu::cold]] bool fail(ErrorKind kind, std::string message) {
        recorded_ = true;
        error_ = Error{kind, std::move(message)};
        return false;
    }
    // The pending error of the failed walk.
    [[gnu::cold]] PendingError take() {
        return recorded_ ? PendingError(std::move(error_)) : PendingError::capture();
    }

private:
    bool recorded_ = false;
    Error error_;
};

// A value of type T or a pending error.
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : value_(std::move(value)), ok_(true) {}                // NOLINT
    Outcome(PendingError error) : error_(std::move(error)), ok_(false) {}  // NOLINT
    Outcome(Error error) : error_(std::move(error)), ok_(false) {}         // NOLINT
    // The interpreter's current exception.
    [[gnu::cold]] static Outcome failed() { return Outcome(PendingError::capture()); }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    T& value() & noexcept { return value_; }
    T&& value() && noexcept { return std::move(value_); }
    T& operator*() & noexcept { return value_; }
    T* operator->() noexcept { return &value_; }
    PendingError&& error() && noexcept { return std::move(error_); }
    PendingError& error() & noexcept { return error_; }

private:
    T value_{};
    PendingError error_{Error{}};
    bool ok_;
};

// What every function implementation returns: a new reference, or a pending
// error. Construct from an owned Ref; `PyResult::failed()` captures the
// interpreter's current exception after a C API call failed.
class [[nodiscard]] PyResult : public Outcome<Ref> {
public:
    using Outcome<Ref>::Outcome;
    PyResult(Outcome<Ref>&& other) : Outcome<Ref>(std::move(other)) {}  // NOLINT
    // A new reference from a C API call: NULL means it failed.
    static PyResult from(PyObject* new_reference) {
        if (new_reference == nullptr) [[unlikely]] return Outcome<Ref>::failed();
        return PyResult(Ref(new_reference));
    }
    [[gnu::cold]] static PyResult failed() { return Outcome<Ref>::failed(); }

    // For the entry point only: the new reference, or NULL after raising.
    PyObject* into_python() && {
        if (ok()) return std::move(*this).value().release();
        std::move(*this).error().raise();
        return nullptr;
    }
};

// The exception class for an internal fault, derived from BaseException so
// that a plain `except Exception` does not swallow it. Created once per
// process; a borrowed reference, or NULL with an exception.
PyObject* panic_exception_type();

// Adds the note "while processing '{parameter}'" to the current exception.
void add_parameter_note(const char* parameter);

}  // namespace tabrix::py
