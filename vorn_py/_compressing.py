"""The codecs that measure knows, and the threads that compress data with them
and count the output: a whole stream through an incremental compressor, or
each aligned record of it on its own through the codec's one-shot call, as a
storage system that compresses record by record does."""

from __future__ import annotations

import importlib
import queue
import threading
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Protocol, Union

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


class CodecUnavailableError(ImportError):
    """A codec was asked for whose compression library is not installed."""


class StreamCompressor(Protocol):
    """An incremental compressor: zlib's compressobj and its kin."""

    def compress(self, data: ReadableBuffer, /) -> bytes: ...

    def flush(self) -> bytes: ...


# A piece of the stream, or one record of it.
Data = Union[bytes, bytearray, memoryview]
# Compresses one record on its own, into what a store would keep.
RecordCompressor = Callable[[Data], bytes]


@dataclass(frozen=True)
class Codec:
    """A codec name, the library behind it and how to build its compressor."""

    name: str
    module: str   # imported to compress
    package: str  # installed to get the module
    default_level: int
    levels: tuple[int, int]
    make_stream: Callable[[ModuleType, int], StreamCompressor]
    make_record: Callable[[int], RecordCompressor]

    def load(self) -> ModuleType:
        try:
            return importlib.import_module(self.module)
        except ImportError as exc:
            raise CodecUnavailableError(
                f"codec {self.name!r} needs the Python package {self.package!r}, "
                f"which is not installed (pip install {self.package})") from exc

    def available(self) -> bool:
        try:
            importlib.import_module(self.module)
        except ImportError:
            return False
        return True

    def stream_compressor(self, level: int) -> StreamCompressor:
        return self.make_stream(self.load(), level)

    def record_compressor(self, level: int) -> RecordCompressor:
        self.load()
        return self.make_record(level)


class _Lz4Frame:
    """lz4.frame's compressor behind the compress/flush interface of the others."""

    def __init__(self, frame: ModuleType, level: int) -> None:
        self._compressor = frame.LZ4FrameCompressor(compression_level=level)
        self._header: bytes = self._compressor.begin()

    def compress(self, data: ReadableBuffer, /) -> bytes:
        out: bytes = self._header + self._compressor.compress(data)
        self._header = b""
        return out

    def flush(self) -> bytes:
        out: bytes = self._header + self._compressor.flush()
        self._header = b""
        return out


def _zstd_record(level: int) -> RecordCompressor:
    # A frame per record: header, blocks and no checksum, as zstd -<level> writes.
    import zstandard

    compress: RecordCompressor = zstandard.ZstdCompressor(level=level).compress
    return compress


def _lz4_record(level: int) -> RecordCompressor:
    # A bare block, without frame or size prefix: what a store that compresses
    # records with lz4 keeps (it knows the record's size itself). Frame levels
    # from 3 on are the high-compression levels, which blocks cap at 12.
    block = importlib.import_module("lz4.block")
    if level < 3:
        return lambda record: bytes(block.compress(record, store_size=False))
    high = min(level, 12)
    return lambda record: bytes(block.compress(record, mode="high_compression",
                                               compression=high, store_size=False))


def _zlib_record(level: int) -> RecordCompressor:
    import zlib

    return lambda record: zlib.compress(record, level)


def _xz_record(level: int) -> RecordCompressor:
    import lzma

    return lambda record: lzma.compress(record, format=lzma.FORMAT_XZ, preset=level)


CODECS = {
    codec.name: codec
    for codec in (
        # Single-threaded on purpose: zstd's worker mode splits the input into
        # jobs and reports a slightly different ratio from the usual zstd -3.
        Codec("zstd", "zstandard", "zstandard", 3, (-(1 << 17), 22),
              lambda mod, level: mod.ZstdCompressor(level=level).compressobj(), _zstd_record),
        Codec("lz4", "lz4.frame", "lz4", 0, (0, 16), _Lz4Frame, _lz4_record),
        Codec("zlib", "zlib", "zlib", 6, (0, 9),
              lambda mod, level: mod.compressobj(level), _zlib_record),
        Codec("xz", "lzma", "lzma", 6, (0, 9),
              lambda mod, level: mod.LZMACompressor(format=mod.FORMAT_XZ, preset=level),
              _xz_record),
    )
}
KNOWN_CODECS = tuple(CODECS)
# Codecs measured when the caller names none; xz is left out because it is
# two orders of magnitude slower than the others.
DEFAULT_CODECS = ("zstd", "lz4", "zlib")


