"""NUMA placement as Python sees it: get_numa_info on this machine and on
topologies hwloc is pointed at (synthetic or XML), and worker pinning
observed from /proc while generation runs."""

import json
import os
from pathlib import Path

import pytest

import _vorncore
from conftest import generate_without_room_for_workers, run_python

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures" / "topology"
UMA_TEXT = "UMA (single NUMA node - cloud VM or workstation)"
NUMA_TEXT = "NUMA (multi-socket system or large cloud VM)"
# Two nodes with one PU each: PUs 0 and 1 are this machine's two CPUs.
TWO_SMALL_NODES = {"HWLOC_SYNTHETIC": "pack:2 numa:1 core:1 pu:1"}


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
            os.sched_setaffinity(0, {0})
            print(_vorncore.get_numa_info()["logical_cpus"])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "1"


OBSERVE_PINNING = """
import json, os, threading, time, _vorncore

def allowed(tid):
    try:
        with open(f"/proc/self/task/{tid}/status") as f:
            for line in f:
                if line.startswith("Cpus_allowed_list:"):
                    return line.split()[1]
    except OSError:
        return None

before = set(os.listdir("/proc/self/task"))
seen = {}
stop = threading.Event()

def poll():
    mine = str(threading.get_native_id())
    while not stop.is_set():
        for tid in os.listdir("/proc/self/task"):
            if tid in before or tid == mine:
                continue
            value = allowed(tid)
            if value:
                seen.setdefault(tid, []).append(value)
        time.sleep(0.0002)

watcher = threading.Thread(target=poll)
watcher.start()
for _ in range(4):
    view = _vorncore.generate_buffer(256 * 4194304, compress_ratio=3.0, **KWARGS)
    assert len(view) == 256 * 4194304
    del view
stop.set()
watcher.join()
print(json.dumps({"last": sorted(v[-1] for v in seen.values()), "workers": len(seen)}))
"""


def observe_pinning(env, **kwargs):
    code = OBSERVE_PINNING.replace("KWARGS", repr(kwargs).replace("{", "dict(**{").replace("}", "})"))
    result = run_python(code, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
class TestPinning:
    def test_workers_are_pinned_node_by_node(self):
        seen = observe_pinning(TWO_SMALL_NODES, max_threads=2)
        assert {"0", "1"} <= set(seen["last"]), seen

    def test_workers_on_a_named_node_use_its_cpus(self):
        seen = observe_pinning(TWO_SMALL_NODES, numa_node=1)
        assert seen["last"] and set(seen["last"]) == {"1"}, seen

    def test_no_pinning_without_the_numa_path(self):
        all_cpus = "0-1"
        for env, kwargs in ((TWO_SMALL_NODES, {"numa_mode": "disabled", "max_threads": 2}),
                            (TWO_SMALL_NODES, {"max_threads": 0}),     # pool default, no table
                            (TWO_SMALL_NODES, {"numa_node": 9}),       # node not in the list
                            ({}, {"numa_mode": "force", "max_threads": 2})):  # one node here
            seen = observe_pinning(env, **kwargs)
            assert seen["workers"] > 0, (env, kwargs)
            assert set(seen["last"]) == {all_cpus}, (env, kwargs, seen)


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
def test_pinned_pool_that_cannot_start_is_a_panic():
    result = generate_without_room_for_workers({"HWLOC_SYNTHETIC": "pack:2 numa:1 core:4 pu:1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "PanicException Failed to create NUMA-aware thread pool: "), result.stdout + result.stderr
