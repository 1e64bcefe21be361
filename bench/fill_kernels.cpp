// Speed of the random fill on every path beside plain stores into the same
// memory, measured in one run: a warm 32 MiB buffer and fresh 1 GiB mappings.
// Prints GB/s and GB per CPU-second (process CPU time), best of several runs.
//
//   vorn_fill_bench [--repeats N] [--fresh-mib M] [--warm-mib W]
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "synthesis/block_synthesis.hpp"
#include "synthesis/random_fill.hpp"
#include "synthesis/xoshiro_jump.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace vorn;

namespace {

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
constexpr std::uint64_t BLOCK = 4 * MiB;

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Rate {
    double wall_gbs = 0;
    double cpu_gbs = 0;
};

// Best wall and best CPU time, each on its own: on a shared machine the two
// minima need not come from the same run.
struct Best {
    double wall = 1e30;
    double cpu = 1e30;

    template <class Fn>
    void sample(Fn&& run) {
        const double w0 = wall_seconds(), c0 = cpu_seconds();
        run();
        const double w1 = wall_seconds(), c1 = cpu_seconds();
        wall = std::min(wall, w1 - w0);
        cpu = std::min(cpu, std::max(c1 - c0, 1e-9));
    }

    Rate rate(std::uint64_t bytes) const { return {double(bytes) / wall / 1e9, double(bytes) / cpu / 1e9}; }
};

// Plain stores of a constant, ordinary or streaming: the limits a fill is
// measured against. glibc's memset switches to streaming stores above a size
// threshold, so the ordinary-store loop is written out.
#if defined(__x86_64__)
__attribute__((target("avx2"))) void store_loop_avx2(std::uint8_t* p, std::uint64_t n, bool stream) {
    const __m256i v = _mm256_set1_epi8(0x5A);
    for (std::uint64_t i = 0; i + 32 <= n; i += 32) {
        if (stream)
            _mm256_stream_si256(reinterpret_cast<__m256i*>(p + i), v);
        else
            _mm256_store_si256(reinterpret_cast<__m256i*>(p + i), v);
    }
    if (stream) _mm_sfence();
}

__attribute__((target("avx512f"))) void store_loop_avx512(std::uint8_t* p, std::uint64_t n,
                                                          bool stream) {
    const __m512i v = _mm512_set1_epi8(0x5A);
    for (std::uint64_t i = 0; i + 64 <= n; i += 64) {
        if (stream)
            _mm512_stream_si512(reinterpret_cast<__m512i*>(p + i), v);
        else
            _mm512_store_si512(reinterpret_cast<__m512i*>(p + i), v);
    }
    if (stream) _mm_sfence();
}
#endif

void store_loop(std::uint8_t* p, std::uint64_t n, bool stream) {
#if defined(__x86_64__)
    if (fill_path_supported(FillPath::Avx512)) return store_loop_avx512(p, n, stream);
    if (fill_path_supported(FillPath::Avx2)) return store_loop_avx2(p, n, stream);
#endif
    (void)stream;
    for (std::uint64_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = 0x5A5A5A5A5A5A5A5AULL;
        std::memcpy(p + i, &v, 8);
    }
}

// How the fills are called: one 4 MiB block per call, as the block loop does.
void fill_blocks(FillPath path, StoreKind stores, std::uint8_t* p, std::uint64_t n) {
    Xoshiro256pp rng(12345);
    for (std::uint64_t at = 0; at < n; at += BLOCK)
        fill_words_on(path, p + at, std::min(BLOCK, n - at) / 8, rng, stores);
}

struct Kernel {
    std::string name;
    std::function<void(std::uint8_t*, std::uint64_t)> run;
};

std::vector<Kernel> kernels() {
    std::vector<Kernel> list;
    list.push_back({"ordinary stores (constant)", [](std::uint8_t* p, std::uint64_t n) { store_loop(p, n, false); }});
    list.push_back({"non-temporal stores (constant)", [](std::uint8_t* p, std::uint64_t n) { store_loop(p, n, true); }});
    list.push_back({"memset (glibc)", [](std::uint8_t* p, std::uint64_t n) { std::memset(p, 0x5A, n); }});
    list.push_back({"fill_block, no copies", [](std::uint8_t* p, std::uint64_t n) {
                        for (std::uint64_t at = 0, b = 0; at < n; at += BLOCK, ++b)
                            fill_block(p + at, std::min(BLOCK, n - at), b, 0, 42);
                    }});
    for (FillPath path : {FillPath::Scalar, FillPath::Avx2, FillPath::Avx512}) {
        if (!fill_path_supported(path)) continue;
        list.push_back({std::string("fill_words ") + fill_path_name(path), [path](std::uint8_t* p, std::uint64_t n) {
                            fill_blocks(path, StoreKind::Ordinary, p, n);
                        }});
        if (path != FillPath::Scalar)
            list.push_back({std::string("fill_words ") + fill_path_name(path) + " non-temporal",
                            [path](std::uint8_t* p, std::uint64_t n) {
                                fill_blocks(path, StoreKind::NonTemporal, p, n);
                            }});
    }
    return list;
}

void print_row(const std::string& name, const Rate& r, const Rate& base_stores, const Rate& base_scalar) {
    std::printf("  %-40s %7.2f GB/s %7.2f GB/cpu-s   %5.2fx stores  %5.2fx scalar\n", name.c_str(),
                r.wall_gbs, r.cpu_gbs, r.cpu_gbs / base_stores.cpu_gbs, r.cpu_gbs / base_scalar.cpu_gbs);
}

// Rounds go over every kernel in turn, so that a slow spell on the shared
// machine touches all of them rather than the few measured during it.
void run_table(const char* title, std::uint64_t bytes, int repeats,
               const std::function<void(const Kernel&, Best&)>& sample) {
    std::printf("%s\n", title);
    const auto list = kernels();
    std::vector<Best> best(list.size());
    for (int round = 0; round < repeats; ++round)
        for (std::size_t i = 0; i < list.size(); ++i) sample(list[i], best[i]);
    // Rows 0 and 4 are the ordinary-store limit and the scalar loop, which
    // is what blocks without copies were filled with before the vector paths.
    for (std::size_t i = 0; i < list.size(); ++i)
        print_row(list[i].name, best[i].rate(bytes), best[0].rate(bytes), best[4].rate(bytes));
}

std::uint8_t* map_fresh(std::uint64_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::exit(1);
    }
    madvise(p, bytes, MADV_HUGEPAGE);  // as a large one-shot output would ask
    return static_cast<std::uint8_t*>(p);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    std::uint64_t warm_mib = 32, fresh_mib = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (flag == "--repeats") repeats = int(std::max<std::uint64_t>(1, value));
        else if (flag == "--warm-mib") warm_mib = std::max<std::uint64_t>(4, value);
        else if (flag == "--fresh-mib") fresh_mib = value;
        else {
            std::fprintf(stderr, "error: unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    std::printf("best vector path: %s; best of %d; one thread\n", fill_path_name(best_fill_path()), repeats);

    {
        // The first vector round builds the per-process jump tables.
        std::vector<std::uint8_t> small(64 * 1024, 1);
        Xoshiro256pp warm_up(1);
        const double c0 = cpu_seconds();
        fill_words_on(best_fill_path(), small.data(), small.size() / 8, warm_up);
        const double c1 = cpu_seconds();
        Xoshiro256pp rng(2);
        const int jumps = 20000;
        const double j0 = cpu_seconds();
        for (int i = 0; i < jumps; ++i) apply_jump(rng, pow2_jump_poly(19));
        const double j1 = cpu_seconds();
        std::printf("first 64 KiB fill, with the per-process jump tables: %.0f us; "
                    "one 2^19-step jump: %.0f ns (state %016llx)\n",
                    (c1 - c0) * 1e6, (j1 - j0) / jumps * 1e9, static_cast<unsigned long long>(rng.s0));
    }

    const std::uint64_t warm_bytes = warm_mib * MiB;
    std::vector<std::uint8_t> warm(warm_bytes + 64);
    auto* warm_p = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(warm.data()) + 63) &
                                                   ~std::uintptr_t{63});
    std::memset(warm_p, 1, warm_bytes);
    char title[128];
    std::snprintf(title, sizeof title, "warm %llu MiB buffer, 4 MiB per fill call:",
                  static_cast<unsigned long long>(warm_mib));
    run_table(title, warm_bytes, repeats, [&](const Kernel& k, Best& best) {
        k.run(warm_p, warm_bytes);  // the buffer into cache, the code warm
        best.sample([&] { k.run(warm_p, warm_bytes); });
    });

