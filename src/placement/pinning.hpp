// CPU assignment of pinned workers, the pinning step itself, and the pinned
// worker pool that uses them.
#pragma once

#include <sched.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "placement/thread_pool.hpp"
#include "placement/topology.hpp"

namespace vorn {

// Worker index -> CPU number; a worker without an entry runs unpinned.
using WorkerCpus = std::vector<std::optional<std::uint64_t>>;

// `workers` workers round the listed nodes, each node's spread over its
// CPUs. A worker that lands on a node without CPUs gets no entry.
WorkerCpus worker_cpus_across_nodes(const NumaTopology& topology, std::uint64_t workers);

// `workers` workers on one node's CPUs in order, wrapping round; none for a
// node without CPUs.
WorkerCpus worker_cpus_on_node(const NumaNode& node, std::uint64_t workers);

// Whether a thread whose allowed CPUs are `allowed` may be pinned to CPU
// number `cpu`: only to a CPU it may already run on. Under a narrowed set
// (taskset, a cpuset, a container) another CPU number is not silently
// replaced by some allowed CPU, which could belong to another node.
bool may_pin(const cpu_set_t& allowed, std::uint64_t cpu);

// Pins the calling thread to CPU number `cpu` when it may run there; leaves
// it unpinned otherwise. Returns whether it pinned.
bool pin_current_thread(std::uint64_t cpu);

// A pool whose workers, each on a fresh detached thread, pin themselves to
// their table entry before taking any work. Like every pool it runs on the
// workers that could start.
std::unique_ptr<ThreadPool> create_pinned_pool(std::size_t workers,
                                               std::shared_ptr<const WorkerCpus> cpus);

}  // namespace vorn
