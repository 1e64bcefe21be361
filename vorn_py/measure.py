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

from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Optional, TypedDict

from vorn_py._compressing import (
    CODECS,
    DEFAULT_CODECS,
    KNOWN_CODECS,
    CodecUnavailableError,
    CompressorThread,
    RecordSink,
    StreamSink,
    available_codecs,
    codec_label,
    resolve_codecs,
)
from vorn_py._dedup import ChunkCounter, DigestSample, DigestSet
from vorn_py._sources import Pieces, piece_size

if TYPE_CHECKING:
    from vorn_py._sources import Source

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_CODECS",
    "DEFAULT_SAMPLE_SIZE",
    "MAX_CHUNK_SIZE",
    "MAX_RECORD_SIZE",
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
# Stores compress records of 4 KiB to 16 MiB; a record is held whole to be
# compressed, once per codec.
MAX_RECORD_SIZE = 64 << 20


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
    # Record size -> codec name -> figures with each aligned record of that
    # size compressed on its own (the deduplicated stream's records too).
    records: dict[int, dict[str, CodecResult]]


def _check_positive(name: str, value: int, maximum: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value <= 0 or (maximum is not None and value > maximum):
        allowed = "positive" if maximum is None else f"from 1 to {maximum}"
        raise ValueError(f"{name} must be {allowed}, not {value}")
    return value


# Which compression a thread does: of the whole stream (None) or of each
# record of a size, with a codec.
_Lane = tuple[Optional[int], str]


@dataclass
class _Job:
    """What one measurement does with the pieces it reads."""

    chunk_size: int
    codecs: list[tuple[str, int]]
    whole_stream: bool
    record_sizes: list[int]
    counter: ChunkCounter | None  # None: no dedup counting
    # Threads compressing the stream, and (for the combined figures) the
    # deduplicated stream.
    plain: dict[_Lane, CompressorThread] = field(default_factory=dict)
    deduplicated: dict[_Lane, CompressorThread] = field(default_factory=dict)
    size: int = 0

    @property
    def threads(self) -> list[CompressorThread]:
        return [*self.plain.values(), *self.deduplicated.values()]


def _plan(chunk_size: int, codecs: list[tuple[str, int]], record_sizes: list[int],
          whole_stream: bool, track_dedup: bool, combined: bool, estimate: bool,
          sample_size: int) -> _Job:
    lanes: list[tuple[_Lane, int]] = [
        ((record_size, name), level)
        for record_size in ([None] if whole_stream else []) + list(record_sizes)
        for name, level in codecs]

    def compressors() -> dict[_Lane, CompressorThread]:
        threads = {}
        for (record_size, name), level in lanes:
            codec = CODECS[name]
            sink = (StreamSink(codec.stream_compressor(level)) if record_size is None
                    else RecordSink(codec.record_compressor(level), record_size))
            threads[record_size, name] = CompressorThread(sink)
        return threads

    # An estimate never sees every distinct chunk, so it cannot compress them.
    combined = combined and track_dedup and not estimate and bool(lanes)
    counter = None
    if track_dedup:
        distinct = DigestSample(sample_size) if estimate else DigestSet()
        counter = ChunkCounter(chunk_size, distinct, keep_unique=combined)
    return _Job(chunk_size, codecs, whole_stream, record_sizes, counter, plain=compressors(),
                deduplicated=compressors() if combined else {})


def _read(job: _Job, source: Source, progress: Callable[[int], object] | None) -> None:
    """Feed every piece of `source` to the counter and the compressors."""
    pieces = Pieces(source, piece_size(job.chunk_size))
    for thread in job.threads:
        thread.start()
    finished = False
    try:
        for piece in pieces:
            for thread in job.plain.values():
                thread.feed(piece)
            if job.counter is not None:
                _feed_unique(job, job.counter.feed(piece))
            job.size += len(piece)
            if progress is not None:
                progress(len(piece))
        if job.counter is not None:
            _feed_unique(job, job.counter.finish())
        finished = True
    finally:
        for thread in job.threads:
            thread.finish(cancel=not finished)
        pieces.close()
    for thread in job.threads:
        if thread.error is not None:
            raise thread.error


def _feed_unique(job: _Job, unique: list[memoryview]) -> None:
    if unique and job.deduplicated:
        joined = b"".join(unique)
        for thread in job.deduplicated.values():
            thread.feed(joined)


def _ratio(original: float, reduced: float) -> float:
    # Empty input: nothing was reduced, so every ratio is 1.
    return original / reduced if original and reduced else 1.0


def _codec_figures(job: _Job, record_size: int | None) -> dict[str, CodecResult]:
    figures: dict[str, CodecResult] = {}
    for name, level in job.codecs:
        compressed = job.plain[record_size, name].compressed_size
        deduplicated = job.deduplicated.get((record_size, name))
        figures[name] = {"level": level, "compressed_size": compressed,
                         "ratio": _ratio(job.size, compressed),
                         "combined_compressed_size":
                             None if deduplicated is None else deduplicated.compressed_size}
    return figures


def _figures(job: _Job) -> Measurement:
    compression = _codec_figures(job, None) if job.whole_stream else {}
    combined = {name: _ratio(job.size, figures["combined_compressed_size"])
                for name, figures in compression.items()
                if figures["combined_compressed_size"] is not None}
    records = {record_size: _codec_figures(job, record_size) for record_size in job.record_sizes}
    chunks = unique_chunks = unique_size = 0
    exact, error = True, 0.0
    if job.counter is not None:
        chunks = job.counter.chunks
        distinct = job.counter.distinct
        if isinstance(distinct, DigestSample):
            # A stream of chunks has one distinct chunk at least, whatever a
            # tiny sample that halved to nothing says.
            unique_chunks = max(min(distinct.estimate(), chunks), min(chunks, 1))
            # Chunks are all full but perhaps the last, which is distinct from
            # every full one: it counts with its own length.
            short = job.size % job.counter.chunk_size
            unique_size = unique_chunks * job.counter.chunk_size - (
                job.counter.chunk_size - short if short else 0)
            exact, error = distinct.exact, distinct.relative_error()
        else:
            unique_chunks, unique_size = len(distinct), job.counter.unique_size
    return {
        "size": job.size,
        "chunk_size": job.chunk_size,
        "chunks": chunks,
        "unique_chunks": unique_chunks,
        "unique_size": unique_size,
        "dedup_ratio": _ratio(chunks, unique_chunks),
        "dedup_exact": exact,
        "dedup_error": error,
        "compression": compression,
        "combined": combined,
        "records": records,
    }


def _measure(source: Source, chunk_size: int, codecs: list[tuple[str, int]], *,
             track_dedup: bool, record_sizes: list[int] | None = None,
             whole_stream: bool = True, combined: bool = False, estimate: bool = False,
             sample_size: int = DEFAULT_SAMPLE_SIZE,
             progress: Callable[[int], object] | None = None) -> Measurement:
    job = _plan(chunk_size, codecs, record_sizes or [], whole_stream, track_dedup, combined,
                estimate, sample_size)
    _read(job, source, progress)
    return _figures(job)


def _record_sizes(record_size: int | Iterable[int] | None) -> list[int]:
    if record_size is None:
        return []
    sizes = [record_size] if isinstance(record_size, int) else list(record_size)
    for size in sizes:
        _check_positive("record_size", size, MAX_RECORD_SIZE)
    return list(dict.fromkeys(sizes))


def measure(source: Source, chunk_size: int = DEFAULT_CHUNK_SIZE,
            codecs: Iterable[str] | Mapping[str, int | None] | None = None,
            combined: bool = True,
            progress: Callable[[int], object] | None = None,
            *, estimate: bool = False, sample_size: int = DEFAULT_SAMPLE_SIZE,
            record_size: int | Iterable[int] | None = None) -> Measurement:
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

    The compression figures are those of the whole stream. `record_size` (a
    size or several) adds, under ``records``, the figures of a store that
    compresses each aligned record of that size on its own: every record
    (and a short last one) goes through the codec's one-shot call, a zstd
    frame, a bare lz4 block, a zlib stream or an xz file per record, and the
    ratio is the total in over the total out.

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
    return _measure(source, _check_positive("chunk_size", chunk_size, MAX_CHUNK_SIZE), chosen,
                    track_dedup=True, record_sizes=_record_sizes(record_size),
                    combined=combined, estimate=estimate,
                    sample_size=_check_positive("sample_size", sample_size), progress=progress)


def dedup_ratio(source: Source, chunk_size: int = DEFAULT_CHUNK_SIZE, *,
                estimate: bool = False, sample_size: int = DEFAULT_SAMPLE_SIZE) -> float:
    """Total chunks / distinct chunks, chunks of `chunk_size` bytes at fixed
    offsets (a short last chunk counts as one), compared by 128-bit xxh3
    digest; `estimate` and `sample_size` as for `measure`."""
    result = _measure(source, _check_positive("chunk_size", chunk_size, MAX_CHUNK_SIZE), [],
                      track_dedup=True, estimate=estimate,
                      sample_size=_check_positive("sample_size", sample_size))
    return result["dedup_ratio"]


def compression_ratio(source: Source, codec: str = "zstd", level: int | None = None, *,
                      record_size: int | None = None) -> float:
    """Original size / compressed size with one codec (default level if None),
    of the whole stream, or with each aligned record of `record_size` bytes
    compressed on its own (as for `measure`)."""
    chosen = resolve_codecs({codec: level})
    if record_size is None:
        return _measure(source, DEFAULT_CHUNK_SIZE, chosen,
                        track_dedup=False)["compression"][codec]["ratio"]
    _check_positive("record_size", record_size, MAX_RECORD_SIZE)
    # Pieces of whole records, where records are small enough to fit.
    result = _measure(source, record_size, chosen, track_dedup=False,
                      record_sizes=[record_size], whole_stream=False)
    return result["records"][record_size][codec]["ratio"]
