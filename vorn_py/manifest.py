"""Manifests: the digests of a generated stream's unique blocks, written while
the data is written, so that the data can be verified later.

Block k of a stream is unique block k mod U, so U digests describe the whole
stream however long it is. A manifest file holds one or more stream sections
back to back; data written by several streams (one per process) is described
by their sections together, each placed by the offset of its first byte, and
concatenating manifests merges them.

A section, all integers little-endian:

    header   magic "\\x89VORNMF\\n", format version (u16), header size (u16),
             digest algorithm (u16, 1 = xxh3-128), digest size (u16),
             block size, data size, stream length, dedup factor, compress
             factor, unique blocks, data offset, data set size (u64 each),
             then an xxh3-64 checksum of the preceding header bytes (u64)
    digests  the digest of each unique block written in full, in order
             (min(unique blocks, data size // block size) of them), then that
             of the partial last block when data size is not a whole number
             of blocks
    trailer  magic "\\x89VORNEND", digest count (u64), xxh3-128 of the header
             and digests (16 bytes)

The data size is the number of bytes written; the stream length is that of
the generator they came from (max(size, block size)), which fixes the number
of unique blocks. The data offset and data set size place the section in data
made of several streams; one stream has offset 0 and data set size = data size.

Data written as a data set of files (see ``vorn_py.layout``) also has, before
its stream sections, a record of how the data is cut into files, so that a
directory can be checked to hold exactly those files:

    data set  magic "\\x89VORNDS\\n", record version (u16, 1 = the sizes and
              names of ``vorn_py.layout``), record size (u16), reserved (u32),
              data set size, file count, file size (0: the files share the
              size evenly), files per directory (0: none) (u64 each), then an
              xxh3-64 checksum of the preceding record bytes (u64)
"""

from __future__ import annotations

import errno
import math
import os
import stat
import struct
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Protocol, Union

import xxhash

from vorn_py.layout import DatasetLayout

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

BLOCK_SIZE = 4 << 20
FORMAT_VERSION = 1
ALGORITHM_XXH3_128 = 1
DIGEST_SIZE = 16
ALGORITHM_NAMES = {ALGORITHM_XXH3_128: "xxh3-128"}

MAGIC = b"\x89VORNMF\n"
TRAILER_MAGIC = b"\x89VORNEND"
# The magic and version come first in every format version, so that any
# version can be recognised and refused by name.
_PREFIX = struct.Struct("<8sH")
_HEADER = struct.Struct("<8sHHHHQQQQQQQQ")
_HEADER_CHECK = struct.Struct("<Q")
HEADER_SIZE = _HEADER.size + _HEADER_CHECK.size
_TRAILER = struct.Struct("<8sQ16s")
TRAILER_SIZE = _TRAILER.size
DATASET_MAGIC = b"\x89VORNDS\n"
DATASET_VERSION = 1
_DATASET = struct.Struct("<8sHHIQQQQ")
DATASET_RECORD_SIZE = _DATASET.size + _HEADER_CHECK.size

_U64_MAX = 2**64 - 1
# Digests go out in batches of this many bytes, whatever the data size.
_WRITE_BATCH = 64 << 10

PathLike = Union[str, "os.PathLike[str]"]


class ManifestError(Exception):
    """A manifest that cannot be used: missing, truncated, damaged, of another
    format version, not a manifest, or describing data it cannot describe. The
    message is one line naming the manifest."""


class StreamFiller(Protocol):
    """What ``ManifestWriter.fill_from`` needs of a ``vorn_py.Generator``."""

    def fill_chunk(self, buffer: WriteableBuffer, /) -> int: ...


def ratio_factor(ratio: float) -> int:
    """The whole-number factor the generator uses for a ratio: truncated, at
    least 1, NaN giving 1, saturating at 2^64 - 1."""
    if math.isnan(ratio) or ratio < 1.0:
        return 1
    if ratio >= 2.0**64:
        return _U64_MAX
    return max(1, int(ratio))


