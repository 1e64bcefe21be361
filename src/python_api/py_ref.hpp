// RAII holders for the binding layer: an owned PyObject reference, an
// acquired Py_buffer view, and the scoped release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <utility>

namespace vorn::py {

// Set while a thread takes the interpreter lock back. If the interpreter is
// finalising, CPython ends such a thread from inside that call by unwinding
// its stack; the holders below then run without the lock and must not touch
// Python objects.
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

// Releases the interpreter lock for its scope and takes it back on every
// exit, exceptions included. A thread that finishes its work while the
// interpreter is shutting down never returns to Python: it waits here, as
// the interpreter itself would make it, instead of unwinding through C++
// frames that cannot be unwound. The destructor may let CPython's own
// thread-ending unwind pass through, hence noexcept(false).
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() noexcept(false) {
        if (interpreter_finalizing()) {
            for (;;) pause();
        }
        taking_lock_back = true;
        PyEval_RestoreThread(state_);
        taking_lock_back = false;
    }

private:
    PyThreadState* state_;
};

}  // namespace vorn::py
