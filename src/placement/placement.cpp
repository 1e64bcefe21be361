// The placement decision and the pool it calls for.
#include "placement/placement.hpp"

#include <algorithm>

namespace vorn {

Placement decide_placement(const GeneratorConfig& config, const NumaTopology* layout,
                           std::uint64_t blocks, std::uint64_t available_cpus) {
    Placement placement;
    placement.blocks = blocks;
    const NumaNode* node = config.numa_node && layout ? layout->find(*config.numa_node) : nullptr;
    if (node != nullptr) placement.node = node->node_id;

    const bool places_work = layout != nullptr && config.numa_mode != NumaMode::Disabled;
    const NumaNode* work_node = places_work ? node : nullptr;
    // Workers asked for: max_threads, but no more than the CPUs of the node
    // the work goes to; that node's CPU count, or else the available CPU
    // count, when max_threads is absent.
    std::uint64_t asked = 0;
    if (work_node != nullptr) {
        const std::uint64_t cpus = work_node->cpus.size();
        asked = config.max_threads ? std::min(*config.max_threads, cpus) : cpus;
    } else {
        asked = config.max_threads ? *config.max_threads : available_cpus;
    }
    // None asked for (max_threads 0, or a node without CPUs): one worker per
    // available CPU, nobody pinned. Workers beyond the number of blocks
    // would only be started to idle.
    const bool default_size = asked == 0;
    placement.workers =
        std::max<std::size_t>(1, workers_for(default_size ? available_cpus : asked, blocks));

    // Two or more nodes: each worker pinned to a CPU of the node its share
    // of the memory is to land on.
    if (places_work && layout->num_nodes > 1 && !default_size) {
        WorkerCpus table;
        if (!config.numa_node) {
            table = worker_cpus_across_nodes(*layout, placement.workers);
        } else if (work_node != nullptr) {
            table = worker_cpus_on_node(*work_node, placement.workers);
        }  // a node that is not listed: nobody pinned
        if (!table.empty())
            placement.worker_cpus = std::make_shared<const WorkerCpus>(std::move(table));
    }
    return placement;
}

std::unique_ptr<ThreadPool> create_pool(const Placement& placement) {
    if (placement.worker_cpus) return create_pinned_pool(placement.workers, placement.worker_cpus);
    return ThreadPool::create(placement.workers);
}

}  // namespace vorn
