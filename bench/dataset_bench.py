"""What the writer reaches beside baselines measured in the same run:

- 4 GiB with direct I/O to a directory on the disk, against
  `dd if=/dev/zero of=F bs=32M count=128 oflag=direct`;
- 4 GiB to /dev/null, against `Generator.fill_chunk` alone into one reused
  32 MiB buffer;
- 10,000 files of 64 KiB at dedup 2, compress 3, against a plain loop that
  opens, writes and closes the same files from data generated beforehand
  into memory; then the data set's dedup ratio at 4 KiB (against the plan)
  and zstd-3 per 4 KiB record (against 3).

The cases take turns, so that a noisy, shared machine slows them alike.
Prints GB/s (best wall time) and GB per CPU-second (best process CPU time,
every thread counted; a child's for dd), each figure's ratio to its
baseline and, in brackets, the median of the ratios turn by turn. Files written are removed, and the disk synced, after each run.
"""

import argparse
import io
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import vorn_py
from vorn_py import measure
from vorn_py.cli import achievable_dedup
from vorn_py.dataset import write_dataset, write_file
from vorn_py.layout import DatasetLayout

GiB = 1 << 30
MiB = 1 << 20
KiB = 1 << 10


def file_system_of(path):
    """(mount point, type, device) of the file system holding path."""
    path = os.path.realpath(path)
    best = ("", "?", "?")
    with open("/proc/mounts") as mounts:
        for line in mounts:
            device, point, kind = line.split()[:3]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best[0]):
                best = (point, kind, device)
    return best


