"""Writing generated data to storage: a data set of many files in a directory
tree, or one file or descriptor, through the writer core, optionally with
direct I/O and a manifest, and a report of what was written.

    report = write_dataset("/mnt/test/set", 10 << 30, files=10000, files_per_dir=1000,
                           dedup_ratio=2, compress_ratio=3, direct=True,
                           manifest="/mnt/test/set.manifest")
    report.bytes_written, report.files_written, report.seconds, report.gb_per_s

A data set is one stream cut into consecutive files (``vorn_py.layout``), so
its ratios are those of one stream. An ``s3://bucket/prefix/`` target (or a
``vorn_py.s3.S3Target``) writes the files as objects of an S3-compatible
store, ``s3://bucket/key`` with ``write_file`` one object. A failure raises WriteError and an
interrupt WriteInterrupted (a KeyboardInterrupt), each carrying the report of
what was written until then: bytes that reached the files, and files
complete. Files complete before a failure stay; the one being written stays
as far as it got; a manifest is kept only when everything was written.
"""

from __future__ import annotations

import errno
import mmap
import os
import stat
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import Any, Sequence, Union

import vorn_py
from vorn_py import _direct
from vorn_py import s3 as _s3
from vorn_py._units import human_bytes
from vorn_py.layout import DatasetLayout, DatasetPart
from vorn_py.manifest import ManifestError, ManifestWriter, PathLike, ratio_factor
from vorn_py.sinks import Destination, DirectoryDestination, FileDestination, same_file
from vorn_py.writer import (
    Buffer,
    FileSizes,
    GeneratorEnded,
    StreamWriter,
    Tally,
    WriteFailure,
    allocate_buffers,
    largest_size,
)

DEFAULT_CHUNK_SIZE = 32 << 20
MAX_CHUNK_SIZE = 64 << 30
DEFAULT_BUFFERS = 2

Size = Union[int, DatasetLayout, DatasetPart]


@dataclass
class WriteReport:
    """What a write did. ``bytes_written`` counts bytes that reached the
    files (written, not necessarily synced unless ``fsync``); ``files_written``
    the files complete and closed."""

    target: str
    size: int                  # bytes asked for
    file_count: int            # files asked for
    bytes_written: int = 0
    files_written: int = 0
    seconds: float = 0.0       # wall time of the whole call
    cpu_seconds: float = 0.0   # process CPU time over the call, every thread
    dedup: int = 1
    compress: int = 1
    direct: bool = False
    fsync: bool = False
    manifest: str | None = None
    offset: int = 0            # a share: where its bytes start in the data set's stream
    first_file: int = 0        # a share: the data set's index of its first file
    error: str | None = None   # why the write stopped, when it did

    @property
    def ok(self) -> bool:
        return (self.error is None and self.bytes_written == self.size
                and self.files_written == self.file_count)

    @property
    def gb_per_s(self) -> float:
        return self.bytes_written / self.seconds / 1e9 if self.seconds > 0 else 0.0

    @property
    def gb_per_cpu_second(self) -> float:
        return self.bytes_written / self.cpu_seconds / 1e9 if self.cpu_seconds > 0 else 0.0

    def to_dict(self) -> dict[str, Any]:
        return {"ok": self.ok, **asdict(self), "gb_per_s": self.gb_per_s,
                "gb_per_cpu_second": self.gb_per_cpu_second}


class WriteError(Exception):
    """A write that failed: ``str()`` is one line saying why and how much was
    written; ``report`` is what was written."""

    def __init__(self, reason: str, report: WriteReport, written: str) -> None:
        super().__init__(f"{reason} ({written})")
        self.reason = reason
        self.report = report
        report.error = reason


class WriteInterrupted(KeyboardInterrupt):
    """An interrupted write; ``report`` is what was written."""

    def __init__(self, report: WriteReport, written: str) -> None:
        super().__init__(f"interrupted ({written})")
        self.report = report
        self.written = written
        report.error = "interrupted"


