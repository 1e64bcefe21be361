"""Where written data goes: a sink takes the bytes of one file (or stream),
and a destination opens the sink of each file of a data set.

The writer core drives them: ``Destination.open(index)`` when a file's first
bytes are ready, ``Sink.write`` for each piece in order, ``Sink.close`` when
the file is complete (``Sink.abort`` on failure), ``Destination.finish``
after the last file (``Destination.abort`` after a failure). Errors are
OSErrors, or a ``SinkError`` whose message is already a complete sentence.
"""

from __future__ import annotations

import errno
import os
import select
import stat
from typing import Protocol

from vorn_py import _direct
from vorn_py.layout import DatasetPart


def same_file(first: str, second: str) -> bool:
    """Whether two paths name one file, existing or not yet created."""
    try:
        a, b = os.stat(first), os.stat(second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


class SinkError(Exception):
    """A failure whose message says everything (names the file, says why)."""


class Pending(Protocol):
    """Work a sink still does with the data it was given (an upload in
    flight): the buffer is reused only once ``result`` has returned. A
    ``concurrent.futures.Future`` is one."""

    def result(self) -> object: ...


class Sink(Protocol):
    """The bytes of one file, in order."""

    @property
    def name(self) -> str: ...

    @property
    def written(self) -> int:
        """Bytes that have reached the file so far (true on failure too)."""

    def write(self, data: memoryview) -> Pending | None:
        """Write all of ``data``. It may be kept only until the call returns,
        or until the Pending returned completes."""

    def close(self) -> Pending | None:
        """Complete the file (flush, sync as asked) and release it. A sink
        that completes it later (an upload) returns a Pending: the file
        counts as written, with ``written`` bytes, once that completes."""

    def abort(self) -> None:
        """Release the file after a failure, without raising."""


class Destination(Protocol):
    """Opens the sink of each file of a data set (indexes from 0)."""

    @property
    def alignment(self) -> int:
        """Files' bytes are handed over in pieces that start at multiples of
        this in memory and in the file (1 when any piece will do)."""

    def name_of(self, index: int) -> str: ...

    def open(self, index: int) -> Sink: ...

    def finish(self) -> None:
        """After the last file: make the files' names durable where asked."""

    def abort(self) -> None:
        """After a failure or an interrupt, once the open sink is aborted:
        end the work still in flight, without raising. Pendings handed out
        are complete when it returns."""


# ------------------------------------------------------------- descriptors

_UNSYNCABLE = (errno.EINVAL, errno.EROFS, errno.ENOTSUP)


class DescriptorSink:
    """Writes to a file descriptor: a file opened here, or one given (standard
    output), which is left open. With ``alignment`` above 1 the descriptor
    was opened with O_DIRECT: whole blocks go straight to the device and a
    last piece that is not a whole number of blocks goes through the page
    cache."""

    def __init__(self, fd: int, name: str, *, owned: bool, fsync: bool = False,
                 alignment: int = 1) -> None:
        self.fd = fd
        self._name = name
        self._owned = owned
        self._fsync = fsync
        self._alignment = alignment
        self._direct = alignment > 1
        self._written = 0

    @classmethod
    def create(cls, path: str, *, fsync: bool = False, alignment: int = 1) -> DescriptorSink:
        """Create or truncate ``path``; with ``alignment`` above 1, for direct I/O."""
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC
        if alignment > 1:
            flags |= _direct.O_DIRECT
        try:
            fd = os.open(path, flags, 0o666)
        except OSError as exc:
            if alignment > 1 and exc.errno == errno.EINVAL:
                raise SinkError(f"cannot open {path} for writing: the file system refuses "
                                "direct I/O (O_DIRECT); run without direct I/O") from None
            raise
        return cls(fd, path, owned=True, fsync=fsync, alignment=alignment)

    @property
    def name(self) -> str:
        return self._name

    @property
    def written(self) -> int:
        return self._written

    def write(self, data: memoryview) -> None:
        if self._direct:
            whole = len(data) - len(data) % self._alignment
            self._write_all(data[:whole])
            data = data[whole:]
            if data:
                # The end of the file: not a whole block, so not direct.
                _direct.clear_direct(self.fd)
                self._direct = False
        self._write_all(data)

    def _write_all(self, data: memoryview) -> None:
        """Every byte of ``data``: pipes and signals cut writes short, and a
        non-blocking pipe refuses them while it is full."""
        while data:
            try:
                count = os.write(self.fd, data)
            except BlockingIOError:
                _wait_until_writable(self.fd)
                continue
            if count == 0:  # a file that takes nothing would be written to forever
                raise OSError(errno.EIO, "the file took none of the bytes written to it")
            self._written += count
            data = data[count:]
            if self._direct and count % self._alignment:
                # A short direct write off a block boundary (a full disk):
                # what follows cannot be direct.
                _direct.clear_direct(self.fd)
                self._direct = False

    def close(self) -> None:
        """Errors from fsync or close (delayed write-back, network file
        systems) mean the data may not be there: they are raised."""
        if self._fsync:
            try:
                os.fsync(self.fd)
            except OSError as exc:
                # Pipes, terminals and /dev/null cannot be synced; nothing is lost.
                if exc.errno not in _UNSYNCABLE:
                    self.abort()
                    raise
        if self._owned:
            self._owned = False  # a failed close has still released the descriptor
            os.close(self.fd)

    def abort(self) -> None:
        if self._owned:
            self._owned = False
            self._count_from_position()
            try:
                os.close(self.fd)
            except OSError:
                pass

    def _count_from_position(self) -> None:
        """An interrupt can land after a write returns and before its count
        is added; a file written from its start knows how far it got."""
        try:
            if stat.S_ISREG(os.fstat(self.fd).st_mode):
                self._written = os.lseek(self.fd, 0, os.SEEK_CUR)
        except OSError:
            pass


def _wait_until_writable(fd: int) -> None:
    poller = select.poll()
    poller.register(fd, select.POLLOUT)
    poller.poll()  # also wakes when the reader is gone; the write then says so


def sync_directory(path: str) -> None:
    """Make the names in a directory durable."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in _UNSYNCABLE:
            raise
    finally:
        os.close(fd)


# ------------------------------------------------------------ destinations

class FileDestination:
    """One file, or a descriptor given (standard output), as a data set of
    one file. The file is created or truncated only when its first bytes are
    ready, so that a run that cannot start leaves an existing file alone."""

    def __init__(self, target: str | int, name: str | None = None, *, fsync: bool = False,
                 alignment: int = 1) -> None:
        self._target = target
        self._name = name if name is not None else str(target)
        self._fsync = fsync
        self._alignment = alignment
        self._created = False

    @property
    def alignment(self) -> int:
        return self._alignment

    def name_of(self, index: int) -> str:
        return self._name

    def open(self, index: int) -> Sink:
        if isinstance(self._target, int):
            return DescriptorSink(self._target, self._name, owned=False, fsync=self._fsync)
        existed = os.path.exists(self._target)
        sink = DescriptorSink.create(self._target, fsync=self._fsync, alignment=self._alignment)
        self._created = not existed and stat.S_ISREG(os.fstat(sink.fd).st_mode)
        return sink

    def finish(self) -> None:
        if self._fsync and self._created and isinstance(self._target, str):
            sync_directory(os.path.dirname(os.path.abspath(self._target)))

    def abort(self) -> None:
        pass


class DirectoryDestination:
    """The files of a data set (or of one share of it) under ``root``, which
    exists; subdirectories are made when their first file is opened."""

    def __init__(self, root: str, part: DatasetPart, *, fsync: bool = False,
                 alignment: int = 1, first_new: str | None = None) -> None:
        self._root = root
        # The outermost directory of the path to root that this run made, if
        # any: the names of it and of those inside it are new, and so are
        # their parents' entries.
        self._first_new = os.path.abspath(first_new or root)
        self._part = part
        self._fsync = fsync
        self._alignment = alignment
        self._directories: dict[str, None] = {"": None}  # made or found, in order

    @property
    def alignment(self) -> int:
        return self._alignment

    def name_of(self, index: int) -> str:
        return os.path.join(self._root, self._part.path_of(index))

    def open(self, index: int) -> Sink:
        relative = self._part.path_of(index)
        directory = relative.rpartition("/")[0]
        if directory not in self._directories:
            path = os.path.join(self._root, directory)
            try:
                os.makedirs(path, exist_ok=True)
            except FileExistsError:
                raise SinkError(f"cannot create directory {path}: a file of that name "
                                "is in the way") from None
            except OSError as exc:
                raise SinkError(f"cannot create directory {path}: {exc.strerror}") from None
            self._directories[directory] = None
        return DescriptorSink.create(os.path.join(self._root, relative), fsync=self._fsync,
                                     alignment=self._alignment)

    def finish(self) -> None:
        if not self._fsync:
            return
        for directory in self._directories:
            sync_directory(os.path.join(self._root, directory))
        # The root's own name, which may be new too, and every directory
        # above it that the run made.
        path = os.path.abspath(self._root)
        while True:
            parent = os.path.dirname(path)
            sync_directory(parent)
            if path == self._first_new or parent == path:
                break
            path = parent

    def abort(self) -> None:
        pass
