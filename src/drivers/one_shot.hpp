// One-shot generation: a whole data set in parallel, either into new memory
// (ordinary or node-bound) or in place into memory the caller owns.
#pragma once

#include <cstdint>

#include "common/config.hpp"
#include "placement/data_buffer.hpp"

namespace vorn {

// Returns a buffer of capacity total_blocks * BLOCK_SIZE and visible length
// max(size, BLOCK_SIZE). Aborts (EngineAbort) when the capacity exceeds the
// signed 64-bit byte range; throws std::bad_alloc when the memory cannot be
// had.
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
