// Random fill from Xoshiro256++, then back-references that give a compressor
// something to find.
#include "generator/block_synthesis.hpp"

#include <algorithm>
#include <cstring>

#include "generator/xoshiro.hpp"

namespace vorn {
namespace {

constexpr std::uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ULL;

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

void inject_back_references(std::uint8_t* span, std::uint64_t len, std::uint64_t copy_target,
                            Xoshiro256pp& rng) {
    std::uint64_t copied = 0;
    while (copied < copy_target) {
        const std::uint64_t run = 64 + draw32(rng, 193);
        const std::uint64_t n = std::min({run, copy_target - copied, len - 1});
        const std::uint64_t dst = draw(rng, len - n);
        const std::uint64_t window = dst == 0 ? 1 : std::min<std::uint64_t>(dst, 1024);
        const std::uint64_t dist = 1 + draw32(rng, static_cast<std::uint32_t>(window));
        const std::uint64_t src = dst >= dist ? dst - dist : 0;
        std::memmove(span + dst, span + src, n);
        copied += n;
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
