// The per-object borrow flag: one exclusive user or any number of shared
// users, refused at once instead of waited for.
#pragma once

#include <atomic>
#include <cstdint>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorn::py {

using BorrowFlag = std::atomic<std::int64_t>;

// Holds an exclusive borrow; ok() is false (with RuntimeError set) when
// another user holds the object.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        std::int64_t expected = 0;
        held_ = flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (held_) flag_.store(0, std::memory_order_release);
    }
    bool ok() const { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        std::int64_t current = flag_.load(std::memory_order_relaxed);
        while (current != -1) {
            if (flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
                held_ = true;
                return;
            }
        }
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
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
