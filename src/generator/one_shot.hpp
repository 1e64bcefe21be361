// One-shot generation: a whole data set in parallel, either into new memory
// (ordinary or node-bound) or in place into memory the caller owns.
#pragma once

#include <cstdint>
#include <optional>

#include "generator/data_buffer.hpp"
#include "numa/topology.hpp"

namespace vorn {

enum class NumaMode : std::uint8_t { Auto = 0, Force = 1, Disabled = 2 };

struct GeneratorConfig {
    std::uint64_t size = 0;
    std::uint64_t dedup_factor = 1;
    std::uint64_t compress_factor = 1;
    NumaMode numa_mode = NumaMode::Auto;
    std::optional<std::uint64_t> max_threads;  // absent: all available CPUs
    std::optional<std::uint64_t> numa_node;    // absent: no node binding
};

// What generation does with the machine: how many workers it asks of the
// pool (0 = the pool's default) and whether they are pinned node by node
// after a first-touch pass.
struct Placement {
    std::uint64_t thread_count = 0;
    bool numa_path = false;
};

// The placement for a request, given the detected topology (none when the
// mode is Disabled or detection failed).
Placement decide_placement(const GeneratorConfig& config,
                           const std::optional<NumaTopology>& topology);

// Returns a buffer of capacity total_blocks * BLOCK_SIZE and visible length
// max(size, BLOCK_SIZE). Aborts (EngineAbort) when a pool cannot be created
// or the capacity exceeds the signed 64-bit byte range; throws
// std::bad_alloc when the memory cannot be had.
DataBuffer generate_data(const GeneratorConfig& config);

// Writes the first config.size bytes of the same stream straight into
// dest[0, config.size): whole blocks in place, a partial last block through
// one block of scratch. Same placement decisions and failures as
// generate_data, except that the memory is the caller's.
void generate_into(const GeneratorConfig& config, std::uint8_t* dest);

// The same with the entropy given instead of drawn, so tests can compare
// outputs across placements and with the streaming generator.
DataBuffer generate_data(const GeneratorConfig& config, std::uint64_t entropy);
void generate_into(const GeneratorConfig& config, std::uint8_t* dest, std::uint64_t entropy);

}  // namespace vorn
