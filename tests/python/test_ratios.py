"""The ratios callers ask for are the ratios real tools measure: compression
by zstd, lz4 and zlib on generated output, deduplication by hashing fixed
4 KiB chunks, and both together."""

import pytest

from _vorncore import Generator, generate_buffer
from conftest import BLOCK

measure = pytest.importorskip("vorn_py.measure")

SIZE = 64 << 20  # 16 blocks: every unique block is measured, not a sample


def generated(compress=1.0, dedup=1.0, size=SIZE):
    return generate_buffer(size, dedup_ratio=dedup, compress_ratio=compress)


@pytest.mark.parametrize("ratio", range(2, 11))
def test_zstd_level_3_measures_the_requested_ratio(ratio):
    achieved = measure.compression_ratio(generated(ratio), codec="zstd", level=3)
    assert achieved == pytest.approx(ratio, rel=0.05)


@pytest.mark.parametrize("codec,level", [("lz4", None), ("zlib", 6)])
@pytest.mark.parametrize("ratio", [2, 3, 4, 5])
def test_lz4_and_zlib_measure_the_requested_ratio(codec, level, ratio):
    achieved = measure.compression_ratio(generated(ratio), codec=codec, level=level)
    assert achieved == pytest.approx(ratio, rel=0.15)


def test_no_compression_means_incompressible():
    for codec in ("zstd", "lz4", "zlib"):
        achieved = measure.compression_ratio(generated(1.0, size=2 * BLOCK), codec=codec)
        assert 0.99 < achieved <= 1.0


def test_fractional_ratios_are_truncated():
    # 2.9 behaves as 2; 1.5 as no compression at all.
    assert measure.compression_ratio(generated(2.9), codec="zstd") == pytest.approx(2, rel=0.05)
    assert measure.compression_ratio(generated(1.5, size=2 * BLOCK), codec="zstd") < 1.01


def test_ratios_above_the_ceiling_level_off():
    # Past the ceiling more is not worse: the achieved ratio stays near its peak.
    at_ceiling = measure.compression_ratio(generated(28), codec="zstd")
    beyond = measure.compression_ratio(generated(1000), codec="zstd")
    assert at_ceiling > 25 and beyond > 25


@pytest.mark.parametrize("dedup,total,unique", [(2, 16, 8), (3, 16, 5), (4, 16, 4), (100, 16, 1),
                                                (1.5, 16, 16)])
def test_dedup_by_4k_chunks_is_exactly_blocks_over_unique_blocks(dedup, total, unique):
    achieved = measure.dedup_ratio(generated(dedup=dedup, compress=3.0), chunk_size=4096)
    assert achieved == pytest.approx(total / unique, rel=1e-12)


def test_streamed_output_has_the_same_ratios():
    gen = Generator(SIZE, dedup_ratio=4.0, compress_ratio=5.0)
    data = bytearray(SIZE)
    view = memoryview(data)
    for offset in range(0, SIZE, 3 << 20):
        gen.fill_chunk(view[offset:offset + (3 << 20)])
    assert measure.dedup_ratio(data) == pytest.approx(4.0, rel=1e-12)
    unique = bytes(data[:4 * BLOCK])  # the four unique blocks, once each
    assert measure.compression_ratio(unique, codec="zstd") == pytest.approx(5, rel=0.05)


@pytest.mark.parametrize("dedup,compress", [(2, 3), (4, 2), (2, 5)])
def test_dedup_then_compression_gives_the_product(dedup, compress):
    report = measure.measure(generated(compress, dedup), codecs=["zstd"])
    assert report["dedup_ratio"] == pytest.approx(dedup, rel=1e-12)
    assert report["combined"]["zstd"] == pytest.approx(dedup * compress, rel=0.05)
