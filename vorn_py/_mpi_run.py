"""One data set written by every process of an MPI communicator: the common
start, the word a failing process sends so that the others stop, the
gathering of the reports, and the one manifest that rank 0 assembles.

A process that fails or is interrupted sends a small message to every other
one; each process looks for such a message after every piece it writes (a
non-blocking receive posted at the start), so the others stop within one
buffer. Every process then takes part in the gathering of the reports, which
tells each how many such messages are on their way to it, so that all are
received (or the receive cancelled) and nothing is left in flight. Anything
unforeseen calls MPI_Abort rather than leaving the others waiting.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time
import uuid
from array import array
from typing import TYPE_CHECKING, Any

from vorn_py.layout import DatasetLayout
from vorn_py.manifest import ManifestError, StagedFile, ratio_factor
from vorn_py.parallel import (
    FAILED,
    INTERRUPTED,
    STOPPED,
    STOPPED_BY,
    RankReport,
    RunError,
    RunInterrupted,
    RunReport,
    ShareError,
    ShareInterrupted,
    rank_path,
    record_before_writing,
    write_share,
)
from vorn_py.writer import WriteFailure

if TYPE_CHECKING:
    from mpi4py import MPI

# Message tags of our own, apart from whatever else the program sends.
_TAG_STOP = 0x5640
_TAG_MANIFEST = 0x5641
_MANIFEST_PIECE = 4 << 20
_WHY = {1: "failed", 2: "was interrupted"}
_CODE = {FAILED: 1, INTERRUPTED: 2}


class _PeerWatch:
    """Receives the word of a peer that failed, and sends this process's."""

    def __init__(self, comm: MPI.Intracomm) -> None:
        from mpi4py import MPI

        self._MPI = MPI
        self._comm = comm
        self._incoming = array("q", [0])
        self._status = MPI.Status()
        self._request = comm.Irecv([self._incoming, MPI.INT64_T], source=MPI.ANY_SOURCE,
                                   tag=_TAG_STOP)
        self._received = False
        self._sent: list[Any] = []
        self._outgoing: list[array[int]] = []
        self.told = False

    def check(self) -> None:
        """Raises WriteFailure once a peer has said that it stopped."""
        if not self._received and self._request.Test(self._status):
            self._received = True
        if self._received:
            source = self._status.Get_source()
            why = _WHY.get(self._incoming[0], "failed")
            raise WriteFailure(f"{STOPPED_BY} {source} {why}")

    def tell_others(self, state: str) -> None:
        if self.told:
            return
        self.told = True
        MPI, comm = self._MPI, self._comm
        for peer in range(comm.Get_size()):
            if peer != comm.Get_rank():
                message = array("q", [_CODE[state]])
                self._outgoing.append(message)
                self._sent.append(comm.Isend([message, MPI.INT64_T], dest=peer, tag=_TAG_STOP))

    def finish(self, senders: int) -> None:
        """Take the words of the ``senders`` other processes that sent one,
        cancel the receive when none did, and complete this one's sends."""
        MPI = self._MPI
        if senders == 0:
            if not self._request.Test():
                self._request.Cancel()
                self._request.Wait()
        else:
            self._request.Wait()
            spare = array("q", [0])
            for _ in range(senders - 1):
                self._comm.Recv([spare, MPI.INT64_T], source=MPI.ANY_SOURCE, tag=_TAG_STOP)
        MPI.Request.Waitall(self._sent)


def run(comm: MPI.Intracomm, target: Any, layout: DatasetLayout, *, dedup_ratio: float,
        compress_ratio: float, manifest: Any, rank_manifests: bool,
        options: dict[str, Any]) -> RunReport:
    rank, world = comm.Get_rank(), comm.Get_size()
    try:
        return _run(comm, rank, world, target, layout, dedup_ratio, compress_ratio, manifest,
                    rank_manifests, options)
    except (RunError, RunInterrupted, ValueError, TypeError):
        raise  # raised on every process alike
    except BaseException as exc:
        # Something unforeseen on this process alone: the others may be
        # waiting for it in a collective call, so end them all.
        comm.Abort(130 if isinstance(exc, KeyboardInterrupt) else 1)
        raise


