"""vorn_py.measure: dedup ratios of hand-made data, agreement with one-shot
compressors, the same figures from every kind of source, codec selection and
its errors, and bounded memory on a large stream."""

import io
import lzma
import os
import random
import sys
import threading
import zlib

import lz4.block
import lz4.frame
import numpy as np
import pytest
import zstandard

import vorn_py
from helpers import SANITIZED, run_python
from vorn_py import measure
from vorn_py._dedup import DigestSample, DigestSet


def chunks(*labels, size=4096):
    """Data made of distinct 4 KiB chunks named by letters, e.g. chunks("a", "b", "a")."""
    return b"".join(bytes([ord(label)]) * size for label in labels)


class ShortReads(io.RawIOBase):
    """A stream that hands out at most `step` bytes per read, like a pipe."""

    def __init__(self, data, step):
        self._data = memoryview(data)
        self._step = step

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._step, len(self._data))
        buffer[:n] = self._data[:n]
        self._data = self._data[n:]
        return n


class ReadOnly:
    """A stream with only read(), the least a file-like object may offer."""

    def __init__(self, data):
        self._stream = io.BytesIO(data)

    def read(self, n):
        return self._stream.read(min(n, 1000))


@pytest.fixture(scope="module")
def generated():
    return vorn_py.generate_buffer(16 << 20, dedup_ratio=4.0, compress_ratio=3.0)


class TestDedupRatio:
    @pytest.mark.parametrize("labels, expected", [
        ("abab", 2.0),
        ("aaaa", 4.0),
        ("abcd", 1.0),
        ("aab", 1.5),
    ])
    def test_hand_counted_ratios(self, labels, expected):
        assert measure.dedup_ratio(chunks(*labels)) == expected

    def test_a_short_last_chunk_counts_as_a_chunk(self):
        # a a + 100 bytes of a: three chunks, two distinct (the short one differs).
        data = chunks("a", "a") + b"a" * 100
        result = measure.measure(data, codecs=[])
        assert (result["chunks"], result["unique_chunks"]) == (3, 2)
        assert result["dedup_ratio"] == 1.5

    def test_chunk_size_sets_the_boundaries(self):
        data = chunks("a", "b") * 4   # a b a b a b a b
        assert measure.dedup_ratio(data, chunk_size=4096) == 4.0
        assert measure.dedup_ratio(data, chunk_size=8192) == 4.0
        # Chunks of 3 KiB straddle the 4 KiB pattern: fewer repeats line up.
        assert measure.dedup_ratio(data, chunk_size=3072) < 4.0

    def test_chunks_larger_than_a_read_piece(self):
        # 12 MiB chunks span the 8 MiB pieces that inputs are read in.
        size = 12 << 20
        a, b = os.urandom(size), os.urandom(size)
        data = a + b + a + a[:100]
        for source in (data, ShortReads(data, 3 << 20)):
            result = measure.measure(source, chunk_size=size, codecs=["zlib"])
            assert (result["chunks"], result["unique_chunks"]) == (4, 3)
            assert result["unique_size"] == 2 * size + 100
            # The deduplicated stream is a, b and the short tail, in order.
            assert result["compression"]["zlib"]["combined_compressed_size"] == len(
                zlib.compress(a + b + a[:100], 6))

    @pytest.mark.skipif(SANITIZED, reason="resident size is distorted by the sanitizer")
    def test_memory_does_not_follow_the_chunk_size(self, tmp_path):
        path = tmp_path / "small.bin"
        path.write_bytes(os.urandom(100_000))
        result = run_python(f"""
            from vorn_py import measure
            measure.measure({str(path)!r}, codecs=["zlib"])  # warm up
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            r = measure.measure({str(path)!r}, chunk_size=measure.MAX_CHUNK_SIZE,
                                codecs=["zlib"])
            with open("/proc/self/status") as status:
                fields = dict(line.split(":", 1) for line in status)
            print(r["chunks"], r["size"], int(fields["VmHWM"].split()[0]) * 1024)
        """)
        assert result.returncode == 0, result.stderr
        chunks, size, peak = map(int, result.stdout.split())
        assert (chunks, size) == (1, 100_000)
        assert peak < 200 << 20, f"peak resident size {peak >> 20} MiB"

    def test_generated_data_has_the_requested_block_dedup(self, generated):
        assert measure.dedup_ratio(generated) == 4.0

    def test_bad_chunk_sizes(self):
        for bad, error in ((0, ValueError), (-4096, ValueError), (4096.0, TypeError),
                           (True, TypeError), (measure.MAX_CHUNK_SIZE + 1, ValueError),
                           (2**64, ValueError)):
            with pytest.raises(error):
                measure.dedup_ratio(b"x", chunk_size=bad)


