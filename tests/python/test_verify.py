"""Write with a manifest, then verify: clean data passes, and every kind of
change (a flipped byte, a short or long target, a block swapped for another)
is reported at its block and offset with exit status 1; unusable manifests
and targets give one-line errors with exit status 2."""

import errno
import io
import json
import os
import pty
import stat
import subprocess
import sys
import threading

import pytest

import vorn_py
from helpers import BLOCK
from vorn_py.cli import main
from vorn_py.manifest import ManifestWriter
from vorn_py import verify as verifying
from vorn_py.verify import Gap, Mismatch, TargetError, verify

VORN = os.path.join(os.path.dirname(sys.executable), "vorn-gen")
SIZE = 5 * BLOCK + 12345  # five whole blocks and a partial one


def vorn(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 120)
    return subprocess.run([VORN, *map(str, args)], **kwargs)


def generate(tmp_path, size=SIZE, dedup=1, compress=1, name="data", *extra):
    data, manifest = tmp_path / name, tmp_path / f"{name}.manifest"
    status = main(["generate", str(size), "-o", str(data), "--manifest", str(manifest), "-q",
                   "--dedup", str(dedup), "--compress", str(compress), *extra])
    assert status == 0
    return data, manifest


def flip(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 1]))


def run_verify(capsys, *args):
    status = main(["verify", *map(str, args), "-q"])
    out, err = capsys.readouterr()
    return status, out, err


def run_json(capsys, data, *args):
    """The JSON report for a file, after checking that reading it as a
    stream, in order, finds exactly what reading it block by block on
    several threads finds."""
    with open(data, "rb") as stream:
        assert verify(stream, args[-1]) == verify(data, args[-1], threads=3)
    status, out, _ = run_verify(capsys, data, *args, "--json")
    return status, json.loads(out)


