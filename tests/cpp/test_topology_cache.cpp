// The process's topology for generation calls: the layout a fresh load
// gives, under any affinity; reloaded when the hwloc environment changes;
// loaded afresh in a child of fork().
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/cpu_count.hpp"
#include "harness.hpp"
#include "scoped_env.hpp"
#include "placement/data_buffer.hpp"
#include "placement/topology.hpp"
#include "placement/topology_cache.hpp"

using namespace vorn;

namespace {

bool same_layout(const NumaTopology& a, const NumaTopology& b) {
    if (a.nodes.size() != b.nodes.size() || a.num_nodes != b.num_nodes || a.is_uma != b.is_uma ||
        a.logical_cpus != b.logical_cpus || a.physical_cores != b.physical_cores)
        return false;
    for (std::size_t i = 0; i < a.nodes.size(); ++i)
        if (a.nodes[i].node_id != b.nodes[i].node_id || a.nodes[i].cpus != b.nodes[i].cpus) return false;
    return true;
}

// What a fresh load of the machine gives, as the generation calls use it.
std::optional<NumaTopology> fresh_layout(std::uint64_t cpus) {
    Result<TopologyPtr> loaded = load_machine_topology();
    if (!loaded) return std::nullopt;
    return topology_from_hwloc(loaded.value().get(), 0, cpus);
}

bool cached_equals_fresh(std::uint64_t cpus) {
    Result<MachineView> cached = cached_machine(cpus);
    const std::optional<NumaTopology> fresh = fresh_layout(cpus);
    return cached.ok() && fresh && same_layout(cached.value().layout, *fresh);
}

// Restores the thread's affinity mask when the scope ends.
class ScopedAffinity {
public:
    ScopedAffinity() { sched_getaffinity(0, sizeof saved_, &saved_); }
    ~ScopedAffinity() { sched_setaffinity(0, sizeof saved_, &saved_); }
    ScopedAffinity(const ScopedAffinity&) = delete;
    ScopedAffinity& operator=(const ScopedAffinity&) = delete;
    const cpu_set_t& saved() const { return saved_; }

private:
    cpu_set_t saved_{};
};

}  // namespace

TEST_CASE(cached_layout_is_a_fresh_load_under_any_affinity) {
    const std::uint64_t cpus = available_cpu_count();
    CHECK(cached_equals_fresh(cpus));
    const std::uint64_t loads = topology_cache_loads();
    CHECK(loads >= 1);
    // Narrowing the affinity changes the count a call passes in, never the
    // topology: each call still matches a fresh load, and nothing reloads.
    ScopedAffinity restore;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &restore.saved())) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
        CHECK_EQ(available_cpu_count(), affinity_cpu_count());
        CHECK(cached_equals_fresh(available_cpu_count()));
    }
    CHECK(cached_equals_fresh(1) && cached_equals_fresh(1000));
    CHECK_EQ(topology_cache_loads(), loads);
}

TEST_CASE(cached_layout_follows_the_hwloc_environment) {
    CHECK(cached_machine(4).ok());
    const std::uint64_t before = topology_cache_loads();
    {
        vorn_test::ScopedEnv synthetic("HWLOC_SYNTHETIC", "pack:2 numa:1 core:3 pu:1");
        Result<MachineView> machine = cached_machine(4);
        CHECK(machine.ok());
        if (machine.ok()) {
            CHECK_EQ(machine.value().layout.nodes.size(), 2u);
            CHECK_EQ(machine.value().layout.nodes[1].cpus.size(), 3u);
            // The layout and the topology handed out come from the same load.
            CHECK(same_layout(topology_from_hwloc(machine.value().topology.get(), 0, 4),
                              machine.value().layout));
        }
        CHECK(cached_equals_fresh(4));
        CHECK_EQ(topology_cache_loads(), before + 1);
        // Asked again under the same environment: the loaded one serves.
        Result<MachineView> again = cached_machine(4);
        CHECK(again.ok());
        CHECK_EQ(topology_cache_loads(), before + 1);
        if (machine.ok() && again.ok()) CHECK(machine.value().topology == again.value().topology);
    }
    // Back to the machine itself.
    CHECK(cached_equals_fresh(4));
    CHECK_EQ(topology_cache_loads(), before + 2);
}

