// Workers wait for a job, claim chunk indices from it until none are left,
// and leave once the pool is released and they are idle.
#include "placement/thread_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/cpu_count.hpp"
#include "common/process_token.hpp"

namespace vorn {

namespace {

struct Job {
    std::size_t count = 0;
    const std::function<void(std::size_t)>* fn = nullptr;  // lives on the submitter's stack
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    bool finished = false;  // guarded by State::mutex
    std::exception_ptr error;  // guarded by State::mutex
};

}  // namespace

struct ThreadPool::State {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable job_finished;
    std::mutex submit;  // one job at a time
    std::shared_ptr<Job> job;
    std::uint64_t generation = 0;
    bool stop = false;
    std::uint64_t owner = current_process_token();  // the process whose threads the workers are
    std::shared_ptr<State> self;  // set only to leak a state left behind by fork()

    // Claims and runs chunks until the job has none left. fn is called only
    // for claimed indices, so once every chunk is done no worker touches the
    // submitter's function again.
    void work_on(Job& job) {
        for (;;) {
            const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job.count) return;
            try {
                (*job.fn)(i);
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!job.error) job.error = std::current_exception();
            }
            if (job.done.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
                std::lock_guard lock(mutex);
                job.finished = true;
                job_finished.notify_all();
            }
        }
    }
};

namespace {

void worker_main(const std::shared_ptr<ThreadPool::State>& state) {
    std::uint64_t seen = 0;
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->work_ready.wait(lock, [&] { return state->stop || state->generation != seen; });
        if (state->generation != seen) {
            seen = state->generation;
            std::shared_ptr<Job> job = state->job;
            lock.unlock();
            if (job) state->work_on(*job);
            lock.lock();
            continue;
        }
        return;  // told to stop and nothing left to do
    }
}

// Every chunk on the calling thread, with the same error rule as the
// workers: all chunks run, the first error is rethrown at the end.
void run_on_caller(std::size_t count, const std::function<void(std::size_t)>& fn) {
    std::exception_ptr error;
    for (std::size_t i = 0; i < count; ++i) {
        try {
            fn(i);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    if (error) std::rethrow_exception(error);
}

// After fork() the state's mutex may have been held by a parent thread that
// the child does not have: the child never touches that state again, and
// leaks it rather than destroy it, by having it own itself, which needs no
// memory (a destructor may be where this happens).
void abandon(std::shared_ptr<ThreadPool::State>& state) noexcept {
    ThreadPool::State& left = *state;
    left.self = std::move(state);
}

}  // namespace

ThreadPool::ThreadPool(std::size_t requested, ThreadStarter start)
    : requested_(requested), start_(std::move(start)) {}

std::unique_ptr<ThreadPool> ThreadPool::create(std::size_t workers) {
    return create(workers, [](std::size_t, WorkerLoop loop) {
        try {
            std::thread(std::move(loop)).detach();
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    });
}

std::unique_ptr<ThreadPool> ThreadPool::create(std::size_t workers, ThreadStarter start) {
    if (workers == 0) workers = static_cast<std::size_t>(available_cpu_count());
    std::unique_ptr<ThreadPool> pool(new ThreadPool(std::min(workers, MAX_WORKERS), std::move(start)));
    pool->start_workers(std::make_shared<State>());
    return pool;
}

void ThreadPool::start_workers(std::shared_ptr<State> fresh) {
    state_ = std::move(fresh);
    workers_ = 0;
    while (workers_ < requested_) {
        bool started = false;
        try {
            started = start_(workers_, [state = state_] { worker_main(state); });
        } catch (const std::exception&) {
            started = false;  // e.g. no memory for the thread's own record
        }
        if (!started) break;  // the system refuses more threads: go on with those we have
        ++workers_;
    }
}

ThreadPool::~ThreadPool() {
    if (!state_) return;  // its state could not be made: no worker was started
    if (state_->owner != current_process_token()) {
        abandon(state_);
        return;
    }
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    state_->work_ready.notify_all();
}

void ThreadPool::run_chunks(std::size_t count, const std::function<void(std::size_t)>& fn) {
    if (count == 0) return;
    if (state_->owner != current_process_token()) {
        // Made first: should it fail, the pool still holds its old state and
        // tries again on the next call.
        std::shared_ptr<State> fresh = std::make_shared<State>();
        abandon(state_);
        start_workers(std::move(fresh));
    }
    if (workers_ == 0) {
        run_on_caller(count, fn);
        return;
    }
    State& state = *state_;
    std::lock_guard submit_lock(state.submit);
    auto job = std::make_shared<Job>();
    job->count = count;
    job->fn = &fn;
    {
        std::lock_guard lock(state.mutex);
        state.job = job;
        ++state.generation;
        state.work_ready.notify_all();
    }
    std::exception_ptr error;
    {
        std::unique_lock lock(state.mutex);
        state.job_finished.wait(lock, [&] { return job->finished; });
        state.job.reset();
        error = job->error;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace vorn