def available_codecs() -> list[str]:
    """Names of the codecs whose libraries can be imported, in a fixed order."""
    return [name for name, codec in CODECS.items() if codec.available()]


def codec_label(name: str, level: int) -> str:
    """A short display name such as "zstd-3" ("lz4" alone at its default)."""
    if name == "lz4" and level == 0:
        return "lz4"
    return f"{name}-{level}"


def resolve_codecs(codecs: Iterable[str] | Mapping[str, int | None] | None
                   ) -> list[tuple[str, int]]:
    """The (name, level) pairs that `measure` would use for `codecs`.

    Raises ValueError for an unknown name or a level out of range, TypeError
    for a level that is not an int, CodecUnavailableError for a codec whose
    library is missing.
    """
    if codecs is None:
        return [(name, CODECS[name].default_level)
                for name in DEFAULT_CODECS if CODECS[name].available()]
    if isinstance(codecs, str):
        raise TypeError("codecs must be a list of codec names or a mapping of names "
                        f"to levels, not a str (did you mean [{codecs!r}]?)")
    requested: Mapping[str, int | None] = (
        codecs if isinstance(codecs, Mapping) else dict.fromkeys(codecs, None))
    chosen = []
    for name, level in requested.items():
        codec = CODECS.get(name) if isinstance(name, str) else None
        if codec is None:
            raise ValueError(f"unknown codec {name!r}: choose from {', '.join(CODECS)}")
        codec.load()
        if level is None:
            level = codec.default_level
        elif isinstance(level, bool) or not isinstance(level, int):
            raise TypeError(f"level of {name!r} must be an int, not {type(level).__name__}")
        low, high = codec.levels
        if not low <= level <= high:
            raise ValueError(f"level {level} is out of range for {name!r} ({low} to {high})")
        chosen.append((name, level))
    return chosen


class StreamSink:
    """Compresses everything it is fed as one stream."""

    def __init__(self, compressor: StreamCompressor) -> None:
        self._compressor = compressor

    def feed(self, piece: Data) -> int:
        return len(self._compressor.compress(piece))

    def finish(self) -> int:
        return len(self._compressor.flush())


class RecordSink:
    """Compresses each aligned record of what it is fed on its own; a short
    last record is compressed as it is. Pieces need not hold whole records:
    the part of a record that a piece leaves over waits for the next."""

    def __init__(self, compress: RecordCompressor, record_size: int) -> None:
        self._compress = compress
        self._record_size = record_size
        self._carry = bytearray()

    def feed(self, piece: Data) -> int:
        size = self._record_size
        piece = memoryview(piece)
        out = 0
        if self._carry:
            head = piece[:size - len(self._carry)]
            self._carry += head
            piece = piece[len(head):]
            if len(self._carry) == size:
                out += len(self._compress(self._carry))
                self._carry.clear()
        whole = len(piece) - len(piece) % size
        for start in range(0, whole, size):
            out += len(self._compress(piece[start:start + size]))
        self._carry += piece[whole:]
        return out

    def finish(self) -> int:
        return len(self._compress(self._carry)) if self._carry else 0


# Pieces waiting per compressor thread: bounds memory, keeps every core busy.
_QUEUE_DEPTH = 2


class CompressorThread(threading.Thread):
    """Feeds pieces to one sink and counts its output, off the main thread:
    the compressors release the interpreter lock, so they run in parallel
    with each other and with the hashing."""

    def __init__(self, sink: StreamSink | RecordSink) -> None:
        super().__init__(daemon=True)
        self._sink = sink
        # None marks the end of the stream.
        self._pieces: queue.Queue[Data | None] = queue.Queue(maxsize=_QUEUE_DEPTH)
        self._cancelled = False
        self.compressed_size = 0
        self.error: BaseException | None = None

    def feed(self, piece: Data) -> None:
        self._pieces.put(piece)

    def finish(self, cancel: bool = False) -> None:
        """Flush (or abandon) the stream and wait for the thread."""
        self._cancelled = self._cancelled or cancel
        self._pieces.put(None)
        self.join()

    def run(self) -> None:
        while (piece := self._pieces.get()) is not None:
            # After a failure or a cancel, keep draining so the feeder never blocks.
            if self.error is None and not self._cancelled:
                try:
                    self.compressed_size += self._sink.feed(piece)
                except BaseException as exc:  # re-raised on the caller's thread
                    self.error = exc
        if self.error is None and not self._cancelled:
            try:
                self.compressed_size += self._sink.finish()
            except BaseException as exc:
                self.error = exc
