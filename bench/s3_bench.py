"""Uploads of generated data to the local S3 test store, side by side with
the same bytes uploaded from ready buffers, and the checks of failures,
ratios and the manifest, in one run.

    .venv/bin/python bench/s3_bench.py [--size-mib 512] [--part-mib 32]
        [--concurrency 4] [--turns 5] [--sweep] [--skip-checks]

Throughput: each turn uploads SIZE bytes as one object in parts of PART,
CONCURRENCY in flight, once from ready bytearrays (the baseline of
bench/s3_upload.py, holding data generated beforehand with the same ratios)
and once through write_file (generating into the part buffers meanwhile), at
compress 1 and at dedup 2 compress 3, and 256 objects of 64 KiB both ways;
the candidates take turns, in another order each turn. Printed: the best wall-clock rate of each, the median of the
turn-by-turn ratios, and GB per CPU-second of this process and of the store.
--sweep adds the baseline and write_file at other part sizes and
concurrencies, the figures the defaults were chosen from.

Checks (unless --skip-checks), each through vorn-gen in a child process:
an interrupt (SIGINT once parts are stored), a bucket removed mid-way and a
wrong secret each exit with a clear message and leave no multipart upload;
a data set written to the store, read back, has the dedup at 4 KiB and the
zstd ratio of 4 KiB records that the same data set has as files; and the
manifest verifies it.

Uses the store named by VORN_TEST_S3_DIR, else starts one for the run.
"""

import argparse
import io
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
sys.path.insert(0, str(HERE))
from s3_server import (  # noqa: E402
    STORE_DIR_VARIABLE, S3Store, remove_bucket, start_store, stop_store, uploads_left,
    wait_for_a_stored_part)
from s3_upload import server_cpu_seconds, upload  # noqa: E402

import vorn_py  # noqa: E402
from vorn_py import measure  # noqa: E402
from vorn_py.dataset import write_dataset, write_file  # noqa: E402
from vorn_py.s3 import S3Target  # noqa: E402

MiB = 1 << 20
VORN = str(Path(sys.executable).with_name("vorn-gen"))


class Figures:
    def __init__(self, name, size):
        self.name = name
        self.size = size
        self.runs = []  # (wall, client cpu, store cpu)

    def add(self, wall, cpu, store):
        self.runs.append((wall, cpu, store))

    @property
    def best(self):
        return min(self.runs)

    def line(self):
        wall, cpu, store = self.best
        return (f"{self.name:<44} {self.size / MiB / wall:8.1f} MiB/s  "
                f"client {self.size / 1e9 / cpu:5.2f} GB/CPU-s  "
                f"store {self.size / 1e9 / store:5.2f} GB/CPU-s")


def timed(store, work):
    wall, cpu, server = time.perf_counter(), time.process_time(), server_cpu_seconds(store)
    work()
    return (time.perf_counter() - wall, time.process_time() - cpu,
            max(server_cpu_seconds(store) - server, 1e-9))


def put_many(client, bucket, prefix, bodies, concurrency):
    def put(numbered):
        number, body = numbered
        client.put_object(Bucket=bucket, Key=f"{prefix}/f{number:03d}", Body=body)

    with ThreadPoolExecutor(concurrency) as pool:
        list(pool.map(put, enumerate(bodies)))


def empty(client, bucket):
    for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket):
        keys = [{"Key": item["Key"]} for item in page.get("Contents", [])]
        if keys:
            client.delete_objects(Bucket=bucket, Delete={"Objects": keys})


def generated_parts(size, part, **ratios):
    """``size`` bytes of generated data as ready bytearrays of ``part`` bytes."""
    data = vorn_py.generate_buffer(size, **ratios)
    view = memoryview(data)[:size]
    return [bytearray(view[i:i + part]) for i in range(0, size, part)]


