// The streaming Generator class.
#pragma once

#include "python_api/py_ref.hpp"

namespace vorn::py {

// The class, created once per process; null with an error set on failure.
PyTypeObject* generator_type();

}  // namespace vorn::py