def write_dataset(target: PathLike | _s3.S3Target, size: Size, *, files: int | None = None,
                  file_size: int | None = None, files_per_dir: int | None = None,
                  dedup_ratio: float = 1.0, compress_ratio: float = 1.0,
                  threads: int | None = None, chunk_size: int = DEFAULT_CHUNK_SIZE,
                  buffers: int = DEFAULT_BUFFERS, direct: bool = False, fsync: bool = False,
                  manifest: PathLike | None = None,
                  progress: Callable[[int], object] | None = None) -> WriteReport:
    """Write a data set of files under the directory ``target`` (made, with
    its parents, when missing; files of the same names are overwritten,
    others left alone) and return the report.

    ``size`` is the data set's size, with ``files`` (default 1) or
    ``file_size``, and ``files_per_dir``, as for ``DatasetLayout.plan``; or a
    ``DatasetLayout``; or a ``DatasetPart`` of one, to write only that share
    (its own stream, with a manifest placed at its offset in the data set).

    ``threads`` generator threads (default: every CPU available);
    ``buffers`` buffers of ``chunk_size`` bytes, filled and written in turn;
    ``direct`` writes with O_DIRECT (whole blocks of the device; a last piece
    of a file that is not a whole block goes through the page cache);
    ``fsync`` syncs each file, and the directories, before they count as
    written; ``manifest`` is the path of a manifest to write;
    ``progress`` is called with the number of bytes of each piece written.

    ``target`` may also be ``s3://bucket/prefix/`` or an ``S3Target``: the
    files are then objects named prefix + their names (see ``vorn_py.s3``);
    ``chunk_size`` and ``buffers`` give way to the target's part size and
    concurrency, and ``direct`` and ``fsync`` do not apply.

    Raises ValueError or TypeError for arguments that cannot work, before
    anything is made; WriteError for failures; WriteInterrupted;
    ``vorn_py.s3.S3Unavailable`` (an ImportError) for an object storage
    target without the SDK installed.
    """
    part = _part_of(size, files, file_size, files_per_dir)
    if isinstance(target, _s3.S3Target) or _s3.is_s3(target):
        location = _s3.as_target(target)
        prefix = location.prefix()
        report = WriteReport(location.url_of(prefix), part.size, len(part),
                             dedup=ratio_factor(float(dedup_ratio)),
                             compress=ratio_factor(float(compress_ratio)),
                             manifest=None if manifest is None else os.fspath(manifest),
                             offset=part.offset, first_file=part.first)
        return _write_objects(location, part, lambda index: prefix + part.path_of(index),
                              part.layout, report, threads, direct, fsync, manifest, progress)
    root = os.fspath(target)
    report = WriteReport(root, part.size, len(part), dedup=ratio_factor(float(dedup_ratio)),
                         compress=ratio_factor(float(compress_ratio)), direct=direct,
                         fsync=fsync, manifest=None if manifest is None else os.fspath(manifest),
                         offset=part.offset, first_file=part.first)
    if manifest is not None and _manifest_is_a_file_of(os.fspath(manifest), root, part.layout):
        raise ValueError(f"the manifest {os.fspath(manifest)} would be one of the data set's "
                         "files")
    job = _Job(report, part, chunk_size, buffers, threads, progress)
    clock = _Clock()
    created = False
    try:
        try:
            info = os.stat(root)
        except FileNotFoundError:
            info = None
        except OSError as exc:
            raise job.refused(f"cannot use {root}: {exc.strerror}") from None
        if info is not None and not stat.S_ISDIR(info.st_mode):
            raise job.refused(f"cannot write a data set into {root}: it exists and is not "
                              "a directory")
        first_new: str | None = None
        if info is None:
            first_new = _outermost_missing(root)
            try:
                os.makedirs(root)
                created = True
            except FileExistsError:
                # Another writer of the same data set (a share) made it first.
                if not os.path.isdir(root):
                    raise job.refused(f"cannot write a data set into {root}: it exists and "
                                      "is not a directory") from None
            except OSError as exc:
                raise job.refused(f"cannot create directory {root}: {exc.strerror}") from None
        alignment = job.probe(root, root) if direct else 1
        destination = DirectoryDestination(root, part, fsync=fsync, alignment=alignment,
                                           first_new=first_new)
        job.run(destination, manifest, dataset=part.layout)
    except BaseException:
        if created and job.tally.bytes_written == 0 and job.tally.files_opened == 0:
            _remove_empty_tree(root)  # a run that could not start leaves nothing behind
        raise
    finally:
        clock.stop(report)
    return report


