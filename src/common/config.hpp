// What a caller asks one generation for: the request record the binding
// layer fills and the drivers read.
#pragma once

#include <cstdint>
#include <optional>

namespace vorn {

// How a one-shot call may use the machine's NUMA layout. Auto and Force
// choose alike; Disabled spreads and pins no work by it, and reads it only
// to bind the output to a node asked for.
enum class NumaMode : std::uint8_t { Auto = 0, Force = 1, Disabled = 2 };

struct GeneratorConfig {
    std::uint64_t size = 0;
    std::uint64_t dedup_factor = 1;
    std::uint64_t compress_factor = 1;
    NumaMode numa_mode = NumaMode::Auto;
    std::optional<std::uint64_t> max_threads;  // absent: all available CPUs
    std::optional<std::uint64_t> numa_node;    // absent: no node binding
};

}  // namespace vorn
