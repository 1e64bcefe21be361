"""The vorn-gen command line: generate data to a file, a pipe or a data set of
files, verify it against its manifest, measure the ratios a file achieves,
and show the machine's NUMA layout.

Exit status: 0 success, 1 failure (the message says how many bytes were
written), 2 usage error, 130 interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
import os
import re
import stat
import sys
import time
from decimal import Decimal
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import vorn_py
from vorn_py import _nodes
from vorn_py import _launch, parallel
from vorn_py import dataset as datasets
from vorn_py import measure as measuring
from vorn_py import s3 as objects
from vorn_py import verify as verifying
from vorn_py._status import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE
from vorn_py._units import human_bytes
from vorn_py.layout import PAGE, DatasetLayout
from vorn_py.manifest import BLOCK_SIZE, Manifest, ManifestError, create_beside, read_manifest
from vorn_py.sinks import same_file
from vorn_py.writer import largest_size

if TYPE_CHECKING:
    from typing import NoReturn

    from tqdm import tqdm

    ProgressBar = tqdm[NoReturn]

PROG = "vorn-gen"


DEFAULT_CHUNK = 32 << 20
# measure shows a progress bar only for inputs this large (or of unknown size).
_MEASURE_BAR_THRESHOLD = 64 << 20

_UNITS = {
    "": 1, "b": 1,
    "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12, "pb": 10**15,
    "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40, "pib": 2**50,
}
_SIZE_PATTERN = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")
_MAX_SIZE = 2**64 - 1
# Upper bounds of the options, so that a mistyped value is a usage error and
# not an overflow deep inside. Ratios: the compression ratio levels off near
# 30 and a dedup ratio of a million already means one distinct block per
# 4 TiB. Threads: the generator runs at most 1024 workers (the width of the
# CPU mask they are pinned within), so a larger request would be cut short
# silently. Nodes: Linux numbers them below 1024. Chunks: buffers beyond
# 64 GiB gain nothing.
MAX_RATIO = 10**6
MAX_THREADS = 1024
MAX_NUMA_NODE = 1023
MAX_GENERATE_CHUNK = datasets.MAX_CHUNK_SIZE
MAX_FILES = 10**12


# A dedup ratio further than this from the request earns a warning.
DEDUP_TOLERANCE = 0.05


class CommandError(Exception):
    """A failure to report as one line on standard error, then exit."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def parse_size(text: str) -> int:
    """Bytes from "4096", "1.5GB" (powers of ten) or "1GiB" (powers of two)."""
    if text.strip().startswith("-"):
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: a size cannot be negative")
    match = _SIZE_PATTERN.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(
            f"invalid size {text!r}: expected a number with an optional unit, e.g. 10GiB")
    number, unit = match.group(1), match.group(2).lower()
    if unit not in _UNITS:
        if unit in ("k", "m", "g", "t", "p"):
            raise argparse.ArgumentTypeError(
                f"ambiguous unit in {text!r}: write {unit.upper()}B for powers of ten "
                f"or {unit.upper()}iB for powers of two")
        raise argparse.ArgumentTypeError(
            f"invalid size {text!r}: unknown unit {match.group(2)!r} "
            "(use B, KB, MB, GB, TB, PB, KiB, MiB, GiB, TiB or PiB)")
    exact = Decimal(number) * _UNITS[unit]  # exact: "1.5GB" is 1500000000
    if exact != exact.to_integral_value():
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: not a whole number of bytes")
    if exact > _MAX_SIZE:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: larger than 2^64 - 1 bytes")
    return int(exact)


