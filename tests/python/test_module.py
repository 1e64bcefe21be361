"""The module itself: attributes, registration order, classes, signatures,
docstrings, re-import and the engine-abort exception."""

import importlib
import inspect
import sys

import pytest

import _vorncore
import vorn_py

GENERATE_BUFFER_DOC_HEAD = """\
Generate random data with controllable deduplication and compression

# Arguments
* `size` - Total bytes to generate
* `dedup_ratio` - Deduplication ratio (1.0 = no dedup, 2.0 = 2:1 ratio)
* `compress_ratio` - Compression ratio (1.0 = incompressible, 3.0 = 3:1 ratio)
* `numa_mode` - NUMA mode: "auto", "force", or "disabled" (default: "auto")
* `max_threads` - Maximum threads to use (None = use all cores)

# Returns"""

GENERATE_BUFFER_DOC_TAIL = """\

# Example
```python
import vorn_py

# Generate 1 MiB incompressible data using 8 threads
data = vorn_py.generate_buffer(1024 * 1024, dedup_ratio=1.0,
                                 compress_ratio=1.0, max_threads=8)
print(f"Generated {len(data)} bytes")
```"""

GENERATE_INTO_BUFFER_DOC = """\
Generate data using Python buffer protocol (for writing into existing buffer)

# Arguments
* `buffer` - Pre-allocated Python buffer (bytearray, memoryview, numpy array, etc.)
* `dedup_ratio` - Deduplication ratio
* `compress_ratio` - Compression ratio
* `numa_mode` - NUMA mode: "auto", "force", or "disabled" (default: "auto")
* `max_threads` - Maximum threads to use (None = use all cores)

# Returns
Number of bytes written

# Example
```python
import vorn_py

# Pre-allocate buffer
buf = bytearray(1024 * 1024)

# Generate directly into buffer (zero-copy) using 4 threads
nbytes = vorn_py.generate_into_buffer(buf, dedup_ratio=1.0,
                                       compress_ratio=2.0, max_threads=4)
print(f"Wrote {nbytes} bytes")
```"""

GENERATOR_DOC = """\
Streaming data generator for incremental generation

# Example
```python
import vorn_py

# Create generator for 100 MiB
gen = vorn_py.Generator(
    size=100 * 1024 * 1024,
    dedup_ratio=2.0,
    compress_ratio=3.0
)

# Generate in chunks
chunk_size = 8192
buf = bytearray(chunk_size)
total = 0

while not gen.is_complete():
    nbytes = gen.fill_chunk(buf)
    if nbytes == 0:
        break
    total += nbytes
    # Process chunk...

print(f"Generated {total} bytes")
```"""

ONE_SHOT_SIGNATURE_TAIL = (
    'dedup_ratio=1.0, compress_ratio=1.0, numa_mode="auto", max_threads=None, numa_node=None)'
)


class TestRegistration:
    def test_public_attributes_in_order(self):
        expected = ["BytesView", "generate_buffer", "generate_into_buffer", "Generator",
                    "get_numa_info"]
        assert _vorncore.__all__ == expected
        public = sorted(name for name in vars(_vorncore) if not name.startswith("_"))
        assert public == sorted(expected)
        assert _vorncore.__doc__ == ""
        assert _vorncore.__name__ == "_vorncore"

    def test_package_reexports_the_module(self):
        for name in _vorncore.__all__:
            assert getattr(vorn_py, name) is getattr(_vorncore, name)
        assert isinstance(vorn_py.__version__, str) and vorn_py.__version__

    def test_reimport_returns_the_same_module_and_classes(self):
        generator_class = _vorncore.Generator
        saved = sys.modules.pop("_vorncore")
        try:
            again = importlib.import_module("_vorncore")
            assert again is saved
            assert again.Generator is generator_class
        finally:
            sys.modules["_vorncore"] = saved

    def test_classes_are_named_without_a_module_part(self):
        for cls, name in ((_vorncore.BytesView, "BytesView"), (_vorncore.Generator, "Generator")):
            assert cls.__name__ == name
            assert cls.__qualname__ == name
            assert cls.__module__ == "builtins"
        assert _vorncore.generate_buffer.__module__ == "_vorncore"
        assert _vorncore.get_numa_info.__module__ == "_vorncore"

    def test_sub_interpreters_are_refused(self, python_runner):
        result = python_runner("""
            import _vorncore
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("SKIP")
                raise SystemExit(0)
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import _vorncore")
            except Exception as exc:
                print("REFUSED", exc)
            else:
                print("IMPORTED")
        """)
        assert result.returncode == 0, result.stderr
        if result.stdout.startswith("SKIP"):
            pytest.skip("no sub-interpreter support in this Python")
        assert result.stdout.startswith("REFUSED"), result.stdout
        assert "ImportError" in result.stdout


