// fill_block: the only producer of data bytes. A pure function of
// (span length, block index, copy target, entropy).
#pragma once

#include <cstdint>

namespace vorn {

// Every back-reference lies inside one aligned page of the span, so that a
// compressor given any aligned record of one page or more finds every match.
inline constexpr std::uint64_t PAGE_SIZE = 4096;
// Bytes at the start and at the end of each page that no run writes.
inline constexpr std::uint64_t PAGE_HEAD = 64;
inline constexpr std::uint64_t PAGE_TAIL = 5;
// The most a whole page can copy.
inline constexpr std::uint64_t PAGE_ROOM = PAGE_SIZE - PAGE_HEAD - PAGE_TAIL;

// Overwrites span[0, len) with the block's bytes; touches nothing outside it.
// Safe to run concurrently on disjoint spans; the span may be unaligned.
// Ordinary stores: with the fill's lanes out of each other's cache sets they
// measured faster than streaming stores for every buffer size tried, 32 MiB
// to 256 MiB, and they leave a buffer that fits in cache there for its
// reader.
void fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                std::uint64_t copy_target, std::uint64_t entropy);

}  // namespace vorn
