"""Nothing is leaked: references to arguments, memory of dropped views and
generators, and worker threads of released pools."""

import os
import sys

import pytest

from _vorncore import Generator, generate_buffer, generate_into_buffer
from helpers import BLOCK, SANITIZED, run_python


def test_argument_references_are_given_back():
    buf = bytearray(100)
    mode = "AUTO"
    ratio = 2.5
    before = (sys.getrefcount(buf), sys.getrefcount(mode), sys.getrefcount(ratio))
    for _ in range(100):
        generate_into_buffer(buf, ratio, ratio, mode)
        generate_buffer(10, dedup_ratio=ratio, numa_mode=mode, max_threads=1)
        try:
            generate_into_buffer(buf, numa_mode="bogus")
        except ValueError:
            pass
        try:
            generate_buffer(10, ratio, ratio, mode, "x")
        except TypeError:
            pass
    gen = Generator(BLOCK, max_threads=1)
    for _ in range(100):
        gen.fill_chunk(buf)
        try:
            gen.fill_chunk(bytes(3))
        except ValueError:
            pass
    assert (sys.getrefcount(buf), sys.getrefcount(mode), sys.getrefcount(ratio)) == before


def test_results_are_single_references():
    view = generate_buffer(1, max_threads=1)
    assert sys.getrefcount(view) == 2  # the name and the call's argument
    chunk = Generator(1, max_threads=1).get_chunk(10)
    assert sys.getrefcount(chunk) == 2


@pytest.mark.skipif(SANITIZED, reason="resident size is distorted by the sanitizer")
def test_memory_returns_after_views_and_generators_are_dropped():
    result = run_python("""
        import _vorncore
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        for _ in range(3):  # warm up allocator and caches
            _vorncore.generate_buffer(64 * 4194304, max_threads=2)
        base = rss()
        for _ in range(20):
            v = _vorncore.generate_buffer(64 * 4194304, max_threads=2)
            m = memoryview(v)
            del v, m
            g = _vorncore.Generator(16 * 4194304, max_threads=2)
            while (c := g.get_chunk(4 * 4194304)) is not None:
                del c
            del g
        print(rss() - base)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 32 * 2**20


def test_worker_threads_leave_after_release():
    # Released pools do not wait for their workers: wait for every thread
    # that is not ours to end, then count. A Generator of several blocks has
    # a pool of its own (one of a single block fills on the calling thread).
    result = run_python("""
        import errno, os, select, time, _vorncore

        BOUND = 60  # seconds: past it, a worker that has not left is a fault

        def tasks():
            return set(map(int, os.listdir("/proc/self/task")))

        def give_up(tids):
            raise SystemExit(f"worker threads {sorted(tids)} still running {BOUND} s "
                             "after their pools were released")

        def wait_until_gone(tids, deadline):
            # A thread's pidfd becomes readable when the thread ends.
            poller = select.poll()
            waiting = 0
            for tid in tids:
                try:
                    poller.register(os.pidfd_open(tid, os.O_EXCL), select.POLLIN)
                    waiting += 1
                except ProcessLookupError:
                    pass  # gone already
                except OSError as exc:
                    if exc.errno != errno.EINVAL:
                        raise
                    time.sleep(0.01)  # a kernel without thread pidfds: look again
                    break
            while waiting:
                remaining = deadline - time.monotonic()
                events = poller.poll(remaining * 1000) if remaining > 0 else []
                if not events:
                    give_up(tids)
                for fd, _ in events:
                    poller.unregister(fd)
                    os.close(fd)
                    waiting -= 1

        base = tasks()
        g = _vorncore.Generator(3 * 4194304, max_threads=3)
        if not tasks() - base:
            raise SystemExit("a Generator of three blocks started no workers")
        del g
        for _ in range(20):
            _vorncore.generate_buffer(8 * 4194304, max_threads=4)
            g = _vorncore.Generator(3 * 4194304, max_threads=3)
            g.fill_chunk(bytearray(3 * 4194304))
            del g
        deadline = time.monotonic() + BOUND
        while left := tasks() - base:
            if time.monotonic() > deadline:
                give_up(left)
            wait_until_gone(left, deadline)
        print(len(tasks()) - len(base))
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0"
