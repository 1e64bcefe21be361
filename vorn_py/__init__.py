"""Fast synthetic data with controllable deduplication and compression ratios.

The native module ``_vorncore`` does the work; this package re-exports it.
``vorn_py.measure`` measures the ratios data achieves; ``vorn_py.cli`` is the
vorn-gen command line.
"""

from importlib.metadata import PackageNotFoundError, version as _version

from _vorncore import (
    BytesView,
    Generator,
    generate_buffer,
    generate_into_buffer,
    get_numa_info,
)

try:
    __version__ = _version("vorn_py")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0"

__all__ = [
    "BytesView",
    "generate_buffer",
    "generate_into_buffer",
    "Generator",
    "get_numa_info",
    "__version__",
]