def _size_between(minimum: int, maximum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        size = parse_size(text)
        if size < minimum:
            raise argparse.ArgumentTypeError(f"invalid size {text!r}: must be at least "
                                             f"{minimum} byte{'s' if minimum > 1 else ''}")
        if size > maximum:
            raise argparse.ArgumentTypeError(
                f"invalid size {text!r}: must be at most {_exact_units(maximum)}")
        return size
    return parse


def _exact_units(size: int) -> str:
    """64 << 30 -> "64GiB": a size in the largest unit that divides it."""
    for unit in ("PiB", "TiB", "GiB", "MiB", "KiB"):
        if size % _UNITS[unit.lower()] == 0:
            return f"{size // _UNITS[unit.lower()]}{unit}"
    return f"{size}B"


def parse_ratio(text: str) -> int:
    """A ratio of at least 1; whole numbers only, since that is what the
    generator produces (it would silently round 2.5 down to 2)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid ratio {text!r}: expected a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"invalid ratio {text!r}: must be a finite number")
    if value < 1:
        raise argparse.ArgumentTypeError(f"invalid ratio {text!r}: must be at least 1")
    if value > MAX_RATIO:
        raise argparse.ArgumentTypeError(f"invalid ratio {text!r}: must be at most {MAX_RATIO}")
    if value != int(value):
        raise argparse.ArgumentTypeError(
            f"invalid ratio {text!r}: must be a whole number (1 = none, 2 = 2:1, ...)")
    return int(value)


def _count(minimum: int, maximum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"invalid number {text!r}: must be at least {minimum}")
        if value > maximum:
            raise argparse.ArgumentTypeError(f"invalid number {text!r}: must be at most {maximum}")
        return value
    return parse


def parse_codec(text: str) -> tuple[str, int | None]:
    """NAME or NAME:LEVEL, e.g. zstd:19."""
    name, _, level_text = text.partition(":")
    name = name.strip().lower()
    if name not in measuring.KNOWN_CODECS:
        raise argparse.ArgumentTypeError(
            f"unknown codec {name!r}: choose from {', '.join(measuring.KNOWN_CODECS)}")
    if not level_text:
        return name, None
    try:
        return name, int(level_text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid level in {text!r}: expected an integer") from None


def _say(prog: str, message: str) -> None:
    """One line on standard error; a closed standard error is not an error."""
    try:
        print(f"{prog}: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _progress_bar(total: int | None, enabled: bool, desc: str) -> ProgressBar | None:
    """A tqdm bar on standard error, or None when it is not wanted."""
    if not enabled:
        return None
    # Imported only when a terminal shows a bar: it costs start-up time.
    from tqdm import tqdm

    try:
        sized = os.get_terminal_size(sys.stderr.fileno()).columns > 0
    except (OSError, AttributeError, ValueError):
        sized = False
    # A terminal that reports no size (some serial consoles) would get no
    # bar at all: give it a fixed one instead.
    return tqdm(total=total, desc=desc, unit="B", unit_scale=True, unit_divisor=1000,
                file=sys.stderr, dynamic_ncols=sized, leave=False,
                ncols=None if sized else 80, nrows=None if sized else 24)


def _stdout_is_open() -> bool:
    # Started with standard output closed, Python sets sys.stdout to None.
    if sys.stdout is None or sys.stdout.closed:
        return False
    try:
        fd = sys.stdout.fileno()
    except (OSError, ValueError, AttributeError):
        return True  # a stream of the caller's without a descriptor (main() in-process)
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


def _require_stdout() -> None:
    """Reports go to standard output: refuse before any work if it is closed."""
    if not _stdout_is_open():
        raise CommandError("standard output is closed: there is nowhere to print the report")


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


# ----------------------------------------------------------------- generate

def _check_output(target: str) -> None:
    """Refuse an unusable standard output before any work is done."""
    if target != "-":
        return
    if not _stdout_is_open():
        raise CommandError("standard output is closed: use -o FILE (0 bytes written)")
    if os.isatty(1):
        raise CommandError("refusing to write binary data to a terminal: "
                           "redirect standard output or use -o FILE", EXIT_USAGE)


def achievable_dedup(size: int, dedup: int) -> float:
    """The dedup ratio that the first `size` bytes of a stream made with
    `dedup` measure, for any chunk size that divides 4 MiB.

    The stream repeats its distinct 4 MiB blocks (`unique_block_count` of
    them) in turn, so the ratio is the bytes written over the bytes of each
    block's first occurrence (a last, partial block included).
    """
    return size / parallel.distinct_bytes(size, dedup) if size else 1.0


def _dedup_warning(size: int, dedup: int) -> str | None:
    achieved = achievable_dedup(size, dedup)
    if abs(achieved - dedup) <= DEDUP_TOLERANCE * dedup:
        return None
    return (f"warning: at {human_bytes(size)} a dedup ratio of {dedup} comes out as "
            f"{achieved:.2f}, "
            f"since data repeats in whole 4 MiB blocks; multiples of "
            f"{human_bytes(dedup * BLOCK_SIZE)} give it exactly")


def _page_warning(layout: DatasetLayout) -> str | None:
    """Files that start off the stream's 4 KiB pages: a store that handles
    each file's records on their own then sees other ratios."""
    if layout.count < 2 or all(layout.offset_of(index) % PAGE == 0 for index in (1, 2)
                               if index < layout.count):
        return None
    return (f"warning: files of {layout.size_of(0)} bytes start at offsets of the stream that "
            "are not multiples of 4 KiB, so a store that compresses or deduplicates each "
            "file's 4 KiB records on its own finds lower ratios; file sizes in whole 4 KiB "
            "pages keep them")


def _place_on_node(node: int) -> None:
    try:
        _nodes.run_on_node(node)
    except _nodes.NodeError as exc:
        if exc.missing:
            raise CommandError(str(exc), EXIT_USAGE) from None
        raise CommandError(f"{exc} (0 bytes written)") from None


def _dataset_layout(args: argparse.Namespace) -> DatasetLayout | None:
    """The layout asked for with --files or --file-size, or None for one
    file; every combination that cannot work is a usage error."""
    wanted = args.files is not None or args.file_size is not None
    if not wanted:
        if args.files_per_dir is not None:
            raise CommandError("--files-per-dir needs --files or --file-size", EXIT_USAGE)
        return None
    if args.output == "-":
        raise CommandError("a data set of files needs a directory: -o DIR", EXIT_USAGE)
    try:
        return DatasetLayout.plan(args.size, args.files, args.file_size, args.files_per_dir)
    except ValueError as exc:
        raise CommandError(f"{exc} (0 bytes written)", EXIT_USAGE) from None


_S3_OPTIONS = (("endpoint_url", "--endpoint-url"), ("path_style", "--path-style"),
               ("part_size", "--part-size"), ("concurrency", "--concurrency"))


def _s3_target(args: argparse.Namespace, url: str) -> objects.S3Target | None:
    """The object storage target ``url`` names with the options given, or
    None for a file target (which must not have been given them)."""
    given = [option for name, option in _S3_OPTIONS if getattr(args, name, None) is not None]
    if not objects.is_s3(url):
        if given:
            raise CommandError(f"{', '.join(given)} {'apply' if len(given) > 1 else 'applies'} "
                               "to s3:// targets only", EXIT_USAGE)
        return None
    try:
        return objects.S3Target(
            url, endpoint_url=args.endpoint_url, path_style=args.path_style,
            part_size=getattr(args, "part_size", None),
            concurrency=args.concurrency or objects.DEFAULT_CONCURRENCY)
    except ValueError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None


def _check_object_options(args: argparse.Namespace, target: objects.S3Target,
                          layout: DatasetLayout | None) -> None:
    """Usage errors of an object storage target, before anything is done."""
    for flag, option in ((args.direct, "--direct"), (args.fsync, "--fsync")):
        if flag:
            raise CommandError(f"{option} applies to files, not to objects", EXIT_USAGE)
    if args.chunk_size is not None:
        raise CommandError("--chunk-size applies to files, not to objects, which go up in "
                           "parts of --part-size", EXIT_USAGE)
    if layout is None and target.is_prefix:
        raise CommandError(f"{target.url} names a prefix: give --files N or --file-size S "
                           "for a data set of objects under it, or name one object "
                           "(s3://bucket/key)", EXIT_USAGE)
    try:
        target.part_size_for(args.size if layout is None else largest_size(layout))
    except ValueError as exc:
        raise CommandError(f"{exc} (0 bytes written)", EXIT_USAGE) from None
    objects_needed()


def objects_needed() -> None:
    """Refuse an object storage target early when the SDK is missing."""
    try:
        objects.sdk()
    except objects.S3Unavailable as exc:
        raise CommandError(str(exc)) from None


def _check_generate_options(args: argparse.Namespace, layout: DatasetLayout | None) -> None:
    """Usage errors among the options, found before anything is done."""
    if args.output == "-":
        if args.direct:
            raise CommandError("--direct needs a file or a directory, not standard output",
                               EXIT_USAGE)
        if args.json:
            raise CommandError("--json prints the report on standard output, which -o - "
                               "fills with data", EXIT_USAGE)
    path: str | None = args.manifest
    if path is not None and path == "-":
        raise CommandError("--manifest needs a file name, not standard output "
                           "(0 bytes written)", EXIT_USAGE)
    if objects.is_s3(args.output):
        return
    if path is not None:
        if layout is None and args.output != "-" and same_file(path, args.output):
            raise CommandError("the manifest cannot be the output file (0 bytes written)",
                               EXIT_USAGE)
        if layout is not None:
            inside = os.path.relpath(os.path.realpath(path), os.path.realpath(args.output))
            if layout.index_of_path(inside.replace(os.sep, "/")) is not None:
                raise CommandError(f"the manifest cannot be one of the data set's files "
                                   f"({inside}) (0 bytes written)", EXIT_USAGE)
    if layout is None and args.output != "-" and os.path.isdir(args.output):
        raise CommandError(f"cannot open {args.output} for writing: it is a directory; "
                           "--files N or --file-size S write a data set into it "
                           "(0 bytes written)")


def _checked_target(args: argparse.Namespace,
                    layout: DatasetLayout | None) -> objects.S3Target | None:
    """Checks the options of generate against its target before anything is
    made, and fills in the chunk size left to its default (which objects do
    not take); returns the object storage target, or None for files."""
    _check_generate_options(args, layout)
    bucket = _s3_target(args, args.output)
    if bucket is not None:
        _check_object_options(args, bucket, layout)
    if args.chunk_size is None:
        args.chunk_size = DEFAULT_CHUNK
    if args.json:
        _require_stdout()
    return bucket


def cmd_generate(args: argparse.Namespace) -> int:
    if _runs_in_parallel(args):
        return _generate_share(args)
    size: int = args.size
    layout = _dataset_layout(args)
    bucket = _checked_target(args, layout)
    if args.numa_mode is not None and not args.quiet:
        _say(args.prog, "note: --numa-mode has no effect and will be removed; "
                        "--numa-node N runs the generator on node N")
    if args.numa_node is not None:
        # Before the generator and its buffers exist: its threads then start
        # on the node's CPUs, and the buffers' pages are touched there first.
        _place_on_node(args.numa_node)
    _check_output(args.output)
    if not args.quiet:
        for warning in (_dedup_warning(size, args.dedup),
                        None if layout is None else _page_warning(layout)):
            if warning is not None:
                _say(args.prog, warning)
    bar = _progress_bar(size, _stderr_is_terminal() and not args.quiet and not args.json,
                        "generate")
    options: dict[str, Any] = dict(
        dedup_ratio=float(args.dedup), compress_ratio=float(args.compress),
        threads=args.threads, chunk_size=args.chunk_size, direct=args.direct,
        fsync=args.fsync, manifest=args.manifest,
        progress=None if bar is None else bar.update)
    failure: CommandError | None = None
    target = args.output if bucket is None else bucket
    try:
        if layout is not None:
            report = datasets.write_dataset(target, layout, **options)
        elif args.output == "-":
            report = datasets.write_file(1, size, name="standard output", **options)
        else:
            report = datasets.write_file(target, size, **options)
    except objects.S3Unavailable as exc:
        raise CommandError(str(exc)) from None
    except datasets.WriteError as exc:
        report, failure = exc.report, CommandError(str(exc))
    except datasets.WriteInterrupted as exc:
        report, failure = exc.report, CommandError(str(exc), EXIT_INTERRUPTED)
    finally:
        if bar is not None:
            bar.close()
    if args.json:
        print(json.dumps(report.to_dict(), indent=2))
    if failure is not None:
        raise failure
    if not args.quiet and not args.json:
        files = "" if layout is None else (
            f" in {report.files_written} {'files' if bucket is None else 'objects'}")
        _say(args.prog, f"wrote {report.bytes_written} bytes ({human_bytes(report.bytes_written)})"
                        f"{files} to {report.target} in {report.seconds:.2f} s, "
                        f"{report.gb_per_s:.2f} GB/s "
                        f"(dedup {args.dedup}, compress {args.compress})")
    return EXIT_OK


# ----------------------------------------------------------- many processes

def _runs_in_parallel(args: argparse.Namespace) -> bool:
    """Whether this process writes one share of a data set: with --rank, or
    under MPI (--mpi, or started by an MPI launcher with more than one
    process or with --report, unless --no-mpi)."""
    if args.rank is None:
        if args.world_size is not None:
            raise CommandError("--world-size needs --rank R or --rank auto", EXIT_USAGE)
        if args.report is not None and args.mpi is False:
            raise CommandError("--report needs --rank or MPI", EXIT_USAGE)
    elif args.mpi:
        raise CommandError("--rank is for processes started without MPI; under MPI "
                           "each process has its rank already", EXIT_USAGE)
    if args.rank is not None or args.mpi:
        return True
    if args.mpi is False:
        return False
    try:
        launched = _launch.mpi_world_size(os.environ)
    except _launch.LaunchError as exc:
        raise CommandError(f"{exc} (--no-mpi ignores it)", EXIT_USAGE) from None
    if launched is not None and (launched > 1 or args.report is not None):
        # Started by an MPI launcher: a report is asked of every process, so
        # a run of one is a run too, and a script may scale from 1.
        return True
    if args.report is not None:
        raise CommandError("--report needs --rank R --world-size W, --rank auto or MPI",
                           EXIT_USAGE)
    return False


def _placement(args: argparse.Namespace) -> _launch.Placement:
    """The rank and world size of a process that runs without MPI."""
    if args.rank == "auto":
        try:
            return _launch.rank_from_environment(os.environ, args.world_size)
        except _launch.LaunchError as exc:
            raise CommandError(str(exc), EXIT_USAGE) from None
    if args.world_size is None:
        raise CommandError("--rank R needs --world-size W", EXIT_USAGE)
    rank = _count(0, MAX_FILES)(args.rank) if isinstance(args.rank, str) else args.rank
    if rank >= args.world_size:
        raise CommandError(f"--rank {rank} is not below --world-size {args.world_size}",
                           EXIT_USAGE)
    return _launch.Placement(rank, args.world_size, "--rank")


def _parse_rank(text: str) -> str:
    if text == "auto":
        return text
    try:
        _count(0, MAX_FILES)(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"invalid rank {text!r}: a number from 0, "
                                         "or auto") from None
    return text


def _generate_share(args: argparse.Namespace) -> int:
    """generate as one of several processes writing one data set."""
    mpi = args.rank is None
    comm: Any = None
    try:
        layout = _dataset_layout(args)
        if layout is None:
            raise CommandError("several processes write a data set: give --files N or "
                               "--file-size S, and -o DIR", EXIT_USAGE)
        bucket = _checked_target(args, layout)
        if mpi:
            try:
                comm = _launch.mpi_world(_launch.mpi_world_size(os.environ))
            except _launch.LaunchError as exc:
                raise CommandError(str(exc)) from None
            placement = _launch.Placement(comm.Get_rank(), comm.Get_size(), "MPI")
        else:
            placement = _placement(args)
    except CommandError as exc:
        if mpi and _launcher_rank() != 0:
            raise SystemExit(exc.status) from None  # rank 0 says it, once
        raise
    rank, world = placement.rank, placement.world_size
    speaks = not mpi or rank == 0
    if mpi:
        _prepare_every_rank(comm, args, layout, rank)
    else:
        if args.numa_node is not None:
            _place_on_node(args.numa_node)
        _check_report_path(args, layout, rank, merged_manifest=False)
    if speaks and not args.quiet:
        parts = parallel.shares(layout, world, args.dedup)
        for warning in (_dedup_warning(layout.size, args.dedup), _page_warning(layout),
                        _share_dedup_warning(layout, parts, args)):
            if warning is not None:
                _say(args.prog, warning)
    options: dict[str, Any] = dict(
        compress_ratio=float(args.compress), threads=args.threads,
        chunk_size=args.chunk_size, direct=args.direct, fsync=args.fsync)
    target = args.output if bucket is None else bucket
    if mpi:
        return _generate_share_mpi(args, comm, target, layout, options)
    return _generate_share_alone(args, target, layout, rank, world, options)


def _check_report_path(args: argparse.Namespace, layout: DatasetLayout, rank: int, *,
                       merged_manifest: bool) -> None:
    """The report is written last, over whatever has its name: not over
    this process's manifest (or the one rank 0 merges), nor a data file;
    and into a directory that is there."""
    if args.report is None:
        return
    path = parallel.rank_path(args.report, rank)
    if args.manifest is not None:
        manifest = args.manifest if merged_manifest else parallel.rank_path(args.manifest, rank)
        if same_file(path, manifest):
            raise CommandError(f"the report {path} would replace the manifest "
                               "(0 bytes written)", EXIT_USAGE)
    inside = os.path.relpath(os.path.realpath(path), os.path.realpath(args.output))
    if layout.index_of_path(inside.replace(os.sep, "/")) is not None:
        raise CommandError(f"the report cannot be one of the data set's files ({inside}) "
                           "(0 bytes written)", EXIT_USAGE)
    directory = os.path.dirname(path) or "."
    made_by_the_write = os.path.realpath(directory) == os.path.realpath(args.output)
    if not made_by_the_write and not os.path.isdir(directory):
        # Found now, not after the whole share is written (the data set's
        # own directory is made by the write).
        raise CommandError(f"cannot write the report {path}: {directory} is not a directory "
                           "(0 bytes written)", EXIT_USAGE)


def _prepare_every_rank(comm: Any, args: argparse.Namespace, layout: DatasetLayout,
                        rank: int) -> None:
    """Under MPI, what depends on each process's machine: --numa-node (the
    machines may differ) and where its report goes. A process that ended
    alone here would leave the others waiting for it in the run's first
    collective call, so all learn whether each could go on, and stop
    together, rank 0 saying why."""
    problem: tuple[str, int] | None = None
    try:
        if args.numa_node is not None:
            _place_on_node(args.numa_node)
        merged = args.manifest is not None and "{rank}" not in args.manifest
        _check_report_path(args, layout, rank, merged_manifest=merged)
    except CommandError as exc:
        problem = (str(exc), exc.status)
    problems: list[tuple[str, int] | None] = comm.allgather(problem)
    failed = [(index, found) for index, found in enumerate(problems) if found is not None]
    if not failed:
        return
    first, (message, status) = failed[0]
    if comm.Get_rank() != 0:
        raise SystemExit(status)
    if len(failed) < len(problems) or len({found for _, found in failed}) > 1:
        more = f" (and {len(failed) - 1} more ranks)" if len(failed) > 1 else ""
        message = f"rank {first}: {message}{more}"
    raise CommandError(message, status)


def _launcher_rank() -> int:
    for name in ("PMI_RANK", "OMPI_COMM_WORLD_RANK"):
        if os.environ.get(name, "").isdigit():
            return int(os.environ[name])
    return 0


def _share_dedup_warning(layout: DatasetLayout, parts: list[Any],
                         args: argparse.Namespace) -> str | None:
    planned = parallel.planned_dedup(parts, args.dedup)
    single = achievable_dedup(layout.size, args.dedup)
    if abs(planned - single) <= DEDUP_TOLERANCE * args.dedup or planned == single:
        return None
    return (f"warning: no file boundary falls on a multiple of {human_bytes(args.dedup * BLOCK_SIZE)} "
            f"(a dedup group) near the even split of the data set between {len(parts)} "
            f"processes, so their streams give a dedup ratio of {planned:.2f}, not "
            f"{single:.2f}; file sizes that divide a group avoid this")


def _generate_share_alone(args: argparse.Namespace, target: str | objects.S3Target,
                          layout: DatasetLayout, rank: int, world: int,
                          options: dict[str, Any]) -> int:
    manifest = None if args.manifest is None else parallel.rank_path(args.manifest, rank)
    bar = _progress_bar(parallel.share_of(layout, rank, world, args.dedup).size,
                        _stderr_is_terminal() and not args.quiet and not args.json,
                        f"rank {rank}")
    failure: CommandError | None = None
    if args.report is not None:
        _save_placeholder(parallel.rank_path(args.report, rank), target, layout, rank, world,
                          args)
    try:
        record = parallel.write_share(target, layout, rank, world,
                                      dedup_ratio=float(args.dedup), manifest=manifest,
                                      progress=None if bar is None else bar.update, **options)
    except parallel.ShareInterrupted as exc:
        record, failure = exc.record, CommandError(exc.record.problem(), EXIT_INTERRUPTED)
    except parallel.ShareError as exc:
        record, failure = exc.record, CommandError(exc.record.problem())
    except ValueError as exc:
        raise CommandError(f"{exc} (0 bytes written)", EXIT_USAGE) from None
    finally:
        if bar is not None:
            bar.close()
    if args.report is not None:
        _save_record(parallel.rank_path(args.report, rank), record)
    if args.json:
        print(json.dumps(record.to_dict(), indent=2))
    if failure is not None:
        raise failure
    if not args.quiet and not args.json:
        _say(args.prog, f"rank {rank} of {world} wrote {record.bytes_written} bytes "
                        f"({human_bytes(record.bytes_written)}) in {record.files_written} "
                        f"{_noun(record.target)} to {record.target} in {record.seconds:.2f} s, "
                        f"{record.gb_per_s:.2f} GB/s (dedup {args.dedup}, "
                        f"compress {args.compress})")
    return EXIT_OK


def _generate_share_mpi(args: argparse.Namespace, comm: Any, target: str | objects.S3Target,
                        layout: DatasetLayout, options: dict[str, Any]) -> int:
    rank = comm.Get_rank()
    status = EXIT_OK
    try:
        report = parallel.write_dataset_mpi(comm, target, layout,
                                            dedup_ratio=float(args.dedup),
                                            manifest=args.manifest, **options)
    except parallel.RunInterrupted as exc:
        report, status = exc.report, EXIT_INTERRUPTED
    except parallel.RunError as exc:
        report, status = exc.report, EXIT_FAILURE
    except ValueError as exc:
        if rank != 0:
            raise SystemExit(EXIT_USAGE) from None
        raise CommandError(f"{exc} (0 bytes written)", EXIT_USAGE) from None
    if args.report is not None:
        _save_record(parallel.rank_path(args.report, rank), report.ranks[rank])
    if rank != 0:
        raise SystemExit(status)  # rank 0 speaks for the run
    if args.json:
        print(json.dumps(report.to_dict(), indent=2))
    elif not args.quiet:
        _print_run(report)
    if status != EXIT_OK:
        raise CommandError("; ".join(report.problems()), status)
    return EXIT_OK


def _save_placeholder(path: str, target: str | objects.S3Target, layout: DatasetLayout,
                      rank: int, world: int, args: argparse.Namespace) -> None:
    """A failed record in the report's place until the share's own replaces
    it: a process killed on the way must not leave an earlier run's report
    there for a merge to take as this run's. Where the report's directory is
    still to be made (the data set's own), no earlier report can be there."""
    if not os.path.isdir(os.path.dirname(path) or "."):
        return
    _save_record(path, parallel.record_before_writing(
        target, layout, rank, world, float(args.dedup), float(args.compress),
        mode="independent", run_id=None, state=parallel.FAILED,
        error="the process ended before it finished its share"))


def _save_record(path: str, record: parallel.RankReport) -> None:
    """Written whole or not at all: a merge never reads half a report."""
    partial: str | None = None
    try:
        fd, partial = create_beside(path)
        with open(fd, "w") as out:
            json.dump(record.to_dict(), out, indent=2)
            out.write("\n")
        os.replace(partial, path)
    except OSError as exc:
        if partial is not None:
            try:
                os.unlink(partial)
            except OSError:
                pass
        raise CommandError(f"cannot write the report {path}: {exc.strerror or exc}") from None


def _noun(target: str) -> str:
    """What a data set at ``target`` is made of, for messages."""
    return "objects" if objects.is_s3(target) else "files"


def _print_run(report: parallel.RunReport) -> None:
    rates = report.per_process_gb_per_s
    how = "MPI" if report.mode == "mpi" else "independent"
    start = ("the common start" if report.mode == "mpi"
             else "the first process's start (by each host's clock)")
    noun = _noun(report.targets[0])
    complete = (f"{report.bytes_written} bytes ({human_bytes(report.bytes_written)}) "
                f"in {report.files_written} {noun}")
    if not report.ok:
        complete = (f"{report.bytes_written} of {report.size} bytes, {report.files_written} "
                    f"of {report.file_count} {noun} complete")
    first = report.ranks[0]
    print(f"target:      {', '.join(report.targets)}")
    print(f"processes:   {report.world_size} ({how})")
    print(f"written:     {complete}")
    print(f"time:        {report.seconds:.2f} s from {start} to the last process's end")
    print(f"aggregate:   {report.gb_per_s:.2f} GB/s")
    print(f"per process: {rates['min']:.2f} min, {rates['median']:.2f} median, "
          f"{rates['max']:.2f} max GB/s")
    print(f"ratios:      dedup {first.dedup}, compress {first.compress}")
    if report.manifests:
        print(f"manifest:    {', '.join(report.manifests)}")
    for problem in report.problems():
        print(f"problem:     {problem}")
    print("result:      OK" if report.ok else "result:      FAILED")


# A rank report is a few KiB: past this, a name was given by mistake (a data
# file, a device), and reading on would only fill memory.
_MAX_REPORT_SIZE = 1 << 20


def cmd_report_merge(args: argparse.Namespace) -> int:
    _require_stdout()
    records = []
    for name in args.reports:
        try:
            with open(name, "rb") as source:
                text = source.read(_MAX_REPORT_SIZE + 1)
        except OSError as exc:
            raise CommandError(f"cannot read {name}: {exc.strerror or exc}", EXIT_USAGE) from None
        if len(text) > _MAX_REPORT_SIZE:
            raise CommandError(f"{name} is too large to be a vorn-gen rank report", EXIT_USAGE)
        try:
            data = json.loads(text)
        except (ValueError, UnicodeDecodeError):
            raise CommandError(f"{name} is not a vorn-gen rank report (not JSON)",
                               EXIT_USAGE) from None
        try:
            records.append(parallel.RankReport.from_dict(data))
        except ValueError as exc:
            raise CommandError(f"{name} is {exc}", EXIT_USAGE) from None
    try:
        report = parallel.merge_reports(records, args.reports)
    except parallel.RunMismatch as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    if args.json:
        print(json.dumps(report.to_dict(), indent=2))
    else:
        _print_run(report)
    if not report.ok:
        raise CommandError("; ".join(report.problems()), EXIT_FAILURE)
    return EXIT_OK


# ------------------------------------------------------------------ measure

def _open_input(target: str) -> tuple[io.FileIO, str, int | None]:
    """An unbuffered binary stream, its name, and its remaining size if known."""
    if target == "-" and os.isatty(0):
        raise CommandError("refusing to read data from a terminal: "
                           "redirect standard input or give a FILE", EXIT_USAGE)
    name = "standard input" if target == "-" else target
    try:
        stream = (open(0, "rb", buffering=0, closefd=False) if target == "-"
                  else open(target, "rb", buffering=0))
    except OSError as exc:
        raise CommandError(f"cannot open {name}: {exc.strerror}") from None
    total = None
    try:
        info = os.fstat(stream.fileno())
        if stat.S_ISREG(info.st_mode):
            total = max(0, info.st_size - stream.tell())
    except OSError:
        pass
    return stream, name, total


def _print_measurement(name: str, result: measuring.Measurement) -> None:
    print(f"source: {name}")
    print(f"size:   {result['size']} bytes ({human_bytes(result['size'])})")
    if result["dedup_exact"]:
        print(f"dedup:  {result['dedup_ratio']:.2f}  ({result['chunks']} chunks of "
              f"{result['chunk_size']} bytes, {result['unique_chunks']} unique)")
    else:
        print(f"dedup:  {result['dedup_ratio']:.2f}  (estimated, standard error "
              f"{result['dedup_error']:.2%}; {result['chunks']} chunks of "
              f"{result['chunk_size']} bytes, about {result['unique_chunks']} unique)")
    if not result["compression"]:
        return
    print()
    print(f"{'codec':<8} {'compression':>11} {'combined':>9} {'compressed bytes':>17}")
    for codec, figures in result["compression"].items():
        print(_codec_row(codec, figures, result["size"]))
    if result["records"]:
        # Each record compressed on its own, as a store that compresses
        # record by record does.
        print()
        print(f"{'record':<8} {'codec':<8} {'compression':>11} {'combined':>9} "
              f"{'compressed bytes':>17}")
        for record_size, codecs in result["records"].items():
            for codec, figures in codecs.items():
                print(f"{_exact_units(record_size):<8} {_codec_row(codec, figures, result['size'])}")


def _codec_row(codec: str, figures: measuring.CodecResult, size: int) -> str:
    combined = figures["combined_compressed_size"]
    combined_text = "-" if combined is None else f"{size / combined if size and combined else 1:.2f}"
    return (f"{measuring.codec_label(codec, figures['level']):<8} {figures['ratio']:>11.2f} "
            f"{combined_text:>9} {figures['compressed_size']:>17}")


def _chosen_codecs(args: argparse.Namespace) -> dict[str, int | None] | None:
    """The codecs asked for (None: the defaults), checked before anything is
    read so that a mistake costs no time."""
    codecs: dict[str, int | None] | None = dict(args.codec) if args.codec else None
    try:
        measuring.resolve_codecs(codecs)
    except measuring.CodecUnavailableError as exc:
        raise CommandError(str(exc)) from None
    except ValueError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    if codecs is None:
        missing = [c for c in measuring.DEFAULT_CODECS if c not in measuring.available_codecs()]
        if missing and not args.quiet:
            _say(args.prog, f"note: {', '.join(missing)} not installed, so not measured "
                 "(pip install 'vorn_py[measure]')")
    return codecs


def cmd_measure(args: argparse.Namespace) -> int:
    _require_stdout()
    codecs = _chosen_codecs(args)
    stream, name, total = _open_input(args.input)
    show_bar = (_stderr_is_terminal() and not args.quiet
                and (total is None or total >= _MEASURE_BAR_THRESHOLD))
    bar = _progress_bar(total, show_bar, "measure")
    try:
        result = measuring.measure(stream, chunk_size=args.chunk, codecs=codecs,
                                   combined=args.combined, estimate=args.estimate,
                                   record_size=args.record_size,
                                   progress=None if bar is None else bar.update)
    except OSError as exc:
        raise CommandError(f"cannot read {name}: {exc.strerror or exc}") from None
    except KeyboardInterrupt:
        raise CommandError("interrupted", EXIT_INTERRUPTED) from None
    finally:
        if bar is not None:
            bar.close()
        stream.close()
    if args.json:
        print(json.dumps({"source": name, **result}, indent=2))
    else:
        _print_measurement(name, result)
    return EXIT_OK


# ------------------------------------------------------------------- verify

def _verify_target(names: list[str], args: argparse.Namespace
                   ) -> tuple[verifying.Target | objects.S3Target, list[str]]:
    """What verify reads: a path, standard input or a list of files, and
    their names for the report."""
    urls = [name for name in names if objects.is_s3(name)]
    if urls:
        if len(names) > 1:
            raise CommandError("an s3:// target is verified on its own: give one object or "
                               "one prefix", EXIT_USAGE)
        target = _s3_target(args, urls[0])
        assert target is not None
        objects_needed()
        return target, names
    _s3_target(args, names[0])  # no object storage options without an s3:// target
    if "-" not in names:
        return (names[0] if len(names) == 1 else names), names
    if len(names) > 1:
        raise CommandError("standard input (-) cannot be combined with files", EXIT_USAGE)
    if os.isatty(0):
        raise CommandError("refusing to read data from a terminal: "
                           "redirect standard input or give a FILE", EXIT_USAGE)
    return open(0, "rb", buffering=0, closefd=False), ["standard input"]


def _describe_manifest(manifest: Manifest) -> str:
    sections = manifest.sections
    if len(sections) > 1:
        return f"{len(sections)} streams, {manifest.data_size} bytes in all"
    layout = sections[0].layout
    return (f"{layout.data_size} bytes at dedup {layout.dedup}, compress {layout.compress}: "
            f"{layout.unique_blocks} unique blocks")


def _print_verification(target: str, manifest: Manifest, result: verifying.VerifyResult,
                        seconds: float) -> None:
    several = len(manifest.sections) > 1
    rate = result.target_size / seconds / 1e9 if seconds > 0 else float("inf")
    print(f"target:   {target}")
    print(f"manifest: {', '.join(manifest.names)} ({_describe_manifest(manifest)})")
    print(f"checked:  {result.blocks_checked} blocks, {result.bytes_checked} bytes "
          f"({human_bytes(result.bytes_checked)}) in {seconds:.2f} s, {rate:.2f} GB/s")
    for mismatch in result.mismatches:
        block = f"block {mismatch.block}" + (f" of stream {mismatch.stream}" if several else "")
        print(f"mismatch: {block}, {mismatch.length} bytes at offset {mismatch.offset} "
              f"of {mismatch.file}")
    unlisted = result.mismatch_count - len(result.mismatches)
    if unlisted:
        print(f"mismatch: and {unlisted} more ({result.mismatch_count} blocks in all)")
    if result.missing is not None:
        gap = result.missing
        print(f"missing:  {gap.bytes} bytes: the data ends at offset {gap.offset} of {gap.file}, "
              f"in block {gap.block}" + (f" of stream {gap.stream}" if several else ""))
    if result.extra is not None:
        gap = result.extra
        print(f"extra:    {gap.bytes} bytes from offset {gap.offset} of {gap.file}")
    if result.ok:
        print("result:   OK, every block matches the manifest")
        return
    faults = []
    if result.mismatch_count:
        faults.append(f"{result.mismatch_count} mismatched "
                      f"block{'s' if result.mismatch_count != 1 else ''}")
    if result.missing is not None:
        faults.append(f"{result.missing.bytes} bytes missing")
    if result.extra is not None:
        faults.append(f"{result.extra.bytes} bytes extra")
    print(f"result:   FAILED, {', '.join(faults)}")


def cmd_verify(args: argparse.Namespace) -> int:
    _require_stdout()
    target, names = _verify_target(args.target, args)
    try:
        manifest = read_manifest(args.manifest)
    except ManifestError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    bar = None
    try:
        try:
            total = verifying.target_size(target, manifest)
        except ValueError as exc:
            raise CommandError(str(exc), EXIT_USAGE) from None
        except verifying.TargetError as exc:
            raise CommandError(str(exc)) from None
        bar = _progress_bar(manifest.data_size if total is None else total,
                            _stderr_is_terminal() and not args.quiet, "verify")
        start = time.perf_counter()
        result = verifying.verify(target, manifest,
                                  progress=None if bar is None else bar.update)
        seconds = time.perf_counter() - start
    except verifying.TargetError as exc:
        raise CommandError(str(exc)) from None
    except ManifestError as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    except KeyboardInterrupt:
        raise CommandError("interrupted", EXIT_INTERRUPTED) from None
    finally:
        if bar is not None:
            bar.close()
        manifest.close()
    if args.json:
        print(json.dumps({"target": names, "manifest": manifest.names,
                          "seconds": round(seconds, 6), **result.to_dict()}, indent=2))
    else:
        _print_verification(", ".join(names), manifest, result, seconds)
    return EXIT_OK if result.ok else EXIT_FAILURE


# ---------------------------------------------------------------- numa-info

def cmd_numa_info(args: argparse.Namespace) -> int:
    _require_stdout()
    try:
        info = vorn_py.get_numa_info()
    except RuntimeError as exc:
        raise CommandError(f"cannot detect the NUMA topology: {exc}") from None
    if args.json:
        print(json.dumps(info, indent=2))
    else:
        width = max(len(key) for key in info) + 2
        for key, value in info.items():
            print(f"{key + ':':<{width}}{value}")
    return EXIT_OK


# --------------------------------------------------------------------- main

class _VersionAction(argparse.Action):
    """--version: the package version is looked up only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"{parser.prog} {vorn_py.__version__}")
        parser.exit()


class _Parser(argparse.ArgumentParser):
    """An argument parser that takes "-5MB" for a value (to be refused as
    negative) rather than for an unknown option; negative numbers such as
    "-5" are values already."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-\.?\d")


