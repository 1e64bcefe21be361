"""Verification of data against its manifest: the target is read once, block
by block, and each block's digest is compared with the one the manifest
holds for it (unique block k mod U, or the partial last block).

A target is one file or stream, an ordered list of files that together hold
the data, or a directory holding a data set cut into files (in name order;
with the manifest's record of the data set, exactly its files and sizes);
positions are reported both in the whole data and as a file and an offset
within it.
"""

from __future__ import annotations

import collections
import itertools
import os
import stat
import threading
from collections.abc import Callable, Collection, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from typing import IO, Any, NamedTuple, Protocol, Union, cast

import xxhash

from vorn_py import s3 as _s3
from vorn_py._sources import read_into
from vorn_py.layout import DatasetLayout
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

    def __str__(self) -> str:
        return str(self.strerror)


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

    def open_fd(self) -> int:
        assert self.path is not None
        try:
            return os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            raise TargetError(exc.errno, f"cannot open {self.name}: {exc.strerror}") from None

    def open(self) -> tuple[IO[bytes], bool]:
        """The stream to read, and whether it is ours to close."""
        if self.stream is not None:
            return self.stream, False
        assert self.path is not None
        try:
            return open(self.path, "rb", buffering=0), True
        except OSError as exc:
            raise TargetError(exc.errno, f"cannot open {self.name}: {exc.strerror}") from None


def _parts_of(target: Target, manifest: Manifest | None = None) -> list[_Part]:
    if isinstance(target, (str, os.PathLike)):
        path = os.fspath(target)
        if os.path.isdir(path):
            return _directory_parts(path, manifest)
        return [_Part(path, path)]
    if hasattr(target, "readinto"):
        stream = cast(IO[bytes], target)
        name = getattr(stream, "name", None)
        if not isinstance(name, str):  # a stream opened on a descriptor
            name = "standard input" if name == 0 else "stream"
        return [_Part(name, None, stream)]
    paths = [os.fsdecode(path) for path in target]
    parts = [_Part(path, path) for path in paths]
    if not parts:
        raise ValueError("no target files given")
    return parts


# ------------------------------------------------------------ directories

_SHOWN = 3  # names given in full when a directory does not hold the data set


def _directory_parts(root: str, manifest: Manifest | None) -> list[_Part]:
    """The files of a data set in a directory, in stream order: those the
    manifest's data set record names, checked to be all there is and of
    the right sizes, or without a record every file in name order. The
    manifest's own files are not data."""
    listed = _files_under(root, _identities(manifest.names if manifest else []))
    layout = manifest.dataset if manifest is not None else None
    if layout is None:
        if not listed:
            raise TargetError(0, f"{root} holds no files")
        ordered = sorted(listed, key=lambda path: path.split("/"))
        return [_Part(os.path.join(root, path), os.path.join(root, path)) for path in ordered]
    parts: dict[str, _Part] = {}

    def size_of(path: str) -> int | None:
        if path not in parts:
            parts[path] = _Part(os.path.join(root, path), os.path.join(root, path))
        return parts[path].size

    return [parts[path] for path in _dataset_paths(root, listed, layout, "file", size_of)]


def _dataset_paths(root: str, listed: Collection[str], layout: DatasetLayout, noun: str,
                   size_of: Callable[[str], int | None]) -> list[str]:
    """The data set's paths under ``root`` in stream order, once ``listed``
    (what is there) is found to hold exactly them, each of its size
    (``size_of``, asked only for the data set's own paths)."""
    expected = [layout.path_of(index) for index in range(layout.count)]
    missing = sorted(set(expected).difference(listed), key=lambda path: path.split("/"))
    strangers = sorted(set(listed).difference(expected), key=lambda path: path.split("/"))
    if missing or strangers:
        faults = []
        if missing:
            faults.append(f"{_count(len(missing), noun)} of its {layout.count} "
                          f"{'is' if len(missing) == 1 else 'are'} missing ({_some(missing)})")
        if strangers:
            faults.append(f"{_count(len(strangers), noun)} "
                          f"{'is' if len(strangers) == 1 else 'are'} not part of it "
                          f"({_some(strangers)})")
        raise TargetError(0, f"{root} does not hold the data set the manifest describes: "
                             f"{'; '.join(faults)}")
    resized = [f"{path}: {size_of(path)} bytes, not {layout.size_of(index)}"
               for index, path in enumerate(expected) if size_of(path) != layout.size_of(index)]
    if resized:
        raise TargetError(0, f"{root} does not hold the data set the manifest describes: "
                             f"{_count(len(resized), noun)} of another size "
                             f"({_some(resized)})")
    return expected


