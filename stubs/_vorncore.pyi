# Types of the native module _vorncore: the one-shot functions, the streaming
# Generator, the read-only BytesView and the NUMA report.
# Installed twice from this one file: beside the extension, and as the stub
# package _vorncore-stubs, which is where mypy looks for a top-level module.

from typing import SupportsIndex, final

from _typeshed import WriteableBuffer

__all__ = [
    "BytesView",
    "generate_buffer",
    "generate_into_buffer",
    "Generator",
    "get_numa_info",
]

@final
class BytesView:
    """Read-only bytes handed over without a copy; not constructible."""

    def __len__(self) -> int: ...
    def __bytes__(self) -> bytes: ...
    # Declared on every version so that checkers accept a BytesView wherever a
    # buffer is expected; the interpreter adds these methods itself from 3.12.
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

def generate_buffer(
    size: SupportsIndex,
    dedup_ratio: float = 1.0,
    compress_ratio: float = 1.0,
    numa_mode: str = "auto",
    max_threads: SupportsIndex | None = None,
    numa_node: SupportsIndex | None = None,
) -> BytesView: ...
def generate_into_buffer(
    buffer: WriteableBuffer,
    dedup_ratio: float = 1.0,
    compress_ratio: float = 1.0,
    numa_mode: str = "auto",
    max_threads: SupportsIndex | None = None,
    numa_node: SupportsIndex | None = None,
) -> int: ...
@final
class Generator:
    # The constructor is __new__ at runtime; __init__ is object's.
    def __new__(
        cls,
        size: SupportsIndex,
        dedup_ratio: float = 1.0,
        compress_ratio: float = 1.0,
        numa_mode: str = "auto",
        max_threads: SupportsIndex | None = None,
        numa_node: SupportsIndex | None = None,
        chunk_size: SupportsIndex | None = None,
    ) -> Generator: ...
    def fill_chunk(self, buffer: WriteableBuffer) -> int: ...
    def get_chunk(self, chunk_size: SupportsIndex) -> BytesView | None: ...
    def reset(self) -> None: ...
    def position(self) -> int: ...
    def total_size(self) -> int: ...
    def is_complete(self) -> bool: ...
    @property
    def chunk_size(self) -> int: ...

def get_numa_info() -> dict[str, int | bool | str]: ...
