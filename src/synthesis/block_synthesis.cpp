// Random bytes from Xoshiro256++ and back-references that give a compressor
// something to find, each kept inside one 4 KiB page; the widest path this
// CPU runs makes them, every path the same bytes.
#include "synthesis/block_synthesis.hpp"

#include "synthesis/page_synthesis.hpp"
#include "synthesis/random_fill.hpp"
#include "synthesis/xoshiro.hpp"

namespace vorn {
namespace {

// Moves in 16-byte pieces, for any 64-bit target. A piece never overlaps its
// own source (runs lie at least LAST_RUN_MIN bytes after theirs); a later
// piece may read bytes an earlier one wrote, but only past the bytes the
// move must get right, which lie before dst.
struct PortableMoves {
    VORN_ALWAYS_INLINE static void move_overshoot(std::uint8_t* dst, const std::uint8_t* src) {
#pragma GCC unroll 16
        for (std::uint32_t k = 0; k < page_layout::OVERSHOOT; k += 16)
            std::memcpy(dst + k, src + k, 16);
    }
};

}  // namespace

void fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                std::uint64_t copy_target, std::uint64_t entropy) {
    Xoshiro256pp rng(entropy ^ (block_index * GOLDEN_GAMMA));
    if (copy_target == 0 || len < 2) {
        fill_random_bytes(span, len, rng);
        return;
    }
    // The page loop follows the fill path, so forcing the scalar fill also
    // runs the portable moves.
#if defined(__x86_64__)
    if (active_fill_path() != FillPath::Scalar) {
        page_layout::synthesize_span_avx2(span, len, copy_target, rng);
        return;
    }
#endif
    page_layout::synthesize_span<PortableMoves>(span, len, copy_target, rng);
}

}  // namespace vorn
