// A value made on first use and published by one compare-and-swap, never
// freed. Two threads may both make it (the loser drops its own), but none
// waits on another: a child forked while a thread was making it cannot hang
// on it, as it could on a function-local static's guard.
#pragma once

#include <atomic>

namespace vorn {

template <class T, class Make>
const T& publish_once(std::atomic<const T*>& slot, Make make) {
    const T* value = slot.load(std::memory_order_acquire);
    if (value == nullptr) {
        const T* made = new T(make());
        if (slot.compare_exchange_strong(value, made, std::memory_order_acq_rel)) {
            value = made;
        } else {
            delete made;  // another thread's won; value now holds it
        }
    }
    return *value;
}

}  // namespace vorn