TEST_CASE(a_topology_handed_out_outlives_the_cache_moving_on) {
    // A node-bound output frees its memory through the topology it was
    // allocated with, however long after the cache has loaded another.
    std::weak_ptr<hwloc_topology> watch;
    DataBuffer output;
    {
        Result<MachineView> machine = cached_machine(2);
        CHECK(machine.ok());
        if (!machine.ok()) return;
        watch = machine.value().topology;
        const std::uint64_t node = machine.value().layout.nodes.front().node_id;
        Result<DataBuffer> bound =
            DataBuffer::allocate_on_node(machine.value().topology, 1 << 20, node);
        if (bound) output = std::move(bound).value();
    }
    {
        vorn_test::ScopedEnv synthetic("HWLOC_SYNTHETIC", "pack:2 numa:1 core:1 pu:1");
        CHECK(cached_machine(2).ok());
    }
    CHECK(cached_machine(2).ok());  // the machine again, loaded afresh
    CHECK_EQ(watch.expired(), !output.is_node_bound());
    if (output.is_node_bound()) output.data()[0] = 1;
    output = DataBuffer();  // freed through the kept topology, which goes with it
    CHECK(watch.expired());
}

TEST_CASE(a_failed_load_is_reported_and_not_kept) {
    const std::uint64_t before = topology_cache_loads();
    {
        // hwloc refuses a topology without any NUMA node.
        vorn_test::ScopedEnv broken("HWLOC_XMLFILE",
                         std::string(VORN_FIXTURES_DIR) + "/topology/no_numa_node.xml");
        CHECK(!cached_machine(2).ok());
        CHECK(!cached_machine(2).ok());
    }
    // The machine's topology, loaded before, serves again.
    CHECK(cached_equals_fresh(2));
    CHECK_EQ(topology_cache_loads(), before);
}

TEST_CASE(a_forked_child_loads_its_own_topology) {
    CHECK(cached_machine(2).ok());
    const std::uint64_t parent_loads = topology_cache_loads();
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);
        // Nothing of the parent's cache is used: the child starts with no
        // loads of its own, loads once, and matches a fresh load.
        const bool fresh_start = topology_cache_loads() == 0;
        const bool equal = cached_equals_fresh(3);
        const bool one_load = topology_cache_loads() == 1;
        _exit(fresh_start && equal && one_load ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
    CHECK_EQ(topology_cache_loads(), parent_loads);
    CHECK(cached_equals_fresh(2));
}

TEST_CASE(topology_dependencies_name_the_environment_and_online_sets) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("vorn_online_" + std::to_string(getpid()));
    fs::create_directories(root / "sys/devices/system/cpu");
    fs::create_directories(root / "sys/devices/system/node");
    std::ofstream(root / "sys/devices/system/cpu/online") << "0-3\n";
    std::ofstream(root / "sys/devices/system/node/online") << "0\n";
    const std::string four = topology_dependencies(root.c_str());
    std::ofstream(root / "sys/devices/system/cpu/online") << "0-2\n";
    const std::string three = topology_dependencies(root.c_str());
    CHECK(four != three);
    CHECK(four.find("0-3") != std::string::npos);
    {
        vorn_test::ScopedEnv set("HWLOC_COMPONENTS", "linux");
        const std::string with_env = topology_dependencies(root.c_str());
        CHECK(with_env != three);
        CHECK(with_env.find("HWLOC_COMPONENTS=linux") != std::string::npos);
    }
    {
        // Other variables do not matter.
        vorn_test::ScopedEnv other("VORN_UNRELATED", "1");
        CHECK(topology_dependencies(root.c_str()) == three);
    }
    fs::remove_all(root);
}