    // A caller that works on each part of a block while it is still in cache
    // fills the block in parts; every call pays one round start.
    std::printf("warm %llu MiB buffer, best path, each 4 MiB block filled in parts:\n",
                static_cast<unsigned long long>(warm_mib));
    const std::uint64_t parts[] = {64 * 1024, 256 * 1024, MiB / 2, MiB, BLOCK};
    Best part_best[std::size(parts)];
    for (int round = 0; round < repeats; ++round)
        for (std::size_t i = 0; i < std::size(parts); ++i) {
            const auto run = [&] {
                Xoshiro256pp rng(777);
                for (std::uint64_t at = 0; at < warm_bytes; at += parts[i])
                    fill_words(warm_p + at, std::min(parts[i], warm_bytes - at) / 8, rng);
            };
            run();
            part_best[i].sample(run);
        }
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        const Rate r = part_best[i].rate(warm_bytes);
        std::printf("  parts of %5llu KiB %28s %7.2f GB/s %7.2f GB/cpu-s\n",
                    static_cast<unsigned long long>(parts[i] >> 10), "", r.wall_gbs, r.cpu_gbs);
    }

    if (fresh_mib > 0) {
        const std::uint64_t fresh_bytes = fresh_mib * MiB;
        std::snprintf(title, sizeof title, "fresh %llu MiB mapping (faults included), 4 MiB per fill call:",
                      static_cast<unsigned long long>(fresh_mib));
        run_table(title, fresh_bytes, repeats, [&](const Kernel& k, Best& best) {
            std::uint8_t* p = map_fresh(fresh_bytes);
            best.sample([&] { k.run(p, fresh_bytes); });
            munmap(p, fresh_bytes);
        });
    }
    return 0;
}