def _files_under(root: str, excluded: set[tuple[int, int]]) -> set[str]:
    """Relative "/"-separated paths of everything but directories under root."""
    def failed(exc: OSError) -> None:
        raise TargetError(exc.errno, f"cannot read directory {exc.filename}: {exc.strerror}")

    found = set()
    for directory, _, names in os.walk(root, onerror=failed):
        relative = os.path.relpath(directory, root)
        for name in names:
            path = os.path.join(directory, name)
            try:
                info = os.stat(path)
            except OSError:
                info = None
            if info is not None and (info.st_dev, info.st_ino) in excluded:
                continue
            found.add(name if relative == os.curdir
                      else os.path.join(relative, name).replace(os.sep, "/"))
    return found


def _identities(paths: Sequence[str]) -> set[tuple[int, int]]:
    found = set()
    for path in paths:
        try:
            info = os.stat(path)
        except OSError:
            continue
        found.add((info.st_dev, info.st_ino))
    return found


def _count(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _some(items: list[str]) -> str:
    shown = ", ".join(items[:_SHOWN])
    return shown if len(items) <= _SHOWN else f"{shown}, ..."


# --------------------------------------------------------- shared records

class _Recorder:
    """Collects what verification finds, in data order."""

    def __init__(self, names: list[str], data_size: int, keep: int) -> None:
        self.names = names
        self.keep = keep
        self.result = VerifyResult(data_size=data_size)

    def block(self, section: StreamSection, stream: int, block: int, length: int, digest: bytes,
              part: int, offset: int, position: int) -> None:
        result = self.result
        result.blocks_checked += 1
        result.bytes_checked += length
        if digest == section.expected_digest(block):
            return
        result.mismatch_count += 1
        if len(result.mismatches) < self.keep:
            result.mismatches.append(Mismatch(self.names[part], offset, block, length,
                                              position, stream))


# ------------------------------------------------- files: positioned reads

class _Unit(NamedTuple):
    """One block of the data and the pieces of files that hold it."""

    stream: int
    block: int
    length: int
    position: int                          # of its first byte in the whole data
    pieces: tuple[tuple[int, int, int], ...]  # (part, offset in the part, bytes)


def _locate(sizes: list[int], position: int) -> tuple[int, int]:
    """The part holding the byte at ``position`` and its offset there; the
    end of the last part for the end of the data."""
    start = 0
    for part, size in enumerate(sizes):
        if position < start + size:
            return part, position - start
        start += size
    return len(sizes) - 1, sizes[-1]


def _units(sections: list[StreamSection], sizes: list[int]) -> Iterator[_Unit]:
    """The blocks of the data that the target holds in full, in order."""
    total = sum(sizes)
    part, part_start = 0, 0
    for stream, section in enumerate(sections):
        layout = section.layout
        blocks = layout.full_blocks + (1 if layout.partial_size else 0)
        for block in range(blocks):
            start = layout.data_offset + block * layout.block_size
            length = section.block_length(block)
            if start + length > total:
                return
            pieces = []
            position, end = start, start + length
            while position < end:
                while part_start + sizes[part] <= position:
                    part_start += sizes[part]
                    part += 1
                count = min(end, part_start + sizes[part]) - position
                pieces.append((part, position - part_start, count))
                position += count
            yield _Unit(stream, block, length, start, tuple(pieces))


class _OpenFiles:
    """Descriptors of the target's files, opened when first needed and
    closed once every block that reads them is done."""

    def __init__(self, parts: list[_Part]) -> None:
        self._parts = parts
        self._fds: dict[int, int] = {}
        self._lock = threading.Lock()

    def fd(self, part: int) -> int:
        with self._lock:
            fd = self._fds.get(part)
            if fd is None:
                fd = self._fds[part] = self._parts[part].open_fd()
            return fd

    def close_before(self, part: int) -> None:
        with self._lock:
            for done in [index for index in self._fds if index < part]:
                os.close(self._fds.pop(done))

    def close(self) -> None:
        self.close_before(len(self._parts))


class _BlockReader:
    """Reads and digests whole blocks on each calling thread, into a buffer
    of the thread's own: the block stays in that CPU's cache between the
    read and the digest, and several reads are in flight at once."""

    def __init__(self, parts: list[_Part], files: _OpenFiles) -> None:
        self._parts = parts
        self._files = files
        self._local = threading.local()

    def digest(self, unit: _Unit) -> bytes:
        buffer: memoryview | None = getattr(self._local, "buffer", None)
        if buffer is None:
            buffer = self._local.buffer = memoryview(bytearray(BLOCK_SIZE))
        filled = 0
        for part, offset, count in unit.pieces:
            fd = self._files.fd(part)
            done = 0
            while done < count:
                try:
                    got = os.preadv(fd, [buffer[filled + done:filled + count]], offset + done)
                except InterruptedError:
                    continue
                except OSError as exc:
                    raise TargetError(exc.errno, f"cannot read {self._parts[part].name} at "
                                                 f"offset {offset + done}: {exc.strerror}") from None
                if got == 0:
                    raise TargetError(0, f"{self._parts[part].name} became shorter while "
                                         f"being verified (no data at offset {offset + done})")
                done += got
            filled += count
        return xxhash.xxh3_128_digest(buffer[:unit.length])

    def digest_all(self, units: list[_Unit]) -> list[bytes]:
        return [self.digest(unit) for unit in units]


def _digested_units(units: Iterator[_Unit], reader: _Digester, files: _OpenFiles,
                    threads: int, batch: int = 8) -> Iterator[tuple[_Unit, bytes]]:
    """Each unit with its digest, in order, computed ``threads`` at a time.
    A task takes ``batch`` consecutive units: handing each block to a
    thread on its own cost a tenth of the CPU time that verification needs."""
    if threads <= 1:
        for unit in units:
            yield unit, reader.digest(unit)
            files.close_before(unit.pieces[0][0])
        return
    executor = ThreadPoolExecutor(threads, thread_name_prefix="vorn-verify")
    try:
        window: collections.deque[tuple[list[_Unit], Future[list[bytes]]]] = collections.deque()
        while True:
            tasks = list(itertools.islice(units, batch))
            if tasks:
                window.append((tasks, executor.submit(reader.digest_all, tasks)))
            if window and (not tasks or len(window) >= 2 * threads):
                done, future = window.popleft()
                yield from zip(done, future.result())
                files.close_before(done[-1].pieces[0][0])
            if not window:
                return
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


class _Digester(Protocol):
    def digest(self, unit: _Unit) -> bytes: ...

    def digest_all(self, units: list[_Unit]) -> list[bytes]: ...


def _verify_files(parts: list[_Part], sizes: list[int], sections: list[StreamSection],
                  recorder: _Recorder, threads: int,
                  progress: Callable[[int], object] | None,
                  reader: _Digester | None = None) -> VerifyResult:
    """``reader`` reads the blocks of data that are not ``parts`` (objects)."""
    files = _OpenFiles(parts)
    try:
        reader = _BlockReader(parts, files) if reader is None else reader
        for unit, digest in _digested_units(_units(sections, sizes), reader, files, threads):
            part, offset, _ = unit.pieces[0]
            recorder.block(sections[unit.stream], unit.stream, unit.block, unit.length, digest,
                           part, offset, unit.position)
            if progress is not None:
                progress(unit.length)
    finally:
        files.close()
    result = recorder.result
    total = sum(sizes)
    result.target_size = total
    if total < result.data_size:
        stream = next(index for index, section in enumerate(sections)
                      if section.layout.data_offset + section.layout.data_size > total)
        layout = sections[stream].layout
        part, offset = _locate(sizes, total)
        result.missing = Gap(recorder.names[part], offset, total, result.data_size - total,
                             block=(total - layout.data_offset) // layout.block_size,
                             stream=stream)
    elif total > result.data_size:
        part, offset = _locate(sizes, result.data_size)
        result.extra = Gap(recorder.names[part], offset, result.data_size,
                           total - result.data_size)
    if progress is not None and total > result.bytes_checked:
        progress(total - result.bytes_checked)  # an incomplete last block, extra data
    return result


# ------------------------------------------------------ streams: in order

def _chunks(parts: list[_Part], chunk_size: int = BLOCK_SIZE) -> Iterator[
        tuple[int, int, memoryview]]:
    """(part index, offset in the part, data) for the whole target, read
    into one reused block-sized buffer; an empty chunk marks the end of a
    part, its offset being the part's size."""
    buffer = memoryview(bytearray(chunk_size))
    position = 0
    for index, part in enumerate(parts):
        stream, owned = part.open()
        try:
            offset = 0
            while True:
                # Chunks keep to block boundaries of the whole data, so that
                # most blocks are digested in one call.
                want = chunk_size - position % chunk_size
                count = _read_full(stream, buffer[:want], part, offset)
                if count == 0:
                    break
                yield index, offset, buffer[:count]
                offset += count
                position += count
        finally:
            if owned:
                stream.close()
        yield index, offset, buffer[:0]


def _read_full(stream: IO[bytes], view: memoryview, part: _Part, offset: int) -> int:
    """Fill ``view`` unless the part ends first (pipes deliver pieces)."""
    filled = 0
    while filled < len(view):
        try:
            count = read_into(stream, view[filled:])
        except OSError as exc:
            raise TargetError(exc.errno, f"cannot read {part.name} at offset "
                                         f"{offset + filled}: {exc.strerror}") from None
        if count == 0:
            break
        filled += count
    return filled


class _StreamChecker:
    """Follows data of unknown length through the manifest's streams and
    blocks, one chunk at a time."""

    def __init__(self, sections: list[StreamSection], recorder: _Recorder) -> None:
        self._sections = sections
        self._recorder = recorder
        self._stream = -1
        self._section: StreamSection | None = None
        self._next_section()
        self._within_stream = 0  # bytes of the current stream seen
        self._block_start = (0, 0, 0)  # part, offset, position of the current block
        self._hasher = xxhash.xxh3_128()
        self._end = (len(recorder.names) - 1, 0)  # where the data seen so far ends

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
        result = self._recorder.result
        self._end = (part, offset + len(data))
        while data:
            section = self._section
            if section is None:  # beyond the data the manifest describes
                extra = result.extra or Gap(self._recorder.names[part], offset,
                                            result.target_size, 0)
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
                start_part, start_offset, position = self._block_start
                self._recorder.block(section, self._stream, block, length, digest,
                                     start_part, start_offset, position)
            if self._within_stream == section.layout.data_size:
                self._next_section()

    def finish(self) -> VerifyResult:
        result = self._recorder.result
        section = self._section
        if section is not None:
            part, offset = self._end
            result.missing = Gap(
                self._recorder.names[part], offset, result.target_size,
                result.data_size - result.target_size,
                block=self._within_stream // section.layout.block_size, stream=self._stream)
        return result


def _verify_stream(parts: list[_Part], sections: list[StreamSection], recorder: _Recorder,
                   progress: Callable[[int], object] | None) -> VerifyResult:
    checker = _StreamChecker(sections, recorder)
    for index, offset, data in _chunks(parts):
        checker.feed(index, offset, data)
        if progress is not None and data:
            progress(len(data))
    return checker.finish()


def verify(target: Target | _s3.S3Target, manifest: Manifest | PathLike | Sequence[PathLike], *,
           keep: int = DEFAULT_KEEP, threads: int | None = None,
           progress: Callable[[int], object] | None = None) -> VerifyResult:
    """Compare ``target`` with ``manifest`` and return what was found.

    ``target`` is a path, a binary stream (read to its end, not closed), a
    list of paths whose contents, in that order, are the data, or a
    directory holding a data set: the files the manifest's data set record
    names, all of them and no others (else TargetError), or without a record
    every file under it in name order. An ``s3://bucket/key`` URL (or a
    ``vorn_py.s3.S3Target``) is an object, ``s3://bucket/prefix/`` is taken
    as a directory, and blocks are read with ranged GETs, ``threads`` (default:
    the target's concurrency) at a time. ``manifest``
    is a ``Manifest`` or the path (or paths) of manifest files. ``keep``
    mismatches are kept in full, the rest counted; ``progress`` is called with
    the number of bytes of each chunk read.

    Files are read a block at a time on ``threads`` threads (default: one per
    CPU available), each block read and digested on one thread, so that the
    block is still in that CPU's cache; their sizes are taken when the call
    begins. A stream is read in order on the calling thread.

    Raises ManifestError for an unusable manifest and TargetError (an
    OSError) when the target cannot be opened or read.
    """
    if keep < 0:
        raise ValueError(f"keep must be at least 0, got {keep}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    owned = not isinstance(manifest, Manifest)
    opened = manifest if isinstance(manifest, Manifest) else read_manifest(manifest)
    try:
        if isinstance(target, _s3.S3Target) or _s3.is_s3(target):
            from vorn_py import _s3verify
            return _s3verify.verify_objects(_s3.as_target(target), opened, keep, threads,
                                            progress)
        parts = _parts_of(target, opened)
        sections = opened.sections
        recorder = _Recorder([part.name for part in parts], opened.data_size, keep)
        sizes = [part.size for part in parts]
        if all(size is not None for size in sizes):
            known = [size for size in sizes if size is not None]
            workers = len(os.sched_getaffinity(0)) if threads is None else threads
            return _verify_files(parts, known, sections, recorder, workers, progress)
        return _verify_stream(parts, sections, recorder, progress)
    finally:
        if owned:
            opened.close()


def target_size(target: Target | _s3.S3Target, manifest: Manifest | None = None) -> int | None:
    """The size of the target when it is known before reading (files); a
    directory is taken as ``verify`` takes it with this manifest."""
    if isinstance(target, _s3.S3Target) or _s3.is_s3(target):
        from vorn_py import _s3verify
        return _s3verify.objects_size(_s3.as_target(target), manifest)
    total = 0
    for part in _parts_of(target, manifest):
        if part.size is None:
            return None
        total += part.size
    return total
