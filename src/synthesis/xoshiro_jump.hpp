// Jumping a Xoshiro256++ state ahead by any number of steps. The step is
// linear over GF(2), so n steps are the polynomial x^n, reduced modulo the
// step's characteristic polynomial, evaluated at the step.
#pragma once

#include <cstdint>

#include "synthesis/xoshiro.hpp"

namespace vorn {

// A polynomial over GF(2) of degree below 256: bit i (word i / 64, bit i % 64)
// is the coefficient of x^i.
struct JumpPoly {
    std::uint64_t w[4];

    bool coefficient(unsigned i) const { return (w[i / 64] >> (i % 64)) & 1; }
    friend bool operator==(const JumpPoly&, const JumpPoly&) = default;
};

// The characteristic polynomial of the step without its leading x^256; found
// once per process from the generator's own output.
const JumpPoly& xoshiro_characteristic_low();

// a b modulo the characteristic polynomial.
JumpPoly multiply_jump_polys(const JumpPoly& a, const JumpPoly& b);

// x^(2^k) modulo the characteristic polynomial, for k < 64: a jump of 2^k
// steps. Computed once per process.
const JumpPoly& pow2_jump_poly(unsigned k);

// x^steps modulo the characteristic polynomial: a jump of that many steps.
JumpPoly jump_poly(std::uint64_t steps);

// Replaces the state s by poly(step)(s): 256 steps and masked xors whatever
// the polynomial. With jump_poly(n) the result is the state n steps later.
void apply_jump(Xoshiro256pp& rng, const JumpPoly& poly);

// Leaves rng exactly where that many next64 calls would.
void jump(Xoshiro256pp& rng, std::uint64_t steps);

}  // namespace vorn