class TestClean:
    @pytest.mark.parametrize("size, dedup, compress", [
        (SIZE, 1, 1), (8 * BLOCK + 777, 3, 2), (1000, 1, 1), (3 * BLOCK, 2, 4), (0, 1, 1),
    ])
    def test_generated_data_verifies(self, tmp_path, capsys, size, dedup, compress):
        data, manifest = generate(tmp_path, size, dedup, compress)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 0 and report["ok"]
        blocks = -(-size // BLOCK)
        assert (report["blocks_checked"], report["bytes_checked"]) == (blocks, size)
        assert report["mismatch_count"] == 0 and report["mismatches"] == []
        assert report["missing"] is None and report["extra"] is None

    def test_text_report(self, tmp_path, capsys):
        data, manifest = generate(tmp_path, dedup=2, compress=3)
        status, out, err = run_verify(capsys, data, "--manifest", manifest)
        assert status == 0 and err == ""
        assert f"manifest: {manifest} ({SIZE} bytes at dedup 2, compress 3: 3 unique blocks)" \
            in out
        assert f"checked:  6 blocks, {SIZE} bytes" in out
        assert out.rstrip().endswith("result:   OK, every block matches the manifest")

    def test_odd_chunk_sizes_and_one_thread(self, tmp_path, capsys):
        """The manifest does not depend on how the data was cut for writing."""
        data, manifest = generate(tmp_path, SIZE, 2, 1, "data", "--chunk-size", "3000001",
                                  "--threads", "1")
        assert run_verify(capsys, data, "--manifest", manifest)[0] == 0

    def test_through_standard_input(self, tmp_path):
        data, manifest = generate(tmp_path, dedup=2, compress=2)
        with open(data, "rb") as stdin:
            result = vorn("verify", "-", "--manifest", manifest, "--json", stdin=stdin)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert report["ok"] and report["target"] == ["standard input"]
        assert report["bytes_checked"] == SIZE
        flip(data, 2 * BLOCK + 5)
        piped = subprocess.Popen(["cat", str(data)], stdout=subprocess.PIPE)
        try:
            result = vorn("verify", "-", "--manifest", manifest, stdin=piped.stdout)
        finally:
            piped.stdout.close()
            piped.wait()
        assert result.returncode == 1
        assert (f"mismatch: block 2, {BLOCK} bytes at offset {2 * BLOCK} of standard input"
                in result.stdout.decode())


class TestChanges:
    """Each change is found at the block it is in, reported at the block's
    first byte, with exit status 1."""

    @pytest.mark.parametrize("offset, block, start, length", [
        (0, 0, 0, BLOCK),
        (BLOCK - 1, 0, 0, BLOCK),
        (2 * BLOCK + 4321, 2, 2 * BLOCK, BLOCK),
        (5 * BLOCK, 5, 5 * BLOCK, 12345),
        (SIZE - 1, 5, 5 * BLOCK, 12345),
    ])
    def test_flipped_byte(self, tmp_path, capsys, offset, block, start, length):
        data, manifest = generate(tmp_path)
        flip(data, offset)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 1 and not report["ok"]
        assert report["mismatch_count"] == 1 and report["blocks_checked"] == 6
        assert report["mismatches"] == [dict(file=str(data), offset=start, block=block,
                                             length=length, position=start, stream=0)]
        status, out, _ = run_verify(capsys, data, "--manifest", manifest)
        assert f"mismatch: block {block}, {length} bytes at offset {start} of {data}" in out
        assert "result:   FAILED, 1 mismatched block" in out

    @pytest.mark.parametrize("keep, checked_blocks, missing_block", [
        (3 * BLOCK + 100, 3, 3),   # in the middle of a block
        (3 * BLOCK, 3, 3),         # on a block boundary
        (5 * BLOCK + 10, 5, 5),    # inside the partial block
        (0, 0, 0),                 # empty
    ])
    def test_truncated(self, tmp_path, capsys, keep, checked_blocks, missing_block):
        data, manifest = generate(tmp_path)
        os.truncate(data, keep)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 1 and report["mismatch_count"] == 0
        assert report["blocks_checked"] == checked_blocks
        assert report["bytes_checked"] == checked_blocks * BLOCK
        assert report["missing"] == dict(file=str(data), offset=keep, position=keep,
                                         bytes=SIZE - keep, block=missing_block, stream=0)
        status, out, _ = run_verify(capsys, data, "--manifest", manifest)
        assert (f"missing:  {SIZE - keep} bytes: the data ends at offset {keep} of {data}, "
                f"in block {missing_block}") in out

    def test_appended(self, tmp_path, capsys):
        data, manifest = generate(tmp_path)
        with open(data, "ab") as f:
            f.write(b"more" * 1000)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 1 and report["mismatch_count"] == 0
        assert report["bytes_checked"] == SIZE and report["target_size"] == SIZE + 4000
        assert report["extra"] == dict(file=str(data), offset=SIZE, position=SIZE, bytes=4000,
                                       block=None, stream=None)
        status, out, _ = run_verify(capsys, data, "--manifest", manifest)
        assert f"extra:    4000 bytes from offset {SIZE} of {data}" in out
        assert "result:   FAILED, 4000 bytes extra" in out

    def test_a_block_overwritten_by_another_unique_block(self, tmp_path, capsys):
        data, manifest = generate(tmp_path)
        with open(data, "r+b") as f:
            first = f.read(BLOCK)
            f.seek(3 * BLOCK)
            f.write(first)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 1
        assert [(m["block"], m["offset"]) for m in report["mismatches"]] == [(3, 3 * BLOCK)]

    def test_a_block_replaced_by_an_identical_one_is_no_change(self, tmp_path, capsys):
        """At dedup 2 blocks 0 and 3 are the same unique block: swapping one
        for the other changes no byte, and verification rightly sees none."""
        data, manifest = generate(tmp_path, 6 * BLOCK, dedup=2)
        with open(data, "r+b") as f:
            first = f.read(BLOCK)
            f.seek(3 * BLOCK)
            f.write(first)
        assert run_verify(capsys, data, "--manifest", manifest)[0] == 0

    def test_dedup_and_compression_set(self, tmp_path, capsys):
        """A change in a repeat of a unique block is found at the repeat only."""
        size = 8 * BLOCK + 777  # 9 blocks, 3 unique
        data, manifest = generate(tmp_path, size, dedup=3, compress=3)
        flip(data, 7 * BLOCK + 99)
        os.truncate(data, size - 7)
        status, report = run_json(capsys, data, "--manifest", manifest)
        assert status == 1
        assert [(m["block"], m["offset"]) for m in report["mismatches"]] == [(7, 7 * BLOCK)]
        assert report["missing"]["block"] == 8 and report["missing"]["bytes"] == 7
        assert report["blocks_checked"] == 8

    def test_twenty_in_full_then_a_count(self, tmp_path, capsys):
        """Data checked against the manifest of other data with the same
        parameters: every block differs."""
        size = 23 * BLOCK
        data, _ = generate(tmp_path, size, dedup=23, name="one")
        _, other = generate(tmp_path, size, dedup=23, name="two")
        status, out, _ = run_verify(capsys, data, "--manifest", other)
        assert status == 1
        listed = [line for line in out.splitlines() if line.startswith("mismatch: block")]
        assert len(listed) == 20
        assert listed[19] == f"mismatch: block 19, {BLOCK} bytes at offset {19 * BLOCK} of {data}"
        assert "mismatch: and 3 more (23 blocks in all)" in out
        status, report = run_json(capsys, data, "--manifest", other)
        assert report["mismatch_count"] == 23 and len(report["mismatches"]) == 20


def run_with_terminal(args, stream):
    """Run vorn-gen with standard input (0) or standard error (2) on a
    pseudo terminal; returns the exit status and what the terminal showed."""
    master, slave = pty.openpty()
    streams = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
               "stderr": subprocess.DEVNULL}
    streams["stdin" if stream == 0 else "stderr"] = slave
    proc = subprocess.Popen([VORN, *map(str, args)], **streams)
    os.close(slave)
    seen = b""
    try:
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: the child closed the terminal
                break
            if not data:
                break
            seen += data
        return proc.wait(timeout=60), seen.decode(errors="replace")
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()


