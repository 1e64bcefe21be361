// The machine's hwloc topology for generation calls: loaded once per
// process and read by every call, instead of loaded (plug-ins opened and
// closed included) on each one.
//
// What a load depends on is checked on every call and a change reloads: the
// process (a child of fork() loads its own and never touches its parent's
// state), the HWLOC_ variables of the environment, and the online CPUs and
// memory nodes. The calling thread's affinity never enters the topology, so
// the per-call parts (the available CPU count) are still read per call.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "placement/hwloc_handles.hpp"
#include "placement/topology.hpp"

namespace vorn {

// What one generation call sees of the machine, both from the same loaded
// topology: the NUMA layout (with `available_cpus` as the logical CPU
// count), and the topology itself, which a node-bound output keeps to free
// its memory through. A load failure is an error result, as for
// load_machine_topology, and is not kept: the next call tries again.
struct MachineView {
    NumaTopology layout;
    SharedTopology topology;
};
Result<MachineView> cached_machine(std::uint64_t available_cpus);

// What the loaded topology depends on besides the hardware, as one text:
// every HWLOC_ environment entry, then the online CPU and node lists.
// `online_root` stands in for "/" so that tests can hand it a fixture.
std::string topology_dependencies(const char* online_root = "/");

// Topologies this process has loaded into the cache; for tests.
std::uint64_t topology_cache_loads();

}  // namespace vorn
