"""Verification of objects against their manifest: the objects that hold the
data are found (one object, the data set's objects under a prefix, or every
object under it in name order), and each block is read with ranged GETs and
digested, several blocks in flight at once.
"""

from __future__ import annotations

import threading
from typing import Any, Callable

from vorn_py import verify as _verify
from vorn_py.manifest import BLOCK_SIZE, Manifest
from vorn_py.s3 import S3Error, S3Target, error_code, explain, make_client

import xxhash


class _Object:
    def __init__(self, url: str, key: str, size: int) -> None:
        self.url = url
        self.key = key
        self.size = size


def _failure(action: str, exc: BaseException, target: S3Target) -> _verify.TargetError:
    return _verify.TargetError(0, f"cannot {action}: {explain(exc, target.bucket)}")


def _listing(client: Any, target: S3Target, prefix: str) -> dict[str, int]:
    """Sizes of the objects under ``prefix``, by key after the prefix."""
    found: dict[str, int] = {}
    try:
        for page in client.get_paginator("list_objects_v2").paginate(
                Bucket=target.bucket, Prefix=prefix):
            for item in page.get("Contents", []):
                found[str(item["Key"])[len(prefix):]] = int(item["Size"])
    except Exception as exc:
        raise _failure(f"list {target.url_of(prefix)}", exc, target) from None
    return found


def _objects(client: Any, target: S3Target, manifest: Manifest | None) -> list[_Object]:
    """The objects that hold the data, in order; as for a directory, those
    of the manifest's data set record, checked to be all there is under the
    prefix and of the right sizes."""
    layout = manifest.dataset if manifest is not None else None
    if layout is None and not target.is_prefix:
        key = target.key
        try:
            head = client.head_object(Bucket=target.bucket, Key=key)
        except Exception as exc:
            if error_code(exc) in ("404", "NoSuchKey"):
                raise _verify.TargetError(0, f"cannot open {target.url}: no such object") \
                    from None
            raise _failure(f"open {target.url}", exc, target) from None
        return [_Object(target.url, key, int(head["ContentLength"]))]
    prefix = target.prefix()
    root = target.url_of(prefix)
    listed = _listing(client, target, prefix)
    if layout is None:
        if not listed:
            raise _verify.TargetError(0, f"{root} holds no objects")
        ordered = sorted(listed, key=lambda path: path.split("/"))
        return [_Object(target.url_of(prefix + path), prefix + path, listed[path])
                for path in ordered]
    expected = _verify._dataset_paths(root, listed, layout, "object", listed.__getitem__)
    return [_Object(target.url_of(prefix + path), prefix + path, listed[path])
            for path in expected]


class _RangeReader:
    """Reads and digests whole blocks on each calling thread, each piece of
    a block with one ranged GET, into a buffer of the thread's own."""

    def __init__(self, client: Any, target: S3Target, objects: list[_Object]) -> None:
        self._client = client
        self._target = target
        self._objects = objects
        self._local = threading.local()

    def digest(self, unit: _verify._Unit) -> bytes:
        buffer: memoryview | None = getattr(self._local, "buffer", None)
        if buffer is None:
            buffer = self._local.buffer = memoryview(bytearray(BLOCK_SIZE))
        filled = 0
        for part, offset, count in unit.pieces:
            self._read(self._objects[part], offset, buffer[filled:filled + count])
            filled += count
        return xxhash.xxh3_128_digest(buffer[:unit.length])

    def digest_all(self, units: list[_verify._Unit]) -> list[bytes]:
        return [self.digest(unit) for unit in units]

    def _read(self, item: _Object, offset: int, view: memoryview) -> None:
        where = f"read {item.url} at offset {offset}"
        try:
            reply = self._client.get_object(Bucket=self._target.bucket, Key=item.key,
                                            Range=f"bytes={offset}-{offset + len(view) - 1}")
            body = reply["Body"]
            try:
                done = 0
                while done < len(view):
                    got = body.readinto(view[done:])
                    if not got:
                        break
                    done += got
            finally:
                body.close()
        except Exception as exc:
            raise _failure(where, exc, self._target) from None
        if done < len(view):
            raise _verify.TargetError(0, f"{item.url} became shorter while being verified "
                                         f"(no data at offset {offset + done})")


def _client(target: S3Target, threads: int) -> Any:
    try:
        return make_client(target, connections=threads)
    except S3Error as exc:
        raise _verify.TargetError(0, str(exc)) from None


def verify_objects(target: S3Target, manifest: Manifest, keep: int, threads: int | None,
                   progress: Callable[[int], object] | None) -> _verify.VerifyResult:
    workers = target.concurrency if threads is None else threads
    client = _client(target, workers)
    objects = _objects(client, target, manifest)
    recorder = _verify._Recorder([item.url for item in objects], manifest.data_size, keep)
    return _verify._verify_files([], [item.size for item in objects], manifest.sections,
                                 recorder, workers, progress,
                                 reader=_RangeReader(client, target, objects))


def objects_size(target: S3Target, manifest: Manifest | None) -> int:
    """The bytes the objects hold, as ``verify_objects`` would find them."""
    return sum(item.size for item in _objects(_client(target, 1), target, manifest))
