// The streaming core: sequential and parallel fill strategies over the
// stream's blocks, with the last partly read block kept for the next read.
#include "drivers/streaming.hpp"

#include <algorithm>
#include <cstring>

#include "common/cpu_count.hpp"
#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/entropy.hpp"

namespace vorn {
namespace {

std::unique_ptr<std::uint8_t[]> new_block() {
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[BLOCK_SIZE]);
}

// A pool for two or more workers; none (the caller fills) for fewer, or
// when not a single worker thread could be started. In a child process the
// pool starts its workers afresh on first use.
std::unique_ptr<ThreadPool> create_pool(std::size_t workers) {
    if (workers < 2) return nullptr;
    auto pool = ThreadPool::create(workers);
    return pool->size() > 0 ? std::move(pool) : nullptr;
}

}  // namespace

DataGenerator::DataGenerator(std::uint64_t size, std::uint64_t dedup_factor,
                             std::uint64_t compress_factor,
                             std::optional<std::uint64_t> max_threads)
    : DataGenerator(size, dedup_factor, compress_factor, max_threads, generate_call_entropy()) {}

DataGenerator::DataGenerator(std::uint64_t size, std::uint64_t dedup_factor,
                             std::uint64_t compress_factor,
                             std::optional<std::uint64_t> max_threads, std::uint64_t entropy)
    : plan_(plan_generation(size, dedup_factor, compress_factor)),
      entropy_(entropy),
      // One unit of a fill is one block, so workers beyond the stream's block
      // count could never be busy.
      pool_(create_pool(workers_for(max_threads ? *max_threads : available_cpu_count(),
                                    plan_.total_blocks))) {}

void DataGenerator::generate_block(std::uint8_t* span, std::uint64_t block) const {
    const std::uint64_t unique = unique_index(plan_, block);
    fill_block(span, BLOCK_SIZE, unique, plan_.copy_target(unique), entropy_);
}

const std::uint8_t* DataGenerator::kept_block(std::uint64_t block) {
    const std::uint64_t unique = unique_index(plan_, block);
    if (!kept_) kept_ = new_block();
    if (kept_unique_ != unique) {
        kept_unique_.reset();  // stays unset if generation is interrupted
        generate_block(kept_.get(), block);
        kept_unique_ = unique;
    }
    return kept_.get();
}

std::uint64_t DataGenerator::fill_chunk(std::uint8_t* dest, std::uint64_t size) {
    const std::uint64_t total = plan_.effective_size;
    if (position_ >= total || size == 0) return 0;
    const std::uint64_t n = std::min(size, total - position_);
    const std::uint64_t first = position_ >> BLOCK_SHIFT;
    const std::uint64_t offset = position_ & BLOCK_MASK;
    const std::uint64_t last = (position_ + n - 1) >> BLOCK_SHIFT;
    const std::uint64_t blocks = last - first + 1;
    if (blocks < 2 || !pool_) {
        fill_chunk_sequential(dest, n, first, offset, blocks);
    } else {
        fill_chunk_parallel(dest, n, first, offset, blocks);
    }
    position_ += n;
    return n;
}

void DataGenerator::fill_chunk_sequential(std::uint8_t* dest, std::uint64_t count,
                                          std::uint64_t first, std::uint64_t offset,
                                          std::uint64_t blocks) {
    std::uint64_t written = 0;
    for (std::uint64_t j = 0; j < blocks; ++j) {
        const std::uint64_t block = first + j;
        const std::uint64_t from = j == 0 ? offset : 0;
        const std::uint64_t len = std::min(BLOCK_SIZE - from, count - written);
        if (len == BLOCK_SIZE) {
            generate_block(dest + written, block);  // whole block: straight into place
        } else {
            std::memcpy(dest + written, kept_block(block) + from, len);
        }
        written += len;
    }
}

void DataGenerator::fill_chunk_parallel(std::uint8_t* dest, std::uint64_t count,
                                        std::uint64_t first, std::uint64_t offset,
                                        std::uint64_t blocks) {
    const std::uint64_t start = (first << BLOCK_SHIFT) + offset;  // stream position
    const std::uint64_t end = start + count;
    const std::uint64_t last_block = first + blocks - 1;
    const bool last_partial = (end & BLOCK_MASK) != 0;
    if (last_partial && !spare_) spare_ = new_block();
    // Units only read the kept block, and only the unit of a partial last
    // block writes the spare, so no two units share a written byte.
    const std::optional<std::uint64_t> kept_unique = kept_ ? kept_unique_ : std::nullopt;

    pool_->run_chunks(static_cast<std::size_t>(blocks), [&](std::size_t j) {
        const std::uint64_t block = first + j;
        const std::uint64_t block_start = block << BLOCK_SHIFT;
        const std::uint64_t from = std::max(start, block_start);
        const std::uint64_t to = std::min(end, block_start + BLOCK_SIZE);
        std::uint8_t* out = dest + (from - start);
        if (to - from == BLOCK_SIZE) {
            generate_block(out, block);
            return;
        }
        const std::uint8_t* source;
        std::unique_ptr<std::uint8_t[]> scratch;
        if (block == last_block && last_partial) {
            generate_block(spare_.get(), block);
            source = spare_.get();
        } else if (kept_unique == unique_index(plan_, block)) {
            source = kept_.get();
        } else {
            scratch = new_block();
            generate_block(scratch.get(), block);
            source = scratch.get();
        }
        std::memcpy(out, source + (from - block_start), to - from);
    });

    if (last_partial) {
        std::swap(kept_, spare_);
        kept_unique_ = unique_index(plan_, last_block);
    }
}

}  // namespace vorn
