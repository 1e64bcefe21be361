// The generation plan: how a size and two integer ratio factors become a
// layout of blocks, unique blocks and per-block copy targets.
#pragma once

#include <cstdint>

namespace vorn {

struct GenerationPlan {
    std::uint64_t effective_size = 0;  // the requested size, at least one block
    std::uint64_t total_blocks = 0;
    std::uint64_t unique_blocks = 0;

    // Copy targets: a per-block share N / D of back-reference bytes, spread
    // so that the first k unique blocks carry floor(k N / D) in all and no
    // two differ by more than one. Entry u is computed, not stored, so the
    // plan costs the same for a petabyte stream as for one block.
    std::uint64_t copy_divisor = 1;    // D
    std::uint64_t copy_quotient = 0;   // N div D
    std::uint64_t copy_remainder = 0;  // N mod D

    // The copy target of unique block u, capped where the ratio peaks.
    std::uint64_t copy_target(std::uint64_t unique) const;
};

// factor = max(1, trunc(max(ratio, 1.0))); NaN gives 1; saturates at 2^64 - 1.
std::uint64_t normalise_ratio(double ratio);

GenerationPlan plan_generation(std::uint64_t size, std::uint64_t dedup_factor,
                               std::uint64_t compress_factor);

// The unique block that stream block k repeats.
inline std::uint64_t unique_index(const GenerationPlan& plan, std::uint64_t block) {
    return block % plan.unique_blocks;
}

}  // namespace vorn
