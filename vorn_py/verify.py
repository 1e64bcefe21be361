"""Verification of data against its manifest: the target is read once, block
by block, and each block's digest is compared with the one the manifest
holds for it (unique block k mod U, or the partial last block).

A target is one file or stream, or an ordered list of files that together
hold the data (a data set cut into files); positions are reported both in the
whole data and as a file and an offset within it.
"""

from __future__ import annotations

import os
import queue
import stat
import threading
from dataclasses import asdict, dataclass, field
from typing import IO, Any, Callable, Iterator, Sequence, Union

import xxhash

from vorn_py.manifest import BLOCK_SIZE, Manifest, PathLike, StreamSection, read_manifest

# Mismatches kept in full; the rest are only counted.
DEFAULT_KEEP = 20

Target = Union[PathLike, IO[bytes], Sequence[PathLike]]


@dataclass(frozen=True)
class Mismatch:
    """A block whose digest differs from the manifest's."""

    file: str        # the file that holds the block's first byte
    offset: int      # the offset of that byte in the file
    block: int       # the block's index in its stream
    length: int      # bytes in the block
    position: int    # the offset of its first byte in the whole data
    stream: int = 0  # which of the manifest's streams it belongs to


@dataclass(frozen=True)
class Gap:
    """Data missing at the end of the target, or extra data after its end."""

    file: str             # the file in which the gap begins
    offset: int           # where in that file it begins
    position: int         # where in the whole data it begins
    bytes: int            # how many bytes are missing or extra
    block: int | None = None   # missing: the first block not wholly present
    stream: int | None = None  # missing: the stream that block belongs to


@dataclass
class VerifyResult:
    data_size: int = 0       # bytes the manifest describes
    target_size: int = 0     # bytes read from the target
    blocks_checked: int = 0  # blocks compared with their digest
    bytes_checked: int = 0
    mismatch_count: int = 0
    mismatches: list[Mismatch] = field(default_factory=list)  # the first few in full
    missing: Gap | None = None
    extra: Gap | None = None

    @property
    def ok(self) -> bool:
        """Every byte present, none extra, every block as written."""
        return self.mismatch_count == 0 and self.missing is None and self.extra is None

    def to_dict(self) -> dict[str, Any]:
        return {"ok": self.ok, **asdict(self)}


class TargetError(OSError):
    """The target could not be opened or read; the message says where."""


class _Part:
    """One file or stream of the target."""

    def __init__(self, name: str, path: str | None, stream: IO[bytes] | None = None) -> None:
        self.name = name
        self.path = path
        self.stream = stream
        self.size: int | None = None
        if path is None:
            return
        try:
            info = os.stat(path)
        except OSError as exc:
            raise TargetError(exc.errno, f"cannot open {name}: {exc.strerror}") from None
        if stat.S_ISDIR(info.st_mode):
            raise ValueError(f"{name} is a directory: give the files of the data in order")
        if stat.S_ISREG(info.st_mode):
            self.size = info.st_size

    def open(self) -> tuple[IO[bytes], bool]:
        """The stream to read, and whether it is ours to close."""
        if self.stream is not None:
            return self.stream, False
        assert self.path is not None
        try:
            return open(self.path, "rb", buffering=0), True
        except OSError as exc:
            raise TargetError(exc.errno, f"cannot open {self.name}: {exc.strerror}") from None


def _parts_of(target: Target) -> list[_Part]:
    if isinstance(target, (str, os.PathLike)):
        path = os.fspath(target)
        return [_Part(path, path)]
    if hasattr(target, "readinto"):
        stream: Any = target
        name = getattr(stream, "name", None)
        if not isinstance(name, str):  # a stream opened on a descriptor
            name = "standard input" if name == 0 else "stream"
        return [_Part(name, None, stream)]
    paths = [os.fsdecode(path) for path in target]
    parts = [_Part(path, path) for path in paths]
    if not parts:
        raise ValueError("no target files given")
    return parts


_END = object()


class _ReadAhead:
    """Reads the parts of a target in order on a helper thread, into a few
    block-sized buffers that go round, so that reading and digesting overlap
    and both work on data still in the CPU's cache."""

    def __init__(self, parts: list[_Part], chunk_size: int = BLOCK_SIZE, depth: int = 4) -> None:
        self._parts = parts
        self._chunk_size = chunk_size
        self._buffers = [memoryview(bytearray(chunk_size)) for _ in range(depth)]
        self._free: queue.SimpleQueue[int] = queue.SimpleQueue()
        for slot in range(depth):
            self._free.put(slot)
        self._full: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="vorn-verify-reader", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            position = 0
            for index, part in enumerate(self._parts):
                stream, owned = part.open()
                try:
                    offset = 0
                    while True:
                        slot = self._free.get()
                        if self._stop.is_set():
                            return
                        # Keep chunks on block boundaries of the whole data,
                        # so that most blocks are digested in one call.
                        want = self._chunk_size - position % self._chunk_size
                        count = self._read_full(stream, self._buffers[slot][:want],
                                                part, offset)
                        if count == 0:
                            self._free.put(slot)
                            break
                        self._full.put((index, offset, slot, count))
                        offset += count
                        position += count
                finally:
                    if owned:
                        stream.close()
                self._full.put((index, offset, -1, 0))  # the part's end
            self._full.put(_END)
        except BaseException as exc:  # handed to the reading thread
            self._full.put(exc)

    @staticmethod
    def _read_full(stream: IO[bytes], view: memoryview, part: _Part, offset: int) -> int:
        """Fill ``view`` unless the part ends first (pipes deliver pieces)."""
        filled = 0
        while filled < len(view):
            try:
                count = stream.readinto(view[filled:])  # type: ignore[attr-defined]
            except InterruptedError:
                continue
            except OSError as exc:
                raise TargetError(exc.errno, f"cannot read {part.name} at offset "
                                             f"{offset + filled}: {exc.strerror}") from None
            if count is None:  # a non-blocking stream with nothing yet
                raise TargetError(0, f"cannot read {part.name}: it is in non-blocking mode")
            if count == 0:
                break
            filled += count
        return filled

    def __iter__(self) -> Iterator[tuple[int, int, memoryview]]:
        """(part index, offset in the part, data); an empty chunk marks the
        end of a part, its offset being the part's size."""
        while True:
            item = self._full.get()
            if item is _END:
                return
            if isinstance(item, BaseException):
                raise item
            index, offset, slot, count = item
            if slot < 0:
                yield index, offset, memoryview(b"")
                continue
            yield index, offset, self._buffers[slot][:count]
            self._free.put(slot)

    def close(self) -> None:
        self._stop.set()
        self._free.put(0)  # wakes the reader if it waits for a buffer


