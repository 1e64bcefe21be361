"""Object storage targets against the local S3-compatible store: one object
and data sets of objects written and read back (sizes, names, ratios as for
files), manifests that verify them and name a damaged object, failures and
interrupts through vorn-gen that leave no multipart upload behind, usage
errors, a missing SDK, and data sets written by two processes under MPI."""

import json
import os
import signal
import subprocess
import sys

import pytest

from helpers import BLOCK, clean_env, default_sigint, run_python
from s3_server import (  # noqa: F401  (s3_bucket, s3_store: fixtures)
    s3_bucket, s3_store, uploads_left, wait_for_a_stored_part)
from vorn_py import measure
from vorn_py.cli import achievable_dedup
from vorn_py.dataset import WriteError, write_dataset, write_file
from vorn_py.layout import PAGE, DatasetLayout
from vorn_py.manifest import read_manifest
from vorn_py.s3 import MIN_PART_SIZE, S3Target

pytest.importorskip("boto3", reason="the [s3] extra is not installed: pip install '.[s3]'")

BIN = os.path.dirname(sys.executable)
VORN = os.path.join(BIN, "vorn-gen")
MPIEXEC = os.path.join(BIN, "mpiexec")
MiB = 1 << 20
PART = MIN_PART_SIZE
# A watchdog, not a measure: a child that should end within seconds and
# hangs fails its test instead of the suite.
WATCHDOG = 120


@pytest.fixture
def store_env(s3_store, monkeypatch):
    """The store's SDK variables in this process, for write_dataset and verify."""
    for name, value in s3_store.env.items():
        monkeypatch.setenv(name, value)
    return s3_store


def listing(client, bucket, prefix=""):
    """Sizes of the objects under ``prefix``, by key."""
    found = {}
    for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix):
        for item in page.get("Contents", []):
            assert item["Key"] not in found
            found[item["Key"]] = item["Size"]
    return found


def read_set(client, bucket, prefix, layout):
    return b"".join(client.get_object(Bucket=bucket, Key=prefix + layout.path_of(index))
                    ["Body"].read() for index in range(layout.count))


def read_dir(root, layout):
    return b"".join((root / layout.path_of(index)).read_bytes()
                    for index in range(layout.count))


def ratios(data):
    """Dedup at 4 KiB and zstd-3 of 4 KiB records, as storage sees them."""
    figures = measure.measure(data, chunk_size=4096, codecs={"zstd": 3}, combined=False,
                              record_size=4096)
    return figures["dedup_ratio"], figures["records"][4096]["zstd"]["ratio"]


def assert_ratios_as_for_files(objects, files, size, dedup, compress):
    """The objects' ratios are those planned and those of the same plan
    written as files (other bytes, since every run has fresh entropy)."""
    stored, local = ratios(objects), ratios(files)
    assert stored[0] == local[0] == achievable_dedup(size, dedup)
    assert stored[1] == pytest.approx(compress, rel=0.05)
    assert stored[1] == pytest.approx(local[1], rel=0.02)


def vorn(env, *args):
    return subprocess.run([VORN, *map(str, args)], capture_output=True, text=True,
                          timeout=WATCHDOG, env=clean_env(env), preexec_fn=default_sigint())


def one_error_line(stderr):
    lines = stderr.strip().splitlines()
    assert len(lines) == 1, stderr
    assert lines[0].startswith("vorn-gen: error: ") and "Traceback" not in stderr
    return lines[0]


# ---------------------------------------------------------------- targets

