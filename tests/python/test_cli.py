"""The vorn-gen command line, run as a user runs it: generate to files and
pipes with exact lengths, measure confirming the ratios, every failure path
with its exit status and byte count, and memory bounded by the chunk size."""

import json
import os
import pty
import resource
import signal
import subprocess
import sys
import zlib

import pytest

import vorn_py
from helpers import SANITIZED, default_sigint, run_python
from vorn_py import _nodes
from vorn_py import measure
from vorn_py.cli import achievable_dedup, parse_ratio, parse_size

VORN = os.path.join(os.path.dirname(sys.executable), "vorn-gen")
MiB = 1 << 20


def vorn(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 120)
    kwargs["preexec_fn"] = default_sigint(kwargs.get("preexec_fn"))
    return subprocess.run([VORN, *map(str, args)], **kwargs)


def run_on_terminal(args, stream):
    """Run with standard output (stream=1) or error (stream=2) on a pseudo
    terminal; returns the exit status and what appeared on the terminal."""
    master, slave = pty.openpty()
    streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    streams["stdout" if stream == 1 else "stderr"] = slave
    proc = subprocess.Popen([VORN, *args], stdin=subprocess.DEVNULL,
                            preexec_fn=default_sigint(), **streams)
    os.close(slave)
    seen = b""
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO: the child closed the terminal
            break
        if not data:
            break
        seen += data
    os.close(master)
    return proc.wait(timeout=60), seen.decode(errors="replace")


class TestParsing:
    @pytest.mark.parametrize("text, expected", [
        ("0", 0), ("4096", 4096), ("10B", 10),
        ("1KB", 1000), ("1kb", 1000), ("2MB", 2 * 10**6), ("3GB", 3 * 10**9), ("1TB", 10**12),
        ("1KiB", 1024), ("2MiB", 2 << 20), ("1gib", 1 << 30), ("1TiB", 1 << 40),
        ("1.5KB", 1500), ("0.5KiB", 512), (" 7 MiB ", 7 << 20),
    ])
    def test_sizes(self, text, expected):
        assert parse_size(text) == expected

    @pytest.mark.parametrize("text", ["", "-1", "1.5B", "10G", "1k", "5XB", "GiB", "1e3", "2^10",
                                      "99999999999TB"])
    def test_bad_sizes(self, text):
        with pytest.raises(Exception, match="size|unit"):
            parse_size(text)

    def test_ratios(self):
        assert [parse_ratio(t) for t in ("1", "2", "3.0", "1e2", "1e6")] == [1, 2, 3, 100, 10**6]
        for bad in ("0", "0.5", "1.5", "-2", "nan", "inf", "two", "", "1000001", "1e300"):
            with pytest.raises(Exception, match="ratio"):
                parse_ratio(bad)


