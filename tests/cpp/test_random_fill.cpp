// Every fill path writes the scalar loop's bytes, touches nothing else and
// leaves the generator where the loop leaves it.
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/random_fill.hpp"
#include "synthesis/random_fill_lanes.hpp"
#include "harness.hpp"
#include "reference_synthesis.hpp"

using namespace vorn;

namespace {

constexpr std::uint8_t GUARD = 0xAA;
constexpr std::uint64_t GUARD_BYTES = 72;
constexpr std::uint64_t BLOCK_WORDS = std::uint64_t{1} << 19;

const StoreKind ALL_STORES[] = {StoreKind::Ordinary, StoreKind::NonTemporal};

bool same_state(const Xoshiro256pp& a, const Xoshiro256pp& b) {
    return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3;
}

// A 64-byte aligned arena with guard bytes on both sides of the span.
struct Arena {
    std::vector<std::uint8_t> storage;
    std::uint8_t* span;
    std::uint64_t len;

    Arena(std::uint64_t bytes, std::uint64_t misalign) : storage(bytes + 2 * GUARD_BYTES + 128, GUARD), len(bytes) {
        auto base = reinterpret_cast<std::uintptr_t>(storage.data()) + GUARD_BYTES;
        base = (base + 63) & ~std::uintptr_t{63};
        span = reinterpret_cast<std::uint8_t*>(base + misalign);
    }

    bool guards_intact() const {
        const std::uint8_t* first = storage.data();
        const std::uint8_t* end = first + storage.size();
        for (const std::uint8_t* p = first; p < span; ++p)
            if (*p != GUARD) return false;
        for (const std::uint8_t* p = span + len; p < end; ++p)
            if (*p != GUARD) return false;
        return true;
    }
};

struct Reference {
    std::vector<std::uint8_t> bytes;
    Xoshiro256pp end;
};

Reference scalar_reference(std::uint64_t seed, std::uint64_t words) {
    Reference ref{std::vector<std::uint8_t>(words * 8), Xoshiro256pp(seed)};
    fill_words_scalar(ref.bytes.data(), words, ref.end);
    return ref;
}

// Fills on the path and compares bytes, guards and the generator afterwards.
void check_path_matches(FillPath path, StoreKind stores, std::uint64_t seed, std::uint64_t words,
                        std::uint64_t misalign, const Reference& ref) {
    Arena arena(words * 8, misalign);
    Xoshiro256pp rng(seed);
    fill_words_on(path, arena.span, words, rng, stores);
    const bool bytes_equal = words == 0 || std::memcmp(arena.span, ref.bytes.data(), words * 8) == 0;
    if (!bytes_equal || !same_state(rng, ref.end) || !arena.guards_intact()) {
        char what[200];
        std::snprintf(what, sizeof what,
                      "path %s stores %d seed %llu words %llu misalign %llu: bytes %d state %d guards %d",
                      fill_path_name(path), int(stores), static_cast<unsigned long long>(seed),
                      static_cast<unsigned long long>(words), static_cast<unsigned long long>(misalign),
                      int(bytes_equal), int(same_state(rng, ref.end)), int(arena.guards_intact()));
        vorn_test::report_failure(__FILE__, __LINE__, what);
    }
}

// Lengths that fall just inside and outside rounds of 8 and 16 lanes, from
// the shortest round a kernel can run to a few times the shortest the driver
// chooses, with and without the up-to-7-word head that lines the rounds up.
std::vector<std::uint64_t> boundary_lengths() {
    std::vector<std::uint64_t> lengths = {0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 127, 129};
    for (std::uint64_t lanes : {fill_lanes::AVX2_LANES, fill_lanes::AVX512_LANES})
        for (unsigned k = fill_lanes::MIN_LANE_LOG2; k <= 11; ++k)
            for (std::uint64_t extra : {0, 7})
                for (std::int64_t around : {-1, 0, 1})
                    lengths.push_back(lanes * fill_lanes::lane_words(k) + extra +
                                      static_cast<std::uint64_t>(around));
    // Sums of several round sizes with odd leftovers.
    lengths.push_back(16 * fill_lanes::lane_words(11) + 16 * fill_lanes::lane_words(7) + 3);
    lengths.push_back(8 * fill_lanes::lane_words(10) + 8 * fill_lanes::lane_words(9) + 127 + 5);
    lengths.push_back(12345);
    return lengths;
}

}  // namespace

TEST_CASE(dispatcher_reports_choice_and_honours_overrides) {
    const FillPath best = best_fill_path();
    std::fprintf(stderr, "     fill path chosen for this CPU: %s\n", fill_path_name(best));
    CHECK(fill_path_supported(FillPath::Scalar));
    CHECK(fill_path_supported(best));
    CHECK(!fill_path_supported(static_cast<FillPath>(7)));
    CHECK(!force_fill_path(static_cast<FillPath>(7)));
#if defined(__x86_64__)
    // The best path is the widest this CPU offers.
    __builtin_cpu_init();
    const bool has512 = __builtin_cpu_supports("avx512f");
    const bool has2 = __builtin_cpu_supports("avx2");
    CHECK_EQ(int(best), int(has512 ? FillPath::Avx512 : has2 ? FillPath::Avx2 : FillPath::Scalar));
    CHECK_EQ(fill_path_supported(FillPath::Avx2), has2);
#endif
    CHECK_EQ(int(active_fill_path()), int(best));

    const Reference ref = scalar_reference(11, 5000);
    for (FillPath path : vorn_test::runnable_fill_paths()) {
        CHECK(force_fill_path(path));
        CHECK_EQ(int(active_fill_path()), int(path));
        std::vector<std::uint8_t> out(5000 * 8);
        Xoshiro256pp rng(11);
        fill_words(out.data(), 5000, rng);
        CHECK(out == ref.bytes);
        CHECK(same_state(rng, ref.end));
    }
    clear_fill_path_override();
    CHECK_EQ(int(active_fill_path()), int(best));
}

