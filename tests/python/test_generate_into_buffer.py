"""generate_into_buffer: the buffers it accepts and refuses, the order of its
checks, in-place writing, and its memory footprint."""

import array

import numpy as np
import pytest

from _vorncore import generate_into_buffer
from helpers import BLOCK, SANITIZED, blocks_of, run_python

BAD_MODE = "Invalid numa_mode 'bogus': must be 'auto', 'force', or 'disabled'"


class TestAcceptedBuffers:
    @pytest.mark.parametrize("size", [0, 1, 10, 4095, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 12345])
    def test_returns_the_length_and_writes_every_byte(self, size):
        buf = bytearray(size)
        assert generate_into_buffer(buf, max_threads=2) == size
        if size >= 4096:
            # No page is left at its zero fill, the last one included.
            zero_page = bytes(4096)
            for offset in list(range(0, size - 4096, 4096)) + [size - 4096]:
                assert buf[offset:offset + 4096] != zero_page

    def test_small_buffers_are_overwritten_entirely(self):
        # A byte left unwritten would stay zero every time; random bytes are
        # zero one time in 256.
        zeros = 0
        for _ in range(40):
            buf = bytearray(10)
            assert generate_into_buffer(buf, compress_ratio=2.0) == 10
            zeros += buf.count(0)
        assert zeros < 15

    def test_numpy_arrays_of_any_shape_and_writable_views(self):
        arr = np.zeros((3, 5, 7), dtype=np.uint8)
        assert generate_into_buffer(arr) == 105
        assert np.count_nonzero(arr) > 90
        base = bytearray(100)
        assert generate_into_buffer(memoryview(base)[10:60]) == 50
        assert base[:10] == bytes(10) and base[60:] == bytes(40)
        assert generate_into_buffer(memoryview(bytearray(16)).cast("c")) == 16
        assert generate_into_buffer(array.array("B", bytes(32))) == 32

    def test_dedup_layout_and_partial_block_in_place(self):
        buf = bytearray(5 * BLOCK)
        generate_into_buffer(buf, dedup_ratio=2.0, max_threads=2)
        blocks = blocks_of(buf)
        assert blocks[3] == blocks[0] and blocks[4] == blocks[1]
        assert len({blocks[0], blocks[1], blocks[2]}) == 3
        tail = bytearray(2 * BLOCK + 777)
        generate_into_buffer(tail, dedup_ratio=50.0, max_threads=2)
        blocks = blocks_of(tail)
        assert blocks[1] == blocks[0] and blocks[2] == blocks[0][:777]

    def test_two_calls_differ(self):
        a, b = bytearray(BLOCK), bytearray(BLOCK)
        generate_into_buffer(a)
        generate_into_buffer(b)
        assert a != b


class TestRefusedBuffers:
    def test_read_only_buffers(self):
        for ro in (bytes(10), memoryview(bytearray(10)).toreadonly()):
            with pytest.raises(ValueError) as e:
                generate_into_buffer(ro)
            assert str(e.value) == "Buffer must be writable"
        # The buffer checks come before the numa_mode check.
        with pytest.raises(ValueError) as e:
            generate_into_buffer(bytes(10), numa_mode="bogus")
        assert str(e.value) == "Buffer must be writable"
        with pytest.raises(ValueError) as e:
            generate_into_buffer(bytearray(10), numa_mode="bogus")
        assert str(e.value) == BAD_MODE

    def test_non_contiguous_buffers(self):
        with pytest.raises(ValueError) as e:
            generate_into_buffer(memoryview(bytearray(20))[::2])
        assert str(e.value) == "Buffer must be C-contiguous for zero-copy operation"
        with pytest.raises(ValueError) as e:
            generate_into_buffer(np.zeros((4, 4), dtype=np.uint8).T)
        assert str(e.value) == "Buffer must be C-contiguous for zero-copy operation"

    def test_buffers_that_are_not_bytes(self):
        for wrong in (array.array("i", [1, 2, 3]), np.zeros(4, dtype=np.int8),
                      memoryview(bytearray(8)).cast("b"), np.zeros(3, dtype=np.float64),
                      np.zeros(2, dtype=[("a", "u1")])):
            with pytest.raises(BufferError) as e:
                generate_into_buffer(wrong)
            assert str(e.value) == "buffer contents are not compatible with u8"

    def test_objects_without_a_buffer(self):
        for wrong in ("text", 5, None, [1, 2]):
            with pytest.raises(TypeError) as e:
                generate_into_buffer(wrong)
            assert not str(e.value).startswith("argument")

    def test_arguments_are_converted_before_the_buffer_is_taken(self):
        with pytest.raises(TypeError) as e:
            generate_into_buffer("not a buffer", dedup_ratio=None)
        assert str(e.value).startswith("argument 'dedup_ratio': ")

    def test_a_failed_call_releases_the_buffer(self):
        buf = bytearray(10)
        with pytest.raises(ValueError):
            generate_into_buffer(buf, numa_mode="bogus")
        buf.extend(b"x")  # a still-held export would make this a BufferError
        assert len(buf) == 11


@pytest.mark.skipif(SANITIZED, reason="peak memory is distorted by the sanitizer's shadow memory")
def test_generates_in_place_without_a_second_buffer():
    result = run_python("""
        import resource, _vorncore
        size = 1 << 30
        buf = bytearray(size)  # zero-filled: its pages are touched now
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert _vorncore.generate_into_buffer(buf, compress_ratio=3.0, max_threads=2) == size
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print((peak - before) * 1024)
    """)
    assert result.returncode == 0, result.stderr
    growth = int(result.stdout)
    assert growth < 64 * 2**20, f"peak grew by {growth} bytes"
