"""Argument binding, conversion and checking, for every callable with
parameters: messages, exception types and the order of the checks."""

import pytest

import _vorncore
from _vorncore import Generator, generate_buffer, generate_into_buffer

BAD_MODE = "Invalid numa_mode '{}': must be 'auto', 'force', or 'disabled'"


def message(excinfo):
    return str(excinfo.value)


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 3.0


class TestBinding:
    def test_generate_buffer_binding_errors(self):
        with pytest.raises(TypeError) as e:
            generate_buffer()
        assert message(e) == "generate_buffer() missing 1 required positional argument: 'size'"
        with pytest.raises(TypeError) as e:
            generate_buffer(1, 1.0, 1.0, "auto", None, None, 7)
        assert message(e) == (
            "generate_buffer() takes from 1 to 6 positional arguments but 7 were given")
        with pytest.raises(TypeError) as e:
            generate_buffer(1, foo=2)
        assert message(e) == "generate_buffer() got an unexpected keyword argument 'foo'"
        with pytest.raises(TypeError) as e:
            generate_buffer(1, size=2)
        assert message(e) == "generate_buffer() got multiple values for argument 'size'"
        with pytest.raises(TypeError) as e:
            generate_buffer(dedup_ratio=2.0)
        assert message(e) == "generate_buffer() missing 1 required positional argument: 'size'"

    def test_generate_into_buffer_binding_errors(self):
        with pytest.raises(TypeError) as e:
            generate_into_buffer()
        assert message(e) == (
            "generate_into_buffer() missing 1 required positional argument: 'buffer'")
        with pytest.raises(TypeError) as e:
            generate_into_buffer(bytearray(1), 1, 1, "auto", None, None, None)
        assert message(e) == (
            "generate_into_buffer() takes from 1 to 6 positional arguments but 7 were given")
        with pytest.raises(TypeError) as e:
            generate_into_buffer(bytearray(1), buffer=bytearray(1))
        assert message(e) == "generate_into_buffer() got multiple values for argument 'buffer'"

    def test_generator_binding_errors(self):
        with pytest.raises(TypeError) as e:
            Generator()
        assert message(e) == "Generator.__new__() missing 1 required positional argument: 'size'"
        with pytest.raises(TypeError) as e:
            Generator(1, 1.0, 1.0, "auto", 1, None, None, 8)
        assert message(e) == (
            "Generator.__new__() takes from 1 to 7 positional arguments but 8 were given")
        with pytest.raises(TypeError) as e:
            Generator(1, bogus=1)
        assert message(e) == "Generator.__new__() got an unexpected keyword argument 'bogus'"
        with pytest.raises(TypeError) as e:
            Generator(1, 1.0, dedup_ratio=2.0)
        assert message(e) == "Generator.__new__() got multiple values for argument 'dedup_ratio'"

    def test_method_binding_errors(self):
        gen = Generator(1, max_threads=1)
        with pytest.raises(TypeError) as e:
            gen.get_chunk(1, 2)
        assert message(e) == "Generator.get_chunk() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            gen.get_chunk()
        assert message(e) == (
            "Generator.get_chunk() missing 1 required positional argument: 'chunk_size'")
        with pytest.raises(TypeError) as e:
            gen.fill_chunk(bytearray(1), bytearray(1))
        assert message(e) == "Generator.fill_chunk() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            gen.fill_chunk(buf=bytearray(1))
        assert message(e) == "Generator.fill_chunk() got an unexpected keyword argument 'buf'"
        # Keywords work for the one parameter too.
        assert gen.get_chunk(chunk_size=10) is not None
        assert gen.fill_chunk(buffer=bytearray(10)) == 10
        for name in ("reset", "position", "total_size", "is_complete"):
            with pytest.raises(TypeError):
                getattr(gen, name)(1)
        with pytest.raises(TypeError):
            _vorncore.get_numa_info(1)

    def test_method_receiver_must_be_a_generator(self):
        with pytest.raises(TypeError):
            Generator.position(5)
        with pytest.raises(TypeError):
            Generator.fill_chunk(bytearray(4), bytearray(4))