class TestTargets:
    def test_object_and_prefix(self):
        target = S3Target("s3://bucket/dir/key")
        assert (target.bucket, target.key, target.is_prefix) == ("bucket", "dir/key", False)
        assert target.object_key() == "dir/key" and target.prefix() == "dir/key/"
        for url, prefix in (("s3://bucket/set/", "set/"), ("s3://bucket", ""),
                            ("s3://bucket/", "")):
            target = S3Target(url)
            assert target.is_prefix and target.prefix() == prefix
            with pytest.raises(ValueError, match="names a prefix"):
                target.object_key()

    @pytest.mark.parametrize("options, message", [
        (dict(url="/local/path"), "s3://bucket/key"),
        (dict(url="s3:///key"), "names no bucket"),
        (dict(url="s3://a b/key"), "not a bucket name"),
        (dict(url="s3://b/k", endpoint_url="127.0.0.1:9000"), "http://"),
        (dict(url="s3://b/k", endpoint_url="http://[::1"), "not a valid URL"),
        (dict(url="s3://b/k", endpoint_url="http://store 1:9000"), "not a valid URL"),
        (dict(url="s3://b/k", part_size=PART - 1), "part_size"),
        (dict(url="s3://b/k", concurrency=0), "concurrency"),
    ])
    def test_refused(self, options, message):
        with pytest.raises(ValueError, match=message):
            S3Target(**options)

    def test_part_size_grows_to_fit_ten_thousand_parts(self):
        default = S3Target("s3://b/k")
        assert default.part_size_for(0) == default.part_size_for(10_000 * 32 * MiB) == 32 * MiB
        # One byte more than 10,000 default parts: the next whole MiB.
        assert default.part_size_for(10_000 * 32 * MiB + 1) == 33 * MiB
        chosen = S3Target("s3://b/k", part_size=PART)
        assert chosen.part_size_for(10_000 * PART) == PART
        with pytest.raises(ValueError, match="use parts of at least 6 MiB"):
            chosen.part_size_for(10_000 * PART + 1)
        with pytest.raises(ValueError, match="more than 10000 parts"):
            default.part_size_for(10_000 * (5 << 30) + 1)


# ------------------------------------------------------------- one object

