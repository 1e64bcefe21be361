// _fill_path([path]): the active fill path's name; with a path name
// ("scalar", "avx2", "avx512"), runs every later call on that path, and
// with "auto" goes back to the widest one this CPU runs.
#include "python_api/fill_path.hpp"

#include <cstring>

#include "python_api/panic.hpp"
#include "synthesis/random_fill.hpp"

namespace vorn::py {
namespace {

constexpr FillPath PATHS[] = {FillPath::Scalar, FillPath::Avx2, FillPath::Avx512};

PyObject* fill_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs > 1) {
            PyErr_Format(PyExc_TypeError, "_fill_path() takes at most 1 argument (%zd given)", nargs);
            return nullptr;
        }
        if (nargs == 1 && args[0] != Py_None) {
            if (!PyUnicode_Check(args[0])) {
                PyErr_SetString(PyExc_TypeError, "_fill_path() argument must be a str or None");
                return nullptr;
            }
            const char* name = PyUnicode_AsUTF8(args[0]);
            if (name == nullptr) return nullptr;
            if (std::strcmp(name, "auto") == 0) {
                clear_fill_path_override();
            } else {
                bool known = false;
                for (FillPath path : PATHS) {
                    if (std::strcmp(name, fill_path_name(path)) != 0) continue;
                    known = true;
                    if (!force_fill_path(path)) {
                        PyErr_Format(PyExc_ValueError, "this CPU cannot run the %s fill path", name);
                        return nullptr;
                    }
                }
                if (!known) {
                    PyErr_Format(PyExc_ValueError,
                                 "unknown fill path %R: expected 'scalar', 'avx2', 'avx512' or 'auto'",
                                 args[0]);
                    return nullptr;
                }
            }
        }
        return PyUnicode_FromString(fill_path_name(active_fill_path()));
    });
}

}  // namespace

PyMethodDef fill_path_def = {
    "_fill_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_path)),
    METH_FASTCALL, "_fill_path(path=None, /)\n--\n\n"};

}  // namespace vorn::py
