// BytesView: the Python owner of one DataBuffer, exported read-only through
// the buffer protocol without copying.
#pragma once

#include "placement/data_buffer.hpp"
#include "python_api/py_ref.hpp"

namespace vorn::py {

// The class, created once per process; null with an error set on failure.
PyTypeObject* bytes_view_type();

// A new BytesView that owns `buffer`; on failure the buffer is released and
// null is returned with the error set.
PyObject* bytes_view_new(DataBuffer&& buffer);

}  // namespace vorn::py
