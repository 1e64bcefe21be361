// Known answers and structural properties of fill_block.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/plan.hpp"
#include "synthesis/xoshiro.hpp"
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

// What the output shows of a block's runs, found the way a compressor finds
// them: a position starts a match when the 8 bytes there occurred before.
// Random literal bytes repeat no 8-byte sequence by chance, so a stretch of
// match starts [a, b) is a run of b - a + 7 bytes, or several back to back.
// The bytes next to a run match by chance now and then (1 in 256 for each
// earlier copy of its content), so only positions inside a run say where
// its source lies.
struct DerivedLayout {
    bool crosses_page = false;  // a match with its earlier copy in another page
    bool too_far = false;       // a run whose source lies more than 1024 bytes back
    std::uint64_t shortest_run = UINT64_MAX;
    std::vector<std::uint64_t> copied;  // per page: bytes copied,
    std::vector<std::uint64_t> first;   // the first one (PAGE_SIZE if none),
    std::vector<std::uint64_t> end;     // and one past the last
    std::vector<bool> fresh_tail;       // the last 4 bytes occur nowhere before in the page
};

DerivedLayout derive_layout(const std::vector<std::uint8_t>& b, std::uint64_t pages) {
    DerivedLayout d;
    std::unordered_map<std::uint64_t, std::uint64_t> seen;  // 8 bytes -> last offset
    seen.reserve(pages * PAGE_SIZE);
    for (std::uint64_t page = 0; page < pages; ++page) {
        const std::uint64_t base = page * PAGE_SIZE;
        std::uint64_t copied = 0, first = PAGE_SIZE, end = 0, stretch = 0;
        for (std::uint64_t off = 0; off + 8 <= PAGE_SIZE; ++off) {
            std::uint64_t key;
            std::memcpy(&key, b.data() + base + off, 8);
            const auto it = seen.find(key);
            const bool match = it != seen.end();
            if (match) {
                if (it->second < base) d.crosses_page = true;
                if (stretch == 8 && base + off - it->second > 1024) d.too_far = true;
                first = std::min(first, off);
                ++stretch;
            }
            seen[key] = base + off;
            if (stretch != 0 && (!match || off + 8 == PAGE_SIZE)) {
                copied += stretch + 7;
                end = (match ? off + 1 : off) + 7;
                d.shortest_run = std::min(d.shortest_run, stretch + 7);
                stretch = 0;
            }
        }
        d.copied.push_back(copied);
        d.first.push_back(first);
        d.end.push_back(end);
        bool fresh = true;
        for (std::uint64_t off = 0; off < PAGE_SIZE - 4; ++off)
            fresh = fresh && std::memcmp(b.data() + base + off, b.data() + base + PAGE_SIZE - 4, 4) != 0;
        d.fresh_tail.push_back(fresh);
    }
    return d;
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
    const auto a = block(BLOCK_SIZE, 5, 2888362, 99);
    CHECK(a == block(BLOCK_SIZE, 5, 2888362, 99));
    CHECK(a != block(BLOCK_SIZE, 6, 2888362, 99));
    CHECK(a != block(BLOCK_SIZE, 5, 2888362, 100));
    CHECK(a != block(BLOCK_SIZE, 5, 2189312, 99));
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
    // Digests of whole spans, cross-checked against a separate, plain
    // implementation; they pin the literal words, the draws and the run layout
    // bit for bit. Targets: factor 3 and the cap of the plan, one byte, and
    // spans with a partial page, spans of one partial page and a page too
    // short for any run.
    struct Answer {
        std::uint64_t len, index, target, entropy;
        const char* sha256;
    };
    const Answer answers[] = {
        {4194304, 0, 2888362, 42, "db4e8bcd7e53665d6b412f4e8d03d501cfcd6e35d111ae03d84820b9cabd9aef"},
        {4194304, 5, 4120576, 1, "b4f88c7222df5c84f361081b94792399b881459273af26240e544292a2c7032f"},
        {4194304, 9, 1, 9, "d6391d0384594979edc81d0ccc43847fde0f71442639ff698cb69a6a6ebe8fb0"},
        {4101, 7, 3000, 5, "0d59d0cedbff0a3cae8300e454e6d3be739ad4e09dffd58a61bc4f47f783c199"},
        {1000, 1, 5000, 0, "1161f9fd13fb8c1951cace7c4b8e8e29c6d429d47f08a78a506fb20959021db8"},
        {300, 2, 100, 3, "1a3192f97aa10e4970c7a7bc4f6f5ca6bc090ddfd02b9dd3d4aaffb97f8ef95a"},
        {85, 4, 50, 6, "fef2e6df06682793e35d93e0e1b017620dec4626dc72dc4fe74e0a13551f27c8"},
    };
    for (const Answer& a : answers) {
        const auto b = block(a.len, a.index, a.target, a.entropy);
        CHECK_EQ(vorn_test::sha256_hex(b.data(), b.size()), std::string(a.sha256));
    }
    // No run lands in a page's first 64 bytes: the head of the block is the
    // generator's first word, and so is the head of its second page.
    const auto big = block(BLOCK_SIZE, 0, 2888362, 42);
    const std::uint8_t head[8] = {0x8C, 0xED, 0x24, 0x0C, 0xFB, 0x7C, 0xE0, 0xFB};
    CHECK(std::memcmp(big.data(), head, 8) == 0);
    const std::uint8_t second[8] = {0x35, 0x90, 0x4E, 0x10, 0x69, 0x91, 0xAA, 0x44};
    CHECK(std::memcmp(big.data() + PAGE_SIZE, second, 8) == 0);
}

