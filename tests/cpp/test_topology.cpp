// Topology detection: on this machine, on hwloc's synthetic and XML
// topologies (through the pure builder and through detect itself), and on
// hand-made node objects for what hwloc never produces.
#include <hwloc.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/cpu_count.hpp"
#include "harness.hpp"
#include "scoped_env.hpp"
#include "placement/cpuinfo.hpp"
#include "placement/hwloc_handles.hpp"
#include "placement/topology.hpp"

namespace {

std::string text(const std::vector<std::uint64_t>& values) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(values[i]);
    }
    return "[" + out + "]";
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t end) {
    std::vector<std::uint64_t> values;
    for (std::uint64_t v = first; v < end; ++v) values.push_back(v);
    return values;
}

std::string fixture(const char* name) {
    return std::string(VORN_FIXTURES_DIR) + "/topology/" + name;
}

vorn::TopologyPtr load_synthetic(const char* description) {
    hwloc_topology_t raw = nullptr;
    CHECK(hwloc_topology_init(&raw) == 0);
    vorn::TopologyPtr topology(raw);
    CHECK(hwloc_topology_set_synthetic(raw, description) == 0);
    CHECK(hwloc_topology_load(raw) == 0);
    return topology;
}

vorn::TopologyPtr load_xml(const char* name) {
    hwloc_topology_t raw = nullptr;
    CHECK(hwloc_topology_init(&raw) == 0);
    vorn::TopologyPtr topology(raw);
    CHECK(hwloc_topology_set_xml(raw, fixture(name).c_str()) == 0);
    CHECK(hwloc_topology_load(raw) == 0);
    return topology;
}

}  // namespace

TEST_CASE(topology_detect_on_this_machine) {
    auto detected = vorn::NumaTopology::detect();
    CHECK(detected.ok());
    if (!detected.ok()) return;
    const vorn::NumaTopology& topology = detected.value();

    // Counted independently through hwloc's by-type walk.
    vorn::TopologyLoadFailure failure;
    const vorn::TopologyPtr reference = vorn::load_topology(failure);
    CHECK(reference != nullptr);
    if (!reference) return;
    std::uint64_t hwloc_nodes = 0;
    for (hwloc_obj_t node = hwloc_get_next_obj_by_type(reference.get(), HWLOC_OBJ_NUMANODE, nullptr);
         node != nullptr; node = hwloc_get_next_obj_by_type(reference.get(), HWLOC_OBJ_NUMANODE, node)) {
        ++hwloc_nodes;
    }
    std::vector<std::uint64_t> pu_numbers;
    for (hwloc_obj_t pu = hwloc_get_next_obj_by_type(reference.get(), HWLOC_OBJ_PU, nullptr);
         pu != nullptr; pu = hwloc_get_next_obj_by_type(reference.get(), HWLOC_OBJ_PU, pu)) {
        pu_numbers.push_back(pu->os_index);
    }
    std::sort(pu_numbers.begin(), pu_numbers.end());

    CHECK_EQ(topology.num_nodes, hwloc_nodes);
    CHECK_EQ(topology.nodes.size(), hwloc_nodes);
    CHECK_EQ(topology.is_uma, hwloc_nodes < 2);
    CHECK_EQ(topology.logical_cpus, vorn::available_cpu_count());
    const std::uint64_t from_cpuinfo = vorn::count_physical_cores();
    CHECK_EQ(topology.physical_cores, from_cpuinfo != 0 ? from_cpuinfo : topology.logical_cpus);

    // Every PU of the machine belongs to some node, listed by its number in
    // ascending order.
    std::vector<std::uint64_t> all;
    for (const vorn::NumaNode& node : topology.nodes) {
        for (std::size_t i = 1; i < node.cpus.size(); ++i) CHECK(node.cpus[i - 1] < node.cpus[i]);
        all.insert(all.end(), node.cpus.begin(), node.cpus.end());
    }
    std::sort(all.begin(), all.end());
    CHECK_EQ(text(all), text(pu_numbers));
    // Two detections agree: nothing is kept between them.
    auto again = vorn::NumaTopology::detect();
    CHECK(again.ok() && again.value().num_nodes == topology.num_nodes);
}

