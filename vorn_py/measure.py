"""Measure the deduplication and compression ratios that data achieves.

Works on bytes-like objects (read in place) and on files, paths and binary
streams of any size (read piece by piece, with the compressors fed
incrementally). Memory: the pieces in flight (8 MiB each, a few per
codec, whatever the chunk size), plus, for an exact deduplication count, at
most 24 bytes per distinct chunk (about 20 on average; 1 TiB of distinct
4 KiB chunks needs at most 6 GiB). For inputs beyond that, ``estimate=True``
counts in a bounded sample instead (about 6 MiB, relative standard error at
most 0.39%). The combined figures of chunks larger than 8 MiB also hold the
chunk being read until it is known to be new.
"""

from __future__ import annotations

import importlib
import io
import os
import queue
import select
import threading
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Iterable,
    Iterator,
    Mapping,
    Optional,
    TypedDict,
    Union,
)

import xxhash

from vorn_py._digests import DigestSample, DigestSet

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, StrPath, SupportsRead

    # What can be measured: bytes-like data, a path, or a binary stream.
    Source = Union[ReadableBuffer, StrPath, SupportsRead[bytes]]

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_CODECS",
    "DEFAULT_SAMPLE_SIZE",
    "MAX_CHUNK_SIZE",
    "KNOWN_CODECS",
    "CodecResult",
    "CodecUnavailableError",
    "Measurement",
    "available_codecs",
    "codec_label",
    "compression_ratio",
    "dedup_ratio",
    "measure",
    "resolve_codecs",
]

DEFAULT_CHUNK_SIZE = 4096
# Larger chunks mean nothing to a deduplicating store.
MAX_CHUNK_SIZE = 1 << 30
# Digests kept by an estimate: about 6 MiB at most, and a relative standard
# error of at most sqrt(2 / 131072) = 0.39% on the distinct chunk count.
DEFAULT_SAMPLE_SIZE = 1 << 17
# Codecs measured when the caller names none; xz is left out because it is
# two orders of magnitude slower than the others.
DEFAULT_CODECS = ("zstd", "lz4", "zlib")
# Inputs are read and dispatched in pieces of about this size.
_PIECE_TARGET = 8 << 20
# Pieces waiting per compressor thread: bounds memory, keeps every core busy.
_QUEUE_DEPTH = 2


class CodecUnavailableError(ImportError):
    """A codec was asked for whose compression library is not installed."""


class CodecResult(TypedDict):
    level: int
    compressed_size: int
    ratio: float
    # The deduplicated stream compressed with the same codec (None when the
    # combined figures were not asked for).
    combined_compressed_size: Optional[int]


class Measurement(TypedDict):
    size: int
    chunk_size: int
    chunks: int
    unique_chunks: int
    unique_size: int
    dedup_ratio: float
    # False when unique_chunks (and so dedup_ratio and unique_size) is an
    # estimate; dedup_error is then its relative standard error, else 0.0.
    dedup_exact: bool
    dedup_error: float
    compression: dict[str, CodecResult]
    # Codec name -> size / compressed size of the deduplicated stream.
    combined: dict[str, float]


class _Codec:
    """How to build an incremental compressor for one codec name."""

    def __init__(self, name: str, module: str, package: str, default_level: int,
                 levels: tuple[int, int],
                 factory: Callable[[Any, int], Any]) -> None:
        self.name = name
        self.module = module
        self.package = package
        self.default_level = default_level
        self.levels = levels
        self.factory = factory

    def load(self) -> Any:
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

    def compressor(self, level: int) -> Any:
        return self.factory(self.load(), level)


class _Lz4Frame:
    """lz4.frame's compressor behind the compress/flush interface of the others."""

    def __init__(self, frame: Any, level: int) -> None:
        self._compressor = frame.LZ4FrameCompressor(compression_level=level)
        self._header: bytes = self._compressor.begin()

    def compress(self, data: Any) -> bytes:
        out: bytes = self._header + self._compressor.compress(data)
        self._header = b""
        return out

    def flush(self) -> bytes:
        out: bytes = self._header + self._compressor.flush()
        self._header = b""
        return out


_CODECS = {
    codec.name: codec
    for codec in (
        # Single-threaded on purpose: zstd's worker mode splits the input into
        # jobs and reports a slightly different ratio from the usual zstd -3.
        _Codec("zstd", "zstandard", "zstandard", 3, (-(1 << 17), 22),
               lambda mod, level: mod.ZstdCompressor(level=level).compressobj()),
        _Codec("lz4", "lz4.frame", "lz4", 0, (0, 16), _Lz4Frame),
        _Codec("zlib", "zlib", "zlib", 6, (0, 9),
               lambda mod, level: mod.compressobj(level)),
        _Codec("xz", "lzma", "lzma", 6, (0, 9),
               lambda mod, level: mod.LZMACompressor(format=mod.FORMAT_XZ, preset=level)),
    )
}


