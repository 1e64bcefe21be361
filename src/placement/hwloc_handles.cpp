// Releasing hwloc resources, loading a topology with default settings, and
// the text of hwloc failures.
#include "placement/hwloc_handles.hpp"

#include <hwloc.h>

#include <cerrno>

namespace vorn {

void TopologyDeleter::operator()(hwloc_topology* topology) const noexcept {
    hwloc_topology_destroy(topology);
}

void BitmapDeleter::operator()(hwloc_bitmap_s* bitmap) const noexcept { hwloc_bitmap_free(bitmap); }

TopologyPtr load_topology(TopologyLoadFailure& failure) {
    hwloc_topology_t raw = nullptr;
    if (hwloc_topology_init(&raw) != 0) {
        failure = {true, errno};
        return nullptr;
    }
    TopologyPtr topology(raw);
    if (hwloc_topology_load(raw) != 0) {
        failure = {false, errno};
        return nullptr;
    }
    return topology;
}

std::string hwloc_failure_text(const char* call, int error_number) {
    return std::string(call) + " failed with errno " + std::to_string(error_number);
}

}  // namespace vorn
