"""Fast synthetic data with controllable deduplication and compression ratios.

The native module ``_vorncore`` does the work; this package re-exports it.
``vorn_py.dataset`` writes data to files and data sets of files,
``vorn_py.verify`` checks it against its manifest, ``vorn_py.measure``
measures the ratios data achieves; ``vorn_py.cli`` is the vorn-gen command
line.
"""

from typing import TYPE_CHECKING

from _vorncore import (
    BytesView,
    Generator,
    generate_buffer,
    generate_into_buffer,
    get_numa_info,
)

__all__ = [
    "BytesView",
    "generate_buffer",
    "generate_into_buffer",
    "Generator",
    "get_numa_info",
    "__version__",
]

if TYPE_CHECKING:
    __version__: str
else:
    def __getattr__(name: str) -> str:
        # Looked up on first use: reading the installed metadata costs more
        # than the rest of the command line's start-up together.
        if name != "__version__":
            raise AttributeError(f"module 'vorn_py' has no attribute {name!r}")
        from importlib.metadata import PackageNotFoundError, version

        global __version__
        try:
            __version__ = version("vorn_py")
        except PackageNotFoundError:  # running from a source tree
            __version__ = "0.0.0"
        return __version__
