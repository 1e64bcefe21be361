"""Manifests: the writer digests exactly the blocks the generator makes
unique, whatever the pieces it is fed in, and the reader refuses every kind
of damaged or unfitting manifest with a one-line message."""

import io
import os
import stat
import struct
import threading

import pytest
import xxhash

import vorn_py
from helpers import BLOCK, blocks_of
from vorn_py import manifest as mf
from vorn_py.layout import DatasetLayout
from vorn_py.manifest import ManifestError, ManifestWriter, StreamLayout, read_manifest


def generated(size, dedup=1, compress=1):
    """A generator and the first `size` bytes of its stream (rewound)."""
    gen = vorn_py.Generator(size, dedup_ratio=dedup, compress_ratio=compress)
    data = bytearray(size)
    assert gen.fill_chunk(data) == size
    gen.reset()
    return gen, bytes(data)


def write_manifest(path, data, dedup=1, compress=1, piece=None, **kwargs):
    with ManifestWriter(path, len(data), dedup, compress, **kwargs) as writer:
        view = memoryview(data)
        step = piece or max(1, len(data))
        for start in range(0, len(data), step):
            writer.update(view[start:start + step])
        writer.finish()
    return path


def digests_in(path):
    """The digests of a one-section manifest, sliced out by their position."""
    raw = open(path, "rb").read()
    return [raw[i:i + 16] for i in range(mf.HEADER_SIZE, len(raw) - mf.TRAILER_SIZE, 16)]


class TestPlan:
    @pytest.mark.parametrize("blocks, dedup, unique", [
        (5, 2, 3), (3, 2, 2), (1, 7, 1), (10, 100, 1), (10, 1, 10), (7, 3, 2), (9, 2, 5),
    ])
    def test_unique_block_count(self, blocks, dedup, unique):
        assert mf.unique_block_count(blocks * BLOCK, dedup) == unique

    @pytest.mark.parametrize("ratio, factor", [
        (0.5, 1), (1.9, 1), (2.0, 2), (2.9, 2), (float("nan"), 1), (float("inf"), 2**64 - 1),
    ])
    def test_ratio_factor_truncates(self, ratio, factor):
        assert mf.ratio_factor(ratio) == factor

    @pytest.mark.parametrize("blocks, dedup", [(5, 2), (7, 3), (4, 4)])
    def test_unique_count_matches_the_generator(self, blocks, dedup):
        """Block k repeats block k mod U for the U computed here, and the
        first U blocks are distinct: the writer skips exactly the repeats."""
        _, data = generated(blocks * BLOCK, dedup)
        unique = mf.unique_block_count(blocks * BLOCK, dedup)
        parts = blocks_of(data)
        assert len(set(parts[:unique])) == unique
        assert all(parts[k] == parts[k % unique] for k in range(blocks))


