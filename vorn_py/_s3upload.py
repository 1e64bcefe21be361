"""Uploading the files of a data set as objects: a destination for the
writer core whose sinks send each buffer as one part of a multipart upload
(or, for an object no larger than a part, as one PUT), on a pool of
``concurrency`` threads.

The writer's buffers are the parts: a buffer holds one part's bytes, which
the store receives straight from it (the buffer itself when the part fills
it, otherwise a seekable reader over its bytes, which the SDK rewinds to
retry), and the buffer is reused once the part's request has returned.

Every request runs on the pool, never on the writer's thread, so that an
interrupt there cannot lose the answer to a request that the store carried
out (an upload it started). After a failure or an interrupt the destination
lets the requests in flight end, completes the objects whose parts are all
stored, and aborts every other upload it started: no parts are left behind.
"""

from __future__ import annotations

import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable

from vorn_py.s3 import S3Target, error_code, explain
from vorn_py.sinks import Pending, SinkError


class PartBody:
    """A part's bytes as the SDK takes a body: a seekable reader whose reads
    are views of the buffer, not copies. The SDK hashes and sends what it
    reads, and seeks back to the start to retry."""

    def __init__(self, view: memoryview) -> None:
        self._view = view
        self._position = 0

    def __len__(self) -> int:
        return len(self._view)

    def read(self, size: int | None = -1) -> memoryview:
        end = len(self._view) if size is None or size < 0 else min(
            len(self._view), self._position + size)
        start, self._position = self._position, max(self._position, end)
        return self._view[start:end]

    def seek(self, offset: int, whence: int = 0) -> int:
        base = (0, self._position, len(self._view))[whence]
        self._position = min(max(0, base + offset), len(self._view))
        return self._position

    def tell(self) -> int:
        return self._position

    def seekable(self) -> bool:
        return True

    def readable(self) -> bool:
        return True


def body_of(view: memoryview) -> Any:
    """The buffer itself when ``view`` is all of a bytearray (the SDK sends
    it in one piece), else a reader over the view."""
    owner = view.obj
    if isinstance(owner, bytearray) and view.nbytes == len(owner):
        return owner
    return PartBody(view)


def part_buffers(count: int, capacity: int) -> list[bytearray]:
    """The writer's buffers for uploads: bytearrays, the body the SDK sends
    without reading it piece by piece. Raises MemoryError."""
    return [bytearray(capacity) for _ in range(count)]


