// Ordinary and node-bound buffers: zero-filled, visible length rules, the
// failure texts of node-bound allocation, and moves that keep one owner.
#include <hwloc.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/cpu_count.hpp"
#include "harness.hpp"
#include "scoped_env.hpp"
#include "placement/data_buffer.hpp"
#include "placement/topology_cache.hpp"

using namespace vorn;

namespace {

bool all_zero(const DataBuffer& b) {
    for (std::uint64_t i = 0; i < b.length(); i += 4093)
        if (b.data()[i] != 0) return false;
    return b.length() == 0 || b.data()[b.length() - 1] == 0;
}

}  // namespace

TEST_CASE(ordinary_buffers_are_zero_filled_at_every_size) {
    for (std::uint64_t size : {std::uint64_t{1}, std::uint64_t{4096}, std::uint64_t{1} << 20,
                               (std::uint64_t{1} << 22) + 3}) {
        DataBuffer b = DataBuffer::ordinary(size);
        CHECK_EQ(b.length(), size);
        CHECK_EQ(b.capacity(), size);
        CHECK(!b.is_node_bound());
        CHECK(all_zero(b));
        b.data()[size - 1] = 7;  // writable to the last byte
    }
    DataBuffer empty = DataBuffer::ordinary(0);
    CHECK_EQ(empty.length(), 0u);
    CHECK(empty.data() == nullptr);
}

