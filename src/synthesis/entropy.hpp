// The per-call entropy that, with the plan, fixes every byte of a stream.
#pragma once

#include <cstdint>

namespace vorn {

// One value per one-shot call or generator: the wall clock plus fresh bytes
// from the operating system's random source, so that two calls with equal
// arguments differ.
std::uint64_t generate_call_entropy();

}  // namespace vorn
