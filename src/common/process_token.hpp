// Which process the caller is in, as far as state made in memory goes: a
// number that every child created by fork() takes one higher than its
// parent's. State that belongs to one process (its threads, its locks)
// records the number and compares it, so a child never takes its parent's
// state for its own. A process id would not do: ids are reused, and a
// descendant may get its ancestor's (a pid namespace's first process, or
// ids wrapping round in a long-lived server).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace vorn {

inline std::atomic<std::uint64_t> process_token_value{0};

// Never 0. A process's state is only ever compared with the number of the
// process itself or of an ancestor, which is always smaller.
inline std::uint64_t current_process_token() noexcept {
    static const bool registered = [] {
        process_token_value.store(1, std::memory_order_relaxed);
        pthread_atfork(nullptr, nullptr, [] {
            process_token_value.fetch_add(1, std::memory_order_relaxed);
        });
        return true;
    }();
    (void)registered;
    return process_token_value.load(std::memory_order_relaxed);
}

}  // namespace vorn
