// Runs topology detection with the interpreter lock held and summarises it.
#include "python_api/numa_info.hpp"

#include "placement/topology.hpp"
#include "python_api/panic.hpp"

namespace vorn::py {
namespace {

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* get_numa_info(PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Result<NumaTopology> detected = NumaTopology::detect();
        if (!detected) {
            PyErr_SetString(PyExc_RuntimeError, detected.error().c_str());
            return nullptr;
        }
        const NumaTopology& topology = detected.value();
        PyRef info = PyRef::steal(PyDict_New());
        if (!info) return nullptr;
        const char* deployment = topology.is_uma
                                     ? "UMA (single NUMA node - cloud VM or workstation)"
                                     : "NUMA (multi-socket system or large cloud VM)";
        if (!set_item(info.get(), "num_nodes",
                      PyRef::steal(PyLong_FromUnsignedLongLong(topology.num_nodes))) ||
            !set_item(info.get(), "physical_cores",
                      PyRef::steal(PyLong_FromUnsignedLongLong(topology.physical_cores))) ||
            !set_item(info.get(), "logical_cpus",
                      PyRef::steal(PyLong_FromUnsignedLongLong(topology.logical_cpus))) ||
            !set_item(info.get(), "is_uma", PyRef::steal(PyBool_FromLong(topology.is_uma))) ||
            !set_item(info.get(), "deployment_type",
                      PyRef::steal(PyUnicode_FromString(deployment))))
            return nullptr;
        return info.release();
    });
}

}  // namespace

PyMethodDef get_numa_info_def = {"get_numa_info", get_numa_info, METH_NOARGS,
                                 "get_numa_info()\n--\n\n"};

}  // namespace vorn::py
