// Writes the abort report (thread name and source location) and throws.
#include "common/engine_abort.hpp"

#include <cstdio>
#include <pthread.h>

namespace vorn {

void engine_abort(const std::string& message, std::source_location where) {
    char name[32];
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:\n%s\n", name, where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw EngineAbort(message);
}

}  // namespace vorn
