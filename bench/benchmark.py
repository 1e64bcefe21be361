"""Throughput of the streaming and one-shot calls beside limits measured in
the same run: GB/s and GB per CPU-second (process CPU time, so that the
noise of a shared machine cancels), best of several runs, the candidates of
each comparison interleaved round by round.

Each comparison also runs today's build: the extension of a base commit,
built once into build/bench-baseline/<commit> and loaded beside this one,
and this build forced onto its scalar fill path (the private _fill_path
switch; the bytes stay the same). At the end every target is
printed with its measured ratio and whether it is met.

    .venv/bin/python bench/benchmark.py [--repeats 5] [--baseline-commit d70c342]
                                        [--no-baseline] [--write-readme]
"""

import argparse
import ctypes
import gc
import importlib.util
import mmap
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import _vorncore

MiB = 1 << 20
GiB = 1 << 30
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(REPO, "README.md")
TABLE_START, TABLE_END = "<!-- bench-table -->", "<!-- /bench-table -->"

libc = ctypes.CDLL(None, use_errno=True)
libc.memset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
libc.memset.restype = ctypes.c_void_p


# --- today's build ----------------------------------------------------------

def baseline_module(commit):
    """The extension built from `commit`, loaded under its own name beside
    this one; built on first use (a few minutes)."""
    target = os.path.join(REPO, "build", "bench-baseline", commit)
    found = [f for f in os.listdir(target) if f.startswith("_vorncore") and f.endswith(".so")] \
        if os.path.isdir(target) else []
    if not found:
        print(f"building the extension of {commit} into {target} ...", file=sys.stderr, flush=True)
        with tempfile.TemporaryDirectory() as source:
            archive = subprocess.run(["git", "-C", REPO, "archive", commit], check=True,
                                     capture_output=True).stdout
            subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
            subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                            "--no-deps", "--target", target, source], check=True)
        found = [f for f in os.listdir(target) if f.startswith("_vorncore") and f.endswith(".so")]
    spec = importlib.util.spec_from_file_location("_vorncore", os.path.join(target, found[0]))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class FillPath:
    """Runs a call of this build on one fill path, then goes back to the
    automatic choice."""

    def __init__(self, module, path):
        self.module, self.path = module, path

    def __enter__(self):
        self.module._fill_path(self.path)

    def __exit__(self, *exc):
        self.module._fill_path("auto")


# --- measuring --------------------------------------------------------------

class Best:
    """Best wall and best CPU time of one candidate, each on its own: on a
    shared machine the two minima need not come from the same run."""

    def __init__(self, label, nbytes, fn):
        self.label, self.nbytes, self.fn = label, nbytes, fn
        self.wall = self.cpu = float("inf")

    def sample(self):
        gc.collect()
        w0, c0 = time.perf_counter(), time.process_time()
        self.fn()
        w1, c1 = time.perf_counter(), time.process_time()
        self.wall = min(self.wall, w1 - w0)
        self.cpu = min(self.cpu, max(c1 - c0, 1e-9))

    @property
    def gbs(self):
        return self.nbytes / self.wall / 1e9

    @property
    def cpu_gbs(self):
        return self.nbytes / self.cpu / 1e9


def compare(candidates, repeats):
    """Samples every candidate once per round, for `repeats` rounds."""
    for _ in range(repeats):
        for candidate in candidates:
            candidate.sample()
    return candidates


# --- the work ---------------------------------------------------------------

STREAM = 256 * MiB
WARM = 32 * MiB


def stream_through(module, buffer, compress):
    gen = module.Generator(STREAM, compress_ratio=compress, max_threads=1)
    while gen.fill_chunk(buffer):
        pass


def stream_scalar(module, buffer, compress):
    with FillPath(module, "scalar"):
        stream_through(module, buffer, compress)


def fresh_huge_page_memset(size):
    """Writing fresh memory as well as this machine can: a new mapping asked
    for transparent huge pages, set by the C library's memset."""
    area = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    try:
        area.madvise(mmap.MADV_HUGEPAGE)
        view = (ctypes.c_char * size).from_buffer(area)
        libc.memset(ctypes.addressof(view), 0x5A, size)
        del view
    finally:
        area.close()


def one_shot(module, size, **kwargs):
    view = module.generate_buffer(size, max_threads=1, **kwargs)
    del view


def calls(module, count, **kwargs):
    for _ in range(count):
        one_shot(module, 4 * MiB, **kwargs)