class TestOneObject:
    def test_multipart_object_reads_back_with_its_ratios(self, store_env, s3_bucket, tmp_path):
        size = 2 * PART + 3 * BLOCK + 3 * PAGE  # 4 whole parts and a short one
        target = S3Target(f"s3://{s3_bucket}/dir/object", part_size=PART, concurrency=3)
        report = write_file(target, size, dedup_ratio=2, compress_ratio=3)
        assert report.ok and report.target == f"s3://{s3_bucket}/dir/object"
        assert (report.bytes_written, report.files_written) == (size, 1)

        client = store_env.client()
        head = client.head_object(Bucket=s3_bucket, Key="dir/object")
        assert head["ContentLength"] == size
        assert head["ETag"].strip('"').endswith(f"-{-(-size // PART)}")
        assert listing(client, s3_bucket) == {"dir/object": size}
        assert uploads_left(client, s3_bucket) == []

        write_file(tmp_path / "file", size, dedup_ratio=2, compress_ratio=3)
        data = client.get_object(Bucket=s3_bucket, Key="dir/object")["Body"].read()
        assert_ratios_as_for_files(data, (tmp_path / "file").read_bytes(), size, 2, 3)

    def test_small_and_empty_objects_are_one_put(self, store_env, s3_bucket):
        client = store_env.client()
        for key, size in (("small", 3 * PAGE + 1), ("empty", 0)):
            report = write_file(f"s3://{s3_bucket}/{key}", size, compress_ratio=2)
            assert report.ok and report.bytes_written == size
            head = client.head_object(Bucket=s3_bucket, Key=key)
            assert head["ContentLength"] == size and "-" not in head["ETag"]
        assert uploads_left(client, s3_bucket) == []

    def test_buffers_are_no_more_than_the_parts_of_the_run(self, store_env, s3_bucket):
        # 256 parts in flight would be 258 buffers of 5 MiB, 1.3 GB of memory
        # filled before the first byte is sent; an object of three parts
        # never has more than three at once.
        # Measured as growth of the peak over a run at concurrency 1 before it.
        done = run_python(f"""
            import resource
            from vorn_py.dataset import write_file
            from vorn_py.s3 import S3Target
            for concurrency in (1, 256):
                write_file(S3Target("s3://{s3_bucket}/k", part_size={PART},
                                    concurrency=concurrency), {3 * PART})
                print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10)
        """)
        assert done.returncode == 0, done.stderr
        alone, wide = map(int, done.stdout.split())
        assert wide - alone < 32 * PART
        assert listing(store_env.client(), s3_bucket) == {"k": 3 * PART}

    def test_objects_of_one_part_take_buffers_of_their_own_size(self, store_env, s3_bucket,
                                                                 monkeypatch):
        # Objects of a few KiB under 32 MiB parts: buffers of a whole part
        # each would be 64 MiB of memory for 12 KiB of data.
        from vorn_py import _s3upload

        asked = []
        allocate = _s3upload.part_buffers
        monkeypatch.setattr(_s3upload, "part_buffers",
                            lambda count, capacity: asked.append(capacity) or
                            allocate(count, capacity))
        report = write_dataset(f"s3://{s3_bucket}/set/", 3 * PAGE, files=3)
        assert report.ok and asked == [PAGE]
        assert listing(store_env.client(), s3_bucket, "set/") == {
            f"set/f{index}": PAGE for index in range(3)}

    def test_buffers_larger_than_the_memory_are_refused(self, store_env, s3_bucket,
                                                        monkeypatch):
        sysconf = os.sysconf
        pages = (2 * PART) // sysconf("SC_PAGE_SIZE")
        monkeypatch.setattr(os, "sysconf", lambda name: pages if name == "SC_PHYS_PAGES"
                            else sysconf(name))
        target = S3Target(f"s3://{s3_bucket}/k", part_size=PART, concurrency=4)
        with pytest.raises(WriteError, match="smaller part size or concurrency") as excinfo:
            write_file(target, 10 * PART)
        assert excinfo.value.report.bytes_written == 0
        client = store_env.client()
        assert listing(client, s3_bucket) == {} and uploads_left(client, s3_bucket) == []

    def test_a_prefix_is_not_an_object(self, store_env, s3_bucket):
        with pytest.raises(ValueError, match="names a prefix"):
            write_file(f"s3://{s3_bucket}/set/", MiB)

    def test_a_missing_bucket_is_a_write_error(self, store_env, s3_bucket):
        target = S3Target(f"s3://{s3_bucket}-absent/object", part_size=PART)
        with pytest.raises(WriteError, match="NoSuchBucket") as excinfo:
            write_file(target, 2 * PART)
        assert excinfo.value.report.bytes_written == 0
        assert not excinfo.value.report.ok


# ------------------------------------------------------------- data sets