class TestDistinctCounting:
    def test_digest_set_agrees_with_a_plain_set(self):
        # Batches with repeats inside and across them, through several
        # rounds of bucket splits.
        rng = random.Random(7)
        pool = [rng.randbytes(16) for _ in range(60000)]
        digests, seen = DigestSet(), set()
        for _ in range(60):
            batch = rng.choices(pool, k=rng.randrange(1, 4000))
            new = digests.add_all(batch)
            assert sorted(new) == sorted(set(batch) - seen)
            seen.update(batch)
            assert len(digests) == len(seen)
        assert len(seen) > 50000  # enough to have split buckets
        assert sorted(digests) == sorted(seen)
        assert not digests.add(pool[0]) and digests.add(bytes(16))
        with pytest.raises(ValueError):
            digests.add(b"short")

    def test_a_match_across_two_digests_is_not_a_match(self):
        # Digests a and b share a bucket (their low byte); c is the second
        # half of a followed by the first half of b, so it appears in the
        # bucket's bytes, but not as a whole digest.
        a = bytes(range(1, 16)) + b"\x07"
        b = bytes(range(101, 108)) + b"\x07" + bytes(range(108, 115)) + b"\x07"
        c = a[8:] + b[:8]
        digests = DigestSet()
        assert digests.add(a) and digests.add(b)  # side by side, in this order
        assert c in bytes().join(digests._buckets)
        assert digests.add_all([c, a]) == [c]
        assert not digests.add(c) and len(digests) == 3

    def test_a_sample_fed_in_batches_keeps_what_one_at_a_time_keeps(self):
        rng = random.Random(3)
        stream = [rng.randbytes(16) for _ in range(5000)] * 2
        rng.shuffle(stream)
        one, batched = DigestSample(300), DigestSample(300)
        for digest in stream:
            one.add(digest)
        for start in range(0, len(stream), 777):
            batched.add_all(stream[start:start + 777])
        assert (one.level, one.estimate()) == (batched.level, batched.estimate())
        assert one.level > 0 and sorted(one._sample) == sorted(batched._sample)

    def test_estimate_is_exact_while_the_sample_holds_every_chunk(self):
        data = chunks(*"abcabcdd")
        exact = measure.measure(data, codecs=[])
        estimated = measure.measure(data, codecs=[], estimate=True, sample_size=4)
        assert (exact["dedup_exact"], exact["dedup_error"]) == (True, 0.0)
        assert (estimated["dedup_exact"], estimated["dedup_error"]) == (True, 0.0)
        assert estimated["unique_chunks"] == exact["unique_chunks"] == 4
        assert estimated["dedup_ratio"] == measure.dedup_ratio(data, estimate=True) == 2.0

    def test_estimate_is_within_its_stated_error(self):
        # 40 data sets of 6000 distinct 64-byte chunks, each present twice,
        # estimated with a sample of 512 digests: the errors, in units of the
        # standard error each estimate states, must look like a standard error.
        scaled = []
        for seed in range(40):
            distinct = [f"{seed:04}/{i:08}".encode().ljust(64, b".") for i in range(6000)]
            data = b"".join(distinct + distinct[::-1])
            result = measure.measure(data, chunk_size=64, codecs=[], estimate=True,
                                     sample_size=512)
            assert result["chunks"] == 12000 and not result["dedup_exact"]
            assert 0 < result["dedup_error"] <= (2 / 512) ** 0.5
            scaled.append((result["unique_chunks"] / 6000 - 1) / result["dedup_error"])
        assert max(map(abs, scaled)) < 5
        assert 0.6 < (sum(z * z for z in scaled) / len(scaled)) ** 0.5 < 1.3

    def test_tiny_samples_and_a_short_last_chunk(self):
        # A sample of a few digests may halve to nothing: the count stays at
        # least one, with an error that says it knows nothing.
        for seed in range(300):
            data = b"".join(f"{seed}/{i}".encode().ljust(64, b".") for i in range(40))
            result = measure.measure(data, chunk_size=64, codecs=[], estimate=True,
                                     sample_size=1 + seed % 4)
            assert 1 <= result["unique_chunks"] <= 40 and result["dedup_error"] > 0
            if result["dedup_error"] == float("inf"):
                assert result["unique_chunks"] == 1
        # The short last chunk is distinct from every full one and counts with
        # its own length, estimated or not.
        data = chunks(*"aa") + b"t" * 100
        exact = measure.measure(data, codecs=[])
        estimated = measure.measure(data, codecs=[], estimate=True)
        assert exact["unique_size"] == estimated["unique_size"] == 4096 + 100
        assert estimated["dedup_exact"]

    def test_bad_sample_sizes(self):
        for bad, error in ((0, ValueError), (2.5, TypeError), (True, TypeError)):
            with pytest.raises(error):
                measure.dedup_ratio(b"x", estimate=True, sample_size=bad)

    @pytest.mark.skipif(SANITIZED, reason="resident size is distorted by the sanitizer")
    def test_memory_per_distinct_chunk(self):
        # Half a million distinct chunks: at most 24 bytes each when counted
        # exactly, a bounded sample when estimated.
        result = run_python("""
            import os
            from vorn_py import measure

            def peak_growth(run):
                with open("/proc/self/clear_refs", "w") as f:
                    f.write("5")  # the peak restarts from the current size
                before = resident("VmRSS")
                run()
                return resident("VmHWM") - before

            def resident(field):
                with open("/proc/self/status") as status:
                    line = next(l for l in status if l.startswith(field + ":"))
                return int(line.split()[1]) * 1024

            data = os.urandom(32 << 20)
            measure.dedup_ratio(data[:1 << 20], chunk_size=64)
            print(peak_growth(lambda: measure.measure(data, chunk_size=64, codecs=[],
                                                      estimate=True)))
            print(peak_growth(lambda: measure.measure(data, chunk_size=64, codecs=[])))
        """)
        assert result.returncode == 0, result.stderr
        estimated, exact = map(int, result.stdout.split())
        assert exact < 24 * 2**19 + (2 << 20), f"{exact / 2**19:.1f} bytes per distinct chunk"
        assert estimated < 8 << 20, f"estimate took {estimated >> 20} MiB"


