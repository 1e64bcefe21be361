// The streaming core: the same stream as one-shot generation whatever the
// read sizes, thread counts and order of reads; rewind replays it.
#include <cstring>
#include <unistd.h>
#include <sys/wait.h>
#include <vector>

#include "synthesis/constants.hpp"
#include "drivers/streaming.hpp"
#include "drivers/one_shot.hpp"
#include "harness.hpp"
#include "reference_synthesis.hpp"
#include "synthesis/plan.hpp"

using namespace vorn;

namespace {

constexpr std::uint64_t ENTROPY = 0xC0FFEE;

std::vector<std::uint8_t> read_all(DataGenerator& gen, const std::vector<std::uint64_t>& sizes) {
    std::vector<std::uint8_t> out;
    std::size_t next = 0;
    for (;;) {
        const std::uint64_t ask = sizes[next++ % sizes.size()];
        std::vector<std::uint8_t> piece(ask + 8, 0xEE);
        const std::uint64_t n = gen.fill_chunk(piece.data(), ask);
        for (std::uint64_t i = n; i < ask + 8; ++i) CHECK_EQ(int(piece[i]), 0xEE);
        if (n == 0 && ask != 0) break;
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<long>(n));
    }
    return out;
}

std::vector<std::uint8_t> one_shot(std::uint64_t size, std::uint64_t dedup, std::uint64_t compress) {
    GeneratorConfig config;
    config.size = size;
    config.dedup_factor = dedup;
    config.compress_factor = compress;
    config.max_threads = 2;
    DataBuffer b = generate_data(config, ENTROPY);
    return std::vector<std::uint8_t>(b.data(), b.data() + b.length());
}

}  // namespace

TEST_CASE(repeats_within_one_read_copy_the_blocks_they_repeat) {
    // Two unique blocks under ten: one read of many blocks holds each unique
    // block up to five times, made once and copied, whether the read starts
    // on a block or inside one, and whether its partial last block comes
    // from the kept block, an earlier block of the read or synthesis.
    const std::uint64_t size = 9 * BLOCK_SIZE + 5000;
    for (std::uint64_t compress : {1, 3}) {
        const auto expected = vorn_test::reference_stream(size, 5, compress, ENTROPY);
        const std::vector<std::vector<std::uint64_t>> patterns = {
            {size},
            {BLOCK_SIZE / 2, size},
            {3 * BLOCK_SIZE + 100, 5 * BLOCK_SIZE},
            {1, 7 * BLOCK_SIZE - 1, BLOCK_SIZE / 3},
            {BLOCK_SIZE + 7, 2 * BLOCK_SIZE + 7, 4 * BLOCK_SIZE + 7},
        };
        for (std::uint64_t threads : {1, 2, 3}) {
            for (const auto& pattern : patterns) {
                DataGenerator gen(size, 5, compress, threads, ENTROPY);
                CHECK_EQ(gen.unique_blocks(), 2u);
                CHECK(read_all(gen, pattern) == expected);
            }
        }
    }
}

TEST_CASE(stream_equals_one_shot_for_any_reads_and_threads) {
    const std::uint64_t size = 5 * BLOCK_SIZE + 1234;
    const auto expected = one_shot(size, 2, 3);
    const std::vector<std::vector<std::uint64_t>> patterns = {
        {8192},
        {32 << 20},
        {size},
        {BLOCK_SIZE},
        {3 * BLOCK_SIZE / 2},  // starts and ends inside blocks
        {1, 4194303, 4194305, 0, 7, 10 << 20},
    };
    for (std::optional<std::uint64_t> threads : {std::optional<std::uint64_t>{0},
                                                 std::optional<std::uint64_t>{1},
                                                 std::optional<std::uint64_t>{2},
                                                 std::optional<std::uint64_t>{8},
                                                 std::optional<std::uint64_t>{}}) {
        for (const auto& pattern : patterns) {
            DataGenerator gen(size, 2, 3, threads, ENTROPY);
            CHECK_EQ(gen.total_size(), size);
            const auto got = read_all(gen, pattern);
            CHECK(got == expected);
            CHECK(gen.is_complete());
            CHECK_EQ(gen.position(), size);
        }
    }
}

TEST_CASE(stream_pool_rules) {
    // A pool only for two or more workers, one per block at most.
    CHECK_EQ(DataGenerator(10 * BLOCK_SIZE, 1, 1, 0, ENTROPY).worker_count(), 0u);
    CHECK_EQ(DataGenerator(10 * BLOCK_SIZE, 1, 1, 1, ENTROPY).worker_count(), 0u);
    CHECK_EQ(DataGenerator(2 * BLOCK_SIZE, 1, 1, 2, ENTROPY).worker_count(), 2u);
    CHECK_EQ(DataGenerator(10 * BLOCK_SIZE, 1, 1, 5, ENTROPY).worker_count(), 5u);
    CHECK_EQ(DataGenerator(3 * BLOCK_SIZE, 1, 1, 5, ENTROPY).worker_count(), 3u);
    CHECK_EQ(DataGenerator(1, 1, 1, 5, ENTROPY).worker_count(), 0u);  // one block never splits
}

TEST_CASE(stream_small_sizes_and_end_of_stream) {
    DataGenerator gen(1000, 1, 1, 2, ENTROPY);
    CHECK_EQ(gen.total_size(), BLOCK_SIZE);
    std::vector<std::uint8_t> buf(BLOCK_SIZE + 10);
    CHECK_EQ(gen.fill_chunk(buf.data(), 0), 0u);
    CHECK_EQ(gen.position(), 0u);
    CHECK_EQ(gen.fill_chunk(buf.data(), buf.size()), BLOCK_SIZE);
    CHECK_EQ(gen.fill_chunk(buf.data(), buf.size()), 0u);
    CHECK(gen.is_complete());
}

TEST_CASE(stream_rewind_replays_and_dedup_repeats_blocks) {
    DataGenerator gen(5 * BLOCK_SIZE, 2, 1, 2, ENTROPY);
    CHECK_EQ(gen.unique_blocks(), 3u);
    std::vector<std::uint8_t> all(5 * BLOCK_SIZE);
    CHECK_EQ(gen.fill_chunk(all.data(), all.size()), 5 * BLOCK_SIZE);
    CHECK(std::memcmp(all.data() + 3 * BLOCK_SIZE, all.data(), BLOCK_SIZE) == 0);
    CHECK(std::memcmp(all.data() + BLOCK_SIZE, all.data(), BLOCK_SIZE) != 0);
    gen.rewind();
    std::vector<std::uint8_t> again(8192);
    CHECK_EQ(gen.fill_chunk(again.data(), again.size()), 8192u);
    CHECK(std::memcmp(again.data(), all.data(), 8192) == 0);
}

TEST_CASE(stream_works_in_a_forked_child) {
    DataGenerator gen(4 * BLOCK_SIZE, 1, 2, 2, ENTROPY);
    std::vector<std::uint8_t> parent(4 * BLOCK_SIZE);
    gen.fill_chunk(parent.data(), parent.size());
    gen.rewind();
    const pid_t child = fork();
    if (child == 0) {
        // The child has none of the parent's workers: this must neither hang
        // nor change the bytes.
        alarm(60);
        std::vector<std::uint8_t> mine(4 * BLOCK_SIZE);
        const bool ok = gen.fill_chunk(mine.data(), mine.size()) == mine.size() && mine == parent;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}
