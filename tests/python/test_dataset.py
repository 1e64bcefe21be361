"""Data sets of files: the files, names and sizes the layout says; the ratios
of one stream over the whole data set; manifests that verify it; the writer
core's overlap and buffer hand-back; direct I/O where the file system takes
it and a clear error where it does not; and failures (a full file system,
an unwritable subdirectory, a target that is not a directory) reported with
the true count of what was written."""

import concurrent.futures
import ctypes
import errno
import json
import os
import shutil
import subprocess
import sys
import threading

import pytest

import vorn_py
from helpers import BLOCK, default_sigint
from vorn_py import _direct, measure, sinks
from vorn_py.cli import achievable_dedup
from vorn_py.dataset import WriteError, WriteInterrupted, write_dataset, write_file
from vorn_py.layout import PAGE, DatasetLayout
from vorn_py.manifest import ManifestWriter, read_manifest, unique_block_count
from vorn_py.verify import TargetError, verify
from vorn_py.writer import GeneratorEnded, StreamWriter, WriteFailure, allocate_buffers

VORN = os.path.join(os.path.dirname(sys.executable), "vorn-gen")
MiB = 1 << 20


def vorn(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 120)
    kwargs["preexec_fn"] = default_sigint(kwargs.get("preexec_fn"))
    return subprocess.run([VORN, *map(str, args)], **kwargs)


def files_under(root):
    """{relative path: size} of every file under root."""
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def concatenation(root, layout):
    return b"".join(open(os.path.join(root, entry.path), "rb").read() for entry in layout)


def flip(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 1]))


# ------------------------------------------------------------------ mounts

def try_mount(point, *args):
    """Mount on ``point``; None when done, else why it cannot be done here."""
    if os.geteuid() != 0:
        return "mounting a file system for this test needs root"
    if shutil.which("mount") is None:
        return "no mount command"
    point.mkdir(exist_ok=True)
    result = subprocess.run(["mount", *map(str, args), str(point)], capture_output=True,
                            text=True)
    if result.returncode != 0:
        return f"cannot mount here ({' '.join(map(str, args))}): {result.stderr.strip()}"
    return None


def mount(point, *args):
    """Mount on ``point`` or skip saying why it cannot be done here."""
    reason = try_mount(point, *args)
    if reason is not None:
        pytest.skip(reason)
    return point


def unmount(point):
    subprocess.run(["umount", str(point)], capture_output=True, check=False)


def takes_direct_io(directory):
    """An independent look: does open(O_DIRECT) work in this directory?"""
    path = os.path.join(directory, ".direct-check")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_DIRECT, 0o600)
    except OSError as exc:
        assert exc.errno == errno.EINVAL, exc
        return False
    finally:
        if os.path.exists(path):
            os.unlink(path)
    os.close(fd)
    return True


@pytest.fixture
def small_tmpfs(tmp_path):
    point = mount(tmp_path / "full", "-t", "tmpfs", "-o", "size=1m", "tmpfs")
    try:
        yield point
    finally:
        unmount(point)


@pytest.fixture
def direct_dir(tmp_path):
    """ext4 on a loop device where one can be made; else the disk under
    tmp_path when it takes O_DIRECT; else a skip that says why."""
    point = tmp_path / "ext4"
    made = None
    if os.geteuid() == 0 and shutil.which("mkfs.ext4") and shutil.which("losetup"):
        image = tmp_path / "ext4.img"
        with open(image, "wb") as f:
            f.truncate(96 * MiB)
        formatted = subprocess.run(["mkfs.ext4", "-q", "-F", "-b", "4096", str(image)],
                                   capture_output=True)
        point.mkdir()
        if formatted.returncode == 0 and subprocess.run(
                ["mount", "-o", "loop", str(image), str(point)],
                capture_output=True).returncode == 0:
            made = point
    if made is None:
        if not takes_direct_io(tmp_path):
            pytest.skip("no loop device here, and the file system under the test directory "
                        "refuses O_DIRECT")
        made = tmp_path / "direct"
        made.mkdir()
    try:
        yield made
    finally:
        if made == point:
            unmount(point)


# ------------------------------------------------------------ the data set