class TestDataSet:
    def test_names_sizes_and_ratios_as_for_files(self, store_env, s3_bucket, tmp_path):
        size = 6 * BLOCK + 3 * PAGE
        layout = DatasetLayout.plan(size, files=37, files_per_dir=10)
        report = write_dataset(f"s3://{s3_bucket}/set/", layout, dedup_ratio=2,
                               compress_ratio=3)
        assert report.ok and report.target == f"s3://{s3_bucket}/set/"
        assert (report.bytes_written, report.files_written, report.file_count) == (size, 37, 37)

        client = store_env.client()
        assert listing(client, s3_bucket) == {
            "set/" + entry.path: entry.size for entry in layout}
        write_dataset(tmp_path, layout, dedup_ratio=2, compress_ratio=3)
        assert_ratios_as_for_files(read_set(client, s3_bucket, "set/", layout),
                                   read_dir(tmp_path, layout), size, 2, 3)

    def test_objects_of_many_parts(self, store_env, s3_bucket, tmp_path):
        """Objects larger than a part go up as multipart uploads, several
        at once, and still hold one stream."""
        size = 3 * (2 * PART + MiB) + 3 * PAGE
        layout = DatasetLayout.plan(size, file_size=2 * PART + MiB)
        target = S3Target(f"s3://{s3_bucket}/big", part_size=PART, concurrency=4)
        report = write_dataset(target, layout, dedup_ratio=4, compress_ratio=2)
        assert report.ok and report.files_written == layout.count == 4

        client = store_env.client()
        assert listing(client, s3_bucket) == {"big/" + entry.path: entry.size
                                              for entry in layout}
        for entry in list(layout)[:3]:
            etag = client.head_object(Bucket=s3_bucket, Key="big/" + entry.path)["ETag"]
            assert etag.strip('"').endswith("-3")
        assert uploads_left(client, s3_bucket) == []
        write_dataset(tmp_path, layout, dedup_ratio=4, compress_ratio=2)
        assert_ratios_as_for_files(read_set(client, s3_bucket, "big/", layout),
                                   read_dir(tmp_path, layout), size, 4, 2)

    def test_other_objects_under_the_prefix_stay(self, store_env, s3_bucket):
        client = store_env.client()
        client.put_object(Bucket=s3_bucket, Key="set/notes.txt", Body=b"mine")
        write_dataset(f"s3://{s3_bucket}/set/", 3 * MiB, files=3)
        assert listing(client, s3_bucket, "set/") == {
            "set/f0": MiB, "set/f1": MiB, "set/f2": MiB, "set/notes.txt": 4}

    def test_direct_and_fsync_are_for_files(self, store_env, s3_bucket):
        for option in ("direct", "fsync"):
            with pytest.raises(ValueError, match="apply to files"):
                write_dataset(f"s3://{s3_bucket}/set/", MiB, files=2, **{option: True})
        assert listing(store_env.client(), s3_bucket) == {}


# ----------------------------------------------------------------- verify

class TestVerify:
    @pytest.fixture
    def written(self, store_env, s3_bucket, tmp_path):
        """A data set of ten 1 MiB objects (every fourth starts a block)
        and its manifest."""
        manifest = tmp_path / "set.manifest"
        done = vorn(store_env.env, "generate", "10MiB", "-o", f"s3://{s3_bucket}/set/",
                    "--files", "10", "--dedup", "2", "--manifest", manifest, "-q")
        assert done.returncode == 0, done.stderr
        return manifest

    def test_the_manifest_verifies_the_objects(self, store_env, s3_bucket, written):
        done = vorn(store_env.env, "verify", f"s3://{s3_bucket}/set/", "--manifest", written,
                    "--json")
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout)
        assert result["ok"] and result["bytes_checked"] == 10 * MiB
        assert read_manifest(written).dataset == DatasetLayout.plan(10 * MiB, files=10)

    def test_a_damaged_object_is_named_with_offset_and_block(self, store_env, s3_bucket,
                                                             written):
        client = store_env.client()
        key = "set/f4"  # its first byte starts block 1
        data = bytearray(client.get_object(Bucket=s3_bucket, Key=key)["Body"].read())
        data[4096] ^= 1
        client.put_object(Bucket=s3_bucket, Key=key, Body=data)

        done = vorn(store_env.env, "verify", f"s3://{s3_bucket}/set/", "--manifest", written,
                    "--json")
        assert done.returncode == 1, done.stderr
        result = json.loads(done.stdout)
        assert result["mismatch_count"] == 1
        mismatch = result["mismatches"][0]
        assert (mismatch["file"], mismatch["offset"], mismatch["block"]) == (
            f"s3://{s3_bucket}/{key}", 0, 1)
        human = vorn(store_env.env, "verify", f"s3://{s3_bucket}/set/", "--manifest", written)
        assert human.returncode == 1
        assert f"block 1, {BLOCK} bytes at offset 0 of s3://{s3_bucket}/{key}" in human.stdout

    def test_a_missing_object_is_named(self, store_env, s3_bucket, written):
        store_env.client().delete_object(Bucket=s3_bucket, Key="set/f7")
        done = vorn(store_env.env, "verify", f"s3://{s3_bucket}/set/", "--manifest", written)
        assert done.returncode == 1
        assert "missing (f7)" in one_error_line(done.stderr)

    def test_one_object_against_its_manifest(self, store_env, s3_bucket, tmp_path):
        manifest = tmp_path / "object.manifest"
        done = vorn(store_env.env, "generate", "12MiB", "-o", f"s3://{s3_bucket}/one",
                    "--part-size", "5MiB", "--compress", "2", "--manifest", manifest, "-q")
        assert done.returncode == 0, done.stderr
        done = vorn(store_env.env, "verify", f"s3://{s3_bucket}/one", "--manifest", manifest,
                    "-q")
        assert done.returncode == 0, done.stderr
        assert "result:   OK" in done.stdout