class TestGenerate:
    def test_file_output_has_the_requested_ratios(self, tmp_path):
        out = tmp_path / "data.bin"
        result = vorn("generate", "64MiB", "--dedup", "4", "--compress", "3", "-o", out)
        assert result.returncode == 0, result.stderr
        assert out.stat().st_size == 64 * MiB
        # Standard error is not a terminal: no bar, just the summary line.
        summary = result.stderr.decode()
        assert summary.count("\n") == 1 and not result.stdout
        assert "wrote 67108864 bytes" in summary and "GB/s" in summary
        assert "dedup 4, compress 3" in summary

        measured = vorn("measure", "--json", out)
        assert measured.returncode == 0, measured.stderr
        figures = json.loads(measured.stdout)
        assert figures["size"] == 64 * MiB
        assert figures["dedup_ratio"] == 4.0
        for codec in ("zstd", "lz4", "zlib"):
            assert figures["compression"][codec]["ratio"] > 1.2, codec

    @pytest.mark.parametrize("size, expected", [
        ("0", 0), ("1000", 1000), ("1.5KB", 1500), ("4194303", 4194303),
        ("4MiB", 4194304), ("10000001", 10000001),
    ])
    def test_standard_output_gets_exactly_the_requested_bytes(self, size, expected):
        result = vorn("generate", size, "--compress", "2", "--chunk-size", "3MiB", "-o", "-")
        assert result.returncode == 0, result.stderr
        assert len(result.stdout) == expected

    def test_dedup_survives_small_chunks_and_few_threads(self):
        # The stream does not depend on how it is read or how many threads fill it.
        result = vorn("generate", "16MiB", "--dedup", "2", "--threads", "1",
                      "--chunk-size", "1000", "-o", "-")
        assert result.returncode == 0, result.stderr
        blocks = [result.stdout[i:i + 4 * MiB] for i in range(0, 16 * MiB, 4 * MiB)]
        assert blocks[0] == blocks[2] and blocks[1] == blocks[3] and blocks[0] != blocks[1]

    def test_achievable_dedup_is_what_measure_finds(self):
        for size, dedup in ((4 * MiB, 2), (7 * MiB, 2), (10 * MiB, 2), (16 * MiB, 3),
                            (20 * MiB, 2), (24 * MiB + 8192, 3), (36 * MiB, 9)):
            result = vorn("generate", size, "--dedup", dedup, "-q", "-o", "-")
            assert result.returncode == 0, result.stderr
            assert measure.dedup_ratio(result.stdout) == achievable_dedup(size, dedup), size

    def test_warns_when_the_size_cannot_give_the_dedup_ratio(self):
        warned = vorn("generate", "20MiB", "--dedup", "2", "-o", os.devnull)
        lines = warned.stderr.decode().splitlines()
        assert warned.returncode == 0 and len(lines) == 2
        assert lines[0] == ("vorn-gen: warning: at 20.00 MiB a dedup ratio of 2 comes out as "
                            "1.67, since data repeats in whole 4 MiB blocks; multiples of "
                            "8.00 MiB give it exactly")
        for args in (["80MiB", "--dedup", "2"], ["1MiB"], ["20MiB", "--dedup", "2", "-q"]):
            quiet = vorn("generate", *args, "-o", os.devnull)
            assert b"warning" not in quiet.stderr, args

    def test_quiet_and_fsync(self, tmp_path):
        out = tmp_path / "data.bin"
        result = vorn("generate", "8MiB", "--fsync", "--quiet", "-o", out)
        assert (result.returncode, result.stderr, out.stat().st_size) == (0, b"", 8 * MiB)

    def test_progress_bar_only_on_a_terminal(self):
        status, screen = run_on_terminal(["generate", "2GiB", "-o", os.devnull], stream=2)
        assert status == 0
        assert "generate:" in screen and "%|" in screen  # the bar was drawn
        assert "wrote 2147483648 bytes" in screen
        status, screen = run_on_terminal(["generate", "2GiB", "-q", "-o", os.devnull], stream=2)
        assert (status, screen) == (0, "")

    def test_python_m_runs_the_same_program(self):
        result = subprocess.run([sys.executable, "-m", "vorn_py", "generate", "1000", "-o", "-"],
                                capture_output=True, timeout=60, preexec_fn=default_sigint())
        assert result.returncode == 0 and len(result.stdout) == 1000
        result = subprocess.run([sys.executable, "-m", "vorn_py", "--version"],
                                capture_output=True, text=True, timeout=60,
                                preexec_fn=default_sigint())
        assert result.stdout.strip().endswith(vorn_py.__version__)


