"""Throughput of the one-shot and streaming calls beside baselines measured in
the same run, so that figures from a shared, noisy machine stay comparable.

Prints GB/s (best of several runs) and each figure's ratio to the plain fill
of fresh memory, the speed of memory this machine offers a single writer.
"""

import argparse
import gc
import os
import time

import numpy as np

import vorn_py

GiB = 1 << 30


def best_rate(nbytes, fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return nbytes / best / 1e9


def fresh_fill(size):
    a = np.empty(size, dtype=np.uint8)
    a.fill(0xA5)


def numpy_random(size):
    np.random.default_rng().bytes(size)


def stream_fill(size, buf_size, compress, threads):
    gen = vorn_py.Generator(size, compress_ratio=compress, max_threads=threads)
    buf = bytearray(buf_size)
    while gen.fill_chunk(buf):
        pass


def stream_get(size, chunk, compress, threads):
    gen = vorn_py.Generator(size, compress_ratio=compress, max_threads=threads)
    while gen.get_chunk(chunk) is not None:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=GiB, help="bytes per one-shot run")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-stream", action="store_true", help="skip the streaming figures")
    args = parser.parse_args()
    size, repeats = args.size, args.repeats
    cpus = len(os.sched_getaffinity(0))

    rows = []

    def record(name, rate):
        rows.append((name, rate))
        print(f"  {name:<52} {rate:7.2f} GB/s", flush=True)

    print(f"vorn_py {vorn_py.__version__}, {size / GiB:.2f} GiB per run, best of {repeats}, "
          f"{cpus} CPUs")
    record("baseline: plain fill of fresh memory (numpy)", best_rate(size, lambda: fresh_fill(size), repeats))
    record("baseline: numpy random bytes", best_rate(size, lambda: numpy_random(size), repeats))

    target = bytearray(size)
    for compress in (1, 3):
        for threads in (1, 2):
            record(f"generate_buffer       compress {compress}, {threads} thread(s)",
                   best_rate(size, lambda: vorn_py.generate_buffer(
                       size, compress_ratio=compress, max_threads=threads), repeats))
            record(f"generate_into_buffer  compress {compress}, {threads} thread(s)",
                   best_rate(size, lambda: vorn_py.generate_into_buffer(
                       target, compress_ratio=compress, max_threads=threads), repeats))
    del target

    if not args.no_stream:
        stream_size = min(size, 256 << 20)
        threads = min(cpus, 2)
        for buf_size, label in ((8192, "8 KiB"), (65536, "64 KiB"), (32 << 20, "32 MiB")):
            record(f"Generator.fill_chunk  {label:>6} buffer, compress 1, {threads} thr",
                   best_rate(stream_size, lambda: stream_fill(stream_size, buf_size, 1, threads),
                             repeats))
        record(f"Generator.get_chunk   32 MiB chunks, compress 1, {threads} thr",
               best_rate(stream_size, lambda: stream_get(stream_size, 32 << 20, 1, threads),
                         repeats))
        record(f"generate_buffer       {stream_size >> 20} MiB, compress 1, {threads} thr",
               best_rate(stream_size, lambda: vorn_py.generate_buffer(
                   stream_size, max_threads=threads), repeats))

    base = rows[0][1]
    print("\nratio to the plain fill of fresh memory:")
    for name, rate in rows:
        print(f"  {name:<52} {rate / base:6.2f}x")
    by_name = dict(rows)
    small = [r for n, r in rows if "8 KiB" in n]
    large = [r for n, r in rows if "32 MiB buffer" in n]
    if small and large:
        print(f"\n8 KiB reads deliver {small[0] / large[0]:.2f} of the 32 MiB reads' throughput")
    return by_name


if __name__ == "__main__":
    main()
