"""NUMA placement as Python sees it: get_numa_info on this machine and on
topologies hwloc is pointed at (synthetic or XML), and worker pinning
observed from /proc while generation runs."""

import json
import os
from pathlib import Path

import pytest

import _vorncore
from helpers import generate_without_room_for_workers, run_python

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures" / "topology"
UMA_TEXT = "UMA (single NUMA node - cloud VM or workstation)"
NUMA_TEXT = "NUMA (multi-socket system or large cloud VM)"
ALLOWED = sorted(os.sched_getaffinity(0))
# Two nodes with one PU each, numbered as the first two CPUs this process
# may use.
TWO_SMALL_NODES = {"HWLOC_SYNTHETIC": "pack:2 numa:1 core:1 pu:1(indexes=%s)"
                                      % ",".join(map(str, ALLOWED[:2]))}


def numa_info_with(env):
    result = run_python("""
        import json, _vorncore
        try:
            print(json.dumps(list(_vorncore.get_numa_info().items())))
        except RuntimeError as exc:
            print(json.dumps(["RuntimeError", str(exc)]))
    """, env=env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


class TestNumaInfo:
    def test_this_machine(self):
        info = _vorncore.get_numa_info()
        assert list(info) == ["num_nodes", "physical_cores", "logical_cpus", "is_uma",
                              "deployment_type"]
        assert type(info["is_uma"]) is bool
        assert all(type(info[k]) is int for k in ("num_nodes", "physical_cores", "logical_cpus"))
        assert info["num_nodes"] >= 1 and info["physical_cores"] >= 1
        assert 1 <= info["logical_cpus"] <= len(os.sched_getaffinity(0))
        assert info["is_uma"] == (info["num_nodes"] == 1)
        assert info["deployment_type"] == (UMA_TEXT if info["is_uma"] else NUMA_TEXT)
        assert _vorncore.get_numa_info() is not info  # a new dict every call

    def test_two_synthetic_nodes(self):
        info = dict(numa_info_with({"HWLOC_SYNTHETIC": "pack:2 numa:1 core:4 pu:1"}))
        assert info["num_nodes"] == 2
        assert info["is_uma"] is False
        assert info["deployment_type"] == NUMA_TEXT

    def test_memory_only_and_unnumbered_nodes_still_count(self):
        info = dict(numa_info_with({"HWLOC_XMLFILE": str(FIXTURES / "memory_only_node.xml")}))
        assert (info["num_nodes"], info["is_uma"]) == (3, False)
        info = dict(numa_info_with({"HWLOC_XMLFILE": str(FIXTURES / "node_without_os_index.xml")}))
        assert (info["num_nodes"], info["is_uma"]) == (2, False)

    def test_topology_that_cannot_load(self):
        # hwloc 2 refuses a topology without any NUMA node.
        kind, text = numa_info_with({"HWLOC_XMLFILE": str(FIXTURES / "no_numa_node.xml")})
        assert kind == "RuntimeError"
        assert text.startswith("hwloc_topology_load failed with errno ")

    def test_counts_follow_the_affinity_mask(self):
        result = run_python("""
            import os, _vorncore
            os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
            print(_vorncore.get_numa_info()["logical_cpus"])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "1"


OBSERVE_PINNING = """
import json, os, threading, _vorncore

# A worker pins itself before its first chunk and never again, so its mask
# is read only once it has run longer than starting and pinning take
# (microseconds; one chunk takes milliseconds): the mask read is then the
# one it works under, never one from before it pinned.
WORKED_NS = 1_000_000
TICK_NS = 1_000_000_000 // os.sysconf("SC_CLK_TCK")

def cpus_of(text):  # "0-2,5" -> [0, 1, 2, 5]
    cpus = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        cpus.extend(range(int(first), int(last or first) + 1))
    return cpus

def cpu_time_ns(tid):
    try:
        with open(f"/proc/self/task/{tid}/schedstat") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    try:
        with open(f"/proc/self/task/{tid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) * TICK_NS  # utime + stime
    except (OSError, ValueError, IndexError):
        return 0

def allowed(tid):
    try:
        with open(f"/proc/self/task/{tid}/status") as f:
            for line in f:
                if line.startswith("Cpus_allowed_list:"):
                    return cpus_of(line.split()[1])
    except OSError:
        return None

if NARROW:
    os.sched_setaffinity(0, NARROW)
mask = sorted(os.sched_getaffinity(0))
not_workers = set(os.listdir("/proc/self/task"))
lock = threading.Lock()
read, workers = {}, set()  # this call's: worker -> mask once it had worked; every worker
stop = threading.Event()
watching = threading.Event()

def watch():
    not_workers.add(str(threading.get_native_id()))
    watching.set()
    # A look every 2 ms leaves the CPUs to the workers; what a look reads
    # does not depend on when it comes.
    while not stop.wait(0.002):
        with lock:
            for tid in os.listdir("/proc/self/task"):
                if tid in not_workers or tid in read:
                    continue
                workers.add(tid)
                if cpu_time_ns(tid) >= WORKED_NS and (value := allowed(tid)) is not None:
                    read[tid] = value

def matches(masks, every_worker_read):
    if not masks or not every_worker_read:
        return False
    if EXPECTED is None:  # nobody pinned
        return all(m == mask for m in masks)
    return sorted(masks) == sorted(EXPECTED)

watcher = threading.Thread(target=watch)
watcher.start()
watching.wait()
matched, masks = False, []
try:
    # A call in which some worker was not read after it had worked is
    # simply made again.
    for _ in range(20):
        view = _vorncore.generate_buffer(128 * 4194304, compress_ratio=3.0, **KWARGS)
        assert len(view) == 128 * 4194304
        del view
        with lock:
            masks = [read[tid] for tid in workers if tid in read]
            matched = matches(masks, all(tid in read for tid in workers))
            not_workers.update(workers)  # they may still be leaving
            read.clear()
            workers.clear()
        if matched:
            break
finally:
    stop.set()
    watcher.join()
print(json.dumps({"matched": matched, "masks": masks, "mask": mask}))
"""


def observe_pinning(env, expected, narrow=None, **kwargs):
    """Generate with the given arguments under the given hwloc topology (and
    narrowed CPU set) until the masks the workers of one call work under are
    `expected` (a list of CPU lists, one per worker; None for "every worker
    unpinned"), at most twenty calls; return what was seen."""
    code = (OBSERVE_PINNING.replace("KWARGS", "dict(%r)" % (kwargs,))
            .replace("NARROW", repr(narrow)).replace("EXPECTED", repr(expected)))
    result = run_python(code, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def expected_masks(worker_cpus, allowed):
    """A worker assigned a CPU it may run on is pinned there; one assigned
    any other CPU keeps the whole allowed set."""
    return [[cpu] if cpu in allowed else sorted(allowed) for cpu in worker_cpus]


@pytest.mark.skipif(len(ALLOWED) < 2, reason="needs two CPUs")
class TestPinning:
    def test_workers_are_pinned_node_by_node(self):
        seen = observe_pinning(TWO_SMALL_NODES, [[ALLOWED[0]], [ALLOWED[1]]], max_threads=2)
        assert seen["matched"], seen

    def test_workers_on_a_named_node_use_its_cpus(self):
        seen = observe_pinning(TWO_SMALL_NODES, [[ALLOWED[1]]], numa_node=1)
        assert seen["matched"], seen

    def test_no_pinning_without_the_numa_path(self):
        for env, kwargs in ((TWO_SMALL_NODES, {"numa_mode": "disabled", "max_threads": 2}),
                            (TWO_SMALL_NODES, {"max_threads": 0}),     # pool default, no table
                            (TWO_SMALL_NODES, {"numa_node": 9}),       # node not in the list
                            ({}, {"numa_mode": "force", "max_threads": 2})):  # one node here
            seen = observe_pinning(env, None, **kwargs)
            assert seen["matched"], (env, kwargs, seen)
            assert seen["mask"] == ALLOWED

    @pytest.mark.parametrize("node", [0, 1])
    def test_a_narrowed_cpu_set_pins_by_cpu_number(self, node):
        # The process may use all its CPUs but the first. Two synthetic nodes
        # share CPUs 0 to 2n-1 between them; the workers for one node are
        # assigned its CPUs in order. Those the process may still use are
        # pinned to exactly that CPU; the others are left alone, never moved
        # to some other allowed CPU.
        narrow = ALLOWED[1:]
        n = (ALLOWED[-1] + 2) // 2
        env = {"HWLOC_SYNTHETIC": f"pack:2 numa:1 core:{n} pu:1"}
        cpus = list(range(node * n, (node + 1) * n))
        seen = observe_pinning(env, expected_masks(cpus, narrow), narrow=narrow,
                               numa_node=node, max_threads=n)
        assert seen["mask"] == narrow
        assert seen["matched"], seen


class TestGenerationOnTopologies:
    @pytest.mark.parametrize("env", [
        {"HWLOC_SYNTHETIC": "pack:2 numa:1 core:4 pu:1"},
        {"HWLOC_XMLFILE": str(FIXTURES / "memory_only_node.xml")},
        {"HWLOC_XMLFILE": str(FIXTURES / "node_without_os_index.xml")},
        {"HWLOC_XMLFILE": str(FIXTURES / "no_numa_node.xml")},
    ], ids=["two-nodes", "memory-only", "no-os-index", "unloadable"])
    def test_every_mode_and_node_produces_the_same_kind_of_data(self, env):
        result = run_python("""
            import _vorncore
            B = 4194304
            cases = [("auto", None, None), ("force", 1, 3), ("disabled", 0, None),
                     ("auto", 9, 0), ("force", None, 1), ("AUTO", 2, 2)]
            for mode, node, threads in cases:
                v = memoryview(_vorncore.generate_buffer(
                    3 * B + 5, dedup_ratio=2.0, numa_mode=mode,
                    max_threads=threads, numa_node=node))
                assert len(v) == 3 * B + 5
                assert v[2 * B:3 * B] == v[0:B] and v[3 * B:] == v[B:B + 5]
                assert v[0:B] != v[B:2 * B]
                buf = bytearray(B + 7)
                assert _vorncore.generate_into_buffer(
                    buf, numa_mode=mode, max_threads=threads, numa_node=node) == B + 7
            print("ok")
        """, env=env, timeout=300)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"


@pytest.mark.skipif(os.environ.get("VORN_SANITIZED") == "1",
                    reason="address-space limits break the sanitizer runtime")
def test_pinned_workers_that_cannot_start_leave_the_work_to_the_others():
    result = generate_without_room_for_workers({"HWLOC_SYNTHETIC": "pack:2 numa:1 core:4 pu:1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok", result.stdout + result.stderr