class ObjectDestination:
    """The files ``0 .. len(keys) - 1`` as objects ``keys[i]`` of the bucket
    of ``target``, with ``sizes[i]`` bytes each, uploaded in parts of
    ``part_size`` bytes through ``client``."""

    def __init__(self, client: Any, target: S3Target, keys: Callable[[int], str],
                 sizes: Callable[[int], int], part_size: int) -> None:
        self.client = client
        self.target = target
        self.bucket = target.bucket
        self._keys = keys
        self._sizes = sizes
        self.part_size = part_size
        self._pool = ThreadPoolExecutor(target.concurrency, thread_name_prefix="vorn-s3")
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._active = 0           # tasks submitted and not yet ended
        self.stopping = False      # after a failure: start no more parts
        self._unfinished: dict[int, MultipartObject] = {}  # by index
        self.aborted = 0           # uploads aborted after a failure
        self.gone = 0              # uploads found aborted already (or their bucket)
        self.abort_failures: list[str] = []

    @property
    def alignment(self) -> int:
        return self.part_size

    def name_of(self, index: int) -> str:
        return self.target.url_of(self._keys(index))

    def open(self, index: int) -> SingleObject | MultipartObject:
        key, size = self._keys(index), self._sizes(index)
        if size <= self.part_size:
            return SingleObject(self, key, size)
        return MultipartObject(self, index, key, size)

    def finish(self) -> None:
        self._wait_idle()
        self._pool.shutdown(wait=True)

    def abort(self) -> None:
        with self._lock:
            self.stopping = True
        try:
            self._wait_idle()
        except KeyboardInterrupt:
            pass  # a second interrupt: abort what is known without waiting
        with self._lock:
            left = list(self._unfinished.values())
            self._unfinished.clear()
        for upload in left:
            upload.abort_upload()
        self._pool.shutdown(wait=False)

    def aftermath(self) -> str | None:
        """What a failed run did about its unfinished uploads, for its message."""
        notes = []
        if self.aborted:
            notes.append(f"{self.aborted} unfinished multipart "
                         f"upload{'s' if self.aborted != 1 else ''} aborted")
        if self.gone:
            notes.append(f"{self.gone} unfinished multipart "
                         f"upload{'s' if self.gone != 1 else ''} already gone from the store")
        notes.extend(self.abort_failures)
        return "; ".join(notes) or None

    # ------------------------------------------------------------ the pool

    def submit(self, task: Callable[[], object]) -> Future[Any]:
        # An interrupt can end the pool's submit after it queued the task
        # (while it starts a thread). Whichever comes first, the task's start
        # or that interrupt, claims it: an interrupted submit's task does
        # not run, nobody having its future, and is counted ended once.
        claimed = [False]
        with self._lock:
            self._active += 1
        try:
            return self._pool.submit(self._run, task, claimed)
        except BaseException:
            with self._lock:
                mine, claimed[0] = not claimed[0], True
            if mine:
                self._ended()
            raise

    def _run(self, task: Callable[[], object], claimed: list[bool]) -> object:
        with self._lock:
            if claimed[0]:
                return None
            claimed[0] = True
        try:
            return task()
        finally:
            self._ended()

    def _ended(self) -> None:
        with self._lock:
            self._active -= 1
            if self._active == 0:
                self._idle.notify_all()

    def _wait_idle(self) -> None:
        with self._lock:
            while self._active:
                self._idle.wait()

    def forget(self, index: int) -> None:
        with self._lock:
            self._unfinished.pop(index, None)

    def failure(self, action: str, url: str, exc: BaseException) -> SinkError:
        """A one-line error for a request that failed."""
        why = explain(exc, self.bucket)
        if error_code(exc) == "NoSuchUpload" and self._bucket_is_gone():
            why = f"the bucket {self.bucket} no longer exists (NoSuchBucket)"
        return SinkError(f"cannot {action} {url}: {why}")

    def count_aborted(self, gone: bool) -> None:
        with self._lock:
            if gone:
                self.gone += 1
            else:
                self.aborted += 1

    def _bucket_is_gone(self) -> bool:
        try:
            self.client.head_bucket(Bucket=self.bucket)
        except Exception as exc:
            return error_code(exc) in ("404", "NoSuchBucket")
        return False


class _Object:
    """An object being uploaded: its bytes count as written once it is
    complete in the store."""

    def __init__(self, destination: ObjectDestination, key: str, size: int) -> None:
        self._destination = destination
        self._key = key
        self._size = size
        self._complete = False

    @property
    def name(self) -> str:
        return self._destination.target.url_of(self._key)

    @property
    def written(self) -> int:
        return self._size if self._complete else 0


class SingleObject(_Object):
    """An object no larger than a part: one PUT of its one piece."""

    def __init__(self, destination: ObjectDestination, key: str, size: int) -> None:
        super().__init__(destination, key, size)
        self._done: Future[Any] | None = None

    def write(self, data: memoryview) -> Pending:
        if self._done is not None or len(data) != self._size:
            raise SinkError(f"cannot upload {self.name}: its {self._size} bytes came in "
                            "more than one piece")
        body = body_of(data) if len(data) else b""
        self._done = self._destination.submit(lambda: self._put(body))
        return self._done

    def _put(self, body: Any) -> None:
        destination = self._destination
        if destination.stopping:
            raise SinkError(f"{self.name} was not uploaded: the run stopped")
        try:
            destination.client.put_object(Bucket=destination.bucket, Key=self._key, Body=body)
        except Exception as exc:
            raise destination.failure("upload", self.name, exc) from None
        self._complete = True

    def close(self) -> Pending | None:
        return self._done

    def abort(self) -> None:
        pass  # a PUT in flight stores a whole object or nothing


