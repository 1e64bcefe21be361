// Eight Xoshiro256++ lanes in 256-bit registers. Only these functions carry
// the AVX2 target, so nothing shared with other files is compiled for it.
#include "synthesis/random_fill_lanes.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#define VORN_AVX2 __attribute__((target("avx2")))
#define VORN_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace vorn::fill_lanes {
namespace {

struct Lanes {
    __m256i s0, s1, s2, s3;
};

// Two sets of four lanes: one set's chain of dependent steps alone leaves
// the vector units idle.
constexpr unsigned LANES = 4;
constexpr unsigned SETS = AVX2_LANES / LANES;
static_assert(SETS * LANES == AVX2_LANES);

template <int K>
VORN_AVX2_INLINE __m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, K), _mm256_srli_epi64(x, 64 - K));
}

VORN_AVX2_INLINE void step(Lanes& s) {
    const __m256i t = _mm256_slli_epi64(s.s1, 17);
    const __m256i s2 = _mm256_xor_si256(s.s2, s.s0);
    const __m256i s3 = _mm256_xor_si256(s.s3, s.s1);
    s.s1 = _mm256_xor_si256(s.s1, s2);
    s.s0 = _mm256_xor_si256(s.s0, s3);
    s.s2 = _mm256_xor_si256(s2, t);
    s.s3 = rotl<45>(s3);
}

VORN_AVX2_INLINE __m256i next(Lanes& s) {
    const __m256i out = _mm256_add_epi64(rotl<23>(_mm256_add_epi64(s.s0, s.s3)), s.s0);
    step(s);
    return out;
}

// Lane i of set g becomes jump polynomial 4 g + i evaluated at the step,
// applied to the round's state: one pass of 256 steps for all lanes.
VORN_AVX2_INLINE void start_lanes(const Xoshiro256pp& rng, const LaneJumps& jumps,
                                  Lanes (&sets)[SETS]) {
    Lanes cur{_mm256_set1_epi64x(static_cast<long long>(rng.s0)),
              _mm256_set1_epi64x(static_cast<long long>(rng.s1)),
              _mm256_set1_epi64x(static_cast<long long>(rng.s2)),
              _mm256_set1_epi64x(static_cast<long long>(rng.s3))};
    for (Lanes& acc : sets)
        acc = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
               _mm256_setzero_si256()};
    const __m256i one = _mm256_set1_epi64x(1);
    for (unsigned w = 0; w < 4; ++w) {
        __m256i bits[SETS];
        for (unsigned g = 0; g < SETS; ++g)
            bits[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(jumps.word[w] + LANES * g));
        for (unsigned i = 0; i < 64; ++i) {
            #pragma GCC unroll 2
            for (unsigned g = 0; g < SETS; ++g) {
                const __m256i take = _mm256_cmpeq_epi64(_mm256_and_si256(bits[g], one), one);
                Lanes& acc = sets[g];
                acc.s0 = _mm256_xor_si256(acc.s0, _mm256_and_si256(take, cur.s0));
                acc.s1 = _mm256_xor_si256(acc.s1, _mm256_and_si256(take, cur.s1));
                acc.s2 = _mm256_xor_si256(acc.s2, _mm256_and_si256(take, cur.s2));
                acc.s3 = _mm256_xor_si256(acc.s3, _mm256_and_si256(take, cur.s3));
                bits[g] = _mm256_srli_epi64(bits[g], 1);
            }
            step(cur);
        }
    }
}

// r[j] holds step j of every lane; afterwards r[i] holds lane i's four steps.
VORN_AVX2_INLINE void transpose4(__m256i r[4]) {
    const __m256i t0 = _mm256_unpacklo_epi64(r[0], r[1]);  // lanes 0 2
    const __m256i t1 = _mm256_unpackhi_epi64(r[0], r[1]);  // lanes 1 3
    const __m256i t2 = _mm256_unpacklo_epi64(r[2], r[3]);
    const __m256i t3 = _mm256_unpackhi_epi64(r[2], r[3]);
    r[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
    r[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
    r[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
    r[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
}

// Two four-step batches per line, so each lane still writes whole lines;
// each set's batch is made, transposed and stored before the next set's.
template <bool NonTemporal>
VORN_AVX2_INLINE void run_lanes(std::uint8_t* dst, std::uint64_t words_per_lane,
                                Lanes (&sets)[SETS]) {
    const std::uint64_t lane_bytes = words_per_lane * 8;
    for (std::uint64_t offset = 0; offset < lane_bytes; offset += 32) {
        #pragma GCC unroll 2
        for (unsigned g = 0; g < SETS; ++g) {
            __m256i r[LANES];
            #pragma GCC unroll 4
            for (unsigned j = 0; j < LANES; ++j) r[j] = next(sets[g]);
            transpose4(r);
            #pragma GCC unroll 4
            for (unsigned i = 0; i < LANES; ++i) {
                auto* half_line = reinterpret_cast<__m256i*>(
                    dst + (LANES * g + i) * lane_bytes + offset);
                if constexpr (NonTemporal)
                    _mm256_stream_si256(half_line, r[i]);
                else
                    _mm256_storeu_si256(half_line, r[i]);
            }
        }
    }
}

}  // namespace

VORN_AVX2 void fill_round_avx2(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng,
                               const LaneJumps& jumps, bool nontemporal) {
    Lanes sets[SETS];
    start_lanes(rng, jumps, sets);
    const std::uint64_t words_per_lane = fill_lanes::lane_words(k);
    if (nontemporal)
        run_lanes<true>(dst, words_per_lane, sets);
    else
        run_lanes<false>(dst, words_per_lane, sets);
    // The last lane stopped where the next round begins.
    const Lanes& s = sets[SETS - 1];
    alignas(32) std::uint64_t words[LANES];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words), s.s0);
    rng.s0 = words[LANES - 1];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words), s.s1);
    rng.s1 = words[LANES - 1];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words), s.s2);
    rng.s2 = words[LANES - 1];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words), s.s3);
    rng.s3 = words[LANES - 1];
}

}  // namespace vorn::fill_lanes

#endif
