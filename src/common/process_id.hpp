// The id of the calling process, kept instead of asked for on every call and
// renewed in a child created by fork().
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace vorn {

inline std::atomic<pid_t> cached_process_id{0};

inline pid_t current_process_id() noexcept {
    static const bool registered = [] {
        cached_process_id.store(getpid(), std::memory_order_relaxed);
        pthread_atfork(nullptr, nullptr,
                       [] { cached_process_id.store(getpid(), std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    return cached_process_id.load(std::memory_order_relaxed);
}

}  // namespace vorn
