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

}  // namespace

GenerationPlan plan_generation(std::uint64_t size, std::uint64_t dedup_factor,
                               std::uint64_t compress_factor) {
    GenerationPlan plan;
    plan.effective_size = size > BLOCK_SIZE ? size : BLOCK_SIZE;
    plan.total_blocks =
        (plan.effective_size >> BLOCK_SHIFT) + ((plan.effective_size & BLOCK_MASK) != 0 ? 1 : 0);
    plan.unique_blocks = count_unique_blocks(plan.total_blocks, dedup_factor);
    if (compress_factor >= 2) {
        // 128-bit so that huge factors keep the (c - 1) / c rule instead of
        // wrapping.
        using u128 = unsigned __int128;
        const u128 total = u128{compress_factor} * BLOCK_SIZE - BLOCK_SIZE;
        plan.copy_divisor = compress_factor;
        plan.copy_quotient = static_cast<std::uint64_t>(total / compress_factor);
        plan.copy_remainder = static_cast<std::uint64_t>(total % compress_factor);
    }
    return plan;
}

std::uint64_t GenerationPlan::copy_target(std::uint64_t unique) const {
    using u128 = unsigned __int128;
    // Entry u = q + floor((u + 1) r / c) - floor(u r / c): the accumulator
    // rule, evaluated directly.
    const u128 r = copy_remainder;
    const std::uint64_t carry =
        static_cast<std::uint64_t>((u128{unique} + 1) * r / copy_divisor - u128{unique} * r / copy_divisor);
    const std::uint64_t target = copy_quotient + carry;
    return target < BLOCK_SIZE ? target : BLOCK_SIZE;
}

}  // namespace vorn