def _add_object_options(command: argparse.ArgumentParser, uploads: bool) -> None:
    group = command.add_argument_group(
        "object storage (s3://bucket/key, s3://bucket/prefix/)",
        "The endpoint, region and credentials come from the AWS SDK's environment "
        "variables (AWS_ENDPOINT_URL_S3, AWS_DEFAULT_REGION, AWS_ACCESS_KEY_ID, "
        "AWS_SECRET_ACCESS_KEY, AWS_PROFILE, ...) and its config and credentials "
        f"files. Needs the AWS SDK for Python: {objects.INSTALL_HINT}.")
    group.add_argument("--endpoint-url", metavar="URL", default=None,
                       help="the store's URL, e.g. http://127.0.0.1:9000 (default: the "
                            "SDK's configuration, else AWS)")
    group.add_argument("--path-style", action="store_const", const=True, default=None,
                       help="address buckets in the path (http://host/bucket/key), as stores "
                            "without bucket host names need (default: the SDK's "
                            "configuration)")
    if uploads:
        group.add_argument("--part-size", default=None, metavar="SIZE",
                           type=_size_between(objects.MIN_PART_SIZE, objects.MAX_PART_SIZE),
                           help="bytes per part of a multipart upload (default: "
                                f"{_exact_units(objects.DEFAULT_PART_SIZE)}, larger for "
                                "objects that would need more than 10000 parts; at least "
                                "5MiB); objects up to this size go in one PUT")
    group.add_argument("--concurrency", default=None, metavar="N",
                       type=_count(1, objects.MAX_CONCURRENCY),
                       help=("parts uploaded at once; memory use is at most N + 2 parts"
                             if uploads else "ranged reads in flight")
                            + f" (default: {objects.DEFAULT_CONCURRENCY})")


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description="Make synthetic data with a chosen deduplication and compression "
                    "ratio, fast, and measure the ratios data achieves.")
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    generate = commands.add_parser(
        "generate", help="write SIZE bytes of synthetic data to a file, standard output or "
                         "a data set of files",
        description="Write exactly SIZE bytes of synthetic data to a file, to standard "
                    "output, or (with --files or --file-size) to a data set of files in a "
                    "directory: one stream cut into consecutive files, so that the ratios "
                    "hold over the whole data set. Generation and writing overlap; memory "
                    "stays at two buffers of --chunk-size whatever SIZE is.",
        epilog="Sizes take the units B, KB, MB, GB, TB (powers of ten) and KiB, MiB, "
               "GiB, TiB (powers of two), e.g. 10GiB or 1.5TB. Exit status: 0 success, "
               "1 failure (the message says how much was written), 2 usage error, "
               "130 interrupted.")
    generate.add_argument("size", metavar="SIZE", type=parse_size,
                          help="bytes to write, e.g. 10GiB")
    generate.add_argument("-o", "--output", required=True, metavar="TARGET",
                          help="file to write (created or overwritten), - for standard output, "
                               "or with --files/--file-size the directory of the data set "
                               "(made if missing); s3://bucket/key for an object, "
                               "s3://bucket/prefix/ with --files/--file-size for a data set "
                               "of objects")
    layout = generate.add_mutually_exclusive_group()
    layout.add_argument("--files", type=_count(1, MAX_FILES), default=None, metavar="N",
                        help="write a data set of N files that share SIZE in whole 4 KiB "
                             "pages (the first files one page larger when it does not divide; "
                             "the last also takes what fills no page)")
    layout.add_argument("--file-size", type=_size_between(1, _MAX_SIZE), default=None,
                        metavar="SIZE",
                        help="write a data set of files of SIZE bytes, the last one shorter")
    generate.add_argument("--files-per-dir", type=_count(1, MAX_FILES), default=None,
                          metavar="K", help="spread the files over numbered subdirectories "
                                            "of K files each")
    generate.add_argument("--dedup", type=parse_ratio, default=1, metavar="N",
                          help="deduplication ratio, a whole number: 1 = none (default), 2 = 2:1; "
                               f"at most {MAX_RATIO}")
    generate.add_argument("--compress", type=parse_ratio, default=1, metavar="N",
                          help="compression ratio, a whole number: 1 = incompressible "
                               f"(default), 3 = 3:1; at most {MAX_RATIO} (ratios level off "
                               "near 30)")
    generate.add_argument("--threads", type=_count(1, MAX_THREADS), default=None, metavar="N",
                          help=f"worker threads (default: every CPU available; at most {MAX_THREADS})")
    # Accepted so that existing command lines still run; it never did anything.
    generate.add_argument("--numa-mode", choices=("auto", "force", "disabled"), default=None,
                          help=argparse.SUPPRESS)
    generate.add_argument("--numa-node", type=_count(0, MAX_NUMA_NODE), default=None, metavar="N",
                          help="run the generator on the CPUs of NUMA node N (those the process "
                               "may use), so that its threads and its buffers are on that node")
    generate.add_argument("--chunk-size", type=_size_between(1, MAX_GENERATE_CHUNK),
                          default=None,
                          metavar="SIZE", help="bytes generated and written at a time "
                                               "(default: 32MiB, at most 64GiB); memory use "
                                               "is two such buffers")
    generate.add_argument("--direct", action="store_true",
                          help="write with direct I/O (O_DIRECT), past the page cache, in whole "
                               "blocks of the device; the end of a file that is not a whole "
                               "block goes through the page cache")
    generate.add_argument("--fsync", action="store_true",
                          help="flush each file (and the directories) to stable storage before "
                               "it counts as written")
    generate.add_argument("-q", "--quiet", action="store_true",
                          help="no progress bar and no summary; errors are still reported")
    generate.add_argument("--json", action="store_true",
                          help="print the report (bytes and files written, seconds, GB/s) as "
                               "JSON on standard output, also when the run fails")
    generate.add_argument("--manifest", metavar="FILE", default=None,
                          help="also write FILE, the digests of the data's unique blocks, "
                               "for verify to check the data against later")
    _add_object_options(generate, uploads=True)
    many = generate.add_argument_group(
        "many processes",
        "Processes that write one data set together, each its own share of whole files "
        "from its own stream: started by an MPI launcher (mpiexec -n P), or started apart "
        "with --rank. Manifests and reports are per process ({rank} in the name is the "
        "rank, else .RANK is appended), except that under MPI a --manifest without {rank} "
        "is one manifest of the whole data set, written by rank 0.")
    mpi = many.add_mutually_exclusive_group()
    mpi.add_argument("--mpi", dest="mpi", action="store_true", default=None,
                     help="run under MPI even when the launcher is not recognised "
                          "(default: when PMI_SIZE or OMPI_COMM_WORLD_SIZE is above 1, or set "
                          "and --report is given)")
    mpi.add_argument("--no-mpi", dest="mpi", action="store_false",
                     help="never start MPI, even under an MPI launcher")
    many.add_argument("--rank", type=_parse_rank, default=None, metavar="R",
                      help="without MPI: write the share of process R of --world-size; "
                           "auto takes both from Slurm's, a Kubernetes indexed job's or an "
                           "MPI launcher's variables")
    many.add_argument("--world-size", type=_count(1, parallel.MAX_WORLD_SIZE), default=None,
                      metavar="W", help="the number of processes that share the data set, "
                                        f"with --rank (at most {parallel.MAX_WORLD_SIZE})")
    many.add_argument("--report", metavar="FILE", default=None,
                      help="write this process's report as JSON to FILE, for "
                           "'report merge'")
    generate.set_defaults(run=cmd_generate)

    measure = commands.add_parser(
        "measure", help="measure the dedup and compression ratios of a file",
        description="Measure the deduplication ratio (fixed-size chunks compared by 128-bit "
                    "digest, at most 24 bytes of memory per distinct chunk) and the "
                    "compression ratio with each codec, reading the input once.")
    measure.add_argument("input", metavar="FILE", help="file to measure, or - for standard input")
    measure.add_argument("--chunk", type=_size_between(1, measuring.MAX_CHUNK_SIZE),
                         default=measuring.DEFAULT_CHUNK_SIZE, metavar="SIZE",
                         help="deduplication chunk size (default: 4KiB, at most 1GiB)")
    measure.add_argument("--codec", type=parse_codec, action="append", metavar="NAME[:LEVEL]",
                         help="codec to measure, repeatable: zstd, lz4, zlib or xz, with an "
                              "optional level (default: zstd:3, lz4 and zlib:6, those "
                              "installed)")
    measure.add_argument("--record-size", type=_size_between(1, measuring.MAX_RECORD_SIZE),
                         action="append", metavar="SIZE",
                         help="also compress each aligned record of SIZE bytes on its own, "
                              "as a store that compresses record by record does (a zstd "
                              "frame, a bare lz4 block, a zlib stream per record); "
                              "repeatable, at most 64MiB")
    measure.add_argument("--no-combined", dest="combined", action="store_false",
                         help="skip the combined figure (dedup, then compression), "
                              "which compresses the distinct chunks a second time")
    measure.add_argument("--estimate", action="store_true",
                         help="estimate the distinct chunk count from a sample of bounded "
                              "memory (about 6 MiB, standard error at most 0.39%%; exact up "
                              f"to {measuring.DEFAULT_SAMPLE_SIZE} distinct chunks), for "
                              "inputs whose exact count would not fit in memory; "
                              "implies --no-combined")
    measure.add_argument("--json", action="store_true", help="print the figures as JSON")
    measure.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes")
    measure.set_defaults(run=cmd_measure)

    verify = commands.add_parser(
        "verify", help="check data against the manifest written with it",
        description="Read the data once, block by block, and compare each block's digest "
                    "with the manifest's. Exit status: 0 everything matches, 1 a block "
                    "differs, data is missing or extra, or the data cannot be read; 2 usage "
                    "error, including a manifest that is missing, damaged or of another "
                    "format version.")
    verify.add_argument("target", metavar="TARGET", nargs="+",
                        help="the data: a file, - for standard input, several files "
                             "that hold it in order, the directory of a data set, an "
                             "object (s3://bucket/key) or a data set's prefix "
                             "(s3://bucket/prefix/)")
    verify.add_argument("--manifest", metavar="FILE", action="append", required=True,
                        help="the manifest written with the data; repeat it for data "
                             "written by several streams")
    verify.add_argument("--json", action="store_true", help="print the result as JSON")
    verify.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    _add_object_options(verify, uploads=False)
    verify.set_defaults(run=cmd_verify)

    report = commands.add_parser(
        "report", help="combine the reports of the processes of one run",
        description="Work with the reports that generate --report writes.")
    report_commands = report.add_subparsers(dest="report_command", metavar="COMMAND",
                                            required=True)
    merge = report_commands.add_parser(
        "merge", help="merge the reports of every process of one run into the run's report",
        description="Merge the reports of every process of one run (generate --rank ... "
                    "--report FILE) into the report of the run, as rank 0 prints it under "
                    "MPI: total bytes and files, the time from the first start to the last "
                    "end, aggregate GB/s, and per-process minimum, median and maximum GB/s. "
                    "The reports must be of one run: the same data set, ratios and number "
                    "of processes, each rank once. Exit status: 0 the run succeeded, 1 a "
                    "process failed, 2 usage error (reports missing, unreadable or of "
                    "different runs).")
    merge.add_argument("reports", metavar="FILE", nargs="+", help="the reports, in any order")
    merge.add_argument("--json", action="store_true", help="print the report as JSON")
    merge.set_defaults(run=cmd_report_merge)

    numa = commands.add_parser("numa-info", help="show the NUMA layout the generator sees",
                               description="Show the NUMA layout the generator sees.")
    numa.add_argument("--json", action="store_true", help="print it as JSON")
    numa.set_defaults(run=cmd_numa_info)
    return parser


