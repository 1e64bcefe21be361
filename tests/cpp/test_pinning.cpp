// Pinned workers: the CPU table for known layouts, pinning under full and
// narrowed affinity masks, and the pinned pool's threads and failures.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "generator/pinning.hpp"
#include "harness.hpp"

namespace {

vorn::NumaNode node(std::uint64_t id, std::uint64_t first_cpu, std::uint64_t end_cpu) {
    vorn::NumaNode n;
    n.node_id = id;
    for (std::uint64_t cpu = first_cpu; cpu < end_cpu; ++cpu) n.cpus.push_back(cpu);
    return n;
}

vorn::NumaTopology topology_of(std::vector<vorn::NumaNode> nodes) {
    vorn::NumaTopology topology;
    topology.num_nodes = nodes.empty() ? 2 : nodes.size();
    topology.is_uma = topology.num_nodes < 2;
    topology.nodes = std::move(nodes);
    return topology;
}

// "0,10,-" for CPU 0, CPU 10 and a worker without an entry.
std::string text(const vorn::WorkerCpus& table) {
    std::string out;
    for (std::size_t i = 0; i < table.size(); ++i) {
        out += i ? "," : "";
        out += table[i] ? std::to_string(*table[i]) : "-";
    }
    return out;
}

std::vector<int> cpus_of(const cpu_set_t& set) {
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}

std::vector<int> my_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return {};
    return cpus_of(set);
}

bool restrict_me_to(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// Runs `body` on a fresh thread whose mask is first narrowed to `allowed`,
// and returns the thread's mask afterwards.
template <class Body>
std::vector<int> mask_after(const std::vector<int>& allowed, Body body) {
    std::vector<int> after;
    std::thread([&] {
        if (!restrict_me_to(allowed)) return;
        body();
        after = my_cpus();
    }).join();
    return after;
}

}  // namespace

TEST_CASE(pinning_table_round_robin) {
    const auto two_nodes = topology_of({node(0, 0, 8), node(1, 8, 16)});
    // c = ceil(8 / 4) = 2: positions 0, 2, 4, 6 alternating over the nodes.
    CHECK_EQ(text(vorn::build_worker_cpus(two_nodes, 4, std::nullopt)), "0,10,4,14");
    // c = 1 with the whole thread count, not the workers per node.
    CHECK_EQ(text(vorn::build_worker_cpus(two_nodes, 16, std::nullopt)),
             "0,9,2,11,4,13,6,15,0,9,2,11,4,13,6,15");
    CHECK_EQ(text(vorn::build_worker_cpus(two_nodes, 1, std::nullopt)), "0");
    CHECK(vorn::build_worker_cpus(two_nodes, 0, std::nullopt).empty());

    // c = ceil(8 / 3) = 3, rounded up, not down.
    const auto one_node = topology_of({node(0, 0, 8)});
    CHECK_EQ(text(vorn::build_worker_cpus(one_node, 3, std::nullopt)), "0,3,6");

    // Uneven nodes: each node's c comes from its own size.
    const auto uneven = topology_of({node(0, 0, 4), node(1, 4, 6), node(2, 6, 12)});
    CHECK_EQ(text(vorn::build_worker_cpus(uneven, 4, std::nullopt)), "0,5,10,3");

    // Workers that land on a memory-only node get no entry; the others do.
    const auto with_memory_only = topology_of({node(0, 0, 4), node(5, 0, 0)});
    CHECK_EQ(text(vorn::build_worker_cpus(with_memory_only, 4, std::nullopt)), "0,-,2,-");
    // Every node dropped by detection: nobody is pinned.
    CHECK(vorn::build_worker_cpus(topology_of({}), 4, std::nullopt).empty());
}

TEST_CASE(pinning_table_for_one_node) {
    const auto topology = topology_of({node(0, 0, 8), node(1, 8, 16), node(1, 20, 22)});
    CHECK_EQ(text(vorn::build_worker_cpus(topology, 3, 1)), "8,9,10");
    CHECK_EQ(text(vorn::build_worker_cpus(topology, 3, 0)), "0,1,2");
    // More workers than CPUs wrap around the node's list.
    CHECK_EQ(text(vorn::build_worker_cpus(topology_of({node(4, 2, 4)}), 5, 4)), "2,3,2,3,2");
    // A node that is not listed: everyone unpinned.
    CHECK(vorn::build_worker_cpus(topology, 3, 7).empty());
    CHECK(vorn::build_worker_cpus(topology, 0, 1).empty());
    // A memory-only node has no CPU to give.
    CHECK(vorn::build_worker_cpus(topology_of({node(0, 0, 4), node(3, 0, 0)}), 2, 3).empty());
}

