// RAII holders for the binding layer: an owned PyObject reference, an
// acquired Py_buffer view, and the scoped release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorn::py {

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
    ~PyRef() { Py_XDECREF(obj_); }

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
        if (acquired_) PyBuffer_Release(&view_);
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
// exit, exceptions included.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace vorn::py