class TestWriter:
    @pytest.mark.parametrize("size, dedup", [
        (1000, 1), (BLOCK, 1), (3 * BLOCK, 1), (3 * BLOCK + 12345, 1),
        (5 * BLOCK + 7, 2), (7 * BLOCK, 3), (BLOCK - 1, 4),
    ])
    def test_digests_are_those_of_the_unique_blocks_and_the_partial_one(self, tmp_path, size,
                                                                        dedup):
        _, data = generated(size, dedup)
        path = write_manifest(tmp_path / "m", data, dedup, piece=(1 << 20) + 7)
        parts = blocks_of(data)
        unique = mf.unique_block_count(size, dedup)
        whole = [p for p in parts if len(p) == BLOCK][:unique]
        partial = [p for p in parts if len(p) < BLOCK]
        expected = [xxhash.xxh3_128_digest(p) for p in whole + partial]
        assert digests_in(path) == expected
        with read_manifest(path) as manifest:
            (section,) = manifest.sections
            assert section.layout == StreamLayout(
                data_size=size, stream_length=max(size, BLOCK), dedup=dedup, compress=1,
                unique_blocks=unique, data_offset=0, dataset_size=size)
            assert os.path.getsize(path) == section.layout.section_size

    def test_fill_from_writes_the_same_manifest_as_update(self, tmp_path):
        size = 6 * BLOCK + 999
        gen, data = generated(size, dedup=2, compress=3)
        write_manifest(tmp_path / "a", data, 2, 3, piece=3 << 20)
        for threads in (1, 3):
            gen.reset()
            buffer = bytearray(5 << 20)  # not a whole number of blocks
            out = bytearray()
            with ManifestWriter(tmp_path / "b", size, 2, 3, threads=threads) as writer:
                while (n := writer.fill_from(gen, buffer)) > 0:
                    out += buffer[:n]
                writer.finish()
            assert bytes(out) == data
            assert (tmp_path / "b").read_bytes() == (tmp_path / "a").read_bytes()

    def test_fill_from_stops_at_the_size_even_if_the_stream_goes_on(self, tmp_path):
        gen = vorn_py.Generator(1000)  # a 4 MiB stream
        with ManifestWriter(tmp_path / "m", 1000) as writer:
            assert writer.fill_from(gen, bytearray(BLOCK)) == 1000
            assert writer.fill_from(gen, bytearray(BLOCK)) == 0
            writer.finish()
        assert gen.position() == 1000

    def test_a_prefix_of_a_longer_stream(self, tmp_path):
        """Only part of a 10-block stream written: U is the full stream's."""
        gen = vorn_py.Generator(10 * BLOCK, dedup_ratio=4)
        data = bytearray(6 * BLOCK)
        gen.fill_chunk(data)
        write_manifest(tmp_path / "m", data, 4, stream_size=10 * BLOCK)
        with read_manifest(tmp_path / "m") as manifest:
            layout = manifest.sections[0].layout
            assert (layout.unique_blocks, layout.stream_length) == (3, 10 * BLOCK)

    def test_misuse(self, tmp_path):
        writer = ManifestWriter(tmp_path / "m", 10)
        with pytest.raises(ValueError, match="more data than the 10 bytes"):
            writer.update(b"x" * 11)
        writer.update(b"x" * 4)
        with pytest.raises(ValueError, match="only 4 were fed"):
            writer.finish()
        writer.close()
        with pytest.raises(ValueError, match="closed"):
            writer.update(b"x")
        with pytest.raises(ValueError, match="smaller than size"):
            ManifestWriter(tmp_path / "n", 10, stream_size=5)
        with pytest.raises(ValueError, match="data set"):
            ManifestWriter(tmp_path / "n", 10, data_offset=5, dataset_size=12)
        with pytest.raises(ValueError, match="between 0 and 2"):
            ManifestWriter(tmp_path / "n", -1)
        with pytest.raises(TypeError):
            ManifestWriter(tmp_path / "n", 1.5)  # type: ignore[arg-type]
        with pytest.raises(ManifestError, match="cannot create manifest .*/missing/m"):
            ManifestWriter(tmp_path / "missing" / "m", 10)
        # Paths that name no file: the working directory's parent and a file
        # "new" would have been written instead.
        for path in ("", f"{tmp_path}/new/"):
            with pytest.raises(ManifestError, match="not a file name"):
                ManifestWriter(path, 10)
        assert os.listdir(tmp_path) == []

    def test_an_unfinished_manifest_leaves_nothing_behind(self, tmp_path):
        path = tmp_path / "m"
        with pytest.raises(RuntimeError):
            with ManifestWriter(path, 2 * BLOCK) as writer:
                writer.update(bytes(BLOCK))
                assert not path.exists() and len(os.listdir(tmp_path)) == 1
                raise RuntimeError("the data could not be written")
        assert os.listdir(tmp_path) == []

    def test_an_existing_file_stays_until_the_new_manifest_is_finished(self, tmp_path):
        path = tmp_path / "m"
        path.write_bytes(b"precious")
        os.chmod(path, 0o640)
        with pytest.raises(RuntimeError):
            with ManifestWriter(path, 2 * BLOCK) as writer:
                writer.update(bytes(BLOCK))
                assert path.read_bytes() == b"precious"
                raise RuntimeError("the data could not be written")
        assert path.read_bytes() == b"precious" and os.listdir(tmp_path) == ["m"]
        link = tmp_path / "link"
        link.symlink_to(path)
        write_manifest(link, b"abc")
        assert link.is_symlink() and path.read_bytes()[:8] == mf.MAGIC
        assert sorted(os.listdir(tmp_path)) == ["link", "m"]
        assert os.stat(path).st_mode & 0o777 == 0o640

    def test_finish_can_sync_the_manifest_and_its_directory(self, tmp_path, monkeypatch):
        synced = []
        fsync = os.fsync

        def recording(fd):
            synced.append(stat.S_IFMT(os.fstat(fd).st_mode))
            fsync(fd)

        monkeypatch.setattr(os, "fsync", recording)
        for sync in (False, True):
            with ManifestWriter(tmp_path / "m", 3) as writer:
                writer.update(b"abc")
                writer.finish(fsync=sync)
        assert synced == [stat.S_IFREG, stat.S_IFDIR]
        with ManifestWriter(io.BytesIO(), 3) as writer:  # nothing to sync: no error
            writer.update(b"abc")
            writer.finish(fsync=True)

    def test_a_file_object_is_written_but_not_closed_or_removed(self):
        out = io.BytesIO()
        with ManifestWriter(out, 3) as writer:
            writer.update(b"abc")
            writer.finish()
        assert not out.closed
        assert out.getvalue()[:8] == mf.MAGIC
        assert out.getvalue()[mf.HEADER_SIZE:-mf.TRAILER_SIZE] == xxhash.xxh3_128_digest(b"abc")

    def test_digests_reach_the_file_while_data_is_fed(self, tmp_path, monkeypatch):
        """Nothing grows in memory with the size: digests go out in batches."""
        monkeypatch.setattr(mf, "_WRITE_BATCH", 16)
        path = tmp_path / "m"
        block = bytes(BLOCK)
        with ManifestWriter(path, 3 * BLOCK) as writer:
            sizes = []
            for _ in range(3):
                writer.update(block)
                (being_written,) = tmp_path.iterdir()
                sizes.append(being_written.stat().st_size)
            writer.finish()
        assert sizes == [mf.HEADER_SIZE + 16, mf.HEADER_SIZE + 32, mf.HEADER_SIZE + 48]

    def test_unbuffered_streams_get_every_byte_or_an_error(self):
        """A raw stream may take part of a write (a socket, a pipe cut by a
        signal), or nothing when it would block: the rest must not be lost
        while finish() returns as if all was written."""
        class Trickle(io.RawIOBase):
            def __init__(self):
                self.got = bytearray()

            def writable(self):
                return True

            def write(self, b):
                taken = bytes(b[:1000])
                self.got += taken
                return len(taken)

        expected = io.BytesIO()
        for out in (expected, Trickle()):
            with ManifestWriter(out, 300 * BLOCK) as writer:
                for _ in range(300):
                    writer.update(bytes(BLOCK))
                writer.finish()
        assert bytes(out.got) == expected.getvalue()
        assert len(expected.getvalue()) > 4096

        import fcntl
        r, w = os.pipe()
        try:
            fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: one page, which a reader never empties
            os.set_blocking(w, False)
            with open(w, "wb", buffering=0, closefd=False) as raw:
                with pytest.raises(ManifestError, match="the stream took none of the last"):
                    with ManifestWriter(raw, 300 * BLOCK) as writer:
                        for _ in range(300):
                            writer.update(bytes(BLOCK))
                        writer.finish()
        finally:
            os.close(r)
            os.close(w)

    def test_a_failing_manifest_write_is_reported(self, tmp_path):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with pytest.raises(ManifestError, match="cannot write manifest /dev/full: No space"):
            with ManifestWriter("/dev/full", 10) as writer:
                writer.update(bytes(10))
                writer.finish()