# --- report -----------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5, help="runs per candidate (best kept)")
    parser.add_argument("--baseline-commit", default="d70c342",
                        help="the commit whose build is 'today's build'")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip today's build (the scalar path is still shown)")
    parser.add_argument("--write-readme", action="store_true",
                        help="replace the README's benchmark table with this run's")
    args = parser.parse_args()
    repeats = args.repeats

    new = _vorncore
    old = None if args.no_baseline else baseline_module(args.baseline_commit)
    best_path = new._fill_path()
    cpus = len(os.sched_getaffinity(0))
    print(f"fill path {best_path}; {cpus} CPUs; best of {repeats}; one thread per call "
          f"unless noted", flush=True)

    rows = []        # (group, Best, limit Best or None, today Best or None)
    targets = []     # (text, ratio, goal, met)

    def at_least(text, ratio, goal):
        targets.append((text, ratio, ratio >= goal))

    def show(group, candidate, limit=None, today=None):
        rows.append((group, candidate, limit, today))
        extra = ""
        if limit is not None:
            extra += f"  {candidate.cpu_gbs / limit.cpu_gbs:5.2f}x limit"
        if today is not None:
            extra += f"  {candidate.cpu_gbs / today.cpu_gbs:5.2f}x today"
        print(f"  {candidate.label:<58} {candidate.gbs:7.2f} GB/s {candidate.cpu_gbs:7.2f} "
              f"GB/cpu-s{extra}", flush=True)

    # fill_chunk into a warm 32 MiB buffer.
    buffer = bytearray(WARM)
    array = np.frombuffer(buffer, dtype=np.uint8)
    array.fill(1)
    address = array.ctypes.data
    print("Generator.fill_chunk into a warm 32 MiB buffer, 256 MiB streams:")
    warm_fill = Best("limit: numpy fill of the buffer (ordinary stores)", WARM,
                     lambda: array.fill(0xA5))
    warm_memset = Best("limit: memset of the buffer (C library)", WARM,
                       lambda: libc.memset(address, 0x5A, WARM))
    compare([warm_fill, warm_memset], repeats * 4)
    show("fill_chunk", warm_fill)
    show("fill_chunk", warm_memset)
    for compress in (1, 3, 10):
        mine = Best(f"`fill_chunk` compress {compress}", STREAM,
                    lambda c=compress: stream_through(new, buffer, c))
        forced = Best(f"`fill_chunk` compress {compress}, scalar path", STREAM,
                      lambda c=compress: stream_scalar(new, buffer, c))
        candidates = [mine, forced]
        if old is not None:
            today = Best(f"`fill_chunk` compress {compress}, today's build", STREAM,
                         lambda c=compress: stream_through(old, buffer, c))
            candidates.append(today)
        compare(candidates, repeats)
        reference = candidates[-1]
        if old is not None:
            show("fill_chunk", today, warm_fill)
        show("fill_chunk", forced, warm_fill, reference if old is not None else None)
        show("fill_chunk", mine, warm_fill, reference)
        goal = 2.5 if compress == 1 else 1.6
        at_least(f"`fill_chunk` compress {compress}: >= {goal}x "
                 f"{'today' if old is not None else 'the scalar path'}",
                 mine.cpu_gbs / reference.cpu_gbs, goal)
        if compress == 1:
            at_least("`fill_chunk` compress 1: >= 0.9x warm ordinary stores",
                     mine.cpu_gbs / warm_fill.cpu_gbs, 0.9)
    del array, buffer

    # One-shot 1 GiB outputs.
    print("generate_buffer, 1 GiB of fresh memory:")
    fresh = Best("limit: fresh huge-page memory (mmap, MADV_HUGEPAGE, memset)", GiB,
                 lambda: fresh_huge_page_memset(GiB))
    c1 = Best("`generate_buffer` compress 1", GiB, lambda: one_shot(new, GiB))
    candidates = [fresh, c1]
    if old is not None:
        c1_old = Best("`generate_buffer` compress 1, today's build", GiB, lambda: one_shot(old, GiB))
        candidates.append(c1_old)
    compare(candidates, repeats)
    show("1 GiB", fresh)
    if old is not None:
        show("1 GiB", c1_old, fresh)
    show("1 GiB", c1, fresh, c1_old if old is not None else None)
    at_least("`generate_buffer` 1 GiB compress 1: >= 0.8x fresh huge-page memory",
             c1.cpu_gbs / fresh.cpu_gbs, 0.8)

    d1 = Best("`generate_buffer` dedup 1, compress 3", GiB,
              lambda: one_shot(new, GiB, compress_ratio=3))
    d4 = Best("`generate_buffer` dedup 4, compress 3", GiB,
              lambda: one_shot(new, GiB, dedup_ratio=4, compress_ratio=3))
    candidates = [d1, d4]
    if old is not None:
        d1_old = Best("`generate_buffer` dedup 1, compress 3, today's build", GiB,
                      lambda: one_shot(old, GiB, compress_ratio=3))
        d4_old = Best("`generate_buffer` dedup 4, compress 3, today's build", GiB,
                      lambda: one_shot(old, GiB, dedup_ratio=4, compress_ratio=3))
        candidates += [d1_old, d4_old]
    compare(candidates, repeats)
    if old is not None:
        show("1 GiB", d1_old, fresh)
        show("1 GiB", d4_old, fresh)
    show("1 GiB", d1, fresh, d1_old if old is not None else None)
    show("1 GiB", d4, fresh, d4_old if old is not None else None)
    at_least("`generate_buffer` 1 GiB dedup 4 compress 3: >= 1.5x dedup 1 compress 3",
             d4.cpu_gbs / d1.cpu_gbs, 1.5)

    # The per-call set-up of 4 MiB calls.
    print("generate_buffer, 4 MiB calls (ms per call):")
    per_sample = 50
    modes = [("auto", new), ("disabled", new)]
    if old is not None:
        modes += [("auto", old), ("disabled", old)]
    setups = [Best(f"{mode}{', today' if module is old else ''}", 0,
                   lambda m=mode, mod=module: calls(mod, per_sample, numa_mode=m))
              for mode, module in modes]
    compare(setups, repeats)
    per_call = []
    for candidate in setups:
        cpu_ms, wall_ms = candidate.cpu / per_sample * 1e3, candidate.wall / per_sample * 1e3
        per_call.append((candidate.label, cpu_ms, wall_ms))
        print(f"  `generate_buffer` 4 MiB, numa_mode {candidate.label:<18} {cpu_ms:6.3f} ms CPU "
              f"{wall_ms:6.3f} ms wall", flush=True)
    auto_ratio = per_call[0][1] / per_call[1][1]
    targets.append(("`generate_buffer` 4 MiB: auto <= 1.5x disabled (CPU per call)",
                    auto_ratio, auto_ratio <= 1.5))

    print("\ntargets:")
    for text, ratio, met in targets:
        print(f"  {text:<72} {ratio:5.2f}x  {'met' if met else 'NOT met'}")

    if args.write_readme:
        write_readme(markdown(rows, per_call, targets, best_path, repeats))


