// Random fill from Xoshiro256++, then back-references that give a compressor
// something to find.
#include "generator/block_synthesis.hpp"

#include <algorithm>
#include <cstring>

#include "generator/xoshiro.hpp"

namespace vorn {
namespace {

constexpr std::uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t RUN_MIN = 64;        // runs are 64 + draw(193): 64 to 256 bytes
constexpr std::uint32_t RUN_SPAN = 193;
constexpr std::uint64_t MAX_DISTANCE = 1024;  // sources lie at most this far back

// Whole words little-endian, then a tail of 1-4 bytes from an upper half step
// or 5-7 bytes from a full step.
void fill_random(std::uint8_t* span, std::uint64_t len, Xoshiro256pp& rng) {
    const std::uint64_t words = len / 8;
    Xoshiro256pp local = rng;  // keep the state in registers for the hot loop
    std::uint8_t* p = span;
    for (std::uint64_t i = 0; i < words; ++i, p += 8) {
        const std::uint64_t v = local.next64();
        std::memcpy(p, &v, 8);  // unaligned-safe; callers fill caller memory in place
    }
    const std::uint64_t tail = len % 8;
    if (tail >= 5) {
        const std::uint64_t v = local.next64();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    } else if (tail >= 1) {
        const std::uint32_t v = local.next32();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    rng = local;
}

// A gap of free literal bytes spread over the rem bytes still to copy, in
// front of a run of n: floor(draw(2 free n + rem) / rem), at most free. Its
// mean is free n / rem even below one byte, so at high coverage the literal
// bytes spread over the whole block instead of gathering at its end. Spans of
// 2^54 bytes and more, where that range would overflow, draw around the
// rounded-down mean instead.
std::uint64_t draw_gap(Xoshiro256pp& rng, std::uint64_t free, std::uint64_t n, std::uint64_t rem,
                       std::uint64_t avail) {
    if (avail < (std::uint64_t{1} << 54)) return std::min(free, draw(rng, 2 * free * n + rem) / rem);
    const std::uint64_t mean =
        static_cast<std::uint64_t>(static_cast<unsigned __int128>(free) * n / rem);
    return draw(rng, mean + std::min(mean, free - mean) + 1);
}

// Runs are laid out front to back, so none overwrites another run or any
// run's source: every run is a whole match of final bytes, at a distance of
// at least its length and at most MAX_DISTANCE. Each source starts on a
// literal byte (one no run wrote), because fast compressors index positions
// mainly where they emit literals; a source starting inside an earlier run
// would be found only in pieces, costing an extra match.
//
// Per run, in draw order: run length 64 + draw(193); the gap (draw_gap);
// then either a literal segment reaching into the source window, draw(U),
// and an offset inside it, draw(e - s); or, when no segment reaches the
// window, a distance n + draw(lim - n + 1). When the target cannot fit
// (copy_target > len - 256) runs pack up to the end of the span and stop.
void inject_back_references(std::uint8_t* span, std::uint64_t len, std::uint64_t copy_target,
                            Xoshiro256pp& rng) {
    // Literal segments [start, end) that may still meet a source window, in a
    // ring, oldest at tail. Segment starts lie at least 65 bytes apart, so at
    // most 18 are live and at most the newest 4 start too close to hold a source.
    constexpr std::uint32_t RING = 32;
    constexpr std::uint32_t MASK = RING - 1;
    std::uint64_t seg_start[RING] = {};
    std::uint64_t seg_end[RING] = {};
    std::uint32_t tail = 0, head = 0;

    std::uint64_t pos = 0;  // bytes below pos are final
    std::uint64_t copied = 0;
    while (copied < copy_target) {
        const std::uint64_t rem = copy_target - copied;
        std::uint64_t n = std::min<std::uint64_t>(RUN_MIN + draw32(rng, RUN_SPAN), rem);

        const std::uint64_t avail = len - pos;
        const std::uint64_t free = avail > rem ? avail - rem : 0;
        std::uint64_t dst = pos + draw_gap(rng, free, n, rem, avail);
        if (dst < n) dst = n;  // the source must fit in front of the run
        if (dst >= len) break;
        if (n > len - dst) n = len - dst;

        if (dst > pos) {
            seg_start[head & MASK] = pos;
            seg_end[head & MASK] = dst;
            ++head;
        }
        const std::uint64_t lim = std::min(dst, MAX_DISTANCE);
        const std::uint64_t lo = dst - lim;
        const std::uint64_t hi = dst - n + 1;  // sources start in [lo, hi)
        // lo never decreases, so segments ending at or below it are gone for
        // good. Branch-light: usually zero or one step.
        tail += static_cast<std::uint32_t>(tail != head) &
                static_cast<std::uint32_t>(seg_end[tail & MASK] <= lo);
        tail += static_cast<std::uint32_t>(tail != head) &
                static_cast<std::uint32_t>(seg_end[tail & MASK] <= lo);
        while (tail != head && seg_end[tail & MASK] <= lo) ++tail;

        const std::uint32_t live = head - tail;
        std::uint32_t too_close = 0;
        for (std::uint32_t j = 1; j <= 4; ++j)
            too_close += static_cast<std::uint32_t>(j <= live) &
                         static_cast<std::uint32_t>(seg_start[(head - j) & MASK] >= hi);
        const std::uint32_t usable = live - too_close;
        std::uint64_t src;
        if (usable != 0) {
            const std::uint32_t j = (tail + draw32(rng, usable)) & MASK;
            const std::uint64_t s = std::max(seg_start[j], lo);
            const std::uint64_t e = std::min(seg_end[j], hi);
            src = s + draw32(rng, static_cast<std::uint32_t>(e - s));
        } else {
            src = dst - (n + draw32(rng, static_cast<std::uint32_t>(lim - n + 1)));
        }
        // A call, not an inlined copy loop: measurably faster for these lengths.
        std::memmove(span + dst, span + src, n);
        copied += n;
        pos = dst + n;
    }
}

}  // namespace

void fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                std::uint64_t copy_target, std::uint64_t entropy) {
    Xoshiro256pp rng(entropy ^ (block_index * GOLDEN_GAMMA));
    fill_random(span, len, rng);
    if (copy_target == 0 || len < 2) return;
    inject_back_references(span, len, copy_target, rng);
}

}  // namespace vorn
