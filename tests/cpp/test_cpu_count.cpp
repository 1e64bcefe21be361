// CPU counting: control-group quotas from fixture trees and from small trees
// built per case, and the affinity-mask count under a narrowed mask.
#include <sched.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/cpu_count.hpp"
#include "harness.hpp"

namespace {

namespace fs = std::filesystem;

std::optional<std::uint64_t> fixture_limit(const char* tree) {
    const fs::path root = fs::path(VORN_FIXTURES_DIR) / "cgroup" / tree;
    CHECK(fs::exists(root / "proc/self/cgroup"));
    return vorn::cgroup_cpu_limit(root);
}

// A scratch directory that is removed with everything in it.
class ScratchTree {
public:
    ScratchTree() {
        char pattern[] = "/tmp/vorn_cgroup_XXXXXX";
        const char* made = mkdtemp(pattern);
        CHECK(made != nullptr);
        root_ = made ? made : "/nonexistent";
    }
    ~ScratchTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;

    void write(const std::string& relative, const std::string& text) const {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

const char* const V2_MOUNT = "25 21 0:23 / /sys/fs/cgroup rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
const char* const V1_MOUNT =
    "36 30 0:32 / /sys/fs/cgroup/cpu rw,relatime shared:16 - cgroup cgroup rw,cpu\n";

std::optional<std::uint64_t> v2_limit_of(const std::string& cpu_max) {
    ScratchTree tree;
    tree.write("proc/self/cgroup", "0::/app\n");
    tree.write("proc/self/mountinfo", V2_MOUNT);
    tree.write("sys/fs/cgroup/app/cpu.max", cpu_max);
    return vorn::cgroup_cpu_limit(tree.root());
}

std::optional<std::uint64_t> v1_limit_of(const char* quota, const char* period) {
    ScratchTree tree;
    tree.write("proc/self/cgroup", "5:cpu:/app\n");
    tree.write("proc/self/mountinfo", V1_MOUNT);
    tree.write("sys/fs/cgroup/cpu/app/cpu.cfs_quota_us", quota);
    if (period) tree.write("sys/fs/cgroup/cpu/app/cpu.cfs_period_us", period);
    return vorn::cgroup_cpu_limit(tree.root());
}

std::vector<int> allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CHECK(sched_getaffinity(0, sizeof set, &set) == 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}

}  // namespace

TEST_CASE(cgroup_fixture_trees) {
    using Limit = std::optional<std::uint64_t>;
    // 150000/100000 rounds up to 2; the parent slice has no quota.
    CHECK(fixture_limit("v2_quota") == Limit(2));
    CHECK(fixture_limit("v2_no_quota") == std::nullopt);
    // The slice two levels up (2.5 CPUs) binds tighter than the scope (4).
    CHECK(fixture_limit("v2_parent_quota") == Limit(3));
    // Path resolved against the mount's root: the mount point itself (2
    // CPUs), not the decoy that repeats the full path (1 CPU).
    CHECK(fixture_limit("v2_container") == Limit(2));
    // The nested path is absent under the mount; the mount point's quota holds.
    CHECK(fixture_limit("v2_missing_nested") == Limit(1));
    // v1 on a hybrid host: the cpu,cpuacct hierarchy gives 2.5 -> 3; the
    // cpuset hierarchy's quota-looking files are not the cpu controller's.
    CHECK(fixture_limit("v1_quota") == Limit(3));
    CHECK(fixture_limit("v1_no_quota") == std::nullopt);
}

TEST_CASE(cgroup_quota_values) {
    using Limit = std::optional<std::uint64_t>;
    CHECK(v2_limit_of("max 100000\n") == std::nullopt);
    CHECK(v2_limit_of("100000 100000\n") == Limit(1));
    CHECK(v2_limit_of("100001 100000\n") == Limit(2));
    CHECK(v2_limit_of("1000 100000\n") == Limit(1));
    CHECK(v2_limit_of("1600000 100000") == Limit(16));
    // Nothing an administrator could mean reads as a quota.
    CHECK(v2_limit_of("0 100000\n") == std::nullopt);
    CHECK(v2_limit_of("-5 100000\n") == std::nullopt);
    CHECK(v2_limit_of("150000 0\n") == std::nullopt);
    CHECK(v2_limit_of("150000\n") == std::nullopt);
    CHECK(v2_limit_of("15x000 100000\n") == std::nullopt);
    CHECK(v2_limit_of("150000 100000 7\n") == std::nullopt);
    CHECK(v2_limit_of("") == std::nullopt);

    CHECK(v1_limit_of("250000\n", "100000\n") == Limit(3));
    CHECK(v1_limit_of("50000\n", "100000\n") == Limit(1));
    CHECK(v1_limit_of("-1\n", "100000\n") == std::nullopt);
    CHECK(v1_limit_of("0\n", "100000\n") == std::nullopt);
    CHECK(v1_limit_of("250000\n", "0\n") == std::nullopt);
    CHECK(v1_limit_of("lots\n", "100000\n") == std::nullopt);
    CHECK(v1_limit_of("250000\n", nullptr) == std::nullopt);
}

TEST_CASE(cgroup_paths_and_mount_table) {
    using Limit = std::optional<std::uint64_t>;
    {
        // Nothing to read at all.
        ScratchTree tree;
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == std::nullopt);
    }
    {
        // A cgroup file but no cgroup mount.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "0::/app\n");
        tree.write("proc/self/mountinfo", "26 1 259:2 / / rw - ext4 /dev/sda1 rw\n");
        tree.write("sys/fs/cgroup/app/cpu.max", "100000 100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == std::nullopt);
    }
    {
        // Mount points are unescaped (\040 is a blank) and optional fields skipped.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "0::/app\n");
        tree.write("proc/self/mountinfo",
                   "25 21 0:23 / /run/my\\040cgroups rw shared:9 master:3 - cgroup2 none rw\n");
        tree.write("run/my cgroups/app/cpu.max", "300000 100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == Limit(3));
    }
    {
        // A path that climbs out of the mount is not followed; the mount point is.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "0::/../../escape\n");
        tree.write("proc/self/mountinfo", V2_MOUNT);
        tree.write("sys/fs/cgroup/cpu.max", "300000 100000\n");
        tree.write("sys/escape/cpu.max", "100000 100000\n");
        tree.write("escape/cpu.max", "100000 100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == Limit(3));
    }
    {
        // A process path outside the mount's root (another namespace's view):
        // only the mount point is consulted.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "0::/elsewhere/job\n");
        tree.write("proc/self/mountinfo",
                   "660 651 0:53 /docker/3f2a /sys/fs/cgroup ro - cgroup2 cgroup rw\n");
        tree.write("sys/fs/cgroup/cpu.max", "400000 100000\n");
        tree.write("sys/fs/cgroup/elsewhere/job/cpu.max", "100000 100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == Limit(4));
    }
    {
        // A mount root that is only a name prefix of the path does not contain it.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "0::/docker/3f2a-other\n");
        tree.write("proc/self/mountinfo",
                   "660 651 0:53 /docker/3f2a /sys/fs/cgroup ro - cgroup2 cgroup rw\n");
        tree.write("sys/fs/cgroup/cpu.max", "400000 100000\n");
        tree.write("sys/fs/cgroup/-other/cpu.max", "100000 100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == Limit(4));
    }
    {
        // The v1 cpu controller may share its hierarchy under any name order.
        ScratchTree tree;
        tree.write("proc/self/cgroup", "7:cpuacct,cpu:/app\n");
        tree.write("proc/self/mountinfo",
                   "36 30 0:32 / /sys/fs/cgroup/cpuacct,cpu rw - cgroup cgroup rw,cpuacct,cpu\n");
        tree.write("sys/fs/cgroup/cpuacct,cpu/app/cpu.cfs_quota_us", "50000\n");
        tree.write("sys/fs/cgroup/cpuacct,cpu/app/cpu.cfs_period_us", "100000\n");
        CHECK(vorn::cgroup_cpu_limit(tree.root()) == Limit(1));
    }
}

TEST_CASE(cpu_counts_follow_the_affinity_mask) {
    const std::vector<int> allowed = allowed_cpus();
    CHECK(!allowed.empty());
    CHECK_EQ(vorn::affinity_cpu_count(), allowed.size());

    const std::uint64_t available = vorn::available_cpu_count();
    const auto limit = vorn::cgroup_cpu_limit("/");
    CHECK(available >= 1);
    CHECK_EQ(available, limit && *limit < allowed.size() ? *limit : allowed.size());

    // Narrowed to one CPU, a thread sees one CPU on every call: the affinity
    // part is read afresh, not kept from the first call.
    std::uint64_t narrowed_affinity = 0;
    std::uint64_t narrowed_available = 0;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(allowed.back(), &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) return;
        narrowed_affinity = vorn::affinity_cpu_count();
        narrowed_available = vorn::available_cpu_count();
    }).join();
    CHECK_EQ(narrowed_affinity, 1u);
    CHECK_EQ(narrowed_available, 1u);
    // The calling thread's own mask is untouched by the other thread's.
    CHECK_EQ(vorn::affinity_cpu_count(), allowed.size());
}
