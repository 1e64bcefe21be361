"""Many processes filling one data set: each writes its share of whole files
from its own stream, and their reports merge into the report of the run.

    # under MPI (mpiexec -n 4 python script.py): every rank calls it
    from mpi4py import MPI
    report = write_dataset_mpi(MPI.COMM_WORLD, "/mnt/test/set", 1 << 40, files=100000,
                               dedup_ratio=2, compress_ratio=3)
    report.bytes_written, report.seconds, report.gb_per_s, report.per_process_gb_per_s

    # without MPI: each process takes its share, the records merge later
    record = write_share("/mnt/test/set", layout, rank, world_size, dedup_ratio=2)
    merge_reports([record0, record1, ...])

Shares: ``layout.split(world_size, granule=dedup x 4 MiB)``, so each share is
a whole number of the generator's dedup groups wherever a file boundary
falls on one, and the data set has exactly the ratios of one stream; the
remainder (the size modulo the granule) is in the last non-empty share.
"""

from __future__ import annotations

import functools
import math
import os
import socket
import statistics
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any

from vorn_py.dataset import (
    WriteError,
    WriteInterrupted,
    WriteReport,
    write_dataset,
)
from vorn_py.layout import DatasetLayout, DatasetPart
from vorn_py.manifest import BLOCK_SIZE, PathLike, ratio_factor, unique_block_count
from vorn_py.s3 import S3Target, is_s3

if TYPE_CHECKING:
    from mpi4py import MPI

RECORD_KIND = "vorn-gen rank report"
RECORD_VERSION = 1

# What ended a process's part of a run.
OK, FAILED, INTERRUPTED, STOPPED = "ok", "failed", "interrupted", "stopped"
MODES = ("mpi", "independent")

# Every process works out every share (each cut depends on the one before),
# in time and memory that grow with the number of processes: past about a
# million a mistyped world size would run for hours, so it is refused.
MAX_WORLD_SIZE = 1 << 20


# ------------------------------------------------------------------ shares

def granule(dedup_ratio: float) -> int:
    """The bytes of one dedup group: shares cut on multiples of it keep the
    ratios of one stream."""
    return ratio_factor(float(dedup_ratio)) * BLOCK_SIZE


def shares(layout: DatasetLayout, world_size: int, dedup_ratio: float = 1.0) -> list[DatasetPart]:
    """The share of each of ``world_size`` processes, in rank order."""
    if not isinstance(world_size, bool) and isinstance(world_size, int) \
            and world_size > MAX_WORLD_SIZE:
        raise ValueError(f"world_size must be at most {MAX_WORLD_SIZE}, got {world_size}")
    return list(_split(layout, world_size, granule(dedup_ratio)))


@functools.lru_cache(maxsize=4, typed=True)
def _split(layout: DatasetLayout, world_size: int, granule_bytes: int) -> tuple[DatasetPart, ...]:
    # A process asks for its run's split several times (its warnings, its
    # progress bar, its share); with millions of files each costs seconds.
    # Typed: 2 and 2.0 are different world sizes, the second refused.
    return tuple(layout.split(world_size, granule_bytes))


def share_of(layout: DatasetLayout, rank: int, world_size: int,
             dedup_ratio: float = 1.0) -> DatasetPart:
    if isinstance(rank, bool) or not isinstance(rank, int):
        raise TypeError(f"rank must be an integer, not {type(rank).__name__}")
    if isinstance(world_size, bool) or not isinstance(world_size, int):
        raise TypeError(f"world_size must be an integer, not {type(world_size).__name__}")
    if world_size < 1:
        raise ValueError(f"world_size must be at least 1, got {world_size}")
    if not 0 <= rank < world_size:
        raise ValueError(f"rank must be between 0 and {world_size - 1}, got {rank}")
    return shares(layout, world_size, dedup_ratio)[rank]


