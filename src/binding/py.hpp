// Small RAII helpers over the CPython C API.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "binding/compat.hpp"

namespace tabrix::py {

// An owned (strong) reference; released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Loaders take turns at building Python objects, on an interpreter with a
// GIL. Without turns, a thread whose parse ends while another one builds its
// objects waits for the lock, and once the switch interval (5 ms) has passed
// it makes the builder hand the lock over as soon as that returns to Python:
// the builder cannot start its next parse before the waiter has built its
// objects too, and the two threads fall into step, parsing together and
// building one after the other. A thread that waits for the turn with the
// lock released asks for no switch: the builder goes on into its next parse
// and the waiter builds meanwhile, so that parsing and building overlap.
//
// The wait is bounded (after kWait the thread takes the lock the usual way),
// and a thread already holding the turn (a loader called by a finalizer
// while its own objects are built) does not wait for it. Free-threaded
// builds build objects in parallel and take no turns.
class ConversionTurn {
public:
    ConversionTurn() noexcept = default;
    ConversionTurn(const ConversionTurn&) = delete;
    ConversionTurn& operator=(const ConversionTurn&) = delete;
    ~ConversionTurn() {
        if (held_) {
            holding() = false;
            mutex().unlock();
        }
    }

    // Waits for the turn; called with the interpreter lock released.
    void take() noexcept {
#ifndef Py_GIL_DISABLED
        if (holding()) return;
        try {
            // A free turn is taken without reading the clock.
            held_ = mutex().try_lock() || mutex().try_lock_for(kWait);
        } catch (...) {
            held_ = false;  // no turn: the lock is taken the usual way
        }
        if (held_) holding() = true;
#endif
    }

private:
    static constexpr std::chrono::milliseconds kWait{50};
    static std::timed_mutex& mutex() noexcept {
        static std::timed_mutex* const turn = [] {
            static std::timed_mutex first;
#ifndef _WIN32
            // A forked child has only the thread that forked: a turn another
            // thread held would never come back. The child starts with the
            // turn free, unless the forking thread holds it (and hands it
            // back as usual).
            pthread_atfork(nullptr, nullptr, [] {
                if (!holding()) new (&first) std::timed_mutex();
            });
#endif
            return &first;
        }();
        return *turn;
    }
    static bool& holding() noexcept {
        thread_local bool held = false;
        return held;
    }
    bool held_ = false;
};

// Releases the interpreter lock for the life of the object (the thread is
// detached from the interpreter) and takes it back at the end of the scope,
// also when an exception unwinds through it. Nothing inside may touch a
// Python object. A loader passes its ConversionTurn, taken before the lock.
class WithoutGil {
public:
    WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
    explicit WithoutGil(ConversionTurn& turn) noexcept : state_(PyEval_SaveThread()), turn_(&turn) {}
    ~WithoutGil() {
        if (turn_ != nullptr) turn_->take();
        PyEval_RestoreThread(state_);
    }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* state_;
    ConversionTurn* turn_ = nullptr;
};

// Holds the per-object lock of a container on free-threaded builds for the
// life of the object, also when a C++ exception unwinds through it (the
// Py_BEGIN/END_CRITICAL_SECTION macros cannot be left by an exception).
// Nothing to do where a GIL serialises the interpreter.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* object) { PyCriticalSection_Begin(&section_, object); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A process-wide object created once, on first use, and kept for the life of
// the process. Concurrent first uses create it once: the others wait on a
// mutex with the interpreter lock released, so the creating thread may run
// Python code (or be paused by the interpreter) without a deadlock.
class ProcessOnce {
public:
    // A borrowed reference, or NULL with the exception from `create`
    // (a callable returning a new reference or NULL).
    template <class Create>
    PyObject* get(Create&& create) {
        PyObject* object = object_.load(std::memory_order_acquire);
        if (object != nullptr) [[likely]] return object;
        if (!mutex_.try_lock()) {
            WithoutGil released;
            mutex_.lock();
        }
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        object = object_.load(std::memory_order_acquire);
        if (object == nullptr) {
            object = create();
            if (object != nullptr) object_.store(object, std::memory_order_release);
        }
        return object;
    }

private:
    std::atomic<PyObject*> object_{nullptr};
    std::mutex mutex_;
};

// An interned str made once per process, for the names of attributes and
// modules the binding looks up. The interpreter's type attribute cache is
// keyed by the name object: a fresh str for every lookup misses it and takes
// another of its slots each time.
class InternedName {
public:
    explicit InternedName(const char* text) noexcept : text_(text) {}
    // A borrowed reference, or NULL with an exception.
    PyObject* get() {
        return once_.get([this] { return PyUnicode_InternFromString(text_); });
    }

private:
    const char* text_;
    ProcessOnce once_;
};

// builtins.int(text): looked up at each call (so that a replaced builtins.int
// is the one used). A new reference, or NULL with an exception.
PyObject* builtin_int(PyObject* text);

}  // namespace tabrix::py
