// Sizes shared by every part of the engine.
#pragma once

#include <cstdint>

namespace vorn {

// The unit of synthesis, scheduling and deduplication.
inline constexpr std::uint64_t BLOCK_SIZE = std::uint64_t{1} << 22;
inline constexpr unsigned BLOCK_SHIFT = 22;
inline constexpr std::uint64_t BLOCK_MASK = BLOCK_SIZE - 1;

// CPUs 0 to 1023: the width of the affinity masks we pin within, and so also
// the most workers a pool ever has.
inline constexpr std::uint64_t CPU_MASK_WIDTH = 1024;

// Blocks needed to cover `bytes`, the last one possibly partial.
inline constexpr std::uint64_t blocks_covering(std::uint64_t bytes) {
    return (bytes >> BLOCK_SHIFT) + ((bytes & BLOCK_MASK) != 0 ? 1 : 0);
}

}  // namespace vorn