def blocks_covering(length: int, block_size: int = BLOCK_SIZE) -> int:
    return -(-length // block_size)


def unique_block_count(stream_length: int, dedup_factor: int,
                       block_size: int = BLOCK_SIZE) -> int:
    """The generator's number of distinct blocks in a stream of this length:
    total blocks / dedup factor, halves rounded away from zero, at least 1.
    Computed in doubles, as the generator does."""
    total = blocks_covering(max(stream_length, block_size), block_size)
    if dedup_factor < 2:
        return total
    quotient = float(total) / float(dedup_factor)
    whole = math.floor(quotient)
    rounded = whole + 1 if quotient - whole >= 0.5 else whole
    return max(1, int(rounded))


@dataclass(frozen=True)
class StreamLayout:
    """The parameters of one stream section."""

    data_size: int
    stream_length: int
    dedup: int
    compress: int
    unique_blocks: int
    data_offset: int = 0
    dataset_size: int = 0
    block_size: int = BLOCK_SIZE
    algorithm: int = ALGORITHM_XXH3_128

    @property
    def full_blocks(self) -> int:
        """Blocks of the data written in full."""
        return self.data_size // self.block_size

    @property
    def partial_size(self) -> int:
        """Bytes in a partial last block (0 when there is none)."""
        return self.data_size % self.block_size

    @property
    def full_digests(self) -> int:
        return min(self.unique_blocks, self.full_blocks)

    @property
    def digest_count(self) -> int:
        return self.full_digests + (1 if self.partial_size else 0)

    @property
    def section_size(self) -> int:
        return HEADER_SIZE + self.digest_count * DIGEST_SIZE + TRAILER_SIZE

    def header_bytes(self) -> bytes:
        fields = _HEADER.pack(MAGIC, FORMAT_VERSION, HEADER_SIZE, self.algorithm, DIGEST_SIZE,
                              self.block_size, self.data_size, self.stream_length, self.dedup,
                              self.compress, self.unique_blocks, self.data_offset,
                              self.dataset_size)
        return fields + _HEADER_CHECK.pack(xxhash.xxh3_64_intdigest(fields))

    def problem(self) -> str | None:
        """Why these parameters cannot describe generated data, or None."""
        if self.block_size != BLOCK_SIZE:
            return f"block size {self.block_size}, but vorn-gen blocks are {BLOCK_SIZE} bytes"
        if self.dedup < 1 or self.compress < 1:
            return "a ratio below 1"
        if self.stream_length < self.block_size:
            return f"a stream length of {self.stream_length} bytes, below one block"
        if self.data_size > self.stream_length:
            return (f"a data size of {self.data_size} bytes, beyond its stream length of "
                    f"{self.stream_length}")
        expected = unique_block_count(self.stream_length, self.dedup, self.block_size)
        if self.unique_blocks != expected:
            return (f"{self.unique_blocks} unique blocks, where a stream of "
                    f"{self.stream_length} bytes at dedup {self.dedup} has {expected}")
        if self.data_offset + self.data_size > self.dataset_size:
            return (f"data at bytes {self.data_offset} to {self.data_offset + self.data_size} "
                    f"of a data set of {self.dataset_size} bytes")
        return None


def dataset_record(layout: DatasetLayout) -> bytes:
    """The record of how the data is cut into files."""
    fields = _DATASET.pack(DATASET_MAGIC, DATASET_VERSION, DATASET_RECORD_SIZE, 0, layout.size,
                           layout.count, layout.file_size, layout.files_per_dir)
    return fields + _HEADER_CHECK.pack(xxhash.xxh3_64_intdigest(fields))


def _check_size(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not 0 <= value <= _U64_MAX:
        raise ValueError(f"{name} must be between 0 and 2^64 - 1, got {value}")
    return value


class _DigestPool:
    """Digests whole blocks, several at once on helper threads when there are
    enough CPUs for it (xxhash releases the interpreter lock for inputs this
    large). With two CPUs, handing a block to a helper cost more than it gained
    (the manifest path measured 0.73x of plain generation against 0.79x on the
    calling thread alone), so helpers start from three CPUs, where one thread
    could no longer keep up with the generator's workers."""

    def __init__(self, threads: int) -> None:
        self._executor = ThreadPoolExecutor(threads - 1) if threads > 2 else None

    def digests(self, blocks: Sequence[memoryview]) -> list[bytes]:
        if self._executor is None or len(blocks) < 2:
            return [xxhash.xxh3_128_digest(block) for block in blocks]
        others = [self._executor.submit(xxhash.xxh3_128_digest, block) for block in blocks[1:]]
        first = xxhash.xxh3_128_digest(blocks[0])  # this thread takes a share too
        return [first] + [future.result() for future in others]

    def close(self) -> None:
        if self._executor is not None:
            self._executor.shutdown(wait=True)
            self._executor = None


class ManifestWriter:
    """Writes the manifest of a stream while the stream is written: feed it
    every byte of the data in order, with ``update`` or ``fill_from``, then
    call ``finish``. Only the first U blocks are digested, so the cost falls
    with the dedup ratio, and memory stays small whatever the size.

    ``size`` is the number of bytes that will be written; ``dedup_ratio`` and
    ``compress_ratio`` are those given to the ``Generator`` (made whole as the
    generator makes them), and ``stream_size`` is its size when only a prefix
    of its stream is written. ``data_offset`` and ``dataset_size`` place the
    stream within data made of several streams. ``dataset``, the layout of
    files the data is cut into (its size that of the whole data), is
    recorded for verify to check a directory against.

    ``target`` is a path or a binary file object, written to but left open.
    A path is written through a temporary file beside it, which ``finish``
    moves onto the path: a file already there stays as it was until then, and
    a writer closed before ``finish`` (as a context manager, a block that
    raises) leaves nothing behind. A path that names a device or a pipe is
    written to directly.
    """

    def __init__(self, target: PathLike | IO[bytes], size: int, dedup_ratio: float = 1.0,
                 compress_ratio: float = 1.0, *, stream_size: int | None = None,
                 data_offset: int = 0, dataset_size: int | None = None,
                 threads: int | None = None, dataset: DatasetLayout | None = None) -> None:
        _check_size("size", size)
        stream_size = size if stream_size is None else _check_size("stream_size", stream_size)
        if stream_size < size:
            raise ValueError(f"stream_size ({stream_size}) is smaller than size ({size})")
        _check_size("data_offset", data_offset)
        dataset_size = (data_offset + size if dataset_size is None
                        else _check_size("dataset_size", dataset_size))
        stream_length = max(stream_size, BLOCK_SIZE)
        dedup = ratio_factor(float(dedup_ratio))
        self.layout = StreamLayout(
            data_size=size, stream_length=stream_length, dedup=dedup,
            compress=ratio_factor(float(compress_ratio)),
            unique_blocks=unique_block_count(stream_length, dedup),
            data_offset=data_offset, dataset_size=dataset_size)
        problem = self.layout.problem()
        if problem is not None:
            raise ValueError(f"cannot describe {problem}")
        if dataset is not None and dataset.size != dataset_size:
            raise ValueError(f"a data set of {dataset.size} bytes cannot hold data of "
                             f"{dataset_size} bytes")
        if threads is None:
            threads = len(os.sched_getaffinity(0))
        elif threads < 1:
            raise ValueError(f"threads must be at least 1, got {threads}")
        self.threads = threads

        self._staged: StagedFile | None = None
        if isinstance(target, (str, os.PathLike)):
            self.name = os.fspath(target)
            self._staged = StagedFile(self.name)
            self._file: IO[bytes] = self._staged.file
        else:
            self._file = target
            self.name = str(getattr(target, "name", "manifest"))
        self._sync = False
        self._position = 0
        self._pending = bytearray()
        self._partial_block = xxhash.xxh3_128()  # a block that arrives in pieces
        self._section = xxhash.xxh3_128()
        self._digests_written = 0
        self._finished = False
        self._closed = False
        self._pool = _DigestPool(threads)
        if dataset is not None:
            self._pending += dataset_record(dataset)  # its own checksum, not the section's
        self._emit(self.layout.header_bytes())

    # ------------------------------------------------------------ feeding

    @property
    def position(self) -> int:
        """Bytes of data fed so far."""
        return self._position

    def update(self, data: ReadableBuffer) -> None:
        """Feed the next bytes of the data (any bytes-like object)."""
        view = memoryview(data).cast("B")
        layout = self.layout
        if len(view) > layout.data_size - self._position:
            raise ValueError(f"more data than the {layout.data_size} bytes the manifest "
                             f"describes ({self._position + len(view)} fed)")
        self._require_open()
        block_size = layout.block_size
        whole: list[memoryview] = []
        while view:
            block, within = divmod(self._position, block_size)
            length = self._block_length(block)
            take = min(len(view), block_size - within)
            piece, view = view[:take], view[take:]
            self._position += take
            if length == 0:
                continue  # a repeat of a block already digested
            if within == 0 and take >= length:
                whole.append(piece[:length])
                continue
            if whole:  # keep the digests in stream order
                self._add_digests(self._pool.digests(whole))
                whole = []
            self._partial_block.update(piece)
            if within + take == length:
                self._add_digests([self._partial_block.digest()])
                self._partial_block.reset()
        if whole:
            self._add_digests(self._pool.digests(whole))

    def fill_from(self, generator: StreamFiller, buffer: WriteableBuffer) -> int:
        """Fill ``buffer`` with the next bytes from ``generator`` and digest
        them; returns the number of bytes filled, like ``fill_chunk``. While
        there are blocks to digest it fills a few blocks at a time, one per
        thread, and digests them while they are still in the CPU's cache;
        after the last unique block it fills the buffer in one call."""
        view = memoryview(buffer).cast("B")
        view = view[:min(len(view), self.layout.data_size - self._position)]
        self._require_open()
        block_size = self.layout.block_size
        digested_until = self.layout.full_digests * block_size
        filled = 0
        while filled < len(view):
            step = len(view) - filled
            if self._position < digested_until:
                # Pieces end on block boundaries, so that whole blocks are
                # digested in one call each, and stay small enough to be cached.
                step = min(step, self.threads * block_size - self._position % block_size)
            piece = view[filled:filled + step]
            count = generator.fill_chunk(piece)
            if count <= 0:
                break
            self.update(piece[:count])
            filled += count
            if count < len(piece):
                break
        return filled

    def finish(self, fsync: bool = False) -> None:
        """Write the trailer; a manifest given as a path is then closed and
        put in place of any file there. With ``fsync`` the manifest (and the
        directory that names it) reaches stable storage before this returns.
        Raises ValueError if the data fed is short of ``size``."""
        self._require_open()
        if self._position != self.layout.data_size:
            raise ValueError(f"the manifest describes {self.layout.data_size} bytes but only "
                             f"{self._position} were fed")
        check = self._section.digest()
        self._emit(_TRAILER.pack(TRAILER_MAGIC, self._digests_written, check), force=True)
        self._finished, self._sync = True, fsync
        if self._staged is None and fsync:
            try:
                fd = self._file.fileno()
            except (AttributeError, OSError, ValueError):
                fd = -1  # an in-memory file: nothing to sync
            try:
                if fd >= 0:
                    fsync_if_supported(fd)
            except OSError as exc:
                raise ManifestError(f"cannot write manifest {self.name}: "
                                    f"{exc.strerror or exc}") from None
        self.close()

    def close(self) -> None:
        """Release the writer. A manifest given as a path reaches the path
        only once ``finish`` has completed: an incomplete one would describe
        data that was never written."""
        if self._closed:
            return
        self._closed = True
        self._pool.close()
        if self._staged is None:
            return
        if not self._finished:
            self._staged.discard()
            return
        try:
            self._staged.commit(self._sync)
        except OSError as exc:
            self._finished = False
            self._staged.discard()
            raise ManifestError(f"cannot write manifest {self.name}: "
                                f"{exc.strerror or exc}") from None

    def __enter__(self) -> ManifestWriter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ------------------------------------------------------------ internals

    def _block_length(self, block: int) -> int:
        """Bytes of this block that are digested: the whole block for the
        first U full blocks, the written part of a partial last block, and
        nothing for a full block that repeats an earlier one."""
        layout = self.layout
        if block < layout.full_blocks:
            return layout.block_size if block < layout.unique_blocks else 0
        return layout.partial_size

    def _add_digests(self, digests: list[bytes]) -> None:
        for digest in digests:
            self._emit(digest)
        self._digests_written += len(digests)

    def _emit(self, data: bytes, force: bool = False) -> None:
        self._section.update(data)
        self._pending += data
        if force or len(self._pending) >= _WRITE_BATCH:
            try:
                self._write_all(self._pending)
                self._file.flush()
            except OSError as exc:
                raise ManifestError(f"cannot write manifest {self.name}: "
                                    f"{exc.strerror or exc}") from None
            self._pending.clear()

    def _write_all(self, data: bytearray) -> None:
        """Every byte of ``data``: an unbuffered stream (a raw file, a
        socket) may take part of a write, or none when it would block."""
        with memoryview(data) as view:
            while view:
                written = self._file.write(view)
                if not written:
                    raise ManifestError(f"cannot write manifest {self.name}: the stream "
                                        f"took none of the last {len(view)} bytes")
                view = view[written:]

    def _require_open(self) -> None:
        if self._closed:
            raise ValueError("the manifest writer is closed")


def create_beside(path: str) -> tuple[int, str]:
    """A new file beside `path`, open for writing, and its name: made with
    O_EXCL under a name no one can guess (it may be in a shared directory),
    hidden from a glob such as run.json.* should it be left behind."""
    directory, base = os.path.split(path)
    while True:
        name = os.path.join(directory, f".{base}.{os.urandom(4).hex()}.tmp")
        try:
            return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), name
        except FileExistsError:
            continue


class StagedFile:
    """A manifest being written to a path: into a new file beside it, which
    takes the path's place once complete, so that an existing file is
    neither truncated nor lost by a run that fails. A path naming a device or
    a pipe (/dev/null, a FIFO) cannot be replaced and is written directly."""

    def __init__(self, path: str) -> None:
        self.path = self.final = path
        self.temporary: str | None = None
        if not path or path.endswith(os.sep):
            # "" would resolve to the working directory, and "new/" to a
            # file named new: neither is what was asked for.
            raise ManifestError(f"cannot create manifest {path!r}: not a file name")
        try:
            existing: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            existing = None
        except OSError as exc:
            raise self._cannot_create(exc) from None
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise ManifestError(f"cannot create manifest {path}: it is a directory")
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            try:
                self.file: IO[bytes] = open(path, "wb")
            except OSError as exc:
                raise self._cannot_create(exc) from None
            return
        # Through a symbolic link, the file it names is the one replaced.
        self.final = os.path.realpath(path)
        fd = self._create_beside(self.final)
        if existing is not None:
            try:
                os.fchmod(fd, stat.S_IMODE(existing.st_mode))  # keep the old file's mode
            except OSError:
                pass
        self.file = open(fd, "wb")

    def _create_beside(self, final: str) -> int:
        try:
            fd, self.temporary = create_beside(final)
        except OSError as exc:
            raise self._cannot_create(exc) from None
        return fd

    def _cannot_create(self, exc: OSError) -> ManifestError:
        return ManifestError(f"cannot create manifest {self.path}: {exc.strerror or exc}")

    def commit(self, sync: bool) -> None:
        """Close the file and put it in place; with `sync`, on stable storage."""
        if sync:
            self.file.flush()
            fsync_if_supported(self.file.fileno())
        self.file.close()
        if self.temporary is None:
            return
        os.replace(self.temporary, self.final)
        self.temporary = None
        if sync:
            directory = os.open(os.path.dirname(self.final), os.O_RDONLY | os.O_DIRECTORY)
            try:
                fsync_if_supported(directory)
            finally:
                os.close(directory)

    def discard(self) -> None:
        """Close the file and remove it if it is ours; never the path's file."""
        try:
            self.file.close()
        except OSError:
            pass
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None


def fsync_if_supported(fd: int) -> None:
    """fsync, except where there is nothing to sync: pipes, terminals and
    /dev/null cannot be synced, and nothing is lost by that."""
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.EROFS, errno.ENOTSUP):
            raise


