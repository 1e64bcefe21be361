// available_cpu_count: how many CPUs this process may use (control-group
// quota, else affinity mask, else online CPUs).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vorn {

// The default worker count everywhere. The control-group part is worked out
// once per process and kept; the affinity part is read on every call.
std::uint64_t available_cpu_count();

// The control-group CPU quota, rounded up to whole CPUs, or nothing when no
// quota is set or it cannot be read. `root` stands in for "/" when locating
// /proc/self/cgroup, /proc/self/mountinfo and the mount points they name, so
// that tests can hand it a fixture tree.
std::optional<std::uint64_t> cgroup_cpu_limit(const std::filesystem::path& root);

// CPUs in the calling thread's affinity mask, else the online CPUs; at least 1.
std::uint64_t affinity_cpu_count();

}  // namespace vorn
