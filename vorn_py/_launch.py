"""How this process was started: by an MPI launcher (and with how many
processes), or as one of a job's tasks whose rank a scheduler's variables
give; and the MPI library itself, imported only when it is used.

Reading the environment costs nothing, while importing mpi4py initialises
MPI (tenths of a second, and a launcher's connection), so a plain run never
imports it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from mpi4py import MPI

INSTALL_HINT = "pip install 'vorn_py[mpi]'"

# The world size that MPI launchers put in each process's environment:
# MPICH's and Intel MPI's hydra and Slurm's PMI-2 set PMI_SIZE, Open MPI
# sets OMPI_COMM_WORLD_SIZE.
_MPI_SIZE_VARIABLES = ("PMI_SIZE", "OMPI_COMM_WORLD_SIZE")


class LaunchError(Exception):
    """The environment or the installed packages cannot give what was asked
    for; the message says what to do."""


@dataclass(frozen=True)
class Placement:
    """This process's rank among ``world_size`` processes, and where that
    was read."""

    rank: int
    world_size: int
    source: str


def mpi_world_size(environ: Mapping[str, str]) -> int | None:
    """The number of processes an MPI launcher started, when it started
    this one; None otherwise."""
    for name in _MPI_SIZE_VARIABLES:
        value = environ.get(name)
        if value is not None:
            return _whole(name, value, 1)
    return None


def rank_from_environment(environ: Mapping[str, str],
                          world_size: int | None = None) -> Placement:
    """The rank and world size that a scheduler gave this task, for
    processes that take their shares without MPI: a Slurm step
    (SLURM_PROCID of SLURM_NTASKS) and a Slurm job array (the task's place
    in SLURM_ARRAY_TASK_MIN..MAX, step SLURM_ARRAY_TASK_STEP), combined when
    both are there; a Kubernetes indexed job (JOB_COMPLETION_INDEX, whose
    size ``world_size`` must give); or an MPI launcher's variables.
    ``world_size``, when given, must agree with what the environment says."""
    found = (_slurm(environ) or _kubernetes(environ, world_size) or _mpi(environ))
    if found is None:
        raise LaunchError("--rank auto found no rank in the environment (SLURM_PROCID, "
                          "SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX, PMI_RANK or "
                          "OMPI_COMM_WORLD_RANK): give --rank R --world-size W")
    if world_size is not None and world_size != found.world_size:
        raise LaunchError(f"--world-size {world_size} disagrees with {found.source}, which "
                          f"says {found.world_size} processes")
    if not 0 <= found.rank < found.world_size:
        raise LaunchError(f"{found.source} gives rank {found.rank} of {found.world_size} "
                          "processes")
    return found


def _slurm(environ: Mapping[str, str]) -> Placement | None:
    rank, size, sources = 0, 1, []
    if "SLURM_ARRAY_TASK_ID" in environ:
        task = _whole("SLURM_ARRAY_TASK_ID", environ["SLURM_ARRAY_TASK_ID"], 0)
        low = _whole("SLURM_ARRAY_TASK_MIN", environ.get("SLURM_ARRAY_TASK_MIN", "0"), 0)
        high = _whole("SLURM_ARRAY_TASK_MAX", environ.get("SLURM_ARRAY_TASK_MAX", str(task)), 0)
        step = _whole("SLURM_ARRAY_TASK_STEP", environ.get("SLURM_ARRAY_TASK_STEP", "1"), 1)
        if not low <= task <= high or (task - low) % step:
            raise LaunchError(f"SLURM_ARRAY_TASK_ID {task} is not in the array "
                              f"{low}-{high}:{step}")
        rank, size = (task - low) // step, (high - low) // step + 1
        sources.append("SLURM_ARRAY_TASK_ID")
    if "SLURM_PROCID" in environ:
        tasks = _whole("SLURM_NTASKS", environ.get("SLURM_NTASKS", "1"), 1)
        rank = rank * tasks + _whole("SLURM_PROCID", environ["SLURM_PROCID"], 0)
        size *= tasks
        sources.append("SLURM_PROCID")
    if not sources:
        return None
    return Placement(rank, size, " and ".join(sources))


def _kubernetes(environ: Mapping[str, str], world_size: int | None) -> Placement | None:
    if "JOB_COMPLETION_INDEX" not in environ:
        return None
    if world_size is None:
        raise LaunchError("JOB_COMPLETION_INDEX gives the rank but not the number of "
                          "processes: give --world-size W as well (the job's completions)")
    rank = _whole("JOB_COMPLETION_INDEX", environ["JOB_COMPLETION_INDEX"], 0)
    return Placement(rank, world_size, "JOB_COMPLETION_INDEX")


def _mpi(environ: Mapping[str, str]) -> Placement | None:
    for rank_name, size_name in (("PMI_RANK", "PMI_SIZE"),
                                 ("OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE")):
        if rank_name in environ and size_name in environ:
            return Placement(_whole(rank_name, environ[rank_name], 0),
                             _whole(size_name, environ[size_name], 1), rank_name)
    return None


def _whole(name: str, value: str, minimum: int) -> int:
    try:
        number = int(value)
    except ValueError:
        raise LaunchError(f"{name}={value!r} in the environment is not a number") from None
    if number < minimum:
        raise LaunchError(f"{name}={value!r} in the environment is below {minimum}")
    return number


def mpi_world(expected_size: int | None = None) -> MPI.Intracomm:
    """MPI's world communicator, initialising MPI. ``expected_size`` is the
    size the launcher announced: an MPI library that cannot talk to that
    launcher starts each process alone, which would make every process
    write the whole data set, so that is refused."""
    try:
        from mpi4py import MPI
    except ImportError:
        raise LaunchError(f"running under MPI needs mpi4py and an MPI library: "
                          f"{INSTALL_HINT}") from None
    world = MPI.COMM_WORLD
    if expected_size is not None and world.Get_size() != expected_size:
        raise LaunchError(f"the launcher started {expected_size} processes, but MPI sees "
                          f"{world.Get_size()}: this MPI library cannot talk to that launcher "
                          "(use the mpiexec installed with it), or run without MPI: "
                          "--no-mpi --rank auto")
    return world