class TestCompressionRatio:
    def test_matches_one_shot_compressors(self, generated):
        data = bytes(generated)
        n = len(data)
        assert measure.compression_ratio(data, "zlib") == n / len(zlib.compress(data, 6))
        assert measure.compression_ratio(data, "zlib", 1) == n / len(zlib.compress(data, 1))
        small = data[: 1 << 20]  # xz is slow
        assert measure.compression_ratio(small, "xz", 1) == len(small) / len(
            lzma.compress(small, preset=1))
        zstd = zstandard.ZstdCompressor(level=3).compressobj()
        assert measure.compression_ratio(data, "zstd") == n / (
            len(zstd.compress(data)) + len(zstd.flush()))
        # lz4's one-shot frame header carries the content size; the stream's does not.
        assert measure.compression_ratio(data, "lz4") == pytest.approx(
            n / len(lz4.frame.compress(data)), rel=1e-4)

    def test_requested_compression_is_achieved_roughly(self, generated):
        for codec in ("zstd", "lz4", "zlib"):
            assert measure.compression_ratio(generated, codec) > 1.2, codec
        assert measure.compression_ratio(os.urandom(1 << 20), "zstd") < 1.01


class TestRecordSize:
    def test_each_record_is_compressed_on_its_own(self):
        # Records of zeros and of random bytes, and a short last one: the
        # figure is the total of one one-shot call per record.
        zeros, noise = bytes(4096), os.urandom(4096)
        records = [zeros, noise, noise, zeros, zeros, noise[:1000]]
        data = b"".join(records)
        expected = {
            "zstd": sum(len(zstandard.ZstdCompressor(level=3).compress(r)) for r in records),
            "lz4": sum(len(lz4.block.compress(r, store_size=False)) for r in records),
            "zlib": sum(len(zlib.compress(r, 6)) for r in records),
        }
        result = measure.measure(data, record_size=4096)
        assert list(result["records"]) == [4096]
        for codec, size in expected.items():
            figures = result["records"][4096][codec]
            assert figures["compressed_size"] == size, codec
            assert figures["ratio"] == len(data) / size
            assert measure.compression_ratio(data, codec, record_size=4096) == len(data) / size
        # The whole-stream figures stay what they were.
        assert result["compression"] == measure.measure(data)["compression"]
        # Zeros alone: each record is as small as the codec makes one record.
        assert measure.compression_ratio(zeros * 10, "zlib", record_size=4096) == 4096 / len(
            zlib.compress(zeros, 6))

    def test_records_of_any_size_at_fixed_offsets(self):
        data = bytes(vorn_py.generate_buffer(20 << 20, compress_ratio=3.0))[:(20 << 20) - 123]
        sizes = [3000, 32768, 12 << 20]  # 12 MiB records span the 8 MiB read pieces
        expected = {size: sum(len(zlib.compress(data[i:i + size], 1))
                              for i in range(0, len(data), size)) for size in sizes}
        for source in (data, ShortReads(data, 1 << 20)):
            result = measure.measure(source, codecs={"zlib": 1}, combined=False,
                                     record_size=sizes + [3000])
            assert list(result["records"]) == sizes  # once each, in order
            for size in sizes:
                assert result["records"][size]["zlib"]["compressed_size"] == expected[size]

    def test_the_deduplicated_stream_is_compressed_by_records_too(self):
        # b a b c a: the deduplicated stream is b a c, compressed record by record.
        data = chunks("b", "a", "b", "c", "a")
        result = measure.measure(data, codecs=["zlib"], record_size=4096)
        figures = result["records"][4096]["zlib"]
        assert figures["combined_compressed_size"] == sum(
            len(zlib.compress(chunks(label), 6)) for label in "bac")
        assert measure.measure(data, codecs=["zlib"], combined=False, record_size=4096)[
            "records"][4096]["zlib"]["combined_compressed_size"] is None

    def test_empty_input_and_bad_record_sizes(self):
        empty = measure.measure(b"", codecs=["zlib"], record_size=4096)
        assert empty["records"] == {4096: {"zlib": {
            "level": 6, "compressed_size": 0, "ratio": 1.0, "combined_compressed_size": 0}}}
        for bad, error in ((0, ValueError), (-4096, ValueError), (4096.0, TypeError),
                           (True, TypeError), (measure.MAX_RECORD_SIZE + 1, ValueError),
                           ([4096, 0], ValueError)):
            with pytest.raises(error):
                measure.measure(b"x", record_size=bad)
        with pytest.raises(ValueError):
            measure.compression_ratio(b"x", record_size=0)


