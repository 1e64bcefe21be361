// The abort guard around every entry point: C++ exceptions never cross into
// CPython. Memory exhaustion becomes MemoryError, an engine abort becomes
// PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "python_api/py_ref.hpp"

namespace vorn::py {

// Sets the Python error for the C++ exception being handled. Call only from
// a catch block, with the interpreter lock held.
void set_error_from_current_exception() noexcept;

// Runs body(); on a C++ exception sets the Python error and returns
// error_value. Any lock release inside body is undone by its own guard
// before the exception reaches here. The one thing let through is the
// unwind by which CPython ends a thread during interpreter shutdown.
template <class R, class F>
R guarded(R error_value, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        if (ending_this_thread()) throw;
        set_error_from_current_exception();
        return error_value;
    }
}

// For destructors, which cannot raise: report through the unraisable hook.
template <class F>
void guarded_unraisable(PyObject* obj, F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(obj);
    }
}

}  // namespace vorn::py
