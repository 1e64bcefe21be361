// The generation plan, ratio normalisation and entropy.
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "generator/constants.hpp"
#include "generator/plan.hpp"
#include "harness.hpp"

using namespace vorn;

TEST_CASE(ratio_normalisation) {
    CHECK_EQ(normalise_ratio(1.0), 1u);
    CHECK_EQ(normalise_ratio(1.9), 1u);
    CHECK_EQ(normalise_ratio(2.0), 2u);
    CHECK_EQ(normalise_ratio(2.5), 2u);
    CHECK_EQ(normalise_ratio(2.9), 2u);
    CHECK_EQ(normalise_ratio(0.5), 1u);
    CHECK_EQ(normalise_ratio(-3.0), 1u);
    CHECK_EQ(normalise_ratio(std::nan("")), 1u);
    CHECK_EQ(normalise_ratio(-std::numeric_limits<double>::infinity()), 1u);
    CHECK_EQ(normalise_ratio(std::numeric_limits<double>::infinity()), UINT64_MAX);
    CHECK_EQ(normalise_ratio(18446744073709551616.0), UINT64_MAX);
    CHECK_EQ(normalise_ratio(1e30), UINT64_MAX);
    // The largest double below 2^64 converts exactly.
    CHECK_EQ(normalise_ratio(18446744073709549568.0), 18446744073709549568ULL);
}

TEST_CASE(plan_sizes) {
    for (std::uint64_t size : {0ULL, 1ULL, 1048576ULL, 4194304ULL}) {
        const GenerationPlan plan = plan_generation(size, 1, 1);
        CHECK_EQ(plan.effective_size, BLOCK_SIZE);
        CHECK_EQ(plan.total_blocks, 1u);
        CHECK_EQ(plan.unique_blocks, 1u);
    }
    const GenerationPlan two = plan_generation(4194305, 1, 1);
    CHECK_EQ(two.effective_size, 4194305u);
    CHECK_EQ(two.total_blocks, 2u);
    const GenerationPlan huge = plan_generation(UINT64_MAX, UINT64_MAX, 1);
    CHECK_EQ(huge.total_blocks, std::uint64_t{1} << 42);
    CHECK_EQ(huge.unique_blocks, 1u);
}

TEST_CASE(unique_blocks_round_half_away_from_zero) {
    CHECK_EQ(plan_generation(5 * BLOCK_SIZE, 2, 1).unique_blocks, 3u);   // 2.5 -> 3
    CHECK_EQ(plan_generation(3 * BLOCK_SIZE, 2, 1).unique_blocks, 2u);   // 1.5 -> 2
    CHECK_EQ(plan_generation(BLOCK_SIZE, 2, 1).unique_blocks, 1u);       // 0.5 -> 1
    CHECK_EQ(plan_generation(10 * BLOCK_SIZE, 100, 1).unique_blocks, 1u);
    CHECK_EQ(plan_generation(10 * BLOCK_SIZE, 1, 1).unique_blocks, 10u);
    const GenerationPlan five = plan_generation(5 * BLOCK_SIZE, 2, 1);
    const std::uint64_t expected[] = {0, 1, 2, 0, 1};
    for (std::uint64_t k = 0; k < 5; ++k) CHECK_EQ(unique_index(five, k), expected[k]);
}

TEST_CASE(entropy_differs_between_calls) {
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 100; ++i) seen.insert(generate_call_entropy());
    CHECK_EQ(seen.size(), std::size_t{100});
}

TEST_CASE(copy_length_table) {
    const auto table = [](std::uint64_t c) {
        const GenerationPlan plan = plan_generation(12 * BLOCK_SIZE, 1, c);
        std::vector<std::uint64_t> entries;
        for (std::uint64_t u = 0; u < plan.unique_blocks; ++u) entries.push_back(plan.copy_target(u));
        return entries;
    };
    for (std::uint64_t v : table(1)) CHECK_EQ(v, 0u);
    for (std::uint64_t v : table(2)) CHECK_EQ(v, 2097152u);
    const auto three = table(3);
    CHECK_EQ(three[0], 2796202u);
    CHECK_EQ(three[1], 2796203u);
    CHECK_EQ(three[2], 2796203u);
    CHECK_EQ(three[3], 2796202u);
    const auto five = table(5);
    CHECK_EQ(five[3], 3355443u);
    CHECK_EQ(five[4], 3355444u);
    const auto ten = table(10);
    CHECK_EQ(ten[0], 3774873u);
    CHECK_EQ(ten[1], 3774874u);
}

TEST_CASE(copy_targets_follow_the_accumulator_rule_for_any_index) {
    // The computed entries equal those of the running accumulator, also far
    // into a stream too long for any table.
    for (std::uint64_t c : {3, 7, 10, 1000003}) {
        const GenerationPlan plan = plan_generation(std::uint64_t{1} << 60, 1, c);
        const unsigned __int128 total = (unsigned __int128)c * BLOCK_SIZE - BLOCK_SIZE;
        const std::uint64_t q = (std::uint64_t)(total / c), r = (std::uint64_t)(total % c);
        for (std::uint64_t start : {std::uint64_t{0}, (std::uint64_t{1} << 38) - 5}) {
            unsigned __int128 acc = (unsigned __int128)start * r % c;
            for (std::uint64_t u = start; u < start + 50; ++u) {
                acc += r;
                std::uint64_t want = q;
                if (acc >= c) { want = q + 1; acc -= c; }
                CHECK_EQ(plan.copy_target(u), std::min(want, BLOCK_SIZE));
            }
        }
    }
    // Huge factors keep (c - 1) / c of a block instead of wrapping around.
    const GenerationPlan huge = plan_generation(BLOCK_SIZE, 1, std::uint64_t{1} << 50);
    CHECK_EQ(huge.copy_target(0), BLOCK_SIZE - 1);
    CHECK_EQ(plan_generation(BLOCK_SIZE, 1, UINT64_MAX).copy_target(0), BLOCK_SIZE - 1);
}
