"""What can be measured, read as a series of pieces: a bytes-like object
(sliced in place), a path, or a binary stream (read into fresh pieces, since
the compressor threads keep each piece until they are done with it); and the
one way streams are read, by measure and verify alike."""

from __future__ import annotations

import io
import os
import select
from collections.abc import Iterator
from typing import TYPE_CHECKING, Union, cast

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, StrPath, SupportsRead

    # What can be measured: bytes-like data, a path, or a binary stream.
    Source = Union[ReadableBuffer, StrPath, SupportsRead[bytes]]

# Inputs are read and dispatched in pieces of about this size.
PIECE_TARGET = 8 << 20


def piece_size(unit: int) -> int:
    """Whole units (chunks) up to the target size, or the target alone when a
    unit is larger: memory does not follow the chunk size."""
    return unit * (PIECE_TARGET // unit) or PIECE_TARGET


class Pieces:
    """The pieces of one source; close() releases a file opened from a path."""

    def __init__(self, source: Source, size: int) -> None:
        self._opened: io.FileIO | None = None
        view = _as_buffer(source)
        if view is not None:
            self._pieces = _pieces_of_buffer(view, size)
        elif isinstance(source, (str, os.PathLike)):
            # Unbuffered: readinto fills our pieces straight from the kernel.
            self._opened = open(source, "rb", buffering=0)
            self._pieces = _pieces_of_stream(self._opened, size)
        elif isinstance(source, io.TextIOBase):
            raise TypeError("the stream must be opened in binary mode")
        elif hasattr(source, "readinto") or hasattr(source, "read"):
            # Not a buffer (that was tried first), so a stream.
            self._pieces = _pieces_of_stream(cast("SupportsRead[bytes]", source), size)
        else:
            raise TypeError("expected a bytes-like object, a path or a binary stream, "
                            f"not {type(source).__name__}")

    def __iter__(self) -> Iterator[memoryview]:
        return self._pieces

    def close(self) -> None:
        if self._opened is not None:
            self._opened.close()


def _as_buffer(source: object) -> memoryview | None:
    """A flat byte view of a bytes-like source, or None for anything else."""
    if isinstance(source, (str, os.PathLike)):
        return None
    try:
        view = memoryview(source)  # type: ignore[arg-type]  # anything may export a buffer
    except TypeError:
        return None
    if not view.c_contiguous:
        raise ValueError("the buffer must be C-contiguous to be measured")
    # Any item type is measured as its bytes.
    return view if view.ndim == 1 and view.format == "B" else view.cast("B")


def _pieces_of_buffer(view: memoryview, size: int) -> Iterator[memoryview]:
    for start in range(0, len(view), size):
        yield view[start:start + size]


def _pieces_of_stream(stream: SupportsRead[bytes], size: int) -> Iterator[memoryview]:
    """Whole pieces of `size` bytes until the last (the compressors and the
    chunk counter then get large pieces however the stream splits its reads)."""
    while True:
        piece = memoryview(bytearray(size))
        filled = 0
        while filled < size:
            n = read_into(stream, piece[filled:])
            if n == 0:
                break
            filled += n
        if filled:
            yield piece[:filled]
        if filled < size:
            return


def read_into(stream: SupportsRead[bytes], view: memoryview) -> int:
    """Bytes read into `view` (as many as one read gives), 0 only at the end.
    A non-blocking stream with nothing to read yet is waited for, as a
    blocking one would be."""
    while True:
        count = _read_into(stream, view)
        if count is not None:
            return count
        _wait_until_readable(stream)


def _read_into(stream: SupportsRead[bytes], view: memoryview) -> int | None:
    """Bytes read into `view`: 0 at the end, None when none are ready yet."""
    try:
        readinto = getattr(stream, "readinto", None)
        if readinto is not None:
            count: int | None = readinto(view)
            return count
        data = stream.read(len(view))
    except BlockingIOError:
        return None
    if data is None:
        return None
    if isinstance(data, str):
        raise TypeError("the stream must be opened in binary mode")
    view[:len(data)] = data
    return len(data)


def _wait_until_readable(stream: object) -> None:
    try:
        fd = stream.fileno()  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        raise ValueError("the stream is non-blocking, has no data ready and no file "
                         "descriptor to wait on") from None
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.poll()  # also wakes on end of file and errors, which the read reports
