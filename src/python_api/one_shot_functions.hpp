// The one-shot module functions generate_buffer and generate_into_buffer.
#pragma once

#include "python_api/py_ref.hpp"

namespace vorn::py {

extern PyMethodDef generate_buffer_def;
extern PyMethodDef generate_into_buffer_def;

}  // namespace vorn::py
