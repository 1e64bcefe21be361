// Per-call entropy: the wall clock plus fresh bytes from the OS random source.
// The random bytes are fetched on every call rather than buffered per thread,
// so a forked child can never replay its parent's values.
#include "synthesis/entropy.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/random.h>

#include "common/engine_abort.hpp"

namespace vorn {
namespace {

std::uint64_t os_random64() {
    std::uint64_t value = 0;
    auto* out = reinterpret_cast<unsigned char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = getrandom(out + got, sizeof value - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got == sizeof value) return value;
    if (std::FILE* device = std::fopen("/dev/urandom", "rb")) {
        const std::size_t n = std::fread(&value, 1, sizeof value, device);
        std::fclose(device);
        if (n == sizeof value) return value;
    }
    engine_abort("no operating-system random source available");
}

}  // namespace

std::uint64_t generate_call_entropy() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) engine_abort("failed to read the wall clock");
    std::uint64_t t = 0;
    if (now.tv_sec >= 0)
        t = static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
            static_cast<std::uint64_t>(now.tv_nsec);
    return t + os_random64();
}

}  // namespace vorn
