// Sixteen Xoshiro256++ lanes in 512-bit registers. Only these functions carry
// the AVX-512 target, so nothing shared with other files is compiled for it.
#include "synthesis/random_fill_lanes.hpp"

#if defined(__x86_64__)

// GCC 12 reports its own intrinsics' unused pass-through operands as
// uninitialized once they are inlined into a target("avx512f") function.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#define VORN_AVX512 __attribute__((target("avx512f")))
#define VORN_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

namespace vorn::fill_lanes {
namespace {

struct Lanes {
    __m512i s0, s1, s2, s3;
};

// Two sets of eight lanes: one set's chain of steps alone leaves the vector
// units idle between its dependent instructions.
constexpr unsigned SETS = 2;
static_assert(SETS * 8 == AVX512_LANES);

// Three-way xors fold the step's five xors into four instructions.
constexpr int XOR3 = 0x96;

VORN_AVX512_INLINE void step(Lanes& s) {
    const __m512i t = _mm512_slli_epi64(s.s1, 17);
    const __m512i s3 = _mm512_xor_si512(s.s3, s.s1);
    const __m512i s1 = _mm512_ternarylogic_epi64(s.s1, s.s2, s.s0, XOR3);
    s.s2 = _mm512_ternarylogic_epi64(s.s2, s.s0, t, XOR3);
    s.s0 = _mm512_xor_si512(s.s0, s3);
    s.s1 = s1;
    s.s3 = _mm512_rol_epi64(s3, 45);
}

VORN_AVX512_INLINE __m512i next(Lanes& s) {
    const __m512i out =
        _mm512_add_epi64(_mm512_rol_epi64(_mm512_add_epi64(s.s0, s.s3), 23), s.s0);
    step(s);
    return out;
}

// Lane i of set g becomes jump polynomial 8 g + i evaluated at the step,
// applied to the round's state: one pass of 256 steps for all lanes.
VORN_AVX512_INLINE void start_lanes(const Xoshiro256pp& rng, const LaneJumps& jumps,
                                    Lanes (&sets)[SETS]) {
    Lanes cur{_mm512_set1_epi64(static_cast<long long>(rng.s0)),
              _mm512_set1_epi64(static_cast<long long>(rng.s1)),
              _mm512_set1_epi64(static_cast<long long>(rng.s2)),
              _mm512_set1_epi64(static_cast<long long>(rng.s3))};
    for (Lanes& acc : sets)
        acc = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
               _mm512_setzero_si512()};
    const __m512i one = _mm512_set1_epi64(1);
    for (unsigned w = 0; w < 4; ++w) {
        __m512i bits[SETS];
        for (unsigned g = 0; g < SETS; ++g) bits[g] = _mm512_load_si512(jumps.word[w] + 8 * g);
        for (unsigned i = 0; i < 64; ++i) {
            #pragma GCC unroll 2
            for (unsigned g = 0; g < SETS; ++g) {
                const __mmask8 take = _mm512_test_epi64_mask(bits[g], one);
                Lanes& acc = sets[g];
                acc.s0 = _mm512_mask_xor_epi64(acc.s0, take, acc.s0, cur.s0);
                acc.s1 = _mm512_mask_xor_epi64(acc.s1, take, acc.s1, cur.s1);
                acc.s2 = _mm512_mask_xor_epi64(acc.s2, take, acc.s2, cur.s2);
                acc.s3 = _mm512_mask_xor_epi64(acc.s3, take, acc.s3, cur.s3);
                bits[g] = _mm512_srli_epi64(bits[g], 1);
            }
            step(cur);
        }
    }
}

// r[j] holds step j of every lane; afterwards r[i] holds lane i's eight steps.
VORN_AVX512_INLINE void transpose8(__m512i r[8]) {
    const __m512i low_pairs = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i high_pairs = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    __m512i t[8], u[8];
    #pragma GCC unroll 8
    for (int j = 0; j < 8; j += 2) {
        t[j] = _mm512_unpacklo_epi64(r[j], r[j + 1]);      // lanes 0 2 4 6
        t[j + 1] = _mm512_unpackhi_epi64(r[j], r[j + 1]);  // lanes 1 3 5 7
    }
    // u[0]: lanes 0 and 4, steps 0-3; u[1]: lanes 2, 6; u[2]: 1, 5; u[3]: 3, 7;
    // u[4..7] the same for steps 4-7.
    #pragma GCC unroll 8
    for (int h = 0; h < 2; ++h) {
        __m512i* th = t + 4 * h;
        __m512i* uh = u + 4 * h;
        uh[0] = _mm512_permutex2var_epi64(th[0], low_pairs, th[2]);
        uh[1] = _mm512_permutex2var_epi64(th[0], high_pairs, th[2]);
        uh[2] = _mm512_permutex2var_epi64(th[1], low_pairs, th[3]);
        uh[3] = _mm512_permutex2var_epi64(th[1], high_pairs, th[3]);
    }
    r[0] = _mm512_shuffle_i64x2(u[0], u[4], 0x44);
    r[4] = _mm512_shuffle_i64x2(u[0], u[4], 0xEE);
    r[2] = _mm512_shuffle_i64x2(u[1], u[5], 0x44);
    r[6] = _mm512_shuffle_i64x2(u[1], u[5], 0xEE);
    r[1] = _mm512_shuffle_i64x2(u[2], u[6], 0x44);
    r[5] = _mm512_shuffle_i64x2(u[2], u[6], 0xEE);
    r[3] = _mm512_shuffle_i64x2(u[3], u[7], 0x44);
    r[7] = _mm512_shuffle_i64x2(u[3], u[7], 0xEE);
}

// Each set's eight steps are made, transposed and stored before the next
// set's: the two sets' independent chains overlap, and the registers of
// one batch stay free for the other's transposition.
template <bool NonTemporal>
VORN_AVX512_INLINE void run_lanes(std::uint8_t* dst, std::uint64_t words_per_lane,
                                  Lanes (&sets)[SETS]) {
    const std::uint64_t lane_bytes = words_per_lane * 8;
    for (std::uint64_t offset = 0; offset < lane_bytes; offset += 64) {
        #pragma GCC unroll 2
        for (unsigned g = 0; g < SETS; ++g) {
            __m512i r[8];
            #pragma GCC unroll 8
            for (int j = 0; j < 8; ++j) r[j] = next(sets[g]);
            transpose8(r);
            #pragma GCC unroll 8
            for (unsigned i = 0; i < 8; ++i) {
                auto* line =
                    reinterpret_cast<__m512i*>(dst + (8 * g + i) * lane_bytes + offset);
                if constexpr (NonTemporal)
                    _mm512_stream_si512(line, r[i]);
                else
                    _mm512_storeu_si512(line, r[i]);
            }
        }
    }
}

}  // namespace

VORN_AVX512 void fill_round_avx512(std::uint8_t* dst, unsigned k, Xoshiro256pp& rng,
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
    alignas(64) std::uint64_t words[8];
    _mm512_store_si512(words, s.s0);
    rng.s0 = words[7];
    _mm512_store_si512(words, s.s1);
    rng.s1 = words[7];
    _mm512_store_si512(words, s.s2);
    rng.s2 = words[7];
    _mm512_store_si512(words, s.s3);
    rng.s3 = words[7];
}

}  // namespace vorn::fill_lanes

#endif