def distinct_bytes(size: int, dedup_ratio: float) -> int:
    """The bytes of distinct 4 MiB-aligned content in the first ``size``
    bytes of one stream: blocks of the first occurrence, and a partial last
    block when it is not a repeat."""
    if size == 0:
        return 0
    dedup = ratio_factor(float(dedup_ratio))
    unique = unique_block_count(size, dedup)
    whole, tail = divmod(size, BLOCK_SIZE)
    return min(whole, unique) * BLOCK_SIZE + (tail if whole < unique else 0)


def planned_dedup(parts: Sequence[DatasetPart], dedup_ratio: float) -> float:
    """The dedup ratio that shares written from their own streams give
    together (no two streams share a block)."""
    total = sum(part.size for part in parts)
    distinct = sum(distinct_bytes(part.size, dedup_ratio) for part in parts)
    return total / distinct if distinct else 1.0


def rank_path(pattern: PathLike, rank: int) -> str:
    """A per-process file name: ``{rank}`` in ``pattern`` replaced by the
    rank, or ``.rank`` appended when it has none."""
    text = os.fspath(pattern)
    return text.replace("{rank}", str(rank)) if "{rank}" in text else f"{text}.{rank}"


# ----------------------------------------------------------------- records

@dataclass
class RankReport:
    """What one process of a run did: its share, what it wrote, when, and how
    it ended (``state``: ok, failed, interrupted, or stopped because another
    process failed). Written as JSON by each process, merged by
    ``merge_reports``."""

    rank: int
    world_size: int
    mode: str                  # "mpi" or "independent"
    layout: dict[str, int]     # size, count, file_size, files_per_dir
    granule: int
    share_offset: int
    share_size: int
    first_file: int
    file_count: int
    target: str
    dedup: int
    compress: int
    started_at: float          # Unix time of the start (the common start under MPI)
    seconds: float = 0.0       # from the start to this process's end
    cpu_seconds: float = 0.0
    bytes_written: int = 0
    files_written: int = 0
    state: str = OK
    error: str | None = None
    manifest: str | None = None
    run_id: str | None = None  # shared by the ranks of one MPI run
    host: str = field(default_factory=socket.gethostname)
    pid: int = field(default_factory=os.getpid)
    direct: bool = False
    fsync: bool = False

    @property
    def ok(self) -> bool:
        return self.state == OK

    @property
    def gb_per_s(self) -> float:
        return self.bytes_written / self.seconds / 1e9 if self.seconds > 0 else 0.0

    def written(self) -> str:
        """How far this process got, for a message."""
        noun = "objects" if is_s3(self.target) else "files"
        return (f"{self.bytes_written} of {self.share_size} bytes written, "
                f"{self.files_written} of {self.file_count} {noun} complete")

    def problem(self) -> str:
        """One line on how this process ended, naming it."""
        error = self.error or self.state
        if error.startswith(self.state):  # "interrupted", "stopped because rank 1 failed"
            return f"rank {self.rank} {error} ({self.written()})"
        return f"rank {self.rank} {self.state}: {error} ({self.written()})"

    def dataset(self) -> DatasetLayout:
        return DatasetLayout(**self.layout)

    def to_dict(self) -> dict[str, Any]:
        return {"kind": RECORD_KIND, "version": RECORD_VERSION, **asdict(self),
                "gb_per_s": self.gb_per_s}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> RankReport:
        """Raises ValueError for anything that is not a rank report of this
        version."""
        if not isinstance(data, Mapping) or data.get("kind") != RECORD_KIND:
            raise ValueError("not a vorn-gen rank report")
        if data.get("version") != RECORD_VERSION:
            raise ValueError(f"a rank report of version {data.get('version')}, but this "
                             f"version of vorn-gen reads only version {RECORD_VERSION}")
        names = cls.__dataclass_fields__
        # Every field: a report cut short must not have its outcome filled
        # in by the defaults (an "ok" with nothing written).
        missing = [name for name in names if name not in data]
        if missing:
            raise ValueError(f"a damaged rank report (no {', '.join(missing)})")
        try:
            record = cls(**{name: data[name] for name in names})
            record.dataset()
            record._check_fields()
        except (TypeError, ValueError) as exc:
            raise ValueError(f"a damaged rank report ({exc})") from None
        return record

    def _check_fields(self) -> None:
        """Raises ValueError naming the first field that no process could
        have written, so that a report edited or cut by hand is refused
        before its figures are added up."""
        def whole(name: str, minimum: int, maximum: int | None = None) -> None:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < minimum \
                    or (maximum is not None and value > maximum):
                bound = f" to {maximum}" if maximum is not None else ""
                raise ValueError(f"{name} {value!r} is not a whole number from "
                                 f"{minimum}{bound}")

        def seconds(name: str, minimum: float) -> None:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) \
                    or not math.isfinite(value) or value < minimum:
                raise ValueError(f"{name} {value!r} is not a time")

        def text(name: str, optional: bool) -> None:
            value = getattr(self, name)
            if not isinstance(value, str) and not (optional and value is None):
                raise ValueError(f"{name} {value!r} is not text")

        whole("world_size", 1, MAX_WORLD_SIZE)
        whole("rank", 0)
        for name in ("granule", "share_offset", "share_size", "first_file", "file_count",
                     "bytes_written", "files_written", "pid"):
            whole(name, 0)
        whole("dedup", 1)
        whole("compress", 1)
        seconds("started_at", -math.inf)
        seconds("seconds", 0.0)
        seconds("cpu_seconds", 0.0)
        text("target", optional=False)
        text("host", optional=False)
        for name in ("error", "manifest", "run_id"):
            text(name, optional=True)
        if self.mode not in MODES:
            raise ValueError(f"mode {self.mode!r} is not one of {', '.join(MODES)}")
        if self.state not in (OK, FAILED, INTERRUPTED, STOPPED):
            raise ValueError(f"state {self.state!r} is not one of {OK}, {FAILED}, "
                             f"{INTERRUPTED}, {STOPPED}")
        if self.bytes_written > self.share_size:
            raise ValueError(f"bytes_written {self.bytes_written} is more than the share's "
                             f"{self.share_size}")
        if self.files_written > self.file_count:
            raise ValueError(f"files_written {self.files_written} is more than the share's "
                             f"{self.file_count}")
        if not isinstance(self.direct, bool) or not isinstance(self.fsync, bool):
            raise ValueError("direct and fsync are not true or false")
        if self.state == OK and (self.bytes_written, self.files_written) != (self.share_size,
                                                                              self.file_count):
            raise ValueError(f"state ok with {self.written()}")

    @classmethod
    def of_write(cls, report: WriteReport, part: DatasetPart, rank: int, world_size: int, *,
                 mode: str, started_at: float, seconds: float, state: str,
                 run_id: str | None = None) -> RankReport:
        layout = part.layout
        return cls(rank=rank, world_size=world_size, mode=mode,
                   layout={"size": layout.size, "count": layout.count,
                           "file_size": layout.file_size, "files_per_dir": layout.files_per_dir},
                   granule=granule(report.dedup), share_offset=part.offset,
                   share_size=part.size, first_file=part.first, file_count=len(part),
                   target=report.target, dedup=report.dedup, compress=report.compress,
                   started_at=started_at, seconds=seconds, cpu_seconds=report.cpu_seconds,
                   bytes_written=report.bytes_written, files_written=report.files_written,
                   state=state, error=report.error, manifest=report.manifest, run_id=run_id,
                   direct=report.direct, fsync=report.fsync)


