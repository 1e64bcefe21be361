// Every synthesis path this build and CPU run (the vector fills, and the
// forced scalar fill with its portable page moves) makes the bytes of the
// plain reference: on spans of every shape, copy targets from none to
// beyond the cap, unaligned, and through the stream read at odd sizes.
#include <cstdio>
#include <cstring>
#include <vector>

#include "drivers/one_shot.hpp"
#include "drivers/streaming.hpp"
#include "harness.hpp"
#include "reference_synthesis.hpp"
#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/plan.hpp"
#include "synthesis/random_fill.hpp"

using namespace vorn;

namespace {

constexpr std::uint8_t GUARD = 0xA5;

// Runs the scope on one path and goes back to the automatic choice.
class ForcedPath {
public:
    explicit ForcedPath(FillPath path) { CHECK(force_fill_path(path)); }
    ~ForcedPath() { clear_fill_path_override(); }
    ForcedPath(const ForcedPath&) = delete;
    ForcedPath& operator=(const ForcedPath&) = delete;
};

// fill_block at `misalign` bytes past a line, guard bytes around the span;
// false on any difference from the reference or any write outside the span.
bool matches_reference(std::uint64_t len, std::uint64_t index, std::uint64_t target,
                       std::uint64_t entropy, std::uint64_t misalign) {
    std::vector<std::uint8_t> want(len);
    vorn_test::reference_fill_block(want.data(), len, index, target, entropy);
    std::vector<std::uint8_t> storage(len + 256, GUARD);
    std::uint8_t* span = storage.data() + 64 + misalign;
    fill_block(span, len, index, target, entropy);
    bool guards = true;
    for (std::uint8_t* p = storage.data(); p < span; ++p) guards = guards && *p == GUARD;
    for (std::uint8_t* p = span + len; p < storage.data() + storage.size(); ++p)
        guards = guards && *p == GUARD;
    const bool same = len == 0 || std::memcmp(span, want.data(), len) == 0;
    if (!same || !guards) {
        char what[200];
        std::snprintf(what, sizeof what,
                      "path %s len %llu index %llu target %llu misalign %llu: bytes %d guards %d",
                      fill_path_name(active_fill_path()), static_cast<unsigned long long>(len),
                      static_cast<unsigned long long>(index), static_cast<unsigned long long>(target),
                      static_cast<unsigned long long>(misalign), int(same), int(guards));
        vorn_test::report_failure(__FILE__, __LINE__, what);
    }
    return same && guards;
}

std::uint64_t target_for(std::uint64_t compress, std::uint64_t len) {
    // The plan's per-block target, scaled to the span as a partial block
    // would carry it.
    const std::uint64_t block_target = plan_generation(BLOCK_SIZE, 1, compress).copy_target(0);
    return static_cast<std::uint64_t>((unsigned __int128){block_target} * len / BLOCK_SIZE);
}

}  // namespace

TEST_CASE(every_path_makes_the_reference_bytes_on_spans_of_every_shape) {
    // Short spans, pages too short for a run, a page and a byte either side,
    // and the page counts at which the last whole page has just less, just
    // as much and just more room after it than one fixed-size move takes.
    std::vector<std::uint64_t> lengths = {1,    2,    7,    8,    9,    84,   85,   86,   300,
                                          4095, 4096, 4097, 8191, 8192, 4096 * 3 + 777};
    for (std::uint64_t pages : {1, 2, 5})
        for (std::uint64_t after : {0, 100, 250, 255, 256, 257, 1000})
            lengths.push_back(pages * 4096 + after);
    const std::uint64_t misaligns[] = {0, 3, 8, 61};
    for (FillPath path : vorn_test::runnable_fill_paths()) {
        ForcedPath forced(path);
        std::uint64_t case_number = 0;
        for (std::uint64_t len : lengths) {
            for (std::uint64_t compress : {1, 2, 3, 10, 1000}) {
                const std::uint64_t target = compress == 1 ? 0 : std::max<std::uint64_t>(1, target_for(compress, len));
                ++case_number;
                matches_reference(len, case_number, target, case_number * 7919,
                                  misaligns[case_number % 4]);
            }
            for (std::uint64_t target : {std::uint64_t{1}, std::uint64_t{16}, std::uint64_t{63},
                                         len, 2 * len, UINT64_MAX})
                matches_reference(len, len, target, target ^ len, len % 5);
        }
    }
}

TEST_CASE(every_path_makes_the_reference_bytes_on_whole_blocks) {
    // Many whole blocks: each target the plan gives for the common factors
    // and the cap, on several indexes and entropies, aligned and not.
    for (FillPath path : vorn_test::runnable_fill_paths()) {
        ForcedPath forced(path);
        for (std::uint64_t compress : {1, 2, 3, 5, 10, 1000}) {
            const GenerationPlan plan = plan_generation(4 * BLOCK_SIZE, 1, compress);
            for (std::uint64_t index : {0, 1, 7}) {
                const std::uint64_t entropy = 0x9E37 * (compress + 1) + index;
                matches_reference(BLOCK_SIZE, index, plan.copy_target(index), entropy, index % 2 ? 5 : 0);
            }
        }
        // Partial blocks: what a short stream's first block is made at.
        for (std::uint64_t len : {BLOCK_SIZE - 1, BLOCK_SIZE - 4096 + 200, BLOCK_SIZE / 2 + 3})
            matches_reference(len, 3, target_for(3, len), 11, 0);
    }
}

TEST_CASE(every_path_streams_and_writes_the_reference_stream) {
    // The drivers on each path: one-shot output and a stream read at odd
    // sizes, with repeats and a partial last block, against the reference
    // blocks.
    const std::uint64_t entropy = 0xFACADE;
    const std::uint64_t size = 6 * BLOCK_SIZE + 4321;
    for (std::uint64_t compress : {1, 3, 10}) {
        const GenerationPlan plan = plan_generation(size, 3, compress);
        std::vector<std::uint8_t> expected(plan.total_blocks * BLOCK_SIZE);
        for (std::uint64_t k = 0; k < plan.total_blocks; ++k) {
            const std::uint64_t u = unique_index(plan, k);
            vorn_test::reference_fill_block(expected.data() + k * BLOCK_SIZE, BLOCK_SIZE, u,
                                            plan.copy_target(u), entropy);
        }
        for (FillPath path : vorn_test::runnable_fill_paths()) {
            ForcedPath forced(path);
            GeneratorConfig config;
            config.size = size;
            config.dedup_factor = 3;
            config.compress_factor = compress;
            config.max_threads = 2;
            DataBuffer one_shot = generate_data(config, entropy);
            CHECK(std::memcmp(one_shot.data(), expected.data(), size) == 0);
            for (std::uint64_t threads : {1, 2}) {
                DataGenerator stream(size, 3, compress, threads, entropy);
                std::vector<std::uint8_t> got(size);
                const std::uint64_t reads[] = {1, 4093, (1 << 20) + 7, 3 * BLOCK_SIZE + 11, 8 << 20};
                std::uint64_t at = 0;
                for (std::size_t r = 0; at < size; ++r) {
                    const std::uint64_t n = stream.fill_chunk(got.data() + at, std::min(reads[r % 5], size - at));
                    CHECK(n > 0);
                    if (n == 0) break;
                    at += n;
                }
                CHECK(got == std::vector<std::uint8_t>(expected.begin(), expected.begin() + static_cast<long>(size)));
            }
        }
    }
}
