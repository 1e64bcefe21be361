// The worker pool: every chunk exactly once, callers wait, release never
// waits, failures to start are reported, and errors reach the caller.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "generator/thread_pool.hpp"
#include "harness.hpp"

using namespace vorn;

TEST_CASE(pool_runs_every_chunk_exactly_once) {
    for (std::size_t workers : {1, 2, 7}) {
        auto pool = ThreadPool::create(workers);
        CHECK(pool.ok());
        CHECK_EQ(pool.value()->size(), workers);
        for (std::size_t count : {0, 1, 3, 1000}) {
            std::vector<std::atomic<int>> hits(count);
            pool.value()->run_chunks(count, [&](std::size_t i) { hits[i].fetch_add(1); });
            for (auto& h : hits) CHECK_EQ(h.load(), 1);
        }
    }
}

TEST_CASE(pool_default_size_is_positive) {
    auto pool = ThreadPool::create(0);
    CHECK(pool.ok());
    CHECK(pool.value()->size() >= 1);
}

TEST_CASE(pool_work_runs_on_workers_not_the_caller) {
    auto pool = ThreadPool::create(2);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> on_caller{0};
    pool.value()->run_chunks(64, [&](std::size_t) {
        if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
    });
    CHECK_EQ(on_caller.load(), 0);
}

TEST_CASE(pool_caller_waits_for_slow_chunks) {
    auto pool = ThreadPool::create(3);
    std::atomic<int> finished{0};
    pool.value()->run_chunks(6, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        finished.fetch_add(1);
    });
    CHECK_EQ(finished.load(), 6);
}

TEST_CASE(pool_release_does_not_wait_and_workers_outlive_it_safely) {
    // Released while workers may still be starting: they hold the shared
    // state, so nothing they touch is freed under them.
    for (int round = 0; round < 50; ++round) {
        auto pool = ThreadPool::create(4);
        CHECK(pool.ok());
    }
    auto pool = ThreadPool::create(2);
    pool.value()->run_chunks(10, [](std::size_t) {});
    const auto start = std::chrono::steady_clock::now();
    pool.value().reset();
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(1));
}

TEST_CASE(pool_rethrows_chunk_errors_after_all_chunks) {
    auto pool = ThreadPool::create(2);
    std::atomic<int> ran{0};
    bool caught = false;
    try {
        pool.value()->run_chunks(20, [&](std::size_t i) {
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
    pool.value()->run_chunks(5, [&](std::size_t) { again.fetch_add(1); });
    CHECK_EQ(again.load(), 5);
}

TEST_CASE(pool_creation_failure_is_reported_and_started_workers_leave) {
    std::vector<ThreadPool::WorkerLoop> loops;
    auto pool = ThreadPool::create(3, [&](std::size_t index, ThreadPool::WorkerLoop loop)
                                          -> std::optional<std::string> {
        if (index == 2) return std::string("no more threads");
        std::thread(std::move(loop)).detach();
        return std::nullopt;
    });
    CHECK(!pool.ok());
    CHECK(pool.error().find("no more threads") != std::string::npos);
}

TEST_CASE(pool_starter_receives_every_index_once) {
    std::vector<int> seen(5, 0);
    auto pool = ThreadPool::create(5, [&](std::size_t index, ThreadPool::WorkerLoop loop)
                                          -> std::optional<std::string> {
        seen[index] += 1;
        std::thread(std::move(loop)).detach();
        return std::nullopt;
    });
    CHECK(pool.ok());
    for (int s : seen) CHECK_EQ(s, 1);
}
