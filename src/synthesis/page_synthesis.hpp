// The layout of one page: literal words from the stream, runs that copy
// earlier bytes of the page, and the draws that place them. Written once as
// a template over how bytes are moved, and compiled once per instruction set
// by the files that instantiate it; internal to block synthesis. Whatever it
// defines has internal linkage or depends on the moves, so that the copy
// compiled for a wider instruction set is never linked in for another.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/stream_ahead.hpp"
#include "synthesis/xoshiro.hpp"

#define VORN_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace vorn::page_layout {

constexpr std::uint32_t PAGE = static_cast<std::uint32_t>(PAGE_SIZE);
constexpr std::uint32_t HEAD = static_cast<std::uint32_t>(PAGE_HEAD);
constexpr std::uint32_t TAIL = static_cast<std::uint32_t>(PAGE_TAIL);
constexpr std::uint32_t RUN_MIN = 64;         // runs are 64 + draw(193): 64 to 256 bytes
constexpr std::uint32_t RUN_SPAN = 193;
constexpr std::uint32_t RUN_MAX = RUN_MIN + RUN_SPAN - 1;
constexpr std::uint32_t MAX_DISTANCE = 1024;  // sources lie at most this far back
constexpr std::uint32_t LAST_RUN_MIN = 16;    // a page's last run, cut short, stops below this
constexpr std::uint32_t SHADOW = 8;           // bytes from a source start that a compressor
                                              // indexes at the copy instead
// One entry per run; runs before the last are at least RUN_MIN long.
constexpr std::uint32_t CAPACITY = PAGE / RUN_MIN + 2;

// A page reads at most: a word per 8 bytes plus one per literal stretch,
// and per run up to 10 outputs of draws (two each for the length and the
// gap, two attempts at a source and the fallback draw).
constexpr std::uint32_t PAGE_WORDS_MAX = PAGE / 8 + (CAPACITY + 1) + 10 * CAPACITY;

// A fixed-size move of OVERSHOOT bytes replaces each exact copy where the
// span leaves room after the page: a page is laid out front to back, so what
// such a move writes past the bytes it means to set is written again later,
// and the move costs the same whatever the length, with no branch on it.
constexpr std::uint32_t OVERSHOOT = 256;
static_assert(OVERSHOOT >= RUN_MAX && OVERSHOOT % 32 == 0, "a run fits one move of whole pieces");
// Reading a literal stretch this way reads up to this many words past it.
constexpr std::uint32_t OVERSHOOT_WORDS = OVERSHOOT / 8;
static_assert(PAGE_WORDS_MAX + OVERSHOOT_WORDS <= StreamAhead::MAX_RESERVE);

// The positions a source may start on that one run brought: the literal
// bytes in front of it, then its own first byte once its source is chosen.
// Taking a source moves start past the source's first SHADOW bytes.
struct Candidates {
    std::uint32_t start, end;
};

// The entry of [tail, head) that holds candidate u, the entries holding
// size(k) candidates each and more than u in all; u becomes the offset
// within the entry. It counts over the whole window rather than stopping at
// the entry: the loop then runs as often as the window is long, which
// changes slowly, where stopping at a drawn entry costs a mispredicted
// branch on nearly every run (measured 8-12% of the page loop's time).
template <class Size>
VORN_ALWAYS_INLINE std::uint32_t find_entry(std::uint32_t tail, std::uint32_t head,
                                            std::uint32_t& u, Size size) {
    std::uint32_t total = 0, passed = 0, before = 0;
    for (std::uint32_t k = tail; k < head; ++k) {
        const std::uint32_t entry = size(k);
        total += entry;
        const bool past = u >= total;
        passed += past;
        before += past ? entry : 0;
    }
    u -= before;
    return tail + passed;
}

