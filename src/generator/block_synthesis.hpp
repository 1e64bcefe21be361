// fill_block: the only producer of data bytes. A pure function of
// (span length, block index, copy target, entropy).
#pragma once

#include <cstdint>

namespace vorn {

// Overwrites span[0, len) with the block's bytes; touches nothing outside it.
// Safe to run concurrently on disjoint spans; the span may be unaligned.
void fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                std::uint64_t copy_target, std::uint64_t entropy);

}  // namespace vorn
