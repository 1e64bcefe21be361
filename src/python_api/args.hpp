// The shared argument layer: binding positional and keyword arguments to
// parameters, converting them to engine values with the module's error
// rules, and checking byte buffers.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>

#include "common/config.hpp"
#include "python_api/py_ref.hpp"

namespace vorn::py {

// Every parameter may be given by position or keyword; the first is required.
struct Signature {
    const char* display_name;  // "generate_buffer()", "Generator.get_chunk()"
    const char* const* names;
    Py_ssize_t count;
};

// The signature of a callable named `display_name` whose parameters are `names`.
template <std::size_t N>
constexpr Signature signature_of(const char* display_name, const char* const (&names)[N]) {
    return Signature{display_name, names, static_cast<Py_ssize_t>(N)};
}

// Fill slots[0, signature.count) with borrowed references (null = not given).
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots);
bool bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

// TypeError "'<type qualname>' object cannot be cast as '<target>'".
void raise_cannot_cast(PyObject* obj, const char* target);

// Conversions; each returns false with the Python error set (a TypeError
// re-raised as "argument '<name>': ...").
bool extract_u64(const char* name, PyObject* obj, std::uint64_t& out);
bool extract_optional_u64(const char* name, PyObject* obj, std::optional<std::uint64_t>& out);
bool extract_ratio(const char* name, PyObject* obj, double& out);

// A str argument, borrowed from the call; null when the argument was not given.
struct BorrowedStr {
    PyObject* object = nullptr;
};
bool extract_numa_mode_text(const char* name, PyObject* obj, BorrowedStr& out);

// ValueError for anything but auto, force, disable(d), compared after full
// Unicode lower-casing.
bool parse_numa_mode(const BorrowedStr& text, NumaMode& out);

// The five parameters that every generating callable has after its first:
// dedup_ratio, compress_ratio, numa_mode, max_threads, numa_node.
struct GenerationArgs {
    double dedup_ratio = 1.0;
    double compress_ratio = 1.0;
    BorrowedStr numa_mode;
    std::optional<std::uint64_t> max_threads;
    std::optional<std::uint64_t> numa_node;
};
inline constexpr const char* GENERATION_PARAMS[] = {"dedup_ratio", "compress_ratio", "numa_mode",
                                                   "max_threads", "numa_node"};

// Extracts them, in that order, from slots[0, 5).
bool extract_generation_args(PyObject* const* slots, GenerationArgs& out);

// The request for `size` bytes: ratios normalised to factors, numa_mode
// parsed (the last check of a call, after every extraction).
bool make_config(const GenerationArgs& args, std::uint64_t size, GeneratorConfig& out);

// Acquires a writable, C-contiguous, one-dimensional-compatible byte buffer,
// raising the exporter's error, the BufferError of a non-byte layout,
// "Buffer must be writable" or `not_contiguous_message`.
bool acquire_writable_bytes(PyObject* obj, BufferView& view, const char* not_contiguous_message);

}  // namespace vorn::py