KNOWN_CODECS = tuple(_CODECS)


def available_codecs() -> list[str]:
    """Names of the codecs whose libraries can be imported, in a fixed order."""
    return [name for name, codec in _CODECS.items() if codec.available()]


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
        return [(name, _CODECS[name].default_level)
                for name in DEFAULT_CODECS if _CODECS[name].available()]
    if isinstance(codecs, str):
        raise TypeError("codecs must be a list of codec names or a mapping of names "
                        f"to levels, not a str (did you mean [{codecs!r}]?)")
    requested: Mapping[str, int | None] = (
        codecs if isinstance(codecs, Mapping) else dict.fromkeys(codecs, None))
    chosen = []
    for name, level in requested.items():
        codec = _CODECS.get(name) if isinstance(name, str) else None
        if codec is None:
            raise ValueError(f"unknown codec {name!r}: choose from {', '.join(_CODECS)}")
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


def _check_chunk_size(chunk_size: int) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if not 0 < chunk_size <= MAX_CHUNK_SIZE:
        raise ValueError(f"chunk_size must be from 1 to {MAX_CHUNK_SIZE}, not {chunk_size}")
    return chunk_size


def _check_sample_size(sample_size: int) -> int:
    if isinstance(sample_size, bool) or not isinstance(sample_size, int):
        raise TypeError(f"sample_size must be an int, not {type(sample_size).__name__}")
    if sample_size <= 0:
        raise ValueError(f"sample_size must be positive, not {sample_size}")
    return sample_size


class _CompressorThread(threading.Thread):
    """Feeds pieces to one compressor and counts its output, off the main
    thread: the compressors release the interpreter lock, so they run in
    parallel with each other and with the hashing."""

    _END = object()

    def __init__(self, compressor: Any) -> None:
        super().__init__(daemon=True)
        self._compressor = compressor
        self._pieces: queue.Queue[Any] = queue.Queue(maxsize=_QUEUE_DEPTH)
        self._cancelled = False
        self.compressed_size = 0
        self.error: BaseException | None = None

    def feed(self, piece: Any) -> None:
        self._pieces.put(piece)

    def finish(self, cancel: bool = False) -> None:
        """Flush (or abandon) the stream and wait for the thread."""
        self._cancelled = self._cancelled or cancel
        self._pieces.put(self._END)
        self.join()

    def run(self) -> None:
        while True:
            piece = self._pieces.get()
            if piece is self._END:
                break
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