TEST_CASE(topology_detect_loads_what_hwloc_is_pointed_at) {
    {
        vorn_test::ScopedEnv xml("HWLOC_XMLFILE", fixture("two_nodes.xml"));
        auto detected = vorn::NumaTopology::detect();
        CHECK(detected.ok());
        if (detected.ok()) {
            const vorn::NumaTopology& topology = detected.value();
            CHECK_EQ(topology.nodes.size(), 2u);
            CHECK_EQ(topology.num_nodes, 2u);
            CHECK(!topology.is_uma);
            if (topology.nodes.size() == 2) {
                CHECK_EQ(text(topology.nodes[0].cpus), text(range(0, 4)));
                CHECK_EQ(text(topology.nodes[1].cpus), text(range(4, 8)));
            }
            CHECK_EQ(topology.logical_cpus, vorn::available_cpu_count());
        }
    }
    {
        // hwloc refuses a topology without any NUMA node: a load error, not a fallback.
        vorn_test::ScopedEnv xml("HWLOC_XMLFILE", fixture("no_numa_node.xml"));
        auto detected = vorn::NumaTopology::detect();
        CHECK(!detected.ok());
        if (!detected.ok()) {
            const std::string prefix = "hwloc_topology_load failed with errno ";
            CHECK_EQ(detected.error().substr(0, prefix.size()), prefix);
            CHECK(detected.error().size() > prefix.size());
        }
    }
}

TEST_CASE(topology_from_synthetic_layouts) {
    {
        const auto hw = load_synthetic("pack:2 numa:1 core:4 pu:1");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 5, 8);
        CHECK_EQ(topology.nodes.size(), 2u);
        CHECK_EQ(topology.num_nodes, 2u);
        CHECK(!topology.is_uma);
        CHECK_EQ(topology.physical_cores, 5u);
        CHECK_EQ(topology.logical_cpus, 8u);
        if (topology.nodes.size() == 2) {
            CHECK_EQ(topology.nodes[0].node_id, 0u);
            CHECK_EQ(text(topology.nodes[0].cpus), text(range(0, 4)));
            CHECK_EQ(topology.nodes[1].node_id, 1u);
            CHECK_EQ(text(topology.nodes[1].cpus), text(range(4, 8)));
        }
    }
    {
        // hwloc adds a node of its own to a layout that names none.
        const auto hw = load_synthetic("core:8 pu:1");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 0, 6);
        CHECK_EQ(topology.nodes.size(), 1u);
        CHECK_EQ(topology.num_nodes, 1u);
        CHECK(topology.is_uma);
        if (topology.nodes.size() == 1) CHECK_EQ(text(topology.nodes[0].cpus), text(range(0, 8)));
        // No count from /proc/cpuinfo: the logical count stands in.
        CHECK_EQ(topology.physical_cores, 6u);
    }
    {
        // Nodes keep hwloc's order and their own OS indexes.
        const auto hw = load_synthetic("pack:2 numa:1(indexes=3,1) core:2 pu:1");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 4, 4);
        CHECK_EQ(topology.nodes.size(), 2u);
        if (topology.nodes.size() == 2) {
            CHECK_EQ(topology.nodes[0].node_id, 3u);
            CHECK_EQ(text(topology.nodes[0].cpus), "[0,1]");
            CHECK_EQ(topology.nodes[1].node_id, 1u);
            CHECK_EQ(text(topology.nodes[1].cpus), "[2,3]");
        }
    }
    {
        // Sparse PU numbering (0, 2, 4, 6, as under a cpuset that hides the
        // odd CPUs): the numbers themselves are listed, also those above the
        // PU count.
        const auto hw = load_synthetic("pack:2 numa:1 core:2 pu:1(indexes=0,2,4,6)");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 4, 4);
        CHECK_EQ(topology.nodes.size(), 2u);
        CHECK_EQ(topology.num_nodes, 2u);
        if (topology.nodes.size() == 2) {
            CHECK_EQ(text(topology.nodes[0].cpus), "[0,2]");
            CHECK_EQ(text(topology.nodes[1].cpus), "[4,6]");
        }
    }
    {
        // Nodes attached at two levels (packages and cores) are all found,
        // in hwloc's logical order.
        const auto hw = load_synthetic("pack:2 [numa] core:2 [numa] pu:1");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 4, 4);
        CHECK_EQ(topology.num_nodes, 6u);
        std::string layout;
        for (const vorn::NumaNode& node : topology.nodes) {
            layout += std::to_string(node.node_id) + text(node.cpus);
        }
        CHECK_EQ(layout, "0[0]1[1]2[0,1]3[2]4[3]5[2,3]");
    }
}