# ------------------------------------------------------------------ reading

class _DigestSource:
    """The bytes of one manifest file: read in place from a regular file,
    which may be far larger than memory, or held whole when it cannot be
    read twice (a pipe)."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._fd: int | None = None
        self._data = b""
        try:
            fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC)
        except OSError as exc:
            raise ManifestError(f"cannot open manifest {name}: {exc.strerror or exc}") from None
        try:
            info = os.fstat(fd)
            if stat.S_ISDIR(info.st_mode):
                raise ManifestError(f"manifest {name} is a directory")
            if stat.S_ISREG(info.st_mode):
                self._fd, self.size = fd, info.st_size
                return
            with open(fd, "rb", closefd=False) as stream:
                self._data = stream.read()
            self.size = len(self._data)
        except OSError as exc:
            os.close(fd)
            raise ManifestError(f"cannot read manifest {name}: {exc.strerror or exc}") from None
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)

    def read(self, offset: int, count: int) -> bytes:
        """Up to ``count`` bytes at ``offset``; fewer only at the end."""
        if self._fd is None:
            return self._data[offset:offset + count]
        parts = []
        while count > 0:
            try:
                part = os.pread(self._fd, count, offset)
            except OSError as exc:
                raise ManifestError(f"cannot read manifest {self.name}: "
                                    f"{exc.strerror or exc}") from None
            if not part:
                break
            parts.append(part)
            offset += len(part)
            count -= len(part)
        return b"".join(parts)

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


class StreamSection:
    """One stream of a manifest: its layout and the digest each block of its
    data must have. Digests are read a window at a time, in the order the
    blocks come, so a manifest larger than memory works too."""

    _WINDOW = 4096  # digests

    def __init__(self, layout: StreamLayout, source: _DigestSource, digests_at: int) -> None:
        self.layout = layout
        self.manifest = source.name
        self._source = source
        self._digests_at = digests_at
        self._window_start = 0
        self._window = b""

    def expected_digest(self, block: int) -> bytes:
        """The digest block ``block`` of this stream's data must have: that of
        unique block ``block`` mod U, or of the partial last block."""
        layout = self.layout
        if block < layout.full_blocks:
            index = block % layout.unique_blocks
        elif block == layout.full_blocks and layout.partial_size:
            index = layout.full_digests
        else:
            raise IndexError(f"block {block} is beyond the stream's {layout.data_size} bytes")
        return self._digest(index)

    def block_length(self, block: int) -> int:
        """Bytes in block ``block`` of the data (less than a block at the end)."""
        layout = self.layout
        return min(layout.block_size, layout.data_size - block * layout.block_size)

    def _digest(self, index: int) -> bytes:
        at = (index - self._window_start) * DIGEST_SIZE
        if not 0 <= at < len(self._window):
            count = min(self._WINDOW, self.layout.digest_count - index)
            self._window = self._source.read(self._digests_at + index * DIGEST_SIZE,
                                             count * DIGEST_SIZE)
            self._window_start, at = index, 0
            if len(self._window) != count * DIGEST_SIZE:
                raise ManifestError(f"manifest {self.manifest} changed while in use")
        return self._window[at:at + DIGEST_SIZE]


def _damaged(name: str, why: str) -> ManifestError:
    return ManifestError(f"manifest {name} is damaged: {why}")


def _truncated(name: str, size: int, needed: int) -> ManifestError:
    return ManifestError(f"manifest {name} is truncated: {size} bytes where a complete one "
                         f"has {needed} (was the write that made it interrupted?)")


def _read_dataset_record(source: _DigestSource, start: int) -> DatasetLayout | None:
    """The data set record at ``start``, or None when a section starts there."""
    name = source.name
    prefix = source.read(start, _PREFIX.size)
    if prefix[:len(DATASET_MAGIC)] != DATASET_MAGIC:
        return None
    if len(prefix) < _PREFIX.size:
        raise _truncated(name, source.size, start + DATASET_RECORD_SIZE)
    version = _PREFIX.unpack(prefix)[1]
    if version != DATASET_VERSION:
        raise ManifestError(f"manifest {name} has a data set record of version {version}, "
                            f"but this version of vorn-gen reads only version {DATASET_VERSION}")
    raw = source.read(start, DATASET_RECORD_SIZE)
    if len(raw) < DATASET_RECORD_SIZE:
        raise _truncated(name, source.size, start + DATASET_RECORD_SIZE)
    _, _, record_size, _, size, count, file_size, files_per_dir = _DATASET.unpack_from(raw)
    (check,) = _HEADER_CHECK.unpack_from(raw, _DATASET.size)
    if (record_size != DATASET_RECORD_SIZE
            or check != xxhash.xxh3_64_intdigest(raw[:_DATASET.size])):
        raise _damaged(name, "its data set record does not match its checksum")
    try:
        return DatasetLayout(size, count, file_size, files_per_dir)
    except ValueError as exc:
        raise ManifestError(f"manifest {name} does not fit data vorn-gen writes: its data set "
                            f"record has {exc}") from None

def _cut_short(name: str, at: int, needed: int) -> ManifestError:
    """A manifest that ended before the size it had when it was opened."""
    return ManifestError(f"manifest {name} is truncated: it ended at byte {at} while being "
                         f"read, where a complete one has {needed} (is it being rewritten?)")


def _read_section(source: _DigestSource, start: int) -> StreamSection:
    name = source.name
    prefix = source.read(start, _PREFIX.size)
    if len(prefix) < len(MAGIC) or prefix[:len(MAGIC)] != MAGIC:
        if start == 0:
            if len(prefix) < len(MAGIC) and MAGIC.startswith(prefix):
                raise _truncated(name, source.size, HEADER_SIZE) if prefix else \
                    ManifestError(f"manifest {name} is empty")
            raise ManifestError(f"{name} is not a vorn-gen manifest")
        raise _damaged(name, f"{source.size - start} bytes after byte {start} are not a "
                             "manifest section")
    if len(prefix) < _PREFIX.size:
        raise _truncated(name, source.size, start + HEADER_SIZE)
    version = _PREFIX.unpack(prefix)[1]
    if version != FORMAT_VERSION:
        raise ManifestError(f"manifest {name} has format version {version}, but this version "
                            f"of vorn-gen reads only version {FORMAT_VERSION}")
    header = source.read(start, HEADER_SIZE)
    if len(header) < HEADER_SIZE:
        raise _truncated(name, source.size, start + HEADER_SIZE)
    (_, _, header_size, algorithm, digest_size, block_size, data_size, stream_length, dedup,
     compress, unique_blocks, data_offset, dataset_size) = _HEADER.unpack_from(header)
    (check,) = _HEADER_CHECK.unpack_from(header, _HEADER.size)
    if header_size != HEADER_SIZE or check != xxhash.xxh3_64_intdigest(header[:_HEADER.size]):
        raise _damaged(name, "its header does not match its checksum")
    if algorithm not in ALGORITHM_NAMES:
        raise ManifestError(f"manifest {name} uses digest algorithm {algorithm}, which this "
                            "version of vorn-gen does not know")
    if digest_size != DIGEST_SIZE:
        raise _damaged(name, f"digests of {digest_size} bytes for "
                             f"{ALGORITHM_NAMES[algorithm]}")
    layout = StreamLayout(data_size=data_size, stream_length=stream_length, dedup=dedup,
                          compress=compress, unique_blocks=unique_blocks,
                          data_offset=data_offset, dataset_size=dataset_size,
                          block_size=block_size, algorithm=algorithm)
    problem = layout.problem()
    if problem is not None:
        raise ManifestError(f"manifest {name} does not fit data vorn-gen writes: it has {problem}")
    end = start + layout.section_size
    if end > source.size:
        raise _truncated(name, source.size, end)
    # Every digest is read once here, so that damage shows before any data
    # is read, not as false mismatches halfway through.
    section_check = xxhash.xxh3_128(header)
    digests_at = start + HEADER_SIZE
    position, digests_end = digests_at, digests_at + layout.digest_count * DIGEST_SIZE
    while position < digests_end:
        piece = source.read(position, min(1 << 20, digests_end - position))
        if not piece:
            raise _cut_short(name, position, end)
        section_check.update(piece)
        position += len(piece)
    trailer = source.read(digests_end, TRAILER_SIZE)
    if len(trailer) < TRAILER_SIZE:
        raise _cut_short(name, digests_end + len(trailer), end)
    magic, count, trailer_check = _TRAILER.unpack(trailer)
    if magic != TRAILER_MAGIC or count != layout.digest_count:
        raise _damaged(name, f"the end of the section at byte {start} is not where its header "
                             "puts it")
    if trailer_check != section_check.digest():
        raise _damaged(name, "its digests do not match their checksum")
    return StreamSection(layout, source, digests_at)


class Manifest:
    """The stream sections of one or more manifest files, in data order,
    checked to cover the data from its first byte to its last without gaps
    or overlaps. Use as a context manager, or call ``close``."""

    def __init__(self, sections: list[StreamSection], sources: list[_DigestSource],
                 dataset: DatasetLayout | None = None) -> None:
        self.sections = sections
        self._sources = sources
        self.dataset = dataset  # how the data is cut into files, when it is a data set

    @property
    def data_size(self) -> int:
        """Bytes of data the manifest describes."""
        return self.sections[-1].layout.dataset_size

    @property
    def names(self) -> list[str]:
        return [source.name for source in self._sources]

    def close(self) -> None:
        for source in self._sources:
            source.close()

    def __enter__(self) -> Manifest:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def read_manifest(paths: PathLike | Sequence[PathLike]) -> Manifest:
    """Read and check manifest files: one, or several whose streams together
    make up the data (one per process, in any order). Raises ManifestError
    with a one-line message for anything that makes them unusable."""
    names = ([os.fspath(paths)] if isinstance(paths, (str, os.PathLike))
             else [os.fspath(path) for path in paths])
    if not names:
        raise ValueError("no manifest given")
    sources: list[_DigestSource] = []
    sections: list[StreamSection] = []
    datasets: list[tuple[DatasetLayout, str]] = []
    try:
        for name in names:
            source = _DigestSource(name)
            sources.append(source)
            start, found = 0, len(sections)
            while start < source.size or start == 0:
                dataset = _read_dataset_record(source, start)
                if dataset is not None:
                    datasets.append((dataset, name))
                    start += DATASET_RECORD_SIZE
                    continue
                section = _read_section(source, start)
                sections.append(section)
                start += section.layout.section_size
            if len(sections) == found:
                raise ManifestError(f"manifest {name} describes no data: it holds a data set "
                                    "record but no stream section (is it truncated?)")
        # An empty stream (a share of no files) sits at the offset where the
        # next one starts: it goes first there, whatever order it came in.
        sections.sort(key=lambda section: (section.layout.data_offset,
                                           section.layout.data_size))
        _check_coverage(sections)
        dataset = _common_dataset(datasets, sections[0].layout.dataset_size)
    except BaseException:
        for source in sources:
            source.close()
        raise
    return Manifest(sections, sources, dataset)


def _describe(dataset: DatasetLayout) -> str:
    cut = (f"files of {dataset.file_size} bytes" if dataset.file_size
           else f"{dataset.count} files")
    per_dir = f", {dataset.files_per_dir} per directory" if dataset.files_per_dir else ""
    return f"{dataset.size} bytes in {cut}{per_dir}"


def _common_dataset(datasets: list[tuple[DatasetLayout, str]],
                    data_size: int) -> DatasetLayout | None:
    """The one layout of files that every record describes, or None."""
    if not datasets:
        return None
    first, first_name = datasets[0]
    for dataset, name in datasets[1:]:
        if dataset != first:
            raise ManifestError(f"manifests {first_name} and {name} describe different data "
                                f"sets ({_describe(first)}; {_describe(dataset)})")
    if first.size != data_size:
        raise ManifestError(f"manifest {first_name} describes a data set of {first.size} bytes "
                            f"but data of {data_size}")
    return first


def _check_coverage(sections: list[StreamSection]) -> None:
    total = sections[0].layout.dataset_size
    expected = 0
    for section in sections:
        layout = section.layout
        if layout.dataset_size != total:
            raise ManifestError(
                f"manifests {sections[0].manifest} and {section.manifest} describe different "
                f"data ({total} and {layout.dataset_size} bytes in all)")
        if layout.data_offset > expected:
            raise ManifestError(
                f"no manifest covers bytes {expected} to {layout.data_offset} of the data: "
                "give the manifest of every stream that wrote it")
        if layout.data_offset < expected:
            raise ManifestError(
                f"manifest {section.manifest} covers bytes from {layout.data_offset}, which "
                "another stream covers already (a manifest given twice?)")
        expected += layout.data_size
    if expected != total:
        raise ManifestError(f"no manifest covers bytes {expected} to {total} of the data: "
                            "give the manifest of every stream that wrote it")