class TestLayoutOnDisk:
    def test_files_names_sizes_and_total(self, tmp_path):
        root = tmp_path / "set"
        size = 25 * PAGE + 100
        report = write_dataset(root, size, files=7, files_per_dir=3)
        layout = DatasetLayout.plan(size, files=7, files_per_dir=3)
        assert files_under(root) == {entry.path: entry.size for entry in layout}
        assert sorted(files_under(root)) == [entry.path for entry in layout]
        assert (report.bytes_written, report.files_written, report.size,
                report.file_count) == (size, 7, size, 7)
        assert report.ok and report.error is None and report.seconds > 0
        as_dict = report.to_dict()
        assert json.loads(json.dumps(as_dict)) == as_dict
        assert as_dict["ok"] and as_dict["gb_per_s"] == report.gb_per_s

        # Again with files of one size: same names are rewritten, others stay.
        (root / "notes.txt").write_text("mine")
        report = write_dataset(root, 3 * MiB + 5, file_size=MiB)
        assert report.file_count == 4
        on_disk = files_under(root)
        assert [on_disk[f"f{i}"] for i in range(4)] == [MiB, MiB, MiB, 5]
        assert on_disk["notes.txt"] == 4 and on_disk["d0/f0"] == PAGE * 4

    def test_the_files_are_one_stream(self, tmp_path):
        """Blocks repeat across files as in one stream: the concatenation's
        dedup at 4 KiB is exactly what the size gives, and each 4 KiB
        record compresses as asked."""
        size = 6 * BLOCK + 3 * PAGE
        layout = DatasetLayout.plan(size, files=37)
        write_dataset(tmp_path, layout, dedup_ratio=2, compress_ratio=3)
        data = concatenation(tmp_path, layout)
        assert len(data) == size
        unique = unique_block_count(size, 2)
        blocks = [data[i:i + BLOCK] for i in range(0, size, BLOCK)]
        assert blocks[unique] == blocks[0] and blocks[0] != blocks[1]
        figures = measure.measure(data, chunk_size=4096, codecs={"zstd": 3},
                                  combined=False, record_size=4096)
        assert figures["dedup_ratio"] == achievable_dedup(size, 2)
        assert figures["records"][4096]["zstd"]["ratio"] == pytest.approx(3, rel=0.05)

    def test_manifest_verifies_and_a_flipped_byte_names_its_file(self, tmp_path):
        root = tmp_path / "set"
        # Files of 1 MiB: every fourth one starts a block.
        manifest = tmp_path / "set.manifest"
        write_dataset(root, 10 * MiB, files=10, files_per_dir=4, dedup_ratio=2,
                      manifest=manifest)
        assert verify(root, manifest).ok
        assert read_manifest(manifest).dataset == DatasetLayout.plan(10 * MiB, files=10,
                                                                     files_per_dir=4)
        flip(root / "d1" / "f4", 0)
        result = verify(root, manifest)
        assert result.mismatch_count == 1
        mismatch = result.mismatches[0]
        assert (mismatch.file, mismatch.offset, mismatch.block) == (str(root / "d1" / "f4"), 0, 1)

    def test_a_directory_must_hold_exactly_the_data_set(self, tmp_path):
        root = tmp_path / "set"
        manifest = root / "set.manifest"  # inside: not taken for data
        write_dataset(root, 6 * PAGE, files=6, manifest=manifest)
        assert verify(root, manifest).ok
        os.rename(root / "f5", tmp_path / "f5")
        with pytest.raises(TargetError, match=r"1 file of its 6 is missing \(f5\)"):
            verify(root, manifest)
        os.rename(tmp_path / "f5", root / "f5")
        (root / "f6").write_bytes(b"x")
        (root / "sub").mkdir()
        (root / "sub" / "extra").write_bytes(b"x")
        with pytest.raises(TargetError, match=r"2 files are not part of it \(f6, sub/extra\)"):
            verify(root, manifest)
        os.unlink(root / "f6")
        shutil.rmtree(root / "sub")
        with open(root / "f2", "r+b") as f:
            f.truncate(100)
        with pytest.raises(TargetError, match=r"1 file of another size \(f2: 100 bytes, "
                                              r"not 4096\)"):
            verify(root, manifest)

    def test_shares_written_apart_verify_together(self, tmp_path):
        """Each share is its own stream with its own manifest placed at its
        offset; together they are the data set."""
        layout = DatasetLayout.plan(20 * MiB + 7, files=20, files_per_dir=8)
        shares = layout.split(2, granule=8 * MiB)
        assert shares[1].offset == 8 * MiB  # a whole dedup-2 group
        manifests = [tmp_path / f"m{rank}" for rank in range(2)]
        for share, manifest in zip(shares, manifests):
            report = write_dataset(tmp_path / "set", share, dedup_ratio=2, manifest=manifest)
            assert (report.offset, report.first_file) == (share.offset, share.first)
            assert report.bytes_written == share.size and report.files_written == len(share)
        assert verify(tmp_path / "set", manifests).ok
        with pytest.raises(Exception, match="no manifest covers"):
            verify(tmp_path / "set", manifests[:1])


    def test_a_share_whose_directory_another_writer_makes_meanwhile(self, tmp_path,
                                                                    monkeypatch):
        """Writers of shares start together: the directory that was missing
        when one looked may be there when it makes it."""
        root = tmp_path / "set"
        made = os.makedirs

        def another_writer_first(path, *args, **kwargs):
            made(path)
            raise FileExistsError(errno.EEXIST, "File exists", str(path))

        monkeypatch.setattr(os, "makedirs", another_writer_first)
        share = DatasetLayout.plan(2 * MiB, files=4).split(2)[1]
        report = write_dataset(root, share)
        assert report.ok and report.files_written == 2