TEST_CASE(scalar_fill_matches_the_block_fill_without_copies) {
    // fill_block with no copy target is seed, then the random fill with its
    // tail; the byte-level entry point must agree for every tail length.
    for (FillPath path : vorn_test::runnable_fill_paths()) {
        CHECK(force_fill_path(path));
        for (std::uint64_t len : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4}, std::uint64_t{5},
                                  std::uint64_t{7}, std::uint64_t{8}, std::uint64_t{9}, std::uint64_t{13},
                                  std::uint64_t{8 * 520 + 3}, std::uint64_t{8 * 520 + 6},
                                  BLOCK_WORDS * 8, BLOCK_WORDS * 8 + 1, BLOCK_WORDS * 8 + 5}) {
            const std::uint64_t index = 3, entropy = 0x5EED;
            std::vector<std::uint8_t> want(len + 1, GUARD), got(len + 1, GUARD);
            fill_block(want.data(), len, index, 0, entropy);
            Xoshiro256pp rng(entropy ^ (index * GOLDEN_GAMMA));
            fill_random_bytes(got.data(), len, rng, StoreKind::NonTemporal);
            CHECK(got == want);
        }
    }
    clear_fill_path_override();
}

TEST_CASE(every_path_matches_scalar_over_seeds_lengths_and_alignments) {
    const auto paths = vorn_test::runnable_fill_paths();
    const auto lengths = boundary_lengths();
    const std::uint64_t misaligns[] = {0, 3, 8, 56};
    for (std::uint64_t seed : {0ULL, 0xFFFFFFFFFFFFFFFFULL}) {
        for (std::uint64_t words : lengths) {
            const Reference ref = scalar_reference(seed, words);
            for (FillPath path : paths)
                for (StoreKind stores : ALL_STORES)
                    for (std::uint64_t misalign : misaligns)
                        check_path_matches(path, stores, seed, words, misalign, ref);
        }
    }
}

TEST_CASE(every_path_matches_scalar_over_many_seeds) {
    const auto paths = vorn_test::runnable_fill_paths();
    for (std::uint64_t seed = 100; seed < 164; ++seed) {
        const std::uint64_t words = 2000 + (seed - 100) * 371;  // several round sizes, odd leftovers
        const Reference ref = scalar_reference(seed, words);
        for (FillPath path : paths)
            check_path_matches(path, StoreKind::Ordinary, seed, words, seed % 16, ref);
    }
}

TEST_CASE(every_path_matches_scalar_on_whole_blocks_and_beyond) {
    // One block, one word either side of it, and spans of several full rounds
    // with leftovers of every size class.
    const std::uint64_t lengths[] = {BLOCK_WORDS,
                                     BLOCK_WORDS + 1,
                                     BLOCK_WORDS - 1,
                                     2 * BLOCK_WORDS + 8 * 1024 + 3,
                                     (std::uint64_t{1} << 18) + (std::uint64_t{1} << 15) + 1};
    const auto paths = vorn_test::runnable_fill_paths();
    for (std::uint64_t words : lengths) {
        const Reference ref = scalar_reference(words ^ 0xB10C, words);
        for (FillPath path : paths)
            for (StoreKind stores : ALL_STORES)
                for (std::uint64_t misalign : {0, 5, 40})
                    check_path_matches(path, stores, words ^ 0xB10C, words, misalign, ref);
    }
}

TEST_CASE(fills_continue_one_another) {
    // A block filled in parts of any size is the block filled at once: the
    // state each part leaves is where the next one starts.
    const std::uint64_t parts[] = {1, 4096, 8 * 8, 3, 65536, 4 * 8 + 1, 100000};
    std::uint64_t total = 0;
    for (std::uint64_t n : parts) total += n;
    const Reference ref = scalar_reference(99, total);
    for (FillPath path : vorn_test::runnable_fill_paths()) {
        std::vector<std::uint8_t> out(total * 8);
        Xoshiro256pp rng(99);
        std::uint64_t at = 0;
        for (std::uint64_t n : parts) {
            fill_words_on(path, out.data() + at * 8, n, rng, StoreKind::NonTemporal);
            at += n;
        }
        CHECK(out == ref.bytes);
        CHECK(same_state(rng, ref.end));
    }
}

TEST_CASE(concurrent_fills_agree) {
    // Fills share per-process tables and the path choice; concurrent callers
    // must all get the same bytes.
    const std::uint64_t words = BLOCK_WORDS / 4 + 77;
    const Reference ref = scalar_reference(5, words);
    std::vector<std::vector<std::uint8_t>> outs(4, std::vector<std::uint8_t>(words * 8));
    std::vector<Xoshiro256pp> ends(4, Xoshiro256pp(5));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] { fill_words(outs[t].data(), words, ends[t]); });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) {
        CHECK(outs[t] == ref.bytes);
        CHECK(same_state(ends[t], ref.end));
    }
}
