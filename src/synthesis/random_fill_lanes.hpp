// The vector kernels behind fill_words. A round of 2^k words per lane: lane
// i starts i 2^k steps after the round's state and writes words
// [i 2^k, (i + 1) 2^k), eight steps at a time transposed into whole 64-byte
// lines. The last lane ends where the round's successor starts.
#pragma once

#include <cstdint>

#include "synthesis/xoshiro.hpp"

namespace vorn::fill_lanes {

// A round holds at least eight words per lane, one line per lane and batch.
constexpr unsigned MIN_LANE_LOG2 = 3;
constexpr unsigned MAX_LANE_LOG2 = 17;
constexpr unsigned MAX_LANES = 8;

// x^(i 2^k) modulo the characteristic polynomial for lanes i, word-major so
// that one vector load takes the same word of every lane's polynomial.
struct LaneJumps {
    alignas(64) std::uint64_t word[4][MAX_LANES];
};

// The jumps for lanes 2^k words long, MIN_LANE_LOG2 <= k <= MAX_LANE_LOG2;
// computed once per process.
const LaneJumps& lane_jumps(unsigned k);

#if defined(__x86_64__)
// Each writes lanes << k words at dst and advances rng by as many steps.
// With nontemporal, dst must be 64-byte aligned and the caller fences.
void fill_round_avx512(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng, const LaneJumps& jumps,
                       bool nontemporal);
void fill_round_avx2(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng, const LaneJumps& jumps,
                     bool nontemporal);
#endif

}  // namespace vorn::fill_lanes
