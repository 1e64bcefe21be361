"""Requested against measured compression ratios, as a Markdown table.

For each requested ratio, generates fresh output (dedup 1) and compresses it
with zstd at levels 1, 3 and 19, lz4, gzip level 6 and xz. The slow codecs
(zstd-19, xz) see the first 16 MiB, the others 64 MiB; every unique block is
a different block, so the sample sizes only change the run time.

    python bench/ratio_table.py [--max-ratio 20] [--write-readme README.md]
"""

import argparse
import re
import sys

import vorn_py
from vorn_py import measure

COLUMNS = [  # (heading, codec, level, sample bytes)
    ("zstd-1", "zstd", 1, 64 << 20),
    ("zstd-3", "zstd", 3, 64 << 20),
    ("zstd-19", "zstd", 19, 16 << 20),
    ("lz4", "lz4", None, 64 << 20),
    ("gzip-6", "zlib", 6, 64 << 20),
    ("xz", "xz", None, 16 << 20),
]
MARKER = re.compile(r"(<!-- ratio-table -->\n).*?(\n<!-- /ratio-table -->)", re.S)


def table(max_ratio):
    available = set(measure.available_codecs())
    columns = [c for c in COLUMNS if c[1] in available]
    lines = ["| requested | " + " | ".join(c[0] for c in columns) + " |",
             "|---" * (len(columns) + 1) + "|"]
    for ratio in range(1, max_ratio + 1):
        data = memoryview(vorn_py.generate_buffer(max(c[3] for c in columns),
                                                  compress_ratio=float(ratio)))
        cells = [f"{measure.compression_ratio(data[:size], codec=codec, level=level):.2f}"
                 for _, codec, level, size in columns]
        lines.append(f"| {ratio} | " + " | ".join(cells) + " |")
        print(lines[-1], file=sys.stderr, flush=True)
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-ratio", type=int, default=20)
    parser.add_argument("--write-readme", metavar="PATH",
                        help="replace the table between the ratio-table markers of PATH")
    args = parser.parse_args()
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
