// generate_buffer returns new memory as a BytesView; generate_into_buffer
// writes the caller's buffer in place.
#include "python_api/one_shot_functions.hpp"

#include "drivers/one_shot.hpp"
#include "python_api/args.hpp"
#include "python_api/bytes_view.hpp"
#include "python_api/panic.hpp"

namespace vorn::py {
namespace {

const char* const generate_buffer_params[] = {"size",        "dedup_ratio", "compress_ratio",
                                              "numa_mode",   "max_threads", "numa_node"};
constexpr Signature generate_buffer_signature = signature_of("generate_buffer()", generate_buffer_params);

const char* const generate_into_params[] = {"buffer",      "dedup_ratio", "compress_ratio",
                                            "numa_mode",   "max_threads", "numa_node"};
constexpr Signature generate_into_signature = signature_of("generate_into_buffer()", generate_into_params);

PyObject* generate_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[std::size(generate_buffer_params)];
        if (!bind_fastcall(generate_buffer_signature, args, nargs, kwnames, slots)) return nullptr;
        std::uint64_t size = 0;
        GenerationArgs common;
        if (!extract_u64("size", slots[0], size) || !extract_generation_args(slots + 1, common))
            return nullptr;
        GeneratorConfig config;
        if (!make_config(common, size, config)) return nullptr;
        // The look at the machine reads the environment, which another
        // Python thread may be rewriting (os.environ) while the lock is
        // released; it is quick once the topology is loaded.
        const MachineLook look = look_at_machine(config);
        DataBuffer buffer = without_gil([&] { return generate_data(config, look); });
        return bytes_view_new(std::move(buffer));
    });
}

PyObject* generate_into_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[std::size(generate_into_params)];
        if (!bind_fastcall(generate_into_signature, args, nargs, kwnames, slots)) return nullptr;
        GenerationArgs common;
        if (!extract_generation_args(slots + 1, common)) return nullptr;
        BufferView view;
        if (!acquire_writable_bytes(slots[0], view,
                                    "Buffer must be C-contiguous for zero-copy operation"))
            return nullptr;
        const auto size = static_cast<std::uint64_t>(view.view().len);
        GeneratorConfig config;
        if (!make_config(common, size, config)) return nullptr;
        // The interpreter lock stays held: callers rely on no other Python
        // thread touching the buffer while it is written.
        generate_into(config, static_cast<std::uint8_t*>(view.view().buf));
        return PyLong_FromUnsignedLongLong(size);
    });
}

}  // namespace

PyMethodDef generate_buffer_def = {
    "generate_buffer",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_buffer)),
    METH_FASTCALL | METH_KEYWORDS,
    "generate_buffer(size, dedup_ratio=1.0, compress_ratio=1.0, numa_mode=\"auto\", "
    "max_threads=None, numa_node=None)\n"
    "--\n"
    "\n"
    "Generate random data with controllable deduplication and compression\n"
    "\n"
    "# Arguments\n"
    "* `size` - Total bytes to generate\n"
    "* `dedup_ratio` - Deduplication ratio (1.0 = no dedup, 2.0 = 2:1 ratio)\n"
    "* `compress_ratio` - Compression ratio (1.0 = incompressible, 3.0 = 3:1 ratio)\n"
    "* `numa_mode` - NUMA mode: \"auto\", \"force\", or \"disabled\" (default: \"auto\")\n"
    "* `max_threads` - Maximum threads to use (None = use all cores)\n"
    "\n"
    "# Returns\n"
    "A bytes object (BytesView) holding the generated data, handed over without a copy.\n"
    "\n"
    "# Example\n"
    "```python\n"
    "import vorn_py\n"
    "\n"
    "# Generate 1 MiB incompressible data using 8 threads\n"
    "data = vorn_py.generate_buffer(1024 * 1024, dedup_ratio=1.0,\n"
    "                                 compress_ratio=1.0, max_threads=8)\n"
    "print(f\"Generated {len(data)} bytes\")\n"
    "```",
};

PyMethodDef generate_into_buffer_def = {
    "generate_into_buffer",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_into_buffer)),
    METH_FASTCALL | METH_KEYWORDS,
    "generate_into_buffer(buffer, dedup_ratio=1.0, compress_ratio=1.0, numa_mode=\"auto\", "
    "max_threads=None, numa_node=None)\n"
    "--\n"
    "\n"
    "Generate data using Python buffer protocol (for writing into existing buffer)\n"
    "\n"
    "# Arguments\n"
    "* `buffer` - Pre-allocated Python buffer (bytearray, memoryview, numpy array, etc.)\n"
    "* `dedup_ratio` - Deduplication ratio\n"
    "* `compress_ratio` - Compression ratio\n"
    "* `numa_mode` - NUMA mode: \"auto\", \"force\", or \"disabled\" (default: \"auto\")\n"
    "* `max_threads` - Maximum threads to use (None = use all cores)\n"
    "\n"
    "# Returns\n"
    "Number of bytes written\n"
    "\n"
    "# Example\n"
    "```python\n"
    "import vorn_py\n"
    "\n"
    "# Pre-allocate buffer\n"
    "buf = bytearray(1024 * 1024)\n"
    "\n"
    "# Generate directly into buffer (zero-copy) using 4 threads\n"
    "nbytes = vorn_py.generate_into_buffer(buf, dedup_ratio=1.0,\n"
    "                                       compress_ratio=2.0, max_threads=4)\n"
    "print(f\"Wrote {nbytes} bytes\")\n"
    "```",
};

}  // namespace vorn::py
