// The generation plan, ratio normalisation and entropy.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "synthesis/constants.hpp"
#include "synthesis/entropy.hpp"
#include "synthesis/plan.hpp"
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

TEST_CASE(copy_targets_per_unique_block) {
    const auto table = [](std::uint64_t c) {
        const GenerationPlan plan = plan_generation(12 * BLOCK_SIZE, 1, c);
        std::vector<std::uint64_t> entries;
        for (std::uint64_t u = 0; u < plan.unique_blocks; ++u) entries.push_back(plan.copy_target(u));
        return entries;
    };
    for (std::uint64_t v : table(1)) CHECK_EQ(v, 0u);
    // Per block BLOCK (c - 1) / c plus 90 bytes for each of its 1024 pages.
    const std::vector<std::uint64_t> two = {2189312, 2189312, 2189312, 2189312, 2189312, 2189312};
    const std::vector<std::uint64_t> three = {2888362, 2888363, 2888363, 2888362, 2888363, 2888363};
    const std::vector<std::uint64_t> ten = {3867033, 3867034, 3867033, 3867034, 3867034, 3867033};
    const auto first_six = [&](std::uint64_t c) {
        const auto t = table(c);
        return std::vector<std::uint64_t>(t.begin(), t.begin() + 6);
    };
    CHECK(first_six(2) == two);
    CHECK(first_six(3) == three);
    CHECK(first_six(10) == ten);
    CHECK_EQ(table(4)[0], 3237888u);
    CHECK_EQ(table(5)[0], 3447603u);
    // From factor 26 on every page of every block is covered up to the cap,
    // 4024 bytes.
    for (std::uint64_t c : {26, 37, 1000, 1 << 20})
        for (std::uint64_t v : table(c)) CHECK_EQ(v, 4120576u);
    CHECK_EQ(table(25)[0], 4118691u);
    // Entries grow with the factor and never differ by more than one.
    std::uint64_t previous = 0;
    for (std::uint64_t c = 2; c <= 40; ++c) {
        const auto t = table(c);
        const auto [lo, hi] = std::minmax_element(t.begin(), t.end());
        CHECK(*hi - *lo <= 1);
        CHECK(*lo >= previous);
        previous = *lo;
    }
}

TEST_CASE(copy_targets_follow_a_running_total_for_any_index) {
    // The computed entries equal those of a running total of N / D per
    // block, also far into a stream too long for any table.
    for (std::uint64_t c : {2, 3, 7, 10, 25}) {
        const GenerationPlan plan = plan_generation(std::uint64_t{1} << 60, 1, c);
        const std::uint64_t num = BLOCK_SIZE * (c - 1) + 1024 * 90 * c, den = c;
        for (std::uint64_t start : {std::uint64_t{0}, (std::uint64_t{1} << 38) - 5}) {
            unsigned __int128 acc = (unsigned __int128)start * (num % den) % den;
            for (std::uint64_t u = start; u < start + 50; ++u) {
                acc += num % den;
                std::uint64_t want = num / den;
                if (acc >= den) { want += 1; acc -= den; }
                CHECK_EQ(plan.copy_target(u), want);
            }
        }
    }
    // Huge factors stay at the cap instead of wrapping around.
    CHECK_EQ(plan_generation(BLOCK_SIZE, 1, std::uint64_t{1} << 50).copy_target(0), 4120576u);
    CHECK_EQ(plan_generation(BLOCK_SIZE, 1, UINT64_MAX).copy_target(0), 4120576u);
}
