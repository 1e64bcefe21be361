// Which CPU each pinned worker takes, how a thread pins itself, and the pool
// whose detached worker threads pin themselves before their first chunk.
#include "generator/pinning.hpp"

#include <algorithm>
#include <cmath>
#include <sched.h>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn {
namespace {

static_assert(sizeof(cpu_set_t) == 128, "affinity masks are 1024 CPUs wide");

// ceil(n / T) in double precision; at least 1 since callers pass n, T >= 1.
std::uint64_t spread(std::uint64_t cpus, std::uint64_t thread_count) {
    return static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(cpus) / static_cast<double>(thread_count)));
}

}  // namespace

WorkerCpus build_worker_cpus(const NumaTopology& topology, std::uint64_t thread_count,
                             std::optional<std::uint64_t> numa_node) {
    if (thread_count == 0) return {};

    if (numa_node) {
        const auto node = std::find_if(topology.nodes.begin(), topology.nodes.end(),
                                       [&](const NumaNode& n) { return n.node_id == *numa_node; });
        // A memory-only node has no CPU to offer: its workers run unpinned.
        if (node == topology.nodes.end() || node->cpus.empty()) return {};
        WorkerCpus table(thread_count);
        for (std::uint64_t w = 0; w < thread_count; ++w) table[w] = node->cpus[w % node->cpus.size()];
        return table;
    }

    // Every node dropped by detection leaves nothing to spread over.
    if (topology.nodes.empty()) return {};
    WorkerCpus table(thread_count);
    for (std::uint64_t w = 0; w < thread_count; ++w) {
        const NumaNode& node = topology.nodes[w % topology.nodes.size()];
        const std::uint64_t n = node.cpus.size();
        if (n == 0) continue;  // memory-only node: this worker stays unpinned
        const unsigned __int128 position =
            static_cast<unsigned __int128>(spread(n, thread_count)) * w % n;
        table[w] = node.cpus[static_cast<std::size_t>(position)];
    }
    return table;
}

bool may_pin(const cpu_set_t& allowed, std::uint64_t cpu) {
    return cpu < CPU_SETSIZE && CPU_ISSET(static_cast<int>(cpu), &allowed);
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
