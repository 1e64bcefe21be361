"""Requested against measured compression ratios, as Markdown tables.

The default table: for each requested ratio, fresh output (dedup 1)
compressed in aligned 4 KiB and 32 KiB records, each on its own with the
codec's one-shot call (vorn_py.measure's record mode), and as a whole stream, streamed
as the command-line tools do: zstd at levels 1 and 3, lz4, gzip level 6,
and, whole only, zstd level 19 and xz. The slow codecs (zstd-19, xz) see
the first 16 MiB, the others 64 MiB; every unique block is a different
block, so the sample sizes only change the run time.

--targets instead prints, for every ratio held to a tolerance, the error of
every codec and record size held to it, and exits with 1 if any lies
outside.

    python bench/ratio_table.py [--max-ratio 20] [--write-readme README.md]
    python bench/ratio_table.py --targets [--size-mib 64]
"""

import argparse
import re
import sys

import vorn_py
from vorn_py import measure

KIB = 1024
MIB = 1 << 20
COLUMNS = [  # (heading, codec, level, record size or None for whole, sample bytes)
    ("zstd-1 4K", "zstd", 1, 4 * KIB, 64 * MIB),
    ("zstd-1 32K", "zstd", 1, 32 * KIB, 64 * MIB),
    ("zstd-1", "zstd", 1, None, 64 * MIB),
    ("zstd-3 4K", "zstd", 3, 4 * KIB, 64 * MIB),
    ("zstd-3 32K", "zstd", 3, 32 * KIB, 64 * MIB),
    ("zstd-3", "zstd", 3, None, 64 * MIB),
    ("zstd-19", "zstd", 19, None, 16 * MIB),
    ("lz4 4K", "lz4", None, 4 * KIB, 64 * MIB),
    ("lz4 32K", "lz4", None, 32 * KIB, 64 * MIB),
    ("lz4", "lz4", None, None, 64 * MIB),
    ("gzip-6 32K", "zlib", 6, 32 * KIB, 64 * MIB),
    ("gzip-6", "zlib", 6, None, 64 * MIB),
    ("xz", "xz", None, None, 16 * MIB),
]
# Every codec and record size held to the requested ratio, and the ratios.
HELD = [(label, codec, level, size)
        for label, codec, level, sizes in [
            ("zstd-1", "zstd", 1, (4 * KIB, 8 * KIB, 32 * KIB, 128 * KIB, None)),
            ("zstd-3", "zstd", 3, (4 * KIB, 8 * KIB, 32 * KIB, 128 * KIB, None)),
            ("lz4", "lz4", None, (4 * KIB, 8 * KIB, 32 * KIB, 128 * KIB, None)),
            ("zlib-6", "zlib", 6, (32 * KIB, 128 * KIB, None))]
        for size in sizes]
HELD_RATIOS = [2, 3, 4, 5, 6, 7, 8, 9, 10, 15, 20]
MARKER = re.compile(r"(<!-- ratio-table -->\n).*?(\n<!-- /ratio-table -->)", re.S)


def tolerance(ratio):
    return 0.05 if ratio <= 10 else 0.10 if ratio <= 15 else 0.12


def ratio_of(data, codec, level, record_size):
    if record_size is None:
        return measure.compression_ratio(data, codec=codec, level=level)
    return measure.compression_ratio(data, codec=codec, level=level, record_size=record_size)


def size_label(size):
    return "whole" if size is None else f"{size // KIB}K"


def table(max_ratio):
    available = set(measure.available_codecs())
    columns = [c for c in COLUMNS if c[1] in available]
    lines = ["| requested | " + " | ".join(c[0] for c in columns) + " |",
             "|---" * (len(columns) + 1) + "|"]
    for ratio in range(1, max_ratio + 1):
        data = memoryview(vorn_py.generate_buffer(max(c[4] for c in columns),
                                                  compress_ratio=float(ratio)))
        cells = [f"{ratio_of(data[:sample], codec, level, size):.2f}"
                 for _, codec, level, size, sample in columns]
        lines.append(f"| {ratio} | " + " | ".join(cells) + " |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def targets(size):
    """Every held cell as % error; returns the table and the cells outside."""
    lines = ["| requested | " + " | ".join(f"{label} {size_label(s)}" for label, _, _, s in HELD)
             + " |", "|---" * (len(HELD) + 1) + "|"]
    outside = []
    for ratio in HELD_RATIOS:
        data = vorn_py.generate_buffer(size, compress_ratio=float(ratio))
        errors = [ratio_of(data, codec, level, s) / ratio - 1 for _, codec, level, s in HELD]
        outside += [f"{ratio}:1 {label} {size_label(s)} {error:+.1%}"
                    for (label, _, _, s), error in zip(HELD, errors)
                    if abs(error) > tolerance(ratio)]
        lines.append(f"| {ratio} | " + " | ".join(f"{100 * e:+.1f}%" for e in errors) + " |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines), outside


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-ratio", type=int, default=20)
    parser.add_argument("--write-readme", metavar="PATH",
                        help="replace the table between the ratio-table markers of PATH")
    parser.add_argument("--targets", action="store_true",
                        help="print the error of every held codec and record size instead")
    parser.add_argument("--size-mib", type=int, default=64,
                        help="fresh output per ratio for --targets (default 64)")
    args = parser.parse_args()
    if args.targets:
        text, outside = targets(args.size_mib * MIB)
        print(text)
        print("tolerance: +-5% for 2-10, +-10% at 15, +-12% at 20")
        print("outside: " + ", ".join(outside) if outside else "all within tolerance")
        sys.exit(1 if outside else 0)
    text = table(args.max_ratio)
    print(text)
    if args.write_readme:
        with open(args.write_readme, encoding="utf-8") as f:
            readme = f.read()
        updated, count = MARKER.subn(lambda m: m.group(1) + text + m.group(2), readme)
        if count != 1:
            sys.exit(f"{args.write_readme}: no ratio-table markers found")
        with open(args.write_readme, "w", encoding="utf-8") as f:
            f.write(updated)


if __name__ == "__main__":
    main()
