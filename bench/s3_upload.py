"""Multipart upload rate to the local S3 test store from ready buffers.

The baseline that any upload of generated data is judged against: the same
bytes, already in memory as one bytearray per part, uploaded with the same
part size and concurrency. Prints, per client setting, the best wall-clock
rate of several runs and the CPU seconds the client and the store spent,
since wall time alone means little on a shared machine.

Uses the store named by VORN_TEST_S3_DIR, else starts one for the run:

    .venv/bin/python bench/s3_upload.py [--size-mib 256] [--part-mib 8]
        [--concurrency 4] [--repeats 3]
"""

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from s3_server import (  # noqa: E402
    STORE_DIR_VARIABLE, S3Store, client_config, start_store, stop_store)

MiB = 1 << 20


def server_cpu_seconds(store):
    """CPU seconds used so far by the store's server processes."""
    total = 0
    tick = os.sysconf("SC_CLK_TCK")
    for pid_file in (store.directory / "run").glob("*.pid"):
        with open(f"/proc/{pid_file.read_text().strip()}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / tick


def upload(client, bucket, key, parts, concurrency):
    upload_id = client.create_multipart_upload(Bucket=bucket, Key=key)["UploadId"]
    try:
        def send(numbered):
            number, body = numbered
            reply = client.upload_part(Bucket=bucket, Key=key, UploadId=upload_id,
                                       PartNumber=number, Body=body)
            return {"PartNumber": number, "ETag": reply["ETag"]}

        with ThreadPoolExecutor(concurrency) as pool:
            done = list(pool.map(send, enumerate(parts, 1)))
        client.complete_multipart_upload(Bucket=bucket, Key=key, UploadId=upload_id,
                                         MultipartUpload={"Parts": done})
    except BaseException:
        client.abort_multipart_upload(Bucket=bucket, Key=key, UploadId=upload_id)
        raise


def measure(store, name, config, parts, concurrency, repeats):
    client = store.client(config=config)
    bucket = "bench-" + name
    client.create_bucket(Bucket=bucket)
    size = sum(len(p) for p in parts)
    best = None
    for run in range(repeats):
        key = f"object-{run}"
        wall, cpu, server = time.perf_counter(), time.process_time(), server_cpu_seconds(store)
        upload(client, bucket, key, parts, concurrency)
        figures = (time.perf_counter() - wall, time.process_time() - cpu,
                   server_cpu_seconds(store) - server)
        head = client.head_object(Bucket=bucket, Key=key)
        assert head["ContentLength"] == size, head
        client.delete_object(Bucket=bucket, Key=key)
        if best is None or figures[0] < best[0]:
            best = figures
    wall, cpu, server = best
    print(f"{name:>16}: {size / MiB / wall:7.1f} MiB/s wall, "
          f"client {size / 1e9 / cpu:5.2f} GB per CPU-s ({cpu:.2f} s), "
          f"store {server:.2f} CPU-s", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--part-mib", type=int, default=8)
    parser.add_argument("--concurrency", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    part = args.part_mib * MiB
    data = os.urandom(args.size_mib * MiB)
    parts = [bytearray(data[i:i + part]) for i in range(0, len(data), part)]
    del data
    print(f"{args.size_mib} MiB in {len(parts)} parts of {args.part_mib} MiB, "
          f"{args.concurrency} in flight, best of {args.repeats}", flush=True)

    shared = os.environ.get(STORE_DIR_VARIABLE)
    with tempfile.TemporaryDirectory(prefix="s3-bench-") as scratch:
        if shared:
            store = S3Store.from_directory(shared)
        else:
            started = time.perf_counter()
            store = start_store(Path(scratch) / "store", owner=os.getpid())
            print(f"store started in {time.perf_counter() - started:.2f} s", flush=True)
        try:
            measure(store, "signed-payload", client_config(), parts,
                    args.concurrency, args.repeats)
            unsigned = client_config(s3={"addressing_style": "path",
                                         "payload_signing_enabled": False})
            measure(store, "unsigned-payload", unsigned, parts, args.concurrency,
                    args.repeats)
        finally:
            if not shared:
                stop_store(store.directory)


if __name__ == "__main__":
    main()