class TestReader:
    @pytest.fixture
    def good(self, tmp_path):
        _, data = generated(3 * BLOCK + 100, dedup=1)
        return write_manifest(tmp_path / "good", data).read_bytes()

    def refused(self, tmp_path, content, name="bad"):
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(ManifestError) as info:
            read_manifest(path)
        message = str(info.value)
        assert "\n" not in message and str(path) in message
        return message

    @pytest.mark.parametrize("keep", [0, 3, 8, 50, mf.HEADER_SIZE, mf.HEADER_SIZE + 20, -1])
    def test_truncated(self, tmp_path, good, keep):
        message = self.refused(tmp_path, good[:keep] if keep >= 0 else good[:-1])
        assert ("is empty" if keep == 0 else "is truncated") in message

    @pytest.mark.parametrize("keep", [mf.HEADER_SIZE + 20, -10])
    def test_a_manifest_cut_short_while_it_is_read(self, tmp_path, good, monkeypatch, keep):
        """The file shrinks between taking its size and reading its digests
        (keep within them) or its trailer (keep -10)."""
        path = tmp_path / "shrinking"
        path.write_bytes(good)
        reads = []

        class Shrinking(mf._DigestSource):
            def __init__(self, name):
                super().__init__(name)
                os.truncate(name, keep % len(good))

            def read(self, offset, count):
                reads.append(offset)
                assert len(reads) < 1000, "reading a shrunken manifest never ends"
                return super().read(offset, count)

        monkeypatch.setattr(mf, "_DigestSource", Shrinking)
        with pytest.raises(ManifestError, match=f"manifest {path} is truncated: it ended "
                                                f"at byte {keep % len(good)} while"):
            read_manifest(path)

    def test_not_a_manifest(self, tmp_path):
        for content in (b"hello, world\n", os.urandom(500), b"\x89PNG\r\n\x1a\n" + bytes(100)):
            assert "is not a vorn-gen manifest" in self.refused(tmp_path, content)

    def test_other_format_version(self, tmp_path, good):
        content = good[:8] + struct.pack("<H", 2) + good[10:]
        assert "has format version 2, but this version of vorn-gen reads only version 1" in \
            self.refused(tmp_path, content)

    def test_unknown_digest_algorithm(self, tmp_path):
        layout = StreamLayout(data_size=10, stream_length=BLOCK, dedup=1, compress=1,
                              unique_blocks=1, dataset_size=10, algorithm=9)
        message = self.refused(tmp_path, layout.header_bytes() + bytes(48))
        assert "uses digest algorithm 9" in message

    @pytest.mark.parametrize("at, what", [
        (30, "header does not match its checksum"),
        (mf.HEADER_SIZE + 5, "digests do not match their checksum"),
        (-5, "digests do not match their checksum"),    # the trailer's checksum
        (-20, "end of the section"),                      # its digest count
        (-30, "end of the section"),                      # its magic
    ])
    def test_damaged(self, tmp_path, good, at, what):
        content = bytearray(good)
        content[at] ^= 0x40
        assert what in self.refused(tmp_path, bytes(content))

    def test_garbage_after_the_last_section(self, tmp_path, good):
        assert "are not a manifest section" in self.refused(tmp_path, good + b"junk")

    @pytest.mark.parametrize("change, what", [
        ({"unique_blocks": 2}, "2 unique blocks, where a stream of"),
        ({"block_size": 1 << 20}, "block size 1048576"),
        ({"stream_length": 100}, "below one block"),
        ({"data_size": 5 * BLOCK}, "beyond its stream length"),
        ({"dataset_size": 5}, "of a data set of 5 bytes"),
        ({"dedup": 0}, "a ratio below 1"),
    ])
    def test_parameters_that_do_not_fit(self, tmp_path, change, what):
        """Headers with a valid checksum whose parameters the generator
        cannot have produced."""
        fields = dict(data_size=3 * BLOCK, stream_length=3 * BLOCK, dedup=1, compress=1,
                      unique_blocks=3, data_offset=0, dataset_size=3 * BLOCK)
        fields.update(change)
        layout = StreamLayout(**fields)
        message = self.refused(tmp_path, layout.header_bytes() + bytes(100))
        assert "does not fit data vorn-gen writes" in message and what in message

    def test_a_manifest_from_a_pipe(self, tmp_path, good):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        feeder = threading.Thread(target=lambda: fifo.write_bytes(good))
        feeder.start()
        try:
            with read_manifest(fifo) as manifest:
                assert manifest.data_size == 3 * BLOCK + 100
                assert manifest.sections[0].expected_digest(3) == good[-mf.TRAILER_SIZE - 16:
                                                                      -mf.TRAILER_SIZE]
        finally:
            feeder.join()

    def test_missing_and_directory(self, tmp_path):
        with pytest.raises(ManifestError, match="cannot open manifest .*nothing: No such file"):
            read_manifest(tmp_path / "nothing")
        with pytest.raises(ManifestError, match="is a directory"):
            read_manifest(tmp_path)

    def test_expected_digest_of_each_block(self, tmp_path, monkeypatch):
        """Block k gets the digest of unique block k mod U, read a window at
        a time (a window of two digests here, so it moves and wraps)."""
        monkeypatch.setattr(mf.StreamSection, "_WINDOW", 2)
        _, data = generated(8 * BLOCK + 5, dedup=3)
        path = write_manifest(tmp_path / "m", data, 3)
        digests = digests_in(path)
        with read_manifest(path) as manifest:
            section = manifest.sections[0]
            assert [section.expected_digest(k) for k in range(9)] == \
                [digests[k % 3] for k in range(8)] + [digests[3]]
            with pytest.raises(IndexError):
                section.expected_digest(9)