def throughput(store, size, part, concurrency, turns, small_count=256, small_size=64 << 10):
    """Uploads of generated data beside the same kind of bytes (the same
    size and ratios) uploaded from ready buffers."""
    client = store.client()
    bucket = "bench-throughput"
    client.create_bucket(Bucket=bucket)
    target = S3Target(f"s3://{bucket}/generated", part_size=part, concurrency=concurrency)
    small_target = S3Target(f"s3://{bucket}/set/", concurrency=concurrency)
    ready1 = generated_parts(size, part)
    ready3 = generated_parts(size, part, dedup_ratio=2.0, compress_ratio=3.0)
    small = generated_parts(small_count * small_size, small_size)
    # (baseline, candidate) pairs; the candidates of a pair share the bytes' kind.
    pairs = [
        (("ready buffers, one object, compress 1",
          lambda: upload(client, bucket, "ready", ready1, concurrency)),
         ("write_file, one object, compress 1", lambda: write_file(target, size))),
        (("ready buffers, one object, dedup 2 compress 3",
          lambda: upload(client, bucket, "ready", ready3, concurrency)),
         ("write_file, one object, dedup 2 compress 3",
          lambda: write_file(target, size, dedup_ratio=2, compress_ratio=3))),
        ((f"ready buffers, {small_count} x 64 KiB",
          lambda: put_many(client, bucket, "ready-set", small, concurrency)),
         (f"write_dataset, {small_count} x 64 KiB",
          lambda: write_dataset(small_target, small_count * small_size, files=small_count))),
    ]
    sizes = [size, size, small_count * small_size]
    figures = {name: Figures(name, amount)
               for pair, amount in zip(pairs, sizes) for name, _ in pair}
    ratios = {candidate[0]: [] for _, candidate in pairs}
    runs = [run for pair in pairs for run in pair]
    try:
        for turn in range(turns):
            # Each turn runs the candidates in another order, so that what
            # one leaves behind in the store (files still being flushed)
            # does not always fall on the same one; ratios are taken within
            # a turn.
            walls = {}
            shift = turn % len(runs)
            for name, work in runs[shift:] + runs[:shift]:
                measured = timed(store, work)
                figures[name].add(*measured)
                walls[name] = measured[0]
                empty(client, bucket)
            for (baseline, _), (candidate, _) in pairs:
                ratios[candidate].append(walls[baseline] / walls[candidate])
            print(f"  turn {turn + 1} of {turns} done", flush=True)
    finally:
        remove_bucket(client, bucket)
    print(f"\n{size // MiB} MiB in parts of {part // MiB} MiB, {concurrency} in flight; "
          f"best of {turns} turns")
    for item in figures.values():
        print(item.line())
    print()
    results = []
    for name, values in ratios.items():
        median = statistics.median(values)
        print(f"{name:<44} median of turn ratios {median:.2f}x ready buffers "
              f"(turns: {', '.join(f'{v:.2f}' for v in values)})")
        results.append((f"{name}: >= 0.9x ready buffers", f"{median:.2f}x", median >= 0.9))
    return results


def sweep(store, size, turns):
    client = store.client()
    bucket = "bench-sweep"
    client.create_bucket(Bucket=bucket)
    data = os.urandom(size)
    try:
        print("\npart size x concurrency: ready buffers and write_file, best of "
              f"{turns}, MiB/s (client GB per CPU-s)")
        for part_mib in (5, 8, 16, 32, 64):
            part = part_mib * MiB
            parts = [bytearray(data[i:i + part]) for i in range(0, size, part)]
            for concurrency in (2, 4, 8):
                target = S3Target(f"s3://{bucket}/g", part_size=part, concurrency=concurrency)
                ready, ours = Figures("", size), Figures("", size)
                for _ in range(turns):
                    ready.add(*timed(store, lambda: upload(client, bucket, "r", parts,
                                                          concurrency)))
                    ours.add(*timed(store, lambda: write_file(target, size)))
                cells = []
                for figures in (ready, ours):
                    wall, cpu, _ = figures.best
                    cells.append(f"{size / MiB / wall:6.1f} ({size / 1e9 / cpu:4.2f})")
                print(f"  {part_mib:3d} MiB x {concurrency}: ready {cells[0]}   "
                      f"write_file {cells[1]}", flush=True)
            del parts
    finally:
        remove_bucket(client, bucket)


# ------------------------------------------------------------------ checks

