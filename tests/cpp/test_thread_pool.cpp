// The worker pool: every chunk exactly once, callers wait, release never
// waits and released workers leave, a pool runs on whatever workers could
// start (the caller's own thread when none could), and errors reach the
// caller.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "placement/thread_pool.hpp"
#include "harness.hpp"

using namespace vorn;

namespace {

// A latch that threads wait on until it is opened, and a counter that can be
// waited for.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

class Counter {
public:
    void add() {
        std::lock_guard lock(mutex_);
        ++value_;
        changed_.notify_all();
    }
    void wait_for(int value) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return value_ >= value; });
    }
    int value() {
        std::lock_guard lock(mutex_);
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int value_ = 0;
};

// Starts real threads for the first `startable` workers and refuses the
// rest; each started thread waits at `go` (when given) before its loop and
// counts itself in `left` once its loop has returned.
struct CountingStarter {
    std::size_t startable;
    Gate* go = nullptr;
    std::shared_ptr<Counter> left = std::make_shared<Counter>();
    std::shared_ptr<std::mutex> ids_lock = std::make_shared<std::mutex>();
    std::shared_ptr<std::set<std::thread::id>> ids = std::make_shared<std::set<std::thread::id>>();

    ThreadPool::ThreadStarter starter() {
        return [this](std::size_t index, ThreadPool::WorkerLoop loop) {
            if (index >= startable) return false;
            std::thread([go = go, left = left, ids_lock = ids_lock, ids = ids,
                         loop = std::move(loop)] {
                {
                    std::lock_guard lock(*ids_lock);
                    ids->insert(std::this_thread::get_id());
                }
                if (go) go->wait();
                loop();
                left->add();
            }).detach();
            return true;
        };
    }
};

}  // namespace

TEST_CASE(pool_runs_every_chunk_exactly_once) {
    for (std::size_t workers : {1, 2, 7}) {
        auto pool = ThreadPool::create(workers);
        CHECK_EQ(pool->size(), workers);
        for (std::size_t count : {0, 1, 3, 1000}) {
            std::vector<std::atomic<int>> hits(count);
            pool->run_chunks(count, [&](std::size_t i) { hits[i].fetch_add(1); });
            for (auto& h : hits) CHECK_EQ(h.load(), 1);
        }
    }
}

TEST_CASE(pool_default_size_is_positive) {
    auto pool = ThreadPool::create(0);
    CHECK(pool->size() >= 1);
    CHECK(pool->size() <= MAX_WORKERS);
}

TEST_CASE(pool_never_has_more_workers_than_the_widest_cpu_mask) {
    // The starter only counts: no thread is started, no work is run.
    std::size_t calls = 0;
    auto pool = ThreadPool::create(100000, [&](std::size_t, ThreadPool::WorkerLoop) {
        ++calls;
        return true;
    });
    CHECK_EQ(calls, MAX_WORKERS);
    CHECK_EQ(pool->size(), MAX_WORKERS);
}

TEST_CASE(worker_count_is_bounded_by_request_work_and_cap) {
    CHECK_EQ(workers_for(8, 3), 3u);
    CHECK_EQ(workers_for(2, 100), 2u);
    CHECK_EQ(workers_for(100000, std::uint64_t{1} << 40), MAX_WORKERS);
    CHECK_EQ(workers_for(5, 0), 0u);
}

TEST_CASE(pool_work_runs_on_workers_not_the_caller) {
    auto pool = ThreadPool::create(2);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> on_caller{0};
    pool->run_chunks(64, [&](std::size_t) {
        if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
    });
    CHECK_EQ(on_caller.load(), 0);
}

TEST_CASE(pool_caller_waits_until_every_chunk_is_done) {
    // Every worker blocks inside a chunk; the gate opens only once all three
    // are inside and the caller has still not returned.
    auto pool = ThreadPool::create(3);
    CHECK_EQ(pool->size(), 3u);
    Counter entered;
    Gate gate;
    std::atomic<bool> returned{false};
    std::atomic<bool> returned_early{false};
    std::thread opener([&] {
        entered.wait_for(3);
        returned_early = returned.load();
        gate.open();
    });
    std::atomic<int> finished{0};
    pool->run_chunks(6, [&](std::size_t) {
        entered.add();
        gate.wait();
        finished.fetch_add(1);
    });
    returned = true;
    opener.join();
    CHECK(!returned_early.load());
    CHECK_EQ(finished.load(), 6);
}

