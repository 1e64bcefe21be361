// Where one one-shot call's work and output go: decided once per call from
// the request, the machine's NUMA layout and the CPU count, then passed on.
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
    // Workers to start: at least 1, at most one per block and MAX_WORKERS.
    std::size_t workers = 1;
    // The node asked to hold the output, when the layout lists it; in every
    // mode, Disabled included.
    std::optional<std::uint64_t> node;
    // The CPU of each worker of a pinned pool; null when nobody is pinned.
    std::shared_ptr<const WorkerCpus> worker_cpus;
};

// `layout` is null when the machine was not looked at (mode Disabled and no
// node asked for) or could not be. With mode Disabled a layout only places
// the output: the work goes as on a machine of one node.
Placement decide_placement(const GeneratorConfig& config, const NumaTopology* layout,
                           std::uint64_t blocks, std::uint64_t available_cpus);

// The pool the placement asks for: pinned when it has a CPU table.
std::unique_ptr<ThreadPool> create_pool(const Placement& placement);

}  // namespace vorn