class TestSignaturesAndDocstrings:
    def test_text_signatures(self):
        assert _vorncore.generate_buffer.__text_signature__ == "(size, " + ONE_SHOT_SIGNATURE_TAIL
        assert (_vorncore.generate_into_buffer.__text_signature__
                == "(buffer, " + ONE_SHOT_SIGNATURE_TAIL)
        assert _vorncore.get_numa_info.__text_signature__ == "()"
        assert _vorncore.Generator.__text_signature__ == (
            '(size, dedup_ratio=1.0, compress_ratio=1.0, numa_mode="auto", '
            "max_threads=None, numa_node=None, chunk_size=None)")
        gen = _vorncore.Generator
        assert gen.fill_chunk.__text_signature__ == "($self, buffer)"
        assert gen.get_chunk.__text_signature__ == "($self, chunk_size)"
        for name in ("reset", "position", "total_size", "is_complete"):
            assert getattr(gen, name).__text_signature__ == "($self)"
        assert _vorncore.BytesView.__bytes__.__text_signature__ == "($self)"

    def test_inspect_sees_defaults(self):
        params = inspect.signature(_vorncore.generate_buffer).parameters
        assert list(params) == ["size", "dedup_ratio", "compress_ratio", "numa_mode",
                                "max_threads", "numa_node"]
        assert [p.default for p in params.values()][1:] == [1.0, 1.0, "auto", None, None]
        assert params["size"].default is inspect.Parameter.empty

    def test_function_docstrings(self):
        doc = _vorncore.generate_buffer.__doc__
        assert doc.startswith(GENERATE_BUFFER_DOC_HEAD + "\n")
        assert doc.endswith("\n" + GENERATE_BUFFER_DOC_TAIL)
        lines = doc.split("\n")
        assert len(lines) == 21  # the docstring after its signature and blank line
        returns_line = lines[10]
        assert "bytes" in returns_line and "copy" in returns_line
        assert _vorncore.generate_into_buffer.__doc__ == GENERATE_INTO_BUFFER_DOC
        assert _vorncore.get_numa_info.__doc__ is None

    def test_class_docstrings(self):
        assert _vorncore.Generator.__doc__ == GENERATOR_DOC
        assert _vorncore.BytesView.__doc__ == (
            "A Python-visible wrapper around DataBuffer (UMA or NUMA) that exposes buffer "
            "protocol.\nThis allows Python code to get a memoryview without copying data.\n\n"
            "ZERO-COPY: Python accesses the NUMA-allocated memory directly via raw pointer!")
        gen = _vorncore.Generator
        assert gen.fill_chunk.__doc__ == (
            "Fill the next chunk of data\n\n# Arguments\n* `buffer` - Pre-allocated buffer to "
            "fill\n\n# Returns\nNumber of bytes written (0 when complete)")
        assert gen.get_chunk.__doc__ == (
            "Get data as BytesView (zero-copy access via memoryview)\n\n# Arguments\n"
            "* `chunk_size` - Size of chunk to read\n\n# Returns\n"
            "BytesView object or None if complete")
        assert gen.reset.__doc__ == "Reset generator to start"
        assert gen.position.__doc__ == "Get current position"
        assert gen.total_size.__doc__ == "Get total size"
        assert gen.is_complete.__doc__ == "Check if generation is complete"
        assert gen.chunk_size.__doc__ == (
            "Get recommended chunk size for optimal performance (32 MB)")
        assert _vorncore.BytesView.__bytes__.__doc__ == (
            "Support bytes() conversion - returns a copy")

    def test_docstring_examples_run(self, capsys):
        exec(GENERATE_BUFFER_DOC_TAIL.split("```python\n")[1].split("```")[0], {})
        exec(GENERATE_INTO_BUFFER_DOC.split("```python\n")[1].split("```")[0], {})
        exec(GENERATOR_DOC.split("```python\n")[1].split("```")[0], {})
        out = capsys.readouterr().out
        assert "Generated 4194304 bytes" in out
        assert "Wrote 1048576 bytes" in out
        assert "Generated 104857600 bytes" in out


class TestPanicException:
    def test_engine_abort_is_a_base_exception_not_an_exception(self):
        with pytest.raises(BaseException) as info:
            try:
                _vorncore.generate_buffer(2**63)
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught as an Exception")
        exc = info.value
        assert type(exc).__name__ == "PanicException"
        assert type(exc).__bases__ == (BaseException,)
        assert exc.args == ("capacity overflow",)
        assert "BaseException" in type(exc).__doc__
        assert not hasattr(_vorncore, "PanicException")

    def test_the_class_is_created_once(self):
        types = set()
        for _ in range(3):
            try:
                _vorncore.generate_buffer(2**64 - 1)
            except BaseException as exc:  # noqa: B902 - PanicException is not an Exception
                types.add(type(exc))
        assert len(types) == 1