def _run(comm: MPI.Intracomm, rank: int, world: int, target: Any, layout: DatasetLayout,
         dedup_ratio: float, compress_ratio: float, manifest: Any, rank_manifests: bool,
         options: dict[str, Any]) -> RunReport:
    run_id: str = comm.bcast(uuid.uuid4().hex if rank == 0 else None, root=0)
    merged = manifest is not None and not rank_manifests and "{rank}" not in os.fspath(manifest)
    _check_same_run(comm, layout, dedup_ratio, compress_ratio, merged, manifest is not None)
    own_manifest: str | None = None
    if manifest is not None:
        if not merged:
            own_manifest = rank_path(manifest, rank)
        else:
            # Each section apart, rank 0's too: the manifest takes the path's
            # place only once whole, so a failed run leaves what was there.
            handle, own_manifest = tempfile.mkstemp(prefix="vorn-manifest-")
            os.close(handle)
    # Whether the manifest can be made at its path at all is known now, as it
    # is for one process, rather than after all the data is written.
    refused: str | None = None
    if merged and rank == 0:
        try:
            StagedFile(os.fspath(manifest)).discard()
        except ManifestError as exc:
            refused = str(exc)
    watch = _PeerWatch(comm)
    record: RankReport | None = None
    usage: str | None = None
    comm.Barrier()  # the common start
    try:
        if refused is not None:
            raise ShareError(refused, record_before_writing(
                target, layout, rank, world, dedup_ratio, compress_ratio, mode="mpi",
                run_id=run_id, state=FAILED, error=refused))
        record = write_share(target, layout, rank, world, dedup_ratio=dedup_ratio,
                             compress_ratio=compress_ratio, manifest=own_manifest, mode="mpi",
                             run_id=run_id, check=watch.check, **options)
    except ShareInterrupted as exc:
        record = exc.record
        watch.tell_others(INTERRUPTED)
    except ShareError as exc:
        record = exc.record
        if record.state != STOPPED:
            watch.tell_others(FAILED)
    except (ValueError, TypeError) as exc:
        usage = str(exc)
        watch.tell_others(FAILED)
    except KeyboardInterrupt:
        # Before the writer took over (or after it ended): nothing written
        # that the record would not show.
        record = record_before_writing(target, layout, rank, world, dedup_ratio,
                                       compress_ratio, mode="mpi", run_id=run_id,
                                       state=INTERRUPTED, error=INTERRUPTED)
        watch.tell_others(INTERRUPTED)
    _wait_for_the_others(comm)
    gathered: list[tuple[dict[str, Any] | None, str | None, bool]] = comm.allgather(
        (None if record is None else record.to_dict(), usage, watch.told))
    watch.finish(sum(told for index, (_, _, told) in enumerate(gathered) if index != rank))
    usages = [message for _, message, _ in gathered if message is not None]
    if usages:
        _discard(own_manifest if merged else None)
        raise ValueError(usages[0])
    records = [RankReport.from_dict(data) for data, _, _ in gathered if data is not None]
    report = RunReport(records)
    if merged:
        _merge_manifest(comm, rank, os.fspath(manifest), own_manifest, report,
                        fsync=bool(options.get("fsync", False)))
    if report.ok:
        return report
    if report.interrupted:
        raise RunInterrupted(report)
    raise RunError(report)


def _check_same_run(comm: MPI.Intracomm, layout: DatasetLayout, dedup_ratio: float,
                    compress_ratio: float, merged: bool, manifest: bool) -> None:
    """Raises ValueError on every process when they were not all given the
    same data set, ratios and kind of manifest: shares cut from different
    layouts make no one stream, and a manifest that rank 0 merges while
    another process keeps its own would leave rank 0 waiting for it."""
    mine = (layout, ratio_factor(dedup_ratio), ratio_factor(compress_ratio), merged, manifest)
    everyone: list[tuple[Any, ...]] = comm.allgather(mine)
    differing = [rank for rank, theirs in enumerate(everyone) if theirs != everyone[0]]
    if not differing:
        return
    what = [name for index, name in enumerate(("data set", "dedup ratio", "compress ratio",
                                               "manifest", "manifest"))
            if everyone[differing[0]][index] != everyone[0][index]]
    raise ValueError(f"the processes were not given the same data set, ratios and manifest: "
                     f"rank {differing[0]} has another {' and '.join(dict.fromkeys(what))} "
                     f"than rank 0 (is each one's command line the same?)")


