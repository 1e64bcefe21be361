// Which CPU each pinned worker takes, how a thread pins itself, and the pool
// whose detached worker threads pin themselves before their first chunk.
#include "placement/pinning.hpp"

#include <sched.h>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn {
namespace {

// The step between the CPUs a node's workers take: the node's CPU count over
// the node's own worker count, rounded up, so that they spread over all its
// CPUs. Taken over the whole worker count instead, the step was 1 as soon as
// there were as many workers as a node has CPUs, and the nodes' alternating
// workers took every other CPU of each node twice, leaving half idle. At
// least 1, since both counts are.
std::uint64_t spread(std::uint64_t cpus, std::uint64_t workers) {
    return cpus / workers + (cpus % workers != 0 ? 1 : 0);
}

}  // namespace

WorkerCpus worker_cpus_across_nodes(const NumaTopology& topology, std::uint64_t workers) {
    // Every node dropped by detection leaves nothing to go round.
    if (workers == 0 || topology.nodes.empty()) return {};
    WorkerCpus table(workers);
    const std::uint64_t nodes = topology.nodes.size();
    for (std::uint64_t worker = 0; worker < workers; ++worker) {
        // Round robin over the nodes: this is the node's worker number
        // `rank`, of `on_node` workers it gets.
        const std::uint64_t index = worker % nodes, rank = worker / nodes;
        const std::uint64_t on_node = workers / nodes + (index < workers % nodes ? 1 : 0);
        const NumaNode& node = topology.nodes[index];
        const std::uint64_t node_cpus = node.cpus.size();
        if (node_cpus == 0) continue;  // memory-only node: this worker stays unpinned
        const unsigned __int128 position =
            static_cast<unsigned __int128>(spread(node_cpus, on_node)) * rank % node_cpus;
        table[worker] = node.cpus[static_cast<std::size_t>(position)];
    }
    return table;
}

WorkerCpus worker_cpus_on_node(const NumaNode& node, std::uint64_t workers) {
    if (workers == 0 || node.cpus.empty()) return {};
    WorkerCpus table(workers);
    for (std::uint64_t worker = 0; worker < workers; ++worker)
        table[worker] = node.cpus[worker % node.cpus.size()];
    return table;
}

bool may_pin(const cpu_set_t& allowed, std::uint64_t cpu) {
    return cpu < CPU_MASK_WIDTH && CPU_ISSET(static_cast<int>(cpu), &allowed);
}

bool pin_current_thread(std::uint64_t cpu) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    if (!may_pin(allowed, cpu)) return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(static_cast<int>(cpu), &one);
    // A refusal leaves the thread where it was, which is still correct.
    return sched_setaffinity(0, sizeof one, &one) == 0;
}

std::unique_ptr<ThreadPool> create_pinned_pool(std::size_t workers,
                                               std::shared_ptr<const WorkerCpus> cpus) {
    // Each thread holds the table itself: it may still be starting after
    // this call has returned and the builder has dropped its reference.
    auto start = [cpus = std::move(cpus)](std::size_t index, ThreadPool::WorkerLoop loop) {
        try {
            std::thread([cpus, index, loop = std::move(loop)] {
                if (cpus && index < cpus->size() && (*cpus)[index]) pin_current_thread(*(*cpus)[index]);
                loop();
            }).detach();
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    };
    return ThreadPool::create(workers, start);
}

}  // namespace vorn
