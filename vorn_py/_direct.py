"""Direct I/O: whether a file system takes O_DIRECT, and the alignment that
offsets and lengths of direct writes need there."""

from __future__ import annotations

import ctypes
import errno
import fcntl
import os
import secrets
import stat
import struct

O_DIRECT: int = getattr(os, "O_DIRECT", 0)
# Used when the kernel and the device say nothing: every common device's
# logical block divides it.
FALLBACK_ALIGNMENT = 4096

_STATX_DIOALIGN = 0x2000
_AT_EMPTY_PATH = 0x1000
_STATX_SIZE = 256
# struct statx: stx_mask at 0; stx_dio_mem_align and stx_dio_offset_align at 152.
_STATX_MASK = struct.Struct("<I")
_STATX_DIO = struct.Struct("<II")
_STATX_DIO_AT = 152


class DirectIORefused(OSError):
    """The file system does not take O_DIRECT."""


def refusal(path: str) -> DirectIORefused:
    return DirectIORefused(errno.EINVAL, f"the file system of {path} refuses direct I/O "
                                         "(O_DIRECT); run without direct I/O")


def probe(directory: str) -> int:
    """Open a scratch file with O_DIRECT in ``directory`` and remove it
    again; returns the alignment direct writes need there. Raises
    DirectIORefused where the file system does not take O_DIRECT, and
    OSError where the directory takes no new file at all."""
    if not O_DIRECT:
        raise DirectIORefused(errno.ENOTSUP, "this system has no direct I/O (O_DIRECT)")
    path = os.path.join(directory, f".vorn-direct-probe-{os.getpid()}-{secrets.token_hex(4)}")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | O_DIRECT, 0o600)
    except OSError as exc:
        # Some file systems create the file before they refuse the flag.
        _remove(path)
        if exc.errno == errno.EINVAL:
            raise refusal(directory) from None
        raise
    try:
        return alignment_of(fd)
    finally:
        os.close(fd)
        _remove(path)


def alignment_of(fd: int) -> int:
    """The alignment of direct writes to the open file ``fd``: what the kernel
    reports for it, else the logical block size of its device, else 4096."""
    reported = _statx_alignment(fd)
    if reported:
        return reported
    info = os.fstat(fd)
    device = info.st_rdev if stat.S_ISBLK(info.st_mode) else info.st_dev
    return _logical_block_size(device) or FALLBACK_ALIGNMENT


def _statx_alignment(fd: int) -> int | None:
    """The larger of the memory and offset alignment statx reports for direct
    I/O, or None where it reports none (older kernels, some file systems)."""
    try:
        statx = ctypes.CDLL(None, use_errno=True).statx
    except (AttributeError, OSError):
        return None
    buffer = ctypes.create_string_buffer(_STATX_SIZE)
    if statx(ctypes.c_int(fd), ctypes.c_char_p(b""), ctypes.c_int(_AT_EMPTY_PATH),
             ctypes.c_uint(_STATX_DIOALIGN), buffer) != 0:
        return None
    (mask,) = _STATX_MASK.unpack_from(buffer.raw, 0)
    if not mask & _STATX_DIOALIGN:
        return None
    memory, offset = _STATX_DIO.unpack_from(buffer.raw, _STATX_DIO_AT)
    if not offset:
        return None  # direct I/O is not offered for this file
    return _power_of_two_at_least(max(memory, offset))


def _logical_block_size(device: int) -> int | None:
    base = f"/sys/dev/block/{os.major(device)}:{os.minor(device)}"
    # A partition's queue is its disk's.
    for path in (f"{base}/queue/logical_block_size", f"{base}/../queue/logical_block_size"):
        try:
            with open(path) as f:
                size = int(f.read())
        except (OSError, ValueError):
            continue
        if size > 0:
            return _power_of_two_at_least(size)
    return None


def _power_of_two_at_least(value: int) -> int:
    return 1 << max(0, value - 1).bit_length()


def clear_direct(fd: int) -> None:
    """Take O_DIRECT off an open file, for a last piece that is not a whole
    number of blocks."""
    flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    fcntl.fcntl(fd, fcntl.F_SETFL, flags & ~O_DIRECT)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