def _wait_for_the_others(comm: MPI.Intracomm) -> None:
    """Wait for every process to be done without spinning: a blocking
    collective polls at full speed, and the CPU it takes may be one that a
    process still writing needs."""
    request = comm.Ibarrier()
    pause = 0.0001
    while not request.Test():
        time.sleep(pause)
        pause = min(pause * 2, 0.005)


def _merge_manifest(comm: MPI.Intracomm, rank: int, path: str, own: str | None,
                    report: RunReport, *, fsync: bool) -> None:
    """Rank 0 writes its own section and then every other rank's, in rank
    order, into a new file that takes the path's place once whole (with
    ``fsync``, on stable storage); when the run failed, or the manifest
    cannot be written, none is kept and the path keeps what it held."""
    assert own is not None
    if not report.ok:
        _discard(own)
        for record in report.ranks:
            record.manifest = None
        return
    problem: str | None = None
    if rank == 0:
        problem = _assemble_manifest(comm, path, own, fsync=fsync)
    else:
        _send_section(comm, own)
    problem = comm.bcast(problem, root=0)
    for record in report.ranks:
        record.manifest = None if problem else path
    if problem:
        first = report.ranks[0]
        first.state, first.error = FAILED, problem


def _send_section(comm: MPI.Intracomm, own: str) -> None:
    """The section's length, then its bytes a piece at a time, then whether
    they were read whole."""
    from mpi4py import MPI

    try:
        source = open(own, "rb")
    except OSError:
        source = None
    try:
        try:
            length = os.fstat(source.fileno()).st_size if source is not None else 0
        except OSError:
            length = 0
        # A length of 0 makes rank 0 refuse the manifest.
        comm.send(length, dest=0, tag=_TAG_MANIFEST)
        buffer = bytearray(_MANIFEST_PIECE)
        whole = True
        for start in range(0, length, _MANIFEST_PIECE):
            piece = memoryview(buffer)[:min(_MANIFEST_PIECE, length - start)]
            got = _read_into(source, piece)
            if got < len(piece):  # a read failed or the file shrank: the length is promised
                piece[got:] = bytes(len(piece) - got)
                whole = False
            comm.Send([piece, MPI.BYTE], dest=0, tag=_TAG_MANIFEST)
        if length:
            comm.send(whole, dest=0, tag=_TAG_MANIFEST)  # rank 0 keeps no section padded
    finally:
        if source is not None:
            source.close()
        _discard(own)


def _read_into(source: Any, piece: memoryview) -> int:
    got = 0
    try:
        while got < len(piece):
            n = source.readinto(piece[got:])
            if not n:
                break
            got += n
    except OSError:
        pass
    return got


def _assemble_manifest(comm: MPI.Intracomm, path: str, own: str, *, fsync: bool) -> str | None:
    from mpi4py import MPI

    problem: str | None = None
    staged: StagedFile | None = None
    try:
        staged = StagedFile(path)
        with open(own, "rb") as section:
            shutil.copyfileobj(section, staged.file, _MANIFEST_PIECE)
    except ManifestError as exc:
        problem = str(exc)
    except OSError as exc:
        problem = f"cannot write manifest {path}: {exc.strerror or exc}"
    finally:
        _discard(own)
    buffer = bytearray(_MANIFEST_PIECE)
    for source in range(1, comm.Get_size()):
        # Every piece is received even after a failure: the sender waits for it.
        length: int = comm.recv(source=source, tag=_TAG_MANIFEST)
        if length == 0 and problem is None:
            problem = f"rank {source} lost its manifest section before handing it over"
        for start in range(0, length, _MANIFEST_PIECE):
            piece = memoryview(buffer)[:min(_MANIFEST_PIECE, length - start)]
            comm.Recv([piece, MPI.BYTE], source=source, tag=_TAG_MANIFEST)
            if staged is not None and problem is None:
                try:
                    staged.file.write(piece)
                except OSError as exc:
                    problem = f"cannot write manifest {path}: {exc.strerror or exc}"
        if length and not comm.recv(source=source, tag=_TAG_MANIFEST) and problem is None:
            problem = f"rank {source} could not read its manifest section back"
    if staged is not None:
        if problem is None:
            try:
                staged.commit(fsync)
            except OSError as exc:
                problem = f"cannot write manifest {path}: {exc.strerror or exc}"
        if problem is not None:
            staged.discard()
    return problem


def _discard(path: str | None) -> None:
    if path is None:
        return
    try:
        os.unlink(path)
    except OSError:
        pass
