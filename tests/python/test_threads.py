"""Several Python threads at once: one user at a time on a Generator, and
threaded output compared with sequential output."""

import hashlib
import subprocess
import sys
import threading
import time

import pytest

from _vorncore import Generator, generate_into_buffer
from helpers import BLOCK, run_python


def read_all(gen, piece):
    """The rest of the stream, read through a buffer of `piece` bytes."""
    buf = bytearray(piece)
    out = bytearray()
    while n := gen.fill_chunk(buf):
        out += buf[:n]
    return bytes(out)


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


class TestOneUserAtATime:
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
        expected = hashlib.sha256(read_all(gen, 8 * BLOCK)).hexdigest()
        errors = []
        refused = threading.Event()
        done = threading.Event()
        barrier = threading.Barrier(2)

        def poke():
            barrier.wait()
            while not done.is_set():
                try:
                    gen.position()
                except RuntimeError as exc:
                    errors.append(str(exc))
                    refused.set()

        t = threading.Thread(target=poke)
        t.start()
        try:
            barrier.wait()
            # Replay the stream until the other thread has been refused at
            # least once in the middle of a fill; every replay must be intact.
            for _ in range(500):
                gen.reset()
                assert hashlib.sha256(read_all(gen, BLOCK // 2)).hexdigest() == expected
                if refused.is_set():
                    break
        finally:
            done.set()
            t.join()
        assert refused.is_set(), "the reader never met the stream in use"
        assert set(errors) == {"Already mutably borrowed"}

    def test_other_generators_stay_usable_while_one_fills(self):
        busy = Generator(256 * BLOCK, max_threads=1)
        other = Generator(2 * BLOCK, max_threads=1)
        expected = read_all(other, 2 * BLOCK)
        other.reset()
        got = []

        def use_the_other():
            try:
                busy.position()
            except RuntimeError:
                # `busy` is inside fill_chunk on the other thread right now.
                got.append(other.fill_chunk(bytearray(2 * BLOCK)))
                raise

        exc = while_filling(busy, use_the_other)
        assert str(exc) == "Already mutably borrowed"
        assert got and got[0] == 2 * BLOCK
        other.reset()
        assert read_all(other, BLOCK) == expected


def test_generate_into_buffer_holds_the_lock():
    # With a long switch interval this thread lets go of the lock only where
    # a call releases it. A thread woken just before the call records whether
    # it got the lock before the call had returned.
    returned = False
    ran_during_call = []
    go = threading.Event()

    def waiter():
        go.wait()
        ran_during_call.append(not returned)

    t = threading.Thread(target=waiter)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        t.start()
        buf = bytearray(64 * BLOCK)
        go.set()
        generate_into_buffer(buf, max_threads=1)
        returned = True
    finally:
        sys.setswitchinterval(old)
        t.join()
    assert ran_during_call == [False]

def test_generate_buffer_while_another_thread_rewrites_the_environment():
    # generate_buffer works without the interpreter lock, and looking at the
    # machine reads the environment (the HWLOC_ variables, and hwloc's own
    # reads while it loads). A thread adding and removing variables makes
    # the C library move the environment's array; a look taken without the
    # lock read the freed one and crashed within a few hundred calls. The
    # HWLOC_ variable changing too makes some calls load the topology again.
    result = run_python("""
        import os, sys, threading, _vorncore
        sys.setswitchinterval(1e-4)
        stop = threading.Event()
        def churn():
            k = 0
            while not stop.is_set():
                names = [f"VORN_CHURN_{k}_{i}" for i in range(64)]
                for name in names:
                    os.environ[name] = "x"
                os.environ["HWLOC_VORN_CHURN"] = str(k % 3)
                for name in names:
                    del os.environ[name]
                k += 1
        t = threading.Thread(target=churn)
        t.start()
        try:
            for i in range(2000):
                v = _vorncore.generate_buffer(4096, numa_mode="auto", max_threads=1)
                assert len(v) == 4194304  # one whole block at least
        finally:
            stop.set()
            t.join()
        print("ok")
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"



class TestThreadLimits:
    def test_a_stream_starts_at_most_1024_workers(self):
        result = run_python("""
            import os, _vorncore
            before = len(os.listdir("/proc/self/task"))
            gen = _vorncore.Generator(10**12, max_threads=100000)
            print(len(os.listdir("/proc/self/task")) - before)
        """)
        assert result.returncode == 0, result.stderr
        assert 2 <= int(result.stdout) <= 1024

    @pytest.mark.parametrize("numa_mode", ["disabled", "force"])
    def test_no_thread_can_start(self, numa_mode):
        # Under a process limit of zero every call runs on the calling thread
        # and yields what a normal run yields. "force" on two synthetic nodes
        # takes the pinned pool and its first-touch pass.
        result = run_python(NO_ROOM_FOR_THREADS.replace("MODE", repr(numa_mode)),
                            env={"HWLOC_SYNTHETIC": "pack:2 numa:1 core:2 pu:1"}, timeout=120)
        assert result.returncode == 0, result.stderr
        if result.stdout.startswith("skip"):
            pytest.skip(result.stdout.strip())
        assert result.stdout.strip() == "0", result.stdout + result.stderr


class TestInterpreterExit:
    @pytest.mark.parametrize("call", ["generate_buffer", "fill_chunk"])
    def test_exit_while_a_daemon_thread_is_inside_a_call(self, call):
        # The main thread leaves while the daemon is inside a call; the
        # daemon's call ends during shutdown and must not take the process
        # down with it.
        code = """
            import threading, _vorncore
            inside = threading.Event()
            def run():
                gen = _vorncore.Generator(1 << 40, max_threads=2)
                buf = bytearray(32 << 20)
                while True:
                    inside.set()
                    if CALL == "generate_buffer":
                        _vorncore.generate_buffer(32 << 20, numa_mode="disabled")
                    else:
                        gen.fill_chunk(buf)
            threading.Thread(target=run, daemon=True).start()
            inside.wait()  # the daemon has let go of the lock inside its call
        """.replace("CALL", repr(call))
        for _ in range(3):
            result = run_python(code, timeout=60)
            assert result.returncode == 0, result.stderr
            assert "terminate" not in result.stderr

    @pytest.mark.parametrize("call", ["generate_buffer", "fill_chunk"])
    def test_a_call_from_a_finaliser_at_exit_completes(self, call):
        # The object lives in a reference cycle, so only the collection that
        # runs while the interpreter finalises calls __del__, on the thread
        # that finalises.
        code = """
            import os, _vorncore

            class CallsTheModule:
                def __del__(self, _vorncore=_vorncore, os=os):
                    if CALL == "generate_buffer":
                        n = len(_vorncore.generate_buffer(3 * 4194304, max_threads=2))
                    else:
                        gen = _vorncore.Generator(3 * 4194304, max_threads=2)
                        n = gen.fill_chunk(bytearray(3 * 4194304))
                    os.write(1, b"%d\\n" % n)

            holder = CallsTheModule()
            holder.cycle = holder
        """.replace("CALL", repr(call))
        try:
            result = run_python(code, timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail("the interpreter never finished exiting")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == str(3 * BLOCK)

    @pytest.mark.parametrize("call", ["fill_chunk", "panic"])
    def test_a_thread_ended_while_taking_the_lock_back(self, call):
        # The worker finishes its work before the interpreter starts to
        # finalise and waits for the lock; the interpreter then ends it from
        # inside that wait by unwinding its stack. That unwind must pass
        # through every frame of the module, on the normal return and while
        # an abort is on its way out.
        # A worker whose call is very short may take the lock back before
        # this thread asks for it; such a run reports "retry".
        for _ in range(20):
            try:
                result = run_python(ENDED_WHILE_TAKING_THE_LOCK_BACK.replace("CALL", repr(call)),
                                    timeout=120)
            except subprocess.TimeoutExpired:
                pytest.fail("the interpreter never finished exiting")
            if result.stdout.strip() != "retry":
                break
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.strip() == "worker ended", result.stderr
        assert "runtime error" not in result.stderr


ENDED_WHILE_TAKING_THE_LOCK_BACK = r"""
import ctypes, os, sys, threading, time, _vorncore

libc = ctypes.PyDLL(None)  # calls through it keep the interpreter lock
libc.open.argtypes = [ctypes.c_char_p, ctypes.c_int]
libc.read.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
libc.read.restype = ctypes.c_ssize_t
libc.close.argtypes = [ctypes.c_int]
state_text = ctypes.create_string_buffer(4096)

def thread_state(tid):
    fd = libc.open(b"/proc/self/task/%d/stat" % tid, os.O_RDONLY)
    if fd < 0:
        return None
    n = libc.read(fd, state_text, 4096)
    libc.close(fd)
    return state_text.raw[:n].rsplit(b")", 1)[1].split()[0]

sys.setswitchinterval(1000)  # this thread keeps the lock unless it blocks
started = threading.Event()

# The worker's function gets globals of its own: a frame of a thread that
# never ends keeps its globals alive, and those of this module must go for
# the collection at exit to reach the holder below.
space = {"_vorncore": _vorncore, "started": started}
exec('''
def work():
    if CALL == "fill_chunk":
        gen = _vorncore.Generator(64 << 20, max_threads=1)
        buf = bytearray(64 << 20)
        started.set()
        gen.fill_chunk(buf)
    else:
        started.set()
        _vorncore.generate_buffer(2**63)  # aborts with the lock released
''', space)
worker = threading.Thread(target=space["work"], daemon=True)
worker.start()
started.wait()  # back here only once the worker has let go of the lock in its call
tid = worker.native_id
deadline = time.monotonic() + 60
while (state := thread_state(tid)) != b"S":  # work done: it sleeps, waiting for the lock
    if state is None:  # it got the lock back first and has finished
        print("retry")
        os._exit(0)
    if time.monotonic() > deadline:
        print("the worker never waited for the lock")
        os._exit(3)


class WaitsForTheWorker:
    # Called while the interpreter finalises: each sleep lets go of the lock,
    # which the worker takes and is ended at.
    def __del__(self, os=os, time=time, path="/proc/self/task/%d" % tid):
        end = time.monotonic() + 60
        while os.path.exists(path) and time.monotonic() < end:
            time.sleep(0.001)
        os.write(1, b"worker still there\n" if os.path.exists(path) else b"worker ended\n")


holder = WaitsForTheWorker()
holder.cycle = holder
"""


NO_ROOM_FOR_THREADS = """
import hashlib, os, resource, signal, sys, threading, _vorncore

B = 4194304

def limit_processes():
    # Root is exempt from the limit: become an ordinary user first.
    if os.getuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
    resource.setrlimit(resource.RLIMIT_NPROC, (0, 0))
    try:
        threading.Thread(target=lambda: None).start()
    except RuntimeError:
        return None
    return "skip: a thread still starts under a process limit of 0"

def layout_ok(v, total, unique):
    blocks = [v[k * B:(k + 1) * B] for k in range(total)]
    repeats = all(blocks[k] == blocks[k % unique] for k in range(total))
    return len(v) == total * B and repeats and len({bytes(b[:64]) for b in blocks[:unique]}) == unique

# A stream read by its pool of four here; the child's copy of the generator
# has no workers (they are threads of this process) and cannot start any.
gen = _vorncore.Generator(6 * B, compress_ratio=2.0, max_threads=4)
whole = bytearray(6 * B)
gen.fill_chunk(whole)
expected = hashlib.sha256(whole).hexdigest()
gen.reset()

pid = os.fork()
if pid == 0:
    status = 1
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.alarm(60)  # a hang here ends the child
        reason = limit_processes()
        if reason:
            os.write(1, reason.encode() + b"\\n")
            status = 0
        else:
            checks = []
            mine = bytearray(6 * B)
            checks.append(gen.fill_chunk(mine) == 6 * B)
            checks.append(hashlib.sha256(mine).hexdigest() == expected)
            v = memoryview(_vorncore.generate_buffer(8 * B, dedup_ratio=2.0, numa_mode=MODE,
                                                      max_threads=4))
            checks.append(layout_ok(v, 8, 4))
            buf = bytearray(6 * B)
            checks.append(_vorncore.generate_into_buffer(buf, dedup_ratio=3.0, numa_mode=MODE,
                                                         max_threads=4) == 6 * B)
            checks.append(layout_ok(memoryview(buf), 6, 2))
            fresh = _vorncore.Generator(6 * B, dedup_ratio=2.0, max_threads=4)
            streamed = bytearray(6 * B)
            checks.append(fresh.fill_chunk(streamed) == 6 * B)
            checks.append(layout_ok(memoryview(streamed), 6, 3))
            status = 0 if all(checks) else 2
    finally:
        os._exit(status)
reaped = False
try:
    _, status = os.waitpid(pid, 0)
    reaped = True
    print(os.waitstatus_to_exitcode(status))
finally:
    if not reaped:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
"""
