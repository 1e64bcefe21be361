// Generator: argument handling, one user at a time through the borrow flag,
// and the interpreter-lock policy around one DataGenerator.
#include "python_api/generator.hpp"

#include <memory>
#include <new>

#include "common/engine_abort.hpp"
#include "drivers/streaming.hpp"
#include "python_api/args.hpp"
#include "python_api/borrow.hpp"
#include "python_api/bytes_view.hpp"
#include "python_api/panic.hpp"

namespace vorn::py {
namespace {

constexpr std::uint64_t DEFAULT_CHUNK_SIZE = 33554432;  // eight blocks

struct PyGenerator {
    PyObject_HEAD
    BorrowFlag borrow;
    std::unique_ptr<DataGenerator> core;
    std::uint64_t chunk_size;
};

PyGenerator* as_generator(PyObject* self) { return reinterpret_cast<PyGenerator*>(self); }

// The interpreter already checks the receiver of a method descriptor; this
// keeps a direct slot call with a foreign object from reading garbage.
bool check_receiver(PyObject* self) {
    PyTypeObject* type = generator_type();
    if (type != nullptr && PyObject_TypeCheck(self, type)) return true;
    if (type != nullptr) raise_cannot_cast(self, "Generator");
    return false;
}

const char* const constructor_params[] = {"size",      "dedup_ratio", "compress_ratio", "numa_mode",
                                          "max_threads", "numa_node", "chunk_size"};
constexpr Signature constructor_signature = signature_of("Generator.__new__()", constructor_params);

const char* const fill_chunk_params[] = {"buffer"};
constexpr Signature fill_chunk_signature = signature_of("Generator.fill_chunk()", fill_chunk_params);

const char* const get_chunk_params[] = {"chunk_size"};
constexpr Signature get_chunk_signature = signature_of("Generator.get_chunk()", get_chunk_params);

PyObject* generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[std::size(constructor_params)];
        if (!bind_tuple_dict(constructor_signature, args, kwargs, slots)) return nullptr;
        std::uint64_t size = 0;
        GenerationArgs common;
        std::optional<std::uint64_t> chunk_size;
        if (!extract_u64("size", slots[0], size) || !extract_generation_args(slots + 1, common) ||
            !extract_optional_u64("chunk_size", slots[6], chunk_size))
            return nullptr;
        // Streaming writes into memory the caller owns, so the mode is only
        // validated and the node is ignored.
        GeneratorConfig config;
        if (!make_config(common, size, config)) return nullptr;
        auto core = std::make_unique<DataGenerator>(config.size, config.dedup_factor,
                                                    config.compress_factor, config.max_threads);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;  // core (and its pool) released here
        PyGenerator* gen = as_generator(self);
        new (&gen->borrow) BorrowFlag(0);
        new (&gen->core) std::unique_ptr<DataGenerator>(std::move(core));
        gen->chunk_size = chunk_size.value_or(DEFAULT_CHUNK_SIZE);
        return self;
    });
}

void generator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guarded_unraisable(self, [&] {
        using CorePtr = std::unique_ptr<DataGenerator>;
        as_generator(self)->core.~CorePtr();  // tells the pool's workers to leave
        as_generator(self)->borrow.~BorrowFlag();
    });
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* generator_fill_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        PyObject* slots[std::size(fill_chunk_params)];
        if (!bind_fastcall(fill_chunk_signature, args, nargs, kwnames, slots)) return nullptr;
        ExclusiveBorrow borrow(as_generator(self)->borrow);
        if (!borrow.ok()) return nullptr;
        BufferView view;
        if (!acquire_writable_bytes(slots[0], view, "Buffer must be C-contiguous")) return nullptr;
        DataGenerator& core = *as_generator(self)->core;
        if (borrow.inherited()) core.forget_kept_block();
        const std::uint64_t written = without_gil([&] {
            return core.fill_chunk(static_cast<std::uint8_t*>(view.view().buf),
                                   static_cast<std::uint64_t>(view.view().len));
        });
        return PyLong_FromUnsignedLongLong(written);
    });
}

PyObject* generator_get_chunk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        PyObject* slots[std::size(get_chunk_params)];
        if (!bind_fastcall(get_chunk_signature, args, nargs, kwnames, slots)) return nullptr;
        ExclusiveBorrow borrow(as_generator(self)->borrow);
        if (!borrow.ok()) return nullptr;
        std::uint64_t chunk_size = 0;
        if (!extract_u64("chunk_size", slots[0], chunk_size)) return nullptr;
        DataGenerator& core = *as_generator(self)->core;
        if (borrow.inherited()) core.forget_kept_block();
        if (core.is_complete()) Py_RETURN_NONE;
        if (chunk_size > static_cast<std::uint64_t>(INT64_MAX)) engine_abort("capacity overflow");
        // Only what will be delivered is allocated: a huge chunk_size near the
        // end of the stream must not cost (or fail) a huge allocation.
        const std::uint64_t remaining = core.total_size() - core.position();
        DataBuffer buffer = DataBuffer::ordinary(std::min(chunk_size, remaining));
        const std::uint64_t written = core.fill_chunk(buffer.data(), buffer.length());
        if (written == 0) Py_RETURN_NONE;
        buffer.set_length(written);
        return bytes_view_new(std::move(buffer));
    });
}

