// One-shot generation: sizes and lengths, each block made from its unique
// index, the dedup layout, bytes that do not depend on placement or thread
// count, and the placement decision for every kind of request.
#include <hwloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/cpu_count.hpp"
#include "common/engine_abort.hpp"
#include "drivers/one_shot.hpp"
#include "drivers/streaming.hpp"
#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/plan.hpp"
#include "harness.hpp"
#include "placement/hwloc_handles.hpp"
#include "placement/placement.hpp"
#include "placement/topology_cache.hpp"
#include "reference_synthesis.hpp"
#include "scoped_env.hpp"

using namespace vorn;

namespace {

GeneratorConfig config_of(std::uint64_t size, std::uint64_t dedup, std::uint64_t compress,
                          std::optional<std::uint64_t> threads = std::nullopt,
                          NumaMode mode = NumaMode::Auto) {
    GeneratorConfig c;
    c.size = size;
    c.dedup_factor = dedup;
    c.compress_factor = compress;
    c.max_threads = threads;
    c.numa_mode = mode;
    return c;
}

bool same_block(const std::uint8_t* a, const std::uint8_t* b) {
    return std::memcmp(a, b, BLOCK_SIZE) == 0;
}

}  // namespace

TEST_CASE(one_shot_lengths_and_capacity) {
    for (std::uint64_t size : {0ULL, 1ULL, 4194304ULL}) {
        DataBuffer b = generate_data(config_of(size, 1, 1, 2));
        CHECK_EQ(b.length(), BLOCK_SIZE);
        CHECK_EQ(b.capacity(), BLOCK_SIZE);
    }
    DataBuffer two = generate_data(config_of(4194305, 1, 1, 2));
    CHECK_EQ(two.length(), 4194305u);
    CHECK_EQ(two.capacity(), 2 * BLOCK_SIZE);
    DataBuffer exact = generate_data(config_of(3 * BLOCK_SIZE, 1, 1, 2));
    CHECK_EQ(exact.length(), 3 * BLOCK_SIZE);
    CHECK_EQ(exact.capacity(), 3 * BLOCK_SIZE);
}

TEST_CASE(one_shot_blocks_repeat_their_unique_blocks) {
    const std::uint64_t entropy = 0x1234;
    DataBuffer b = generate_data(config_of(5 * BLOCK_SIZE, 2, 3, 2), entropy);
    const GenerationPlan plan = plan_generation(5 * BLOCK_SIZE, 2, 3);
    CHECK_EQ(plan.unique_blocks, 3u);
    std::vector<std::uint8_t> expected(BLOCK_SIZE);
    for (std::uint64_t k = 0; k < 5; ++k) {
        const std::uint64_t u = k % 3;
        fill_block(expected.data(), BLOCK_SIZE, u, plan.copy_target(u), entropy);
        CHECK(same_block(b.data() + k * BLOCK_SIZE, expected.data()));
    }
    CHECK(same_block(b.data(), b.data() + 3 * BLOCK_SIZE));
    CHECK(!same_block(b.data(), b.data() + BLOCK_SIZE));
}

TEST_CASE(one_shot_repeats_are_copies_equal_to_regenerated_blocks) {
    // Repeats are copied from their first occurrence once it is made,
    // including a partial last block; every block must equal its unique
    // block synthesized on its own by the plain reference.
    const std::uint64_t entropy = 0xD0D0;
    for (std::uint64_t size : {9 * BLOCK_SIZE + 5000, 12 * BLOCK_SIZE}) {
        for (std::uint64_t dedup : {1, 3, 5, 100}) {
            for (std::uint64_t compress : {1, 4}) {
                const std::vector<std::uint8_t> expected =
                    vorn_test::reference_stream(size, dedup, compress, entropy);
                for (std::uint64_t threads : {1, 3}) {
                    DataBuffer b = generate_data(config_of(size, dedup, compress, threads), entropy);
                    CHECK(std::memcmp(b.data(), expected.data(), size) == 0);
                    std::vector<std::uint8_t> into(size);
                    generate_into(config_of(size, dedup, compress, threads), into.data(), entropy);
                    CHECK(std::memcmp(into.data(), expected.data(), size) == 0);
                }
            }
        }
    }
}

