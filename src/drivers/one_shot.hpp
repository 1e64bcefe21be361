// One-shot generation: a whole data set in parallel, either into new memory
// (ordinary or node-bound) or in place into memory the caller owns.
#pragma once

#include <cstdint>
#include <optional>

#include "common/config.hpp"
#include "placement/data_buffer.hpp"
#include "placement/topology_cache.hpp"

namespace vorn {

// What one call sees of the machine: the CPUs this thread may use and, when
// the mode places work or a node is asked to hold the output, the topology
// the process keeps loaded (none when it cannot be had: placement is an
// optimisation). Looking reads the environment, the HWLOC_ variables and
// whatever hwloc reads while it loads, so a caller whose other threads may
// change the environment looks while they cannot.
struct MachineLook {
    std::uint64_t cpus = 0;
    std::optional<MachineView> machine;
};
MachineLook look_at_machine(const GeneratorConfig& config);

// Returns a buffer of capacity total_blocks * BLOCK_SIZE and visible length
// max(size, BLOCK_SIZE). Aborts (EngineAbort) when the capacity exceeds the
// signed 64-bit byte range; throws std::bad_alloc when the memory cannot be
// had.
DataBuffer generate_data(const GeneratorConfig& config);
DataBuffer generate_data(const GeneratorConfig& config, const MachineLook& look);

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
