"""Counting the chunks and the distinct chunks of a stream: 16-byte chunk
digests in compact memory, either an exact set or a bounded sample of it for
an estimate, and the counter that cuts a stream into chunks.

A set of ``bytes`` objects costs about 120 bytes per digest; these sets keep
the digests side by side in byte arrays, at most 24 bytes per digest.
"""

from __future__ import annotations

import math
from collections.abc import Iterator

import xxhash

DIGEST_SIZE = 16

# A digest's first byte picks its shard, bytes 1 to 7 its bucket within the
# shard, and bytes 8 to 15 decide whether a sample keeps it: three
# independent parts of a uniformly distributed digest.
_SHARDS = 256
_SLOTS = 16                          # digests per bucket
_BUCKET_BYTES = _SLOTS * DIGEST_SIZE
_MIN_BUCKETS = 4
# A shard grows by a third once it is 92% full, so every shard stays between
# 69% and 92% full: 16 / 0.69 = 23.2 bytes per digest at worst, plus one
# byte of fill count per bucket of 16. Growing one shard at a time keeps the
# moment of growth, when old and new arrays coexist, to 1/256 of the set.
_MAX_LOAD = 0.92
_GROWTH = 4 / 3

# Worst-case bytes per distinct digest once every shard has grown past its
# first size; FIXED_BYTES is the memory of an empty set.
BYTES_PER_DIGEST = 24
FIXED_BYTES = _SHARDS * _MIN_BUCKETS * (_BUCKET_BYTES + 1)


def _home_bucket(digest: bytes | memoryview, buckets: int) -> int:
    return int.from_bytes(digest[1:8], "little") % buckets


class DigestSet:
    """An exact set of 16-byte digests (open addressing, linear probing over
    buckets of 16 slots; a bucket's used slots are a prefix, found with one
    ``bytearray.find``)."""

    def __init__(self) -> None:
        self._tables = [bytearray(_MIN_BUCKETS * _BUCKET_BYTES) for _ in range(_SHARDS)]
        self._fills = [bytearray(_MIN_BUCKETS) for _ in range(_SHARDS)]
        self._counts = [0] * _SHARDS
        self._limits = [int(_MIN_BUCKETS * _SLOTS * _MAX_LOAD)] * _SHARDS
        self.count = 0

    def add(self, digest: bytes) -> bool:
        """Insert `digest`; True if it was not there before."""
        if len(digest) != DIGEST_SIZE:
            raise ValueError(f"a digest is {DIGEST_SIZE} bytes, not {len(digest)}")
        shard = digest[0]
        table = self._tables[shard]
        fill = self._fills[shard]
        buckets = len(fill)
        bucket = _home_bucket(digest, buckets)
        while True:
            start = bucket * _BUCKET_BYTES
            used = fill[bucket]
            end = start + used * DIGEST_SIZE
            found = table.find(digest, start, end)
            # A match that straddles two digests is not a match.
            while found >= 0 and (found - start) % DIGEST_SIZE:
                found = table.find(digest, found + 1, end)
            if found >= 0:
                return False
            if used < _SLOTS:
                table[end:end + DIGEST_SIZE] = digest
                fill[bucket] = used + 1
                break
            bucket = bucket + 1 if bucket + 1 < buckets else 0
        self.count += 1
        self._counts[shard] += 1
        if self._counts[shard] > self._limits[shard]:
            self._grow(shard)
        return True

    def __len__(self) -> int:
        return self.count

    def __iter__(self) -> Iterator[bytes]:
        for table, fill in zip(self._tables, self._fills):
            for bucket, used in enumerate(fill):
                start = bucket * _BUCKET_BYTES
                for at in range(start, start + used * DIGEST_SIZE, DIGEST_SIZE):
                    yield bytes(table[at:at + DIGEST_SIZE])

    @property
    def nbytes(self) -> int:
        """Bytes held in the digest and fill arrays."""
        return sum(len(t) + len(f) for t, f in zip(self._tables, self._fills))

    def _grow(self, shard: int) -> None:
        old_table, old_fill = self._tables[shard], self._fills[shard]
        buckets = int(len(old_fill) * _GROWTH) + 1
        table = bytearray(buckets * _BUCKET_BYTES)
        fill = bytearray(buckets)
        with memoryview(old_table) as view:
            for old_bucket, used in enumerate(old_fill):
                start = old_bucket * _BUCKET_BYTES
                for at in range(start, start + used * DIGEST_SIZE, DIGEST_SIZE):
                    digest = view[at:at + DIGEST_SIZE]
                    # Every digest is distinct: only a free slot is needed.
                    bucket = _home_bucket(digest, buckets)
                    while fill[bucket] == _SLOTS:
                        bucket = bucket + 1 if bucket + 1 < buckets else 0
                    to = bucket * _BUCKET_BYTES + fill[bucket] * DIGEST_SIZE
                    table[to:to + DIGEST_SIZE] = digest
                    fill[bucket] += 1
        self._tables[shard], self._fills[shard] = table, fill
        self._limits[shard] = int(buckets * _SLOTS * _MAX_LOAD)


