// The per-object borrow flag: one exclusive user or any number of shared
// users, refused at once instead of waited for.
#pragma once

#include <atomic>
#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/process_token.hpp"
#include "python_api/py_ref.hpp"

namespace vorn::py {

// 0 when free, the number of shared users when positive, minus the process
// token of the exclusive user when negative. An exclusive borrow recorded by
// another process came through fork() from a thread that does not exist in
// this one: nobody here holds it, so it counts as free.
using BorrowFlag = std::atomic<std::int64_t>;

inline std::int64_t exclusive_mark() noexcept {
    return -static_cast<std::int64_t>(vorn::current_process_token());
}

// Holds an exclusive borrow; ok() is false (with RuntimeError set) when
// another user holds the object.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        const std::int64_t mine = exclusive_mark();
        std::int64_t seen = 0;
        for (;;) {
            if (seen != 0 && (seen > 0 || seen == mine)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
            const bool inherited = seen != 0;
            if (flag_.compare_exchange_weak(seen, mine, std::memory_order_acquire)) {
                held_ = true;
                inherited_ = inherited;
                return;
            }
        }
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        // A thread ended while taking the interpreter lock back leaves the
        // object alone: it may already be gone.
        if (held_ && !taking_lock_back) flag_.store(0, std::memory_order_release);
    }
    bool ok() const { return held_; }
    // True when the borrow was taken over from a thread of the parent process.
    bool inherited() const { return inherited_; }

private:
    BorrowFlag& flag_;
    bool held_ = false;
    bool inherited_ = false;
};

// Shared borrows are only held with the interpreter lock, never across a
// release of it, so none is ever inherited through fork().
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        const std::int64_t mine = exclusive_mark();
        std::int64_t current = flag_.load(std::memory_order_relaxed);
        for (;;) {
            if (current == mine) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            const std::int64_t next = current >= 0 ? current + 1 : 1;
            if (flag_.compare_exchange_weak(current, next, std::memory_order_acquire)) {
                held_ = true;
                return;
            }
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (held_) flag_.fetch_sub(1, std::memory_order_release);
    }
    bool ok() const { return held_; }

private:
    BorrowFlag& flag_;
    bool held_ = false;
};

}  // namespace vorn::py