class TestTerminal:
    def test_progress_bar_on_a_terminal(self, tmp_path):
        data, manifest = generate(tmp_path, SIZE)
        status, screen = run_with_terminal(["verify", data, "--manifest", manifest], stream=2)
        assert status == 0 and "verify:" in screen and "%|" in screen
        status, screen = run_with_terminal(["verify", data, "--manifest", manifest, "-q"],
                                           stream=2)
        assert (status, screen) == (0, "")

    def test_refuses_to_read_a_terminal(self, tmp_path):
        _, manifest = generate(tmp_path, 1000)
        status, _ = run_with_terminal(["verify", "-", "--manifest", manifest], stream=0)
        assert status == 2


class TestUsage:
    def error_line(self, result):
        err = result.stderr.decode()
        assert "Traceback" not in err and err.count("\n") == 1, err
        return err

    def test_damaged_manifests_exit_2(self, tmp_path):
        data, manifest = generate(tmp_path, 2 * BLOCK)
        raw = manifest.read_bytes()
        cases = {
            "truncated": (raw[:-1], "is truncated"),
            "version": (raw[:8] + b"\x07\x00" + raw[10:], "has format version 7"),
            "stranger": (b"#!/bin/sh\necho hello\n", "is not a vorn-gen manifest"),
            "damaged": (raw[:100] + bytes([raw[100] ^ 1]) + raw[101:], "is damaged"),
        }
        for name, (content, message) in cases.items():
            bad = tmp_path / name
            bad.write_bytes(content)
            result = vorn("verify", data, "--manifest", bad)
            assert result.returncode == 2
            line = self.error_line(result)
            assert line.startswith("vorn-gen: error: ") and str(bad) in line and message in line
        result = vorn("verify", data, "--manifest", tmp_path / "absent")
        assert result.returncode == 2 and "No such file" in self.error_line(result)

    def test_manifests_that_do_not_fit_together_exit_2(self, tmp_path):
        data, manifest = generate(tmp_path, BLOCK)
        result = vorn("verify", data, "--manifest", manifest, "--manifest", manifest)
        assert result.returncode == 2 and "given twice" in self.error_line(result)

    def test_targets(self, tmp_path):
        data, manifest = generate(tmp_path, BLOCK)
        result = vorn("verify", tmp_path / "gone", "--manifest", manifest)
        assert result.returncode == 1
        assert f"error: cannot open {tmp_path / 'gone'}: No such file" in self.error_line(result)
        # A directory is read as its files in name order; the manifest in it is not data.
        result = vorn("verify", tmp_path, "--manifest", manifest)
        assert result.returncode == 0 and b"OK" in result.stdout, result.stderr
        (tmp_path / "empty").mkdir()
        result = vorn("verify", tmp_path / "empty", "--manifest", manifest)
        assert result.returncode == 1 and "holds no files" in self.error_line(result)
        result = vorn("verify", "-", data, "--manifest", manifest)
        assert result.returncode == 2 and "cannot be combined" in self.error_line(result)
        assert vorn("verify", data).returncode == 2  # --manifest is required

    def test_generate_refuses_the_output_as_manifest(self, tmp_path):
        out = tmp_path / "data"
        result = vorn("generate", "1MiB", "-o", out, "--manifest", out)
        assert result.returncode == 2 and "cannot be the output" in self.error_line(result)
        result = vorn("generate", "1MiB", "-o", out, "--manifest", "-")
        assert result.returncode == 2 and "needs a file name" in self.error_line(result)

    def test_failed_generate_leaves_no_manifest(self, tmp_path):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        manifest = tmp_path / "m"
        result = vorn("generate", "10MiB", "-o", "/dev/full", "--manifest", manifest)
        assert result.returncode == 1 and "No space left" in self.error_line(result)
        assert not manifest.exists()
        result = vorn("generate", "1MiB", "-o", tmp_path / "d", "--manifest", "/dev/full")
        assert result.returncode == 1
        assert "cannot write manifest /dev/full" in self.error_line(result)


    def test_a_generate_that_fails_leaves_an_existing_manifest_alone(self, tmp_path):
        manifest = tmp_path / "old.manifest"
        manifest.write_bytes(b"precious\n")
        result = vorn("generate", "8MiB", "-o", tmp_path / "missing" / "x.bin",
                      "--manifest", manifest)
        assert result.returncode == 1 and "cannot open" in self.error_line(result)
        assert manifest.read_bytes() == b"precious\n"
        if os.path.exists("/dev/full"):
            result = vorn("generate", "10MiB", "-o", "/dev/full", "--manifest", manifest)
            assert result.returncode == 1 and "No space left" in self.error_line(result)
            assert manifest.read_bytes() == b"precious\n"
        assert os.listdir(tmp_path) == ["old.manifest"]

    def test_fsync_reaches_the_manifest(self, tmp_path, monkeypatch):
        synced = []
        fsync = os.fsync

        def recording(fd):
            synced.append(stat.S_IFMT(os.fstat(fd).st_mode))
            fsync(fd)

        monkeypatch.setattr(os, "fsync", recording)
        generate(tmp_path, BLOCK, 1, 1, "data", "--fsync")
        # The data and the directory that names it, then the manifest and
        # the directory that names it.
        assert synced == [stat.S_IFREG, stat.S_IFDIR, stat.S_IFREG, stat.S_IFDIR]