def vorn(env, *args):
    return subprocess.Popen([VORN, *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def stopped_mid_way(client, env, bucket, stop):
    """vorn-gen uploading 2 GiB to ``bucket``, stopped by ``stop(child)``
    once a part is stored: whether one was, the exit status, the uploads
    left (in the bucket made again if it went), and the message."""
    client.create_bucket(Bucket=bucket)
    child = vorn(env, "generate", "2GiB", "-o", f"s3://{bucket}/big", "--part-size", "5MiB",
                 "--concurrency", "2")
    try:
        stored = wait_for_a_stored_part(client, bucket, deadline=60.0)
        stop(child)
        _, err = child.communicate(timeout=120)
    finally:
        child.kill()
    if bucket not in [item["Name"] for item in client.list_buckets()["Buckets"]]:
        client.create_bucket(Bucket=bucket)
    return stored, child.returncode, len(uploads_left(client, bucket)), err.strip()


def checks(store):
    client = store.client()
    env = store.subprocess_env()
    results = []

    stored, status, left, err = stopped_mid_way(
        client, env, "bench-interrupt", lambda child: child.send_signal(signal.SIGINT))
    print(f"\ninterrupt: exit {status}, {left} uploads left: {err}")
    results.append(("SIGINT mid-way: exit 130, no multipart upload left",
                    f"exit {status}, {left} left", stored and status == 130 and left == 0))
    remove_bucket(client, "bench-interrupt")

    bucket = "bench-removed"
    stored, status, left, err = stopped_mid_way(
        client, env, bucket, lambda child: client.delete_bucket(Bucket=bucket))
    print(f"bucket removed: exit {status}, {left} uploads left: {err}")
    results.append(("bucket removed mid-way: exit 1, no multipart upload left",
                    f"exit {status}, {left} left", stored and status == 1 and left == 0))

    wrong = dict(env, AWS_SECRET_ACCESS_KEY="0" * 40)
    child = vorn(wrong, "generate", "64MiB", "-o", f"s3://{bucket}/wrong")
    _, err = child.communicate(timeout=120)
    left = len(uploads_left(client, bucket))
    clear = "access key" in err and "secret key" in err
    print(f"wrong secret: exit {child.returncode}, {left} uploads left: {err.strip()}")
    results.append(("wrong secret: exit 1, names key and secret, nothing left",
                    f"exit {child.returncode}, {left} left",
                    child.returncode == 1 and clear and left == 0))

    size, files = 256 * MiB, 64
    options = dict(files=files, dedup_ratio=4, compress_ratio=3)
    with tempfile.TemporaryDirectory(prefix="s3-bench-") as scratch:
        manifest = os.path.join(scratch, "set.manifest")
        write_dataset(f"s3://{bucket}/set/", size, manifest=manifest, **options)
        write_dataset(os.path.join(scratch, "files"), size, **options)
        stored = io.BytesIO()
        for index in range(files):
            body = client.get_object(Bucket=bucket, Key=f"set/f{index:02d}")["Body"]
            stored.write(body.read())
        local = b"".join(Path(scratch, "files", f"f{index:02d}").read_bytes()
                         for index in range(files))
        figures = {}
        for name, data in (("objects", stored.getvalue()), ("files", local)):
            figures[name] = (measure.dedup_ratio(data),
                             measure.compression_ratio(data, "zstd", level=3,
                                                       record_size=4096))
        print(f"ratios read back, 256 MiB in 64 objects at dedup 4, compress 3: "
              f"objects dedup {figures['objects'][0]:.3f} zstd-3 4K "
              f"{figures['objects'][1]:.3f}; files dedup {figures['files'][0]:.3f} "
              f"zstd-3 4K {figures['files'][1]:.3f}")
        same_dedup = figures["objects"][0] == figures["files"][0] == 4.0
        close = abs(figures["objects"][1] / figures["files"][1] - 1) < 0.01
        results.append(("dedup at 4 KiB of the objects as of the files (4.00)",
                        f"{figures['objects'][0]:.3f}", same_dedup))
        results.append(("zstd-3 of 4 KiB records of the objects within 1% of the files'",
                        f"{figures['objects'][1] / figures['files'][1]:.4f}x", close))
        checked = subprocess.run([VORN, "verify", f"s3://{bucket}/set/", "--manifest",
                                  manifest, "-q"], env=env, capture_output=True, text=True)
        results.append(("the manifest verifies the objects", f"exit {checked.returncode}",
                        checked.returncode == 0))
    remove_bucket(client, bucket)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=512)
    parser.add_argument("--part-mib", type=int, default=32)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--turns", type=int, default=5)
    parser.add_argument("--sweep", action="store_true")
    parser.add_argument("--skip-checks", action="store_true")
    args = parser.parse_args()

    shared = os.environ.get(STORE_DIR_VARIABLE)
    with tempfile.TemporaryDirectory(prefix="s3-bench-") as scratch:
        store = (S3Store.from_directory(shared) if shared
                 else start_store(Path(scratch) / "store", owner=os.getpid()))
        os.environ.update(store.env)  # write_file and write_dataset find the store
        try:
            results = throughput(store, args.size_mib * MiB, args.part_mib * MiB,
                                 args.concurrency, args.turns)
            if args.sweep:
                sweep(store, args.size_mib * MiB, max(1, args.turns // 2))
            if not args.skip_checks:
                results += checks(store)
        finally:
            if not shared:
                stop_store(store.directory)
    print("\n| target | measured | met |\n|---|---|---|")
    for name, measured, met in results:
        print(f"| {name} | {measured} | {'yes' if met else 'no'} |")


if __name__ == "__main__":
    main()
