// get_numa_info: the detected NUMA layout as a plain dict.
#pragma once

#include "python_api/py_ref.hpp"

namespace vorn::py {

extern PyMethodDef get_numa_info_def;

}  // namespace vorn::py
