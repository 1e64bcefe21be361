// Plan computation and ratio normalisation.
#include "generator/plan.hpp"

#include <cmath>

#include "generator/constants.hpp"

namespace vorn {

std::uint64_t normalise_ratio(double ratio) {
    if (std::isnan(ratio) || ratio < 1.0) return 1;
    // 2^64 is exactly representable; anything at or above it saturates.
    if (ratio >= 18446744073709551616.0) return UINT64_MAX;
    const std::uint64_t factor = static_cast<std::uint64_t>(std::trunc(ratio));
    return factor < 1 ? 1 : factor;
}

namespace {

std::uint64_t count_unique_blocks(std::uint64_t total_blocks, std::uint64_t dedup_factor) {
    if (dedup_factor < 2) return total_blocks;
    double v = std::round(static_cast<double>(total_blocks) / static_cast<double>(dedup_factor));
    if (v < 1.0) v = 1.0;
    return static_cast<std::uint64_t>(v);
}

// Spreads a per-block target of T / c bytes over the unique blocks so that any
// c consecutive entries sum to T and no two differ by more than one. The
// arithmetic is 128-bit so that huge factors keep the (c - 1) / c rule
// instead of wrapping.
std::vector<std::uint64_t> build_copy_lengths(std::uint64_t unique_blocks,
                                              std::uint64_t compress_factor) {
    std::vector<std::uint64_t> lengths(unique_blocks, 0);
    if (compress_factor < 2) return lengths;
    using u128 = unsigned __int128;
    const u128 c = compress_factor;
    const u128 total = c * BLOCK_SIZE - BLOCK_SIZE;
    const std::uint64_t q = static_cast<std::uint64_t>(total / c);
    const u128 r = total % c;
    u128 acc = 0;
    for (auto& entry : lengths) {
        acc += r;
        if (acc >= c) {
            entry = q + 1;
            acc -= c;
        } else {
            entry = q;
        }
    }
    return lengths;
}

}  // namespace

GenerationPlan plan_generation(std::uint64_t size, std::uint64_t dedup_factor,
                               std::uint64_t compress_factor) {
    GenerationPlan plan;
    plan.effective_size = size > BLOCK_SIZE ? size : BLOCK_SIZE;
    plan.total_blocks =
        (plan.effective_size >> BLOCK_SHIFT) + ((plan.effective_size & BLOCK_MASK) != 0 ? 1 : 0);
    plan.unique_blocks = count_unique_blocks(plan.total_blocks, dedup_factor);
    plan.copy_lengths = build_copy_lengths(plan.unique_blocks, compress_factor);
    return plan;
}

}  // namespace vorn
