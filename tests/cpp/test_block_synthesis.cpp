// Known answers and structural properties of fill_block.
#include <cstring>
#include <vector>

#include "generator/block_synthesis.hpp"
#include "generator/constants.hpp"
#include "generator/xoshiro.hpp"
#include "harness.hpp"

using namespace vorn;

namespace {

std::vector<std::uint8_t> block(std::uint64_t len, std::uint64_t index, std::uint64_t target,
                                std::uint64_t entropy) {
    std::vector<std::uint8_t> out(len + 16, 0xAA);
    fill_block(out.data() + 8, len, index, target, entropy);
    // Guard bytes on both sides must be untouched.
    for (int i = 0; i < 8; ++i) {
        CHECK_EQ(out[i], 0xAA);
        CHECK_EQ(out[len + 8 + i], 0xAA);
    }
    return std::vector<std::uint8_t>(out.begin() + 8, out.begin() + 8 + len);
}

}  // namespace

TEST_CASE(seeding_matches_splitmix_expansion) {
    Xoshiro256pp rng(0);
    CHECK_EQ(rng.s0, 0xE220A8397B1DCDAFULL);
    CHECK_EQ(rng.s1, 0x6E789E6AA1B965F4ULL);
    CHECK_EQ(rng.s2, 0x06C45D188009454FULL);
    CHECK_EQ(rng.s3, 0xF88BB8A8724C81ECULL);
    CHECK_EQ(rng.next64(), 0x53175D61490B23DFULL);
}

TEST_CASE(pure_fill_known_answer_and_tails) {
    const auto b = block(64, 0, 0, 0);
    const std::uint8_t expected[8] = {0xDF, 0x23, 0x0B, 0x49, 0x61, 0x5D, 0x17, 0x53};
    CHECK(std::memcmp(b.data(), expected, 8) == 0);

    // 1-4 byte tails take the upper half of one step, 5-7 the low bytes of one.
    Xoshiro256pp rng(0);
    rng.next64();
    Xoshiro256pp copy = rng;
    const std::uint32_t upper = copy.next32();
    const std::uint64_t full = rng.next64();
    for (std::uint64_t tail = 1; tail <= 7; ++tail) {
        const auto t = block(8 + tail, 0, 0, 0);
        for (std::uint64_t i = 0; i < tail; ++i) {
            const std::uint8_t want = tail <= 4 ? static_cast<std::uint8_t>(upper >> (8 * i))
                                                : static_cast<std::uint8_t>(full >> (8 * i));
            CHECK_EQ(int(t[8 + i]), int(want));
        }
    }
    // A one-byte span holds the low byte of one next32, whatever the target.
    Xoshiro256pp first(0);
    CHECK_EQ(int(block(1, 0, 1000, 0)[0]), int(static_cast<std::uint8_t>(first.next32())));
}

TEST_CASE(pure_fill_prefix_property) {
    const auto short_block = block(4096, 3, 0, 77);
    const auto long_block = block(BLOCK_SIZE, 3, 0, 77);
    CHECK(std::memcmp(short_block.data(), long_block.data(), 4096) == 0);
}

TEST_CASE(bounded_draw_stays_in_range) {
    Xoshiro256pp rng(12345);
    const std::uint32_t ranges[] = {1, 2, 3, 193, 1024, 0xFFFFFFFFu};
    for (std::uint32_t range : ranges)
        for (int i = 0; i < 20000; ++i) CHECK(draw32(rng, range) < range);
    const std::uint64_t big = (std::uint64_t{1} << 40) + 7;
    for (int i = 0; i < 20000; ++i) CHECK(draw64(rng, big) < big);
    // Every value of a small range turns up.
    bool seen[7] = {};
    for (int i = 0; i < 1000; ++i) seen[draw32(rng, 7)] = true;
    for (bool s : seen) CHECK(s);
}

TEST_CASE(blocks_are_deterministic_and_depend_on_every_input) {
    const auto a = block(BLOCK_SIZE, 5, 2796202, 99);
    CHECK(a == block(BLOCK_SIZE, 5, 2796202, 99));
    CHECK(a != block(BLOCK_SIZE, 6, 2796202, 99));
    CHECK(a != block(BLOCK_SIZE, 5, 2796202, 100));
    CHECK(a != block(BLOCK_SIZE, 5, 2097152, 99));
}

TEST_CASE(unaligned_spans_give_the_same_bytes) {
    std::vector<std::uint8_t> storage(4101 + 3);
    fill_block(storage.data() + 3, 4101, 7, 3000, 5);
    const auto aligned = block(4101, 7, 3000, 5);
    CHECK(std::memcmp(storage.data() + 3, aligned.data(), 4101) == 0);
}

TEST_CASE(copy_target_larger_than_span_completes) {
    const auto b = block(300, 1, 1 << 20, 9);
    CHECK_EQ(b.size(), std::size_t{300});
    const auto two = block(2, 1, 1 << 20, 9);
    CHECK_EQ(two.size(), std::size_t{2});
}

TEST_CASE(copy_phase_known_answers) {
    // Digests of whole spans, reproduced by an independent rendering of the
    // algorithm; they pin the fill, the draws and the run layout bit for bit.
    struct Answer {
        std::uint64_t len, index, target, entropy;
        const char* sha256;
    };
    const Answer answers[] = {
        {4194304, 0, 2872503, 42, "bcd656f04ddd8df2f1990007403912b781619022aee858e90a96790e4b6c8e36"},
        {4194304, 5, 4177920, 1, "bec77dcb05d6058a78e550ea2f0d0bf9ccfb6cf31631da541a401522b481ae14"},
        {4101, 7, 3000, 5, "86029d70f3f1a5cc9cd6eeb6547dd7eaa5bda6b48f4c09c93dba058de952c77f"},
        {1000, 1, 5000, 0, "1013476b254c81b302352ae05ade8da82fb3f1e534ad5c367c394c507d0bb2af"},
        {300, 2, 100, 3, "87f80bd48a7297208b989fb9aa6793a320abf1cef357df3eb9ad4ab1f450b4e3"},
    };
    for (const Answer& a : answers) {
        const auto b = block(a.len, a.index, a.target, a.entropy);
        CHECK_EQ(vorn_test::sha256_hex(b.data(), b.size()), std::string(a.sha256));
    }
    // No run lands in the first 64 bytes, so the head is the generator's.
    const auto big = block(BLOCK_SIZE, 0, 2872503, 42);
    const std::uint8_t head[8] = {0x9F, 0x68, 0x76, 0x44, 0x4F, 0x4D, 0x76, 0xD0};
    CHECK(std::memcmp(big.data(), head, 8) == 0);
}

TEST_CASE(injection_stays_inside_every_span) {
    // Guard bytes around the span catch any write outside it; the sanitizer
    // build catches reads. Lengths and targets cover tiny spans, targets the
    // span cannot hold, and the boundaries of the run range.
    for (std::uint64_t len = 0; len <= 700; len += (len < 300 ? 1 : 37)) {
        for (std::uint64_t target : {1, 63, 64, 65, 256, 257, 1000, 100000}) {
            block(len, len, target, target * 31 + len);
        }
    }
    for (std::uint64_t target : {BLOCK_SIZE - 256, BLOCK_SIZE - 1, BLOCK_SIZE, 2 * BLOCK_SIZE})
        block(BLOCK_SIZE, 1, target, 7);
}