class TestFailures:
    def test_usage_errors_exit_2_without_writing(self, tmp_path):
        out = tmp_path / "data.bin"
        cases = [
            ["generate", "10XB", "-o", out],
            ["generate", "10G", "-o", out],
            ["generate", "1MiB", "--dedup", "1.5", "-o", out],
            ["generate", "1MiB", "--compress", "0", "-o", out],
            ["generate", "1MiB", "--threads", "0", "-o", out],
            ["generate", "1MiB", "--chunk-size", "0", "-o", out],
            ["generate", "1MiB", "--numa-mode", "sometimes", "-o", out],
            ["generate", "1MiB"],
            ["measure", "--codec", "gzip", out],
            ["measure", "--codec", "zstd:99", out],
            ["measure", "--chunk", "0", out],
            ["explode"],
            [],
        ]
        for args in cases:
            result = vorn(*args)
            assert result.returncode == 2, (args, result.stderr)
            assert b"error:" in result.stderr and b"Traceback" not in result.stderr, args
        assert not out.exists()

    def test_out_of_range_values_say_what_is_wrong(self, tmp_path):
        out, source = tmp_path / "data.bin", tmp_path / "source.bin"
        source.write_bytes(b"x" * 1000)
        huge = str(2**64)
        cases = [
            (["generate", "1MiB", "--threads", huge, "-o", out], "--threads", "at most"),
            (["generate", "1MiB", "--threads", "1025", "-o", out], "--threads", "at most 1024"),
            (["generate", "1MiB", "--numa-node", huge, "-o", out], "--numa-node", "at most"),
            (["generate", "1MiB", "--chunk-size", "1PiB", "-o", out], "--chunk-size", "at most"),
            (["generate", "1MiB", "--dedup", "1e300", "-o", out], "--dedup", "at most"),
            (["generate", "1MiB", "--compress", "1e400", "-o", out], "--compress", "finite"),
            (["generate", "-5MB", "-o", out], "SIZE", "cannot be negative"),
            (["generate", "1MiB", "--chunk-size", "-1KiB", "-o", out], "--chunk-size", "negative"),
            (["measure", "--chunk", "1TB", source], "--chunk", "at most 1GiB"),
            (["measure", "--chunk", str(2**64 - 1), source], "--chunk", "at most 1GiB"),
        ]
        for args, option, problem in cases:
            result = vorn(*args)
            errors = result.stderr.decode()
            assert result.returncode == 2, (args, errors)
            assert f"error: argument {option}: invalid" in errors and problem in errors, errors
            assert "Traceback" not in errors
        assert not out.exists()

    def test_non_blocking_pipes_are_waited_for(self, tmp_path):
        # Into a non-blocking pipe read in small pieces: full pipes make the
        # writer wait instead of failing.
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        with subprocess.Popen([VORN, "generate", "8MiB", "--compress", "2", "-o", "-"],
                              stdout=write_end, stderr=subprocess.PIPE,
                              preexec_fn=default_sigint()) as proc:
            os.close(write_end)
            received = bytearray()
            with open(read_end, "rb", buffering=0) as pipe:
                while piece := pipe.read(4096):
                    received += piece
            errors = proc.stderr.read().decode()
        assert (proc.returncode, len(received)) == (0, 8 * MiB), errors

        # Out of a non-blocking pipe fed in small pieces: empty pipes make
        # the reader wait instead of failing.
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        with subprocess.Popen([VORN, "measure", "--json", "--codec", "lz4", "-"],
                              stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              preexec_fn=default_sigint()) as proc:
            os.close(read_end)
            with open(write_end, "wb", buffering=0) as pipe:
                for start in range(0, len(received), 65536):
                    pipe.write(received[start:start + 65536])
            output, errors = proc.communicate(timeout=120)
        assert proc.returncode == 0, errors.decode()
        assert json.loads(output)["size"] == 8 * MiB

        # verify reads standard input the same way.
        data, manifest = tmp_path / "data.bin", tmp_path / "data.manifest"
        assert vorn("generate", "8MiB", "--dedup", "2", "-o", data, "--manifest",
                    manifest).returncode == 0
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        with subprocess.Popen([VORN, "verify", "--json", "-", "--manifest", manifest],
                              stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              preexec_fn=default_sigint()) as proc:
            os.close(read_end)
            content = data.read_bytes()
            with open(write_end, "wb", buffering=0) as pipe:
                for start in range(0, len(content), 65536):
                    pipe.write(content[start:start + 65536])
            output, errors = proc.communicate(timeout=120)
        assert proc.returncode == 0, errors.decode()
        assert json.loads(output)["bytes_checked"] == 8 * MiB

    def test_refuses_to_write_binary_to_a_terminal(self):
        status, _ = run_on_terminal(["generate", "1MiB", "-o", "-"], stream=1)
        assert status == 2

    def test_unwritable_paths(self, tmp_path):
        for target in (tmp_path / "missing" / "data.bin", tmp_path):
            result = vorn("generate", "1MiB", "-o", target)
            assert result.returncode == 1
            assert b"cannot open" in result.stderr and b"(0 bytes written)" in result.stderr

    @pytest.mark.skipif(SANITIZED, reason="the sanitizer cannot start under an address-space limit")
    def test_a_run_that_cannot_start_leaves_the_output_alone(self, tmp_path):
        def limit_memory():
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

        out = tmp_path / "existing.bin"
        out.write_bytes(b"keep me")
        result = vorn("generate", "8GiB", "--chunk-size", "4GiB", "-o", out,
                      preexec_fn=limit_memory)
        assert result.returncode == 1
        assert b"cannot allocate a 4.00 GiB buffer" in result.stderr
        assert out.read_bytes() == b"keep me"

    def test_full_disk(self):
        result = vorn("generate", "1MiB", "-o", "/dev/full")
        assert result.returncode == 1
        assert b"No space left on device" in result.stderr
        assert b"0 of 1048576 bytes written" in result.stderr

    def test_a_partial_write_reports_what_reached_the_file(self, tmp_path):
        # A file-size limit makes the kernel stop the file at 5 MiB + 3 bytes.
        limit = 5 * MiB + 3

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        out = tmp_path / "data.bin"
        result = vorn("generate", "64MiB", "--chunk-size", "4MiB", "-o", out,
                      preexec_fn=limit_file_size)
        assert result.returncode == 1
        assert f"{limit} of {64 * MiB} bytes written".encode() in result.stderr
        assert out.stat().st_size == limit

    def test_broken_pipe_is_a_clean_failure(self):
        writer = subprocess.Popen([VORN, "generate", "1GiB", "-o", "-"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  preexec_fn=default_sigint())
        head = subprocess.Popen(["head", "-c", "1000"], stdin=writer.stdout,
                                stdout=subprocess.PIPE)
        writer.stdout.close()
        received = head.communicate(timeout=60)[0]
        errors = writer.stderr.read().decode()
        assert writer.wait(timeout=60) == 1
        assert len(received) == 1000
        assert "broken pipe" in errors and "bytes written" in errors
        assert "Traceback" not in errors and "Exception ignored" not in errors

    @pytest.mark.parametrize("args", [["numa-info"], ["measure", "--json", "-"]])
    def test_closed_standard_output_for_reports(self, args):
        proc = subprocess.Popen([VORN, *args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=default_sigint())
        proc.stdout.close()  # gone before the report is printed
        _, errors = proc.communicate(input=b"x" * 10000, timeout=60)
        errors = errors.decode()
        assert proc.returncode == 1
        assert "broken pipe" in errors
        assert "Traceback" not in errors and "Exception ignored" not in errors

    def test_closed_standard_output(self, tmp_path):
        def close_stdout():
            os.close(1)

        out = tmp_path / "data.bin"
        written = vorn("generate", "1MiB", "-o", out, preexec_fn=close_stdout)
        assert written.returncode == 0, written.stderr  # nothing goes to standard output
        assert out.stat().st_size == MiB and b"wrote 1048576 bytes" in written.stderr
        manifest = tmp_path / "data.manifest"
        assert vorn("generate", "1MiB", "-o", out, "--manifest", manifest).returncode == 0
        verify = ["verify", out, "--manifest", manifest]
        out.write_bytes(b"x" * 1000)
        for args in (["numa-info"], ["measure", out], ["generate", "1MiB", "-o", "-"], verify):
            result = vorn(*args, preexec_fn=close_stdout)
            errors = result.stderr.decode()
            assert result.returncode == 1, (args, errors)
            assert "error: standard output is closed" in errors and "Traceback" not in errors

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
    @pytest.mark.parametrize("args", [["numa-info", "--json"], ["measure", "--json", "-"],
                                      ["generate", "1MiB", "-o", os.devnull, "--json"],
                                      ["generate", "1MiB", "-o", "-"]])
    def test_standard_output_that_refuses_writes(self, args):
        """A full device (or an I/O error) on standard output is one error
        line and exit 1, like any other failed write."""
        with open("/dev/full", "wb") as full:
            result = subprocess.run([VORN, *args], input=b"x" * 10000, stdout=full,
                                    stderr=subprocess.PIPE, timeout=60,
                                    preexec_fn=default_sigint())
        errors = result.stderr.decode()
        assert result.returncode == 1, errors
        assert "error: cannot write to standard output: No space left on device" in errors
        assert "Traceback" not in errors

    def test_interrupt_reports_the_bytes_written(self):
        proc = subprocess.Popen([VORN, "generate", "100TB", "-o", "-"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=default_sigint())
        try:
            assert len(proc.stdout.read(MiB)) == MiB  # data flows: it is generating
            proc.send_signal(signal.SIGINT)
            while proc.stdout.read(MiB):  # keep reading, so a write is never stuck
                pass
            errors = proc.stderr.read().decode()
            assert proc.wait(timeout=60) == 130
        finally:
            proc.kill()
            proc.wait()
        assert "interrupted (" in errors and "of 100000000000000 bytes written" in errors
        assert "Traceback" not in errors

    def test_interrupt_while_starting(self, tmp_path):
        # A stand-in for a library the command line imports, which says it is
        # being imported and then waits for a signal.
        (tmp_path / "xxhash.py").write_text(
            "import os, signal\nos.write(2, b'importing\\n')\nwhile True:\n    signal.pause()\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
        proc = subprocess.Popen([VORN, "numa-info"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=env, preexec_fn=default_sigint())
        try:
            assert proc.stderr.readline() == b"importing\n"
            proc.send_signal(signal.SIGINT)
            errors = proc.stderr.read().decode()
            assert proc.wait(timeout=60) == 130
        finally:
            proc.kill()
            proc.wait()
        assert errors == "vorn-gen: interrupted\n"


class TestDataSets:
    def test_generate_a_data_set_then_verify_the_directory(self, tmp_path):
        root, manifest = tmp_path / "set", tmp_path / "set" / "set.manifest"
        result = vorn("generate", "16MiB", "-o", root, "--files", "16", "--files-per-dir", "6",
                      "--dedup", "2", "--manifest", manifest, "--json")
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert report["ok"] and (report["bytes_written"], report["files_written"]) == (
            16 * MiB, 16)
        assert (report["size"], report["file_count"], report["dedup"]) == (16 * MiB, 16, 2)
        assert report["gb_per_s"] > 0 and report["manifest"] == str(manifest)
        assert not result.stderr  # no summary beside the JSON
        names = sorted(os.path.relpath(os.path.join(d, n), root)
                       for d, _, files in os.walk(root) for n in files)
        assert names == [f"d{i // 6}/f{i:02d}" for i in range(16)] + ["set.manifest"]

        # The manifest inside the directory is not taken for data.
        checked = vorn("verify", root, "--manifest", manifest)
        assert checked.returncode == 0 and b"OK" in checked.stdout, checked.stderr
        with open(root / "d0" / "f04", "r+b") as f:  # the first byte of block 1
            f.write(b"\0" * 3)
        checked = vorn("verify", root, "--manifest", manifest)
        assert checked.returncode == 1
        assert f"mismatch: block 1, 4194304 bytes at offset 0 of {root / 'd0' / 'f04'}".encode() \
            in checked.stdout
        os.unlink(root / "d2" / "f15")
        checked = vorn("verify", root, "--manifest", manifest)
        assert checked.returncode == 1
        assert b"does not hold the data set the manifest describes: 1 file of its 16 is " \
               b"missing (d2/f15)" in checked.stderr

    def test_summary_and_file_size(self, tmp_path):
        result = vorn("generate", "1MiB", "-o", tmp_path / "set", "--file-size", "300000")
        assert result.returncode == 0, result.stderr
        lines = result.stderr.decode().splitlines()
        assert lines[0].startswith("vorn-gen: warning: files of 300000 bytes start at offsets")
        assert f"wrote 1048576 bytes (1.00 MiB) in 4 files to {tmp_path / 'set'} in" in lines[1]
        sizes = [os.path.getsize(tmp_path / "set" / f"f{i}") for i in range(4)]
        assert sizes == [300000, 300000, 300000, 148576]
        quiet = vorn("generate", "1MiB", "-o", tmp_path / "set", "--file-size", "256KiB")
        assert quiet.returncode == 0 and b"warning" not in quiet.stderr

    def test_usage_errors(self, tmp_path):
        root = tmp_path / "set"
        cases = [
            (["--files-per-dir", "3"], "--files-per-dir needs --files or --file-size"),
            (["--files", "2", "--file-size", "1KiB"], "not allowed with argument"),
            (["--files", "0"], "must be at least 1"),
            (["--files", "2000000"], "2000000 files need at least 2000000 bytes"),
            (["--files", "2", "--manifest", root / "f1"], "cannot be one of the data set's"),
        ]
        for extra, message in cases:
            result = vorn("generate", "1MiB", "-o", root, *extra)
            errors = result.stderr.decode()
            assert result.returncode == 2 and message in errors, (extra, errors)
            assert "Traceback" not in errors
        for extra, message in [
            (["--files", "2"], "a data set of files needs a directory"),
            (["--direct"], "--direct needs a file or a directory"),
            (["--json"], "--json prints the report on standard output"),
        ]:
            result = vorn("generate", "1MiB", "-o", "-", *extra)
            assert result.returncode == 2 and message in result.stderr.decode(), extra
            assert not result.stdout
        assert not root.exists()

    def test_a_directory_without_files_is_not_a_file(self, tmp_path):
        result = vorn("generate", "1MiB", "-o", tmp_path)
        assert result.returncode == 1
        assert (b"cannot open" in result.stderr and b"--files N" in result.stderr
                and b"(0 bytes written)" in result.stderr)

    def test_json_report_of_a_single_file_and_of_a_failure(self, tmp_path):
        result = vorn("generate", "1000", "-o", tmp_path / "one", "--json")
        report = json.loads(result.stdout)
        assert result.returncode == 0 and report["ok"] and report["file_count"] == 1
        assert report["target"] == str(tmp_path / "one") and report["bytes_written"] == 1000
        result = vorn("generate", "1MiB", "-o", "/dev/full", "--json")
        report = json.loads(result.stdout)
        assert result.returncode == 1 and not report["ok"]
        assert report["error"] == "cannot write to /dev/full: No space left on device"
        assert report["bytes_written"] == 0 and report["files_written"] == 0


@pytest.mark.skipif(SANITIZED, reason="resident size is distorted by the sanitizer")
def test_multi_gib_generate_stays_within_the_chunk_size():
    # Started from a fresh, small interpreter: a child's peak resident size
    # includes that of the process it was forked from, here a large pytest.
    result = run_python(f"""
        import os, subprocess
        proc = subprocess.Popen([{VORN!r}, "generate", "4GiB", "--dedup", "2",
                                 "--compress", "3", "-o", os.devnull], stderr=subprocess.PIPE)
        errors = proc.stderr.read().decode()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        print(proc.returncode, usage.ru_maxrss * 1024, repr(errors))
    """)
    assert result.returncode == 0, result.stderr
    status, peak, errors = result.stdout.split(" ", 2)
    assert status == "0", errors
    assert "wrote 4294967296 bytes" in errors
    assert int(peak) < 32 * MiB + 100 * MiB, f"peak resident size {int(peak) >> 20} MiB"


class TestNumaNode:
    def test_cpu_lists(self):
        assert _nodes.parse_cpu_list("0-3,8,10-11\n") == {0, 1, 2, 3, 8, 10, 11}
        assert _nodes.parse_cpu_list("\n") == set()  # a node with memory only
        for bad in ("0-", "a", "1,,x"):
            with pytest.raises(ValueError):
                _nodes.parse_cpu_list(bad)

    def test_generate_runs_on_the_node_it_is_given(self, tmp_path):
        # A node tree of our own: node 1 holds the last CPU we may use, node 2
        # only a CPU we may not use, node 3 is missing, node 5's list is garbled.
        allowed = sorted(os.sched_getaffinity(0))
        cpulists = {0: ",".join(map(str, allowed)), 1: str(allowed[-1]), 2: str(allowed[-1] + 1),
                    4: "", 5: "x"}
        for node, cpulist in cpulists.items():
            (tmp_path / f"node{node}").mkdir()
            (tmp_path / f"node{node}" / "cpulist").write_text(cpulist + "\n")
        (tmp_path / "possible").write_text("0-4\n")  # not a node
        result = run_python(f"""
            import os, vorn_py
            from vorn_py import _nodes, cli

            _nodes.NODE_ROOT = {str(tmp_path)!r}
            seen = []
            make = vorn_py.Generator
            def recording(*args, **kwargs):
                seen.append(sorted(os.sched_getaffinity(0)))
                return make(*args, **kwargs)
            vorn_py.Generator = recording
            for node in (1, 2, 3, 5):
                status = cli.main(["generate", "1MiB", "--numa-node", str(node), "-q",
                                   "-o", os.devnull])
                # The calling thread has its own CPUs back once main returns.
                print(node, status, seen, sorted(os.sched_getaffinity(0)), flush=True)
        """)
        lines = result.stdout.splitlines()
        assert lines == [f"1 0 [[{allowed[-1]}]] {allowed}", f"2 1 [[{allowed[-1]}]] {allowed}",
                         f"3 2 [[{allowed[-1]}]] {allowed}", f"5 1 [[{allowed[-1]}]] {allowed}"], \
            result.stderr
        errors = result.stderr.splitlines()
        assert errors[0].endswith(
            f"error: NUMA node 2 has no CPU this process may run on: it may use CPUs "
            f"{_nodes._cpu_list(set(allowed))} only (0 bytes written)")
        assert errors[1].endswith("error: NUMA node 3 does not exist: this machine has nodes "
                                  "0-2,4-5")
        assert errors[2].endswith("error: cannot read the CPUs of NUMA node 5: not a CPU list: "
                                  "'x' (0 bytes written)")

    def test_nodes_of_this_machine(self, tmp_path):
        present = _nodes.nodes() or [0]
        out = tmp_path / "data.bin"
        result = vorn("generate", "1MiB", "--numa-node", present[0], "-o", out)
        assert result.returncode == 0 and out.stat().st_size == MiB, result.stderr
        result = vorn("generate", "1MiB", "--numa-node", present[-1] + 1, "-o", out)
        assert result.returncode == 2
        assert f"error: NUMA node {present[-1] + 1} does not exist".encode() in result.stderr

    def test_numa_mode_is_accepted_with_a_note(self, tmp_path):
        out = tmp_path / "data.bin"
        result = vorn("generate", "1MiB", "--numa-mode", "force", "-o", out)
        assert result.returncode == 0
        assert b"note: --numa-mode has no effect" in result.stderr
        quiet = vorn("generate", "1MiB", "--numa-mode", "disabled", "-q", "-o", out)
        assert (quiet.returncode, quiet.stderr) == (0, b"")


class TestMeasureCommand:
    def test_standard_input_and_readable_output(self):
        data = bytes(vorn_py.generate_buffer(8 * MiB, dedup_ratio=2.0, compress_ratio=2.0))
        result = vorn("measure", "-", "--codec", "zlib:1", "--codec", "lz4", input=data)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        assert lines[0] == "source: standard input"
        assert lines[1].split()[1] == str(8 * MiB)
        assert lines[2].split()[1] == "2.00"
        table = {row.split()[0]: row.split()[1:] for row in lines[5:]}
        assert list(table) == ["zlib-1", "lz4"]
        figures = json.loads(vorn("measure", "--json", "--codec", "zlib:1", "--codec", "lz4", "-",
                                  input=data).stdout)
        for label, codec in (("zlib-1", "zlib"), ("lz4", "lz4")):
            ratio, combined, compressed = table[label]
            assert float(ratio) == round(figures["compression"][codec]["ratio"], 2)
            assert float(combined) == round(figures["combined"][codec], 2)
            assert int(compressed) == figures["compression"][codec]["compressed_size"]
        skipped = vorn("measure", "--no-combined", "--codec", "lz4", "-", input=data)
        assert skipped.stdout.decode().splitlines()[-1].split()[2] == "-"

    def test_record_sizes(self):
        data = bytes(vorn_py.generate_buffer(4 * MiB, compress_ratio=3.0))
        args = ["measure", "--codec", "zlib:1", "--codec", "lz4",
                "--record-size", "4KiB", "--record-size", "32KiB", "-"]
        result = vorn(*args, input=data)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        rows = [line.split() for line in lines[lines.index("", 4) + 2:]]
        assert [row[:2] for row in rows] == [["4KiB", "zlib-1"], ["4KiB", "lz4"],
                                             ["32KiB", "zlib-1"], ["32KiB", "lz4"]]
        figures = json.loads(vorn(*args[:-1], "--json", "-", input=data).stdout)
        for (record, codec, ratio, _, compressed), size, name in zip(
                rows, ("4096", "4096", "32768", "32768"), ("zlib", "lz4") * 2):
            expected = figures["records"][size][name]
            assert float(ratio) == round(expected["ratio"], 2)
            assert int(compressed) == expected["compressed_size"]
        assert figures["records"]["4096"]["zlib"]["compressed_size"] == sum(
            len(zlib.compress(data[i:i + 4096], 1)) for i in range(0, len(data), 4096))
        too_large = vorn("measure", "--record-size", "1GiB", "-", input=b"x")
        assert too_large.returncode == 2 and b"at most 64MiB" in too_large.stderr

    def test_estimate(self):
        # 262144 distinct 64-byte chunks: more than the sample holds.
        data = b"".join(i.to_bytes(8, "little") * 8 for i in range(262144))
        result = vorn("measure", "--estimate", "--chunk", "64", "--codec", "lz4", "-", input=data)
        assert result.returncode == 0, result.stderr
        dedup = result.stdout.decode().splitlines()[2]
        assert dedup.startswith("dedup:  1.0") and "(estimated, standard error 0." in dedup
        figures = json.loads(vorn("measure", "--estimate", "--json", "--chunk", "64",
                                  "--codec", "lz4", "-", input=data).stdout)
        assert figures["dedup_exact"] is False and 0 < figures["dedup_error"] < 0.0039
        assert figures["unique_chunks"] == pytest.approx(262144, rel=5 * figures["dedup_error"])
        assert figures["combined"] == {}  # an estimate cannot compress every distinct chunk

    def test_progress_bar_for_large_inputs_on_a_terminal(self, tmp_path):
        large, small = tmp_path / "large.bin", tmp_path / "small.bin"
        large.write_bytes(vorn_py.generate_buffer(64 * MiB, compress_ratio=2.0))
        small.write_bytes(b"x" * MiB)
        status, screen = run_on_terminal(["measure", "--codec", "lz4", str(large)], stream=2)
        assert status == 0 and "measure:" in screen and "%|" in screen
        status, screen = run_on_terminal(["measure", "--codec", "lz4", str(small)], stream=2)
        assert (status, screen) == (0, "")

    def test_unreadable_inputs(self, tmp_path):
        for target in (tmp_path / "missing.bin", tmp_path):
            result = vorn("measure", target)
            assert result.returncode == 1
            assert b"cannot open" in result.stderr and b"Traceback" not in result.stderr


class TestNumaInfo:
    def test_readable_and_json_match_the_module(self):
        expected = vorn_py.get_numa_info()
        as_json = vorn("numa-info", "--json")
        assert as_json.returncode == 0
        assert json.loads(as_json.stdout) == expected
        readable = vorn("numa-info").stdout.decode().splitlines()
        assert [line.split(":")[0] for line in readable] == list(expected)
        assert readable[-1].split(":", 1)[1].strip() == expected["deployment_type"]
