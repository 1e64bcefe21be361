// The shared argument layer: binding positional and keyword arguments to
// parameters, converting them to engine values with the module's error
// rules, and checking byte buffers.
#pragma once

#include <cstdint>
#include <optional>

#include "generator/one_shot.hpp"
#include "python_api/py_ref.hpp"

namespace vorn::py {

// Every parameter may be given by position or keyword; the first is required.
struct ParamSpec {
    const char* display_name;  // "generate_buffer()", "Generator.get_chunk()"
    const char* const* names;
    Py_ssize_t count;
};

// Fill slots[0, spec.count) with borrowed references (null = not given).
bool bind_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots);
bool bind_tuple_dict(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// TypeError "'<type qualname>' object cannot be cast as '<target>'".
void raise_cannot_cast(PyObject* obj, const char* target);

// Conversions; each returns false with the Python error set (a TypeError
// re-raised as "argument '<name>': ...").
bool extract_u64(const char* name, PyObject* obj, std::uint64_t& out);
bool extract_optional_u64(const char* name, PyObject* obj, std::optional<std::uint64_t>& out);
bool extract_ratio(const char* name, PyObject* obj, double& out);

struct StringArg {
    PyObject* object = nullptr;  // a borrowed str; null means the default
};
bool extract_numa_mode_text(const char* name, PyObject* obj, StringArg& out);

// ValueError for anything but auto, force, disable(d), compared after full
// Unicode lower-casing.
bool parse_numa_mode(const StringArg& text, NumaMode& out);

// Acquires a writable, C-contiguous, one-dimensional-compatible byte buffer,
// raising the exporter's error, the BufferError of a non-byte layout,
// "Buffer must be writable" or `not_contiguous_message`.
bool acquire_writable_bytes(PyObject* obj, BufferView& view, const char* not_contiguous_message);

}  // namespace vorn::py
