"""The codecs that measure knows, and the threads that compress a stream with
them and count the output."""

from __future__ import annotations

import importlib
import queue
import threading
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Protocol

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


class CodecUnavailableError(ImportError):
    """A codec was asked for whose compression library is not installed."""


class StreamCompressor(Protocol):
    """An incremental compressor: zlib's compressobj and its kin."""

    def compress(self, data: ReadableBuffer, /) -> bytes: ...

    def flush(self) -> bytes: ...


@dataclass(frozen=True)
class Codec:
    """A codec name, the library behind it and how to build its compressor."""

    name: str
    module: str   # imported to compress
    package: str  # installed to get the module
    default_level: int
    levels: tuple[int, int]
    make_stream: Callable[[ModuleType, int], StreamCompressor]

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


CODECS = {
    codec.name: codec
    for codec in (
        # Single-threaded on purpose: zstd's worker mode splits the input into
        # jobs and reports a slightly different ratio from the usual zstd -3.
        Codec("zstd", "zstandard", "zstandard", 3, (-(1 << 17), 22),
              lambda mod, level: mod.ZstdCompressor(level=level).compressobj()),
        Codec("lz4", "lz4.frame", "lz4", 0, (0, 16), _Lz4Frame),
        Codec("zlib", "zlib", "zlib", 6, (0, 9),
              lambda mod, level: mod.compressobj(level)),
        Codec("xz", "lzma", "lzma", 6, (0, 9),
              lambda mod, level: mod.LZMACompressor(format=mod.FORMAT_XZ, preset=level)),
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


# Pieces waiting per compressor thread: bounds memory, keeps every core busy.
_QUEUE_DEPTH = 2


class CompressorThread(threading.Thread):
    """Feeds pieces to one compressor and counts its output, off the main
    thread: the compressors release the interpreter lock, so they run in
    parallel with each other and with the hashing."""

    def __init__(self, compressor: StreamCompressor) -> None:
        super().__init__(daemon=True)
        self._compressor = compressor
        # None marks the end of the stream.
        self._pieces: queue.Queue[ReadableBuffer | None] = queue.Queue(maxsize=_QUEUE_DEPTH)
        self._cancelled = False
        self.compressed_size = 0
        self.error: BaseException | None = None

    def feed(self, piece: ReadableBuffer) -> None:
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
                    self.compressed_size += len(self._compressor.compress(piece))
                except BaseException as exc:  # re-raised on the caller's thread
                    self.error = exc
        if self.error is None and not self._cancelled:
            try:
                self.compressed_size += len(self._compressor.flush())
            except BaseException as exc:
                self.error = exc
