// Drives fill_block over a whole output in parallel, after one look at the
// machine and one placement decision per call.
#include "drivers/one_shot.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "common/cpu_count.hpp"
#include "common/engine_abort.hpp"
#include "placement/placement.hpp"
#include "placement/topology_cache.hpp"
#include "synthesis/block_synthesis.hpp"
#include "synthesis/constants.hpp"
#include "synthesis/entropy.hpp"
#include "synthesis/plan.hpp"

namespace vorn {
namespace {

// Output memory on the placement's node when hwloc can bind it there,
// otherwise ordinary. Where the bytes live never changes what they are, so
// every failure to bind falls back silently.
DataBuffer allocate_output(std::uint64_t capacity, const Placement& placement,
                           const std::optional<MachineView>& machine) {
    if (placement.node && machine) {
        Result<DataBuffer> bound =
            DataBuffer::allocate_on_node(machine->topology, capacity, *placement.node);
        if (bound) return std::move(bound).value();
    }
    return DataBuffer::ordinary(capacity);
}

const NumaTopology* layout_of(const std::optional<MachineView>& machine) {
    return machine ? &machine->layout : nullptr;
}

void check_capacity(const GenerationPlan& plan) {
    if (plan.total_blocks > (static_cast<std::uint64_t>(INT64_MAX) >> BLOCK_SHIFT))
        engine_abort("capacity overflow");
}

// Fills dest[0, len) with the stream of `plan`, one chunk per block of the
// placement. The first occurrence of each unique block is made, every whole
// block in place and a partial last block through a private scratch block;
// then every repeat copies its first occurrence, which a copy does faster
// than synthesis.
void run_generation(const Placement& placement, const GenerationPlan& plan, std::uint64_t entropy,
                    std::uint8_t* dest, std::uint64_t len, bool pages_placed) {
    std::unique_ptr<ThreadPool> pool = create_pool(placement);
    const std::uint64_t chunks = placement.blocks;
    const auto chunk_len = [&](std::uint64_t i) {
        return std::min(BLOCK_SIZE, len - (i << BLOCK_SHIFT));
    };

    if (placement.worker_cpus && !pages_placed) {
        // Let each pinned worker fault in its chunks so the pages land on its node.
        pool->run_chunks(chunks, [&](std::size_t i) {
            std::uint8_t* chunk = dest + (std::uint64_t{i} << BLOCK_SHIFT);
            chunk[0] = 0;
            if (chunk_len(i) > 4096) chunk[chunk_len(i) - 1] = 0;
        });
    }

    // Block i repeats unique block i mod U, so the first min(U, chunks)
    // blocks are the first occurrences.
    const std::uint64_t firsts = std::min(plan.unique_blocks, chunks);
    pool->run_chunks(firsts, [&](std::size_t i) {
        const std::uint64_t unique = unique_index(plan, i);
        const std::uint64_t copy_target = plan.copy_target(unique);
        std::uint8_t* out = dest + (std::uint64_t{i} << BLOCK_SHIFT);
        if (chunk_len(i) == BLOCK_SIZE) {
            fill_block(out, BLOCK_SIZE, unique, copy_target, entropy);
        } else {
            // A partial block is the prefix of its full block, never a block
            // generated at a shorter length.
            std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[BLOCK_SIZE]);
            fill_block(scratch.get(), BLOCK_SIZE, unique, copy_target, entropy);
            std::memcpy(out, scratch.get(), chunk_len(i));
        }
    });
    // A repeat's first occurrence lies before it and is never the last
    // block, so it is whole.
    pool->run_chunks(chunks - firsts, [&](std::size_t k) {
        const std::uint64_t i = firsts + k;
        const std::uint64_t first = unique_index(plan, i);
        std::memcpy(dest + (i << BLOCK_SHIFT), dest + (first << BLOCK_SHIFT), chunk_len(i));
    });
}

DataBuffer generate_looked(const GeneratorConfig& config, const MachineLook& look,
                           std::uint64_t entropy) {
    const GenerationPlan plan =
        plan_generation(config.size, config.dedup_factor, config.compress_factor);
    check_capacity(plan);
    const std::uint64_t capacity = plan.total_blocks << BLOCK_SHIFT;
    const Placement placement =
        decide_placement(config, layout_of(look.machine), plan.total_blocks, look.cpus);
    DataBuffer buffer = config.numa_node ? allocate_output(capacity, placement, look.machine)
                                         : DataBuffer::ordinary(capacity);
    run_generation(placement, plan, entropy, buffer.data(), capacity, buffer.is_node_bound());
    buffer.set_length(plan.effective_size);
    return buffer;
}

}  // namespace

MachineLook look_at_machine(const GeneratorConfig& config) {
    MachineLook look;
    look.cpus = available_cpu_count();
    if (config.numa_mode == NumaMode::Disabled && !config.numa_node) return look;
    Result<MachineView> machine = cached_machine(look.cpus);
    if (machine) look.machine = std::move(machine).value();
    return look;
}

DataBuffer generate_data(const GeneratorConfig& config, std::uint64_t entropy) {
    return generate_looked(config, look_at_machine(config), entropy);
}

DataBuffer generate_data(const GeneratorConfig& config) {
    return generate_looked(config, look_at_machine(config), generate_call_entropy());
}

DataBuffer generate_data(const GeneratorConfig& config, const MachineLook& look) {
    return generate_looked(config, look, generate_call_entropy());
}

void generate_into(const GeneratorConfig& config, std::uint8_t* dest, std::uint64_t entropy) {
    if (config.size == 0) return;  // no chunk to make: no topology, no pool
    const GenerationPlan plan =
        plan_generation(config.size, config.dedup_factor, config.compress_factor);
    check_capacity(plan);
    const MachineLook look = look_at_machine(config);
    const Placement placement = decide_placement(config, layout_of(look.machine),
                                                 blocks_covering(config.size), look.cpus);
    run_generation(placement, plan, entropy, dest, config.size, false);
}

void generate_into(const GeneratorConfig& config, std::uint8_t* dest) {
    generate_into(config, dest, generate_call_entropy());
}

}  // namespace vorn
