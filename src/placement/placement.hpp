// Where one one-shot call's work goes: decided once per call from the
// request, the machine's NUMA layout and the CPU count, then passed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/config.hpp"
#include "placement/pinning.hpp"
#include "placement/thread_pool.hpp"
#include "placement/topology.hpp"

namespace vorn {

struct Placement {
    // The 4 MiB blocks to make, one unit of work each.
    std::uint64_t blocks = 0;
    // Workers asked for: max_threads, but no more than the CPUs of a named
    // node that is listed; that node's CPU count, or else the available CPU
    // count, when max_threads is absent. 0 (max_threads 0, or a node without
    // CPUs) means one per available CPU, nobody pinned.
    std::uint64_t thread_count = 0;
    // Workers to start: at least 1, at most one per block and MAX_WORKERS.
    std::size_t workers = 1;
    // Two or more nodes: a pinned pool, and a first-touch pass so that each
    // worker's pages land on its node.
    bool numa_path = false;
    // The node whose memory is to hold the output.
    std::optional<std::uint64_t> node;
    // On the NUMA path, the CPU of each worker (empty: nobody pinned).
    std::shared_ptr<const WorkerCpus> worker_cpus;
};

// `topology` is absent when the mode is Disabled or detection failed.
Placement decide_placement(const GeneratorConfig& config, const std::optional<NumaTopology>& topology,
                           std::uint64_t blocks, std::uint64_t available_cpus);

// The pool the placement asks for: pinned on the NUMA path, plain otherwise.
std::unique_ptr<ThreadPool> create_pool(const Placement& placement);

}  // namespace vorn
