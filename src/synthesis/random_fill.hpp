// The random fill: whole little-endian next64 words from a Xoshiro256++
// state, written by the widest vector path this CPU runs, byte-identical to
// the scalar loop and leaving the generator exactly where the loop would.
#pragma once

#include <cstdint>

#include "synthesis/xoshiro.hpp"

namespace vorn {

enum class FillPath : std::uint8_t { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// Ordinary stores keep the output in cache for whoever reads it next;
// non-temporal ones send whole lines straight to memory. Only the vector paths
// stream, and only into destinations whose words are 8-byte aligned. Blocks
// are written with ordinary stores, which measured faster; the other kind
// stays so that the kernel bench keeps measuring the choice.
enum class StoreKind : std::uint8_t { Ordinary = 0, NonTemporal = 1 };

const char* fill_path_name(FillPath path);

// Whether this build and this CPU (and its operating system) run the path.
bool fill_path_supported(FillPath path);

// The widest supported path, found once per process.
FillPath best_fill_path();

// The path fill_words takes: the override when one is set, else the best.
FillPath active_fill_path();

// Process-wide override for fill_words, for tests and for measuring the
// scalar path. Returns false and changes nothing when the path is unsupported.
bool force_fill_path(FillPath path);
void clear_fill_path_override();

// Writes words next64 outputs to dst[0, 8 words), little-endian, dst of any
// alignment, and advances rng by exactly words steps.
void fill_words(std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng,
                StoreKind stores = StoreKind::Ordinary);

// The same on a given path; an unsupported path falls back to the scalar loop.
void fill_words_on(FillPath path, std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng,
                   StoreKind stores = StoreKind::Ordinary);

// One word per step, front to back: the definition the other paths match.
void fill_words_scalar(std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng);

// A span of len bytes: len / 8 whole words through fill_words, then a tail
// of 1-4 bytes from the upper half of one step or 5-7 bytes from the low
// bytes of one step.
void fill_random_bytes(std::uint8_t* dst, std::uint64_t len, Xoshiro256pp& rng,
                       StoreKind stores = StoreKind::Ordinary);

}  // namespace vorn
