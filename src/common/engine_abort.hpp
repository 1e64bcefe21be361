// Unrecoverable engine conditions: reported on standard error where they
// happen, then carried to the binding layer as an exception.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vorn {

class EngineAbort : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void engine_abort(const std::string& message,
                               std::source_location where = std::source_location::current());

}  // namespace vorn