class TestSeveralStreams:
    """Data written by several streams, each with its own manifest section."""

    def sections(self, tmp_path, sizes):
        total, offset, paths = sum(sizes), 0, []
        for index, size in enumerate(sizes):
            _, data = generated(size, dedup=2)
            paths.append(write_manifest(tmp_path / f"m{index}", data, 2, data_offset=offset,
                                        dataset_size=total))
            offset += size
        return paths

    def test_in_any_order_or_concatenated(self, tmp_path):
        sizes = [2 * BLOCK + 3, 5, 3 * BLOCK]
        paths = self.sections(tmp_path, sizes)
        merged = tmp_path / "merged"
        merged.write_bytes(b"".join(p.read_bytes() for p in reversed(paths)))
        for given in (paths[::-1], [merged], [paths[2], merged.parent / "m0", paths[1]]):
            with read_manifest(given) as manifest:
                assert [s.layout.data_offset for s in manifest.sections] == \
                    [0, sizes[0], sizes[0] + sizes[1]]
                assert manifest.data_size == sum(sizes)

    def test_gaps_overlaps_and_strangers(self, tmp_path):
        paths = self.sections(tmp_path, [BLOCK, BLOCK, BLOCK])
        with pytest.raises(ManifestError, match=f"no manifest covers bytes {BLOCK} to "
                                                f"{2 * BLOCK}"):
            read_manifest([paths[0], paths[2]])
        with pytest.raises(ManifestError, match=f"bytes {2 * BLOCK} to {3 * BLOCK}"):
            read_manifest(paths[:2])
        with pytest.raises(ManifestError, match="given twice"):
            read_manifest(paths + [paths[1]])
        _, data = generated(BLOCK)
        other = write_manifest(tmp_path / "other", data)
        with pytest.raises(ManifestError, match="describe different data"):
            read_manifest([paths[0], other])


