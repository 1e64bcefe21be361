"""What manifests cost: `vorn-gen generate` to /dev/null with and without
--manifest, and `vorn-gen verify` of a file in the page cache beside a plain
read loop over the same file, all in one run.

The cases take turns, so that a noisy, shared machine slows them alike.
Prints GB/s (best wall time) and GB per CPU-second (best process CPU time,
every thread counted) for each case, and each figure's ratio to its baseline.
"""

import argparse
import contextlib
import io
import os
import tempfile
import time

import vorn_py
from vorn_py.cli import main as vorn_gen

GiB = 1 << 30
MiB = 1 << 20


def timed(fn):
    """(wall seconds, CPU seconds) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def run_cli(*args):
    with contextlib.redirect_stdout(io.StringIO()):
        status = vorn_gen([*map(str, args), "-q"])
    if status not in (0,):
        raise SystemExit(f"vorn-gen {' '.join(map(str, args))} failed with status {status}")


def read_loop(path, buffer_size):
    buffer = bytearray(buffer_size)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(view):
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size", type=int, default=2 * GiB, help="bytes per run")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--dir", default=None,
                        help="where to write the file that verify reads (default: a "
                             "temporary directory)")
    args = parser.parse_args()
    size = args.size

    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        data, manifest = os.path.join(work, "data"), os.path.join(work, "data.manifest")
        scratch = os.path.join(work, "scratch.manifest")
        run_cli("generate", size, "-o", data, "--manifest", manifest)
        read_loop(data, 4 * MiB)  # into the page cache

        cases = {
            "generate, dedup 1": lambda: run_cli("generate", size, "-o", os.devnull),
            "generate --manifest, dedup 1": lambda: run_cli(
                "generate", size, "-o", os.devnull, "--manifest", scratch),
            "generate, dedup 4": lambda: run_cli(
                "generate", size, "-o", os.devnull, "--dedup", 4),
            "generate --manifest, dedup 4": lambda: run_cli(
                "generate", size, "-o", os.devnull, "--dedup", 4, "--manifest", scratch),
            "read loop, 1 MiB buffer": lambda: read_loop(data, MiB),
            "read loop, 4 MiB buffer": lambda: read_loop(data, 4 * MiB),
            "read loop, 32 MiB buffer": lambda: read_loop(data, 32 * MiB),
            "verify": lambda: run_cli("verify", data, "--manifest", manifest),
        }
        best = {name: [float("inf"), float("inf")] for name in cases}
        for _ in range(args.repeats):
            for name, fn in cases.items():
                wall, cpu = timed(fn)
                best[name][0] = min(best[name][0], wall)
                best[name][1] = min(best[name][1], cpu)

    def rates(name):
        wall, cpu = best[name]
        return size / wall / 1e9, size / cpu / 1e9

    read_names = [name for name in cases if name.startswith("read loop")]
    best_read = max(read_names, key=lambda name: rates(name)[0])
    comparisons = [
        ("generate --manifest, dedup 1", "generate, dedup 1", 0.7),
        ("generate --manifest, dedup 4", "generate, dedup 4", 0.9),
        ("verify", best_read, 0.8),
    ]
    print(f"vorn_py {vorn_py.__version__}, {size / GiB:.2f} GiB per run, best of "
          f"{args.repeats}, {len(os.sched_getaffinity(0))} CPUs")
    print(f"{'case':<32} {'GB/s':>7} {'GB/CPU-s':>9}")
    for name in cases:
        wall_rate, cpu_rate = rates(name)
        print(f"{name:<32} {wall_rate:7.2f} {cpu_rate:9.2f}")
    print()
    print(f"{'case':<32} {'vs. baseline':<26} {'GB/s':>6} {'GB/CPU-s':>9} {'target':>7}")
    for name, baseline, target in comparisons:
        wall_ratio = rates(name)[0] / rates(baseline)[0]
        cpu_ratio = rates(name)[1] / rates(baseline)[1]
        verdict = "met" if wall_ratio >= target else "NOT met"
        print(f"{name:<32} {baseline:<26} {wall_ratio:5.2f}x {cpu_ratio:8.2f}x "
              f"{target:6.1f}x {verdict}")


if __name__ == "__main__":
    main()