def write_file(target: PathLike | int | _s3.S3Target, size: int, *,
               name: str | None = None,
               dedup_ratio: float = 1.0, compress_ratio: float = 1.0,
               threads: int | None = None, chunk_size: int = DEFAULT_CHUNK_SIZE,
               buffers: int = DEFAULT_BUFFERS, direct: bool = False, fsync: bool = False,
               manifest: PathLike | None = None,
               progress: Callable[[int], object] | None = None) -> WriteReport:
    """Write ``size`` bytes to the file ``target`` (created or truncated once
    the first bytes are ready) or to an open descriptor (left open; ``name``
    names it in messages), through the same core as ``write_dataset``, with
    the same options and errors; or to the object ``s3://bucket/key``."""
    _check_whole("size", size, 0)
    if isinstance(target, _s3.S3Target) or _s3.is_s3(target):
        location = _s3.as_target(target)
        key = location.object_key()
        report = WriteReport(location.url, size, 1, dedup=ratio_factor(float(dedup_ratio)),
                             compress=ratio_factor(float(compress_ratio)),
                             manifest=None if manifest is None else os.fspath(manifest))
        return _write_objects(location, _OneFile(size), lambda index: key, None, report,
                              threads, direct, fsync, manifest, progress)
    if isinstance(target, int):
        if direct:
            raise ValueError("direct I/O needs a path, not an open descriptor")
        label = name or f"descriptor {target}"
    else:
        label = name or os.fspath(target)
        if manifest is not None and same_file(os.fspath(manifest), os.fspath(target)):
            raise ValueError("the manifest cannot be the output file")
    report = WriteReport(label, size, 1, dedup=ratio_factor(float(dedup_ratio)),
                         compress=ratio_factor(float(compress_ratio)), direct=direct,
                         fsync=fsync, manifest=None if manifest is None else os.fspath(manifest))
    job = _Job(report, _OneFile(size), chunk_size, buffers, threads, progress, single=True)
    clock = _Clock()
    try:
        alignment = 1
        if direct:
            assert not isinstance(target, int)
            alignment = job.file_alignment(os.fspath(target), label)
        destination = FileDestination(target if isinstance(target, int) else os.fspath(target),
                                      label, fsync=fsync, alignment=alignment)
        job.run(destination, manifest, dataset=None)
    finally:
        clock.stop(report)
    return report


def _write_objects(location: _s3.S3Target, files: DatasetPart | _OneFile,
                   keys: Callable[[int], str], dataset: DatasetLayout | None,
                   report: WriteReport, threads: int | None, direct: bool, fsync: bool,
                   manifest: PathLike | None,
                   progress: Callable[[int], object] | None) -> WriteReport:
    """Upload ``files`` as the objects ``keys(index)`` of the target's bucket."""
    from vorn_py import _s3upload

    if direct or fsync:
        raise ValueError("direct I/O and fsync apply to files, not to objects, which are "
                         "stored once their upload completes")
    largest = largest_size(files)
    # Objects that each fit in one part are uploaded whole: their buffers
    # need to hold only the largest of them, not a whole part.
    part_size = min(location.part_size_for(largest), max(largest, 1))
    buffers = _part_buffers(files, part_size, location.concurrency + 2)
    job = _Job(report, files, part_size, buffers, threads, progress,
               single=dataset is None, noun="objects")
    clock = _Clock()
    try:
        # The buffers are bytearrays, filled with zeros as they are made: a
        # request for more than the machine holds is refused here rather
        # than ended by the kernel's out-of-memory killer.
        memory = buffers * min(part_size, max(report.size, 1))
        physical = _physical_memory()
        if physical is not None and memory > physical:
            raise job.refused(f"{buffers} buffers of a part each (concurrency + 2) need "
                              f"{human_bytes(memory)}, more than the {human_bytes(physical)} "
                              "of memory here: use a smaller part size or concurrency")
        try:
            client = _s3.make_client(location)
        except _s3.S3Error as exc:
            raise job.refused(str(exc)) from None
        destination = _s3upload.ObjectDestination(client, location, keys, files.size_of,
                                                  part_size)
        job.note = destination.aftermath
        job.run(destination, manifest, dataset=dataset, allocate=_s3upload.part_buffers)
    finally:
        clock.stop(report)
    return report


