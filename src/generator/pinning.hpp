// CPU assignment of pinned workers, the pinning step itself, and the pinned
// worker pool that uses them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "generator/result.hpp"
#include "generator/thread_pool.hpp"
#include "numa/topology.hpp"

namespace vorn {

// Worker index -> CPU number; a worker without an entry runs unpinned.
using WorkerCpus = std::vector<std::optional<std::uint64_t>>;

WorkerCpus build_worker_cpus(const NumaTopology& topology, std::uint64_t thread_count,
                             std::optional<std::uint64_t> numa_node);

// Pins the calling thread to the k-th CPU (by position) of its allowed set;
// leaves it unpinned when that cannot be done. Reports nothing.
void pin_current_thread(std::uint64_t k);

// A pool whose workers, each on a fresh detached thread, pin themselves to
// their table entry before taking any work.
Result<std::unique_ptr<ThreadPool>> create_pinned_pool(std::size_t workers,
                                                       std::shared_ptr<const WorkerCpus> cpus);

}  // namespace vorn
