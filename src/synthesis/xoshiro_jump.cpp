// Polynomial arithmetic modulo the Xoshiro256++ characteristic polynomial,
// and the jumps built on it.
#include "synthesis/xoshiro_jump.hpp"

#include <array>
#include <atomic>
#include <bit>

#include "common/engine_abort.hpp"
#include "common/publish_once.hpp"

namespace vorn {
namespace {

constexpr unsigned DEGREE = 256;

JumpPoly xor_polys(const JumpPoly& a, const JumpPoly& b) {
    return {{a.w[0] ^ b.w[0], a.w[1] ^ b.w[1], a.w[2] ^ b.w[2], a.w[3] ^ b.w[3]}};
}

// The polynomial's own low coefficients: x^256 reduces to them.
struct Modulus {
    JumpPoly low{};
    JumpPoly overflow[16]{};  // t(x) x^256 mod P for every t of degree below 4
    JumpPoly pow2[64]{};
};

// a x mod P.
JumpPoly times_x(const JumpPoly& a, const JumpPoly& low) {
    const std::uint64_t carry = 0 - (a.w[3] >> 63);
    return {{(a.w[0] << 1) ^ (low.w[0] & carry), ((a.w[1] << 1) | (a.w[0] >> 63)) ^ (low.w[1] & carry),
             ((a.w[2] << 1) | (a.w[1] >> 63)) ^ (low.w[2] & carry),
             ((a.w[3] << 1) | (a.w[2] >> 63)) ^ (low.w[3] & carry)}};
}

// Coefficients of polynomials up to degree 2 * 256, bit i of word i / 64.
using LongPoly = std::array<std::uint64_t, 2 * DEGREE / 64 + 1>;

// p x^shift, dropping what falls off the top.
LongPoly shifted(const LongPoly& p, unsigned shift) {
    LongPoly out{};
    const unsigned words = shift / 64, bits = shift % 64;
    for (unsigned i = out.size(); i-- > words;) {
        out[i] = p[i - words] << bits;
        if (bits != 0 && i > words) out[i] |= p[i - words - 1] >> (64 - bits);
    }
    return out;
}

// The minimal polynomial of one state bit's sequence, by Berlekamp-Massey
// over 512 terms. The step's characteristic polynomial is primitive (the
// period is 2^256 - 1), so every nonzero sequence the state yields has it as
// its minimal polynomial; a shorter result would mean a broken step.
JumpPoly find_characteristic_low() {
    constexpr unsigned TERMS = 2 * DEGREE;
    Xoshiro256pp rng(0);
    LongPoly recent{};  // bit i: the term i places before the current one
    LongPoly c{}, b{};
    c[0] = b[0] = 1;
    unsigned len = 0, gap = 1;
    for (unsigned n = 0; n < TERMS; ++n) {
        recent = shifted(recent, 1);
        recent[0] |= rng.s0 & 1;
        advance_state(rng.s0, rng.s1, rng.s2, rng.s3);
        // The discrepancy: the term against what the recurrence so far predicts.
        std::uint64_t parity = 0;
        for (unsigned i = 0; i < c.size(); ++i) parity ^= c[i] & recent[i];
        if (std::popcount(parity) % 2 == 0) {
            ++gap;
            continue;
        }
        const LongPoly before = c;
        const LongPoly correction = shifted(b, gap);
        for (unsigned i = 0; i < c.size(); ++i) c[i] ^= correction[i];
        if (2 * len <= n) {
            len = n + 1 - len;
            b = before;
            gap = 1;
        } else {
            ++gap;
        }
    }
    const auto coefficient = [&c](unsigned i) { return (c[i / 64] >> (i % 64)) & 1; };
    if (len != DEGREE || !coefficient(DEGREE))
        engine_abort("Xoshiro256++ step has an unexpected characteristic polynomial");
    // The recurrence s[n] = sum c[i] s[n - i] is x^256 + sum c[i] x^(256 - i).
    JumpPoly low{};
    for (unsigned j = 0; j < DEGREE; ++j)
        if (coefficient(DEGREE - j)) low.w[j / 64] |= std::uint64_t{1} << (j % 64);
    return low;
}

JumpPoly multiply_with(const Modulus& m, const JumpPoly& a, const JumpPoly& b);

Modulus build_modulus() {
    Modulus m;
    m.low = find_characteristic_low();
    JumpPoly power = m.low;  // x^256 mod P, then x^257, x^258, x^259
    for (unsigned bit = 0; bit < 4; ++bit) {
        for (unsigned t = 0; t < 16; ++t)
            if (t & (1u << bit)) m.overflow[t] = xor_polys(m.overflow[t], power);
        power = times_x(power, m.low);
    }
    m.pow2[0] = JumpPoly{{2, 0, 0, 0}};
    for (unsigned k = 1; k < 64; ++k) m.pow2[k] = multiply_with(m, m.pow2[k - 1], m.pow2[k - 1]);
    return m;
}

std::atomic<const Modulus*> published_modulus{nullptr};

const Modulus& modulus() { return publish_once(published_modulus, build_modulus); }

// Four bits of b at a time, top first: r = r x^4 + a t(x), where the four
// bits shifted out of r come back through the overflow table.
JumpPoly multiply_with(const Modulus& m, const JumpPoly& a, const JumpPoly& b) {
    JumpPoly a_times[16]{};
    a_times[1] = a;
    a_times[2] = times_x(a_times[1], m.low);
    a_times[4] = times_x(a_times[2], m.low);
    a_times[8] = times_x(a_times[4], m.low);
    for (unsigned t = 3; t < 16; ++t)
        if (std::popcount(t) > 1) a_times[t] = xor_polys(a_times[t & (t - 1)], a_times[t & (0u - t)]);
    JumpPoly r{};
    for (int nibble = DEGREE / 4 - 1; nibble >= 0; --nibble) {
        const unsigned top = static_cast<unsigned>(r.w[3] >> 60);
        r = {{r.w[0] << 4, (r.w[1] << 4) | (r.w[0] >> 60), (r.w[2] << 4) | (r.w[1] >> 60),
              (r.w[3] << 4) | (r.w[2] >> 60)}};
        r = xor_polys(r, m.overflow[top]);
        const unsigned t = static_cast<unsigned>(b.w[nibble / 16] >> (4 * (nibble % 16))) & 15;
        r = xor_polys(r, a_times[t]);
    }
    return r;
}

}  // namespace

const JumpPoly& xoshiro_characteristic_low() { return modulus().low; }

JumpPoly multiply_jump_polys(const JumpPoly& a, const JumpPoly& b) {
    return multiply_with(modulus(), a, b);
}

const JumpPoly& pow2_jump_poly(unsigned k) {
    if (k >= 64) engine_abort("jump of 2^k steps needs k < 64");
    return modulus().pow2[k];
}

JumpPoly jump_poly(std::uint64_t steps) {
    if (steps < DEGREE) {
        JumpPoly p{};
        p.w[steps / 64] = std::uint64_t{1} << (steps % 64);
        return p;
    }
    const Modulus& m = modulus();
    unsigned k = static_cast<unsigned>(std::countr_zero(steps));
    JumpPoly p = m.pow2[k];
    while (++k < 64)
        if ((steps >> k) & 1) p = multiply_with(m, p, m.pow2[k]);
    return p;
}

void apply_jump(Xoshiro256pp& rng, const JumpPoly& poly) {
    std::uint64_t s0 = rng.s0, s1 = rng.s1, s2 = rng.s2, s3 = rng.s3;
    std::uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (unsigned w = 0; w < 4; ++w) {
        const std::uint64_t bits = poly.w[w];
        for (unsigned i = 0; i < 64; ++i) {
            const std::uint64_t mask = 0 - ((bits >> i) & 1);
            a0 ^= s0 & mask;
            a1 ^= s1 & mask;
            a2 ^= s2 & mask;
            a3 ^= s3 & mask;
            advance_state(s0, s1, s2, s3);
        }
    }
    rng.s0 = a0;
    rng.s1 = a1;
    rng.s2 = a2;
    rng.s3 = a3;
}

void jump(Xoshiro256pp& rng, std::uint64_t steps) {
    if (steps <= DEGREE) {  // cheaper to walk than to evaluate a polynomial
        for (std::uint64_t i = 0; i < steps; ++i) advance_state(rng.s0, rng.s1, rng.s2, rng.s3);
        return;
    }
    apply_jump(rng, jump_poly(steps));
}

}  // namespace vorn