def markdown(rows, per_call, targets, best_path, repeats):
    lines = [f"Fill path `{best_path}`, best of {repeats}, one thread per call; ratios are of GB "
             "per CPU-second.", "",
             "| work | GB/s | GB per CPU-s | vs. limit | vs. today |", "|---|---|---|---|---|"]
    group = None
    for name, candidate, limit, today in rows:
        if name != group:
            title = ("`Generator.fill_chunk` into a warm 32 MiB buffer, 256 MiB streams"
                     if name == "fill_chunk" else "`generate_buffer`, 1 GiB of fresh memory")
            lines.append(f"| **{title}** | | | | |")
            group = name
        vs_limit = f"{candidate.cpu_gbs / limit.cpu_gbs:.2f}x" if limit else ""
        vs_today = f"{candidate.cpu_gbs / today.cpu_gbs:.2f}x" if today else ""
        lines.append(f"| {candidate.label} | {candidate.gbs:.2f} | {candidate.cpu_gbs:.2f} | "
                     f"{vs_limit} | {vs_today} |")
    lines += ["", "| `generate_buffer` 4 MiB, `numa_mode` | ms CPU per call | ms wall per call |",
              "|---|---|---|"]
    lines += [f"| {label} | {cpu:.3f} | {wall:.3f} |" for label, cpu, wall in per_call]
    lines += ["", "| target | measured | met |", "|---|---|---|"]
    for text, ratio, met in targets:
        lines.append(f"| {text} | {ratio:.2f}x | {'yes' if met else 'no'} |")
    return "\n".join(lines) + "\n"


def write_readme(table):
    with open(README) as f:
        text = f.read()
    start, end = text.index(TABLE_START), text.index(TABLE_END)
    text = text[:start + len(TABLE_START)] + "\n" + table + text[end:]
    with open(README, "w") as f:
        f.write(text)
    print(f"wrote the table into {README}")


if __name__ == "__main__":
    main()
