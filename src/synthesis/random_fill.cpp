// Path choice and the driver that splits a fill into vector rounds and
// scalar edges; the scalar loop is the reference every path matches.
#include "synthesis/random_fill.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "common/publish_once.hpp"
#include "synthesis/random_fill_lanes.hpp"
#include "synthesis/xoshiro_jump.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn {
namespace {

constexpr int NO_OVERRIDE = -1;
std::atomic<int> path_override{NO_OVERRIDE};

struct CpuPaths {
    bool avx2 = false;
    bool avx512 = false;
};

CpuPaths detect_cpu_paths() {
    CpuPaths paths;
#if defined(__x86_64__)
    __builtin_cpu_init();
    // These also check that the operating system saves the wider registers.
    paths.avx2 = __builtin_cpu_supports("avx2");
    paths.avx512 = __builtin_cpu_supports("avx512f");
#endif
    return paths;
}

// Published like the jump tables rather than kept in a function-local
// static, whose guard a child forked during the first call would wait on.
std::atomic<const CpuPaths*> published_cpu_paths{nullptr};

const CpuPaths& cpu_paths() { return publish_once(published_cpu_paths, detect_cpu_paths); }

// The jumps of one lane length, made on first use: a process needs only the
// few lengths its fills use, and each length costs tens of microseconds.
std::atomic<const fill_lanes::LaneJumps*> lane_jump_table[fill_lanes::MAX_LANE_LOG2 + 1];

fill_lanes::LaneJumps make_lane_jumps(unsigned k) {
    fill_lanes::LaneJumps jumps{};
    for (unsigned lane = 0; lane < fill_lanes::MAX_LANES; ++lane) {
        const JumpPoly poly = jump_poly(lane * fill_lanes::lane_words(k));
        for (unsigned w = 0; w < 4; ++w) jumps.word[w][lane] = poly.w[w];
    }
    return jumps;
}

// Unaligned-safe: callers fill caller memory in place.
void store_le64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 8);
    } else {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

#if defined(__x86_64__)
using RoundFn = void (*)(std::uint8_t*, unsigned, Xoshiro256pp&, const fill_lanes::LaneJumps&,
                         bool);

struct VectorShape {
    RoundFn round;
    unsigned lanes;
    // A round's start costs about 0.7 us, what the scalar loop needs for some
    // 800 words; the shortest rounds the shapes allow (1920 words of sixteen
    // lanes, 1984 of eight) already beat the scalar loop (1.3 and 1.5 us
    // against 1.7).
    unsigned min_lane_log2;
    unsigned max_lane_log2;  // rounds of at most 4 MiB
};

constexpr VectorShape AVX512_SHAPE{fill_lanes::fill_round_avx512, fill_lanes::AVX512_LANES, 7, 15};
constexpr VectorShape AVX2_SHAPE{fill_lanes::fill_round_avx2, fill_lanes::AVX2_LANES, 8, 16};
static_assert(AVX512_SHAPE.min_lane_log2 >= fill_lanes::MIN_LANE_LOG2 &&
              AVX2_SHAPE.min_lane_log2 >= fill_lanes::MIN_LANE_LOG2 &&
              AVX512_SHAPE.max_lane_log2 <= fill_lanes::MAX_LANE_LOG2 &&
              AVX2_SHAPE.max_lane_log2 <= fill_lanes::MAX_LANE_LOG2,
              "every round has its jumps");

// Vector rounds of lanes * lane_words(k) words, k as large as fits, then the
// scalar loop for what is too short to repay a round's 256-step start. Every round ends
// where the next one starts, so the generator comes out exact.
void fill_vector(const VectorShape& shape, std::uint8_t* dst, std::uint64_t words,
                 Xoshiro256pp& rng, StoreKind stores) {
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(dst);
    // Rounds start on a line when the words can line up with lines at all, so
    // that every vector store covers one line.
    const bool word_aligned = address % 8 == 0;
    const bool stream = stores == StoreKind::NonTemporal && word_aligned;
    if (word_aligned) {
        const std::uint64_t head = std::min<std::uint64_t>(((64 - address % 64) % 64) / 8, words);
        fill_words_scalar(dst, head, rng);
        dst += head * 8;
        words -= head;
    }
    const std::uint64_t min_round = shape.lanes * fill_lanes::lane_words(shape.min_lane_log2);
    while (words >= min_round) {
        // The largest k with lane_words(k) <= words / lanes.
        const unsigned k = std::min<unsigned>(shape.max_lane_log2,
                                              std::bit_width(words / shape.lanes + 8) - 1);
        shape.round(dst, k, rng, fill_lanes::lane_jumps(k), stream);
        const std::uint64_t done = shape.lanes * fill_lanes::lane_words(k);
        dst += done * 8;
        words -= done;
    }
    fill_words_scalar(dst, words, rng);
    // Streaming stores are weakly ordered: fence them before anyone, including
    // another thread handed the buffer, reads it.
    if (stream) _mm_sfence();
}
#endif

}  // namespace