TEST_CASE(topology_from_edited_xml) {
    {
        // A node under a CPU-less group: kept, with no CPUs, and counted.
        const auto hw = load_xml("memory_only_node.xml");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 8, 8);
        CHECK_EQ(topology.nodes.size(), 3u);
        CHECK_EQ(topology.num_nodes, 3u);
        CHECK(!topology.is_uma);
        if (topology.nodes.size() == 3) {
            CHECK_EQ(text(topology.nodes[0].cpus), text(range(0, 4)));
            CHECK_EQ(text(topology.nodes[1].cpus), text(range(4, 8)));
            CHECK_EQ(topology.nodes[2].node_id, 2u);
            CHECK_EQ(text(topology.nodes[2].cpus), "[]");
        }
    }
    {
        // A node without an OS index is left out but still counted, so two
        // reported nodes are not UMA even though one is listed.
        const auto hw = load_xml("node_without_os_index.xml");
        const vorn::NumaTopology topology = vorn::topology_from_hwloc(hw.get(), 8, 8);
        CHECK_EQ(topology.nodes.size(), 1u);
        CHECK_EQ(topology.num_nodes, 2u);
        CHECK(!topology.is_uma);
        if (topology.nodes.size() == 1) {
            CHECK_EQ(topology.nodes[0].node_id, 0u);
            CHECK_EQ(text(topology.nodes[0].cpus), text(range(0, 4)));
        }
    }
}

TEST_CASE(topology_from_hand_made_node_objects) {
    {
        // No node object at all: one fallback node over the logical CPUs.
        const vorn::NumaTopology topology = vorn::topology_from_node_objects({}, 0, 3);
        CHECK_EQ(topology.nodes.size(), 1u);
        CHECK_EQ(topology.num_nodes, 1u);
        CHECK(topology.is_uma);
        CHECK_EQ(topology.physical_cores, 3u);
        if (topology.nodes.size() == 1) {
            CHECK_EQ(topology.nodes[0].node_id, 0u);
            CHECK_EQ(text(topology.nodes[0].cpus), "[0,1,2]");
        }
    }
    vorn::BitmapPtr cpus(hwloc_bitmap_alloc());
    hwloc_bitmap_set(cpus.get(), 1);
    hwloc_bitmap_set(cpus.get(), 3);
    hwloc_bitmap_set(cpus.get(), 5);
    hwloc_obj without_index{};
    without_index.os_index = HWLOC_UNKNOWN_INDEX;
    without_index.cpuset = cpus.get();
    hwloc_obj without_cpuset{};
    without_cpuset.os_index = 4;
    hwloc_obj usable{};
    usable.os_index = 7;
    usable.cpuset = cpus.get();
    {
        // Every object unusable: nothing listed, yet two nodes reported.
        const vorn::NumaTopology topology =
            vorn::topology_from_node_objects({&without_index, &without_cpuset}, 2, 2);
        CHECK(topology.nodes.empty());
        CHECK_EQ(topology.num_nodes, 2u);
        CHECK(!topology.is_uma);
    }
    {
        // Every CPU number of the set is listed; numbers past the 1024-CPU
        // masks we pin within are not.
        hwloc_bitmap_set(cpus.get(), 1024);
        const vorn::NumaTopology topology =
            vorn::topology_from_node_objects({&without_cpuset, &usable}, 2, 2);
        CHECK_EQ(topology.nodes.size(), 1u);
        if (topology.nodes.size() == 1) {
            CHECK_EQ(topology.nodes[0].node_id, 7u);
            CHECK_EQ(text(topology.nodes[0].cpus), "[1,3,5]");
        }
    }
}
