// StreamAhead: a block's Xoshiro256++ outputs made ahead in batches by the
// vector fill and read in order. Page synthesis takes its literal words and
// its draws from here instead of stepping the generator once per word; the
// outputs are the stream's own, so the bytes are the same.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "synthesis/xoshiro.hpp"

namespace vorn {

// One stream output as the fill stored it: little-endian.
inline std::uint64_t load_word(const std::uint64_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Reads reserved outputs through a plain pointer, which a caller copies into
// a local so that it lives in a register: the page writes through byte
// pointers, which would otherwise force every read of it back to memory.
struct WordCursor {
    const std::uint64_t* next;

    std::uint64_t next64() { return load_word(next++); }
    std::uint32_t next32() { return static_cast<std::uint32_t>(next64() >> 32); }
};

class StreamAhead {
public:
    // The most outputs one reserve may ask for.
    static constexpr std::uint32_t MAX_RESERVE = 1536;

    // The stream that `start` produces; the storage belongs to the calling
    // thread, so one StreamAhead per thread is alive at a time.
    explicit StreamAhead(const Xoshiro256pp& start);
    StreamAhead(const StreamAhead&) = delete;
    StreamAhead& operator=(const StreamAhead&) = delete;

    // The next `count` <= MAX_RESERVE outputs, contiguous, the unread ones
    // first; valid until the next reserve.
    const std::uint64_t* reserve(std::uint32_t count) {
        if (static_cast<std::uint64_t>(end_ - next_) < count) refill();
        return next_;
    }

    // Every output before `p`, a position inside the last reservation, has
    // been read.
    void consumed_to(const std::uint64_t* p) { next_ = p; }

private:
    void refill();

    std::uint64_t* storage_;
    const std::uint64_t* next_;
    const std::uint64_t* end_;
    Xoshiro256pp after_;  // the generator just past *(end_ - 1)
};

}  // namespace vorn
