"""Fixtures for the Python suite; the helpers themselves live in helpers.py."""

import pytest

# Test modules that still import these from here keep working.
from helpers import (  # noqa: F401
    BLOCK,
    SANITIZED,
    blocks_of,
    default_sigint,
    generate_without_room_for_workers,
    run_python,
)


@pytest.fixture
def python_runner():
    return run_python