class TestMeasure:
    def test_combined_is_about_dedup_times_compression(self, generated):
        result = measure.measure(generated)
        assert result["unique_size"] == result["size"] // 4
        assert list(result["combined"]) == ["zstd", "lz4", "zlib"]
        for codec, combined in result["combined"].items():
            figures = result["compression"][codec]
            assert combined == result["size"] / figures["combined_compressed_size"]
            assert combined == pytest.approx(result["dedup_ratio"] * figures["ratio"], rel=0.02)

    def test_combined_compresses_first_occurrences_in_order(self):
        # b a b c a: the deduplicated stream is exactly b a c.
        data = chunks("b", "a", "b", "c", "a")
        result = measure.measure(data, codecs=["zlib"])
        expected = zlib.compress(chunks("b", "a", "c"), 6)
        assert result["compression"]["zlib"]["combined_compressed_size"] == len(expected)
        assert result["unique_size"] == 3 * 4096

    def test_every_kind_of_source_gives_the_same_figures(self, generated, tmp_path):
        data = bytes(generated)[: (3 << 20) + 123]
        path = tmp_path / "data.bin"
        path.write_bytes(data)
        reference = measure.measure(data, chunk_size=4096, codecs=["zlib", "lz4"])
        array = np.frombuffer(data[:-123], dtype=np.uint8).reshape(768, 4096)
        sources = {
            "bytearray": bytearray(data),
            "memoryview": memoryview(data),
            "str path": str(path),
            "Path": path,
            "BytesIO": io.BytesIO(data),
            "short reads": ShortReads(data, 1000),
            "read() only": ReadOnly(data),
        }
        for name, source in sources.items():
            assert measure.measure(source, codecs=["zlib", "lz4"]) == reference, name
        with open(path, "rb") as f:
            assert measure.measure(f, codecs=["zlib", "lz4"]) == reference
            assert not f.closed  # the caller's stream stays open
        # A 2-D array is measured as its bytes, as is the zero-copy BytesView.
        assert measure.measure(array, codecs=["zlib"])["compression"] == measure.measure(
            data[:-123], codecs=["zlib"])["compression"]
        assert measure.measure(generated, codecs=["zlib"]) == measure.measure(
            bytes(generated), codecs=["zlib"])

    def test_progress_reports_every_byte(self, tmp_path):
        data = os.urandom((20 << 20) + 5)
        seen = []
        result = measure.measure(io.BytesIO(data), codecs=["lz4"], progress=seen.append)
        assert sum(seen) == len(data) == result["size"]
        assert len(seen) > 1  # reported as it goes, not once at the end

    def test_empty_input_has_ratios_of_one(self):
        result = measure.measure(b"")
        assert (result["size"], result["chunks"], result["unique_chunks"]) == (0, 0, 0)
        assert result["dedup_ratio"] == 1.0
        assert all(c["ratio"] == 1.0 for c in result["compression"].values())
        assert all(ratio == 1.0 for ratio in result["combined"].values())

    def test_codec_selection(self):
        data = chunks("a", "b")
        default = measure.measure(data)
        assert list(default["compression"]) == ["zstd", "lz4", "zlib"]
        chosen = measure.measure(data, codecs={"zlib": 9, "zstd": None})
        assert {k: v["level"] for k, v in chosen["compression"].items()} == {"zlib": 9, "zstd": 3}
        assert list(chosen["combined"]) == ["zlib", "zstd"]
        alone = measure.measure(data, codecs=["lz4"], combined=False)
        assert alone["combined"] == {}
        assert alone["compression"]["lz4"]["combined_compressed_size"] is None
        nothing = measure.measure(data, codecs=[])
        assert (nothing["compression"], nothing["combined"], nothing["dedup_ratio"]) == ({}, {}, 1.0)

    def test_bad_arguments(self):
        cases = [
            (dict(codecs=["gzip"]), ValueError, "unknown codec 'gzip'"),
            (dict(codecs={"zstd": 23}), ValueError, "out of range"),
            (dict(codecs={"zlib": 10}), ValueError, "out of range"),
            (dict(codecs={"zlib": "6"}), TypeError, "must be an int"),
            (dict(codecs="zstd"), TypeError, "not a str"),
        ]
        for kwargs, error, text in cases:
            with pytest.raises(error, match=text):
                measure.measure(b"x", **kwargs)
        for source, error in ((12, TypeError), (io.StringIO("text"), TypeError),
                              (memoryview(bytearray(10))[::2], ValueError)):
            with pytest.raises(error):
                measure.measure(source)
        with pytest.raises(FileNotFoundError):
            measure.measure("/nonexistent/data.bin")

    def test_a_non_blocking_pipe_is_waited_for(self):
        # The writer sends each piece only once the reader has found the pipe
        # empty, so every read of a piece is preceded by one that finds nothing.
        data = os.urandom(5 * 50000) + chunks("a", "a", "b")
        read_end, write_end = os.pipe()
        os.set_blocking(read_end, False)
        starved = threading.Event()
        stop = False

        class Watched(io.RawIOBase):
            def __init__(self):
                self.raw = open(read_end, "rb", buffering=0)

            def readable(self):
                return True

            def fileno(self):
                return self.raw.fileno()

            def readinto(self, buffer):
                n = self.raw.readinto(buffer)
                if n is None:
                    starved.set()
                return n

        def write():
            try:
                for start in range(0, len(data), 50000):
                    starved.wait()
                    starved.clear()
                    if stop:
                        return
                    os.write(write_end, data[start:start + 50000])
                starved.wait()
            finally:
                os.close(write_end)

        writer = threading.Thread(target=write)
        writer.start()
        stream = Watched()
        try:
            result = measure.measure(stream, codecs=["zlib"])
        finally:
            stop = True  # let the writer finish whatever happened
            starved.set()
            stream.raw.close()
            writer.join()
        assert result == measure.measure(data, codecs=["zlib"])

    def test_a_failing_stream_raises_and_leaves_no_thread_behind(self):
        class Failing(ShortReads):
            def readinto(self, buffer):
                if len(self._data) < (10 << 20):
                    raise OSError("disk on fire")
                return super().readinto(buffer)

        before = threading.active_count()
        with pytest.raises(OSError, match="disk on fire"):
            measure.measure(Failing(bytes(30 << 20), 1 << 20))
        assert threading.active_count() == before


