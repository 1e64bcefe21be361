// NumaTopology: the machine's NUMA nodes and their CPUs as hwloc reports
// them, with physical-core and logical-CPU counts. Plain data, never cached.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "placement/hwloc_handles.hpp"

namespace vorn {

struct NumaNode {
    std::uint64_t node_id = 0;         // operating-system index of the node
    std::vector<std::uint64_t> cpus;   // operating-system PU indexes, ascending
};

struct NumaTopology {
    std::vector<NumaNode> nodes;       // usable node objects, in hwloc's order
    std::uint64_t num_nodes = 1;       // node objects hwloc reports, at least 1
    std::uint64_t physical_cores = 1;
    std::uint64_t logical_cpus = 1;
    bool is_uma = true;

    // The first listed node with operating-system index `node_id`, or null.
    const NumaNode* find(std::uint64_t node_id) const;

    // Loads a fresh hwloc topology and describes it, with the physical-core
    // count from /proc/cpuinfo and the available CPU count.
    static Result<NumaTopology> detect();
};

// Loads this machine's hwloc topology with default settings. A load failure
// is an error result ("hwloc_topology_load failed with errno <n>"); an init
// failure aborts with "Failed to allocate topology...".
Result<TopologyPtr> load_machine_topology();

// The record for a loaded topology, given the counts that detection reads
// from the system. `physical_cores` = 0 means unknown: `logical_cpus` is
// used instead.
NumaTopology topology_from_hwloc(hwloc_topology* topology, std::uint64_t physical_cores,
                                 std::uint64_t logical_cpus);

// The same from hwloc's NUMA node objects, in hwloc's order; only
// `os_index` and `cpuset` of each object are read.
NumaTopology topology_from_node_objects(const std::vector<hwloc_obj*>& numa_objects,
                                        std::uint64_t physical_cores, std::uint64_t logical_cpus);

}  // namespace vorn
