// The BytesView type: length, a read-only buffer export and __bytes__.
#include "python_api/bytes_view.hpp"

#include <new>

#include "python_api/borrow.hpp"
#include "python_api/panic.hpp"

namespace vorn::py {
namespace {

struct PyBytesView {
    PyObject_HEAD
    BorrowFlag borrow;
    DataBuffer buffer;
};

PyBytesView* as_view(PyObject* self) { return reinterpret_cast<PyBytesView*>(self); }

// The visible length as a Python size; false with OverflowError (raised
// without arguments) when it exceeds the largest one.
bool python_length(const DataBuffer& buffer, Py_ssize_t& out) {
    if (buffer.length() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetNone(PyExc_OverflowError);
        return false;
    }
    out = static_cast<Py_ssize_t>(buffer.length());
    return true;
}

void bytes_view_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guarded_unraisable(self, [&] {
        as_view(self)->buffer.~DataBuffer();
        as_view(self)->borrow.~BorrowFlag();
    });
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t bytes_view_length(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        SharedBorrow borrow(as_view(self)->borrow);
        if (!borrow.ok()) return -1;
        Py_ssize_t length = 0;
        return python_length(as_view(self)->buffer, length) ? length : -1;
    });
}

int bytes_view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded<int>(-1, [&]() -> int {
        SharedBorrow borrow(as_view(self)->borrow);
        if (!borrow.ok()) return -1;
        if (flags & PyBUF_WRITABLE) {
            PyErr_SetString(PyExc_BufferError,
                            "BytesView is read-only and does not support writable buffers");
            return -1;
        }
        const DataBuffer& buffer = as_view(self)->buffer;
        Py_ssize_t length = 0;
        if (!python_length(buffer, length)) return -1;
        view->buf = buffer.data();
        view->obj = Py_NewRef(self);
        view->len = length;
        view->itemsize = 1;
        view->readonly = 1;
        view->ndim = 1;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
        // The view's own fields serve as its one-element shape and strides,
        // so exporting allocates nothing. Strides come with any request that
        // has a shape.
        view->shape = (flags & PyBUF_ND) ? &view->len : nullptr;
        view->strides = (flags & PyBUF_STRIDES) ? &view->itemsize : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return 0;
    });
}

PyObject* bytes_view_bytes(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SharedBorrow borrow(as_view(self)->borrow);
        if (!borrow.ok()) return nullptr;
        const DataBuffer& buffer = as_view(self)->buffer;
        Py_ssize_t length = 0;
        if (!python_length(buffer, length)) return nullptr;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()), length);
    });
}

PyMethodDef bytes_view_methods[] = {
    {"__bytes__", bytes_view_bytes, METH_NOARGS,
     "__bytes__($self)\n--\n\nSupport bytes() conversion - returns a copy"},
    {nullptr, nullptr, 0, nullptr},
};

const char bytes_view_doc[] =
    "A Python-visible wrapper around DataBuffer (UMA or NUMA) that exposes buffer protocol.\n"
    "This allows Python code to get a memoryview without copying data.\n"
    "\n"
    "ZERO-COPY: Python accesses the NUMA-allocated memory directly via raw pointer!";

PyType_Slot bytes_view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(bytes_view_dealloc)},
    {Py_tp_doc, const_cast<char*>(bytes_view_doc)},
    {Py_tp_methods, bytes_view_methods},
    {Py_mp_length, reinterpret_cast<void*>(bytes_view_length)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(bytes_view_getbuffer)},
    {0, nullptr},
};

PyType_Spec bytes_view_spec = {
    "builtins.BytesView",
    sizeof(PyBytesView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    bytes_view_slots,
};

}  // namespace

PyTypeObject* bytes_view_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&bytes_view_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* bytes_view_new(DataBuffer&& buffer) {
    DataBuffer owned = std::move(buffer);  // released here if anything below fails
    PyTypeObject* type = bytes_view_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_view(self)->borrow) BorrowFlag(0);
    new (&as_view(self)->buffer) DataBuffer(std::move(owned));
    return self;
}

}  // namespace vorn::py
