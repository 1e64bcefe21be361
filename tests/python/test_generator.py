"""Generator: the stream it delivers (independent of read sizes and thread
counts, replayable, deduplicated by block), its positions and lengths from
start to end, and its edge cases."""

import hashlib
import multiprocessing
import subprocess

import numpy as np
import pytest

from _vorncore import BytesView, Generator
from helpers import BLOCK, SANITIZED, blocks_of, run_python


def read_all(gen, piece):
    """The whole remaining stream read through a buffer of `piece` bytes."""
    buf = bytearray(piece)
    out = bytearray()
    while True:
        n = gen.fill_chunk(buf)
        if n == 0:
            return bytes(out)
        out += buf[:n]


def stream_digest(gen, sizes):
    """SHA-256 of the stream read with a repeating list of read sizes."""
    h = hashlib.sha256()
    total = 0
    i = 0
    while True:
        size = sizes[i % len(sizes)]
        i += 1
        buf = bytearray(size)
        n = gen.fill_chunk(buf)
        if n == 0 and size:
            return h.hexdigest(), total
        h.update(memoryview(buf)[:n])
        total += n


class TestStream:
    def test_read_sizes_and_thread_counts_do_not_change_the_bytes(self):
        gen = Generator(10 * BLOCK + 4321, dedup_ratio=2.0, compress_ratio=3.0, max_threads=2)
        reference, total = stream_digest(gen, [10 * BLOCK + 4321])
        assert total == 10 * BLOCK + 4321
        patterns = [[8192], [32 << 20], [BLOCK], [3 * BLOCK // 2], [1, BLOCK - 1, BLOCK + 1, 777]]
        for pattern in patterns:
            gen.reset()
            assert stream_digest(gen, pattern) == (reference, total), pattern

    def test_streams_with_different_thread_counts_share_the_layout(self):
        # Each generator has its own entropy; what must agree is the layout.
        for threads in (0, 1, 2, 8, None):
            gen = Generator(5 * BLOCK, dedup_ratio=2.0, max_threads=threads)
            blocks = blocks_of(read_all(gen, 3 * BLOCK // 2))
            assert len(blocks) == 5
            assert blocks[3] == blocks[0] and blocks[4] == blocks[1]
            assert len(set(blocks)) == 3

    def test_reset_replays_and_generators_differ(self):
        gen = Generator(3 * BLOCK, compress_ratio=2.0)
        first = read_all(gen, 1 << 20)
        assert gen.is_complete()
        gen.reset()
        assert gen.position() == 0 and not gen.is_complete()
        assert read_all(gen, 8192) == first
        other = Generator(3 * BLOCK, compress_ratio=2.0)
        assert read_all(other, 1 << 20) != first

    def test_get_chunk_and_fill_chunk_deliver_the_same_stream(self):
        gen = Generator(2 * BLOCK + 99, max_threads=2)
        filled = read_all(gen, 5_000_000)
        gen.reset()
        chunks = []
        while (chunk := gen.get_chunk(3_000_000)) is not None:
            assert isinstance(chunk, BytesView)
            chunks.append(bytes(chunk))
        assert b"".join(chunks) == filled
        assert [len(c) for c in chunks] == [3_000_000, 3_000_000, 2 * BLOCK + 99 - 6_000_000]

    def test_numpy_and_memoryview_targets(self):
        gen = Generator(BLOCK, max_threads=1)
        arr = np.zeros((64, 64), dtype=np.uint8)
        assert gen.fill_chunk(arr) == 4096
        view = memoryview(bytearray(100))[10:20]
        assert gen.fill_chunk(view) == 10
        gen.reset()
        expected = read_all(gen, 4106)
        assert arr.tobytes() + bytes(view) == expected[:4106]


class TestPositionsAndLengths:
    def test_small_size_streams_one_block(self):
        gen = Generator(100)
        assert gen.total_size() == BLOCK
        assert len(read_all(gen, 1 << 20)) == BLOCK
        assert gen.is_complete() is True

    def test_ten_million_bytes_in_block_sized_reads(self):
        gen = Generator(10_000_000)
        buf = bytearray(BLOCK)
        assert [gen.fill_chunk(buf) for _ in range(5)] == [BLOCK, BLOCK, 1611392, 0, 0]
        assert gen.position() == gen.total_size() == 10_000_000

    def test_get_chunk_lengths(self):
        gen = Generator(3 * BLOCK)
        assert len(gen.get_chunk(8192)) == 8192
        gen.fill_chunk(bytearray(3 * BLOCK - 8192 - 100))
        assert len(gen.get_chunk(8192)) == 100
        assert gen.get_chunk(8192) is None
        assert gen.get_chunk(2**63 + 1) is None  # complete: nothing is allocated

    def test_zero_length_requests_change_nothing(self):
        for threads in (1, 2):
            gen = Generator(2 * BLOCK, max_threads=threads)
            gen.fill_chunk(bytearray(12345))
            assert gen.get_chunk(0) is None
            assert gen.fill_chunk(bytearray(0)) == 0
            assert gen.position() == 12345

    def test_chunk_size_property(self):
        assert Generator(1).chunk_size == 33554432
        assert Generator(1, chunk_size=0).chunk_size == 0
        assert Generator(1, chunk_size=12345).chunk_size == 12345
        with pytest.raises(AttributeError):
            Generator(1).chunk_size = 5

    def test_queries_return_python_types(self):
        gen = Generator(BLOCK + 1)
        assert type(gen.position()) is int and type(gen.total_size()) is int
        assert type(gen.is_complete()) is bool
        assert gen.reset() is None

    def test_numa_arguments_do_not_matter(self):
        # Streaming writes into the caller's memory: mode and node change
        # neither the stream's size, nor its layout, nor its workers.
        for kwargs in ({"numa_mode": "FORCE", "numa_node": 7}, {"numa_mode": "disabled"},
                       {"numa_node": 0}):
            gen = Generator(5 * BLOCK, dedup_ratio=2.0, max_threads=2, **kwargs)
            assert gen.total_size() == 5 * BLOCK
            blocks = blocks_of(read_all(gen, 3 * BLOCK))
            assert blocks[3] == blocks[0] and blocks[4] == blocks[1]
            assert len(set(blocks)) == 3
        with pytest.raises(ValueError):
            Generator(1, numa_mode="bogus")
        with pytest.raises(OverflowError):
            Generator(1, numa_node=-1)


class TestRefusals:
    def test_buffer_checks_even_when_complete(self):
        gen = Generator(1, max_threads=1)
        read_all(gen, BLOCK)
        with pytest.raises(ValueError) as e:
            gen.fill_chunk(b"abc")
        assert str(e.value) == "Buffer must be writable"
        with pytest.raises(ValueError) as e:
            gen.fill_chunk(memoryview(bytearray(8))[::2])
        assert str(e.value) == "Buffer must be C-contiguous"
        with pytest.raises(BufferError) as e:
            gen.fill_chunk(np.zeros(3, dtype=np.uint16))
        assert str(e.value) == "buffer contents are not compatible with u8"
        with pytest.raises(TypeError):
            gen.fill_chunk("text")

    def test_failed_calls_leave_the_position(self):
        gen = Generator(2 * BLOCK, max_threads=1)
        gen.fill_chunk(bytearray(1000))
        for bad in (lambda: gen.fill_chunk(bytes(10)), lambda: gen.get_chunk(-1),
                    lambda: gen.get_chunk("x")):
            with pytest.raises((ValueError, OverflowError, TypeError)):
                bad()
            assert gen.position() == 1000

    def test_capacity_overflow_is_a_panic(self):
        gen = Generator(BLOCK)
        with pytest.raises(BaseException) as e:
            gen.get_chunk(2**63)
        assert type(e.value).__name__ == "PanicException"
        assert str(e.value) == "capacity overflow"
        assert gen.position() == 0

    @pytest.mark.skipif(SANITIZED, reason="the sanitizer allocator reports instead of failing")
    def test_huge_chunk_size_allocates_only_what_is_delivered(self):
        gen = Generator(2 * BLOCK)
        chunk = gen.get_chunk(2**62)  # more than any machine has
        assert len(chunk) == 2 * BLOCK
        big = Generator(2**50)  # a petabyte stream costs nothing up front
        with pytest.raises(MemoryError):
            big.get_chunk(2**49)
        assert big.position() == 0
        assert len(big.get_chunk(8192)) == 8192


class TestFork:
    def test_pool_survives_fork(self):
        # A child forked after the pool was built has none of its workers;
        # filling there must neither hang nor change the bytes.
        result = run_python("""
            import hashlib, os, _vorncore
            gen = _vorncore.Generator(6 * 4194304, compress_ratio=2.0, max_threads=2)
            buf = bytearray(6 * 4194304)
            gen.fill_chunk(buf)
            parent = hashlib.sha256(buf).hexdigest()
            gen.reset()
            pid = os.fork()
            if pid == 0:
                child = bytearray(6 * 4194304)
                n = gen.fill_chunk(child)
                os._exit(0 if n == len(child) and hashlib.sha256(child).hexdigest() == parent else 1)
            _, status = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(status))
        """, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "0"

    def test_a_generator_borrowed_at_fork_is_usable_in_the_child(self):
        # Another thread is inside fill_chunk when the process forks. That
        # thread does not exist in the child, so the child may use the object.
        result = run_python("""
            import hashlib, os, signal, sys, threading, _vorncore
            B = 4194304
            gen = _vorncore.Generator(512 * B, compress_ratio=2.0, max_threads=2)
            first = bytearray(3 * B)
            gen.fill_chunk(first)
            expected = hashlib.sha256(first).hexdigest()
            gen.reset()

            sys.setswitchinterval(1000)  # this thread keeps the lock unless it blocks
            started = threading.Event()
            def fill():
                big = bytearray(256 * B)
                started.set()
                gen.fill_chunk(big)
            filler = threading.Thread(target=fill)
            filler.start()
            started.wait()  # back only once the filler let go of the lock in fill_chunk
            try:
                gen.position()
                print("the filler was not inside fill_chunk")
                sys.exit(3)
            except RuntimeError:
                pass
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    signal.signal(signal.SIGINT, signal.SIG_DFL)
                    signal.alarm(60)  # a hang here ends the child
                    gen.reset()
                    mine = bytearray(3 * B)
                    n = gen.fill_chunk(mine)
                    same = n == len(mine) and hashlib.sha256(mine).hexdigest() == expected
                    status = 0 if same and gen.position() == 3 * B else 2
                finally:
                    os._exit(status)
            reaped = False
            try:
                sys.setswitchinterval(0.005)
                _, status = os.waitpid(pid, 0)
                reaped = True
                print(os.waitstatus_to_exitcode(status))
            finally:
                if not reaped:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
            filler.join()
            print(gen.position())
        """, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["0", str(256 * BLOCK)]

    def test_a_partial_read_cut_by_fork_leaves_the_child_the_stream(self):
        # Another thread is inside its first read, half a block, when the
        # process forks: the generator is making block 0 to keep for the
        # next read, or has just made it. The child goes on from the
        # position the fork left and must read the parent's stream, partial
        # reads included, whatever state the kept block was caught in.
        result = run_python("""
            import hashlib, os, signal, sys, threading, _vorncore
            B = 4194304
            gen = _vorncore.Generator(16 * B, compress_ratio=2.0, max_threads=1)
            whole = bytearray(16 * B)
            gen.fill_chunk(whole)
            gen.reset()

            sys.setswitchinterval(1000)  # this thread keeps the lock unless it blocks
            started = threading.Event()
            stop = threading.Event()
            def fill():
                piece = bytearray(B // 2)
                started.set()
                while not stop.is_set():
                    if gen.fill_chunk(piece) == 0:
                        gen.reset()
            filler = threading.Thread(target=fill)
            filler.start()
            started.wait()  # back only once the filler let go of the lock in fill_chunk
            try:
                gen.reset()  # refused while the filler holds the generator
                print("the filler was not inside fill_chunk")
                sys.exit(3)
            except RuntimeError:
                pass
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    signal.signal(signal.SIGINT, signal.SIG_DFL)
                    signal.alarm(60)  # a hang here ends the child
                    start = gen.position()
                    h = hashlib.sha256()
                    buf = bytearray(B // 3 + 5)
                    while n := gen.fill_chunk(buf):
                        h.update(memoryview(buf)[:n])
                    same = h.hexdigest() == hashlib.sha256(memoryview(whole)[start:]).hexdigest()
                    status = 0 if same else 2
                finally:
                    os._exit(status)
            reaped = False
            try:
                stop.set()
                sys.setswitchinterval(0.005)
                _, status = os.waitpid(pid, 0)
                reaped = True
                print(os.waitstatus_to_exitcode(status))
            finally:
                if not reaped:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
            filler.join()
        """, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["0"]

    @pytest.mark.skipif(subprocess.run(["unshare", "--pid", "--fork", "true"],
                                       capture_output=True).returncode != 0,
                        reason="needs the right to make pid namespaces (root)")
    def test_a_descendant_with_its_ancestors_process_id(self):
        # Process ids are reused: the first process of a pid namespace is 1,
        # and a grandchild that starts a nested namespace is 1 again. It
        # inherits a pool whose workers its ancestor started, and must still
        # see that they are not its own (it hung waiting on them), and a
        # topology cache whose lock a thread of the ancestor may have held.
        result = run_python("""
            import ctypes, faulthandler, hashlib, os, _vorncore
            assert os.getpid() == 1
            B = 4194304
            gen = _vorncore.Generator(4 * B, compress_ratio=2.0, max_threads=2)
            buf = bytearray(4 * B)
            gen.fill_chunk(buf)  # the pool's workers start here
            expected = hashlib.sha256(buf).hexdigest()
            _vorncore.generate_buffer(B, numa_mode="force", max_threads=2)
            gen.reset()
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    libc = ctypes.CDLL(None, use_errno=True)
                    if libc.unshare(0x20000000) != 0:  # CLONE_NEWPID
                        os._exit(4)
                    grandchild = os.fork()
                    if grandchild == 0:
                        code = 1
                        try:
                            # The first process of a namespace ignores signals it
                            # has no handler for: a watchdog thread ends a hang.
                            faulthandler.dump_traceback_later(60, exit=True)
                            again = os.getpid() == 1
                            mine = bytearray(4 * B)
                            same = (gen.fill_chunk(mine) == len(mine)
                                    and hashlib.sha256(mine).hexdigest() == expected)
                            made = len(_vorncore.generate_buffer(B, numa_mode="force",
                                                                 max_threads=2)) == B
                            code = 0 if again and same and made else 2
                        finally:
                            os._exit(code)
                    _, st = os.waitpid(grandchild, 0)
                    status = os.waitstatus_to_exitcode(st)
                finally:
                    os._exit(status)
            _, st = os.waitpid(pid, 0)
            print(os.waitstatus_to_exitcode(st))
        """, timeout=120, launcher=["unshare", "--pid", "--fork", "--kill-child"])
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "0", result.stdout + result.stderr

    def test_multiprocessing_fork_start_method(self):
        global _FORK_GENERATOR
        gen = Generator(4 * BLOCK, max_threads=2)
        expected = hashlib.sha256(read_all(gen, 3 << 20)).hexdigest()
        gen.reset()
        _FORK_GENERATOR = gen  # inherited by the forked worker process
        try:
            with multiprocessing.get_context("fork").Pool(1) as pool:
                got = pool.apply_async(_child_digest).get(timeout=60)
        finally:
            _FORK_GENERATOR = None
        assert got == expected


_FORK_GENERATOR = None


def _child_digest():
    return hashlib.sha256(read_all(_FORK_GENERATOR, 3 << 20)).hexdigest()
