"""Command line: generate a data set with chosen ratios and report the speed."""

import argparse
import re
import sys
import time

import vorn_py

_UNITS = {
    "": 1, "b": 1,
    "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
    "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40,
}


def parse_size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([A-Za-z]*)\s*", text)
    if not match or match.group(2).lower() not in _UNITS:
        raise argparse.ArgumentTypeError(f"invalid size: {text!r}")
    return int(match.group(1)) * _UNITS[match.group(2).lower()]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vorn_py")
    parser.add_argument("size", type=parse_size, help="bytes to generate, e.g. 1GiB")
    parser.add_argument("--dedup", type=float, default=1.0)
    parser.add_argument("--compress", type=float, default=1.0)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args(argv)

    start = time.perf_counter()
    data = vorn_py.generate_buffer(args.size, dedup_ratio=args.dedup,
                                   compress_ratio=args.compress, max_threads=args.threads)
    seconds = time.perf_counter() - start
    print(f"{len(data)} bytes in {seconds:.3f} s: {len(data) / seconds / 1e9:.2f} GB/s "
          f"(dedup {args.dedup}, compress {args.compress})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
