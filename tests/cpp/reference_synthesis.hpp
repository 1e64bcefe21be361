// The plain, word-by-word form of fill_block, for comparing the engine's
// paths with on any span, block and copy target.
#pragma once

#include <cstdint>
#include <vector>

#include "synthesis/random_fill.hpp"

namespace vorn_test {

void reference_fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                          std::uint64_t copy_target, std::uint64_t entropy);

// The whole stream of (size, dedup, compress) made block by block from its
// unique blocks, each by reference_fill_block.
std::vector<std::uint8_t> reference_stream(std::uint64_t size, std::uint64_t dedup,
                                           std::uint64_t compress, std::uint64_t entropy);

// The fill paths this CPU runs; says on standard error which it lacks.
std::vector<vorn::FillPath> runnable_fill_paths();

}  // namespace vorn_test