PyObject* generator_reset(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        ExclusiveBorrow borrow(as_generator(self)->borrow);
        if (!borrow.ok()) return nullptr;
        if (borrow.inherited()) as_generator(self)->core->forget_kept_block();
        as_generator(self)->core->rewind();
        Py_RETURN_NONE;
    });
}

// The shared-borrow readers.
template <class F>
PyObject* read_generator(PyObject* self, F&& read) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_receiver(self)) return nullptr;
        SharedBorrow borrow(as_generator(self)->borrow);
        if (!borrow.ok()) return nullptr;
        return read(*as_generator(self));
    });
}

PyObject* generator_position(PyObject* self, PyObject*) {
    return read_generator(self, [](PyGenerator& g) {
        return PyLong_FromUnsignedLongLong(g.core->position());
    });
}

PyObject* generator_total_size(PyObject* self, PyObject*) {
    return read_generator(self, [](PyGenerator& g) {
        return PyLong_FromUnsignedLongLong(g.core->total_size());
    });
}

PyObject* generator_is_complete(PyObject* self, PyObject*) {
    return read_generator(self, [](PyGenerator& g) { return PyBool_FromLong(g.core->is_complete()); });
}

PyObject* generator_chunk_size(PyObject* self, void*) {
    return read_generator(self, [](PyGenerator& g) {
        return PyLong_FromUnsignedLongLong(g.chunk_size);
    });
}

template <class F>
PyCFunction as_cfunction(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef generator_methods[] = {
    {"fill_chunk", as_cfunction(generator_fill_chunk), METH_FASTCALL | METH_KEYWORDS,
     "fill_chunk($self, buffer)\n--\n\n"
     "Fill the next chunk of data\n\n"
     "# Arguments\n"
     "* `buffer` - Pre-allocated buffer to fill\n\n"
     "# Returns\n"
     "Number of bytes written (0 when complete)"},
    {"get_chunk", as_cfunction(generator_get_chunk), METH_FASTCALL | METH_KEYWORDS,
     "get_chunk($self, chunk_size)\n--\n\n"
     "Get data as BytesView (zero-copy access via memoryview)\n\n"
     "# Arguments\n"
     "* `chunk_size` - Size of chunk to read\n\n"
     "# Returns\n"
     "BytesView object or None if complete"},
    {"reset", generator_reset, METH_NOARGS, "reset($self)\n--\n\nReset generator to start"},
    {"position", generator_position, METH_NOARGS, "position($self)\n--\n\nGet current position"},
    {"total_size", generator_total_size, METH_NOARGS, "total_size($self)\n--\n\nGet total size"},
    {"is_complete", generator_is_complete, METH_NOARGS,
     "is_complete($self)\n--\n\nCheck if generation is complete"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"chunk_size", generator_chunk_size, nullptr,
     "Get recommended chunk size for optimal performance (32 MB)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char generator_doc[] =
    "Generator(size, dedup_ratio=1.0, compress_ratio=1.0, numa_mode=\"auto\", max_threads=None, "
    "numa_node=None, chunk_size=None)\n"
    "--\n"
    "\n"
    "Streaming data generator for incremental generation\n"
    "\n"
    "# Example\n"
    "```python\n"
    "import vorn_py\n"
    "\n"
    "# Create generator for 100 MiB\n"
    "gen = vorn_py.Generator(\n"
    "    size=100 * 1024 * 1024,\n"
    "    dedup_ratio=2.0,\n"
    "    compress_ratio=3.0\n"
    ")\n"
    "\n"
    "# Generate in chunks\n"
    "chunk_size = 8192\n"
    "buf = bytearray(chunk_size)\n"
    "total = 0\n"
    "\n"
    "while not gen.is_complete():\n"
    "    nbytes = gen.fill_chunk(buf)\n"
    "    if nbytes == 0:\n"
    "        break\n"
    "    total += nbytes\n"
    "    # Process chunk...\n"
    "\n"
    "print(f\"Generated {total} bytes\")\n"
    "```";

PyType_Slot generator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(generator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
    {Py_tp_doc, const_cast<char*>(generator_doc)},
    {Py_tp_methods, generator_methods},
    {Py_tp_getset, generator_getset},
    {0, nullptr},
};

PyType_Spec generator_spec = {
    "builtins.Generator",
    sizeof(PyGenerator),
    0,
    Py_TPFLAGS_DEFAULT,
    generator_slots,
};

}  // namespace

PyTypeObject* generator_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&generator_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace vorn::py
