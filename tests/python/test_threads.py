"""Several Python threads at once: the borrow rule of Generator, and
threaded output compared with sequential output."""

import hashlib
import threading
import time

import pytest

from _vorncore import Generator, generate_into_buffer
from conftest import BLOCK, run_python


def while_filling(gen, probe, deadline=20.0):
    """Run fill_chunk repeatedly on another thread and call probe() on this
    one until it sees the generator busy; return what probe raised."""
    stop = threading.Event()
    started = threading.Event()
    buf = bytearray(64 * BLOCK)

    def filler():
        started.set()
        while not stop.is_set():
            if gen.fill_chunk(buf) == 0:
                gen.reset()

    t = threading.Thread(target=filler)
    t.start()
    started.wait()
    try:
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            try:
                probe()
            except RuntimeError as exc:
                return exc
        pytest.fail("never observed the generator in use")
    finally:
        stop.set()
        t.join()


class TestBorrowRule:
    def test_readers_are_refused_during_fill_chunk(self):
        gen = Generator(256 * BLOCK, max_threads=1)
        for reader in (gen.position, gen.total_size, gen.is_complete,
                       lambda: gen.chunk_size):
            exc = while_filling(gen, reader)
            assert str(exc) == "Already mutably borrowed"

    def test_writers_are_refused_during_fill_chunk(self):
        gen = Generator(256 * BLOCK, max_threads=1)
        for writer in (gen.reset, lambda: gen.get_chunk(10),
                       lambda: gen.fill_chunk(bytearray(10))):
            exc = while_filling(gen, writer)
            assert str(exc) == "Already borrowed"

    def test_everything_works_again_afterwards(self):
        gen = Generator(256 * BLOCK, max_threads=1)
        while_filling(gen, gen.position)
        gen.reset()
        assert gen.position() == 0
        assert gen.fill_chunk(bytearray(10)) == 10

    def test_refused_calls_do_not_disturb_the_stream(self):
        gen = Generator(8 * BLOCK, max_threads=2)
        expected = hashlib.sha256()
        buf = bytearray(8 * BLOCK)
        gen.fill_chunk(buf)
        expected.update(buf)
        gen.reset()
        errors = []
        barrier = threading.Barrier(2)

        def poke():
            barrier.wait()
            for _ in range(2000):
                try:
                    gen.position()
                except RuntimeError as exc:
                    errors.append(str(exc))

        t = threading.Thread(target=poke)
        t.start()
        barrier.wait()
        got = hashlib.sha256()
        piece = bytearray(BLOCK // 2)
        while (n := gen.fill_chunk(piece)):
            got.update(piece[:n])
        t.join()
        assert got.hexdigest() == expected.hexdigest()
        assert set(errors) <= {"Already mutably borrowed"}

    def test_different_generators_run_in_parallel(self):
        gens = [Generator(32 * BLOCK, max_threads=1) for _ in range(3)]
        barrier = threading.Barrier(3)
        failures = []

        def drain(g):
            barrier.wait()
            buf = bytearray(4 * BLOCK)
            try:
                while g.fill_chunk(buf):
                    pass
            except RuntimeError as exc:
                failures.append(exc)

        threads = [threading.Thread(target=drain, args=(g,)) for g in gens]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not failures
        assert all(g.is_complete() for g in gens)


def test_generate_into_buffer_holds_the_lock():
    # No other Python thread runs while it writes, so a ticker thread makes
    # no progress during one long call.
    ticks = []
    running = threading.Event()
    stop = threading.Event()

    def ticker():
        running.set()
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0)

    buf = bytearray(256 * BLOCK)
    t = threading.Thread(target=ticker)
    t.start()
    running.wait()
    start = time.monotonic()
    generate_into_buffer(buf, max_threads=1)
    end = time.monotonic()
    stop.set()
    t.join()
    inside = [x for x in ticks if start + 0.01 < x < end - 0.01]
    assert end - start > 0.05
    assert not inside


@pytest.mark.parametrize("call", ["generate_buffer", "fill_chunk"])
def test_interpreter_exit_while_a_daemon_thread_generates(call):
    # The daemon's call finishes while the interpreter is shutting down; it
    # must not take the process down with it.
    code = """
        import threading, time, _vorncore
        big = [str(i) for i in range(3_000_000)]  # keeps shutdown busy a moment
        def run():
            if CALL == "generate_buffer":
                while True:
                    _vorncore.generate_buffer(32 << 20, numa_mode="disabled")
            gen = _vorncore.Generator(1 << 40, max_threads=2)
            buf = bytearray(32 << 20)
            while True:
                gen.fill_chunk(buf)
        threading.Thread(target=run, daemon=True).start()
        time.sleep(0.3)
    """.replace("CALL", repr(call))
    for _ in range(3):
        result = run_python(code, timeout=60)
        assert result.returncode == 0, result.stderr
        assert "terminate" not in result.stderr
