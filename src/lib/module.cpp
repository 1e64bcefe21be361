// The _vorncore module: created once per process, registering its classes
// and functions in a fixed order, each also listed in __all__.
#include <atomic>
#include <cstdint>

#include "python_api/bytes_view.hpp"
#include "python_api/fill_path.hpp"
#include "python_api/generator.hpp"
#include "python_api/numa_info.hpp"
#include "python_api/one_shot_functions.hpp"
#include "python_api/panic.hpp"
#include "python_api/py_ref.hpp"

namespace vorn::py {
namespace {

// The interpreter that first imported the module; -1 before that.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vorncore",
    "",
    0,  // no per-module state; 0 lets a re-import call the init again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds value (a new reference, or null after a failed call) as an
// attribute; a listed one is named in __all__ too.
bool add_attribute(PyObject* module, const char* name, PyObject* value, bool listed = true) {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    if (listed) {
        PyObject* all = PyObject_GetAttrString(module, "__all__");
        PyRef all_ref = PyRef::steal(all);
        if (!all_ref) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            all_ref = PyRef::steal(PyList_New(0));
            if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) != 0)
                return false;
        }
        PyRef key = PyRef::steal(PyUnicode_FromString(name));
        if (!key || PyList_Append(all_ref.get(), key.get()) != 0) return false;
    }
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    return add_attribute(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

bool add_function(PyObject* module, PyMethodDef* def, PyObject* module_name, bool listed = true) {
    return add_attribute(module, def->ml_name, PyCFunction_NewEx(def, module, module_name), listed);
}

PyObject* create_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_vorncore does not support sub-interpreters: it can only be "
                        "imported by the interpreter that first loaded it");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_vorncore"));
    if (!module_name ||
        !add_type(module.get(), "BytesView", bytes_view_type()) ||
        !add_function(module.get(), &generate_buffer_def, module_name.get()) ||
        !add_function(module.get(), &generate_into_buffer_def, module_name.get()) ||
        !add_type(module.get(), "Generator", generator_type()) ||
        !add_function(module.get(), &get_numa_info_def, module_name.get()) ||
        !add_function(module.get(), &fill_path_def, module_name.get(), /*listed=*/false))
        return nullptr;
    module_object = Py_NewRef(module.get());  // kept for the life of the process
    return module.release();
}

}  // namespace
}  // namespace vorn::py

PyMODINIT_FUNC PyInit__vorncore() {
    return vorn::py::guarded<PyObject*>(nullptr, [] { return vorn::py::create_module(); });
}