# ------------------------------------------------------------- the core

class Recorder:
    """A destination whose sinks keep what they are given, in memory."""

    def __init__(self, sizes, alignment=1, on_write=None):
        self.sizes = sizes
        self.alignment = alignment
        self.files = {}
        self.closed = []
        self.on_write = on_write

    def name_of(self, index):
        return f"file{index}"

    def open(self, index):
        recorder = self

        class Sink:
            name = f"file{index}"
            written = 0

            def write(self, data):
                pending = recorder.on_write(index, data) if recorder.on_write else None
                if pending is None:
                    recorder.files.setdefault(index, bytearray()).extend(data)
                self.written += len(data)
                return pending

            def close(self):
                recorder.closed.append(index)

            def abort(self):
                pass

        return Sink()

    def finish(self):
        pass

    def abort(self):
        pass


class Sizes:
    def __init__(self, sizes):
        self.sizes = sizes

    def __len__(self):
        return len(self.sizes)

    def size_of(self, index):
        return self.sizes[index]


def counting_fill():
    """A stand-in generator whose byte at stream offset k is k mod 251."""
    position = [0]

    def fill(view):
        for i in range(len(view)):
            view[i] = (position[0] + i) % 251
        position[0] += len(view)
        return len(view)
    return fill


def expected_stream(size):
    return bytes(k % 251 for k in range(size))


