// Page synthesis compiled for AVX2. The target applies from the pragma on,
// after every shared header, so nothing other files link to is compiled
// for it.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/stream_ahead.hpp"
#include "synthesis/xoshiro.hpp"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2")

#include "synthesis/page_synthesis.hpp"

namespace vorn::page_layout {
namespace {

// 32-byte pieces: a piece loads before it stores, so one that overlaps its
// source still copies the bytes before dst as they were.
struct Avx2Moves {
    VORN_ALWAYS_INLINE static void move_overshoot(std::uint8_t* dst, const std::uint8_t* src) {
#pragma GCC unroll 8
        for (std::uint32_t k = 0; k < OVERSHOOT; k += 32) {
            const __m256i piece = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + k));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k), piece);
        }
    }
};

}  // namespace

void synthesize_span_avx2(std::uint8_t* span, std::uint64_t len, std::uint64_t copy_target,
                          const Xoshiro256pp& rng) {
    synthesize_span<Avx2Moves>(span, len, copy_target, rng);
}

}  // namespace vorn::page_layout

#pragma GCC pop_options

#endif
