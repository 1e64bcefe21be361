// Sizes shared by every part of the engine.
#pragma once

#include <cstdint>

namespace vorn {

// The unit of synthesis, scheduling and deduplication.
inline constexpr unsigned BLOCK_SHIFT = 22;
inline constexpr std::uint64_t BLOCK_SIZE = std::uint64_t{1} << BLOCK_SHIFT;
inline constexpr std::uint64_t BLOCK_MASK = BLOCK_SIZE - 1;

// Blocks needed to cover `bytes`, the last one possibly partial.
inline constexpr std::uint64_t blocks_covering(std::uint64_t bytes) {
    return (bytes >> BLOCK_SHIFT) + ((bytes & BLOCK_MASK) != 0 ? 1 : 0);
}

}  // namespace vorn