class TestWriterCore:
    def test_generation_and_writing_overlap(self):
        """The first write waits until the second buffer is being filled:
        without overlap it would wait forever (the guard's timeout fails it)."""
        second_fill = threading.Event()
        fills = []
        inner = counting_fill()

        def fill(view):
            fills.append(len(view))
            if len(fills) == 2:
                second_fill.set()
            return inner(view)

        waited = []

        def on_write(index, data):
            if not waited:
                waited.append(second_fill.wait(timeout=60))
            return None

        sizes = [3000] * 8
        destination = Recorder(sizes, on_write=on_write)
        writer = StreamWriter(Sizes(sizes), destination, fill, allocate_buffers(2, 4096))
        writer.run()
        assert waited == [True]
        stream = expected_stream(sum(sizes))
        assert b"".join(destination.files[i] for i in range(8)) == stream
        assert destination.closed == list(range(8))
        assert (writer.tally.bytes_written, writer.tally.files_written) == (24000, 8)

    def test_a_buffer_is_reused_only_once_its_pending_writes_are_done(self):
        """A sink may keep a piece until the Pending it returned completes
        (an upload in flight): no fill touches memory an unfinished upload
        still holds, and every upload sends the bytes it was given."""
        pool = concurrent.futures.ThreadPoolExecutor(4)
        # Uploads start only once the writer waits for one, so that a writer
        # that reused a buffer without waiting would meet them unfinished.
        release = threading.Event()
        lock = threading.Lock()
        holding = {}  # upload number -> (start address, end address)
        overlaps = []
        copies = {}
        fills = [0]
        inner = counting_fill()

        def address(view):
            return ctypes.addressof(ctypes.c_char.from_buffer(view))

        def fill(view):
            fills[0] += 1
            start = address(view)
            with lock:
                overlaps.extend(n for n, (a, b) in holding.items()
                                if a < start + len(view) and start < b)
            return inner(view)

        class Upload:
            def __init__(self, future):
                self.future = future

            def done(self):
                return self.future.done()

            def result(self):
                release.set()
                return self.future.result()

        def later(index, data):
            with lock:
                number = len(holding) + len(copies)
                holding[number] = (address(data), address(data) + len(data))

            def upload():
                release.wait(timeout=60)
                copy = bytes(data)
                with lock:
                    copies[number] = (index, copy)
                    del holding[number]
            return Upload(pool.submit(upload))

        sizes = [5000, 20000, 1, 7000, 30000]
        writer = StreamWriter(Sizes(sizes), Recorder(sizes, on_write=later), fill,
                              allocate_buffers(4, 8192))
        try:
            writer.run()
        finally:
            release.set()
            pool.shutdown(wait=True)
        assert overlaps == [] and fills[0] > 4  # buffers were reused
        sent = b"".join(copy for _, (_, copy) in sorted(copies.items()))
        assert sent == expected_stream(sum(sizes))

    def test_a_failing_sink_stops_the_run_with_a_true_count(self):
        def on_write(index, data):
            if index == 2:
                raise OSError(errno.ENOSPC, "No space left on device")
            return None

        sizes = [4096] * 5
        writer = StreamWriter(Sizes(sizes), Recorder(sizes, on_write=on_write),
                              counting_fill(), allocate_buffers(2, 8192))
        with pytest.raises(WriteFailure, match="cannot write to file2: No space left"):
            writer.run()
        assert (writer.tally.bytes_written, writer.tally.files_written) == (8192, 2)

        short = lambda view: 0  # noqa: E731  a generator that has nothing
        writer = StreamWriter(Sizes(sizes), Recorder(sizes), short, allocate_buffers(2, 8192))
        with pytest.raises(GeneratorEnded):
            writer.run()
        assert writer.tally.bytes_written == 0

    def test_the_last_uploads_are_waited_for_and_their_failure_raised(self):
        """A run ends when its data is stored: the uploads of the last
        buffers are waited for, and their failure is the run's."""
        class Upload:
            """An upload that gets on only once it is waited for."""

            def __init__(self, index):
                self.index = index

            def done(self):
                return False

            def result(self):
                if self.index == 3:
                    raise OSError(errno.EIO, "Input/output error")

        sizes = [4096] * 4
        writer = StreamWriter(Sizes(sizes), Recorder(sizes, on_write=lambda i, d: Upload(i)),
                              counting_fill(), allocate_buffers(4, 8192))
        with pytest.raises(WriteFailure, match="cannot write to file3: Input/output"):
            writer.run()
        assert writer.tally.files_written == 4  # the sinks took every byte

    def test_files_completed_later_count_once_their_completion_succeeds(self):
        """Sinks whose close hands back a pending completion (uploads): a file
        counts when it completes; one that fails is not counted, the
        destination is told to end its work, and completions that succeed
        meanwhile still count."""
        pool = concurrent.futures.ThreadPoolExecutor(4)
        failing = 2
        aborted = []

        class Completing(Recorder):
            def open(self, index):
                sink = super().open(index)
                size = self.sizes[index]

                class Later:
                    name = sink.name
                    written = 0

                    def write(self, data):
                        return sink.write(data)

                    def close(self):
                        def complete():
                            if index == failing:
                                raise sinks.SinkError(f"cannot complete {sink.name}")
                            Later.written = size
                        sink.close()
                        return pool.submit(complete)

                    def abort(self):
                        pass

                return Later()

            def abort(self):
                aborted.append(True)
                pool.shutdown(wait=True)  # every completion has ended

        sizes = [3000, 5000, 7000, 2000, 1000]
        writer = StreamWriter(Sizes(sizes), Completing(sizes), counting_fill(),
                              allocate_buffers(4, 8192))
        with pytest.raises(WriteFailure, match="cannot complete file2"):
            writer.run()
        assert aborted == [True]
        # Files 0 and 1 completed before file 2 failed; 3 and 4 may have
        # completed meanwhile, and each counts if it did.
        assert writer.tally.files_written in (2, 3, 4)
        complete = [0, 1, 3, 4][:writer.tally.files_written]
        assert writer.tally.bytes_written == sum(sizes[i] for i in complete)

        failing = None
        pool = concurrent.futures.ThreadPoolExecutor(4)
        destination = Completing(sizes)
        writer = StreamWriter(Sizes(sizes), destination, counting_fill(),
                              allocate_buffers(2, 8192))
        writer.run()
        pool.shutdown(wait=True)
        assert (writer.tally.bytes_written, writer.tally.files_written) == (sum(sizes), 5)
        assert aborted == [True]

    def test_an_interrupt_reports_what_reached_the_files(self, tmp_path):
        manifest = tmp_path / "m"
        seen = []

        def progress(count):
            seen.append(count)
            if sum(seen) >= 3 * MiB:
                raise KeyboardInterrupt

        with pytest.raises(WriteInterrupted) as caught:
            write_dataset(tmp_path / "set", 16 * MiB, files=16, chunk_size=MiB,
                          manifest=manifest, progress=progress)
        report = caught.value.report
        on_disk = files_under(tmp_path / "set")
        assert report.bytes_written == sum(on_disk.values()) == 3 * MiB
        assert report.files_written == 3 and report.error == "interrupted"
        assert not report.ok and not manifest.exists()
        assert "3145728 of 16777216 bytes written, 3 of 16 files complete" in str(caught.value)

    def test_an_interrupt_while_the_manifest_is_finished(self, tmp_path, monkeypatch):
        """The data is all written and the manifest is being finished (and
        synced, which takes a while): the interrupt still comes with the
        report of what was written."""
        manifest = tmp_path / "m"

        def interrupted(self, fsync=False):
            raise KeyboardInterrupt

        monkeypatch.setattr(ManifestWriter, "finish", interrupted)
        with pytest.raises(WriteInterrupted) as caught:
            write_dataset(tmp_path / "set", 2 * MiB, files=2, manifest=manifest, fsync=True)
        report = caught.value.report
        assert report.bytes_written == 2 * MiB and report.files_written == 2
        assert report.manifest is None and report.error == "interrupted"
        assert "all 2097152 bytes of data written, manifest not written" in str(caught.value)
        assert not manifest.exists()

    def test_an_interrupt_just_after_a_write_still_counts_it(self, tmp_path, monkeypatch):
        """An interrupt taken as a write returns, before its count is added:
        the file's own position says how far it got."""
        real_write = os.write
        writes = []

        def write_then_interrupt(fd, data):
            count = real_write(fd, data)
            writes.append(count)
            if len(writes) == 3:
                raise KeyboardInterrupt
            return count

        monkeypatch.setattr(os, "write", write_then_interrupt)
        with pytest.raises(WriteInterrupted) as caught:
            write_dataset(tmp_path / "set", 8 * MiB, files=2, chunk_size=MiB)
        monkeypatch.undo()
        report = caught.value.report
        assert report.bytes_written == sum(files_under(tmp_path / "set").values()) == 3 * MiB

    def test_fsync_each_file_and_its_directories(self, tmp_path, monkeypatch):
        synced = []
        real = os.fsync

        def recording(fd):
            synced.append(os.readlink(f"/proc/self/fd/{fd}"))
            real(fd)

        monkeypatch.setattr(os, "fsync", recording)
        root = tmp_path / "set"
        write_dataset(root, 5 * PAGE, files=5, files_per_dir=2, fsync=True)
        files = [str(root / p) for p in ("d0/f0", "d0/f1", "d1/f2", "d1/f3", "d2/f4")]
        assert synced[:5] == files
        assert set(synced[5:]) == {str(root), str(root / "d0"), str(root / "d1"),
                                   str(root / "d2"), str(tmp_path)}

        # Directories made above the data set: each one's name is new in its
        # parent, up to the directory that was there.
        synced.clear()
        deep = tmp_path / "a" / "b" / "set"
        write_dataset(deep, 2 * PAGE, files=2, fsync=True)
        assert set(synced[2:]) == {str(deep), str(tmp_path / "a" / "b"), str(tmp_path / "a"),
                                   str(tmp_path)}
        synced.clear()
        write_dataset(deep, 2 * PAGE, files=2, fsync=True)  # all there now: only its parent
        assert set(synced[2:]) == {str(deep), str(tmp_path / "a" / "b")}

    def test_bad_arguments_make_nothing(self, tmp_path):
        root = tmp_path / "set"
        for kwargs, message in [
            (dict(files=11), "11 files need at least 11 bytes"),
            (dict(files=2, chunk_size=0), "chunk_size must be at least 1"),
            (dict(files=2, buffers=1), "buffers must be at least 2"),
            (dict(files=2, threads=0), "threads must be at least 1"),
            (dict(files=2, manifest=root / "f1"), "would be one of the data set's files"),
        ]:
            with pytest.raises(ValueError, match=message):
                write_dataset(root, 10, **kwargs)
        assert not root.exists()
        with pytest.raises(ValueError, match="go with a size, not with a layout"):
            write_dataset(root, DatasetLayout.plan(10, files=2), files=2)
        with pytest.raises(ValueError, match="cannot be the output file"):
            write_file(tmp_path / "x", 10, manifest=tmp_path / "x")
        with pytest.raises(ValueError, match="needs a path"):
            write_file(1, 10, direct=True)


