"""What distinct-chunk counting costs: `ChunkCounter` with a `DigestSet`
(exact) or a `DigestSample` (an estimate) beside a plain Python set of
digests and beside digesting alone, in one run, on generated data at dedup 1
and 4, and the memory kept per distinct chunk by the set and by the
`DigestSet` (peak resident growth in a fresh interpreter).

The cases take turns, so that a noisy, shared machine slows them alike.
Prints millions of chunks per CPU-second (best of the repeats, process CPU
time) and, for speed, each figure's ratio to the plain set.
"""

import argparse
import subprocess
import sys
import textwrap
import time

import xxhash

import vorn_py
from vorn_py._dedup import ChunkCounter, DigestSample, DigestSet
from vorn_py._sources import piece_size

MiB = 1 << 20


def pieces_of(data, chunk):
    view = memoryview(data)
    step = piece_size(chunk)
    return [view[start:start + step] for start in range(0, len(view), step)]


def digest_only(pieces, chunk):
    digest = xxhash.xxh3_128_digest
    for piece in pieces:
        for start in range(0, len(piece), chunk):
            digest(piece[start:start + chunk])


def plain_set(pieces, chunk):
    digest = xxhash.xxh3_128_digest
    seen = set()
    for piece in pieces:
        for start in range(0, len(piece), chunk):
            seen.add(digest(piece[start:start + chunk]))
    return len(seen)


def counter(keep_unique, estimate=False):
    def run(pieces, chunk):
        distinct = DigestSample(1 << 17) if estimate else DigestSet()
        count = ChunkCounter(chunk, distinct, keep_unique=keep_unique)
        for piece in pieces:
            count.feed(piece)
        count.finish()
        return count.chunks
    return run


def cpu_seconds(fn, *args):
    cpu = time.process_time()
    fn(*args)
    return time.process_time() - cpu


MEMORY_PROBE = """
    import os, sys
    from vorn_py._dedup import ChunkCounter, DigestSet

    def resident(field):
        with open("/proc/self/status") as status:
            line = next(l for l in status if l.startswith(field + ":"))
        return int(line.split()[1]) * 1024

    count, how = int(sys.argv[1]), sys.argv[2]
    data = os.urandom(count * 64)
    pieces = [memoryview(data)[i:i + (8 << 20)] for i in range(0, len(data), 8 << 20)]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = resident("VmRSS")
    if how == "set":
        import xxhash
        seen = set()
        for piece in pieces:
            for start in range(0, len(piece), 64):
                seen.add(xxhash.xxh3_128_digest(piece[start:start + 64]))
        assert len(seen) == count
    else:
        counter = ChunkCounter(64, DigestSet(), keep_unique=False)
        for piece in pieces:
            counter.feed(piece)
        assert len(counter.distinct) == count
    print(resident("VmHWM") - before)
"""


def bytes_per_chunk(count, how):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(MEMORY_PROBE), str(count),
                             how], capture_output=True, text=True, check=True)
    return int(result.stdout) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=256 * MiB, help="bytes per run")
    parser.add_argument("--chunk", type=int, default=4096)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--distinct", type=int, default=1 << 21,
                        help="distinct chunks in the memory probe")
    args = parser.parse_args()

    cases = {
        "digests only": digest_only,
        "plain set of digests": plain_set,
        "DigestSet": counter(keep_unique=False),
        "DigestSet, first occurrences kept": counter(keep_unique=True),
        "DigestSample (an estimate)": counter(keep_unique=False, estimate=True),
    }
    for dedup in (1, 4):
        data = vorn_py.generate_buffer(args.size, dedup_ratio=dedup)
        pieces = pieces_of(data, args.chunk)
        chunks = -(-args.size // args.chunk)
        best = {name: float("inf") for name in cases}
        for _ in range(args.repeats):
            for name, fn in cases.items():
                best[name] = min(best[name], cpu_seconds(fn, pieces, args.chunk))
        baseline = chunks / best["plain set of digests"]
        print(f"dedup {dedup}, {args.size >> 20} MiB in chunks of {args.chunk} bytes:")
        for name, seconds in best.items():
            rate = chunks / seconds
            print(f"  {name:<36} {rate / 1e6:6.2f} M chunks/CPU-s  {rate / baseline:5.2f}x"
                  f"  {rate * args.chunk / 1e9:6.2f} GB/CPU-s")
        del pieces, data
    for how in ("set", "DigestSet"):
        print(f"memory, {args.distinct} distinct chunks, {how}: "
              f"{bytes_per_chunk(args.distinct, how):.1f} bytes per distinct chunk")


if __name__ == "__main__":
    main()
