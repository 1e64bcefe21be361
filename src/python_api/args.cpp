// Argument binding, conversion and the naming of conversion errors.
#include "python_api/args.hpp"

#include <cstring>

#include "synthesis/plan.hpp"

namespace vorn::py {
namespace {

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.count == 1) {
        PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd %s given",
                     signature.display_name, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from 1 to %zd positional arguments but %zd %s given",
                     signature.display_name, signature.count, given, verb);
    }
    return false;
}

bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value, PyObject** slots) {
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) {
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             signature.display_name, signature.names[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.display_name,
                 key);
    return false;
}

bool check_required(const Signature& signature, PyObject** slots) {
    if (slots[0] != nullptr) return true;
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                 signature.display_name, signature.names[0]);
    return false;
}

// Re-raises a pending exception of exactly TypeError as
// "argument '<name>': <message>", keeping its cause. Others stay as they are.
void name_type_error(const char* name) {
    if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef original = PyRef::steal(value);
#endif
    if (!original) return;
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(original.release());
#else
        PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(original.get()))),
                      original.get(), PyException_GetTraceback(original.get()));
        original.release();
#endif
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return;
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, renamed.get());
}

bool u64_from_int(PyObject* integer, std::uint64_t& out) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool is_u8_format(const char* format) {
    if (format == nullptr) return true;
    static constexpr const char* accepted[] = {"B", "c", "@B", "@c", "=B", "=c", ">B", ">c"};
    for (const char* candidate : accepted)
        if (std::strcmp(format, candidate) == 0) return true;
    return false;
}

}  // namespace

void raise_cannot_cast(PyObject* obj, const char* target) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), target);
}

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < signature.count; ++i) slots[i] = nullptr;
    if (nargs > signature.count) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots))
                return false;
    }
    return check_required(signature, slots);
}

bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < signature.count; ++i) slots[i] = nullptr;
    if (nargs > signature.count) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(signature, key, value, slots)) return false;
    }
    return check_required(signature, slots);
}

bool extract_u64(const char* name, PyObject* obj, std::uint64_t& out) {
    if (PyLong_Check(obj)) return u64_from_int(obj, out);
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        name_type_error(name);
        return false;
    }
    return u64_from_int(index.get(), out);
}

bool extract_optional_u64(const char* name, PyObject* obj, std::optional<std::uint64_t>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    std::uint64_t value = 0;
    if (!extract_u64(name, obj, value)) return false;
    out = value;
    return true;
}

bool extract_ratio(const char* name, PyObject* obj, double& out) {
    if (obj == nullptr) {
        out = 1.0;
        return true;
    }
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        name_type_error(name);
        return false;
    }
    out = value;
    return true;
}

bool extract_numa_mode_text(const char* name, PyObject* obj, BorrowedStr& out) {
    if (obj == nullptr) {
        out = BorrowedStr{};
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        raise_cannot_cast(obj, "str");
        name_type_error(name);
        return false;
    }
    // Taken as UTF-8: lone surrogates fail here with UnicodeEncodeError as is.
    if (PyUnicode_AsUTF8AndSize(obj, nullptr) == nullptr) return false;
    out = BorrowedStr{obj};
    return true;
}

bool parse_numa_mode(const BorrowedStr& text, NumaMode& out) {
    if (text.object == nullptr) {
        out = NumaMode::Auto;
        return true;
    }
    // str.lower of the exact str type, so subclasses cannot change the rule.
    PyRef lowered = PyRef::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                                     "lower", "O", text.object));
    if (!lowered) return false;
    if (PyUnicode_CompareWithASCIIString(lowered.get(), "auto") == 0) {
        out = NumaMode::Auto;
    } else if (PyUnicode_CompareWithASCIIString(lowered.get(), "force") == 0) {
        out = NumaMode::Force;
    } else if (PyUnicode_CompareWithASCIIString(lowered.get(), "disabled") == 0 ||
               PyUnicode_CompareWithASCIIString(lowered.get(), "disable") == 0) {
        out = NumaMode::Disabled;
    } else {
        // %U keeps the caller's text whole, embedded NUL characters included.
        PyErr_Format(PyExc_ValueError,
                     "Invalid numa_mode '%U': must be 'auto', 'force', or 'disabled'", text.object);
        return false;
    }
    return true;
}

bool acquire_writable_bytes(PyObject* obj, BufferView& view, const char* not_contiguous_message) {
    if (!view.acquire(obj, PyBUF_FULL_RO)) return false;
    const Py_buffer& v = view.view();
    if (v.shape == nullptr) {
        PyErr_SetString(PyExc_BufferError, "shape is null");
        return false;
    }
    if (v.strides == nullptr) {
        PyErr_SetString(PyExc_BufferError, "strides is null");
        return false;
    }
    if (v.itemsize != 1 || !is_u8_format(v.format)) {
        PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
        return false;
    }
    if (v.readonly) {
        PyErr_SetString(PyExc_ValueError, "Buffer must be writable");
        return false;
    }
    if (!PyBuffer_IsContiguous(&v, 'C')) {
        PyErr_SetString(PyExc_ValueError, not_contiguous_message);
        return false;
    }
    return true;
}

bool extract_generation_args(PyObject* const* slots, GenerationArgs& out) {
    return extract_ratio(GENERATION_PARAMS[0], slots[0], out.dedup_ratio) &&
           extract_ratio(GENERATION_PARAMS[1], slots[1], out.compress_ratio) &&
           extract_numa_mode_text(GENERATION_PARAMS[2], slots[2], out.numa_mode) &&
           extract_optional_u64(GENERATION_PARAMS[3], slots[3], out.max_threads) &&
           extract_optional_u64(GENERATION_PARAMS[4], slots[4], out.numa_node);
}

bool make_config(const GenerationArgs& args, std::uint64_t size, GeneratorConfig& out) {
    NumaMode mode = NumaMode::Auto;
    if (!parse_numa_mode(args.numa_mode, mode)) return false;
    out.size = size;
    out.dedup_factor = normalise_ratio(args.dedup_ratio);
    out.compress_factor = normalise_ratio(args.compress_ratio);
    out.numa_mode = mode;
    out.max_threads = args.max_threads;
    out.numa_node = args.numa_node;
    return true;
}

}  // namespace vorn::py
