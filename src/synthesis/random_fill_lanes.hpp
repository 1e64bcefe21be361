// The vector kernels behind fill_words. A round of L = lane_words(k) words
// per lane: lane i starts i L steps after the round's state and writes words
// [i L, (i + 1) L), a batch of steps at a time transposed into whole lines
// (eight steps per 64-byte line; four per half line in 256-bit registers).
// The last lane ends where the round's successor starts.
#pragma once

#include <cstdint>

#include "synthesis/xoshiro.hpp"

namespace vorn::fill_lanes {

// The range of k over every kernel's rounds.
constexpr unsigned MIN_LANE_LOG2 = 7;
constexpr unsigned MAX_LANE_LOG2 = 17;

// A line short of a power of two: lanes written side by side then fall in
// different cache sets, where at a power-of-two distance all of them would
// compete for one set's ways (measured 20% faster with ordinary stores at
// sixteen lanes). A whole number of lines.
constexpr std::uint64_t lane_words(unsigned k) { return (std::uint64_t{1} << k) - 8; }
static_assert(lane_words(MIN_LANE_LOG2) >= 8 && lane_words(MIN_LANE_LOG2) % 8 == 0);
constexpr unsigned AVX512_LANES = 16;
constexpr unsigned AVX2_LANES = 8;
constexpr unsigned MAX_LANES = AVX512_LANES;

// x^(i lane_words(k)) modulo the characteristic polynomial for lanes i, word-major so
// that one vector load takes the same word of every lane's polynomial.
struct LaneJumps {
    alignas(64) std::uint64_t word[4][MAX_LANES];
};

// The jumps for lanes lane_words(k) words long, MIN_LANE_LOG2 <= k <= MAX_LANE_LOG2;
// computed once per process.
const LaneJumps& lane_jumps(unsigned k);

#if defined(__x86_64__)
// Each writes lanes * lane_words(k) words at dst and advances rng by as many steps.
// With nontemporal, dst must be 64-byte aligned and the caller fences.
void fill_round_avx512(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng, const LaneJumps& jumps,
                       bool nontemporal);
void fill_round_avx2(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng, const LaneJumps& jumps,
                     bool nontemporal);
#endif

}  // namespace vorn::fill_lanes
