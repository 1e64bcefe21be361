// Plan computation and ratio normalisation.
#include "synthesis/plan.hpp"

#include <cmath>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"

namespace vorn {

std::uint64_t normalise_ratio(double ratio) {
    if (std::isnan(ratio) || ratio < 1.0) return 1;
    // 2^64 is exactly representable; anything at or above it saturates.
    if (ratio >= 18446744073709551616.0) return UINT64_MAX;
    const std::uint64_t factor = static_cast<std::uint64_t>(std::trunc(ratio));
    return factor < 1 ? 1 : factor;
}

namespace {

constexpr std::uint64_t PAGES_PER_BLOCK = BLOCK_SIZE / PAGE_SIZE;
// Bytes per page copied beyond the share (c - 1) / c of a page: what the
// compressors pay for a page's matches, between the codecs and record sizes.
constexpr std::uint64_t PAGE_MATCH_COST = 90;
// Past this, too few literal bytes remain between the runs of a page, matches
// get split and the achieved ratio falls again: cap where it peaks.
constexpr std::uint64_t PAGE_COPY_MAX = PAGE_ROOM - 3;
constexpr std::uint64_t MAX_COVERED = PAGES_PER_BLOCK * PAGE_COPY_MAX;
constexpr std::uint64_t FACTOR_CLAMP = std::uint64_t{1} << 20;

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
        // A page compresses to about its literal bytes plus what its matches
        // cost, so to come to PAGE / c each page copies
        //     t = PAGE (c - 1) / c + PAGE_MATCH_COST
        // and a block T = BLOCK (c - 1) / c + PAGES_PER_BLOCK PAGE_MATCH_COST,
        // which fill_block spreads evenly over its pages. One cost serves
        // every codec and record size, though each pays its own: a page
        // compressed alone costs zstd about 10 bytes of headers and 4 per
        // match, a page inside a stream 3 per match, and lz4 4 per match
        // either way. 90 bytes splits those differences about evenly, so
        // 4 KiB records measure a few percent below the request and whole
        // streams a few percent above. Beyond the cap, where the factor
        // stops mattering, clamping c keeps the numerator within 64 bits.
        const std::uint64_t c = std::min(compress_factor, FACTOR_CLAMP);
        const std::uint64_t numerator =
            BLOCK_SIZE * (c - 1) + PAGES_PER_BLOCK * PAGE_MATCH_COST * c;
        plan.copy_divisor = c;
        plan.copy_quotient = numerator / plan.copy_divisor;
        plan.copy_remainder = numerator % plan.copy_divisor;
    }
    return plan;
}

std::uint64_t GenerationPlan::copy_target(std::uint64_t unique) const {
    using u128 = unsigned __int128;
    // Entry u = q + floor((u + 1) r / D) - floor(u r / D): a running total of
    // r / D per block, evaluated directly.
    const u128 r = copy_remainder;
    const std::uint64_t carry =
        static_cast<std::uint64_t>((u128{unique} + 1) * r / copy_divisor - u128{unique} * r / copy_divisor);
    const std::uint64_t target = copy_quotient + carry;
    return target < MAX_COVERED ? target : MAX_COVERED;
}

}  // namespace vorn