TEST_CASE(target_zero_is_the_generator_stream) {
    // Every word of a block without copies is the next Xoshiro256++ output.
    const auto b = block(BLOCK_SIZE, 11, 0, 1234);
    Xoshiro256pp rng(1234 ^ (11 * 0x9E3779B97F4A7C15ULL));
    bool all = true;
    for (std::uint64_t off = 0; off < BLOCK_SIZE; off += 8) {
        const std::uint64_t v = rng.next64();
        all = all && std::memcmp(b.data() + off, &v, 8) == 0;
    }
    CHECK(all);
}

TEST_CASE(runs_stay_inside_their_page) {
    // Re-derived from the output, for blocks of factor 3, factor 20 and at
    // the cap: no match reaches into another page and no run's source lies
    // more than 1024 bytes back, every page keeps its first 64 and last 5
    // bytes literal (bar a byte matching by chance), no run is shorter than
    // 16 bytes, and each page copies its share of the target,
    // floor((i + 1) T / 1024) - floor(i T / 1024): less by at most the 15
    // bytes too few for a last run, more only by bytes matching by chance.
    constexpr std::uint64_t PAGES = 256;
    for (std::uint64_t factor : {3, 20, 1000}) {
        const std::uint64_t target = plan_generation(BLOCK_SIZE, 1, factor).copy_target(0);
        const auto b = block(BLOCK_SIZE, factor, target, 77);
        const DerivedLayout d = derive_layout(b, PAGES);
        CHECK(!d.crosses_page);
        CHECK(!d.too_far);
        CHECK(d.shortest_run >= 16);
        std::int64_t excess = 0;
        for (std::uint64_t i = 0; i < PAGES; ++i) {
            const std::uint64_t share = std::min<std::uint64_t>(
                (i + 1) * target / 1024 - i * target / 1024, PAGE_ROOM);
            CHECK(d.first[i] >= PAGE_HEAD);
            CHECK(d.end[i] <= PAGE_SIZE - PAGE_TAIL + 1);
            CHECK(d.fresh_tail[i]);
            CHECK(d.copied[i] + 15 >= share);
            CHECK(d.copied[i] <= share + 16);
            excess += static_cast<std::int64_t>(d.copied[i]) - static_cast<std::int64_t>(share);
        }
        CHECK(excess < static_cast<std::int64_t>(PAGES) && excess > -static_cast<std::int64_t>(PAGES));
    }
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
    for (std::uint64_t target : {BLOCK_SIZE - 256, BLOCK_SIZE - 1, BLOCK_SIZE, 2 * BLOCK_SIZE,
                                 UINT64_MAX})
        block(BLOCK_SIZE, 1, target, 7);
    for (std::uint64_t len : {PAGE_SIZE - 1, PAGE_SIZE + 84, PAGE_SIZE + 85, 3 * PAGE_SIZE + 777})
        for (std::uint64_t target : {1, 100, 4000, 9000, 100000}) block(len, len, target, target);
}