@dataclass
class RunReport:
    """The report of a run of several processes. ``seconds`` runs from the
    start to the last process's end: from the common start under MPI, from
    the earliest start (by each host's clock) for independent processes.
    ``per_process_gb_per_s`` is the minimum, median and maximum of the
    processes that had bytes to write."""

    ranks: list[RankReport]

    @property
    def world_size(self) -> int:
        return self.ranks[0].world_size

    @property
    def mode(self) -> str:
        return self.ranks[0].mode

    @property
    def ok(self) -> bool:
        return all(record.ok for record in self.ranks)

    @property
    def interrupted(self) -> bool:
        """Failed only because of an interrupt."""
        states = {record.state for record in self.ranks}
        return INTERRUPTED in states and FAILED not in states

    @property
    def size(self) -> int:
        return self.ranks[0].layout["size"]

    @property
    def file_count(self) -> int:
        return self.ranks[0].layout["count"]

    @property
    def bytes_written(self) -> int:
        return sum(record.bytes_written for record in self.ranks)

    @property
    def files_written(self) -> int:
        return sum(record.files_written for record in self.ranks)

    @property
    def cpu_seconds(self) -> float:
        return sum(record.cpu_seconds for record in self.ranks)

    @property
    def seconds(self) -> float:
        if self.mode == "mpi":
            return max(record.seconds for record in self.ranks)
        end = max(record.started_at + record.seconds for record in self.ranks)
        return end - min(record.started_at for record in self.ranks)

    @property
    def gb_per_s(self) -> float:
        seconds = self.seconds
        return self.bytes_written / seconds / 1e9 if seconds > 0 else 0.0

    @property
    def per_process_gb_per_s(self) -> dict[str, float]:
        rates = [record.gb_per_s for record in self.ranks if record.share_size > 0]
        if not rates:
            return {"min": 0.0, "median": 0.0, "max": 0.0}
        return {"min": min(rates), "median": statistics.median(rates), "max": max(rates)}

    @property
    def targets(self) -> list[str]:
        return list(dict.fromkeys(record.target for record in self.ranks))

    @property
    def manifests(self) -> list[str]:
        return list(dict.fromkeys(record.manifest for record in self.ranks
                                  if record.manifest is not None))

    def problems(self) -> list[str]:
        """One line for each process that did not finish, failures first."""
        order = {FAILED: 0, INTERRUPTED: 1, STOPPED: 2}
        return [record.problem() for record in
                sorted(self.ranks, key=lambda r: (order.get(r.state, 3), r.rank))
                if not record.ok]

    def to_dict(self) -> dict[str, Any]:
        first = self.ranks[0]
        return {
            "ok": self.ok, "mode": self.mode, "world_size": self.world_size,
            "target": self.targets[0] if len(self.targets) == 1 else self.targets,
            "size": self.size, "file_count": self.file_count,
            "bytes_written": self.bytes_written, "files_written": self.files_written,
            "seconds": self.seconds, "gb_per_s": self.gb_per_s,
            "per_process_gb_per_s": self.per_process_gb_per_s,
            "cpu_seconds": self.cpu_seconds, "dedup": first.dedup, "compress": first.compress,
            "layout": first.layout, "granule": first.granule, "manifest": self.manifests,
            "errors": self.problems(),
            "ranks": [record.to_dict() for record in self.ranks],
        }


