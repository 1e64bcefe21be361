"""Counting the chunks and the distinct chunks of a stream: 16-byte chunk
digests in compact memory, either an exact set or a bounded sample of it for
an estimate, and the counter that cuts a stream into chunks.

A set of ``bytes`` objects costs about 100 bytes per digest; these sets keep
the digests side by side in byte arrays, at most 24 bytes per digest.
Digests are added a batch at a time: each step of a lookup or an insertion
is one ``map`` over the whole batch, so that the interpreter's work per
digest is a few calls into C rather than a Python function.
"""

from __future__ import annotations

import math
import struct
from array import array
from collections import deque
from collections.abc import Iterable, Iterator
from itertools import accumulate, compress, repeat
from operator import and_, floordiv, itemgetter, mod, not_, rshift

import xxhash

DIGEST_SIZE = 16

# Chunks are digested and looked up this many at a time: enough to spread
# the fixed cost of a batch thin, few enough that the batch's temporary
# objects (a few hundred bytes per digest) stay small.
BATCH = 2048

# A bucket is a bytearray of whole digests, searched with one ``find``. Beside
# its digests it costs about 90 bytes (object header, list slot, allocator
# header) and its spare capacity (a sixteenth on average). Linear hashing
# splits one bucket at a time so that buckets hold _PER_BUCKET digests on
# average: 16 * 1.06 + 90 / 64 = 18.4 bytes per digest, measured at 19 to 22
# in resident memory once the allocator's own waste is counted. Fewer digests
# per bucket made lookups no faster, but the waste grew past 24 bytes.
_PER_BUCKET = 64
_MIN_LEVEL = 8  # 256 buckets to begin with
# Buckets split in one pass, at most: a bound on the pass's temporary objects.
_SPLIT_PASS = 256

# The most memory an exact set takes per distinct digest.
BYTES_PER_DIGEST = 24

_RECORD = struct.Struct(f"{DIGEST_SIZE}s")
_FIRST = itemgetter(0)
_JOIN = bytearray().join
# Byte translation tables: 1 where a byte has bit k set (or clear), else 0.
_BIT_SET = [bytes(1 if value >> bit & 1 else 0 for value in range(256)) for bit in range(8)]
_BIT_CLEAR = [bytes(0 if value >> bit & 1 else 1 for value in range(256)) for bit in range(8)]


def _consume(iterator: Iterator[object]) -> None:
    deque(iterator, maxlen=0)


