// A fixed-size worker pool of our own. Workers hold the pool's shared state,
// so releasing the pool never waits for them and never leaves them pointing
// at freed memory; idle workers leave on their own once told to stop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "placement/cpu_mask.hpp"

namespace vorn {

// No pool has more workers than the widest CPU mask we pin within: more
// could never run at once, and an absurd request would otherwise start
// threads until the system refuses.
inline constexpr std::size_t MAX_WORKERS = CPU_MASK_WIDTH;

// The workers for `units` units of work when `requested` are asked for: no
// more than there are units, and never more than MAX_WORKERS.
inline std::size_t workers_for(std::uint64_t requested, std::uint64_t units) {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>({requested, units, std::uint64_t{MAX_WORKERS}}));
}

class ThreadPool {
public:
    using WorkerLoop = std::function<void()>;
    // Starts a thread that eventually runs `loop` for worker `index`; false
    // when the thread cannot be started.
    using ThreadStarter = std::function<bool(std::size_t index, WorkerLoop loop)>;

    // Starts up to `workers` workers (0 = one per available CPU), at most
    // MAX_WORKERS. A thread that cannot be started (a process or memory
    // limit) ends the starting: the pool keeps the workers that did start,
    // and with none at all the caller of run_chunks does the work itself.
    static std::unique_ptr<ThreadPool> create(std::size_t workers);
    static std::unique_ptr<ThreadPool> create(std::size_t workers, ThreadStarter start);

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ThreadPool(ThreadPool&&) = delete;
    ThreadPool& operator=(ThreadPool&&) = delete;
    ~ThreadPool();

    // The workers that started; 0 when the caller runs every chunk.
    std::size_t size() const { return workers_; }

    // Calls fn(i) exactly once for every i in [0, count), spread over the
    // workers, and returns when all are done; the caller only waits (or, in
    // a pool without workers, runs them all itself), so fn must not submit
    // work to this same pool. An exception thrown by fn is rethrown here
    // after every chunk has finished. One caller at a time.
    //
    // In a child process forked after the pool started, none of its workers
    // exist: the pool first starts them afresh, with the same starter.
    void run_chunks(std::size_t count, const std::function<void(std::size_t)>& fn);

    struct State;

private:
    ThreadPool(std::size_t requested, ThreadStarter start);
    void start_workers(std::shared_ptr<State> fresh);

    std::size_t requested_;
    ThreadStarter start_;
    std::shared_ptr<State> state_;
    std::size_t workers_ = 0;
};

}  // namespace vorn
