// Pinned workers: the CPU table for known layouts, pinning under full and
// narrowed affinity masks, and the pinned pool's threads and failures.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "placement/pinning.hpp"
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
    // Two workers per node, alternating over the nodes: a step of 8 / 2 = 4.
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(two_nodes, 4)), "0,8,4,12");
    // As many workers as CPUs: every CPU once, none twice.
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(two_nodes, 16)),
             "0,8,1,9,2,10,3,11,4,12,5,13,6,14,7,15");
    // More workers than CPUs: each CPU twice.
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(two_nodes, 32)),
             "0,8,1,9,2,10,3,11,4,12,5,13,6,14,7,15,0,8,1,9,2,10,3,11,4,12,5,13,6,14,7,15");
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(two_nodes, 1)), "0");
    CHECK(vorn::worker_cpus_across_nodes(two_nodes, 0).empty());

    // A step of ceil(8 / 3) = 3, rounded up, not down.
    const auto one_node = topology_of({node(0, 0, 8)});
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(one_node, 3)), "0,3,6");

    // Uneven nodes: each node's step comes from its own size and its own
    // workers (node 0 gets workers 0 and 3: a step of 4 / 2).
    const auto uneven = topology_of({node(0, 0, 4), node(1, 4, 6), node(2, 6, 12)});
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(uneven, 4)), "0,4,6,2");

    // Workers that land on a memory-only node get no entry; the others do.
    const auto with_memory_only = topology_of({node(0, 0, 4), node(5, 0, 0)});
    CHECK_EQ(text(vorn::worker_cpus_across_nodes(with_memory_only, 4)), "0,-,2,-");
    // Every node dropped by detection: nobody is pinned.
    CHECK(vorn::worker_cpus_across_nodes(topology_of({}), 4).empty());
}

TEST_CASE(pinning_table_for_one_node) {
    CHECK_EQ(text(vorn::worker_cpus_on_node(node(1, 8, 16), 3)), "8,9,10");
    CHECK_EQ(text(vorn::worker_cpus_on_node(node(0, 0, 8), 3)), "0,1,2");
    // More workers than CPUs wrap around the node's list.
    CHECK_EQ(text(vorn::worker_cpus_on_node(node(4, 2, 4), 5)), "2,3,2,3,2");
    CHECK(vorn::worker_cpus_on_node(node(1, 8, 16), 0).empty());
    // A memory-only node has no CPU to give.
    CHECK(vorn::worker_cpus_on_node(node(3, 0, 0), 2).empty());
}

TEST_CASE(pinning_decision_uses_cpu_numbers) {
    // Allowed CPUs 4 to 7: CPU 6 is allowed and is the one pinned to; CPU 2
    // is not, and no allowed CPU stands in for it (read as a position among
    // the allowed CPUs, 2 would have meant CPU 6).
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    for (int cpu = 4; cpu < 8; ++cpu) CPU_SET(cpu, &allowed);
    CHECK(vorn::may_pin(allowed, 6));
    CHECK(vorn::may_pin(allowed, 4));
    CHECK(!vorn::may_pin(allowed, 2));
    CHECK(!vorn::may_pin(allowed, 0));
    CHECK(!vorn::may_pin(allowed, 9));
    CHECK(!vorn::may_pin(allowed, 1023));
    CHECK(!vorn::may_pin(allowed, 1024));
    CHECK(!vorn::may_pin(allowed, std::uint64_t{1} << 40));
}

TEST_CASE(pinning_uses_cpu_numbers_within_the_allowed_set) {
    const std::vector<int> allowed = my_cpus();
    CHECK(!allowed.empty());
    if (allowed.empty()) return;

    // Every allowed CPU can be pinned to, by its number.
    for (int cpu : allowed) {
        bool pinned = false;
        CHECK(mask_after(allowed, [&] { pinned = vorn::pin_current_thread(cpu); }) ==
              std::vector<int>{cpu});
        CHECK(pinned);
    }
    // A number outside the set leaves the thread where it was.
    int outside = 0;
    while (std::find(allowed.begin(), allowed.end(), outside) != allowed.end()) ++outside;
    CHECK(mask_after(allowed, [&] { CHECK(!vorn::pin_current_thread(outside)); }) == allowed);
    CHECK(mask_after(allowed, [] { CHECK(!vorn::pin_current_thread(1u << 20)); }) == allowed);

    // Narrowed to the last allowed CPU: only that CPU's own number pins; the
    // first allowed CPU, now outside the set, leaves the thread unpinned.
    const std::vector<int> last_only{allowed.back()};
    CHECK(mask_after(last_only, [&] { CHECK(vorn::pin_current_thread(allowed.back())); }) == last_only);
    if (allowed.size() >= 2) {
        CHECK(mask_after(last_only, [&] { CHECK(!vorn::pin_current_thread(allowed.front())); }) ==
              last_only);
    }
    // Pinning other threads never touched this one.
    CHECK(my_cpus() == allowed);
}

