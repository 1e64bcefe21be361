// Drives fill_block over a whole output in parallel and makes the placement
// decisions: which memory, how many workers, pinned or not.
#include "generator/one_shot.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "generator/block_synthesis.hpp"
#include "generator/constants.hpp"
#include "generator/cpu_count.hpp"
#include "generator/engine_abort.hpp"
#include "generator/pinning.hpp"
#include "generator/plan.hpp"
#include "generator/thread_pool.hpp"
#include "numa/topology.hpp"

namespace vorn {
namespace {

// Total blocks of a request, checked against the signed 64-bit byte range
// before anything is allocated for it.
std::uint64_t checked_total_blocks(std::uint64_t size) {
    const std::uint64_t blocks = blocks_covering(std::max(size, BLOCK_SIZE));
    if (blocks > (static_cast<std::uint64_t>(INT64_MAX) >> BLOCK_SHIFT))
        engine_abort("capacity overflow");
    return blocks;
}

std::optional<NumaTopology> detect_topology(NumaMode mode) {
    if (mode == NumaMode::Disabled) return std::nullopt;
    Result<NumaTopology> detected = NumaTopology::detect();
    if (!detected) return std::nullopt;  // placement is an optimisation; go on without it
    return std::move(detected).value();
}

const NumaNode* find_node(const NumaTopology& topology, std::uint64_t node_id) {
    for (const NumaNode& node : topology.nodes)
        if (node.node_id == node_id) return &node;
    return nullptr;
}

// `table_threads` is the count the CPU table is built for: 0 leaves every
// worker unpinned while the pool still takes its default size.
std::unique_ptr<ThreadPool> build_pool(const GeneratorConfig& config,
                                       const std::optional<NumaTopology>& topology,
                                       std::uint64_t table_threads, std::size_t pool_threads,
                                       bool numa_path) {
    if (numa_path) {
        auto cpus = std::make_shared<const WorkerCpus>(
            build_worker_cpus(*topology, table_threads, config.numa_node));
        return create_pinned_pool(pool_threads, std::move(cpus));
    }
    return ThreadPool::create(pool_threads);
}

// Fills dest[0, len) with the stream of `plan`: every whole block in place,
// a partial last block through a private scratch block.
void run_generation(const GeneratorConfig& config, const GenerationPlan& plan,
                    std::uint64_t entropy, std::uint8_t* dest, std::uint64_t len) {
    const std::optional<NumaTopology> topology = detect_topology(config.numa_mode);
    const Placement placement = decide_placement(config, topology);
    const std::uint64_t chunks = blocks_covering(len);
    // Workers beyond the number of chunks would only be started to idle.
    const std::uint64_t requested = placement.thread_count;
    const std::size_t pool_threads = std::max<std::size_t>(
        1, workers_for(requested == 0 ? available_cpu_count() : requested, chunks));
    const std::uint64_t table_threads = requested == 0 ? 0 : pool_threads;

    std::unique_ptr<ThreadPool> pool =
        build_pool(config, topology, table_threads, pool_threads, placement.numa_path);

    if (placement.numa_path) {
        // Let each pinned worker fault in its chunks so the pages land on its node.
        pool->run_chunks(chunks, [&](std::size_t i) {
            std::uint8_t* chunk = dest + (std::uint64_t{i} << BLOCK_SHIFT);
            const std::uint64_t chunk_len = std::min(BLOCK_SIZE, len - (std::uint64_t{i} << BLOCK_SHIFT));
            chunk[0] = 0;
            if (chunk_len > 4096) chunk[chunk_len - 1] = 0;
        });
    }

    pool->run_chunks(chunks, [&](std::size_t i) {
        const std::uint64_t start = std::uint64_t{i} << BLOCK_SHIFT;
        const std::uint64_t unique = unique_index(plan, i);
        const std::uint64_t copy_target = plan.copy_target(unique);
        const std::uint64_t chunk_len = std::min(BLOCK_SIZE, len - start);
        if (chunk_len == BLOCK_SIZE) {
            fill_block(dest + start, BLOCK_SIZE, unique, copy_target, entropy);
        } else {
            // A partial block is the prefix of its full block, never a block
            // generated at a shorter length.
            std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[BLOCK_SIZE]);
            fill_block(scratch.get(), BLOCK_SIZE, unique, copy_target, entropy);
            std::memcpy(dest + start, scratch.get(), chunk_len);
        }
    });
}

}  // namespace

Placement decide_placement(const GeneratorConfig& config,
                           const std::optional<NumaTopology>& topology) {
    Placement placement;
    placement.numa_path = topology && topology->num_nodes > 1;
    const NumaNode* node =
        config.numa_node && topology ? find_node(*topology, *config.numa_node) : nullptr;
    if (node != nullptr) {
        const std::uint64_t cpus = node->cpus.size();
        placement.thread_count = config.max_threads ? std::min(*config.max_threads, cpus) : cpus;
    } else {
        placement.thread_count = config.max_threads ? *config.max_threads : available_cpu_count();
    }
    return placement;
}

DataBuffer generate_data(const GeneratorConfig& config, std::uint64_t entropy) {
    const std::uint64_t total_blocks = checked_total_blocks(config.size);
    const GenerationPlan plan =
        plan_generation(config.size, config.dedup_factor, config.compress_factor);

    const std::uint64_t capacity = total_blocks << BLOCK_SHIFT;
    std::optional<DataBuffer> buffer;
    if (config.numa_node) {
        // Any failure to bind falls back to ordinary memory: where the bytes
        // live never changes what they are.
        Result<DataBuffer> bound = DataBuffer::allocate_on_node(capacity, *config.numa_node);
        if (bound) buffer.emplace(std::move(bound).value());
    }
    if (!buffer) buffer.emplace(DataBuffer::ordinary(capacity));

    run_generation(config, plan, entropy, buffer->data(), capacity);
    buffer->set_length(plan.effective_size);
    return std::move(*buffer);
}

DataBuffer generate_data(const GeneratorConfig& config) {
    return generate_data(config, generate_call_entropy());
}

void generate_into(const GeneratorConfig& config, std::uint8_t* dest, std::uint64_t entropy) {
    checked_total_blocks(config.size);
    const GenerationPlan plan =
        plan_generation(config.size, config.dedup_factor, config.compress_factor);
    run_generation(config, plan, entropy, dest, config.size);
}

void generate_into(const GeneratorConfig& config, std::uint8_t* dest) {
    generate_into(config, dest, generate_call_entropy());
}

}  // namespace vorn