class TestDataSetRecord:
    """Manifests of data written as files record how the data is cut, so
    that verify can hold a directory to exactly those files."""

    def write(self, path, dataset, size=None, **kwargs):
        size = dataset.size if size is None else size
        _, data = generated(size)
        return write_manifest(path, data, dataset=dataset, **kwargs)

    def test_recorded_and_read_back(self, tmp_path):
        dataset = DatasetLayout.plan(BLOCK + 5, files=7, files_per_dir=3)
        path = self.write(tmp_path / "m", dataset)
        raw = path.read_bytes()
        assert raw.startswith(mf.DATASET_MAGIC)
        # The stream section that follows is the one a plain manifest has.
        _, data = generated(BLOCK + 5)
        assert len(raw) == mf.DATASET_RECORD_SIZE + mf.StreamLayout(
            BLOCK + 5, BLOCK + 5, 1, 1, 2, 0, BLOCK + 5).section_size
        with read_manifest(path) as manifest:
            assert manifest.dataset == dataset
        plain = write_manifest(tmp_path / "plain", data)
        with read_manifest(plain) as manifest:
            assert manifest.dataset is None
        with pytest.raises(ValueError, match="cannot hold data of"):
            self.write(tmp_path / "x", dataset, size=BLOCK)

    def test_each_share_carries_it(self, tmp_path):
        """One manifest per share, each with the record; together, or
        concatenated, they describe the data set."""
        dataset = DatasetLayout.plan(3 * BLOCK, files=6)
        shares = dataset.split(2)
        paths = [self.write(tmp_path / f"m{i}", dataset, size=share.size,
                            data_offset=share.offset, dataset_size=dataset.size)
                 for i, share in enumerate(shares)]
        merged = tmp_path / "merged"
        merged.write_bytes(paths[1].read_bytes() + paths[0].read_bytes())
        for given in (paths, [merged]):
            with read_manifest(given) as manifest:
                assert manifest.dataset == dataset and len(manifest.sections) == 2

    def test_an_empty_share_in_any_order(self, tmp_path):
        """A share of no files (more writers than the data set can give
        whole dedup groups to) has a section of no data at the offset where
        the next share starts; any order of the manifests must do."""
        dataset = DatasetLayout.plan(2 * BLOCK, files=2)
        shares = dataset.split(3, granule=4 * BLOCK)
        assert [share.size for share in shares] == [0, 0, 2 * BLOCK]
        paths = [self.write(tmp_path / f"m{i}", dataset, size=share.size,
                            data_offset=share.offset, dataset_size=dataset.size)
                 for i, share in enumerate(shares)]
        for given in (paths, paths[::-1], [paths[2], paths[0], paths[1]]):
            with read_manifest(given) as manifest:
                assert [s.layout.data_size for s in manifest.sections] == [0, 0, 2 * BLOCK]

    def test_damaged_or_disagreeing_records(self, tmp_path):
        dataset = DatasetLayout.plan(BLOCK, files=4)
        good = self.write(tmp_path / "good", dataset).read_bytes()
        cases = [
            (good[:20] + bytes([good[20] ^ 1]) + good[21:],
             "its data set record does not match its checksum"),
            (good[:8] + struct.pack("<H", 5) + good[10:],
             "has a data set record of version 5, but this version of vorn-gen reads only "
             "version 1"),
            (good[:mf.DATASET_RECORD_SIZE], "describes no data"),
            (good[:30], "is truncated"),
        ]
        for index, (content, message) in enumerate(cases):
            path = tmp_path / f"bad{index}"
            path.write_bytes(content)
            with pytest.raises(ManifestError, match=message) as info:
                read_manifest(path)
            assert str(path) in str(info.value)
        fields = struct.pack("<8sHHIQQQQ", mf.DATASET_MAGIC, 1, mf.DATASET_RECORD_SIZE, 0,
                             BLOCK, 5 * BLOCK, 0, 0)
        impossible = fields + struct.pack("<Q", xxhash.xxh3_64_intdigest(fields))
        path = tmp_path / "impossible"
        path.write_bytes(impossible + good[mf.DATASET_RECORD_SIZE:])
        with pytest.raises(ManifestError, match="does not fit data vorn-gen writes: its data set "
                                                "record has 20971520 files need"):
            read_manifest(path)

        dataset_size = 2 * BLOCK
        halves = [self.write(tmp_path / f"h{i}", DatasetLayout.plan(dataset_size, files=files),
                             size=BLOCK, data_offset=i * BLOCK, dataset_size=dataset_size)
                  for i, files in enumerate((4, 8))]
        with pytest.raises(ManifestError, match=r"describe different data sets \(8388608 bytes "
                                                r"in 4 files; 8388608 bytes in 8 files\)"):
            read_manifest(halves)