class DigestSample:
    """Estimates the number of distinct digests in bounded memory.

    Adaptive sampling by digest prefix: the sample keeps exactly the digests
    whose second half starts with `level` zero bits, the level rising by one
    (and the sample halving) whenever it would hold more than `capacity`
    digests. Each distinct digest is kept with probability p = 2^-level, so
    the estimate is the sample's size / p. It is exact while there are at
    most `capacity` distinct digests; beyond that its relative standard
    error is sqrt((1 - p) / (estimate * p)), about 1 / sqrt(sample size),
    and never more than sqrt(2 / capacity) since the sample stays at least
    half full. Memory: at most 24 bytes per digest of `capacity`, twice that
    while the sample halves.
    """

    def __init__(self, capacity: int) -> None:
        if capacity < 1:
            raise ValueError(f"a sample holds at least 1 digest, not {capacity}")
        self.capacity = capacity
        self.level = 0
        self._sample = DigestSet()

    def add(self, digest: bytes) -> None:
        if self.level and int.from_bytes(digest[8:16], "big") >> (64 - self.level):
            return
        if self._sample.add(digest) and len(self._sample) > self.capacity:
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
        return math.sqrt(((1 << self.level) - 1) / self.estimate())

    def _halve(self) -> None:
        # Rebuilding leaves no holes behind, unlike removing in place.
        self.level += 1
        shift = 64 - self.level
        kept = DigestSet()
        for digest in self._sample:
            if not int.from_bytes(digest[8:16], "big") >> shift:
                kept.add(digest)
        self._sample = kept
        if len(kept) > self.capacity:  # every digest moved up a level: again
            self._halve()


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
        if isinstance(self.distinct, DigestSet):
            self._count_exactly(self.distinct, piece[:whole], unique)
        else:
            add = self.distinct.add
            for start in range(0, whole, size):
                add(xxhash.xxh3_128_digest(piece[start:start + size]))
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

    def _count_exactly(self, digests: DigestSet, whole_chunks: memoryview,
                       unique: list[memoryview]) -> None:
        size = self.chunk_size
        add = digests.add
        run = -1  # start of the current run of new chunks, handed back as one view
        for start in range(0, len(whole_chunks), size):
            if add(xxhash.xxh3_128_digest(whole_chunks[start:start + size])):
                self.unique_size += size
                if run < 0:
                    run = start
            elif run >= 0:
                if self.keep_unique:
                    unique.append(whole_chunks[run:start])
                run = -1
        if run >= 0 and self.keep_unique:
            unique.append(whole_chunks[run:])

    def _extend_partial(self, part: memoryview) -> None:
        self._partial.update(part)
        self._partial_length += len(part)
        if self.keep_unique:
            self._partial_parts.append(part)

    def _close_partial(self, unique: list[memoryview]) -> None:
        if self.distinct.add(self._partial.digest()) and isinstance(self.distinct, DigestSet):
            self.unique_size += self._partial_length
            unique.extend(self._partial_parts)
        self.chunks += 1
        self._partial.reset()
        self._partial_parts = []
        self._partial_length = 0