class RunMismatch(ValueError):
    """Rank reports that do not make up one run; the message says why."""


def merge_reports(records: Sequence[RankReport],
                  names: Sequence[str] | None = None) -> RunReport:
    """The report of a run from the reports of all its processes, in any
    order, checked to belong to one run: the same data set, ratios, world
    size and mode (and MPI run), each rank once, each with its own share.
    ``names`` (of the files they came from) go into the messages."""
    if not records:
        raise RunMismatch("no rank reports given")
    if not 1 <= records[0].world_size <= MAX_WORLD_SIZE:
        raise RunMismatch(f"a world size of {records[0].world_size}: it must be from 1 to "
                          f"at most {MAX_WORLD_SIZE}")
    labels = list(names) if names is not None else [f"rank report {r.rank}" for r in records]
    first, first_label = records[0], labels[0]
    for record, label in zip(records[1:], labels[1:]):
        for what, mine, theirs in (
                ("mode", first.mode, record.mode),
                ("world size", first.world_size, record.world_size),
                ("data set", first.layout, record.layout),
                ("dedup ratio", first.dedup, record.dedup),
                ("compress ratio", first.compress, record.compress),
                ("MPI run", first.run_id, record.run_id)):
            if mine != theirs:
                raise RunMismatch(f"{first_label} and {label} come from different runs "
                                  f"({what} {mine} and {theirs})")
    seen: dict[int, str] = {}
    for record, label in zip(records, labels):
        if not 0 <= record.rank < first.world_size:
            raise RunMismatch(f"{label} is rank {record.rank} of {first.world_size}")
        if record.rank in seen:
            raise RunMismatch(f"rank {record.rank} is given twice ({seen[record.rank]} and "
                              f"{label})")
        seen[record.rank] = label
    missing = [rank for rank in range(first.world_size) if rank not in seen]
    if missing:
        listed = ", ".join(map(str, missing[:10])) + (", ..." if len(missing) > 10 else "")
        raise RunMismatch(f"the reports of rank{'s' if len(missing) > 1 else ''} {listed} "
                          f"of {first.world_size} are missing")
    expected = shares(first.dataset(), first.world_size, first.dedup)
    for record, label in zip(records, labels):
        part = expected[record.rank]
        if (record.share_offset, record.share_size, record.first_file, record.file_count) != \
                (part.offset, part.size, part.first, len(part)):
            raise RunMismatch(f"{label} wrote files {record.first_file} to "
                              f"{record.first_file + record.file_count - 1}, not rank "
                              f"{record.rank}'s share (files {part.first} to {part.stop - 1})")
    return RunReport(sorted(records, key=lambda record: record.rank))


