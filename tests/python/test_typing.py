"""Type information: the installed stubs match the runtime objects (names,
parameters, defaults, return types), and mypy --strict accepts a program
using the whole API while seeing real types, not Any."""

import ast
import inspect
import os
import re
import subprocess
import sys
import textwrap

import pytest

import _vorncore
import vorn_py

SITE = os.path.dirname(_vorncore.__file__)
INSTALLED_STUB = os.path.join(SITE, "_vorncore.pyi")
# A build tree (the sanitizer run) has no stub beside the extension: check the
# source stub against it instead.
STUB = (INSTALLED_STUB if os.path.exists(INSTALLED_STUB) else
        os.path.join(os.path.dirname(__file__), "..", "..", "stubs", "_vorncore.pyi"))


def run_mypy(tmp_path, program):
    (tmp_path / "program.py").write_text(textwrap.dedent(program))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), "program.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def stub_functions():
    """{qualified name: ast.FunctionDef} for every function and method of the stub."""
    tree = ast.parse(open(STUB).read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return tree, found


def runtime_object(qualified):
    owner, _, name = qualified.rpartition(".")
    if not owner:
        return getattr(_vorncore, name)
    cls = getattr(_vorncore, owner)
    return cls if name == "__new__" else getattr(cls, name)


class TestStubs:
    def test_installed_beside_the_extension_and_as_a_stub_package(self):
        if not os.path.exists(INSTALLED_STUB):
            pytest.skip("the extension is not an installed one")
        package_stub = os.path.join(SITE, "_vorncore-stubs", "__init__.pyi")
        assert open(STUB).read() == open(package_stub).read()
        assert os.path.exists(os.path.join(os.path.dirname(vorn_py.__file__), "py.typed"))

    def test_parameters_and_defaults_match_inspect_signature(self):
        _, functions = stub_functions()
        required = object()
        checked = 0
        for qualified, node in functions.items():
            if node.decorator_list:  # the chunk_size property: checked below
                continue
            if qualified.endswith("_buffer__") and sys.version_info < (3, 12):
                continue  # these exist at runtime from 3.12 on
            args = node.args
            # Everything after self is positional-or-keyword, as at runtime;
            # only the buffer methods are positional-only.
            assert not args.kwonlyargs and not args.vararg and not args.kwarg, qualified
            params = args.posonlyargs + args.args
            defaults = [required] * (len(params) - len(args.defaults)) + [
                ast.literal_eval(d) for d in args.defaults]
            stub = [(p.arg, d) for p, d in zip(params, defaults)][1 if "." in qualified else 0:]
            signature = inspect.signature(runtime_object(qualified))
            runtime = [(p.name, required if p.default is p.empty else p.default)
                       for p in signature.parameters.values() if p.name != "self"]
            assert stub == runtime, qualified
            if not qualified.endswith("_buffer__"):
                assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values()
                           if p.name != "self"), qualified
            checked += 1
        assert checked >= 10
        # chunk_size is a read-only property at runtime too.
        gen = _vorncore.Generator(1, max_threads=1)
        assert functions["Generator.chunk_size"].decorator_list[0].id == "property"
        with pytest.raises(AttributeError):
            gen.chunk_size = 5

    def test_return_types_match_what_the_calls_return(self):
        _, functions = stub_functions()
        gen = _vorncore.Generator(100, max_threads=1)
        view = _vorncore.generate_buffer(1, max_threads=1)
        results = {
            "generate_buffer": view,
            "generate_into_buffer": _vorncore.generate_into_buffer(bytearray(8)),
            "get_numa_info": _vorncore.get_numa_info(),
            "Generator.__new__": gen,
            "Generator.fill_chunk": gen.fill_chunk(bytearray(8)),
            "Generator.get_chunk": gen.get_chunk(8),
            "Generator.position": gen.position(),
            "Generator.total_size": gen.total_size(),
            "Generator.is_complete": gen.is_complete(),
            "Generator.chunk_size": gen.chunk_size,
            "Generator.reset": gen.reset(),
            "BytesView.__bytes__": bytes(view),
            "BytesView.__len__": len(view),
        }
        types = {"int": int, "bool": bool, "bytes": bytes, "None": type(None),
                 "BytesView": _vorncore.BytesView, "Generator": _vorncore.Generator, "str": str}
        for qualified, value in results.items():
            annotation = ast.unparse(functions[qualified].returns)
            if annotation.startswith("dict[str, "):
                allowed = annotation[len("dict[str, "):-1].split(" | ")
                assert isinstance(value, dict) and all(
                    type(v) in [types[t] for t in allowed] for v in value.values()), qualified
            else:
                allowed = [types[t] for t in annotation.split(" | ")]
                assert type(value) in allowed, (qualified, annotation, value)

    def test_stubtest_finds_no_difference(self, tmp_path):
        allowlist = tmp_path / "allowlist.txt"
        # The interpreter adds the buffer methods from 3.12 on; the stub
        # declares them everywhere so checkers treat a BytesView as a buffer.
        allowlist.write_text("" if sys.version_info >= (3, 12) else
                             "_vorncore.BytesView.__buffer__\n"
                             "_vorncore.BytesView.__release_buffer__\n")
        result = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "_vorncore", "--allowlist", str(allowlist)],
            cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_accepts_the_api_and_sees_real_types(tmp_path):
    result = run_mypy(tmp_path, """
        import io
        import vorn_py
        from vorn_py import measure

        view = vorn_py.generate_buffer(1 << 20, dedup_ratio=2.0, compress_ratio=3,
                                       numa_mode="disabled", max_threads=2, numa_node=None)
        size: int = len(view)
        whole: memoryview = memoryview(view)
        copy: bytes = bytes(view)
        with open("/dev/null", "wb") as out:
            out.write(view)
        written: int = vorn_py.generate_into_buffer(bytearray(100), compress_ratio=2.0)
        gen = vorn_py.Generator(10 << 20, chunk_size=1 << 20)
        filled: int = gen.fill_chunk(memoryview(bytearray(gen.chunk_size)))
        chunk = gen.get_chunk(4096)
        if chunk is not None:
            first: int = memoryview(chunk)[0]
        done: bool = gen.is_complete()
        info = vorn_py.get_numa_info()
        version: str = vorn_py.__version__
        result = measure.measure(view, codecs={"zstd": 3, "lz4": None}, progress=print)
        ratio: float = result["compression"]["zstd"]["ratio"]
        together: float = result["combined"]["zstd"]
        label: str = measure.codec_label("zstd", result["compression"]["zstd"]["level"])
        deduplicated: int | None = result["compression"]["zstd"]["combined_compressed_size"]
        dedup: float = measure.dedup_ratio(io.BytesIO(b"abc"), chunk_size=1)
        zlib_ratio: float = measure.compression_ratio("/dev/null", "zlib", 9)
        names: list[str] = measure.available_codecs()

        reveal_type(vorn_py.generate_buffer(1))
        reveal_type(gen.get_chunk(1))
        reveal_type(gen.chunk_size)
        reveal_type(info)
        reveal_type(vorn_py.generate_into_buffer)
    """)
    assert result.returncode == 0, result.stdout + result.stderr
    # Older mypy versions spell builtins with their module; compare without it.
    revealed = [line.split("Revealed type is ", 1)[1].replace("builtins.", "")
                for line in result.stdout.splitlines() if "Revealed type is" in line]
    assert revealed[:4] == [
        '"_vorncore.BytesView"',
        '"_vorncore.BytesView | None"',
        '"int"',
        '"dict[str, int | bool | str]"',
    ]
    assert re.search(r"\(buffer: [\w.]*Buffer, dedup_ratio: float =", revealed[4]), revealed[4]
    assert "max_threads: typing.SupportsIndex | None =" in revealed[4]
    assert revealed[4].endswith('-> int"')


def test_mypy_strict_rejects_misuse(tmp_path):
    # Proves the checks above have teeth: with Any everywhere these would pass.
    result = run_mypy(tmp_path, """
        import vorn_py
        from vorn_py import measure

        vorn_py.generate_buffer("1GiB")
        vorn_py.Generator(1).get_chunk(8).reset()
        measure.measure(b"x", chunk_size="4KiB")
        text: str = vorn_py.get_numa_info()["num_nodes"]
    """)
    assert result.returncode == 1
    errors = [(int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
              for line in result.stdout.splitlines() if ": error:" in line]
    assert errors == [
        (5, "arg-type"),      # a str size
        (6, "union-attr"),    # get_chunk may return None ...
        (6, "union-attr"),    # ... and a BytesView has no reset
        (7, "arg-type"),      # a str chunk size
        (8, "assignment"),    # the NUMA dict's values are not all str
    ], result.stdout


def test_the_package_itself_passes_mypy_strict(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), "-p", "vorn_py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
