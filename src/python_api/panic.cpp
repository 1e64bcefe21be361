// PanicException and the translation of C++ exceptions into Python errors.
#include "python_api/panic.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "common/engine_abort.hpp"

namespace vorn::py {
namespace {

constexpr const char* GENERIC_PANIC_TEXT = "native code aborted without a message";

constexpr const char* PANIC_DOC =
    "Raised when native code called from Python aborts an operation.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it propagates through the stack instead of being swallowed by a\n"
    "handler for ordinary errors.";

// Created the first time an abort has to be reported, then kept.
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("_vorncore.PanicException", PANIC_DOC,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed; its error stands
    PyErr_SetString(type, message);
}

}  // namespace

void set_error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const EngineAbort& abort) {
            raise_panic(abort.what());  // already reported where it happened
        } catch (const std::exception& e) {
            std::fprintf(stderr, "native code aborted: %s\n", e.what());
            raise_panic(e.what());
        } catch (...) {
            std::fprintf(stderr, "native code aborted: %s\n", GENERIC_PANIC_TEXT);
            raise_panic(GENERIC_PANIC_TEXT);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace vorn::py