class MultipartObject(_Object):
    """An object larger than a part: a multipart upload, started when the
    object is opened, a part per piece of each buffer, completed by whichever
    request ends last once the object is closed."""

    def __init__(self, destination: ObjectDestination, index: int, key: str,
                 size: int) -> None:
        super().__init__(destination, key, size)
        self._index = index
        self._etags: dict[int, str] = {}
        self._parts = 0          # numbered so far
        self._outstanding = 0    # part requests not yet ended
        self._closed = False
        self._failed = False
        self._aborted = False
        self.completed: Future[None] = Future()
        # Known to the destination before it is started, so that an
        # interrupt at any point leaves it to be aborted.
        self._upload_id: Future[str] = Future()
        with destination._lock:
            destination._unfinished[index] = self
        try:
            destination.submit(self._create)
        except BaseException:
            self._upload_id.cancel()  # unless already being started
            raise

    def write(self, data: memoryview) -> Pending:
        # Buffers hold at most a part (their capacity is the part size), so
        # every write is one part.
        if not 0 < len(data) <= self._destination.part_size:
            raise SinkError(f"cannot upload {self.name}: a piece of {len(data)} bytes is not "
                            f"one part of at most {self._destination.part_size} bytes")
        self._parts += 1
        number = self._parts
        body = body_of(data)
        with self._destination._lock:
            self._outstanding += 1
        return self._destination.submit(lambda: self._upload_part(number, body))

    def close(self) -> Pending:
        with self._destination._lock:
            self._closed = True
            ready = self._outstanding == 0
        if ready:
            self._destination.submit(self._finish)
        return self.completed

    def abort(self) -> None:
        with self._destination._lock:
            self._failed = True

    # ------------------------------------------------------ on the pool

    def _create(self) -> None:
        if not self._upload_id.set_running_or_notify_cancel():
            return
        try:
            self._upload_id.set_result(self._start())
        except BaseException as exc:
            self._upload_id.set_exception(exc)
            raise

    def _start(self) -> str:
        destination = self._destination
        if destination.stopping:
            raise SinkError(f"the upload of {self.name} was not started: the run stopped")
        try:
            reply = destination.client.create_multipart_upload(
                Bucket=destination.bucket, Key=self._key)
        except Exception as exc:
            raise destination.failure("start the upload of", self.name, exc) from None
        return str(reply["UploadId"])

    def _upload_part(self, number: int, body: Any) -> None:
        destination = self._destination
        try:
            if destination.stopping:
                raise SinkError(f"part {number} of {self.name} was not uploaded: the run "
                                "stopped")
            upload_id = self._upload_id.result()
            try:
                reply = destination.client.upload_part(
                    Bucket=destination.bucket, Key=self._key, UploadId=upload_id,
                    PartNumber=number, Body=body)
            except Exception as exc:
                raise destination.failure(f"upload part {number} of", self.name, exc) from None
            self._etags[number] = str(reply["ETag"])
        except BaseException:
            with destination._lock:
                self._failed = True
            raise
        finally:
            with destination._lock:
                self._outstanding -= 1
                last = self._closed and self._outstanding == 0
            if last:
                self._finish()

    def _finish(self) -> None:
        """Complete the upload once every part is stored, else abort it."""
        destination = self._destination
        if self._failed or len(self._etags) != self._parts:
            self.abort_upload()
            self.completed.set_exception(SinkError(
                f"{self.name} was not completed: a part of it failed"))
            return
        try:
            destination.client.complete_multipart_upload(
                Bucket=destination.bucket, Key=self._key, UploadId=self._upload_id.result(),
                MultipartUpload={"Parts": [{"PartNumber": number, "ETag": etag}
                                           for number, etag in sorted(self._etags.items())]})
        except Exception as exc:
            failure = destination.failure("complete the upload of", self.name, exc)
            self.abort_upload()
            self.completed.set_exception(failure)
            return
        self._complete = True
        destination.forget(self._index)
        self.completed.set_result(None)

    def abort_upload(self) -> None:
        """Abort the upload, if it was started and is not yet ended; without
        raising (a failure is noted for the run's message)."""
        destination = self._destination
        with destination._lock:
            if self._complete or self._aborted:
                return
            self._aborted = True
        destination.forget(self._index)
        try:
            upload_id = self._upload_id.result()
        except Exception:
            return  # never started
        try:
            destination.client.abort_multipart_upload(
                Bucket=destination.bucket, Key=self._key, UploadId=upload_id)
        except Exception as exc:
            if error_code(exc) not in ("NoSuchUpload", "NoSuchBucket"):
                destination.abort_failures.append(
                    f"could not abort the multipart upload {upload_id} of {self.name}, "
                    f"which keeps its parts until it is aborted: "
                    f"{explain(exc, destination.bucket)}")
            else:
                destination.count_aborted(gone=True)
            return
        destination.count_aborted(gone=False)
