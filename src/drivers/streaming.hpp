// DataGenerator: one plan's stream, delivered piece by piece into memory the
// caller supplies; byte-identical to the one-shot output of the same plan
// and entropy whatever the read sizes and thread counts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "synthesis/plan.hpp"
#include "placement/thread_pool.hpp"

namespace vorn {

class DataGenerator {
public:
    // max_threads absent: one per available CPU. A pool is built for two or
    // more workers, at most one per block of the stream and MAX_WORKERS; it
    // keeps the workers that could start, and without any the generator
    // fills on the calling thread.
    DataGenerator(std::uint64_t size, std::uint64_t dedup_factor, std::uint64_t compress_factor,
                  std::optional<std::uint64_t> max_threads);
    // For tests that need a known stream: the entropy is given, not drawn.
    DataGenerator(std::uint64_t size, std::uint64_t dedup_factor, std::uint64_t compress_factor,
                  std::optional<std::uint64_t> max_threads, std::uint64_t entropy);

    DataGenerator(const DataGenerator&) = delete;
    DataGenerator& operator=(const DataGenerator&) = delete;

    // Writes the next min(size, total_size - position) bytes of the stream
    // to dest and advances the position by that count, which it returns.
    std::uint64_t fill_chunk(std::uint8_t* dest, std::uint64_t size);

    void rewind() { position_ = 0; }
    // Drops the kept block. For a child of fork() whose parent had another
    // thread inside a fill: the position only moves once a fill is
    // complete, but fork copies that thread's memory while it runs, so the
    // kept block and its key need not agree in the child.
    void forget_kept_block() { kept_unique_.reset(); }
    std::uint64_t position() const { return position_; }
    std::uint64_t total_size() const { return plan_.effective_size; }
    bool is_complete() const { return position_ >= plan_.effective_size; }
    std::uint64_t unique_blocks() const { return plan_.unique_blocks; }
    // Workers of the pool that fills requests of two or more blocks; 0 when
    // every request is filled on the calling thread.
    std::size_t worker_count() const { return pool_ ? pool_->size() : 0; }

private:
    void fill_chunk_sequential(std::uint8_t* dest, std::uint64_t count, std::uint64_t first,
                               std::uint64_t offset, std::uint64_t blocks);
    void fill_chunk_parallel(std::uint8_t* dest, std::uint64_t count, std::uint64_t first,
                             std::uint64_t offset, std::uint64_t blocks);
    void generate_block(std::uint8_t* span, std::uint64_t block) const;
    // The whole of `block`, from the kept block when it is the same unique
    // block, else put into the kept buffer first: copied from `whole_copy`
    // when that is not null, else generated.
    const std::uint8_t* kept_block(std::uint64_t block, const std::uint8_t* whole_copy);
    bool kept_holds(std::uint64_t block) const;
    // Where block j of a call that starts `offset` bytes into its first
    // block lies whole in dest with the same bytes, made (not copied)
    // before it, or null.
    const std::uint8_t* earlier_in_call(const std::uint8_t* dest, std::uint64_t j,
                                        std::uint64_t offset) const;

    GenerationPlan plan_;
    std::uint64_t position_ = 0;
    std::uint64_t entropy_;
    std::unique_ptr<ThreadPool> pool_;

    // The last block generated for a partial read, so that small reads within
    // one block copy instead of regenerating 4 MiB each time. Keyed by unique
    // index, since every repeat of a unique block has the same bytes.
    std::unique_ptr<std::uint8_t[]> kept_;
    std::optional<std::uint64_t> kept_unique_;
    // Written only by the unit of a parallel fill that ends inside a block;
    // becomes the kept block afterwards.
    std::unique_ptr<std::uint8_t[]> spare_;
};

}  // namespace vorn
