"""Compression ratios of data cut into aligned records, each compressed on its
own with the codec's one-shot call, as a storage system compresses pages,
chunks or file-system records: ratio = bytes in / bytes out over all records.

    record_ratio(data, 4096, "zstd", level=1)
    record_ratio(data, 4096, "zstd", level=3, dedup=True)

Codecs: "zstd" (zstandard, default level 3), "lz4" (lz4.block at its
default, without the size prefix) and "zlib" (default level 6).
"""

import hashlib
import zlib

RECORD_CODECS = ("zstd", "lz4", "zlib")


def one_shot(codec, level=None):
    """The codec's one-shot compress function for one record."""
    if codec == "zstd":
        import zstandard
        return zstandard.ZstdCompressor(level=3 if level is None else level).compress
    if codec == "lz4":
        import lz4.block
        return lambda record: lz4.block.compress(record, store_size=False)
    if codec == "zlib":
        level = 6 if level is None else level
        return lambda record: zlib.compress(record, level)
    raise ValueError(f"unknown codec {codec!r}: choose from {', '.join(RECORD_CODECS)}")


def record_ratio(data, record_size, codec, level=None, dedup=False):
    """Total size over the summed compressed sizes of the aligned
    `record_size` pieces of `data` (the last may be short). With `dedup`,
    a piece equal to an earlier one costs nothing, as on a store that
    deduplicates records before compressing them."""
    if record_size <= 0:
        raise ValueError(f"record_size must be positive, not {record_size}")
    compress = one_shot(codec, level)
    view = memoryview(data).cast("B")
    seen = set()
    out = 0
    for start in range(0, len(view), record_size):
        record = view[start:start + record_size]
        if dedup:
            digest = hashlib.sha256(record).digest()
            if digest in seen:
                continue
            seen.add(digest)
        out += len(compress(record))
    return len(view) / out if out else 1.0
