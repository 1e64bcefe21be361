// Jumps land exactly where stepping the generator one step at a time does.
#include <cstdint>
#include <vector>

#include "synthesis/xoshiro_jump.hpp"
#include "harness.hpp"

using namespace vorn;

namespace {

bool same_state(const Xoshiro256pp& a, const Xoshiro256pp& b) {
    return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3;
}

Xoshiro256pp stepped(Xoshiro256pp rng, std::uint64_t steps) {
    for (std::uint64_t i = 0; i < steps; ++i) rng.next64();
    return rng;
}

const std::uint64_t SEEDS[] = {0, 1, 42, 0xDEADBEEFCAFEF00DULL, ~std::uint64_t{0}};

}  // namespace

TEST_CASE(characteristic_polynomial_is_degree_256_and_vanishes_on_the_step) {
    const JumpPoly& low = xoshiro_characteristic_low();
    // An invertible step has a nonzero constant term.
    CHECK(low.coefficient(0));
    // x^256 reduces to the low part itself, x^255 to itself.
    CHECK(jump_poly(256) == low);
    CHECK(pow2_jump_poly(8) == low);
    JumpPoly x255{};
    x255.w[3] = std::uint64_t{1} << 63;
    CHECK(jump_poly(255) == x255);
    // P(step) = 0: stepping 256 times equals the xor of the low terms applied.
    for (std::uint64_t seed : SEEDS) {
        Xoshiro256pp rng(seed);
        Xoshiro256pp via_poly = rng;
        apply_jump(via_poly, low);
        CHECK(same_state(via_poly, stepped(rng, 256)));
    }
}

TEST_CASE(polynomial_product_adds_exponents) {
    const std::uint64_t exponents[] = {0, 1, 255, 256, 257, 1000, 65536, 123456789};
    for (std::uint64_t a : exponents)
        for (std::uint64_t b : exponents)
            CHECK(multiply_jump_polys(jump_poly(a), jump_poly(b)) == jump_poly(a + b));
    for (unsigned k = 1; k < 64; ++k)
        CHECK(multiply_jump_polys(pow2_jump_poly(k - 1), pow2_jump_poly(k - 1)) ==
              pow2_jump_poly(k));
    // 2^64 steps wrap nowhere: (x^(2^63))^2 is a new polynomial, not x^0.
    const JumpPoly top = multiply_jump_polys(pow2_jump_poly(63), pow2_jump_poly(63));
    CHECK(!(top == jump_poly(0)));
}

TEST_CASE(jump_matches_stepping_for_small_and_odd_counts) {
    const std::uint64_t counts[] = {0,   1,   2,    3,    63,   64,   255,  256,
                                    257, 258, 1000, 4095, 4096, 4097, 12345, 65537};
    for (std::uint64_t seed : SEEDS) {
        const Xoshiro256pp start(seed);
        for (std::uint64_t n : counts) {
            Xoshiro256pp jumped = start;
            jump(jumped, n);
            CHECK(same_state(jumped, stepped(start, n)));
            // The polynomial route agrees with the walk even below 256 steps.
            Xoshiro256pp via_poly = start;
            apply_jump(via_poly, jump_poly(n));
            CHECK(same_state(via_poly, jumped));
        }
    }
}

TEST_CASE(power_of_two_jumps_match_stepping) {
    for (std::uint64_t seed : SEEDS) {
        const Xoshiro256pp start(seed);
        Xoshiro256pp walker = start;
        std::uint64_t walked = 0;
        // Every k up to 2^16 checked against one walk; 2^19 once below.
        for (unsigned k = 0; k <= 16; ++k) {
            const std::uint64_t target = std::uint64_t{1} << k;
            walker = stepped(walker, target - walked);
            walked = target;
            Xoshiro256pp jumped = start;
            apply_jump(jumped, pow2_jump_poly(k));
            CHECK(same_state(jumped, walker));
        }
    }
    const Xoshiro256pp start(7);
    Xoshiro256pp jumped = start;
    apply_jump(jumped, pow2_jump_poly(19));
    CHECK(same_state(jumped, stepped(start, std::uint64_t{1} << 19)));
    Xoshiro256pp any = start;
    jump(any, (std::uint64_t{1} << 19) + 5);
    CHECK(same_state(any, stepped(start, (std::uint64_t{1} << 19) + 5)));
}

TEST_CASE(large_jumps_compose) {
    // Too far to walk: check that jumps add up and that the outputs continue
    // the sequence the jumped-over state would produce.
    const std::uint64_t big[] = {std::uint64_t{1} << 40, (std::uint64_t{1} << 63) + 12345,
                                 ~std::uint64_t{0}};
    for (std::uint64_t seed : SEEDS) {
        const Xoshiro256pp start(seed);
        for (std::uint64_t n : big) {
            Xoshiro256pp two_hops = start;
            jump(two_hops, n - 300);
            jump(two_hops, 300);
            Xoshiro256pp one_hop = start;
            jump(one_hop, n);
            CHECK(same_state(one_hop, two_hops));
            Xoshiro256pp split = start;
            jump(split, n / 2);
            jump(split, n - n / 2);
            CHECK(same_state(one_hop, split));
        }
    }
    // Distinct jumps of the same state give distinct states.
    Xoshiro256pp a(3), b(3);
    jump(a, std::uint64_t{1} << 40);
    jump(b, (std::uint64_t{1} << 40) + 1);
    CHECK(!same_state(a, b));
    CHECK(same_state(stepped(a, 1), b));
}
