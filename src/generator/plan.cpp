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

constexpr std::uint64_t MEAN_RUN_16 = 160 * 16;  // mean run length, in 1/16 byte
constexpr std::uint64_t MATCH_COST_16 = 60;      // bytes a compressor pays per match, in 1/16
constexpr std::uint64_t FACTOR_CLAMP = std::uint64_t{1} << 20;
// Past about 99.6% coverage too few literal bytes remain to start sources on,
// matches get split and the achieved ratio falls again: cap where it peaks.
constexpr std::uint64_t MAX_COVERED = BLOCK_SIZE - BLOCK_SIZE / 256;

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
    plan.total_blocks = blocks_covering(plan.effective_size);
    plan.unique_blocks = count_unique_blocks(plan.total_blocks, dedup_factor);
    if (compress_factor >= 2) {
        // Covering a share a of a block with matches of mean length R costs a
        // compressor about (1 - a) literal bytes plus K bytes per match, so
        // 1/c = (1 - a) + a K / R, which gives a per-block target of
        //     T = BLOCK (c - 1) R / (c (R - K))
        // with R = 160 and K = 60/16 bytes, fitted on zstd level 3 output
        // compressed whole, as a stream and in 128 KiB records (the three
        // differ by a few percent; this sits between them). Beyond the cap,
        // where the factor stops mattering, clamping c keeps the numerator
        // within 64 bits.
        const std::uint64_t c = std::min(compress_factor, FACTOR_CLAMP);
        const std::uint64_t numerator = BLOCK_SIZE * (c - 1) * MEAN_RUN_16;
        plan.copy_divisor = c * (MEAN_RUN_16 - MATCH_COST_16);
        plan.copy_quotient = numerator / plan.copy_divisor;
        plan.copy_remainder = numerator % plan.copy_divisor;
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
    return target < MAX_COVERED ? target : MAX_COVERED;
}

}  // namespace vorn