def _part_buffers(files: DatasetPart | _OneFile, part_size: int, most: int) -> int:
    """Buffers for an upload: ``most``, or fewer when the run has fewer
    parts (each object starts a buffer of its own, so its parts are whole
    buffers), since a buffer that is never filled is memory for nothing."""
    parts = 0
    for index in range(len(files)):
        parts += max(1, -(-files.size_of(index) // part_size))
        if parts >= most:
            return most
    return max(2, parts)


def _physical_memory() -> int | None:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return None


# ------------------------------------------------------------------ the run

class _OneFile:
    """One file of any size, as the core sees it."""

    def __init__(self, size: int) -> None:
        self.size = size
        self.offset = 0

    def __len__(self) -> int:
        return 1

    def size_of(self, index: int) -> int:
        return self.size


class _Clock:
    def __init__(self) -> None:
        self._wall, self._cpu = time.perf_counter(), time.process_time()

    def stop(self, report: WriteReport) -> None:
        report.seconds = time.perf_counter() - self._wall
        report.cpu_seconds = time.process_time() - self._cpu


class _Job:
    """One write: its checks, its buffers and generator, the core, and the
    messages that say how far it got."""

    def __init__(self, report: WriteReport, files: DatasetPart | _OneFile, chunk_size: int,
                 buffers: int, threads: int | None,
                 progress: Callable[[int], object] | None, single: bool = False,
                 noun: str = "files") -> None:
        _check_whole("chunk_size", chunk_size, 1, MAX_CHUNK_SIZE)
        _check_whole("buffers", buffers, 2)
        if threads is not None:
            _check_whole("threads", threads, 1)
        self.report = report
        self.files: FileSizes = files
        self.offset = files.offset
        self.chunk_size = chunk_size
        self.buffers = buffers
        self.threads = threads
        self.progress = progress
        self.single = single
        self.noun = noun
        # What the destination did after a failure, for the message.
        self.note: Callable[[], str | None] = lambda: None
        self.tally = Tally()

    def written(self) -> str:
        """How far the write got, for a message."""
        report = self.report
        if self.single and self.tally.files_opened == 0:
            written = "0 bytes written"
        elif self.single:
            written = f"{report.bytes_written} of {report.size} bytes written"
        else:
            written = (f"{report.bytes_written} of {report.size} bytes written, "
                       f"{report.files_written} of {report.file_count} {self.noun} complete")
        note = self.note()
        return written if note is None else f"{written}; {note}"

    def refused(self, reason: str) -> WriteError:
        """A failure before anything was written."""
        return WriteError(reason, self.report, "0 bytes written")

    def probe(self, directory: str, label: str) -> int:
        """The alignment of direct writes to new files in ``directory``."""
        try:
            return _direct.probe(directory)
        except _direct.DirectIORefused as exc:
            raise self.refused(str(exc.strerror)) from None
        except OSError as exc:
            raise self.refused(f"cannot open {label} for writing: {exc.strerror}") from None

    def file_alignment(self, path: str, label: str) -> int:
        """The alignment of direct writes to ``path``: tried beside it for a
        file, or on it for a device (which is not truncated)."""
        try:
            info = os.stat(path)
        except OSError:
            info = None
        if info is None or stat.S_ISREG(info.st_mode):
            return self.probe(os.path.dirname(os.path.abspath(path)), label)
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC | _direct.O_DIRECT)
        except OSError as exc:
            if exc.errno == errno.EINVAL:
                raise self.refused(str(_direct.refusal(path).strerror)) from None
            raise self.refused(f"cannot open {label} for writing: {exc.strerror}") from None
        try:
            return _direct.alignment_of(fd)
        finally:
            os.close(fd)

    def run(self, destination: Destination, manifest_path: PathLike | None,
            dataset: DatasetLayout | None,
            allocate: Callable[[int, int], Sequence[Buffer]] = allocate_buffers) -> None:
        report = self.report
        size = report.size
        asked, report.manifest = report.manifest, None  # named once it is made
        try:
            generator = vorn_py.Generator(size, dedup_ratio=float(report.dedup),
                                          compress_ratio=float(report.compress),
                                          max_threads=self.threads, chunk_size=self.chunk_size)
            capacity = self._capacity(destination.alignment)
            mapped = allocate(self.buffers, capacity)
        except MemoryError:
            raise self.refused(f"cannot allocate a {human_bytes(min(self.chunk_size, max(size, 1)))} "
                               "buffer: use a smaller chunk size") from None
        manifest: ManifestWriter | None = None
        try:
            if manifest_path is not None:
                try:
                    manifest = ManifestWriter(
                        manifest_path, size, float(report.dedup), float(report.compress),
                        data_offset=self.offset,
                        dataset_size=size if dataset is None else dataset.size,
                        threads=self.threads, dataset=dataset)
                except ManifestError as exc:
                    raise self.refused(str(exc)) from None
            fill = generator.fill_chunk if manifest is None else _digesting(manifest, generator)
            writer = StreamWriter(self.files, destination, fill, mapped, progress=self.progress)
            self.tally = writer.tally
            try:
                writer.run()
            except WriteFailure as exc:
                raise WriteError(str(exc), self._count(), self.written()) from None
            except GeneratorEnded as exc:
                raise WriteError(str(exc), self._count(), self.written()) from None
            except ManifestError as exc:
                raise WriteError(str(exc), self._count(),
                                 f"{self.written()}, manifest not written") from None
            except KeyboardInterrupt:
                raise WriteInterrupted(self._count(), self.written()) from None
            self._count()
            if manifest is not None:
                try:
                    manifest.finish(fsync=report.fsync)
                except ManifestError as exc:
                    raise WriteError(str(exc), report, f"all {report.bytes_written} bytes of "
                                                       "data written, manifest not written") from None
                except KeyboardInterrupt:  # finishing may sync: long enough to be interrupted
                    raise WriteInterrupted(report, f"all {report.bytes_written} bytes of data "
                                                   "written, manifest not written") from None
                report.manifest = asked
        finally:
            if manifest is not None:
                manifest.close()  # drops a manifest that was not finished
            for buffer in mapped:
                try:
                    if isinstance(buffer, mmap.mmap):
                        buffer.close()
                except BufferError:  # a sink still holds a piece: the collector frees it
                    pass

    def _count(self) -> WriteReport:
        self.report.bytes_written = self.tally.bytes_written
        self.report.files_written = self.tally.files_written
        return self.report

    def _capacity(self, alignment: int) -> int:
        """Buffers of the chunk size (whole alignments), or less when all the
        files fit in less."""
        per_buffer = -(-self.chunk_size // alignment) * alignment
        padding = (len(self.files) - 1) * (alignment - 1)
        needed = -(-max(1, self.report.size + padding) // alignment) * alignment
        return min(per_buffer, needed)


# ---------------------------------------------------------------- helpers

def _outermost_missing(path: str) -> str:
    """The outermost directory of ``path`` that does not exist yet (``path``
    itself when its parent exists), which makedirs would create."""
    missing = os.path.abspath(path)
    while True:
        parent = os.path.dirname(missing)
        if parent == missing or os.path.lexists(parent):
            return missing
        missing = parent


def _digesting(manifest: ManifestWriter,
               generator: vorn_py.Generator) -> Callable[[memoryview], int]:
    """Fills from the generator through the manifest, which digests the
    blocks while they are in the CPU's cache."""
    def fill(view: memoryview) -> int:
        return manifest.fill_from(generator, view)
    return fill


def _part_of(size: Size, files: int | None, file_size: int | None,
             files_per_dir: int | None) -> DatasetPart:
    if isinstance(size, (DatasetPart, DatasetLayout)) and (
            files is not None or file_size is not None or files_per_dir is not None):
        raise ValueError("files, file_size and files_per_dir go with a size, not with a "
                         "layout or a share, which has them already")
    if isinstance(size, DatasetPart):
        return size
    if isinstance(size, DatasetLayout):
        return size.whole()
    return DatasetLayout.plan(size, files, file_size, files_per_dir).whole()


def _manifest_is_a_file_of(manifest: str, root: str, layout: DatasetLayout) -> bool:
    inside = os.path.relpath(os.path.realpath(manifest), os.path.realpath(root))
    if inside.startswith(os.pardir):
        return False
    return layout.index_of_path(inside.replace(os.sep, "/")) is not None


def _remove_empty_tree(root: str) -> None:
    try:
        for directory, _, _ in sorted(os.walk(root), key=lambda step: -len(step[0])):
            os.rmdir(directory)
    except OSError:
        pass


def _check_whole(name: str, value: int, minimum: int, maximum: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {value}")
    return value
