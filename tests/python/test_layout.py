"""The layout of a data set: sizes that add up, files on page boundaries,
names that sort in stream order, offsets and lookups that agree, and shares
of whole files that cover the data set; and how the writer cuts files into
the pieces of its buffers."""

import pytest
from hypothesis import given, settings, strategies as st

from vorn_py.layout import PAGE, DatasetLayout
from vorn_py.writer import plan_pieces

# Reproducible and free of timing: the same examples every run, no deadline.
PROPERTIES = settings(derandomize=True, database=None, deadline=None, max_examples=300)


def sizes(layout):
    return [layout.size_of(index) for index in range(layout.count)]


class TestSizes:
    @pytest.mark.parametrize("size, files, expected", [
        # Whole pages, the first files a page larger, the last with the rest.
        (10 * PAGE + 5, 3, [4 * PAGE, 3 * PAGE, 3 * PAGE + 5]),
        (6 * PAGE, 3, [2 * PAGE] * 3),
        (5 * PAGE + 1, 5, [PAGE] * 4 + [PAGE + 1]),
        # Below a page per file: bytes, shared the same way.
        (10, 3, [4, 3, 3]),
        (4 * PAGE + 3, 5, [3278, 3278, 3277, 3277, 3277]),
        (7, 7, [1] * 7),
        (5, 1, [5]),
    ])
    def test_files_share_the_size(self, size, files, expected):
        assert sizes(DatasetLayout.plan(size, files=files)) == expected

    @pytest.mark.parametrize("size, file_size, expected", [
        (10000, 4096, [4096, 4096, 1808]),
        (8192, 4096, [4096, 4096]),
        (1, 4096, [1]),
        (0, 4096, []),
    ])
    def test_files_of_one_size_and_a_shorter_last(self, size, file_size, expected):
        layout = DatasetLayout.plan(size, file_size=file_size)
        assert (sizes(layout), layout.count) == (expected, len(expected))

    @PROPERTIES
    @given(st.integers(1, 1 << 40), st.integers(1, 5000))
    def test_offsets_sizes_and_lookups_agree(self, size, files):
        files = min(files, size)
        layout = DatasetLayout.plan(size, files=files)
        assert layout.offset_of(0) == 0 and layout.offset_of(files) == size
        unit = PAGE if size >= files * PAGE else 1
        base = size // unit // files
        for index in {0, 1, files // 2, files - 2, files - 1}:
            if not 0 <= index < files:
                continue
            start, length = layout.offset_of(index), layout.size_of(index)
            assert layout.offset_of(index + 1) == start + length
            assert start % unit == 0
            assert layout.index_at(start) == index
            assert layout.index_at(start + length - 1) == index
            # Whole units, one more for the first files; the rest in the last.
            rest = size % unit if index == files - 1 else 0
            assert length - rest in (base * unit, (base + 1) * unit)

    @PROPERTIES
    @given(st.integers(0, 1 << 40), st.integers(1, 1 << 30))
    def test_file_size_offsets_and_lookups(self, size, file_size):
        layout = DatasetLayout.plan(size, file_size=file_size)
        assert layout.count == -(-size // file_size)
        if layout.count:
            last = layout.count - 1
            assert layout.offset_of(last) + layout.size_of(last) == size
            assert 1 <= layout.size_of(last) <= file_size
            assert layout.index_at(size - 1) == last

    def test_bad_requests(self):
        for kwargs, error, message in [
            (dict(size=10, files=11), ValueError, "11 files need at least 11 bytes"),
            (dict(size=0, files=1), ValueError, "1 files need at least 1 bytes"),
            (dict(size=10, files=0), ValueError, "at least one file"),
            (dict(size=10, files=2, file_size=5), ValueError, "not both"),
            (dict(size=10, file_size=0), ValueError, "file_size must be at least 1"),
            (dict(size=-1, files=1), ValueError, "size must be at least 0"),
            (dict(size=10, files=True), TypeError, "count must be an integer"),
            (dict(size=10.0, files=1), TypeError, "size must be an integer"),
        ]:
            with pytest.raises(error, match=message):
                DatasetLayout.plan(**kwargs)
        with pytest.raises(ValueError, match="make 3 files, not 2"):
            DatasetLayout(10000, 2, file_size=4096)
        with pytest.raises(IndexError):
            DatasetLayout.plan(10, files=2).size_of(2)


class TestNames:
    def test_zero_padded_in_stream_order(self):
        layout = DatasetLayout.plan(11 * PAGE, files=11)
        paths = [entry.path for entry in layout]
        assert paths[:3] == ["f00", "f01", "f02"] and paths[-1] == "f10"
        assert sorted(paths) == paths
        assert [e.offset for e in layout] == [i * PAGE for i in range(11)]

    def test_numbered_subdirectories(self):
        layout = DatasetLayout.plan(25 * PAGE, files=25, files_per_dir=10)
        paths = [entry.path for entry in layout]
        assert paths[0] == "d0/f00" and paths[9] == "d0/f09" and paths[10] == "d1/f10"
        assert paths[-1] == "d2/f24"
        assert sorted(paths) == paths
        assert layout.directory_of(24) == "d2"
        many = DatasetLayout.plan(10**6, files=10**6, files_per_dir=7)
        names = [many.path_of(i) for i in (0, 6, 7, 999999)]
        assert names == ["d000000/f000000", "d000000/f000006", "d000001/f000007",
                         "d142857/f999999"]
        assert sorted(names) == names

    def test_index_of_path(self):
        layout = DatasetLayout.plan(25 * PAGE, files=25, files_per_dir=10)
        assert [layout.index_of_path(p) for p in ("d0/f00", "d1/f10", "d2/f24")] == [0, 10, 24]
        for stranger in ("d0/f0", "d1/f00", "f00", "d2/f25", "d0/f00/x", "notes.txt", ""):
            assert layout.index_of_path(stranger) is None, stranger
        flat = DatasetLayout.plan(3, files=3)
        assert flat.index_of_path("f2") == 2 and flat.index_of_path("d0/f2") is None


class TestShares:
    @PROPERTIES
    @given(st.integers(1, 1 << 36), st.integers(1, 3000), st.integers(1, 64),
           st.sampled_from([1, PAGE, 8 << 20, 12 << 20]))
    def test_shares_are_whole_files_that_cover_the_data_set(self, size, files, parts, granule):
        layout = DatasetLayout.plan(size, files=min(files, size))
        shares = layout.split(parts, granule)
        assert len(shares) == parts
        assert shares[0].first == 0 and shares[-1].stop == layout.count
        for before, after in zip(shares, shares[1:]):
            assert before.stop == after.first
        assert sum(share.size for share in shares) == size
        assert sum(len(share) for share in shares) == layout.count
        for share in shares:
            assert share.offset == layout.offset_of(share.first)

    @pytest.mark.parametrize("parts", [2, 3, 7])
    def test_cuts_fall_on_whole_groups_where_the_files_allow(self, parts):
        group = 8 << 20  # dedup 2 x 4 MiB
        layout = DatasetLayout.plan(10000 * 65536, files=10000)
        shares = layout.split(parts, group)
        for share in shares[1:]:
            assert share.offset % group == 0
            # No further from the even split than half a group.
            ideal = shares.index(share) * layout.size // parts
            assert abs(share.offset - ideal) <= group // 2

    def test_a_few_large_files_are_not_given_to_one_share(self):
        """Three files of 341 MiB: no boundary inside the data set is a
        multiple of 16 MiB, and the ends are half the data set away from the
        even split: the cut is the nearest file boundary."""
        layout = DatasetLayout.plan(1 << 30, files=3)
        assert [len(share) for share in layout.split(2, 16 << 20)] == [1, 2]
        # Less than a granule in all: one share takes it whole.
        small = DatasetLayout.plan(8 << 20, files=4)
        assert [len(share) for share in small.split(2, 16 << 20)] == [0, 4]

    def test_more_shares_than_files(self):
        layout = DatasetLayout.plan(3 * PAGE, files=3)
        # Cuts at the file boundaries nearest to 0.6, 1.2, 1.8 and 2.4 pages.
        assert [len(share) for share in layout.split(5)] == [1, 0, 1, 0, 1]

    def test_share_entries_keep_the_data_set_names(self):
        layout = DatasetLayout.plan(10 * PAGE, files=10, files_per_dir=4)
        share = layout.part(3, 6)
        assert [e.path for e in share] == ["d0/f3", "d1/f4", "d1/f5"]
        assert (share.offset, share.size, len(share)) == (3 * PAGE, 3 * PAGE, 3)
        assert share.entry(0).index == 3 and share.size_of(2) == PAGE
        with pytest.raises(IndexError):
            share.entry(3)
        with pytest.raises(IndexError):
            layout.part(4, 3)


class TestPieces:
    @PROPERTIES
    @given(st.lists(st.integers(0, 40000), min_size=1, max_size=40),
           st.sampled_from([1, 512, 4096]), st.integers(1, 8))
    def test_pieces_cover_each_file_in_order_and_keep_to_the_alignment(
            self, file_sizes, alignment, capacity_units):
        class Files:
            def __len__(self):
                return len(file_sizes)

            def size_of(self, index):
                return file_sizes[index]

        capacity = capacity_units * alignment * (1 if alignment > 1 else 4096)
        seen = {index: 0 for index in range(len(file_sizes))}
        buffers = list(plan_pieces(Files(), capacity, alignment))
        order = []
        for pieces in buffers:
            assert pieces, "no buffer is empty"
            end = 0
            for piece in pieces:
                assert piece.start >= end and piece.start + piece.length <= capacity
                assert piece.start % alignment == 0
                assert piece.offset == seen[piece.index]
                seen[piece.index] += piece.length
                assert piece.last == (seen[piece.index] == file_sizes[piece.index])
                if not piece.last:
                    assert piece.length % alignment == 0 and piece.length > 0
                end = piece.start + piece.length
                order.append(piece.index)
        assert seen == dict(enumerate(file_sizes))
        assert order == sorted(order)  # files in stream order
        # Nothing wasted beyond the alignment: a buffer is only left for a
        # file that would not start in it.
        assert len(buffers) <= sum(file_sizes) // capacity + len(file_sizes) + 1

    def test_small_files_share_a_buffer_and_large_ones_span_buffers(self):
        class Files:
            def __init__(self, sizes):
                self.sizes = sizes

            def __len__(self):
                return len(self.sizes)

            def size_of(self, index):
                return self.sizes[index]

        buffers = list(plan_pieces(Files([1000] * 5), 8192, 1))
        assert len(buffers) == 1 and [p.start for p in buffers[0]] == [0, 1000, 2000, 3000, 4000]
        buffers = list(plan_pieces(Files([1000] * 5), 8192, 4096))
        assert [[p.start for p in b] for b in buffers] == [[0, 4096], [0, 4096], [0]]
        buffers = list(plan_pieces(Files([20000]), 8192, 4096))
        assert [(p.length, p.offset, p.last) for b in buffers for p in b] == [
            (8192, 0, False), (8192, 8192, False), (3616, 16384, True)]
        with pytest.raises(ValueError):
            list(plan_pieces(Files([1]), 1000, 512))
