"""Helpers shared by the Python tests: constants, running code in a fresh
interpreter, and splitting generated data into blocks."""

import os
import signal
import subprocess
import sys
import textwrap

BLOCK = 4194304

# Set by the sanitizer script: heavy memory tests are skipped there, since
# the instrumented allocator changes what an out-of-memory looks like.
SANITIZED = os.environ.get("VORN_SANITIZED") == "1"


def default_sigint(then=None):
    """A preexec_fn that gives the child the default SIGINT (a test run
    started in the background may have it ignored), then runs `then`."""
    def reset():
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        if then is not None:
            then()
    return reset


# Variables that would make a child think it runs under a launcher already.
LAUNCHER_VARIABLES = ("PMI_RANK", "PMI_SIZE", "PMI_FD", "PMI_PORT", "OMPI_COMM_WORLD_RANK",
                      "OMPI_COMM_WORLD_SIZE", "SLURM_PROCID", "SLURM_NTASKS",
                      "SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX", "HYDI_CONTROL_FD")


def clean_env(base=None, **extra):
    """``base`` (default os.environ) without a launcher's variables, plus ``extra``."""
    env = {k: v for k, v in (os.environ if base is None else base).items()
           if k not in LAUNCHER_VARIABLES}
    env.update(extra)
    return env


def run_python(code, env=None, timeout=300, launcher=()):
    """Run a snippet in a fresh interpreter (started by `launcher`, a command
    prefix, if given); return the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [*launcher, sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        preexec_fn=default_sigint(),
    )


def generate_without_room_for_workers(env=None):
    """In a fresh interpreter, generate 256 MiB (dedup 2) asking for 64
    workers, with the address space limited to the output and a little more
    so that few worker stacks, if any, can be mapped. Print "ok" when the
    output has the full length and the dedup layout, else what went wrong."""
    return run_python("""
        import resource, _vorncore
        B = 4194304
        _vorncore.generate_buffer(1, max_threads=1)  # warm up the allocator
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        limit = pages * 4096 + 256 * 2**20 + 20 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            v = memoryview(_vorncore.generate_buffer(64 * B, dedup_ratio=2.0, max_threads=64))
        except BaseException as exc:
            print(type(exc).__name__, exc)
        else:
            blocks = [v[k * B:(k + 1) * B] for k in range(64)]
            repeats = all(blocks[k] == blocks[k - 32] for k in range(32, 64))
            distinct = len({bytes(b[:64]) for b in blocks[:32]}) == 32
            print("ok" if len(v) == 64 * B and repeats and distinct else "wrong output")
    """, env=env)


def blocks_of(data):
    """Split a buffer into its 4 MiB blocks (the last may be short)."""
    view = memoryview(data)
    return [bytes(view[i:i + BLOCK]) for i in range(0, len(view), BLOCK)]