TEST_CASE(ordinary_allocation_failure_throws_bad_alloc) {
    bool threw = false;
    try {
        DataBuffer b = DataBuffer::ordinary(std::uint64_t{1} << 62);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
}

TEST_CASE(visible_length_rules) {
    DataBuffer b = DataBuffer::ordinary(1000);
    b.set_length(2000);  // never above the capacity
    CHECK_EQ(b.length(), 1000u);
    b.set_length(10);
    CHECK_EQ(b.length(), 10u);
    b.set_length(500);  // ordinary memory only shrinks
    CHECK_EQ(b.length(), 10u);
    CHECK_EQ(b.capacity(), 1000u);
}

TEST_CASE(moves_transfer_ownership) {
    DataBuffer a = DataBuffer::ordinary(1 << 21);
    std::uint8_t* p = a.data();
    DataBuffer b = std::move(a);
    CHECK(a.data() == nullptr);
    CHECK_EQ(a.length(), 0u);
    CHECK(b.data() == p);
    DataBuffer c = DataBuffer::ordinary(16);
    c = std::move(b);  // releases c's old memory, takes b's
    CHECK(c.data() == p);
    CHECK_EQ(c.length(), std::uint64_t{1} << 21);
}

namespace {

// This machine's NUMA nodes by operating-system index, and whether hwloc can
// bind memory here at all.
struct MachineNodes {
    std::vector<unsigned> indexes;
    bool can_bind = false;
};

MachineNodes machine_nodes() {
    TopologyLoadFailure failure;
    const TopologyPtr topology = load_topology(failure);
    MachineNodes nodes;
    if (!topology) return nodes;
    for (hwloc_obj_t node = hwloc_get_next_obj_by_type(topology.get(), HWLOC_OBJ_NUMANODE, nullptr);
         node != nullptr; node = hwloc_get_next_obj_by_type(topology.get(), HWLOC_OBJ_NUMANODE, node)) {
        if (node->os_index != HWLOC_UNKNOWN_INDEX) nodes.indexes.push_back(node->os_index);
    }
    const hwloc_topology_membind_support* membind = hwloc_topology_get_support(topology.get())->membind;
    nodes.can_bind = membind->bind_membind && (membind->alloc_membind || membind->set_area_membind);
    return nodes;
}

// The topology generation calls allocate through: the one the process keeps
// loaded (null when it cannot load).
SharedTopology machine_topology() {
    Result<MachineView> machine = cached_machine(available_cpu_count());
    return machine ? machine.value().topology : nullptr;
}

// The calling thread's memory policy as hwloc reports it, e.g. "1:0x1".
std::string thread_binding(hwloc_topology_t topology) {
    BitmapPtr nodeset(hwloc_bitmap_alloc());
    hwloc_membind_policy_t policy = HWLOC_MEMBIND_DEFAULT;
    if (hwloc_get_membind(topology, nodeset.get(), &policy,
                          HWLOC_MEMBIND_THREAD | HWLOC_MEMBIND_BYNODESET) != 0)
        return "unreadable";
    char text[256];
    hwloc_bitmap_snprintf(text, sizeof text, nodeset.get());
    return std::to_string(policy) + ":" + text;
}

}  // namespace

TEST_CASE(node_bound_allocation_on_this_machine) {
    // Where hwloc can bind, the memory of a node-bound buffer is bound to
    // that node; where it cannot, the failure text says so.
    const MachineNodes nodes = machine_nodes();
    CHECK(!nodes.indexes.empty());
    if (nodes.indexes.empty()) return;
    const unsigned node = nodes.indexes.front();
    auto bound = DataBuffer::allocate_on_node(machine_topology(), 1 << 20, node);
    CHECK_EQ(bound.ok(), nodes.can_bind);
    if (!bound) {
        CHECK(bound.error().rfind("Failed to allocate NUMA memory: ", 0) == 0);
        return;
    }
    DataBuffer b = std::move(bound).value();
    CHECK(b.is_node_bound());
    CHECK_EQ(b.length(), std::uint64_t{1} << 20);
    CHECK(all_zero(b));
    b.data()[0] = 1;
    b.data()[(1 << 20) - 1] = 1;

    TopologyLoadFailure failure;
    const TopologyPtr topology = load_topology(failure);
    BitmapPtr where(hwloc_bitmap_alloc());
    hwloc_membind_policy_t policy = HWLOC_MEMBIND_DEFAULT;
    CHECK_EQ(hwloc_get_area_membind(topology.get(), b.data(), b.capacity(), where.get(), &policy,
                                    HWLOC_MEMBIND_BYNODESET), 0);
    CHECK_EQ(policy, HWLOC_MEMBIND_BIND);
    CHECK_EQ(hwloc_bitmap_weight(where.get()), 1);
    CHECK(hwloc_bitmap_isset(where.get(), node));

    b.set_length(1 << 30);  // node-bound: min(capacity, n)
    CHECK_EQ(b.length(), std::uint64_t{1} << 20);
    b.set_length(5);
    CHECK_EQ(b.length(), 5u);
    b.set_length(100);
    CHECK_EQ(b.length(), 100u);

    auto empty = DataBuffer::allocate_on_node(machine_topology(), 0, node);
    CHECK(empty.ok());
    if (empty) CHECK_EQ(empty.value().length(), 0u);
}

TEST_CASE(node_bound_allocation_leaves_the_thread_binding_as_it_was) {
    // 64 TiB cannot be had: both the bound allocation and the fallback that
    // binds the calling thread fail. Neither a failure nor a success leaves
    // the thread bound to the node.
    const MachineNodes nodes = machine_nodes();
    if (nodes.indexes.empty()) return;
    TopologyLoadFailure failure;
    const TopologyPtr topology = load_topology(failure);
    CHECK(topology != nullptr);
    if (!topology) return;
    const std::string before = thread_binding(topology.get());
    const unsigned node = nodes.indexes.front();
    CHECK(!DataBuffer::allocate_on_node(machine_topology(), std::uint64_t{1} << 46, node).ok());
    CHECK_EQ(thread_binding(topology.get()), before);
    auto small = DataBuffer::allocate_on_node(machine_topology(), 1 << 20, node);
    CHECK_EQ(thread_binding(topology.get()), before);
}

TEST_CASE(node_bound_allocation_refuses_a_node_it_may_not_use) {
    const MachineNodes nodes = machine_nodes();
    const unsigned missing_node = nodes.indexes.empty() ? 5 : nodes.indexes.back() + 5;
    for (std::uint64_t node : {std::uint64_t{missing_node}, std::uint64_t{1} << 40}) {
        auto missing = DataBuffer::allocate_on_node(machine_topology(), 4096, node);
        CHECK(!missing.ok());
        if (!missing) {
            CHECK_EQ(missing.error(), "Failed to allocate NUMA memory: NUMA node " +
                                          std::to_string(node) + " is not allowed here");
        }
    }
}

TEST_CASE(node_bound_allocation_on_two_synthetic_nodes) {
    // A synthetic topology is not this machine: hwloc cannot bind through
    // it, and the call says so instead of handing out unbound memory.
    TopologyLoadFailure failure;
    const SharedTopology synthetic = [&] {
        const vorn_test::ScopedEnv env("HWLOC_SYNTHETIC", "pack:2 numa:1 core:2 pu:1");
        return load_topology(failure);
    }();
    CHECK(synthetic != nullptr);
    if (!synthetic) return;
    auto missing = DataBuffer::allocate_on_node(synthetic, 4096, 5);
    CHECK(!missing.ok());
    if (!missing) {
        CHECK_EQ(missing.error(),
                 std::string("Failed to allocate NUMA memory: NUMA node 5 is not allowed here"));
    }
    auto on_one = DataBuffer::allocate_on_node(synthetic, 4096, 1);
    CHECK(!on_one.ok());
    if (!on_one) {
        CHECK_EQ(on_one.error(),
                 std::string("Failed to allocate NUMA memory: hwloc cannot bind memory here"));
    }
}