# -------------------------------------------- failures through the CLI

class TestFailures:
    """Each run leaves no multipart upload behind and says why in one line."""

    def start(self, env, bucket):
        return subprocess.Popen(
            [VORN, "generate", "2GiB", "-o", f"s3://{bucket}/big", "--part-size", "5MiB",
             "--concurrency", "2", "-q"], env=clean_env(env), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint())

    def test_interrupt_mid_way(self, s3_store, s3_bucket):
        client = s3_store.client()
        child = self.start(s3_store.env, s3_bucket)
        try:
            assert wait_for_a_stored_part(client, s3_bucket)
            child.send_signal(signal.SIGINT)
            _, stderr = child.communicate(timeout=WATCHDOG)
        finally:
            child.kill()
            child.wait()
        assert child.returncode == 130
        line = one_error_line(stderr)
        assert "interrupted" in line and "aborted" in line
        assert uploads_left(client, s3_bucket) == []
        assert listing(client, s3_bucket) == {}

    def test_bucket_removed_mid_way(self, s3_store, s3_bucket):
        client = s3_store.client()
        child = self.start(s3_store.env, s3_bucket)
        try:
            assert wait_for_a_stored_part(client, s3_bucket)
            client.delete_bucket(Bucket=s3_bucket)
            _, stderr = child.communicate(timeout=WATCHDOG)
        finally:
            child.kill()
            child.wait()
            client.create_bucket(Bucket=s3_bucket)  # for the listing, and the fixture
        assert child.returncode == 1
        # Which the store reports first (the bucket, or the upload whose
        # parts went with it) depends on when the removal reaches them.
        line = one_error_line(stderr)
        assert f"s3://{s3_bucket}/big" in line and "no longer exists" in line
        assert uploads_left(client, s3_bucket) == []

    @pytest.mark.parametrize("call, ended", [(1, False), (1, True), (2, False), (2, True),
                                             (4, False)])
    def test_interrupt_once_a_request_is_queued(self, store_env, s3_bucket, call, ended):
        # An interrupt inside the pool's submit after it queued the request
        # (while it starts a thread), even once the request has ended: the
        # run ends with the report, without waiting forever for a request
        # counted twice, and leaves no upload behind.
        done = run_python(f"""
            import concurrent.futures, sys
            from vorn_py.dataset import WriteInterrupted, write_file
            from vorn_py.s3 import S3Target
            submit = concurrent.futures.ThreadPoolExecutor.submit
            calls = 0
            def interrupted_submit(pool, *args):
                global calls
                future = submit(pool, *args)
                calls += 1
                if calls == {call}:
                    if {ended}:
                        concurrent.futures.wait([future])
                    raise KeyboardInterrupt
                return future
            concurrent.futures.ThreadPoolExecutor.submit = interrupted_submit
            try:
                write_file(S3Target("s3://{s3_bucket}/k", part_size={PART}), {4 * PART})
            except WriteInterrupted as exc:
                print(exc.report.bytes_written)
        """, timeout=WATCHDOG)
        assert done.returncode == 0 and done.stdout == "0\n", done.stderr
        client = store_env.client()
        assert uploads_left(client, s3_bucket) == [] and listing(client, s3_bucket) == {}

    @pytest.mark.parametrize("target", ["object", "set/"])
    def test_wrong_secret(self, s3_store, s3_bucket, target):
        env = {**s3_store.env, "AWS_SECRET_ACCESS_KEY": "0" * 40}
        args = ["--files", "3"] if target.endswith("/") else []
        done = vorn(env, "generate", "12MiB", "-o", f"s3://{s3_bucket}/{target}",
                    "--part-size", "5MiB", *args)
        assert done.returncode == 1
        line = one_error_line(done.stderr)
        assert "refused the credentials" in line and "AWS_SECRET_ACCESS_KEY" in line
        client = s3_store.client()
        assert uploads_left(client, s3_bucket) == [] and listing(client, s3_bucket) == {}

    @pytest.mark.parametrize("args, message", [
        (["12MiB", "-o", "s3://b/k", "--part-size", "4MiB"], "--part-size"),
        (["12MiB", "-o", "s3:///key"], "names no bucket"),
        (["12MiB", "-o", "s3://no bucket/key"], "is not a bucket name"),
        (["12MiB", "-o", "s3://b/k", "--endpoint-url", "127.0.0.1:9000"], "http://"),
        (["12MiB", "-o", "s3://b/k", "--endpoint-url", "http://[::1"], "not a valid URL"),
        (["12MiB", "-o", "s3://b/set/"], "names a prefix"),
        (["12MiB", "-o", "s3://b/set/", "--files", "2", "--direct"], "--direct"),
        (["12MiB", "-o", "s3://b/k", "--chunk-size", "8MiB"], "--chunk-size applies to files"),
        (["12MiB", "-o", "file.bin", "--part-size", "8MiB"], "s3:// targets only"),
    ])
    def test_usage_errors(self, s3_store, tmp_path, args, message):
        done = subprocess.run([VORN, "generate", *args], capture_output=True, text=True,
                              timeout=WATCHDOG, cwd=tmp_path, env=clean_env(s3_store.env),
                              preexec_fn=default_sigint())
        assert done.returncode == 2
        line = done.stderr.strip().splitlines()[-1]
        assert line.startswith("vorn-gen") and "error: " in line and message in line, \
            done.stderr
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("variable, value", [
        ("AWS_MAX_ATTEMPTS", "many"), ("AWS_ENDPOINT_URL_S3", "http://[::1")])
    def test_a_bad_setting_of_the_sdk_is_one_error_line(self, s3_store, s3_bucket, tmp_path,
                                                        variable, value):
        env = {**s3_store.env, variable: value}
        for args in (["generate", "12MiB", "-o", f"s3://{s3_bucket}/k"],
                     ["generate", "12MiB", "-o", f"s3://{s3_bucket}/set/", "--files", "2"],
                     ["verify", f"s3://{s3_bucket}/k", "--manifest", str(tmp_path / "m")]):
            if args[0] == "verify":
                vorn(s3_store.env, "generate", "1MiB", "-o", tmp_path / "data", "-q",
                     "--manifest", tmp_path / "m")
            done = vorn(env, *args)
            assert done.returncode == 1, done.stderr
            line = one_error_line(done.stderr)
            assert "cannot set up a client" in line, line
        assert listing(s3_store.client(), s3_bucket) == {}

    def test_missing_sdk_says_how_to_install_it(self, tmp_path):
        done = run_python("""
            import sys
            sys.modules["boto3"] = sys.modules["botocore"] = None  # as if not installed
            from vorn_py.cli import main
            sys.exit(main(["generate", "1MiB", "-o", "s3://bucket/key"]))
        """)
        assert done.returncode == 1
        assert "pip install 'vorn_py[s3]'" in one_error_line(done.stderr)
        done = run_python("""
            import sys
            sys.modules["boto3"] = sys.modules["botocore"] = None
            from vorn_py.dataset import write_dataset
            from vorn_py.s3 import S3Unavailable
            try:
                write_dataset("s3://bucket/set/", 1 << 20, files=2)
            except S3Unavailable as exc:
                print(exc)
        """)
        assert done.returncode == 0 and "pip install 'vorn_py[s3]'" in done.stdout


