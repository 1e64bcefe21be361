// The plain, word-by-word form of fill_block, for comparing the engine's
// paths with on any span, block and copy target.
#pragma once

#include <cstdint>

namespace vorn_test {

void reference_fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                          std::uint64_t copy_target, std::uint64_t entropy);

}  // namespace vorn_test
