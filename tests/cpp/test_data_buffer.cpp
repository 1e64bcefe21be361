// Ordinary and node-bound buffers: zero-filled, visible length rules, the
// failure texts of node-bound allocation, and moves that keep one owner.
#include <cstdlib>
#include <string>
#include <utility>

#include "generator/data_buffer.hpp"
#include "harness.hpp"

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

TEST_CASE(node_bound_allocation_on_this_machine) {
    // This machine's node 0 exists; binding may or may not be allowed, but a
    // success must be a usable, node-bound, zero-capacity-correct buffer.
    auto bound = DataBuffer::allocate_on_node(1 << 20, 0);
    if (bound) {
        DataBuffer b = std::move(bound).value();
        CHECK(b.is_node_bound());
        CHECK_EQ(b.length(), std::uint64_t{1} << 20);
        b.data()[0] = 1;
        b.data()[(1 << 20) - 1] = 1;
        b.set_length(1 << 30);  // node-bound: min(capacity, n)
        CHECK_EQ(b.length(), std::uint64_t{1} << 20);
        b.set_length(5);
        CHECK_EQ(b.length(), 5u);
        b.set_length(100);
        CHECK_EQ(b.length(), 100u);
    } else {
        CHECK(bound.error().rfind("Failed to allocate NUMA memory: ", 0) == 0);
    }
    auto empty = DataBuffer::allocate_on_node(0, 0);
    if (empty) CHECK_EQ(empty.value().length(), 0u);
}

TEST_CASE(node_bound_allocation_of_unknown_node_names_the_known_ones) {
    auto missing = DataBuffer::allocate_on_node(4096, 5);
    CHECK(!missing.ok());
    CHECK_EQ(missing.error(), std::string("NUMA node 5 not found (available: [0])"));
}

TEST_CASE(node_bound_allocation_on_two_synthetic_nodes) {
    // hwloc reads a synthetic topology from its own variable; binding then
    // fails, which is the fallback this exercises.
    setenv("HWLOC_SYNTHETIC", "pack:2 numa:1 core:2 pu:1", 1);
    auto missing = DataBuffer::allocate_on_node(4096, 5);
    CHECK(!missing.ok());
    CHECK_EQ(missing.error(), std::string("NUMA node 5 not found (available: [0, 1])"));
    auto on_one = DataBuffer::allocate_on_node(4096, 1);
    if (!on_one) CHECK(on_one.error().rfind("Failed to allocate NUMA memory: ", 0) == 0);
    unsetenv("HWLOC_SYNTHETIC");
}
