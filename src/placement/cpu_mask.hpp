// The CPU masks workers are pinned within: 1024 CPUs, numbers 0 to 1023.
#pragma once

#include <sched.h>

#include <cstdint>

namespace vorn {

inline constexpr std::uint64_t CPU_MASK_WIDTH = 1024;
static_assert(sizeof(cpu_set_t) * 8 == CPU_MASK_WIDTH, "cpu_set_t is the 1024-CPU mask");

}  // namespace vorn