namespace fill_lanes {

const LaneJumps& lane_jumps(unsigned k) {
    return publish_once(lane_jump_table[k], [k] { return make_lane_jumps(k); });
}

}  // namespace fill_lanes

const char* fill_path_name(FillPath path) {
    switch (path) {
        case FillPath::Scalar: return "scalar";
        case FillPath::Avx2: return "avx2";
        case FillPath::Avx512: return "avx512";
    }
    return "unknown";
}

FillPath best_fill_path() {
    const CpuPaths& cpu = cpu_paths();
    return cpu.avx512 ? FillPath::Avx512 : cpu.avx2 ? FillPath::Avx2 : FillPath::Scalar;
}

bool fill_path_supported(FillPath path) {
    switch (path) {
        case FillPath::Scalar: return true;
        case FillPath::Avx2: return cpu_paths().avx2;
        case FillPath::Avx512: return cpu_paths().avx512;
    }
    return false;
}

FillPath active_fill_path() {
    const int forced = path_override.load(std::memory_order_relaxed);
    return forced == NO_OVERRIDE ? best_fill_path() : static_cast<FillPath>(forced);
}

bool force_fill_path(FillPath path) {
    if (!fill_path_supported(path)) return false;
    path_override.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

void clear_fill_path_override() { path_override.store(NO_OVERRIDE, std::memory_order_relaxed); }

void fill_words_scalar(std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng) {
    Xoshiro256pp local = rng;  // keep the state in registers for the hot loop
    for (std::uint64_t i = 0; i < words; ++i, dst += 8) store_le64(dst, local.next64());
    rng = local;
}

void fill_words_on(FillPath path, std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng,
                   StoreKind stores) {
#if defined(__x86_64__)
    if (fill_path_supported(path)) {
        switch (path) {
            case FillPath::Avx512:
                return fill_vector(AVX512_SHAPE, dst, words, rng, stores);
            case FillPath::Avx2:
                return fill_vector(AVX2_SHAPE, dst, words, rng, stores);
            case FillPath::Scalar: break;
        }
    }
#else
    (void)path;
    (void)stores;
#endif
    fill_words_scalar(dst, words, rng);
}

void fill_words(std::uint8_t* dst, std::uint64_t words, Xoshiro256pp& rng, StoreKind stores) {
    fill_words_on(active_fill_path(), dst, words, rng, stores);
}

void fill_random_bytes(std::uint8_t* dst, std::uint64_t len, Xoshiro256pp& rng,
                       StoreKind stores) {
    const std::uint64_t words = len / 8;
    fill_words(dst, words, rng, stores);
    std::uint8_t* p = dst + words * 8;
    const std::uint64_t tail = len % 8;
    if (tail >= 5) {
        const std::uint64_t v = rng.next64();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    } else if (tail >= 1) {
        const std::uint32_t v = rng.next32();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

}  // namespace vorn
