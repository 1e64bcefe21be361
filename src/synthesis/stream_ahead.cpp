// Batches of stream outputs in per-thread storage.
#include "synthesis/stream_ahead.hpp"

#include <memory>
#include <new>

#include "synthesis/random_fill.hpp"
#include "synthesis/random_fill_lanes.hpp"

namespace vorn {
namespace {

// Long enough that a vector round's start (about 0.7 us, some 800 scalar
// steps) is paid rarely, short enough (255 KiB) to stay in the core's own cache and
// to waste little of the last batch a block needs; one whole round of the
// widest fill, so that none of it is left to the scalar loop.
constexpr std::uint32_t BATCH =
    static_cast<std::uint32_t>(fill_lanes::AVX512_LANES * fill_lanes::lane_words(11));
// Unread outputs move in front of a new batch; a multiple of a cache line,
// so every batch starts on one.
constexpr std::uint32_t CARRY = StreamAhead::MAX_RESERVE;
static_assert(CARRY % 8 == 0);
static_assert(BATCH >= StreamAhead::MAX_RESERVE, "one refill serves any reserve");
constexpr std::uint32_t CAPACITY = CARRY + BATCH;

struct alignas(64) Batch {
    std::uint64_t words[CAPACITY];
};

std::uint64_t* thread_storage() {
    // Kept for the thread's life: blocks follow one another on the same
    // threads, and a fresh allocation of this size would be a fresh mapping.
    thread_local std::unique_ptr<Batch> storage;
    if (!storage) storage = std::make_unique<Batch>();
    return storage->words;
}

}  // namespace

StreamAhead::StreamAhead(const Xoshiro256pp& start)
    : storage_(thread_storage()), next_(storage_ + CARRY), end_(storage_ + CARRY), after_(start) {}

void StreamAhead::refill() {
    const std::uint64_t unread = static_cast<std::uint64_t>(end_ - next_);
    std::uint64_t* first = storage_ + CARRY - unread;
    std::memmove(first, next_, unread * 8);
    fill_words(reinterpret_cast<std::uint8_t*>(storage_ + CARRY), BATCH, after_);
    next_ = first;
    end_ = storage_ + CAPACITY;
}

}  // namespace vorn