class DigestSet:
    """An exact set of 16-byte digests in buckets chosen by their low bits,
    grown by linear hashing: when buckets hold more than 64 digests on
    average, bucket ``next_split`` splits into itself and bucket
    ``next_split + 2**level``, by bit ``level`` of each digest."""

    def __init__(self) -> None:
        self._buckets = [bytearray() for _ in range(1 << _MIN_LEVEL)]
        self._level = _MIN_LEVEL
        self._next_split = 0
        # The bucket of each value of a digest's low level + 1 bits: itself
        # where that bucket exists, else the one it will split from.
        self._route = array("L", range(1 << _MIN_LEVEL)) * 2
        self.count = 0

    def add(self, digest: bytes) -> bool:
        """Insert `digest`; True if it was not there before."""
        if len(digest) != DIGEST_SIZE:
            raise ValueError(f"a digest is {DIGEST_SIZE} bytes, not {len(digest)}")
        return bool(self.add_all([bytes(digest)]))

    def add_all(self, digests: Iterable[bytes]) -> list[bytes]:
        """Insert every digest (``bytes`` of 16, not checked: ``add`` checks
        one); returns those that were not there before, each once, in no
        particular order."""
        candidates = list(set(digests))
        if not candidates:
            return candidates
        buckets = self._buckets
        homes = self._homes(candidates)
        found = list(map(bytearray.find, map(buckets.__getitem__, homes), candidates))
        # Not a whole digest in its bucket: absent (-1), or a match that
        # straddles two digests.
        missing = list(map(mod, found, repeat(DIGEST_SIZE)))
        new = list(compress(candidates, missing))
        if not new:
            return new
        new_homes = list(compress(homes, missing))
        if max(compress(found, missing)) >= 0:
            present = [_holds(buckets[home], digest) for home, digest in zip(new_homes, new)]
            absent = list(map(not_, present))
            new, new_homes = list(compress(new, absent)), list(compress(new_homes, absent))
        self._insert(new_homes, new)
        self.count += len(new)
        self._split(-(-self.count // _PER_BUCKET) - len(buckets))
        return new

    def __len__(self) -> int:
        return self.count

    def __iter__(self) -> Iterator[bytes]:
        for bucket in self._buckets:
            for at in range(0, len(bucket), DIGEST_SIZE):
                yield bytes(bucket[at:at + DIGEST_SIZE])

    def _homes(self, digests: list[bytes]) -> list[int]:
        """Each digest's bucket, from the low level + 1 bits of the digest
        read as a big-endian number. (The digest's own bits, so that a split
        reads one bit of every digest in a bucket with a strided slice.)"""
        mask = len(self._route) - 1
        return list(map(self._route.__getitem__,
                        map(and_, map(int.from_bytes, digests), repeat(mask))))

    def _insert(self, homes: list[int], digests: list[bytes]) -> None:
        """Append absent digests to their buckets, in place."""
        _consume(map(bytearray.extend, map(self._buckets.__getitem__, homes), digests))

    def _split(self, wanted: int) -> None:
        """Split the next `wanted` buckets, those of one level at a time in
        one pass: a digest whose bit `level` is set moves to the bucket
        2**level above, the others stay."""
        buckets = self._buckets
        while wanted > 0:
            low = 1 << self._level
            first = self._next_split
            count = min(wanted, low - first, _SPLIT_PASS)
            joined = bytes().join(buckets[first:first + count])
            records = list(map(_FIRST, _RECORD.iter_unpack(joined)))
            # The byte holding bit `level` of every digest, turned into 1
            # where that bit is set, else 0; and the other way round.
            column = joined[DIGEST_SIZE - 1 - (self._level >> 3)::DIGEST_SIZE]
            moving = column.translate(_BIT_SET[self._level & 7])
            staying = column.translate(_BIT_CLEAR[self._level & 7])
            ends = list(accumulate(map(floordiv, map(len, buckets[first:first + count]),
                                       repeat(DIGEST_SIZE))))
            spans = list(map(slice, [0, *ends[:-1]], ends))
            # Bucket first + j keeps its staying digests; the moving ones make
            # bucket low + first + j, appended in order.
            buckets[first:first + count] = map(
                _JOIN, map(compress, map(records.__getitem__, spans),
                           map(staying.__getitem__, spans)))
            buckets.extend(map(_JOIN, map(compress, map(records.__getitem__, spans),
                                          map(moving.__getitem__, spans))))
            self._route[low + first:low + first + count] = array(
                "L", range(low + first, low + first + count))
            wanted -= count
            self._next_split += count
            if self._next_split == low:
                self._level += 1
                self._next_split = 0
                self._route = array("L", range(2 * low)) * 2


def _holds(bucket: bytearray, digest: bytes) -> bool:
    """Whether `digest` is one of the whole digests in `bucket`."""
    at = bucket.find(digest)
    while at >= 0:
        if at % DIGEST_SIZE == 0:
            return True
        at = bucket.find(digest, at + 1)
    return False


def chunk_digests(view: memoryview, chunk_size: int) -> list[bytes]:
    """The digest of each `chunk_size` bytes of `view` (a whole number of
    chunks), without a Python-level step per chunk."""
    end = len(view)
    spans = map(slice, range(0, end, chunk_size), range(chunk_size, end + chunk_size, chunk_size))
    return list(map(xxhash.xxh3_128_digest, map(view.__getitem__, spans)))


class DigestSample:
    """Estimates the number of distinct digests in bounded memory.

    Adaptive sampling by digest prefix: the sample keeps exactly the digests
    whose second half starts with `level` zero bits, the level rising by one
    (and the sample halving) whenever it would hold more than `capacity`
    digests. Each distinct digest is kept with probability p = 2^-level, so
    the estimate is the sample's size / p. It is exact while there are at
    most `capacity` distinct digests; beyond that its relative standard
    error is sqrt((1 - p) / (estimate * p)), about 1 / sqrt(sample size),
    and no more than sqrt(2 / capacity) while the sample stays at least half
    full, as it does but for capacities of a few digests, where a halving
    may even leave it empty (an infinite error). Memory: at most 24 bytes
    per digest of `capacity` (and of one batch beyond it), twice that while
    the sample halves.
    """

    def __init__(self, capacity: int) -> None:
        if capacity < 1:
            raise ValueError(f"a sample holds at least 1 digest, not {capacity}")
        self.capacity = capacity
        self.level = 0
        self._sample = DigestSet()

    def add(self, digest: bytes) -> None:
        self.add_all([digest])

    def add_all(self, digests: list[bytes]) -> None:
        """Offer every digest to the sample. The level only rises, and a
        digest kept at a level is kept at every lower one, so offering a batch
        and then halving keeps what offering one digest at a time keeps."""
        self._sample.add_all(self._kept(digests))
        while len(self._sample) > self.capacity:
            self._halve()

    @property
    def exact(self) -> bool:
        return self.level == 0

    def estimate(self) -> int:
        return len(self._sample) << self.level

    def relative_error(self) -> float:
        """The relative standard error of `estimate` (0.0 while exact)."""
        if self.exact:
            return 0.0
        if not self._sample:  # a tiny sample that halved to nothing tells nothing
            return math.inf
        return math.sqrt(((1 << self.level) - 1) / self.estimate())

    def _kept(self, digests: list[bytes]) -> list[bytes]:
        if not self.level:
            return digests
        second_halves = map(bytes.__getitem__, digests, repeat(slice(8, 16)))
        prefixes = map(rshift, map(int.from_bytes, second_halves), repeat(64 - self.level))
        return list(compress(digests, map(not_, prefixes)))

    def _halve(self) -> None:
        # Rebuilding leaves no holes behind, unlike removing in place.
        self.level += 1
        kept = DigestSet()
        batch: list[bytes] = []
        for digest in self._sample:
            batch.append(digest)
            if len(batch) == BATCH:
                kept.add_all(self._kept(batch))
                batch.clear()
        kept.add_all(self._kept(batch))
        self._sample = kept


class ChunkCounter:
    """Counts the chunks and the distinct chunks of a stream fed in pieces of
    any length; chunks lie at fixed offsets whatever the pieces are, and a
    short last chunk counts as one. With an exact set it can also hand back
    each chunk's first occurrence (for compressing the deduplicated stream)."""

    def __init__(self, chunk_size: int, distinct: DigestSet | DigestSample,
                 keep_unique: bool) -> None:
        self.chunk_size = chunk_size
        self.distinct = distinct
        self.keep_unique = keep_unique and isinstance(distinct, DigestSet)
        self.chunks = 0
        self.unique_size = 0  # counted by exact sets only
        # The chunk that the last piece left unfinished.
        self._partial = xxhash.xxh3_128()
        self._partial_parts: list[memoryview] = []
        self._partial_length = 0

    def feed(self, piece: memoryview) -> list[memoryview]:
        """Count the chunks that `piece` completes; returns the parts of those
        seen for the first time (when keeping them)."""
        unique: list[memoryview] = []
        size = self.chunk_size
        if self._partial_length:
            head = piece[:size - self._partial_length]
            self._extend_partial(head)
            piece = piece[len(head):]
            if self._partial_length == size:
                self._close_partial(unique)
        whole = len(piece) - len(piece) % size
        step = BATCH * size
        for start in range(0, whole, step):
            batch = piece[start:min(start + step, whole)]
            digests = chunk_digests(batch, size)
            if isinstance(self.distinct, DigestSet):
                self._count_exactly(self.distinct, digests, batch, unique)
            else:
                self.distinct.add_all(digests)
        self.chunks += whole // size
        if whole < len(piece):
            self._extend_partial(piece[whole:])
        return unique

    def finish(self) -> list[memoryview]:
        """Count a last, short chunk; returns it if it was new (and kept)."""
        unique: list[memoryview] = []
        if self._partial_length:
            self._close_partial(unique)
        return unique

    def _count_exactly(self, digests: DigestSet, batch_digests: list[bytes],
                       batch: memoryview, unique: list[memoryview]) -> None:
        new = digests.add_all(batch_digests)
        size = self.chunk_size
        self.unique_size += len(new) * size
        if not self.keep_unique or not new:
            return
        if len(new) == len(batch_digests):  # every chunk new and distinct
            unique.append(batch)
            return
        # Each new digest's first chunk, in order, handed back in runs of
        # adjacent chunks. Read backwards, later chunks give way to earlier.
        count = len(batch_digests)
        first = dict(zip(reversed(batch_digests), range(count - 1, -1, -1)))
        run_start = run_end = -1
        for index in sorted(map(first.__getitem__, new)):
            if index != run_end:
                if run_end >= 0:
                    unique.append(batch[run_start * size:run_end * size])
                run_start = index
            run_end = index + 1
        unique.append(batch[run_start * size:run_end * size])

    def _extend_partial(self, part: memoryview) -> None:
        self._partial.update(part)
        self._partial_length += len(part)
        if self.keep_unique:
            self._partial_parts.append(part)

    def _close_partial(self, unique: list[memoryview]) -> None:
        digest = self._partial.digest()
        if isinstance(self.distinct, DigestSet):
            if self.distinct.add(digest):
                self.unique_size += self._partial_length
                unique.extend(self._partial_parts)
        else:
            self.distinct.add(digest)
        self.chunks += 1
        self._partial.reset()
        self._partial_parts = []
        self._partial_length = 0