class TestMissingLibraries:
    def test_a_missing_library_drops_its_codec_and_refuses_it_by_name(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "zstandard", None)  # import now fails
        assert measure.available_codecs() == ["lz4", "zlib", "xz"]
        result = measure.measure(chunks("a", "a"))
        assert list(result["compression"]) == list(result["combined"]) == ["lz4", "zlib"]
        with pytest.raises(measure.CodecUnavailableError, match="pip install zstandard"):
            measure.compression_ratio(b"x", "zstd")
        with pytest.raises(ImportError):
            measure.measure(b"x", codecs=["zlib", "zstd"])


@pytest.mark.skipif(SANITIZED, reason="resident size is distorted by the sanitizer")
def test_a_large_stream_is_measured_in_bounded_memory():
    # 2 GiB from the streaming generator, never held whole: the peak must stay
    # far below the input size (pieces, queues and the digest set only).
    result = run_python("""
        import vorn_py
        from vorn_py import measure

        class Stream:
            def __init__(self, size):
                self.gen = vorn_py.Generator(size, dedup_ratio=8.0, compress_ratio=2.0)
            def readinto(self, buffer):
                return self.gen.fill_chunk(buffer)

        r = measure.measure(Stream(2 << 30), codecs=["lz4"])
        print(r["size"], r["dedup_ratio"])
        # The peak of this address space only: the usage counters would
        # include the pytest process this one was started from.
        with open("/proc/self/status") as status:
            peak = next(line for line in status if line.startswith("VmHWM:"))
        print(int(peak.split()[1]) * 1024)
    """)
    assert result.returncode == 0, result.stderr
    figures, peak = result.stdout.split("\n")[:2]
    assert figures == f"{2 << 30} 8.0"
    assert int(peak) < 200 << 20, f"peak resident size {int(peak) >> 20} MiB"