# ------------------------------------------------------------ direct I/O

class TestDirectIO:
    def test_whole_blocks_direct_and_the_end_through_the_cache(self, direct_dir, monkeypatch):
        opened, cleared = [], []
        real_open, real_clear = os.open, _direct.clear_direct

        def recording_open(path, flags, *args, **kwargs):
            opened.append((os.path.basename(path), bool(flags & os.O_DIRECT)))
            return real_open(path, flags, *args, **kwargs)

        def recording_clear(fd):
            cleared.append(os.readlink(f"/proc/self/fd/{fd}"))
            real_clear(fd)

        monkeypatch.setattr(os, "open", recording_open)
        monkeypatch.setattr(_direct, "clear_direct", recording_clear)
        root = direct_dir / "set"
        manifest = direct_dir / "set.manifest"
        size = 3 * BLOCK + 5 * PAGE + 123  # three files on pages, the last with 123 more
        report = write_dataset(root, size, files=3, direct=True, manifest=manifest,
                               chunk_size=MiB + 1, dedup_ratio=2, compress_ratio=2)
        assert report.ok and report.direct
        data_files = [(name, direct) for name, direct in opened if name.startswith("f")]
        assert data_files == [("f0", True), ("f1", True), ("f2", True)]
        assert cleared == [str(root / "f2")]  # only the last file has a partial block
        assert verify(root, manifest).ok

        single = direct_dir / "one.bin"
        report = write_file(single, 5 * MiB + 1, direct=True, manifest=direct_dir / "one.m")
        assert report.ok and os.path.getsize(single) == 5 * MiB + 1
        assert cleared[-1] == str(single)
        assert verify(single, direct_dir / "one.m").ok

    def test_a_file_system_that_refuses_direct_io(self, tmp_path):
        point = mount(tmp_path / "ramfs", "-t", "ramfs", "ramfs")
        try:
            assert not takes_direct_io(point)
            with pytest.raises(WriteError, match="refuses direct I/O") as caught:
                write_dataset(point / "set", MiB, files=4, direct=True)
            assert caught.value.report.bytes_written == 0
            assert os.listdir(point) == []  # nothing half made
            result = vorn("generate", "1MiB", "-o", point / "one", "--direct")
            assert result.returncode == 1
            assert (b"refuses direct I/O (O_DIRECT)" in result.stderr
                    and b"(0 bytes written)" in result.stderr)
            assert os.listdir(point) == []
        finally:
            unmount(point)

    def test_tmpfs(self, tmp_path):
        """Older kernels refuse O_DIRECT on tmpfs, newer ones take it; either
        way the answer is clear and the data, when written, is right."""
        point = tmp_path / "tmpfs"
        reason = try_mount(point, "-t", "tmpfs", "-o", "size=32m", "tmpfs")
        if reason is None:
            directory = point
        elif os.path.isdir("/dev/shm"):
            directory = type(tmp_path)(f"/dev/shm/vorn-test-{os.getpid()}")
            directory.mkdir()
        else:
            pytest.skip(f"{reason}, and there is no /dev/shm")
        try:
            manifest = tmp_path / "m"
            result = vorn("generate", "5MiB", "-o", directory / "set", "--files", "3",
                          "--direct", "--manifest", manifest)
            if takes_direct_io(directory):
                assert result.returncode == 0, result.stderr
                assert vorn("verify", directory / "set", "--manifest", manifest).returncode == 0
            else:
                assert result.returncode == 1
                assert b"refuses direct I/O" in result.stderr
                assert not (directory / "set").exists() and not manifest.exists()
        finally:
            if reason is None:
                unmount(point)
            else:
                shutil.rmtree(directory, ignore_errors=True)