TEST_CASE(pinned_pool_workers_pin_themselves) {
    const std::vector<int> allowed = my_cpus();
    CHECK(!allowed.empty());
    if (allowed.empty()) return;
    const int cpu = allowed.back();

    // Runs one chunk per worker, all of them at once (each waits inside its
    // chunk until every worker has arrived, so no worker takes two), and
    // collects the masks they ran under.
    const auto masks_seen = [](vorn::ThreadPool& pool) {
        std::mutex lock;
        std::condition_variable arrived;
        std::size_t inside = 0;
        std::set<std::vector<int>> masks;
        pool.run_chunks(pool.size(), [&](std::size_t) {
            const std::vector<int> mask = my_cpus();
            std::unique_lock guard(lock);
            masks.insert(mask);
            ++inside;
            arrived.notify_all();
            arrived.wait(guard, [&] { return inside == pool.size(); });
        });
        return masks;
    };

    {
        // Every worker has the same entry: every worker runs on that one CPU.
        std::mutex lock;
        std::condition_variable released;
        bool table_freed = false;
        std::shared_ptr<const vorn::WorkerCpus> table(
            new vorn::WorkerCpus(3, static_cast<std::uint64_t>(cpu)),
            [&](const vorn::WorkerCpus* p) {
                delete p;
                std::lock_guard guard(lock);
                table_freed = true;
                released.notify_all();
            });
        std::weak_ptr<const vorn::WorkerCpus> watch = table;
        std::unique_ptr<vorn::ThreadPool> pool = vorn::create_pinned_pool(3, std::move(table));
        CHECK_EQ(pool->size(), 3u);
        CHECK(masks_seen(*pool) == std::set<std::vector<int>>{{cpu}});
        // The workers hold the table after the builder has let go of it.
        CHECK(!watch.expired());
        pool.reset();
        // Released workers leave on their own, and the table goes with the last.
        std::unique_lock guard(lock);
        released.wait(guard, [&] { return table_freed; });
        CHECK(watch.expired());
    }
    {
        // Workers past the end of a short table, or with an empty entry,
        // and a pool with no table at all, run under the full mask.
        for (auto table : {std::make_shared<const vorn::WorkerCpus>(),
                           std::make_shared<const vorn::WorkerCpus>(1, std::nullopt),
                           std::shared_ptr<const vorn::WorkerCpus>()}) {
            auto pool = vorn::create_pinned_pool(2, table);
            CHECK_EQ(pool->size(), 2u);
            CHECK(masks_seen(*pool) == std::set<std::vector<int>>{allowed});
        }
    }
    CHECK(my_cpus() == allowed);
}

TEST_CASE(pinned_pool_without_threads_runs_on_the_caller_unpinned) {
    // In a child that may start no further process or thread, the pool has
    // no worker: the caller runs every chunk, and is never pinned itself.
    const std::vector<int> allowed = my_cpus();
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        alarm(60);
        // Root is exempt from the process limit; drop to an ordinary user first.
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(11);
        auto table = std::make_shared<const vorn::WorkerCpus>(
            2, static_cast<std::uint64_t>(allowed.back()));
        auto pool = vorn::create_pinned_pool(2, table);
        if (pool->size() != 0) _exit(12);
        const pthread_t caller = pthread_self();
        int hits = 0;
        bool on_caller = true;
        pool->run_chunks(8, [&](std::size_t) {
            ++hits;
            on_caller = on_caller && pthread_equal(pthread_self(), caller);
        });
        if (hits != 8 || !on_caller) _exit(13);
        if (my_cpus() != allowed) _exit(14);
        _exit(0);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}