TEST_CASE(one_shot_bytes_do_not_depend_on_threads_mode_or_placement) {
    const std::uint64_t entropy = 987654321;
    const std::uint64_t size = 6 * BLOCK_SIZE + 777;
    DataBuffer reference = generate_data(config_of(size, 1, 2, 1, NumaMode::Disabled), entropy);
    for (std::uint64_t threads : {0, 2, 3, 16}) {
        for (NumaMode mode : {NumaMode::Auto, NumaMode::Force, NumaMode::Disabled}) {
            DataBuffer b = generate_data(config_of(size, 1, 2, threads, mode), entropy);
            CHECK(std::memcmp(b.data(), reference.data(), size) == 0);
        }
    }
    // Two synthetic nodes take the pinned path with a first-touch pass; the
    // node-bound allocation fails there and falls back to ordinary memory.
    const vorn_test::ScopedEnv synthetic("HWLOC_SYNTHETIC", "pack:2 numa:1 core:2 pu:1");
    for (std::optional<std::uint64_t> node : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1},
                                              std::optional<std::uint64_t>{9}}) {
        GeneratorConfig c = config_of(size, 1, 2, std::nullopt, NumaMode::Force);
        c.numa_node = node;
        DataBuffer b = generate_data(c, entropy);
        CHECK_EQ(b.length(), size);
        CHECK(std::memcmp(b.data(), reference.data(), size) == 0);
    }
}

TEST_CASE(generate_into_writes_exactly_the_callers_range) {
    const std::uint64_t entropy = 55;
    for (std::uint64_t size : {std::uint64_t{0}, std::uint64_t{10}, BLOCK_SIZE - 1, BLOCK_SIZE,
                               2 * BLOCK_SIZE + 12345}) {
        DataBuffer reference = generate_data(config_of(size, 1, 3, 2), entropy);
        std::vector<std::uint8_t> out(size + 64, 0xEE);
        generate_into(config_of(size, 1, 3, 2), out.data(), entropy);
        CHECK(size == 0 || std::memcmp(out.data(), reference.data(), size) == 0);
        for (std::uint64_t i = size; i < size + 64; ++i) CHECK_EQ(int(out[i]), 0xEE);
    }
}

