"""Fixtures for the Python suite; the helpers themselves live in helpers.py."""

import pytest

from helpers import run_python


@pytest.fixture
def python_runner():
    return run_python