# ------------------------------------------------- one process, no MPI

class ShareError(Exception):
    """A share that could not be written in full: ``record`` says how far it got."""

    def __init__(self, message: str, record: RankReport) -> None:
        super().__init__(message)
        self.record = record


class ShareInterrupted(KeyboardInterrupt):
    """An interrupted share: ``record`` says how far it got."""

    def __init__(self, message: str, record: RankReport) -> None:
        super().__init__(message)
        self.record = record


# Writes one share to a target, called as ``write_dataset(target, share,
# dedup_ratio=, manifest=, progress=, **options)`` is, with its contract: a
# WriteReport, and WriteError or WriteInterrupted carrying one.
ShareWriter = Callable[..., WriteReport]


def write_share(target: Any, layout: DatasetLayout, rank: int, world_size: int, *,
                dedup_ratio: float = 1.0, manifest: PathLike | None = None,
                mode: str = "independent", run_id: str | None = None,
                check: Callable[[], None] | None = None,
                writer: ShareWriter = write_dataset,
                **options: Any) -> RankReport:
    """Write process ``rank``'s share of ``layout`` (of ``world_size``
    processes) under ``target`` and return its record; ``manifest`` is this
    share's own manifest. Other keywords are those of ``write_dataset``,
    which does the writing unless ``writer`` (another kind of target) is
    given. ``check`` is called after each piece written and may raise
    ``vorn_py.writer.WriteFailure`` to stop the write. Raises ShareError
    and ShareInterrupted with the record of what was written."""
    part = share_of(layout, rank, world_size, dedup_ratio)
    progress: Callable[[int], object] | None = options.pop("progress", None)
    if check is not None:
        progress = _checking(check, progress)
    started_at, start = time.time(), time.perf_counter()
    state = OK
    failure: WriteError | WriteInterrupted | None = None
    try:
        report = writer(target, part, dedup_ratio=dedup_ratio, manifest=manifest,
                        progress=progress, **options)
    except WriteInterrupted as exc:
        report, state, failure = exc.report, INTERRUPTED, exc
    except WriteError as exc:
        report, state, failure = exc.report, FAILED, exc
        if exc.reason.startswith(STOPPED_BY):
            state = STOPPED
    record = RankReport.of_write(report, part, rank, world_size, mode=mode,
                                 started_at=started_at, seconds=time.perf_counter() - start,
                                 state=state, run_id=run_id)
    if isinstance(failure, WriteInterrupted):
        raise ShareInterrupted(str(failure), record) from None
    if failure is not None:
        raise ShareError(str(failure), record) from None
    return record