TEST_CASE(generate_into_nothing_looks_at_no_topology) {
    // A forked child has a topology cache of its own, still empty: writing
    // zero bytes leaves it so, while writing one byte loads it.
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        alarm(60);
        std::uint8_t byte = 0xEE;
        generate_into(config_of(0, 1, 1, 2, NumaMode::Force), &byte, 1);
        const bool nothing = byte == 0xEE && topology_cache_loads() == 0;
        generate_into(config_of(1, 1, 1, 2, NumaMode::Force), &byte, 1);
        _exit(nothing && topology_cache_loads() == 1 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}

TEST_CASE(without_room_for_threads_the_caller_makes_the_same_bytes) {
    // In a child that may start no further process or thread, no pool has a
    // worker: every path runs on the calling thread and yields the bytes a
    // normal run yields.
    const std::uint64_t entropy = 4242;
    const std::uint64_t size = 5 * BLOCK_SIZE + 99;
    const GeneratorConfig plain = config_of(size, 2, 3, 4, NumaMode::Disabled);
    DataBuffer reference = generate_data(plain, entropy);
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        alarm(60);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(11);
        const auto same = [&](const std::uint8_t* bytes) {
            return std::memcmp(bytes, reference.data(), size) == 0;
        };
        if (!same(generate_data(plain, entropy).data())) _exit(12);
        std::vector<std::uint8_t> into(size);
        generate_into(plain, into.data(), entropy);
        if (!same(into.data())) _exit(13);
        DataGenerator stream(size, 2, 3, 4, entropy);
        if (stream.worker_count() != 0) _exit(14);
        std::vector<std::uint8_t> streamed(size);
        if (stream.fill_chunk(streamed.data(), size) != size || !same(streamed.data())) _exit(15);
        // Two synthetic nodes: the pinned pool and its first-touch pass.
        setenv("HWLOC_SYNTHETIC", "pack:2 numa:1 core:2 pu:1", 1);
        if (!same(generate_data(config_of(size, 2, 3, 4, NumaMode::Force), entropy).data())) _exit(16);
        _exit(0);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
}

TEST_CASE(capacity_beyond_the_signed_range_aborts) {
    bool aborted = false;
    try {
        generate_data(config_of(std::uint64_t{1} << 63, 1, 1, 1));
    } catch (const EngineAbort& e) {
        aborted = std::string(e.what()) == "capacity overflow";
    }
    CHECK(aborted);
    // The largest capacity that fits is refused by the allocator instead.
    bool out_of_memory = false;
    try {
        generate_data(config_of((std::uint64_t{1} << 63) - BLOCK_SIZE, 1, 1, 1));
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    CHECK(out_of_memory);
}

namespace {

NumaTopology topology_with(std::vector<NumaNode> nodes, std::uint64_t num_nodes) {
    NumaTopology t;
    t.nodes = std::move(nodes);
    t.num_nodes = num_nodes;
    t.is_uma = num_nodes < 2;
    return t;
}

NumaNode node(std::uint64_t id, std::uint64_t first_cpu, std::uint64_t count) {
    NumaNode n;
    n.node_id = id;
    for (std::uint64_t c = 0; c < count; ++c) n.cpus.push_back(first_cpu + c);
    return n;
}

}  // namespace

TEST_CASE(placement_for_every_kind_of_request) {
    // Enough blocks that the block count never bounds the workers here.
    const std::uint64_t m = available_cpu_count();
    const std::uint64_t blocks = 4096;
    const auto one = topology_with({node(0, 0, 8)}, 1);
    const auto two = topology_with({node(0, 0, 8), node(1, 8, 8)}, 2);

    auto placed = [&](std::optional<std::uint64_t> max_threads,
                      std::optional<std::uint64_t> numa_node, const NumaTopology* layout,
                      NumaMode mode = NumaMode::Auto) {
        GeneratorConfig c = config_of(1, 1, 1, max_threads, mode);
        c.numa_node = numa_node;
        return decide_placement(c, layout, blocks, m);
    };
    const auto pinned = [](const Placement& p) { return p.worker_cpus != nullptr; };

    // Disabled or failed detection: no layout, m workers, nobody pinned.
    for (auto n : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0}}) {
        Placement p = placed(std::nullopt, n, nullptr);
        CHECK_EQ(p.workers, m);
        CHECK(!pinned(p));
        CHECK(!p.node);
        CHECK_EQ(placed(6, n, nullptr).workers, 6u);
    }
    // One node: nobody pinned; a named node in the list gives its CPU count
    // and holds the output.
    CHECK(!pinned(placed(std::nullopt, std::nullopt, &one)));
    CHECK_EQ(placed(std::nullopt, std::nullopt, &one).workers, m);
    CHECK_EQ(placed(std::nullopt, 0, &one).workers, 8u);
    CHECK(placed(std::nullopt, 0, &one).node == std::optional<std::uint64_t>{0});
    CHECK_EQ(placed(3, 0, &one).workers, 3u);
    CHECK_EQ(placed(20, 0, &one).workers, 8u);
    CHECK_EQ(placed(std::nullopt, 4, &one).workers, m);  // not in nodes
    CHECK(!placed(std::nullopt, 4, &one).node);
    CHECK(!pinned(placed(std::nullopt, 4, &one)));
    // Two or more nodes: pinned, for no node or a listed one.
    for (auto n : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1}})
        CHECK(pinned(placed(std::nullopt, n, &two)));
    CHECK_EQ(placed(std::nullopt, std::nullopt, &two).workers, m);
    CHECK_EQ(placed(std::nullopt, 1, &two).workers, 8u);
    CHECK_EQ(placed(5, 1, &two).workers, 5u);
    // A node that is not listed neither holds the output nor pins anyone.
    CHECK_EQ(placed(5, 7, &two).workers, 5u);
    CHECK(!placed(5, 7, &two).node);
    CHECK(!pinned(placed(5, 7, &two)));
    // A memory-only node asked for by number holds the output, but has no
    // CPUs: one worker per available CPU, nobody pinned.
    const auto with_memory_only = topology_with({node(0, 0, 4), node(1, 0, 0)}, 2);
    const Placement memory_only = placed(std::nullopt, 1, &with_memory_only);
    CHECK_EQ(memory_only.workers, m);
    CHECK(!pinned(memory_only));
    CHECK(memory_only.node == std::optional<std::uint64_t>{1});
    // max_threads 0: one worker per available CPU, nobody pinned.
    CHECK_EQ(placed(0, std::nullopt, &two).workers, m);
    CHECK(!pinned(placed(0, std::nullopt, &two)));
    // Disabled with a layout (looked at for a node asked to hold the
    // output): the node holds it, the work goes as on one node.
    const Placement disabled = placed(std::nullopt, 1, &two, NumaMode::Disabled);
    CHECK(disabled.node == std::optional<std::uint64_t>{1});
    CHECK_EQ(disabled.workers, m);
    CHECK(!pinned(disabled));
    CHECK(!pinned(placed(4, std::nullopt, &two, NumaMode::Disabled)));
}