# -------------------------------------------------------------------- MPI

class TestManyProcesses:
    def test_mpiexec_two_processes_fill_one_prefix(self, s3_store, s3_bucket, tmp_path):
        """The store is named by the options alone (no endpoint in the SDK's
        configuration), and every process uploads with them."""
        manifest = tmp_path / "set.manifest"
        (tmp_path / "aws-config").write_text("")
        env = {name: value for name, value in s3_store.env.items()
               if name != "AWS_ENDPOINT_URL_S3"}
        env["AWS_CONFIG_FILE"] = str(tmp_path / "aws-config")
        size, files = 48 * MiB + 3 * PAGE, 5  # objects of two 5 MiB parts or more
        done = subprocess.run(
            [MPIEXEC, "-launcher", "fork", "-n", "2", VORN, "generate", str(size), "-o",
             f"s3://{s3_bucket}/run/", "--files", str(files), "--dedup", "2", "--compress",
             "3", "--part-size", "5MiB", "--endpoint-url", s3_store.endpoint_url,
             "--path-style", "--manifest", manifest, "--json"],
            capture_output=True, text=True, timeout=WATCHDOG, env=clean_env(env),
            preexec_fn=default_sigint())
        assert done.returncode == 0, done.stderr
        report = json.loads(done.stdout)
        assert report["ok"] and report["world_size"] == 2
        assert (report["bytes_written"], report["files_written"]) == (size, files)
        assert sum(rank["bytes_written"] for rank in report["ranks"]) == size
        assert [rank["files_written"] > 0 for rank in report["ranks"]] == [True, True]

        layout = DatasetLayout.plan(size, files=files)
        client = s3_store.client()
        assert listing(client, s3_bucket) == {"run/" + entry.path: entry.size
                                              for entry in layout}
        for entry in layout:
            etag = client.head_object(Bucket=s3_bucket, Key="run/" + entry.path)["ETag"]
            assert etag.strip('"').endswith(f"-{-(-entry.size // PART)}")
        assert uploads_left(client, s3_bucket) == []
        checked = vorn(s3_store.env, "verify", f"s3://{s3_bucket}/run/", "--manifest",
                       manifest, "-q")
        assert checked.returncode == 0, checked.stdout + checked.stderr
        dedup, _ = ratios(read_set(client, s3_bucket, "run/", layout))
        assert dedup == achievable_dedup(size, 2)

    def test_independent_ranks_and_their_merged_report(self, s3_store, s3_bucket, tmp_path):
        size, files = 12 * MiB, 6
        for rank in (0, 1):
            done = vorn(s3_store.env, "generate", size, "-o", f"s3://{s3_bucket}/set/",
                        "--files", files, "--rank", rank, "--world-size", 2, "--report",
                        tmp_path / "report.json", "--manifest", tmp_path / "m", "-q")
            assert done.returncode == 0, done.stderr
        merged = vorn(s3_store.env, "report", "merge", tmp_path / "report.json.0",
                      tmp_path / "report.json.1", "--json")
        assert merged.returncode == 0, merged.stderr
        report = json.loads(merged.stdout)
        assert report["ok"] and (report["bytes_written"], report["files_written"]) == (
            size, files)
        assert len(listing(s3_store.client(), s3_bucket, "set/")) == files
        checked = vorn(s3_store.env, "verify", f"s3://{s3_bucket}/set/", "--manifest",
                       tmp_path / "m.0", "--manifest", tmp_path / "m.1", "-q")
        assert checked.returncode == 0, checked.stdout + checked.stderr