def _silence_stdout() -> None:
    """Point standard output at /dev/null so that the interpreter's final
    flush cannot fail again on a closed pipe."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, AttributeError, ValueError):
        pass


class _OutputFailed(Exception):
    """Standard output refused what a command printed (a full disk, an I/O
    error): one error line instead of a traceback from the middle of it."""


class _GuardedStdout:
    """The command's standard output: its failures are told apart from the
    command's other OSErrors. A broken pipe stays a BrokenPipeError, which
    has its own message."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            written: int = self._stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise _OutputFailed(exc.strerror or str(exc)) from exc
        return written

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise _OutputFailed(exc.strerror or str(exc)) from exc

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def _stdout_guarded() -> Iterator[None]:
    stream = sys.stdout
    if stream is None:
        yield
        return
    sys.stdout = _GuardedStdout(stream)
    try:
        yield
    finally:
        sys.stdout = stream


@contextlib.contextmanager
def _affinity_restored() -> Iterator[None]:
    """--numa-node narrows the calling thread's CPUs; main is also called
    in-process, so the caller gets its own CPUs back when the command ends."""
    before = os.sched_getaffinity(0)
    try:
        yield
    finally:
        if os.sched_getaffinity(0) != before:
            try:
                os.sched_setaffinity(0, before)
            except OSError:
                pass  # a CPU of those went offline meanwhile: keep what we have


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Run the command line; returns the exit status."""
    try:
        parser = build_parser(prog)
        args = parser.parse_args(argv)
        args.prog = prog
        with _affinity_restored(), _stdout_guarded():
            status: int = args.run(args)
            if sys.stdout is not None:
                sys.stdout.flush()  # surface a closed pipe here, not at shutdown
    except CommandError as exc:
        _say(prog, f"error: {exc}")
        return exc.status
    except _OutputFailed as exc:
        _silence_stdout()
        _say(prog, f"error: cannot write to standard output: {exc}")
        return EXIT_FAILURE
    except BrokenPipeError:
        _silence_stdout()
        _say(prog, "error: standard output was closed by the reader (broken pipe)")
        return EXIT_FAILURE
    except KeyboardInterrupt:
        _say(prog, "interrupted")
        return EXIT_INTERRUPTED
    return status
