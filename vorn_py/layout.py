"""The files of a data set: one generated stream cut into consecutive files,
their names, sizes and offsets in the stream, and ranges of whole files that
separate writers can each take.

Sizes. ``files=N``: the files share SIZE in whole 4 KiB pages, the first
(pages mod N) files one page larger than the rest, and the last file also
takes the SIZE mod 4 KiB bytes that do not fill a page; every file then
starts at a page boundary of the stream, so a store that compresses or
deduplicates each file's own 4 KiB records sees the stream's pages. Below
one page per file, the files share SIZE byte by byte the same way.
``file_size=S``: every file has S bytes but the last, which has the rest.

Names sort in stream order: ``f<index>``, zero-padded to the width of the
last index, or with ``files_per_dir=K`` ``d<index // K>/f<index>``.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, field

PAGE = 4096
# Cut points between shares are looked for among this many multiples of the
# granule on either side of the even split, then among any file boundaries.
_SPLIT_SEARCH = 4096
_PATH = re.compile(r"(?:d(\d+)/)?f(\d+)")


@dataclass(frozen=True)
class FileEntry:
    """One file of a data set."""

    index: int   # its place in the data set, from 0
    path: str    # relative to the data set's root, "/"-separated
    offset: int  # of its first byte in the stream
    size: int


@dataclass(frozen=True)
class DatasetLayout:
    """``count`` files holding the ``size`` bytes of one stream; with
    ``file_size`` set (non-zero) every file has that size but the last,
    otherwise the files share ``size`` evenly (see the module's notes).
    ``files_per_dir`` (non-zero) puts that many files in each numbered
    subdirectory. Build one with ``DatasetLayout.plan``."""

    size: int
    count: int
    file_size: int = 0
    files_per_dir: int = 0
    # Derived: the unit files are measured in, whole units per file, files
    # with one unit more, bytes that make up no whole unit; name widths.
    _unit: int = field(init=False, repr=False, compare=False, default=1)
    _base: int = field(init=False, repr=False, compare=False, default=0)
    _extra: int = field(init=False, repr=False, compare=False, default=0)
    _tail: int = field(init=False, repr=False, compare=False, default=0)
    _width: int = field(init=False, repr=False, compare=False, default=1)
    _dir_width: int = field(init=False, repr=False, compare=False, default=1)

    @classmethod
    def plan(cls, size: int, files: int | None = None, file_size: int | None = None,
             files_per_dir: int | None = None) -> DatasetLayout:
        """The layout of ``size`` bytes in ``files`` files or in files of
        ``file_size`` bytes (one file when neither is given)."""
        if files is not None and file_size is not None:
            raise ValueError("give the number of files or the file size, not both")
        if file_size is not None:
            _check_whole("file_size", file_size, 1)
            count = -(-_check_whole("size", size, 0) // file_size)
            return cls(size, count, file_size, files_per_dir or 0)
        return cls(size, 1 if files is None else files, 0, files_per_dir or 0)

    def __post_init__(self) -> None:
        size = _check_whole("size", self.size, 0)
        count = _check_whole("count", self.count, 0)
        _check_whole("file_size", self.file_size, 0)
        _check_whole("files_per_dir", self.files_per_dir, 0)
        if self.file_size:
            expected = -(-size // self.file_size)
            if count != expected:
                raise ValueError(f"{size} bytes in files of {self.file_size} make {expected} "
                                 f"files, not {count}")
        else:
            if count < 1:
                raise ValueError("a data set needs at least one file")
            if count > size:
                raise ValueError(f"{count} files need at least {count} bytes (one each), "
                                 f"but the size is {size}")
            unit = PAGE if size // PAGE >= count else 1
            units = size // unit
            base, extra = divmod(units, count)
            for name, value in (("_unit", unit), ("_base", base), ("_extra", extra),
                                ("_tail", size - units * unit)):
                object.__setattr__(self, name, value)
        object.__setattr__(self, "_width", len(str(max(count - 1, 0))))
        directories = -(-count // self.files_per_dir) if self.files_per_dir else 1
        object.__setattr__(self, "_dir_width", len(str(max(directories - 1, 0))))

    # ---------------------------------------------------------------- files

    def __len__(self) -> int:
        return self.count

    def __iter__(self) -> Iterator[FileEntry]:
        return (self.entry(index) for index in range(self.count))

    def size_of(self, index: int) -> int:
        self._check_index(index)
        if self.file_size:
            return min(self.file_size, self.size - index * self.file_size)
        units = self._base + (1 if index < self._extra else 0)
        return units * self._unit + (self._tail if index == self.count - 1 else 0)

    def offset_of(self, index: int) -> int:
        """Where file ``index`` starts in the stream; ``count`` gives the end."""
        if not 0 <= index <= self.count:
            raise IndexError(f"file {index} of a data set of {self.count} files")
        if index == self.count:
            return self.size
        if self.file_size:
            return index * self.file_size
        return (index * self._base + min(index, self._extra)) * self._unit

    def index_at(self, offset: int) -> int:
        """The file that holds the byte at ``offset`` of the stream."""
        if not 0 <= offset < self.size:
            raise IndexError(f"offset {offset} of a data set of {self.size} bytes")
        if self.file_size:
            return offset // self.file_size
        units = offset // self._unit
        larger = self._extra * (self._base + 1)
        if units < larger:
            return units // (self._base + 1)
        return min(self._extra + (units - larger) // self._base, self.count - 1)

    def is_boundary(self, offset: int) -> bool:
        """Whether a file starts at ``offset`` (or it is the end)."""
        if offset in (0, self.size):
            return True
        return 0 < offset < self.size and self.offset_of(self.index_at(offset)) == offset

    def path_of(self, index: int) -> str:
        self._check_index(index)
        name = f"f{index:0{self._width}d}"
        if not self.files_per_dir:
            return name
        return f"d{index // self.files_per_dir:0{self._dir_width}d}/{name}"

    def directory_of(self, index: int) -> str:
        """The subdirectory holding file ``index`` ("" for the root)."""
        path = self.path_of(index)
        return path.rpartition("/")[0]

    def index_of_path(self, path: str) -> int | None:
        """The index of the file with this relative path, or None."""
        match = _PATH.fullmatch(path)
        if match is None:
            return None
        index = int(match.group(2))
        return index if index < self.count and self.path_of(index) == path else None

    def entry(self, index: int) -> FileEntry:
        return FileEntry(index, self.path_of(index), self.offset_of(index), self.size_of(index))

    # --------------------------------------------------------------- shares

    def part(self, first: int, stop: int) -> DatasetPart:
        """Files ``first`` to ``stop`` - 1: a contiguous range of the stream."""
        if not 0 <= first <= stop <= self.count:
            raise IndexError(f"files {first} to {stop} of a data set of {self.count} files")
        return DatasetPart(self, first, stop)

    def whole(self) -> DatasetPart:
        return DatasetPart(self, 0, self.count)

    def split(self, parts: int, granule: int = 1) -> list[DatasetPart]:
        """``parts`` contiguous ranges of whole files covering the data set,
        as even in bytes as file boundaries allow. Each cut is the file
        boundary that is a multiple of ``granule`` nearest to the even split,
        no further from it than a granule or half an even share, whichever
        is more (and 4096 granules at most), or failing that the nearest file
        boundary; so a few large files are not all given to one range for
        the sake of the granule. Ranges may be empty when there are fewer
        files than parts, or less than a granule each."""
        _check_whole("parts", parts, 1)
        _check_whole("granule", granule, 1)
        reach = max(granule, self.size // parts // 2)
        cuts = [0]
        for k in range(1, parts):
            ideal = k * self.size // parts
            cut = self._aligned_cut(ideal, granule, self.offset_of(cuts[-1]), reach)
            if cut is None:
                cut = self._nearest_cut(ideal)
            cuts.append(max(cut, cuts[-1]))
        cuts.append(self.count)
        return [DatasetPart(self, first, stop) for first, stop in zip(cuts, cuts[1:])]

    def _aligned_cut(self, ideal: int, granule: int, floor: int, reach: int) -> int | None:
        if granule == 1:
            return None
        nearest = (ideal + granule // 2) // granule * granule
        for step in range(min(_SPLIT_SEARCH, reach // granule + 1) + 1):
            for offset in (nearest + step * granule, nearest - step * granule):
                if (floor <= offset <= self.size and abs(offset - ideal) <= reach
                        and self.is_boundary(offset)):
                    return self.count if offset == self.size else self.index_at(offset)
        return None

    def _nearest_cut(self, ideal: int) -> int:
        if ideal >= self.size:
            return self.count
        index = self.index_at(ideal)
        before, after = self.offset_of(index), self.offset_of(index + 1)
        return index if ideal - before <= after - ideal else index + 1

    def _check_index(self, index: int) -> None:
        if not 0 <= index < self.count:
            raise IndexError(f"file {index} of a data set of {self.count} files")


@dataclass(frozen=True)
class DatasetPart:
    """Files ``first`` to ``stop`` - 1 of a layout: one writer's share. Its
    indexes run from 0; entries keep the data set's names and offsets."""

    layout: DatasetLayout
    first: int
    stop: int

    def __len__(self) -> int:
        return self.stop - self.first

    def __iter__(self) -> Iterator[FileEntry]:
        return (self.layout.entry(index) for index in range(self.first, self.stop))

    @property
    def offset(self) -> int:
        """Where the share starts in the data set's stream."""
        return self.layout.offset_of(self.first)

    @property
    def size(self) -> int:
        return self.layout.offset_of(self.stop) - self.offset

    def size_of(self, index: int) -> int:
        return self.layout.size_of(self._global(index))

    def entry(self, index: int) -> FileEntry:
        return self.layout.entry(self._global(index))

    def path_of(self, index: int) -> str:
        return self.layout.path_of(self._global(index))

    def _global(self, index: int) -> int:
        if not 0 <= index < len(self):
            raise IndexError(f"file {index} of a share of {len(self)} files")
        return self.first + index


def _check_whole(name: str, value: int, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value