class TestConversions:
    def test_integer_parameters(self):
        for bad in (1.5, "10", None, [1]):
            with pytest.raises(TypeError) as e:
                generate_buffer(bad)
            assert message(e).startswith("argument 'size': ")
        with pytest.raises(OverflowError) as e:
            generate_buffer(-1)
        assert not message(e).startswith("argument")
        with pytest.raises(OverflowError):
            generate_buffer(2**64)
        assert len(generate_buffer(True, max_threads=1)) == 4194304
        assert len(generate_buffer(Indexable(5), max_threads=1)) == 4194304
        with pytest.raises(TypeError) as e:
            generate_buffer(1, max_threads=2.0)
        assert message(e).startswith("argument 'max_threads': ")
        with pytest.raises(TypeError) as e:
            generate_buffer(1, numa_node="0")
        assert message(e).startswith("argument 'numa_node': ")
        with pytest.raises(OverflowError):
            generate_buffer(1, numa_node=-1)
        with pytest.raises(TypeError) as e:
            Generator(1, chunk_size=1.0)
        assert message(e).startswith("argument 'chunk_size': ")
        with pytest.raises(TypeError) as e:
            Generator(1, max_threads=1).get_chunk("8")
        assert message(e).startswith("argument 'chunk_size': ")
        with pytest.raises(OverflowError):
            Generator(1, max_threads=1).get_chunk(-1)

    def test_float_parameters(self):
        for name in ("dedup_ratio", "compress_ratio"):
            for bad in (None, "2.0", object()):
                with pytest.raises(TypeError) as e:
                    generate_buffer(1, **{name: bad}, max_threads=1)
                assert message(e).startswith(f"argument '{name}': ")
        # ints, __float__ and __index__ objects are accepted
        assert len(generate_buffer(1, dedup_ratio=2, compress_ratio=Floaty(), max_threads=1)) == 4194304
        assert len(generate_buffer(1, compress_ratio=Indexable(2), max_threads=1)) == 4194304
        for odd in (float("nan"), float("inf"), float("-inf"), 0.5, -3.0, 1e300):
            assert len(generate_buffer(1, dedup_ratio=odd, compress_ratio=odd, max_threads=1)) == 4194304

    def test_type_error_cause_is_kept(self):
        class BadIndex:
            def __index__(self):
                try:
                    raise KeyError("inner")
                except KeyError as inner:
                    raise TypeError("no index") from inner

        with pytest.raises(TypeError) as e:
            generate_buffer(BadIndex())
        assert message(e) == "argument 'size': no index"
        assert isinstance(e.value.__cause__, KeyError)

    def test_type_error_subclasses_are_not_renamed(self):
        class MyTypeError(TypeError):
            pass

        class Raises:
            def __index__(self):
                raise MyTypeError("custom")

        with pytest.raises(MyTypeError) as e:
            generate_buffer(Raises())
        assert message(e) == "custom"

    def test_none_means_absent_for_optional_integers(self):
        assert len(generate_buffer(1, max_threads=None, numa_node=None)) == 4194304
        assert Generator(1, max_threads=None, numa_node=None, chunk_size=None).chunk_size == 33554432


class TestNumaMode:
    @pytest.mark.parametrize("mode", ["auto", "AUTO", "Force", "FORCE", "disable", "DISABLE",
                                      "disabled", "Disabled"])
    def test_accepted_spellings(self, mode):
        assert len(generate_buffer(1, numa_mode=mode, max_threads=1)) == 4194304
        assert generate_into_buffer(bytearray(3), numa_mode=mode, max_threads=1) == 3
        Generator(1, numa_mode=mode, max_threads=1)

    @pytest.mark.parametrize("mode", ["bogus", "Bogus", "none", "Nope", "", " auto", "auto ",
                                      "disabledd", "autö"])
    def test_refused_spellings_keep_the_callers_text(self, mode):
        for call in (lambda: generate_buffer(1, numa_mode=mode),
                     lambda: generate_into_buffer(bytearray(1), numa_mode=mode),
                     lambda: Generator(1, numa_mode=mode)):
            with pytest.raises(ValueError) as e:
                call()
            assert message(e) == BAD_MODE.format(mode)

    def test_non_strings_and_unencodable_strings(self):
        with pytest.raises(TypeError) as e:
            generate_buffer(1, numa_mode=5)
        assert message(e) == "argument 'numa_mode': 'int' object cannot be cast as 'str'"
        with pytest.raises(TypeError) as e:
            Generator(1, numa_mode=b"auto")
        assert message(e) == "argument 'numa_mode': 'bytes' object cannot be cast as 'str'"
        with pytest.raises(UnicodeEncodeError):
            generate_buffer(1, numa_mode="\udcff")

    def test_str_subclass_is_accepted(self):
        class Mode(str):
            def lower(self):
                return "bogus"

        assert len(generate_buffer(1, numa_mode=Mode("AUTO"), max_threads=1)) == 4194304

    def test_mode_is_checked_after_every_conversion(self):
        with pytest.raises(TypeError) as e:
            generate_buffer(1, numa_mode="bogus", max_threads="x")
        assert message(e).startswith("argument 'max_threads': ")
        with pytest.raises(TypeError) as e:
            Generator(1, numa_mode="bogus", chunk_size="x")
        assert message(e).startswith("argument 'chunk_size': ")

    def test_conversions_run_in_parameter_order(self):
        with pytest.raises(TypeError) as e:
            generate_buffer("x", dedup_ratio=None)
        assert message(e).startswith("argument 'size': ")
        with pytest.raises(TypeError) as e:
            generate_buffer(1, dedup_ratio=None, compress_ratio=None)
        assert message(e).startswith("argument 'dedup_ratio': ")
        with pytest.raises(TypeError) as e:
            generate_into_buffer(bytearray(1), compress_ratio=None, numa_mode=3)
        assert message(e).startswith("argument 'compress_ratio': ")


def test_numa_mode_message_keeps_the_whole_text():
    with pytest.raises(ValueError) as e:
        generate_buffer(1, numa_mode="a\x00b")
    assert message(e) == BAD_MODE.format("a\x00b")