// The rare way to a source start in [lo, hi): count the candidates in reach
// and draw among them. With none in reach, shortens the run to start its
// source on the oldest candidate in reach. Returns the entry the source
// lies in.
static inline std::uint32_t choose_in_reach(const Candidates* runs, std::uint32_t tail,
                                            std::uint32_t head, std::uint32_t lo,
                                            std::uint32_t hi, std::uint32_t dst,
                                            std::uint32_t& src, std::uint32_t& n,
                                            WordCursor& rng) {
    const auto in_reach = [&](std::uint32_t k) {
        const std::uint32_t s = std::max(runs[k].start, lo);
        const std::uint32_t e = std::min(runs[k].end, hi);
        return e > s ? e - s : 0;
    };
    std::uint32_t count = 0;
    for (std::uint32_t k = tail; k < head; ++k) count += in_reach(k);
    std::uint32_t j = tail;
    if (count != 0) {
        std::uint32_t u = draw32(rng, count);
        j = find_entry(tail, head, u, in_reach);
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

// Literal bytes at p[0, n): the next ceil(n / 8) words of the stream,
// little-endian, the last one cut short. With `Overshoot`, the move may write
// up to OVERSHOOT - 1 bytes past p + n.
template <class Moves, bool Overshoot>
VORN_ALWAYS_INLINE void put_literal(std::uint8_t* p, std::uint32_t n, WordCursor& rng) {
    const auto* words = reinterpret_cast<const std::uint8_t*>(rng.next);
    if constexpr (Overshoot) {
        std::uint32_t done = 0;
        do {  // one pass for all but the longest gaps
            Moves::move_overshoot(p + done, words + done);
            done += OVERSHOOT;
        } while (done < n);
    } else {
        std::memcpy(p, words, n);
    }
    rng.next += (n + 7) / 8;
}

// The run's n bytes from src to dst, src + n <= dst. With `Overshoot`, the
// move may write up to OVERSHOOT - n bytes past dst + n.
template <class Moves, bool Overshoot>
VORN_ALWAYS_INLINE void put_run(std::uint8_t* page, std::uint32_t dst, std::uint32_t src,
                                std::uint32_t n) {
    if constexpr (Overshoot) {
        Moves::move_overshoot(page + dst, page + src);
    } else {
        std::memcpy(page + dst, page + src, n);
    }
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
// the literal bytes in front of the run; the source start: up to two draws
// over every candidate of the earlier runs and those of the new literal
// bytes in reach, the first in reach taken, else one draw over those in
// reach (choose_in_reach). Then the words of the bytes after the last run.
//
// The stream is read through `cursor`, which must have PAGE_WORDS_MAX +
// OVERSHOOT_WORDS outputs reserved. `Overshoot`: the span has OVERSHOOT
// bytes of room after the page. `FixedLen`, when not 0, is len, so that a
// whole page's bounds are constants.
template <class Moves, bool Overshoot, std::uint32_t FixedLen>
VORN_ALWAYS_INLINE void synthesize_page(std::uint8_t* page, std::uint32_t page_len,
                                        std::uint32_t target, const std::uint64_t*& cursor) {
    const std::uint32_t len = FixedLen != 0 ? FixedLen : page_len;
    WordCursor rng{cursor};  // in a register for the page
    if (len < HEAD + TAIL + LAST_RUN_MIN) {
        put_literal<Moves, false>(page, len, rng);
        cursor = rng.next;
        return;
    }
    const std::uint32_t limit = len - TAIL;  // runs end by here
    const std::uint32_t room = limit - HEAD;
    target = std::min(target, room);
    const std::uint64_t spare16 = target != 0 ? (std::uint64_t{room - target} << 16) / target : 0;

    Candidates runs[CAPACITY];
    std::uint32_t tail = 0, head = 0;  // runs[tail, head) may still be in reach
    std::uint32_t weight = 0;          // candidate positions in runs[tail, head)

    std::uint32_t literal_from = 0;  // first byte of the literal stretch before the next run
    std::uint32_t pos = HEAD;        // the next gap starts here
    std::uint32_t rem = target;      // bytes still to copy
    while (rem != 0 && head < CAPACITY) {
        std::uint32_t n = std::min(RUN_MIN + draw32(rng, RUN_SPAN), rem);
        const std::uint32_t avail = limit - pos;
        const std::uint32_t free = avail > rem ? avail - rem : 0;
        const std::uint32_t mean16 = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(spare16 * n, std::uint64_t{free} << 16));
        const std::uint32_t dst = pos + std::min(free, draw32(rng, 2 * mean16 + 65536) >> 16);
        n = std::min(n, limit - dst);
        if (n < LAST_RUN_MIN) break;
        // The stretch's last word may spill past dst; the run overwrites it.
        put_literal<Moves, Overshoot>(page + literal_from, dst - literal_from, rng);

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
            j = find_entry(tail, head, u,
                           [&](std::uint32_t k) { return runs[k].end - runs[k].start; });
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
        put_run<Moves, Overshoot>(page, dst, src, n);
        rem -= n;
        pos = literal_from = dst + n;
    }
    put_literal<Moves, Overshoot>(page + literal_from, len - literal_from, rng);
    cursor = rng.next;
}

// How the pages of one span are made: the page shares of the target, the
// stream reserved page by page, and the fixed-size moves wherever the span
// leaves room after the page.
template <class Moves>
VORN_ALWAYS_INLINE void synthesize_span(std::uint8_t* span, std::uint64_t len,
                                        std::uint64_t copy_target, const Xoshiro256pp& rng) {
    StreamAhead stream(rng);
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
    // Whole pages followed by room for a fixed-size move.
    const std::uint64_t roomy_pages =
        len >= PAGE + OVERSHOOT ? std::min(whole_pages, (len - OVERSHOOT) / PAGE) : 0;
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
        const std::uint64_t* cursor = stream.reserve(PAGE_WORDS_MAX + OVERSHOOT_WORDS);
        const std::uint32_t page_target = static_cast<std::uint32_t>(t);
        if (i < roomy_pages)
            synthesize_page<Moves, true, PAGE>(page, PAGE, page_target, cursor);
        else
            synthesize_page<Moves, false, PAGE>(page, PAGE, page_target, cursor);
        stream.consumed_to(cursor);
    }
    const std::uint32_t last = static_cast<std::uint32_t>(len % PAGE);
    if (last != 0) {
        const std::uint64_t* cursor = stream.reserve(PAGE_WORDS_MAX + OVERSHOOT_WORDS);
        synthesize_page<Moves, false, 0>(page, last, static_cast<std::uint32_t>(target - given),
                                         cursor);
        stream.consumed_to(cursor);
    }
}

#if defined(__x86_64__)
// The page loop compiled for AVX2, with moves in 32-byte pieces: a piece
// loads before it stores, so one that overlaps its source still copies the
// bytes before dst as they were.
void synthesize_span_avx2(std::uint8_t* span, std::uint64_t len, std::uint64_t copy_target,
                          const Xoshiro256pp& rng);
#endif

}  // namespace vorn::page_layout
