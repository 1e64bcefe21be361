// _fill_path: the private switch between the fill paths this CPU runs, for
// tests and benchmarks. Every path makes the same bytes; only speed changes.
#pragma once

#include "python_api/py_ref.hpp"

namespace vorn::py {

extern PyMethodDef fill_path_def;

}  // namespace vorn::py