def record_before_writing(target: Any, layout: DatasetLayout, rank: int, world_size: int,
                          dedup_ratio: float, compress_ratio: float, *, mode: str,
                          run_id: str | None, state: str, error: str) -> RankReport:
    """The record of a share that ended before anything was written."""
    part = share_of(layout, rank, world_size, dedup_ratio)
    name = target.url_of(target.prefix()) if isinstance(target, S3Target) else str(target)
    report = WriteReport(name, part.size, len(part), dedup=ratio_factor(dedup_ratio),
                         compress=ratio_factor(compress_ratio), error=error)
    return RankReport.of_write(report, part, rank, world_size, mode=mode,
                               started_at=time.time(), seconds=0.0, state=state, run_id=run_id)


# The reason a process gives when another one's failure stopped it.
STOPPED_BY = "stopped because rank"


def _checking(check: Callable[[], None],
              progress: Callable[[int], object] | None) -> Callable[[int], object]:
    def step(count: int) -> None:
        check()
        if progress is not None:
            progress(count)
    return step


# ------------------------------------------------------------ under MPI

class RunError(Exception):
    """A run in which a process failed: ``report`` is the whole run's, the
    message names each process that did not finish, failures first."""

    def __init__(self, report: RunReport) -> None:
        super().__init__("; ".join(report.problems()))
        self.report = report


class RunInterrupted(KeyboardInterrupt):
    """A run stopped by an interrupt (and by nothing else)."""

    def __init__(self, report: RunReport) -> None:
        super().__init__("; ".join(report.problems()))
        self.report = report


def write_dataset_mpi(comm: MPI.Intracomm, target: Any, size: int | DatasetLayout, *,
                      files: int | None = None, file_size: int | None = None,
                      files_per_dir: int | None = None, dedup_ratio: float = 1.0,
                      compress_ratio: float = 1.0, manifest: PathLike | None = None,
                      rank_manifests: bool = False, writer: ShareWriter = write_dataset,
                      **options: Any) -> RunReport:
    """Write a data set with every process of ``comm`` (call it on each):
    each writes its share from its own stream after a common start, and every
    process returns the report of the whole run.

    ``manifest``: with ``rank_manifests`` (or ``{rank}`` in the path) each
    process writes its own (see ``rank_path``); otherwise rank 0 writes one
    manifest of the whole data set, the others handing it their sections.
    Other keywords are those of ``write_dataset`` (``threads``,
    ``chunk_size``, ``buffers``, ``direct``, ``fsync``, ``progress``), or of
    ``writer``, which writes each share to another kind of target.

    A process that fails stops the others within a buffer or so; every
    process then raises RunError (or RunInterrupted, when an interrupt was
    the only cause) with the run's report. Bad arguments raise ValueError or
    TypeError on every process before anything is written.
    """
    from vorn_py import _mpi_run

    layout = size if isinstance(size, DatasetLayout) else DatasetLayout.plan(
        size, files, file_size, files_per_dir)
    if isinstance(size, DatasetLayout) and (files, file_size, files_per_dir) != (None,) * 3:
        raise ValueError("files, file_size and files_per_dir go with a size, not with a layout")
    return _mpi_run.run(comm, target, layout, dedup_ratio=dedup_ratio,
                        compress_ratio=compress_ratio, manifest=manifest,
                        rank_manifests=rank_manifests, options={**options, "writer": writer})
