// A fixed-size worker pool of our own. Workers hold the pool's shared state,
// so releasing the pool never waits for them and never leaves them pointing
// at freed memory; idle workers leave on their own once told to stop.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "generator/result.hpp"

namespace vorn {

class ThreadPool {
public:
    using WorkerLoop = std::function<void()>;
    // Starts a thread that eventually runs `loop` for worker `index`; returns
    // an error description when the thread cannot be started.
    using ThreadStarter =
        std::function<std::optional<std::string>(std::size_t index, WorkerLoop loop)>;

    // `workers` = 0 means one worker per available CPU.
    static Result<std::unique_ptr<ThreadPool>> create(std::size_t workers);
    static Result<std::unique_ptr<ThreadPool>> create(std::size_t workers,
                                                      const ThreadStarter& start);

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ThreadPool(ThreadPool&&) = delete;
    ThreadPool& operator=(ThreadPool&&) = delete;
    ~ThreadPool();

    std::size_t size() const { return workers_; }

    // Calls fn(i) exactly once for every i in [0, count), spread over the
    // workers, and returns when all are done; the caller only waits, so fn
    // must not submit work to this same pool. An exception thrown by fn is
    // rethrown here after every chunk has finished.
    void run_chunks(std::size_t count, const std::function<void(std::size_t)>& fn);

    // False in a child process forked after the pool was built: the child
    // has none of the workers, so handing it work would wait forever.
    bool usable_in_this_process() const;

    struct State;

private:
    ThreadPool(std::shared_ptr<State> state, std::size_t workers);

    std::shared_ptr<State> state_;
    std::size_t workers_;
};

}  // namespace vorn
