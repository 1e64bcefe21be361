// Owning handles for hwloc resources, and the one way the engine loads a
// topology. hwloc's own structs are only declared here: <hwloc.h> stays in
// the files that call hwloc, out of every header the binding layer reads.
#pragma once

#include <memory>
#include <string>

struct hwloc_topology;
struct hwloc_bitmap_s;
struct hwloc_obj;

namespace vorn {

struct TopologyDeleter {
    void operator()(hwloc_topology* topology) const noexcept;
};
using TopologyPtr = std::unique_ptr<hwloc_topology, TopologyDeleter>;

// A loaded topology with several owners: the process's cache and the
// node-bound buffers whose memory it allocated and must free.
using SharedTopology = std::shared_ptr<hwloc_topology>;

struct BitmapDeleter {
    void operator()(hwloc_bitmap_s* bitmap) const noexcept;
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
