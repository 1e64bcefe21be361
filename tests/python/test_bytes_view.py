"""BytesView: its read-only buffer export, length, copies, and the lifetime
of its memory."""

import ctypes
import gc
import io
import sys

import numpy as np
import pytest

from _vorncore import BytesView, Generator, generate_buffer
from helpers import BLOCK


class TestExport:
    def test_memoryview_is_read_only_bytes(self):
        m = memoryview(generate_buffer(1, max_threads=1))
        assert (len(m), m.format, m.itemsize, m.ndim, m.readonly) == (BLOCK, "B", 1, 1, True)
        assert m.shape == (BLOCK,) and m.strides == (1,)
        assert m.c_contiguous
        with pytest.raises(TypeError):
            m[0] = 1

    def test_writable_requests_are_refused(self):
        # Ask through the C API itself: most Python-level consumers turn a
        # refused writable export into their own TypeError.
        view = generate_buffer(1, max_threads=1)
        get_buffer = ctypes.pythonapi.PyObject_GetBuffer
        get_buffer.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
        release = ctypes.pythonapi.PyBuffer_Release
        release.argtypes = [ctypes.c_void_p]
        raw = ctypes.create_string_buffer(256)  # room for a Py_buffer
        PYBUF_WRITABLE, PYBUF_SIMPLE = 1, 0
        with pytest.raises(BufferError) as e:
            get_buffer(view, ctypes.addressof(raw), PYBUF_WRITABLE)
        assert str(e.value) == "BytesView is read-only and does not support writable buffers"
        assert get_buffer(view, ctypes.addressof(raw), PYBUF_SIMPLE) == 0
        release(ctypes.addressof(raw))
        with pytest.raises(TypeError):
            io.BytesIO(b"abc").readinto(view)

    def test_consumers_read_in_place(self):
        view = generate_buffer(2 * BLOCK, max_threads=2)
        arr = np.frombuffer(view, dtype=np.uint8)
        assert arr.size == 2 * BLOCK
        assert bytes(arr[:100]) == bytes(memoryview(view)[:100])
        sink = io.BytesIO()
        assert sink.write(view) == 2 * BLOCK

    def test_bytes_is_a_separate_copy(self):
        view = generate_buffer(BLOCK + 3, max_threads=1)
        copy = bytes(view)
        assert isinstance(copy, bytes)
        assert copy == memoryview(view).tobytes() == view.__bytes__()
        assert len(copy) == len(view) == BLOCK + 3

    def test_no_constructor_and_no_sequence_protocol(self):
        with pytest.raises(TypeError):
            BytesView()
        view = generate_buffer(1, max_threads=1)
        with pytest.raises(TypeError):
            view[0]
        with pytest.raises(TypeError):
            iter(view)
        with pytest.raises(TypeError):
            view.__bytes__(1)


class TestLifetime:
    def test_exports_keep_the_view_alive(self):
        view = generate_buffer(BLOCK, max_threads=1)
        base = sys.getrefcount(view)
        m = memoryview(view)
        assert sys.getrefcount(view) == base + 1
        first = bytes(m[:64])
        del view
        gc.collect()
        assert bytes(m[:64]) == first  # the memory is still there
        m.release()

    def test_releasing_exports_drops_their_references(self):
        view = generate_buffer(BLOCK, max_threads=1)
        base = sys.getrefcount(view)
        views = [memoryview(view) for _ in range(10)]
        assert sys.getrefcount(view) == base + 10
        for m in views:
            m.release()
        assert sys.getrefcount(view) == base

    def test_chunk_views_report_the_bytes_produced(self):
        gen = Generator(BLOCK + 100, max_threads=1)
        assert len(gen.get_chunk(BLOCK)) == BLOCK
        last = gen.get_chunk(BLOCK)
        assert len(last) == 100
        assert memoryview(last).nbytes == 100