# -------------------------------------------------------------- failures

class TestFailures:
    def test_a_full_file_system(self, small_tmpfs, tmp_path):
        manifest = tmp_path / "m"
        result = vorn("generate", "4MiB", "-o", small_tmpfs / "set", "--files", "16",
                      "--json", "--manifest", manifest)
        assert result.returncode == 1
        errors = result.stderr.decode()
        report = json.loads(result.stdout)
        on_disk = files_under(small_tmpfs / "set")
        complete = sum(1 for size in on_disk.values() if size == 256 << 10)
        assert "No space left on device" in errors and "Traceback" not in errors
        assert report["bytes_written"] == sum(on_disk.values()) > 0
        assert report["files_written"] == complete and not report["ok"]
        assert (f"({report['bytes_written']} of 4194304 bytes written, {complete} of 16 files "
                "complete)") in errors
        assert report["error"] in errors
        assert not manifest.exists() and report["manifest"] is None

        shutil.rmtree(small_tmpfs / "set")
        result = vorn("generate", "4MiB", "-o", small_tmpfs / "one")
        assert result.returncode == 1
        written = os.path.getsize(small_tmpfs / "one")
        assert f"({written} of 4194304 bytes written)".encode() in result.stderr
        assert 0 < written < 4 * MiB

    def test_a_file_that_takes_no_bytes(self, tmp_path, monkeypatch):
        """A write that returns 0 (a broken file system) ends the run with an
        error rather than being retried for ever."""
        real_write = os.write
        calls = []

        def takes_nothing_after_a_while(fd, data):
            calls.append(fd)
            if len(calls) > 2:
                assert len(calls) < 100, "the writer keeps retrying"
                return 0
            return real_write(fd, data)

        monkeypatch.setattr(os, "write", takes_nothing_after_a_while)
        with pytest.raises(WriteError, match="took none of the bytes") as caught:
            write_file(tmp_path / "data.bin", 8 * MiB, chunk_size=MiB)
        monkeypatch.undo()
        assert caught.value.report.bytes_written == os.path.getsize(tmp_path / "data.bin") == 2 * MiB

    def test_an_unwritable_subdirectory(self, tmp_path):
        root = tmp_path / "set"
        (root / "d1").mkdir(parents=True)
        locked = root / "d1"
        if os.geteuid() == 0:
            # Root writes anywhere the mode bits forbid, but not into an
            # immutable directory.
            if shutil.which("chattr") is None or subprocess.run(
                    ["chattr", "+i", str(locked)], capture_output=True).returncode != 0:
                pytest.skip("cannot make a directory unwritable for root here (chattr +i)")
            unlock = ["chattr", "-i", str(locked)]
        else:
            locked.chmod(0o555)
            unlock = ["chmod", "755", str(locked)]
        try:
            result = vorn("generate", "1MiB", "-o", root, "--files", "16",
                          "--files-per-dir", "4")
        finally:
            subprocess.run(unlock, check=True)
        assert result.returncode == 1
        errors = result.stderr.decode()
        assert f"error: cannot open {root / 'd1' / 'f04'} for writing:" in errors
        assert "(262144 of 1048576 bytes written, 4 of 16 files complete)" in errors
        assert files_under(root) == {f"d0/f0{i}": 65536 for i in range(4)}

    def test_a_target_that_is_not_a_directory(self, tmp_path):
        target = tmp_path / "file"
        target.write_bytes(b"keep me")
        result = vorn("generate", "1MiB", "-o", target, "--files", "4")
        assert result.returncode == 1
        assert (f"error: cannot write a data set into {target}: it exists and is not a "
                "directory (0 bytes written)").encode() in result.stderr
        assert target.read_bytes() == b"keep me"
        with pytest.raises(WriteError, match="is not a directory") as caught:
            write_dataset(target, 100, files=2)
        assert caught.value.report.bytes_written == 0

    def test_more_files_than_bytes_is_a_usage_error(self, tmp_path):
        result = vorn("generate", "10", "-o", tmp_path / "set", "--files", "11")
        assert result.returncode == 2
        assert (b"error: 11 files need at least 11 bytes (one each), but the size is 10"
                in result.stderr)
        assert not (tmp_path / "set").exists()