TEST_CASE(pool_release_does_not_wait_and_released_workers_leave) {
    // The workers cannot even reach their loop until the gate opens, which
    // happens only after the pool is gone: a release that waited for its
    // workers would never return (and the watchdog would end the run).
    Gate go;
    CountingStarter starter{4, &go};
    auto pool = ThreadPool::create(4, starter.starter());
    CHECK_EQ(pool->size(), 4u);
    pool.reset();
    go.open();
    starter.left->wait_for(4);
    CHECK_EQ(starter.left->value(), 4);

    // Released many times while workers may still be starting: they hold
    // the shared state, so nothing they touch is freed under them.
    for (int round = 0; round < 50; ++round) CHECK_EQ(ThreadPool::create(4)->size(), 4u);
}

TEST_CASE(pool_rethrows_chunk_errors_after_all_chunks) {
    for (std::size_t startable : {2, 0}) {
        CountingStarter starter{startable};
        auto pool = ThreadPool::create(2, starter.starter());
        std::atomic<int> ran{0};
        bool caught = false;
        try {
            pool->run_chunks(20, [&](std::size_t i) {
                ran.fetch_add(1);
                if (i == 3) throw std::runtime_error("chunk failed");
            });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "chunk failed";
        }
        CHECK(caught);
        CHECK_EQ(ran.load(), 20);
        // The pool stays usable afterwards.
        std::atomic<int> again{0};
        pool->run_chunks(5, [&](std::size_t) { again.fetch_add(1); });
        CHECK_EQ(again.load(), 5);
    }
}

TEST_CASE(pool_runs_on_the_workers_that_started) {
    // Two of five threads start: the pool is those two, they do all the
    // work, and they leave once it is released.
    CountingStarter starter{2};
    auto pool = ThreadPool::create(5, starter.starter());
    CHECK_EQ(pool->size(), 2u);
    std::mutex lock;
    std::set<std::thread::id> ran_on;
    std::vector<std::atomic<int>> hits(100);
    pool->run_chunks(hits.size(), [&](std::size_t i) {
        hits[i].fetch_add(1);
        std::lock_guard guard(lock);
        ran_on.insert(std::this_thread::get_id());
    });
    for (auto& h : hits) CHECK_EQ(h.load(), 1);
    {
        std::lock_guard guard(*starter.ids_lock);
        for (const auto& id : ran_on) CHECK(starter.ids->count(id) == 1);
    }
    pool.reset();
    starter.left->wait_for(2);
    CHECK_EQ(starter.left->value(), 2);
}

TEST_CASE(pool_without_workers_runs_on_the_caller) {
    CountingStarter starter{0};
    auto pool = ThreadPool::create(3, starter.starter());
    CHECK_EQ(pool->size(), 0u);
    const auto caller = std::this_thread::get_id();
    std::vector<int> hits(10, 0);
    bool all_on_caller = true;
    pool->run_chunks(hits.size(), [&](std::size_t i) {
        ++hits[i];
        all_on_caller = all_on_caller && std::this_thread::get_id() == caller;
    });
    CHECK(all_on_caller);
    for (int h : hits) CHECK_EQ(h, 1);
}

TEST_CASE(pool_used_in_a_forked_child_starts_its_workers_afresh) {
    // The child has none of the parent's workers; its first job starts new
    // ones instead of waiting for threads that do not exist there.
    auto pool = ThreadPool::create(2);
    pool->run_chunks(4, [](std::size_t) {});
    const pid_t child = fork();
    CHECK(child >= 0);
    if (child == 0) {
        alarm(60);
        const auto caller = std::this_thread::get_id();
        std::vector<std::atomic<int>> hits(50);
        std::atomic<int> on_caller{0};
        pool->run_chunks(hits.size(), [&](std::size_t i) {
            hits[i].fetch_add(1);
            if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
        });
        for (auto& h : hits)
            if (h.load() != 1) _exit(1);
        _exit(on_caller.load() == 0 && pool->size() == 2 ? 0 : 2);
    }
    int status = 0;
    CHECK(waitpid(child, &status, 0) == child);
    CHECK(WIFEXITED(status));
    CHECK_EQ(WEXITSTATUS(status), 0);
    // The parent's pool is untouched.
    std::atomic<int> ran{0};
    pool->run_chunks(8, [&](std::size_t) { ran.fetch_add(1); });
    CHECK_EQ(ran.load(), 8);
}

TEST_CASE(pool_starter_receives_every_index_once) {
    std::vector<int> seen(5, 0);
    auto pool = ThreadPool::create(5, [&](std::size_t index, ThreadPool::WorkerLoop loop) {
        seen[index] += 1;
        std::thread(std::move(loop)).detach();
        return true;
    });
    CHECK_EQ(pool->size(), 5u);
    for (int s : seen) CHECK_EQ(s, 1);
}