class TestApi:
    def test_result_object(self, tmp_path):
        data, manifest = generate(tmp_path)
        flip(data, BLOCK + 1)
        flip(data, 4 * BLOCK + 1)
        seen = []
        result = verify(data, manifest, keep=1, progress=seen.append)
        assert not result.ok
        assert result.mismatches == [Mismatch(str(data), BLOCK, 1, BLOCK, BLOCK, 0)]
        assert result.mismatch_count == 2
        assert (result.data_size, result.target_size) == (SIZE, SIZE)
        assert sum(seen) == SIZE
        assert verify(data, manifest, keep=1, threads=1) == result
        with pytest.raises(ValueError, match="threads must be at least 1"):
            verify(data, manifest, threads=0)

    def test_a_stream_and_a_list_of_files(self, tmp_path):
        """Data cut into files at arbitrary places reads as one stream;
        a block is reported in the file that holds its first byte."""
        data, manifest = generate(tmp_path)
        raw = data.read_bytes()
        assert verify(io.BytesIO(raw), manifest).ok
        cuts = [0, 100, 2 * BLOCK + 7, 2 * BLOCK + 7, 4 * BLOCK + 5, SIZE]
        files = []
        for index, (start, end) in enumerate(zip(cuts, cuts[1:])):
            files.append(tmp_path / f"part{index}")
            files[-1].write_bytes(raw[start:end])
        open_before = len(os.listdir("/proc/self/fd"))
        assert verify(files, manifest).ok
        assert len(os.listdir("/proc/self/fd")) == open_before
        flip(files[3], 10)  # stream offset 2 * BLOCK + 17: block 2, which starts in part 1
        flip(files[4], 10)  # stream offset 4 * BLOCK + 15: block 4, which starts in part 3
        result = verify(files, manifest)
        assert result.mismatches == [
            Mismatch(str(files[1]), 2 * BLOCK - 100, 2, BLOCK, 2 * BLOCK, 0),
            Mismatch(str(files[3]), 2 * BLOCK - 7, 4, BLOCK, 4 * BLOCK, 0),
        ]
        os.unlink(files[4])
        result = verify(files[:4], manifest)
        assert result.missing == Gap(str(files[3]), 2 * BLOCK - 2, 4 * BLOCK + 5,
                                     SIZE - 4 * BLOCK - 5, block=4, stream=0)
        with pytest.raises(TargetError, match="cannot open .*part4"):
            verify(files, manifest)

    def test_a_non_blocking_pipe_is_waited_for(self, tmp_path):
        """A pipe in non-blocking mode, fed a piece at a time, each piece only
        once the reader has found the pipe empty: every wait is exercised."""
        data, manifest = generate(tmp_path, 2 * BLOCK + 100, dedup=2)
        content = data.read_bytes()
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        pipe = open(read_end, "rb", buffering=0)
        starved, stop = threading.Event(), threading.Event()
        pieces = []

        class TellingPipe(io.RawIOBase):
            """The pipe, saying when a read found nothing."""

            def readable(self):
                return True

            def fileno(self):
                return read_end

            def readinto(self, buffer):
                count = pipe.readinto(buffer)
                if count is None:
                    starved.set()
                return count

        def feed():
            try:
                with open(write_end, "wb", buffering=0) as out:
                    for start in range(0, len(content), 256 << 10):
                        starved.wait()
                        starved.clear()
                        if stop.is_set():
                            return
                        out.write(content[start:start + (256 << 10)])
                        pieces.append(start)
            except BrokenPipeError:
                pass  # the reader gave up

        feeder = threading.Thread(target=feed)
        feeder.start()
        try:
            result = verify(TellingPipe(), manifest)
        finally:
            stop.set()
            starved.set()
            pipe.close()
            feeder.join()
        assert result.ok and result.bytes_checked == len(content)
        assert len(pieces) == len(range(0, len(content), 256 << 10))

    def test_data_from_several_streams(self, tmp_path):
        """Two generators, two manifest sections: each block is checked
        against its own stream's digests, and reported by stream."""
        sizes = [3 * BLOCK + 1000, 2 * BLOCK]
        total = sum(sizes)
        out = tmp_path / "data"
        manifests = []
        with open(out, "wb") as f:
            offset = 0
            for index, size in enumerate(sizes):
                gen = vorn_py.Generator(size, dedup_ratio=2)
                manifests.append(tmp_path / f"m{index}")
                with ManifestWriter(manifests[-1], size, 2, data_offset=offset,
                                    dataset_size=total) as writer:
                    buffer = bytearray(BLOCK)
                    while (n := writer.fill_from(gen, buffer)) > 0:
                        f.write(buffer[:n])
                    writer.finish()
                offset += size
        assert verify(out, manifests[::-1]).ok
        flip(out, sizes[0] + BLOCK + 3)
        result = verify(out, manifests)
        assert result.mismatches == [
            Mismatch(str(out), sizes[0] + BLOCK, 1, BLOCK, sizes[0] + BLOCK, 1)]
        assert result.blocks_checked == 6

    def test_a_read_error_says_where(self, tmp_path):
        data, manifest = generate(tmp_path)
        raw = data.read_bytes()

        class FailingDisk(io.RawIOBase):
            """Reads like the file until byte 3 * BLOCK + 5, then fails."""
            name = "disk"

            def __init__(self):
                self.position = 0

            def readable(self):
                return True

            def readinto(self, buffer):
                if self.position >= 3 * BLOCK + 5:
                    raise OSError(errno.EIO, "Input/output error")
                count = min(len(buffer), 3 * BLOCK + 5 - self.position)
                buffer[:count] = raw[self.position:self.position + count]
                self.position += count
                return count

        with pytest.raises(TargetError, match=f"cannot read disk at offset {3 * BLOCK + 5}: "
                                              "Input/output error"):
            verify(FailingDisk(), manifest)


