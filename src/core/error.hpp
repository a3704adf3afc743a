// Errors as values for the pure core.
//
// Every core operation returns either its result or an `Error`: the exception
// class the binding layer will raise and the message text. Nothing in the core
// throws (allocation failure aside, which the binding layer turns into
// MemoryError), prints or touches the interpreter.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace tabrix {

enum class ErrorKind : std::uint8_t {
    Value,      // ValueError: parse errors, malformed documents
    Type,       // TypeError: values a format cannot hold
    Overflow,   // OverflowError
    Runtime,    // RuntimeError
    Recursion,  // RecursionError: nesting beyond a fixed limit
    Memory,     // MemoryError
    Panic,      // PanicException: a broken internal invariant
};

struct Error {
    ErrorKind kind = ErrorKind::Value;
    std::string message;
};

// Error constructors, kept out of line of the hot paths that call them.
[[gnu::cold, gnu::noinline]] inline Error value_error(std::string message) {
    return Error{ErrorKind::Value, std::move(message)};
}
[[gnu::cold, gnu::noinline]] inline Error type_error(std::string message) {
    return Error{ErrorKind::Type, std::move(message)};
}
[[gnu::cold, gnu::noinline]] inline Error recursion_error(std::string message) {
    return Error{ErrorKind::Recursion, std::move(message)};
}

// The result of an operation: a value of type T or an Error.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }  // NOLINT: implicit by design
    Result(Error error) : ok_(false) { new (&error_) Error(std::move(error)); }  // NOLINT

    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(other.ok_) {
        if (ok_) new (&value_) T(std::move(other.value_));
        else new (&error_) Error(std::move(other.error_));
    }
    Result& operator=(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (this != &other) {
            destroy();
            ok_ = other.ok_;
            if (ok_) new (&value_) T(std::move(other.value_));
            else new (&error_) Error(std::move(other.error_));
        }
        return *this;
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() { destroy(); }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }

    T& value() & noexcept { return value_; }
    T&& value() && noexcept { return std::move(value_); }
    T& operator*() & noexcept { return value_; }
    T* operator->() noexcept { return &value_; }
    Error& error() & noexcept { return error_; }
    Error&& error() && noexcept { return std::move(error_); }

private:
    void destroy() noexcept {
        if (ok_) value_.~T();
        else error_.~Error();
    }
    bool ok_;
    union {
        T value_;
        Error error_;
    };
};

// Success or an Error, for operations with no value.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : failed_(true), error_(std::move(error)) {}  // NOLINT: implicit by design
    static Status success() { return Status(); }

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return !failed_; }
    Error& error() & noexcept { return error_; }
    Error&& error() && noexcept { return std::move(error_); }

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace tabrix
