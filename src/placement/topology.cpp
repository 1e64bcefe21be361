// NUMA topology detection: loads a fresh hwloc topology, turns its NUMA node
// objects into NumaNode records and adds the core and CPU counts.
#include "placement/topology.hpp"

#include <hwloc.h>

#include "common/cpu_count.hpp"
#include "common/engine_abort.hpp"
#include "placement/cpu_mask.hpp"
#include "placement/cpuinfo.hpp"

namespace vorn {
namespace {

// Every object of `type`, depth by depth and by logical index within a
// depth. NUMA nodes sit at a virtual (negative) depth of their own, which the
// by-depth calls accept as they are; a type spread over several normal
// depths has each of them enumerated.
std::vector<hwloc_obj_t> objects_of_type(hwloc_topology_t topology, hwloc_obj_type_t type) {
    std::vector<int> depths;
    const int depth = hwloc_get_type_depth(topology, type);
    if (depth == HWLOC_TYPE_DEPTH_MULTIPLE) {
        const int levels = hwloc_topology_get_depth(topology);
        for (int d = 0; d < levels; ++d) {
            if (hwloc_get_depth_type(topology, d) == type) depths.push_back(d);
        }
    } else if (depth != HWLOC_TYPE_DEPTH_UNKNOWN) {
        depths.push_back(depth);
    }

    std::vector<hwloc_obj_t> objects;
    for (const int d : depths) {
        const unsigned count = hwloc_get_nbobjs_by_depth(topology, d);
        for (unsigned i = 0; i < count; ++i) {
            if (hwloc_obj_t object = hwloc_get_obj_by_depth(topology, d, i)) objects.push_back(object);
        }
    }
    return objects;
}

}  // namespace

NumaTopology topology_from_node_objects(const std::vector<hwloc_obj_t>& numa_objects,
                                        std::uint64_t physical_cores,
                                        std::uint64_t logical_cpus) {
    NumaTopology result;
    if (numa_objects.empty()) {
        NumaNode fallback;
        for (std::uint64_t cpu = 0; cpu < logical_cpus; ++cpu) fallback.cpus.push_back(cpu);
        result.nodes.push_back(std::move(fallback));
    }
    for (const hwloc_obj_t object : numa_objects) {
        if (object->os_index == HWLOC_UNKNOWN_INDEX || object->cpuset == nullptr) continue;
        NumaNode node;
        node.node_id = object->os_index;
        // The CPU numbers themselves, whatever the numbering: workers are
        // pinned by number. A cpuset (container, batch allocation) hides the
        // other PUs from hwloc, so the PU count is no bound on the numbers.
        // Numbers past the widest mask we pin within are left out.
        for (std::uint64_t cpu = 0; cpu < CPU_MASK_WIDTH; ++cpu) {
            if (hwloc_bitmap_isset(object->cpuset, static_cast<unsigned>(cpu))) node.cpus.push_back(cpu);
        }
        result.nodes.push_back(std::move(node));
    }
    const std::uint64_t reported = numa_objects.size();
    result.num_nodes = reported > 0 ? reported : 1;
    result.is_uma = reported < 2;
    result.physical_cores = physical_cores != 0 ? physical_cores : logical_cpus;
    result.logical_cpus = logical_cpus;
    return result;
}

NumaTopology topology_from_hwloc(hwloc_topology_t topology, std::uint64_t physical_cores,
                                 std::uint64_t logical_cpus) {
    const std::vector<hwloc_obj_t> numa_objects = objects_of_type(topology, HWLOC_OBJ_NUMANODE);
    return topology_from_node_objects(numa_objects, physical_cores, logical_cpus);
}

const NumaNode* NumaTopology::find(std::uint64_t node_id) const {
    for (const NumaNode& node : nodes)
        if (node.node_id == node_id) return &node;
    return nullptr;
}

Result<TopologyPtr> load_machine_topology() {
    TopologyLoadFailure failure;
    TopologyPtr topology = load_topology(failure);
    if (topology) return topology;
    if (failure.init_failed) {
        engine_abort("Failed to allocate topology: " +
                     hwloc_failure_text("hwloc_topology_init", failure.error_number));
    }
    return Error{hwloc_failure_text("hwloc_topology_load", failure.error_number)};
}

Result<NumaTopology> NumaTopology::detect() {
    Result<TopologyPtr> topology = load_machine_topology();
    if (!topology) return Error{topology.error()};
    return topology_from_hwloc(topology.value().get(), count_physical_cores(), available_cpu_count());
}

}  // namespace vorn
