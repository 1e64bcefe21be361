"""The fill paths behind the private _fill_path switch: every path this CPU
runs, the scalar fallback included, gives the same stream through the
streaming and one-shot calls; the switch's own arguments."""

import zlib

import pytest

import _vorncore
from _vorncore import Generator
from helpers import BLOCK

PATHS = ["scalar", "avx2", "avx512"]


def runnable_paths():
    """The paths this CPU runs, found by asking for each one."""
    found = []
    try:
        for path in PATHS:
            try:
                _vorncore._fill_path(path)
            except ValueError:
                continue
            found.append(path)
    finally:
        _vorncore._fill_path("auto")
    return found


@pytest.fixture
def on_path():
    """Switches the path for a test and always goes back to the automatic one."""
    def switch(path):
        active = _vorncore._fill_path(path)
        assert path in ("auto", active)
    try:
        yield switch
    finally:
        _vorncore._fill_path("auto")


def read_in_pieces(gen, sizes):
    """The rest of the stream read with a repeating list of sizes."""
    out = bytearray()
    i = 0
    while True:
        buf = bytearray(sizes[i % len(sizes)])
        i += 1
        n = gen.fill_chunk(buf)
        if n == 0:
            return bytes(out)
        out += buf[:n]


class TestSwitch:
    def test_reports_and_sets_the_path(self, on_path):
        best = _vorncore._fill_path()
        assert best in PATHS
        assert "scalar" in runnable_paths()
        on_path("scalar")
        assert _vorncore._fill_path() == "scalar"
        assert _vorncore._fill_path(None) == "scalar"
        assert _vorncore._fill_path("auto") == best

    def test_bad_arguments(self, on_path):
        for bad, error in [("fastest", ValueError), ("", ValueError), ("Scalar", ValueError),
                           (2, TypeError), (b"scalar", TypeError)]:
            with pytest.raises(error):
                _vorncore._fill_path(bad)
        with pytest.raises(TypeError):
            _vorncore._fill_path("scalar", "avx2")
        assert _vorncore._fill_path() == runnable_paths()[-1]

    def test_private(self):
        assert "_fill_path" not in _vorncore.__all__


@pytest.mark.parametrize("compress", [1, 2, 3, 10])
def test_every_path_replays_the_same_stream(on_path, compress):
    # One generator, reset between paths: its entropy stays, so the
    # bytes must too, whatever the path, read sizes and threads.
    size = 5 * BLOCK + 12345
    gen = Generator(size, dedup_ratio=2, compress_ratio=compress, max_threads=2)
    on_path("auto")
    expected = read_in_pieces(gen, [size])
    assert len(expected) == size
    for path in runnable_paths():
        for sizes in ([1, 4093, (1 << 20) + 7], [3 * BLOCK + 11], [32 << 20]):
            on_path(path)
            gen.reset()
            assert read_in_pieces(gen, sizes) == expected, (path, sizes)
    single = Generator(size, dedup_ratio=2, compress_ratio=compress, max_threads=1)
    first = read_in_pieces(single, [BLOCK + 1])
    for path in runnable_paths():
        on_path(path)
        single.reset()
        assert read_in_pieces(single, [7, BLOCK - 3]) == first, path


@pytest.mark.parametrize("compress", [1, 3])
def test_every_path_keeps_the_one_shot_layout(on_path, compress):
    # One-shot calls draw their own entropy, so each path is checked for the
    # layout: repeats equal to their first occurrence, a partial last block
    # its prefix, and the ratio asked for.
    size = 7 * BLOCK + 999
    for path in runnable_paths():
        on_path(path)
        for make in (lambda: bytes(_vorncore.generate_buffer(
                         size, dedup_ratio=3, compress_ratio=compress, max_threads=2)),
                     lambda: _into(size, compress)):
            data = make()
            assert len(data) == size
            unique = 3  # round(8 blocks / 3)
            for k in range(unique, 7):
                first = k % unique
                assert data[k * BLOCK:(k + 1) * BLOCK] == data[first * BLOCK:(first + 1) * BLOCK]
            assert data[7 * BLOCK:] == data[BLOCK:BLOCK + 999]
            assert data[:BLOCK] != data[BLOCK:2 * BLOCK]
            ratio = BLOCK / len(zlib.compress(data[:BLOCK], 1))
            if compress == 1:
                assert ratio < 1.01, path
            else:
                assert 2.0 < ratio < 4.0, (path, ratio)


def _into(size, compress):
    out = bytearray(size)
    _vorncore.generate_into_buffer(out, dedup_ratio=3, compress_ratio=compress, max_threads=2)
    return bytes(out)
