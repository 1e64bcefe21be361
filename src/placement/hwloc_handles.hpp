// Owning handles for hwloc resources, and the one way the engine loads a
// topology.
#pragma once

#include <hwloc.h>

#include <memory>
#include <string>

namespace vorn {

struct TopologyDeleter {
    void operator()(hwloc_topology_t topology) const noexcept { hwloc_topology_destroy(topology); }
};
using TopologyPtr = std::unique_ptr<hwloc_topology, TopologyDeleter>;

struct BitmapDeleter {
    void operator()(hwloc_bitmap_t bitmap) const noexcept { hwloc_bitmap_free(bitmap); }
};
using BitmapPtr = std::unique_ptr<hwloc_bitmap_s, BitmapDeleter>;

struct TopologyLoadFailure {
    bool init_failed = false;  // hwloc_topology_init itself failed
    int error_number = 0;      // errno left by the failing call
};

// Initialises and loads a topology with default settings. On failure the
// handle is null, *failure says which call failed, and nothing is left behind.
TopologyPtr load_topology(TopologyLoadFailure& failure);

// "<call> failed with errno <n>", the shape of every hwloc failure text.
std::string hwloc_failure_text(const char* call, int error_number);

}  // namespace vorn
