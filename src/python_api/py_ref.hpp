// RAII holders for the binding layer: an owned PyObject reference, an
// acquired Py_buffer view, and the scoped release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <exception>
#include <optional>
#include <utility>

namespace vorn::py {

// Set while a thread takes the interpreter lock back. If the interpreter is
// finalising, CPython ends such a thread from inside that call by unwinding
// its stack; the holders below then run without the lock and must not touch
// Python objects or their memory.
inline thread_local bool taking_lock_back = false;

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

class PyRef {
public:
    PyRef() = default;
    // Takes ownership of a new reference (null allowed).
    static PyRef steal(PyObject* obj) { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        if (!taking_lock_back) Py_XDECREF(obj_);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A buffer view released on every path once acquired.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (acquired_ && !taking_lock_back) PyBuffer_Release(&view_);
    }

    // Returns false with the exporter's error set.
    bool acquire(PyObject* exporter, int flags) {
        if (PyObject_GetBuffer(exporter, &view_, flags) != 0) return false;
        acquired_ = true;
        return true;
    }
    Py_buffer& view() { return view_; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

// Releases the interpreter lock for its scope and takes it back at its end.
//
// Once the interpreter finalises, only the thread doing so may hold the lock
// again; CPython ends any other thread that asks for it (from inside
// PyEval_RestoreThread, by unwinding the thread's stack). A thread that sees
// the interpreter finalising parks here for good instead, as later CPython
// versions do themselves. The finalising thread, which held the lock when
// this guard was built, always takes it back and carries on. Finalisation
// may still begin after the check: the thread is then ended from inside
// PyEval_RestoreThread, which is why the destructor lets the unwind through
// (noexcept(false)) and is never run while another exception unwinds (see
// without_gil).
class GilRelease {
public:
    GilRelease() : finalising_thread_(interpreter_finalizing()), state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() noexcept(false) {
        if (!finalising_thread_ && interpreter_finalizing()) {
            for (;;) pause();
        }
        taking_lock_back = true;
        PyEval_RestoreThread(state_);
        taking_lock_back = false;
    }

private:
    // Only the finalising thread can hold the lock once finalisation began.
    bool finalising_thread_;
    PyThreadState* state_;
};

// True inside a catch (...) block handling the unwind by which a thread is
// ended (pthread_exit, and so CPython at shutdown). That unwind carries no
// C++ exception object, so std::current_exception() is empty; binding it to
// a reference of type abi::__forced_unwind would bind a null pointer.
inline bool ending_this_thread() noexcept { return !std::current_exception(); }

// Runs work() with the interpreter lock released and returns its result.
// An exception from work() is held until the lock is back and rethrown then:
// taking the lock back may end the thread, and that unwind must not start
// while another exception is on its way out.
template <class F>
auto without_gil(F&& work) -> decltype(std::forward<F>(work)()) {
    using Result = decltype(std::forward<F>(work)());
    std::optional<Result> result;
    std::exception_ptr failure;
    {
        GilRelease released;
        try {
            result.emplace(std::forward<F>(work)());
        } catch (...) {
            if (ending_this_thread()) throw;
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace vorn::py