class _Checker:
    """Follows the data through the manifest's streams and blocks, one chunk
    at a time, and records what it finds."""

    def __init__(self, sections: list[StreamSection], names: list[str], keep: int) -> None:
        self._sections = sections
        self._names = names
        self._keep = keep
        self.result = VerifyResult(data_size=sections[-1].layout.dataset_size)
        self._stream = -1
        self._section: StreamSection | None = None
        self._next_section()
        self._within_stream = 0  # bytes of the current stream seen
        self._block_start = (0, 0, 0)  # part, offset, position of the current block
        self._hasher = xxhash.xxh3_128()
        self._end = (len(names) - 1, 0)  # where the data seen so far ends

    def _next_section(self) -> None:
        self._within_stream = 0
        while True:
            self._stream += 1
            if self._stream >= len(self._sections):
                self._section = None
                return
            self._section = self._sections[self._stream]
            if self._section.layout.data_size:
                return

    def feed(self, part: int, offset: int, data: memoryview) -> None:
        result = self.result
        self._end = (part, offset + len(data))
        while data:
            section = self._section
            if section is None:  # beyond the data the manifest describes
                if result.extra is None:
                    result.extra = Gap(self._names[part], offset, result.target_size, 0)
                extra = result.extra
                result.extra = Gap(extra.file, extra.offset, extra.position,
                                   extra.bytes + len(data))
                result.target_size += len(data)
                return
            block, within = divmod(self._within_stream, section.layout.block_size)
            length = section.block_length(block)
            take = min(len(data), length - within)
            piece, data = data[:take], data[take:]
            if within == 0:
                self._block_start = (part, offset, result.target_size)
            digest: bytes | None = None
            if within == 0 and take == length:
                digest = xxhash.xxh3_128_digest(piece)
            else:  # a block that arrives in pieces
                self._hasher.update(piece)
                if within + take == length:
                    digest = self._hasher.digest()
                    self._hasher.reset()
            self._within_stream += take
            result.target_size += take
            offset += take
            if digest is not None:
                self._check(section, block, length, digest)
            if self._within_stream == section.layout.data_size:
                self._next_section()

    def _check(self, section: StreamSection, block: int, length: int, digest: bytes) -> None:
        result = self.result
        result.blocks_checked += 1
        result.bytes_checked += length
        if digest == section.expected_digest(block):
            return
        result.mismatch_count += 1
        if len(result.mismatches) < self._keep:
            part, offset, position = self._block_start
            result.mismatches.append(Mismatch(self._names[part], offset, block, length,
                                              position, self._stream))

    def finish(self) -> VerifyResult:
        result = self.result
        section = self._section
        if section is not None:
            part, offset = self._end
            result.missing = Gap(
                self._names[part], offset, result.target_size,
                result.data_size - result.target_size,
                block=self._within_stream // section.layout.block_size, stream=self._stream)
        return result


def verify(target: Target, manifest: Manifest | PathLike | Sequence[PathLike], *,
           keep: int = DEFAULT_KEEP,
           progress: Callable[[int], object] | None = None) -> VerifyResult:
    """Compare ``target`` with ``manifest`` and return what was found.

    ``target`` is a path, a binary stream (read to its end, not closed), or a
    list of paths whose contents, in that order, are the data. ``manifest``
    is a ``Manifest`` or the path (or paths) of manifest files. ``keep``
    mismatches are kept in full, the rest counted; ``progress`` is called with
    the number of bytes of each chunk read.

    Raises ManifestError for an unusable manifest and TargetError (an
    OSError) when the target cannot be opened or read.
    """
    if keep < 0:
        raise ValueError(f"keep must be at least 0, got {keep}")
    parts = _parts_of(target)
    owned = not isinstance(manifest, Manifest)
    opened = manifest if isinstance(manifest, Manifest) else read_manifest(manifest)
    try:
        checker = _Checker(opened.sections, [part.name for part in parts], keep)
        reader = _ReadAhead(parts)
        try:
            for index, offset, data in reader:
                checker.feed(index, offset, data)
                if progress is not None and data:
                    progress(len(data))
        finally:
            reader.close()
        return checker.finish()
    finally:
        if owned:
            opened.close()


def target_size(target: Target) -> int | None:
    """The size of the target when it is known before reading (files)."""
    total = 0
    for part in _parts_of(target):
        if part.size is None:
            return None
        total += part.size
    return total
