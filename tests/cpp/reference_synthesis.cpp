// The block synthesis written plainly: the generator stepped word by word,
// each run copied by memmove. The engine's paths are checked against it.
#include "reference_synthesis.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/plan.hpp"
#include "synthesis/xoshiro.hpp"

namespace vorn_test {
namespace {

using namespace vorn;

constexpr std::uint32_t PAGE = static_cast<std::uint32_t>(PAGE_SIZE);
constexpr std::uint32_t HEAD = static_cast<std::uint32_t>(PAGE_HEAD);
constexpr std::uint32_t TAIL = static_cast<std::uint32_t>(PAGE_TAIL);
constexpr std::uint32_t RUN_MIN = 64;         // runs are 64 + draw(193): 64 to 256 bytes
constexpr std::uint32_t RUN_SPAN = 193;
constexpr std::uint32_t MAX_DISTANCE = 1024;  // sources lie at most this far back
constexpr std::uint32_t LAST_RUN_MIN = 16;    // a page's last run, cut short, stops below this
constexpr std::uint32_t SHADOW = 8;           // bytes from a source start that a compressor
                                              // indexes at the copy instead

// Whole words little-endian, then a tail of 1-4 bytes from an upper half step
// or 5-7 bytes from a full step.
void fill_random(std::uint8_t* span, std::uint64_t len, Xoshiro256pp& rng) {
    const std::uint64_t words = len / 8;
    Xoshiro256pp local = rng;  // keep the state in registers for the hot loop
    std::uint8_t* p = span;
    for (std::uint64_t i = 0; i < words; ++i, p += 8) {
        const std::uint64_t v = local.next64();
        std::memcpy(p, &v, 8);  // unaligned-safe; callers fill caller memory in place
    }
    const std::uint64_t tail = len % 8;
    if (tail >= 5) {
        const std::uint64_t v = local.next64();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    } else if (tail >= 1) {
        const std::uint32_t v = local.next32();
        for (std::uint64_t i = 0; i < tail; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    rng = local;
}

// Random words over p[0, n) rounded up to whole words: the caller has room
// for up to 7 bytes beyond, which the run that follows overwrites.
inline void fill_words(std::uint8_t* p, std::uint32_t n, Xoshiro256pp& rng) {
    for (std::uint32_t i = 0; i < n; i += 8) {
        const std::uint64_t v = rng.next64();
        std::memcpy(p + i, &v, 8);
    }
}

// Random bytes over exactly p[0, n): whole words, then the low bytes of one more.
inline void fill_exact(std::uint8_t* p, std::uint32_t n, Xoshiro256pp& rng) {
    const std::uint32_t whole = n & ~7u;
    fill_words(p, whole, rng);
    if (whole != n) {
        const std::uint64_t v = rng.next64();
        std::memcpy(p + whole, &v, n - whole);
    }
}

// The positions a source may start on that one run brought: the literal
// bytes in front of it, then its own first byte once its source is chosen.
// Taking a source moves start past the source's first SHADOW bytes.
struct Candidates {
    std::uint32_t start, end;
};

// The rare way to a source start in [lo, hi): count the candidates in reach
// and draw among them. With none in reach, shortens the run to start its
// source on the oldest candidate in reach. Returns the entry the source
// lies in.
std::uint32_t choose_in_reach(const Candidates* runs, std::uint32_t tail, std::uint32_t head,
                              std::uint32_t lo, std::uint32_t hi, std::uint32_t dst,
                              std::uint32_t& src, std::uint32_t& n, Xoshiro256pp& rng) {
    std::uint32_t count = 0;
    for (std::uint32_t k = tail; k < head; ++k) {
        const std::uint32_t s = std::max(runs[k].start, lo);
        const std::uint32_t e = std::min(runs[k].end, hi);
        if (s < e) count += e - s;
    }
    std::uint32_t j = tail;
    if (count != 0) {
        std::uint32_t u = draw32(rng, count);
        for (;; ++j) {
            const std::uint32_t s = std::max(runs[j].start, lo);
            const std::uint32_t e = std::min(runs[j].end, hi);
            if (s < e) {
                if (u < e - s) break;
                u -= e - s;
            }
        }
        src = std::max(runs[j].start, lo) + u;
        return j;
    }
    // The previous run's first byte qualifies and lies in reach, so the loop
    // ends at the latest there.
    while (std::max(runs[j].start, lo) >= runs[j].end) ++j;
    src = std::max(runs[j].start, lo);
    n = dst - src;
    return j;
}

// One page page[0, len), len <= PAGE, with runs copying up to target bytes.
// Only the bytes no run covers are drawn, front to back as the layout
// reaches them, so the generator's words go where they stay. The first HEAD
// and last TAIL bytes stay literal: a page compressed on its own has no
// history to match at its start, and lz4 must end a block with literals.
// Runs are laid out front to back, so none overwrites another run or any
// run's source: every run is a whole match of final bytes, at a distance of
// at least its length and at most MAX_DISTANCE, inside the page.
//
// The spare bytes, room - target, spread over the page as gaps in front of
// the runs: a run of n gets a gap of draw(2 m + 1) with m = n spare / target
// (in 1/65536 byte), at most what the target still leaves free.
//
// A source starts on a position that a fast compressor has indexed and still
// finds there: a literal byte or an earlier run's first byte. Once a source
// has been taken from a run's candidates, its first SHADOW bytes have a
// newer copy, where the compressor's table now points and which matches only
// part of the way: they and the candidates before them in that entry no
// longer qualify. Dropping those before too keeps the bookkeeping to one
// number per run, and measured ratios came out the same. The source start
// is drawn uniformly from the positions that qualify and lie in reach. If
// none lies far enough back, the run is shortened to start its source on
// the oldest one in reach; the previous run's first byte always qualifies,
// so only a page's last run can end up shorter than RUN_MIN.
//
// Per run, in draw order: run length 64 + draw(193); the gap; the words of
// the literal bytes in front of the run (fill_words); the source start: up
// to two draws over every candidate of the earlier runs and those of the new
// literal bytes in reach, the first in reach taken, else one draw over those
// in reach (choose_in_reach). Then the words of the bytes after the last run
// (fill_exact).
void synthesize_page(std::uint8_t* page, std::uint32_t len, std::uint32_t target,
                     Xoshiro256pp& state) {
    if (len < HEAD + TAIL + LAST_RUN_MIN) {
        fill_exact(page, len, state);
        return;
    }
    Xoshiro256pp rng = state;  // in registers for the page
    const std::uint32_t limit = len - TAIL;  // runs end by here
    const std::uint32_t room = limit - HEAD;
    target = std::min(target, room);
    const std::uint64_t spare16 = target != 0 ? (std::uint64_t{room - target} << 16) / target : 0;

    // One entry per run; runs before the last are at least RUN_MIN long.
    constexpr std::uint32_t CAPACITY = PAGE / RUN_MIN + 2;
    Candidates runs[CAPACITY];
    std::uint32_t tail = 0, head = 0;  // runs[tail, head) may still be in reach
    std::uint32_t weight = 0;          // candidate positions in runs[tail, head)

    std::uint32_t literal_from = 0;  // first byte of the literal stretch before the next run
    std::uint32_t pos = HEAD;        // the next gap starts here
    std::uint32_t copied = 0;
    while (copied < target && head < CAPACITY) {
        const std::uint32_t rem = target - copied;
        std::uint32_t n = std::min(RUN_MIN + draw32(rng, RUN_SPAN), rem);
        const std::uint32_t avail = limit - pos;
        const std::uint32_t free = avail > rem ? avail - rem : 0;
        const std::uint32_t mean16 = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(spare16 * n, std::uint64_t{free} << 16));
        const std::uint32_t dst = pos + std::min(free, draw32(rng, 2 * mean16 + 65536) >> 16);
        n = std::min(n, limit - dst);
        if (n < LAST_RUN_MIN) break;
        fill_words(page + literal_from, dst - literal_from, rng);

        // Sources start in [lo, hi): among the earlier runs' candidates, or
        // in the new literal bytes [gap_lo, hi).
        const std::uint32_t lo = dst > MAX_DISTANCE ? dst - MAX_DISTANCE : 0;
        const std::uint32_t hi = dst >= n ? dst - n + 1 : 0;
        while (tail < head && runs[tail].end <= lo) {
            weight -= runs[tail].end - runs[tail].start;
            ++tail;
        }
        const std::uint32_t gap_lo = std::max(literal_from, lo);
        const std::uint32_t gap_in_reach = hi > gap_lo ? hi - gap_lo : 0;
        Candidates& current = runs[head];
        current = {literal_from, dst};
        std::uint32_t j = head;
        std::uint32_t src = hi;  // hi: none chosen yet
        // Drawing over all earlier candidates and rejecting those out of
        // reach saves counting them: most are in reach.
        for (int attempt = 0; attempt < 2 && weight + gap_in_reach != 0; ++attempt) {
            std::uint32_t u = draw32(rng, weight + gap_in_reach);
            if (u >= weight) {
                j = head;
                src = gap_lo + (u - weight);
                break;
            }
            for (j = tail; u >= runs[j].end - runs[j].start; ++j) u -= runs[j].end - runs[j].start;
            if (runs[j].start + u >= lo && runs[j].start + u < hi) {
                src = runs[j].start + u;
                break;
            }
        }
        ++head;
        weight += dst - literal_from;
        literal_from = dst;
        if (src == hi) {
            j = choose_in_reach(runs, tail, head, lo, hi, dst, src, n, rng);
            if (n < LAST_RUN_MIN) break;
        }

        const std::uint32_t taken_to = std::min(src + SHADOW, runs[j].end);
        weight -= taken_to - runs[j].start;
        runs[j].start = taken_to;
        current.end = dst + 1;  // the run's first byte
        weight += 1;
        // A call, not an inlined copy loop: measurably faster for these lengths.
        std::memmove(page + dst, page + src, n);
        copied += n;
        pos = literal_from = dst + n;
    }
    fill_exact(page + literal_from, len - literal_from, rng);
    state = rng;
}

}  // namespace

void reference_fill_block(std::uint8_t* span, std::uint64_t len, std::uint64_t block_index,
                          std::uint64_t copy_target, std::uint64_t entropy) {
    Xoshiro256pp rng(entropy ^ (block_index * GOLDEN_GAMMA));
    if (copy_target == 0 || len < 2) {
        fill_random(span, len, rng);
        return;
    }
    // The target is spread over the pages in proportion to their length: a
    // whole page gets floor((i + 1) t) - floor(i t) of t = target PAGE / len,
    // the last (possibly partial) page what is left. No page takes more than
    // it has room for, so a target beyond that room gives the most it can.
    using u128 = unsigned __int128;
    const std::uint64_t target = std::min(copy_target, len);
    const u128 scaled = u128{target} * PAGE;
    const std::uint64_t share = static_cast<std::uint64_t>(scaled / len);
    const std::uint64_t carry = static_cast<std::uint64_t>(scaled % len);
    const std::uint64_t whole_pages = len / PAGE;
    std::uint64_t acc = 0, given = 0;
    std::uint8_t* page = span;
    for (std::uint64_t i = 0; i < whole_pages; ++i, page += PAGE) {
        std::uint64_t t = share;
        if (acc >= len - carry) {  // acc + carry >= len, without overflow
            acc -= len - carry;
            ++t;
        } else {
            acc += carry;
        }
        given += t;
        synthesize_page(page, PAGE, static_cast<std::uint32_t>(t), rng);
    }
    const std::uint32_t last = static_cast<std::uint32_t>(len % PAGE);
    if (last != 0) synthesize_page(page, last, static_cast<std::uint32_t>(target - given), rng);
}

std::vector<std::uint8_t> reference_stream(std::uint64_t size, std::uint64_t dedup,
                                           std::uint64_t compress, std::uint64_t entropy) {
    const GenerationPlan plan = plan_generation(size, dedup, compress);
    std::vector<std::uint8_t> out(plan.total_blocks * BLOCK_SIZE);
    for (std::uint64_t k = 0; k < plan.total_blocks; ++k) {
        const std::uint64_t u = unique_index(plan, k);
        reference_fill_block(out.data() + k * BLOCK_SIZE, BLOCK_SIZE, u, plan.copy_target(u),
                             entropy);
    }
    out.resize(plan.effective_size);
    return out;
}

std::vector<FillPath> runnable_fill_paths() {
    std::vector<FillPath> paths;
    for (FillPath path : {FillPath::Scalar, FillPath::Avx2, FillPath::Avx512}) {
        if (fill_path_supported(path))
            paths.push_back(path);
        else
            std::fprintf(stderr, "     (this CPU lacks the %s path; not covered here)\n",
                         fill_path_name(path));
    }
    return paths;
}

}  // namespace vorn_test
