// Xoshiro256++ seeded through SplitMix64, and the bounded draws built on it.
// The whole state lives in the struct; nothing is shared between instances.
#pragma once

#include <cstdint>

namespace vorn {

// The golden-ratio increment of SplitMix64, also the multiplier that spreads
// block indexes over seeds.
inline constexpr std::uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ULL;

static inline std::uint64_t rotl64(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// SplitMix64: x += golden gamma, then two xor-shift-multiply rounds. Four
// successive outputs seed Xoshiro256++; they are never all zero.
static inline std::uint64_t splitmix64_next(std::uint64_t& x) {
    x += GOLDEN_GAMMA;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// One step of the state, without the output: next64 takes it, and jumps
// take it alone where the output is discarded.
static inline void advance_state(std::uint64_t& s0, std::uint64_t& s1, std::uint64_t& s2,
                                 std::uint64_t& s3) {
    const std::uint64_t t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = rotl64(s3, 45);
}

struct Xoshiro256pp {
    std::uint64_t s0, s1, s2, s3;

    explicit Xoshiro256pp(std::uint64_t seed) {
        std::uint64_t x = seed;
        s0 = splitmix64_next(x);
        s1 = splitmix64_next(x);
        s2 = splitmix64_next(x);
        s3 = splitmix64_next(x);
    }

    std::uint64_t next64() {
        const std::uint64_t result = rotl64(s0 + s3, 23) + s0;
        advance_state(s0, s1, s2, s3);
        return result;
    }

    // The upper half of one step; the lower half is discarded.
    std::uint32_t next32() { return static_cast<std::uint32_t>(next64() >> 32); }
};

// Uniform value in [0, range) for 1 <= range < 2^32: a multiply-shift with one
// correction step instead of a rejection loop, so it takes one or two steps.
// Any source of the stream's next32 values will do: the generator itself, or
// outputs it made ahead.
template <class Stream>
static inline std::uint32_t draw32(Stream& rng, std::uint32_t range) {
    const std::uint64_t p = std::uint64_t{rng.next32()} * range;
    std::uint32_t hi = static_cast<std::uint32_t>(p >> 32);
    const std::uint32_t lo = static_cast<std::uint32_t>(p);
    if (lo > static_cast<std::uint32_t>(0u - range)) {
        const std::uint32_t hi2 =
            static_cast<std::uint32_t>((std::uint64_t{rng.next32()} * range) >> 32);
        if (std::uint64_t{lo} + hi2 >= (std::uint64_t{1} << 32)) ++hi;
    }
    return hi;
}

// The same rule at 64 bits, for ranges of 2^32 and more.
static inline std::uint64_t draw64(Xoshiro256pp& rng, std::uint64_t range) {
    const unsigned __int128 p = static_cast<unsigned __int128>(rng.next64()) * range;
    std::uint64_t hi = static_cast<std::uint64_t>(p >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(p);
    if (lo > 0 - range) {
        const std::uint64_t hi2 =
            static_cast<std::uint64_t>((static_cast<unsigned __int128>(rng.next64()) * range) >> 64);
        if (static_cast<unsigned __int128>(lo) + hi2 >= (static_cast<unsigned __int128>(1) << 64))
            ++hi;
    }
    return hi;
}

// Draws from [0, range) with the narrowest form that covers the range.
static inline std::uint64_t draw(Xoshiro256pp& rng, std::uint64_t range) {
    return range >= (std::uint64_t{1} << 32) ? draw64(rng, range)
                                               : draw32(rng, static_cast<std::uint32_t>(range));
}

}  // namespace vorn
