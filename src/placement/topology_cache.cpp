// One loaded topology per process, replaced when what it depends on changes.
#include "placement/topology_cache.hpp"

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

#include "common/process_token.hpp"

extern char** environ;

namespace vorn {
namespace {

struct Snapshot {
    SharedTopology topology;
    std::string dependencies;
};

// A process's cache. A child of fork() starts a cache of its own rather
// than use its parent's: a parent thread may have held the mutex, or been
// halfway through replacing the snapshot, at the moment of the fork. The
// parent's cache is kept reachable, never touched, never freed.
struct Cache {
    explicit Cache(std::uint64_t owner_token, Cache* parent) : owner(owner_token), inherited(parent) {}

    const std::uint64_t owner;
    Cache* const inherited;
    std::mutex mutex;
    std::shared_ptr<const Snapshot> current;  // guarded by mutex
    std::atomic<std::uint64_t> loads{0};
};

std::atomic<Cache*> process_cache_slot{nullptr};

Cache& process_cache() {
    const std::uint64_t token = current_process_token();
    Cache* cache = process_cache_slot.load(std::memory_order_acquire);
    while (cache == nullptr || cache->owner != token) {
        auto* fresh = new Cache(token, cache);
        if (process_cache_slot.compare_exchange_strong(cache, fresh, std::memory_order_acq_rel))
            return *fresh;
        delete fresh;  // another thread of this process installed one first
    }
    return *cache;
}

// A small system file's content; empty when it cannot be read.
std::string file_text(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The snapshot matching the current dependencies, loading one if needed.
Result<std::shared_ptr<const Snapshot>> current_snapshot() {
    std::string dependencies = topology_dependencies();
    Cache& cache = process_cache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.current && cache.current->dependencies == dependencies) return cache.current;
    Result<TopologyPtr> loaded = load_machine_topology();
    if (!loaded) return Error{loaded.error()};
    cache.current = std::make_shared<const Snapshot>(
        Snapshot{std::move(loaded).value(), std::move(dependencies)});
    cache.loads.fetch_add(1, std::memory_order_relaxed);
    return cache.current;
}

}  // namespace

std::string topology_dependencies(const char* online_root) {
    std::string text;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "HWLOC_", 6) == 0) {
            text += *entry;
            text += '\n';
        }
    }
    const std::string root(online_root);
    text += file_text(root + "/sys/devices/system/cpu/online");
    text += '\n';
    text += file_text(root + "/sys/devices/system/node/online");
    return text;
}

Result<MachineView> cached_machine(std::uint64_t available_cpus) {
    Result<std::shared_ptr<const Snapshot>> snapshot = current_snapshot();
    if (!snapshot) return Error{snapshot.error()};
    const SharedTopology& topology = snapshot.value()->topology;
    // Generation reads only the node layout; the core count is not needed.
    return MachineView{topology_from_hwloc(topology.get(), 0, available_cpus), topology};
}

std::uint64_t topology_cache_loads() {
    return process_cache().loads.load(std::memory_order_relaxed);
}

}  // namespace vorn