def _piece_size(chunk_size: int) -> int:
    """Whole chunks up to the target size, or the target alone when a chunk is
    larger: memory does not follow the chunk size."""
    return chunk_size * (_PIECE_TARGET // chunk_size) or _PIECE_TARGET


def _pieces_of_buffer(view: memoryview, size: int) -> Iterator[memoryview]:
    for start in range(0, len(view), size):
        yield view[start:start + size]


def _pieces_of_stream(stream: Any, size: int) -> Iterator[memoryview]:
    """Whole pieces of `size` bytes until the last (the compressors and the
    chunk counter then get large pieces however the stream splits its reads)."""
    readinto = getattr(stream, "readinto", None)
    while True:
        piece = bytearray(size)
        view = memoryview(piece)
        filled = 0
        while filled < size:
            try:
                if readinto is not None:
                    n = readinto(view[filled:])
                else:
                    data = stream.read(size - filled)
                    if isinstance(data, str):
                        raise TypeError("the stream must be opened in binary mode")
                    n = None if data is None else len(data)
                    if n:
                        view[filled:filled + n] = data
            except BlockingIOError:
                n = None
            if n is None:  # a non-blocking stream with nothing to read yet
                _wait_until_readable(stream)
                continue
            if n == 0:
                break
            filled += n
        if filled:
            yield view[:filled]
        if filled < size:
            return


def _wait_until_readable(stream: Any) -> None:
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        raise ValueError("the stream is non-blocking, has no data ready and no file "
                         "descriptor to wait on") from None
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.poll()  # also wakes on end of file and errors, which the read reports


def _as_buffer(source: Any) -> memoryview | None:
    """A flat byte view of a bytes-like source, or None for anything else."""
    if isinstance(source, (str, os.PathLike)):
        return None
    try:
        view = memoryview(source)
    except TypeError:
        return None
    if not view.c_contiguous:
        raise ValueError("the buffer must be C-contiguous to be measured")
    # Any item type is measured as its bytes.
    return view if view.ndim == 1 and view.format == "B" else view.cast("B")


def _open_pieces(source: Any, piece_size: int) -> tuple[Iterator[memoryview], Any]:
    """The input as pieces, plus a file to close afterwards (or None)."""
    view = _as_buffer(source)
    if view is not None:
        return _pieces_of_buffer(view, piece_size), None
    if isinstance(source, (str, os.PathLike)):
        # Unbuffered: readinto fills our pieces straight from the kernel.
        opened = open(source, "rb", buffering=0)
        return _pieces_of_stream(opened, piece_size), opened
    if isinstance(source, io.TextIOBase):
        raise TypeError("the stream must be opened in binary mode")
    if hasattr(source, "readinto") or hasattr(source, "read"):
        return _pieces_of_stream(source, piece_size), None
    raise TypeError("expected a bytes-like object, a path or a binary stream, "
                    f"not {type(source).__name__}")


class _ChunkCounter:
    """Counts the chunks and the distinct chunks of a stream fed in pieces of
    any length; chunks lie at fixed offsets whatever the pieces are, and a
    short last chunk counts as one. With an exact set it also hands back each
    chunk's first occurrence, for the combined figures."""

    def __init__(self, chunk_size: int, distinct: DigestSet | DigestSample,
                 keep_unique: bool) -> None:
        self.chunk_size = chunk_size
        self.distinct = distinct
        self.keep_unique = keep_unique and isinstance(distinct, DigestSet)
        self.chunks = 0
        self.unique_size = 0          # exact sets only
        # The chunk that the last piece left unfinished.
        self._partial = xxhash.xxh3_128()
        self._partial_parts: list[memoryview] = []
        self._partial_length = 0

    def feed(self, piece: memoryview) -> list[memoryview]:
        """Count the chunks that `piece` completes; returns the parts of those
        seen for the first time (when keeping them)."""
        unique: list[memoryview] = []
        size = self.chunk_size
        if self._partial_length:
            head = piece[:size - self._partial_length]
            self._extend_partial(head)
            piece = piece[len(head):]
            if self._partial_length == size:
                self._close_partial(unique)
        whole = len(piece) - len(piece) % size
        add = self.distinct.add
        if isinstance(self.distinct, DigestSet):
            run = -1  # start of the current run of new chunks, kept as one view
            for start in range(0, whole, size):
                if add(xxhash.xxh3_128_digest(piece[start:start + size])):
                    self.unique_size += size
                    if run < 0:
                        run = start
                elif run >= 0:
                    if self.keep_unique:
                        unique.append(piece[run:start])
                    run = -1
            if run >= 0 and self.keep_unique:
                unique.append(piece[run:whole])
        else:
            for start in range(0, whole, size):
                add(xxhash.xxh3_128_digest(piece[start:start + size]))
        self.chunks += whole // size
        if whole < len(piece):
            self._extend_partial(piece[whole:])
        return unique

    def finish(self) -> list[memoryview]:
        """Count a last, short chunk; returns it if it was new (and kept)."""
        unique: list[memoryview] = []
        if self._partial_length:
            self._close_partial(unique)
        return unique

    def _extend_partial(self, part: memoryview) -> None:
        self._partial.update(part)
        self._partial_length += len(part)
        if self.keep_unique:
            self._partial_parts.append(part)

    def _close_partial(self, unique: list[memoryview]) -> None:
        if self.distinct.add(self._partial.digest()) and isinstance(self.distinct, DigestSet):
            self.unique_size += self._partial_length
            unique.extend(self._partial_parts)
        self.chunks += 1
        self._partial.reset()
        self._partial_parts = []
        self._partial_length = 0


def _ratio(original: float, reduced: float) -> float:
    # Empty input: nothing was reduced, so every ratio is 1.
    return original / reduced if original and reduced else 1.0


def _measure(source: Any, chunk_size: int, codecs: list[tuple[str, int]],
             track_dedup: bool, combined: bool, estimate: bool, sample_size: int,
             progress: Callable[[int], object] | None) -> Measurement:
    def compressors() -> dict[str, _CompressorThread]:
        return {name: _CompressorThread(_CODECS[name].compressor(level))
                for name, level in codecs}

    distinct: DigestSet | DigestSample = DigestSample(sample_size) if estimate else DigestSet()
    # An estimate never sees every distinct chunk, so it cannot compress them.
    combined = combined and track_dedup and not estimate
    counter = _ChunkCounter(chunk_size, distinct, keep_unique=combined and bool(codecs))
    plain = compressors()
    # The same codecs again, fed only each chunk's first occurrence.
    deduplicated = compressors() if combined else {}
    everyone = list(plain.values()) + list(deduplicated.values())

    def feed_unique(unique: list[memoryview]) -> None:
        if unique:
            joined = b"".join(unique)
            for thread in deduplicated.values():
                thread.feed(joined)

    size = 0
    pieces, opened = _open_pieces(source, _piece_size(chunk_size))
    for thread in everyone:
        thread.start()
    finished = False
    try:
        for piece in pieces:
            for thread in plain.values():
                thread.feed(piece)
            if track_dedup:
                feed_unique(counter.feed(piece))
            size += len(piece)
            if progress is not None:
                progress(len(piece))
        if track_dedup:
            feed_unique(counter.finish())
        finished = True
    finally:
        for thread in everyone:
            thread.finish(cancel=not finished)
        if opened is not None:
            opened.close()
    for thread in everyone:
        if thread.error is not None:
            raise thread.error

    compression: dict[str, CodecResult] = {}
    combined_ratios: dict[str, float] = {}
    for name, level in codecs:
        compressed = plain[name].compressed_size
        combined_size = deduplicated[name].compressed_size if deduplicated else None
        compression[name] = {"level": level, "compressed_size": compressed,
                             "ratio": _ratio(size, compressed),
                             "combined_compressed_size": combined_size}
        if combined_size is not None:
            combined_ratios[name] = _ratio(size, combined_size)
    if isinstance(distinct, DigestSample):
        unique_chunks = min(distinct.estimate(), counter.chunks)
        # Chunks are all full but perhaps the last: scale the size likewise.
        unique_size = round(size * _ratio(unique_chunks, counter.chunks)) if counter.chunks else 0
        exact, error = distinct.exact, distinct.relative_error()
    else:
        unique_chunks, unique_size = len(distinct), counter.unique_size
        exact, error = True, 0.0
    return {
        "size": size,
        "chunk_size": chunk_size,
        "chunks": counter.chunks,
        "unique_chunks": unique_chunks,
        "unique_size": unique_size,
        "dedup_ratio": _ratio(counter.chunks, unique_chunks),
        "dedup_exact": exact,
        "dedup_error": error,
        "compression": compression,
        "combined": combined_ratios,
    }


def measure(source: Source, chunk_size: int = DEFAULT_CHUNK_SIZE,
            codecs: Iterable[str] | Mapping[str, int | None] | None = None,
            combined: bool = True,
            progress: Callable[[int], object] | None = None,
            *, estimate: bool = False,
            sample_size: int = DEFAULT_SAMPLE_SIZE) -> Measurement:
    """Measure the deduplication ratio, compression ratios and combined ratio.

    `source` is a bytes-like object (read in place, without a copy), a path,
    or a binary stream (read to its end, not closed). `codecs` names the
    codecs to use ("zstd", "lz4", "zlib", "xz"), or maps names to levels
    (None for the default level); by default zstd-3, lz4 and zlib-6, those of
    them that are installed. The combined figure of each codec is the size
    over the compressed size of the deduplicated stream (each distinct chunk
    once, in first-seen order), about dedup x compression; `combined=False`
    skips it and saves the second compression. `progress`, if given, is
    called with the number of bytes consumed after each piece (for example
    ``tqdm.update``).

    Distinct chunks are counted exactly by their 128-bit xxh3 digests, in at
    most 24 bytes per distinct chunk. With `estimate=True` they are counted in
    a sample of at most `sample_size` digests (24 bytes each) instead: exact
    up to that many distinct chunks, beyond it an estimate whose relative
    standard error, given in the result as ``dedup_error``, is at most
    sqrt(2 / `sample_size`), 0.39% by default. An estimate has no combined
    figures.

    Every ratio of an empty input is 1.0.
    """
    chosen = resolve_codecs(codecs)
    return _measure(source, _check_chunk_size(chunk_size), chosen,
                    track_dedup=True, combined=combined, estimate=estimate,
                    sample_size=_check_sample_size(sample_size), progress=progress)


def dedup_ratio(source: Source, chunk_size: int = DEFAULT_CHUNK_SIZE, *,
                estimate: bool = False, sample_size: int = DEFAULT_SAMPLE_SIZE) -> float:
    """Total chunks / distinct chunks, chunks of `chunk_size` bytes at fixed
    offsets (a short last chunk counts as one), compared by 128-bit xxh3
    digest; `estimate` and `sample_size` as for `measure`."""
    result = _measure(source, _check_chunk_size(chunk_size), [],
                      track_dedup=True, combined=False, estimate=estimate,
                      sample_size=_check_sample_size(sample_size), progress=None)
    return result["dedup_ratio"]


def compression_ratio(source: Source, codec: str = "zstd", level: int | None = None) -> float:
    """Original size / compressed size with one codec (default level if None)."""
    chosen = resolve_codecs({codec: level})
    result = _measure(source, DEFAULT_CHUNK_SIZE, chosen,
                      track_dedup=False, combined=False, estimate=False,
                      sample_size=DEFAULT_SAMPLE_SIZE, progress=None)
    return result["compression"][codec]["ratio"]