class TestParallelReads:
    @pytest.mark.parametrize("count, threads, batch", [
        (0, 2, 3), (1, 2, 3), (5, 2, 1), (50, 2, 3), (51, 3, 4), (7, 1, 2),
    ])
    def test_blocks_come_back_in_order_and_files_close_behind(self, count, threads, batch):
        """Digests are computed on several threads, a batch at a time, with
        a bounded number of blocks taken ahead; they come back in data
        order, and a file is closed only once every block reading it is done."""
        units = [verifying._Unit(0, n, 1, n, ((n // 3, 0, 1),)) for n in range(count)]
        drawn = [0]

        def source():
            for unit in units:
                drawn[0] += 1
                yield unit

        class Reader:
            def digest(self, unit):
                return b"%d" % unit.block

            def digest_all(self, batch_units):
                return [self.digest(unit) for unit in batch_units]

        class Files:
            closed_before = []

            def close_before(self, part):
                self.closed_before.append(part)

        files = Files()
        seen = []
        for unit, digest in verifying._digested_units(source(), Reader(), files, threads,
                                                      batch):
            assert all(part >= closed for part, _, _ in unit.pieces
                       for closed in files.closed_before)
            assert drawn[0] - len(seen) <= 2 * threads * batch
            seen.append((unit.block, digest))
        assert seen == [(n, b"%d" % n) for n in range(count)]
        assert files.closed_before == sorted(files.closed_before)
