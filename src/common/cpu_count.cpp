// How many CPUs the process may use: the control-group CPU quota (cgroup v2
// cpu.max or v1 cpu.cfs_quota_us), capped by the thread's affinity mask.
#include "common/cpu_count.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <fstream>
#include <sched.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "common/publish_once.hpp"
#include "common/text.hpp"

namespace vorn {
namespace {

namespace fs = std::filesystem;

static_assert(sizeof(cpu_set_t) == 128, "affinity masks are 1024 CPUs wide");

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool contains_token(std::string_view list, std::string_view token) {
    const auto tokens = split(list, ',');
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(std::move(line));
    return lines;
}

std::optional<std::string> read_first_line(const fs::path& path) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line)) return std::nullopt;
    return line;
}

// Whole CPUs a quota allows, rounded up. A zero or nonsensical quota or
// period is read as no quota: it cannot be what an administrator meant.
std::optional<std::uint64_t> whole_cpus(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const auto q = static_cast<std::uint64_t>(quota);
    const auto p = static_cast<std::uint64_t>(period);
    return q / p + (q % p != 0 ? 1 : 0);
}

// cgroup v2: "max <period>" or "<quota> <period>".
std::optional<std::uint64_t> v2_limit_at(const fs::path& dir) {
    const auto line = read_first_line(dir / "cpu.max");
    if (!line) return std::nullopt;
    const auto fields = split(trim(*line), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const auto quota = parse_decimal<std::int64_t>(fields[0]);
    const auto period = parse_decimal<std::int64_t>(fields[1]);
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

// cgroup v1: cpu.cfs_quota_us (-1 = none) over cpu.cfs_period_us.
std::optional<std::uint64_t> v1_limit_at(const fs::path& dir) {
    const auto quota_text = read_first_line(dir / "cpu.cfs_quota_us");
    const auto period_text = read_first_line(dir / "cpu.cfs_period_us");
    if (!quota_text || !period_text) return std::nullopt;
    const auto quota = parse_decimal<std::int64_t>(trim(*quota_text));
    const auto period = parse_decimal<std::int64_t>(trim(*period_text));
    if (!quota || !period) return std::nullopt;
    return whole_cpus(*quota, *period);
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mount_path(std::string_view text) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] <= '3' && octal(text[i + 1]) &&
            octal(text[i + 2]) && octal(text[i + 3])) {
            out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                            (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the mounted directory's path within the hierarchy
    std::string mount_point;  // where it is mounted, relative to the file-system root
};

enum class Hierarchy { V1Cpu, V2 };

// Mounts of the wanted hierarchy, in mountinfo order.
std::vector<CgroupMount> find_mounts(const std::vector<std::string>& mountinfo, Hierarchy wanted) {
    std::vector<CgroupMount> mounts;
    for (const std::string& line : mountinfo) {
        const auto fields = split(line, ' ');
        // id parent major:minor root mount-point options [optional...] - type source super-options
        if (fields.size() < 10) continue;
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 3 >= fields.size()) continue;
        const std::string_view type = fields[dash + 1];
        const bool match =
            wanted == Hierarchy::V2
                ? type == "cgroup2"
                : type == "cgroup" && contains_token(fields[dash + 3], "cpu");
        if (match) mounts.push_back({unescape_mount_path(fields[3]), unescape_mount_path(fields[4])});
    }
    return mounts;
}

// The process's path in the wanted hierarchy, from /proc/self/cgroup lines
// "<id>:<controllers>:<path>".
std::optional<std::string> process_cgroup_path(const std::vector<std::string>& cgroup, Hierarchy wanted) {
    for (const std::string& line : cgroup) {
        const std::string_view text(line);
        const std::size_t first = text.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = text.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = text.substr(0, first);
        const std::string_view controllers = text.substr(first + 1, second - first - 1);
        const std::string_view path = text.substr(second + 1);
        const bool match = wanted == Hierarchy::V2 ? id == "0" && controllers.empty()
                                                   : contains_token(controllers, "cpu");
        if (match) return std::string(path);
    }
    return std::nullopt;
}

// The components of `path` below `mount_root`, or nothing when `path` is not
// inside it (a namespace that the mount table does not match) or climbs with
// "..": then only the mount point itself can be trusted.
std::optional<std::vector<std::string>> components_below(std::string_view path,
                                                         std::string_view mount_root) {
    while (mount_root.size() > 1 && mount_root.back() == '/') mount_root.remove_suffix(1);
    if (mount_root != "/") {
        if (path.substr(0, mount_root.size()) != mount_root) return std::nullopt;
        path.remove_prefix(mount_root.size());
        if (!path.empty() && path.front() != '/') return std::nullopt;
    }
    std::vector<std::string> components;
    for (std::string_view part : split(path, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        components.emplace_back(part);
    }
    return components;
}

// The tightest quota from the process's cgroup up to the mounted root: a
// parent's quota bounds all its children. Directories missing on the way
// (a cgroup path from another namespace) simply contribute nothing, so the
// mount point itself is always consulted.
std::optional<std::uint64_t> hierarchy_limit(const fs::path& root,
                                             const std::vector<std::string>& cgroup,
                                             const std::vector<std::string>& mountinfo,
                                             Hierarchy wanted) {
    const auto path = process_cgroup_path(cgroup, wanted);
    if (!path) return std::nullopt;
    const auto mounts = find_mounts(mountinfo, wanted);
    if (mounts.empty()) return std::nullopt;

    const CgroupMount* mount = &mounts.front();
    std::vector<std::string> below;
    for (const CgroupMount& candidate : mounts) {
        if (auto components = components_below(*path, candidate.root)) {
            mount = &candidate;
            below = std::move(*components);
            break;
        }
    }

    const fs::path mount_dir = root / fs::path(mount->mount_point).relative_path();
    std::optional<std::uint64_t> tightest;
    for (std::size_t depth = below.size() + 1; depth-- > 0;) {
        fs::path dir = mount_dir;
        for (std::size_t i = 0; i < depth; ++i) dir /= below[i];
        const auto limit = wanted == Hierarchy::V2 ? v2_limit_at(dir) : v1_limit_at(dir);
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
    }
    return tightest;
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_limit(const fs::path& root) {
    const auto cgroup = read_lines(root / "proc/self/cgroup");
    if (cgroup.empty()) return std::nullopt;
    const auto mountinfo = read_lines(root / "proc/self/mountinfo");
    // The cpu controller sits in one hierarchy only; on hybrid systems the v2
    // mount exists without it and simply yields nothing.
    const auto v2 = hierarchy_limit(root, cgroup, mountinfo, Hierarchy::V2);
    const auto v1 = hierarchy_limit(root, cgroup, mountinfo, Hierarchy::V1Cpu);
    if (v1 && v2) return std::min(*v1, *v2);
    return v2 ? v2 : v1;
}

std::uint64_t affinity_cpu_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::uint64_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::uint64_t>(online) : 1;
}

std::uint64_t available_cpu_count() {
    // The quota rarely changes and costs several file reads: once per
    // process, published rather than kept in a function-local static, whose
    // guard a child forked during those reads would wait on.
    static std::atomic<const std::optional<std::uint64_t>*> published{nullptr};
    const std::optional<std::uint64_t>& cgroup_limit =
        publish_once(published, [] { return cgroup_cpu_limit("/"); });
    const std::uint64_t affinity = affinity_cpu_count();
    return cgroup_limit ? std::min(*cgroup_limit, affinity) : affinity;
}

}  // namespace vorn
