"""Shared helpers for the Python suite."""

import os
import subprocess
import sys
import textwrap

import pytest

BLOCK = 4194304

# Set by the sanitizer script: heavy memory tests are skipped there, since
# the instrumented allocator changes what an out-of-memory looks like.
SANITIZED = os.environ.get("VORN_SANITIZED") == "1"


def run_python(code, env=None, timeout=300):
    """Run a snippet in a fresh interpreter; return the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def blocks_of(data):
    """Split a buffer into its 4 MiB blocks (the last may be short)."""
    view = memoryview(data)
    return [bytes(view[i:i + BLOCK]) for i in range(0, len(view), BLOCK)]


@pytest.fixture
def python_runner():
    return run_python