def run_dd(path, size):
    """dd of `size` bytes of zeros with direct I/O: (wall, CPU of the child)."""
    start = time.perf_counter()
    proc = subprocess.Popen(["dd", "if=/dev/zero", f"of={path}", "bs=32M",
                             f"count={size // (32 * MiB)}", "oflag=direct"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    errors = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"dd failed: {errors.decode(errors='replace')}")
    return wall, usage.ru_utime + usage.ru_stime


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def fill_alone(size):
    generator = vorn_py.Generator(size)
    buffer = bytearray(32 * MiB)
    view = memoryview(buffer)
    remaining = size
    while remaining:
        remaining -= generator.fill_chunk(view[:min(len(view), remaining)])


def plain_small_files(directory, count, size, data):
    """The files written by a plain loop from `data`, ready in memory."""
    os.makedirs(directory, exist_ok=True)
    view = memoryview(data)
    for index in range(count):
        fd = os.open(os.path.join(directory, f"f{index:05d}"),
                     os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        try:
            piece = view[index * size:(index + 1) * size]
            while piece:
                piece = piece[os.write(fd, piece):]
        finally:
            os.close(fd)


class Concatenation(io.RawIOBase):
    """The files of a data set read one after another, as one stream."""

    def __init__(self, paths):
        self._paths = list(paths)
        self._current = None

    def readable(self):
        return True

    def readinto(self, buffer):
        while True:
            if self._current is None:
                if not self._paths:
                    return 0
                self._current = open(self._paths.pop(0), "rb", buffering=0)
            count = self._current.readinto(buffer)
            if count:
                return count
            self._current.close()
            self._current = None


def report_line(name, size, runs, base=None):
    """Best GB/s and GB per CPU-second of the runs; against a baseline, the
    ratio of the bests and, in brackets, the median of the run-by-run ratios
    (each run beside the baseline's run of the same turn)."""
    wall, cpu = min(w for w, _ in runs), min(c for _, c in runs)
    rate, per_cpu = size / wall / 1e9, size / cpu / 1e9
    line = f"  {name:<44} {rate:6.2f} GB/s {per_cpu:6.2f} GB/CPU-s"
    if base is None:
        return line + "   (baseline)"
    base_wall, base_cpu = min(w for w, _ in base), min(c for _, c in base)
    turns = sorted(b[0] / r[0] for r, b in zip(runs, base))
    cpu_turns = sorted(b[1] / r[1] for r, b in zip(runs, base))
    return (f"{line}   {base_wall / wall:.2f}x GB/s [{statistics.median(turns):.2f}], "
            f"{base_cpu / cpu:.2f}x GB/CPU-s [{statistics.median(cpu_turns):.2f}]")


def each_turn(cases, repeats, cleanup):
    """(wall, CPU) of every run of every case, the cases taking turns."""
    runs = {name: [] for name in cases}
    for _ in range(repeats):
        for name, fn in cases.items():
            runs[name].append(fn())
            cleanup()
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default="/var/tmp",
                        help="a directory on the disk to measure (default: /var/tmp); "
                             "not a memory file system")
    parser.add_argument("--size", type=int, default=4 * GiB, help="bytes of the large runs")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--file-size", type=int, default=64 * KiB)
    args = parser.parse_args()
    size = args.size - args.size % (32 * MiB)
    point, kind, device = file_system_of(args.dir)
    print(f"disk: {args.dir} on {device} ({kind}, mounted at {point}); {os.cpu_count()} CPUs")

    with tempfile.TemporaryDirectory(dir=args.dir, prefix="vorn-bench-") as work:
        target = os.path.join(work, "data")

        def cleanup():
            if os.path.isdir(target):
                shutil.rmtree(target)
            elif os.path.exists(target):
                os.unlink(target)
            # The next case should not pay for this one's write-back.
            os.sync()

        def ours_direct():
            report = write_file(target, size, dedup_ratio=2.0, compress_ratio=3.0, direct=True)
            return report.seconds, report.cpu_seconds

        def ours_direct_files():
            report = write_dataset(target, size, files=64, dedup_ratio=2.0,
                                   compress_ratio=3.0, direct=True)
            return report.seconds, report.cpu_seconds

        print(f"\n{size / GiB:g} GiB to the disk with direct I/O (best of {args.repeats}):")
        runs = each_turn({"dd": lambda: run_dd(target, size), "ours": ours_direct,
                        "ours, 64 files": ours_direct_files}, args.repeats, cleanup)
        print(report_line("dd bs=32M oflag=direct", size, runs["dd"]))
        print(report_line("write_file --direct, dedup 2, compress 3", size, runs["ours"],
                          base=runs["dd"]))
        print(report_line("write_dataset 64 files --direct", size, runs["ours, 64 files"],
                          base=runs["dd"]))

        def ours_null():
            report = write_file(os.devnull, size)
            return report.seconds, report.cpu_seconds

        print(f"\n{size / GiB:g} GiB to /dev/null (best of {args.repeats}):")
        runs = each_turn({"fill": lambda: timed(lambda: fill_alone(size)), "ours": ours_null},
                       args.repeats, lambda: None)
        print(report_line("Generator.fill_chunk alone, 32 MiB buffer", size, runs["fill"]))
        print(report_line("write_file /dev/null", size, runs["ours"], base=runs["fill"]))

        count, file_size = args.files, args.file_size
        total = count * file_size

        def ours_small():
            report = write_dataset(target, total, files=count, dedup_ratio=2.0,
                                   compress_ratio=3.0)
            return report.seconds, report.cpu_seconds

        print(f"\n{count} files of {file_size // KiB} KiB, dedup 2, compress 3 "
              f"(best of {args.repeats}):")
        ready = vorn_py.generate_buffer(total, dedup_ratio=2.0, compress_ratio=3.0)
        runs = each_turn({"plain": lambda: timed(lambda: plain_small_files(target, count,
                                                                         file_size, ready)),
                        "ours": ours_small}, args.repeats, cleanup)
        del ready
        print(report_line("plain loop from a ready buffer", total, runs["plain"]))
        print(report_line("write_dataset", total, runs["ours"], base=runs["plain"]))

        write_dataset(target, total, files=count, dedup_ratio=2.0, compress_ratio=3.0)
        layout = DatasetLayout.plan(total, files=count)
        paths = [os.path.join(target, entry.path) for entry in layout]
        figures = measure.measure(Concatenation(paths), chunk_size=4096, codecs={"zstd": 3},
                                  combined=False, record_size=4096)
        planned = achievable_dedup(total, 2)
        dedup = figures["dedup_ratio"]
        zstd = figures["records"][4096]["zstd"]["ratio"]
        print(f"  dedup at 4 KiB over the data set: {dedup:.6f}, planned {planned:.6f} "
              f"({'exact' if dedup == planned else 'DIFFERENT'})")
        print(f"  zstd-3 per 4 KiB record: {zstd:.3f}, {100 * (zstd / 3 - 1):+.1f}% from 3")
        cleanup()


if __name__ == "__main__":
    main()
