"""Which CPUs belong to a NUMA node, from the kernel's sysfs tree, and running
the calling thread on them."""

from __future__ import annotations

import os
import re

NODE_ROOT = "/sys/devices/system/node"


class NodeError(Exception):
    """A node that does not exist (`missing`) or that has no CPU we may use."""

    def __init__(self, message: str, missing: bool) -> None:
        super().__init__(message)
        self.missing = missing


def parse_cpu_list(text: str) -> set[int]:
    """CPU numbers from the kernel's list format, e.g. "0-3,8,10-11"."""
    cpus: set[int] = set()
    for part in text.strip().split(","):
        if not part:
            continue
        match = re.fullmatch(r"(\d+)(?:-(\d+))?", part.strip())
        if match is None:
            raise ValueError(f"not a CPU list: {text.strip()!r}")
        first = int(match.group(1))
        last = int(match.group(2) or first)
        cpus.update(range(first, last + 1))
    return cpus


def nodes(root: str | None = None) -> list[int]:
    """The node numbers present, ascending (empty if sysfs shows none)."""
    root = root or NODE_ROOT
    try:
        names = os.listdir(root)
    except OSError:
        return []
    return sorted(int(name[4:]) for name in names if re.fullmatch(r"node\d+", name))


def node_cpus(node: int, root: str | None = None) -> set[int]:
    """The CPUs of `node`; NodeError(missing=True) if there is no such node."""
    root = root or NODE_ROOT
    if node == 0 and not os.path.isdir(root):
        # A kernel built without NUMA support: one node with every CPU.
        return set(range(os.cpu_count() or 1))
    try:
        with open(os.path.join(root, f"node{node}", "cpulist")) as cpulist:
            return parse_cpu_list(cpulist.read())
    except FileNotFoundError:
        present = nodes(root)
        known = f"nodes {_cpu_list(set(present))}" if present else "no node visible in " + root
        raise NodeError(f"NUMA node {node} does not exist: this machine has {known}",
                        missing=True) from None
    except (OSError, ValueError) as exc:  # unreadable, or not a CPU list
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise NodeError(f"cannot read the CPUs of NUMA node {node}: {reason}",
                        missing=False) from None


def run_on_node(node: int, root: str | None = None) -> set[int]:
    """Restrict the calling thread to the CPUs of `node` that it may use, so
    that threads it starts afterwards run there and memory they touch first
    is placed there; returns those CPUs."""
    allowed = os.sched_getaffinity(0)
    cpus = node_cpus(node, root) & allowed
    if not cpus:
        raise NodeError(f"NUMA node {node} has no CPU this process may run on: "
                        f"it may use CPUs {_cpu_list(allowed)} only", missing=False)
    try:
        os.sched_setaffinity(0, cpus)
    except OSError as exc:
        raise NodeError(f"cannot run on the CPUs of NUMA node {node}: {exc.strerror}",
                        missing=False) from None
    return cpus


def _cpu_list(cpus: set[int]) -> str:
    """The kernel's list format back from a set of numbers: {0, 1, 2, 5} -> "0-2,5"."""
    runs: list[list[int]] = []
    for cpu in sorted(cpus):
        if runs and cpu == runs[-1][1] + 1:
            runs[-1][1] = cpu
        else:
            runs.append([cpu, cpu])
    return ",".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)