TEST_CASE(placement_starts_workers_for_the_blocks_and_tables_their_cpus) {
    const std::uint64_t m = available_cpu_count();
    const auto two = topology_with({node(0, 0, 8), node(1, 8, 8)}, 2);
    auto placed = [&](std::optional<std::uint64_t> max_threads, std::uint64_t blocks,
                      const NumaTopology* layout) {
        GeneratorConfig c = config_of(1, 1, 1, max_threads);
        return decide_placement(c, layout, blocks, m);
    };
    // One worker per block at most, at least one, never more than MAX_WORKERS.
    CHECK_EQ(placed(8, 3, nullptr).workers, 3u);
    CHECK_EQ(placed(2, 100, nullptr).workers, 2u);
    CHECK_EQ(placed(8, 0, nullptr).workers, 1u);
    CHECK_EQ(placed(0, 100, nullptr).workers, std::min<std::uint64_t>(m, 100));
    CHECK_EQ(placed(100000, std::uint64_t{1} << 30, nullptr).workers, MAX_WORKERS);
    CHECK_EQ(placed(5, 9, nullptr).blocks, 9u);
    // Without a layout: no table. Two nodes: one CPU per started worker,
    // spread over the nodes; none for the pool's default size.
    CHECK(placed(4, 10, nullptr).worker_cpus == nullptr);
    const Placement pinned = placed(4, 10, &two);
    CHECK(pinned.worker_cpus != nullptr);
    if (pinned.worker_cpus) {
        CHECK_EQ(pinned.worker_cpus->size(), 4u);
        CHECK(*pinned.worker_cpus == WorkerCpus({0, 8, 4, 12}));
    }
    const Placement fewer_blocks = placed(4, 2, &two);
    CHECK(fewer_blocks.worker_cpus && fewer_blocks.worker_cpus->size() == 2u);
    CHECK(placed(0, 10, &two).worker_cpus == nullptr);
    // A named node's workers take its CPUs in order.
    GeneratorConfig c = config_of(1, 1, 1, 3);
    c.numa_node = 1;
    const Placement on_node = decide_placement(c, &two, 10, m);
    CHECK(on_node.worker_cpus && *on_node.worker_cpus == WorkerCpus({8, 9, 10}));
    // A node listed twice: the first listing counts.
    const auto twice = topology_with({node(0, 0, 8), node(1, 8, 8), node(1, 20, 2)}, 3);
    const Placement first_listing = decide_placement(c, &twice, 10, m);
    CHECK(first_listing.worker_cpus && *first_listing.worker_cpus == WorkerCpus({8, 9, 10}));
}

namespace {

// Whether [p, p + len) is bound to node 0 alone.
bool bound_to_node_zero(hwloc_topology_t topology, const void* p, std::size_t len) {
    BitmapPtr where(hwloc_bitmap_alloc());
    hwloc_membind_policy_t policy = HWLOC_MEMBIND_DEFAULT;
    if (hwloc_get_area_membind(topology, p, len, where.get(), &policy,
                               HWLOC_MEMBIND_BYNODESET) != 0)
        return false;
    return policy == HWLOC_MEMBIND_BIND && hwloc_bitmap_weight(where.get()) == 1 &&
           hwloc_bitmap_isset(where.get(), 0);
}

// Whether hwloc, asked directly, binds memory to this machine's node 0:
// fresh memory allocated bound to it reports exactly that binding.
bool node_zero_takes_bound_memory() {
    TopologyLoadFailure failure;
    const TopologyPtr topology = load_topology(failure);
    if (!topology) return false;
    BitmapPtr node_zero(hwloc_bitmap_alloc());
    hwloc_bitmap_only(node_zero.get(), 0);
    void* p = hwloc_alloc_membind(topology.get(), BLOCK_SIZE, node_zero.get(), HWLOC_MEMBIND_BIND,
                                  HWLOC_MEMBIND_BYNODESET | HWLOC_MEMBIND_STRICT);
    if (p == nullptr) return false;
    const bool bound = bound_to_node_zero(topology.get(), p, BLOCK_SIZE);
    hwloc_free(topology.get(), p, BLOCK_SIZE);
    return bound;
}

}  // namespace

TEST_CASE(numa_node_binds_the_output_when_hwloc_can) {
    // This machine's node 0: memory is bound when binding is allowed, in
    // every mode, Disabled included; otherwise ordinary memory, same bytes.
    const bool binding_works = node_zero_takes_bound_memory();
    TopologyLoadFailure failure;
    const TopologyPtr topology = load_topology(failure);
    CHECK(topology != nullptr);
    DataBuffer reference = generate_data(config_of(2 * BLOCK_SIZE, 1, 3, 2), 77);
    for (NumaMode mode : {NumaMode::Auto, NumaMode::Force, NumaMode::Disabled}) {
        GeneratorConfig c = config_of(2 * BLOCK_SIZE, 1, 3, 2, mode);
        c.numa_node = 0;
        DataBuffer b = generate_data(c, 77);
        CHECK_EQ(b.is_node_bound(), binding_works);
        if (topology)
            CHECK_EQ(bound_to_node_zero(topology.get(), b.data(), b.capacity()), binding_works);
        CHECK_EQ(b.length(), 2 * BLOCK_SIZE);
        CHECK(std::memcmp(b.data(), reference.data(), 2 * BLOCK_SIZE) == 0);
        c.numa_node = 3;  // no such node: ordinary memory, no error
        CHECK(!generate_data(c, 77).is_node_bound());
    }
}
