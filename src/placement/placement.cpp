// The placement decision and the pool it calls for.
#include "placement/placement.hpp"

#include <algorithm>

namespace vorn {

Placement decide_placement(const GeneratorConfig& config, const std::optional<NumaTopology>& topology,
                           std::uint64_t blocks, std::uint64_t available_cpus) {
    Placement placement;
    placement.blocks = blocks;
    placement.node = config.numa_node;
    placement.numa_path = topology && topology->num_nodes > 1;
    const NumaNode* node = config.numa_node && topology ? topology->find(*config.numa_node) : nullptr;
    if (node != nullptr) {
        const std::uint64_t cpus = node->cpus.size();
        placement.thread_count = config.max_threads ? std::min(*config.max_threads, cpus) : cpus;
    } else {
        placement.thread_count = config.max_threads ? *config.max_threads : available_cpus;
    }
    // Workers beyond the number of blocks would only be started to idle.
    const std::uint64_t wanted = placement.thread_count == 0 ? available_cpus : placement.thread_count;
    placement.workers = std::max<std::size_t>(1, workers_for(wanted, blocks));
    if (placement.numa_path) {
        const std::uint64_t pinned = placement.thread_count == 0 ? 0 : placement.workers;
        placement.worker_cpus =
            std::make_shared<const WorkerCpus>(build_worker_cpus(*topology, pinned, config.numa_node));
    }
    return placement;
}

std::unique_ptr<ThreadPool> create_pool(const Placement& placement) {
    if (placement.numa_path) return create_pinned_pool(placement.workers, placement.worker_cpus);
    return ThreadPool::create(placement.workers);
}

}  // namespace vorn
