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

const std::uint8_t* DataGenerator::kept_block(std::uint64_t block, const std::uint8_t* whole_copy) {
    const std::uint64_t unique = unique_index(plan_, block);
    if (!kept_) kept_ = new_block();
    if (kept_unique_ != unique) {
        kept_unique_.reset();  // stays unset if generation is interrupted
        if (whole_copy != nullptr) {
            std::memcpy(kept_.get(), whole_copy, BLOCK_SIZE);
        } else {
            generate_block(kept_.get(), block);
        }
        kept_unique_ = unique;
    }
    return kept_.get();
}

const std::uint8_t* DataGenerator::earlier_in_call(const std::uint8_t* dest, std::uint64_t j,
                                                   std::uint64_t offset) const {
    // Block j of a call repeats blocks j - U, j - 2U, ... of the same call.
    // The first of them is made, not copied, and lies whole in dest unless
    // it is the call's first block and the call starts inside it; then the
    // next one is made instead.
    const std::uint64_t unique = plan_.unique_blocks;
    std::uint64_t made = j % unique;
    if (made == 0 && offset != 0) made += unique;
    if (made >= j) return nullptr;
    return dest + (made << BLOCK_SHIFT) - offset;
}

bool DataGenerator::kept_holds(std::uint64_t block) const {
    return kept_ && kept_unique_ == unique_index(plan_, block);
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
        const std::uint8_t* earlier = earlier_in_call(dest, j, offset);
        if (len != BLOCK_SIZE) {
            std::memcpy(dest + written, kept_block(block, earlier) + from, len);
        } else if (kept_holds(block)) {
            std::memcpy(dest + written, kept_.get(), BLOCK_SIZE);
        } else if (earlier != nullptr) {
            std::memcpy(dest + written, earlier, BLOCK_SIZE);
        } else {
            generate_block(dest + written, block);  // straight into place
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
    // The kept block serves a partial last block of its own unique block;
    // otherwise that block is made in the spare, which becomes the kept one.
    const bool last_from_kept = last_partial && kept_holds(last_block);
    if (last_partial && !last_from_kept && !spare_) spare_ = new_block();
    // Units only read the kept block, and only the unit of a partial last
    // block writes the spare, so no two units share a written byte. Repeats
    // of a block made earlier in the call copy it in a second round, once
    // it is complete.
    const auto unit = [&](std::size_t j, bool copies_round) {
        const std::uint64_t block = first + j;
        const std::uint64_t block_start = block << BLOCK_SHIFT;
        const std::uint64_t from = std::max(start, block_start);
        // From the distance to the end: block_start + BLOCK_SIZE wraps for
        // the last block of a stream that ends within a block of 2^64.
        const std::uint64_t to = block_start + std::min(BLOCK_SIZE, end - block_start);
        std::uint8_t* out = dest + (from - start);
        const std::uint8_t* earlier = earlier_in_call(dest, j, offset);
        const bool spare_unit = block == last_block && last_partial && !last_from_kept;
        const bool from_kept = kept_holds(block) && !spare_unit;
        if ((earlier != nullptr && !from_kept) != copies_round) return;
        if (from_kept) {
            std::memcpy(out, kept_.get() + (from - block_start), to - from);
            return;
        }
        if (to - from == BLOCK_SIZE) {
            if (earlier != nullptr) {
                std::memcpy(out, earlier, BLOCK_SIZE);
            } else {
                generate_block(out, block);
            }
            return;
        }
        const std::uint8_t* source;
        std::unique_ptr<std::uint8_t[]> scratch;
        if (spare_unit) {
            if (earlier != nullptr) {
                std::memcpy(spare_.get(), earlier, BLOCK_SIZE);
            } else {
                generate_block(spare_.get(), block);
            }
            source = spare_.get();
        } else {
            // The call's first block, starting inside it; never a repeat
            // within the call.
            scratch = new_block();
            generate_block(scratch.get(), block);
            source = scratch.get();
        }
        std::memcpy(out, source + (from - block_start), to - from);
    };
    const auto units = static_cast<std::size_t>(blocks);
    pool_->run_chunks(units, [&](std::size_t j) { unit(j, false); });
    if (blocks > plan_.unique_blocks) pool_->run_chunks(units, [&](std::size_t j) { unit(j, true); });

    if (last_partial && !last_from_kept) {
        std::swap(kept_, spare_);
        kept_unique_ = unique_index(plan_, last_block);
    }
}

}  // namespace vorn