TEST_CASE(pinning_uses_positions_among_allowed_cpus) {
    const std::vector<int> allowed = my_cpus();
    CHECK(!allowed.empty());
    if (allowed.empty()) return;
    const std::vector<int> first_only{allowed.front()};

    // Full mask: position k is the k-th allowed CPU.
    for (std::size_t k = 0; k < allowed.size(); ++k) {
        CHECK(mask_after(allowed, [&] { vorn::pin_current_thread(k); }) == std::vector<int>{allowed[k]});
    }
    // A position past the list leaves the thread where it was.
    CHECK(mask_after(allowed, [&] { vorn::pin_current_thread(allowed.size()); }) == allowed);
    CHECK(mask_after(allowed, [] { vorn::pin_current_thread(1u << 20); }) == allowed);

    // Narrowed to the last allowed CPU: position 0 is that CPU, not CPU 0,
    // and position 5 is nowhere.
    const std::vector<int> last_only{allowed.back()};
    CHECK(mask_after(last_only, [] { vorn::pin_current_thread(0); }) == last_only);
    CHECK(mask_after(last_only, [] { vorn::pin_current_thread(5); }) == last_only);
    if (allowed.size() >= 2) {
        // The last two allowed CPUs: positions 0 and 1 are those CPUs, whatever their numbers.
        const std::vector<int> last_two{allowed[allowed.size() - 2], allowed.back()};
        CHECK(mask_after(last_two, [] { vorn::pin_current_thread(0); }) == std::vector<int>{last_two[0]});
        CHECK(mask_after(last_two, [] { vorn::pin_current_thread(1); }) == std::vector<int>{last_two[1]});
        CHECK(mask_after(last_two, [] { vorn::pin_current_thread(2); }) == last_two);
    }
    // Pinning other threads never touched this one.
    CHECK(my_cpus() == allowed);
}

TEST_CASE(pinned_pool_workers_pin_themselves) {
    const std::vector<int> allowed = my_cpus();
    CHECK(!allowed.empty());
    if (allowed.empty()) return;
    const std::size_t position = allowed.size() - 1;

    // Runs 64 chunks and collects the masks the workers ran them under.
    const auto masks_seen = [](vorn::ThreadPool& pool) {
        std::mutex lock;
        std::set<std::vector<int>> masks;
        pool.run_chunks(64, [&](std::size_t) {
            const std::vector<int> mask = my_cpus();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard guard(lock);
            masks.insert(mask);
        });
        return masks;
    };

    {
        // Every worker has the same entry: every chunk runs on that one CPU.
        auto table = std::make_shared<const vorn::WorkerCpus>(3, position);
        std::weak_ptr<const vorn::WorkerCpus> watch = table;
        auto created = vorn::create_pinned_pool(3, std::move(table));
        CHECK(created.ok());
        if (!created.ok()) return;
        std::unique_ptr<vorn::ThreadPool> pool = std::move(created).value();
        CHECK_EQ(pool->size(), 3u);
        const auto masks = masks_seen(*pool);
        CHECK(masks == std::set<std::vector<int>>{{allowed[position]}});
        // The workers hold the table after the builder has let go of it.
        CHECK(!watch.expired());
        pool.reset();
        // Released workers leave on their own, and the table goes with the last.
        for (int i = 0; i < 500 && !watch.expired(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        CHECK(watch.expired());
    }
    {
        // Workers past the end of a short table, or with an empty entry,
        // and a pool with no table at all, run under the full mask.
        for (auto table : {std::make_shared<const vorn::WorkerCpus>(),
                           std::make_shared<const vorn::WorkerCpus>(1, std::nullopt),
                           std::shared_ptr<const vorn::WorkerCpus>()}) {
            auto created = vorn::create_pinned_pool(2, table);
            CHECK(created.ok());
            if (!created.ok()) continue;
            const auto masks = masks_seen(*created.value());
            CHECK(masks == std::set<std::vector<int>>{allowed});
        }
    }
    CHECK(my_cpus() == allowed);
}

TEST_CASE(pinned_pool_reports_threads_that_cannot_start) {
    // In a child that may run no further process or thread, creation fails
    // with a description instead of throwing or hanging.
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        // Root is exempt from the process limit; drop to an ordinary user first.
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(11);
        auto table = std::make_shared<const vorn::WorkerCpus>(2, 0);
        auto created = vorn::create_pinned_pool(2, table);
        if (created.ok()) _exit(12);
        if (created.error().find("cannot start a worker thread") == std::string::npos) _exit(13);
        _exit(0);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}
