// Allocation and release of both forms of DataBuffer.
#include "placement/data_buffer.hpp"

#include <hwloc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace vorn {
namespace {

// Below this, calloc's arena serves small chunks faster than a fresh mapping.
constexpr std::uint64_t MAPPING_THRESHOLD = std::uint64_t{1} << 20;

std::uint64_t page_rounded(std::uint64_t n) {
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Binds the calling thread's own memory policy to a node set for its scope,
// then puts back the policy the thread had: nothing outlives the call.
class ThreadBindingScope {
public:
    ThreadBindingScope(hwloc_topology_t topology, hwloc_const_nodeset_t nodeset)
        : topology_(topology), previous_(hwloc_bitmap_alloc()) {
        if (!previous_) throw std::bad_alloc();
        if (hwloc_get_membind(topology_, previous_.get(), &previous_policy_, THREAD_FLAGS) != 0) {
            failure_ = hwloc_failure_text("hwloc_get_membind", errno);
            return;
        }
        if (hwloc_set_membind(topology_, nodeset, HWLOC_MEMBIND_BIND, THREAD_FLAGS) != 0) {
            failure_ = hwloc_failure_text("hwloc_set_membind", errno);
            return;
        }
        bound_ = true;
    }
    ThreadBindingScope(const ThreadBindingScope&) = delete;
    ThreadBindingScope& operator=(const ThreadBindingScope&) = delete;
    ~ThreadBindingScope() {
        if (!bound_) return;
        if (hwloc_set_membind(topology_, previous_.get(), previous_policy_, THREAD_FLAGS) != 0) {
            // Never leave the thread bound: the system default at least.
            hwloc_set_membind(topology_, hwloc_topology_get_complete_nodeset(topology_),
                              HWLOC_MEMBIND_DEFAULT, THREAD_FLAGS);
        }
    }
    // Empty when the thread is bound.
    const std::string& failure() const { return failure_; }

private:
    static constexpr int THREAD_FLAGS = HWLOC_MEMBIND_THREAD | HWLOC_MEMBIND_BYNODESET;
    hwloc_topology_t topology_;
    BitmapPtr previous_;
    hwloc_membind_policy_t previous_policy_ = HWLOC_MEMBIND_DEFAULT;
    bool bound_ = false;
    std::string failure_;
};

// When hwloc cannot hand out bound memory directly: ordinary memory whose
// pages the calling thread faults in while its own policy binds it to the
// node set. The policy places only the pages faulted while it holds, so
// the faulting cannot be left to the workers; one write per page is
// enough, since the kernel hands out each page zero-filled.
Result<void*> allocate_by_first_touch(hwloc_topology_t topology, std::uint64_t capacity,
                                      hwloc_const_nodeset_t nodeset) {
    const hwloc_topology_membind_support* membind = hwloc_topology_get_support(topology)->membind;
    if (!membind->set_thisthread_membind || !membind->get_thisthread_membind) {
        return Error{"cannot bind the calling thread"};
    }
    ThreadBindingScope bound(topology, nodeset);
    if (!bound.failure().empty()) return Error{bound.failure()};
    void* p = hwloc_alloc(topology, capacity);
    if (p == nullptr) return Error{hwloc_failure_text("hwloc_alloc", errno)};
    auto* bytes = static_cast<volatile std::uint8_t*>(p);
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    for (std::uint64_t at = 0; at < capacity; at += page) bytes[at] = 0;
    return p;
}

// The node set of the single node `node`, when this process may place
// memory there.
Result<BitmapPtr> allowed_node_set(hwloc_topology_t topology, std::uint64_t node) {
    hwloc_const_nodeset_t allowed = hwloc_topology_get_allowed_nodeset(topology);
    const int last = hwloc_bitmap_last(allowed);
    if (last < 0 || node > static_cast<std::uint64_t>(last) ||
        !hwloc_bitmap_isset(allowed, static_cast<unsigned>(node))) {
        return Error{"NUMA node " + std::to_string(node) + " is not allowed here"};
    }
    BitmapPtr nodeset(hwloc_bitmap_alloc());
    if (!nodeset || hwloc_bitmap_only(nodeset.get(), static_cast<unsigned>(node)) != 0)
        throw std::bad_alloc();
    return nodeset;
}

// Without binding support (another kind of system, or a topology that is
// not this machine's) hwloc would hand out unbound memory as if bound.
bool can_bind_memory(hwloc_topology_t topology) {
    const hwloc_topology_membind_support* membind = hwloc_topology_get_support(topology)->membind;
    return membind->bind_membind && (membind->alloc_membind || membind->set_area_membind);
}

// `capacity` (> 0) bytes on the node set: allocated bound when hwloc can do
// that directly, else placed by first touch.
Result<void*> bound_memory(hwloc_topology_t topology, std::uint64_t capacity,
                           hwloc_const_nodeset_t nodeset) {
    void* p = hwloc_alloc_membind(topology, capacity, nodeset, HWLOC_MEMBIND_BIND,
                                  HWLOC_MEMBIND_BYNODESET);
    if (p != nullptr) {
        // As for ordinary memory: huge pages make the workers' first writes
        // far cheaper than one fault per 4 KiB page; the binding holds for
        // them too. Advice only; failure changes nothing.
        madvise(p, page_rounded(capacity), MADV_HUGEPAGE);
        return p;
    }
    return allocate_by_first_touch(topology, capacity, nodeset);
}

}  // namespace

DataBuffer DataBuffer::ordinary(std::uint64_t capacity) {
    DataBuffer buffer;
    if (capacity == 0) return buffer;
    if (capacity > static_cast<std::uint64_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    if (capacity < MAPPING_THRESHOLD) {
        void* p = std::calloc(capacity, 1);
        if (p == nullptr) throw std::bad_alloc();
        buffer.data_ = static_cast<std::uint8_t*>(p);
        buffer.source_ = Source::Heap;
    } else {
        // A fresh anonymous mapping is zero-filled by the kernel. Asking for
        // transparent huge pages makes the workers' first touch of the pages
        // far cheaper than one fault per 4 KiB page.
        const std::uint64_t mapped = page_rounded(capacity);
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        madvise(p, mapped, MADV_HUGEPAGE);  // advice only; failure changes nothing
        buffer.data_ = static_cast<std::uint8_t*>(p);
        buffer.mapped_len_ = mapped;
        buffer.source_ = Source::Mapped;
    }
    buffer.capacity_ = capacity;
    buffer.length_ = capacity;
    return buffer;
}

Result<DataBuffer> DataBuffer::allocate_on_node(SharedTopology topology, std::uint64_t capacity,
                                                std::uint64_t node) {
    constexpr const char* FAILED = "Failed to allocate NUMA memory: ";
    Result<BitmapPtr> nodeset = allowed_node_set(topology.get(), node);
    if (!nodeset) return Error{FAILED + nodeset.error()};
    if (!can_bind_memory(topology.get()))
        return Error{std::string(FAILED) + "hwloc cannot bind memory here"};
    DataBuffer buffer;
    if (capacity > 0) {
        Result<void*> memory = bound_memory(topology.get(), capacity, nodeset.value().get());
        if (!memory) return Error{FAILED + memory.error()};
        buffer.data_ = static_cast<std::uint8_t*>(memory.value());
    }
    buffer.capacity_ = capacity;
    buffer.length_ = capacity;
    buffer.source_ = Source::Hwloc;
    buffer.topology_ = std::move(topology);
    return buffer;
}

DataBuffer::DataBuffer(DataBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)),
      mapped_len_(std::exchange(other.mapped_len_, 0)),
      source_(std::exchange(other.source_, Source::None)),
      topology_(std::move(other.topology_)) {}

DataBuffer& DataBuffer::operator=(DataBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        length_ = std::exchange(other.length_, 0);
        mapped_len_ = std::exchange(other.mapped_len_, 0);
        source_ = std::exchange(other.source_, Source::None);
        topology_ = std::move(other.topology_);
    }
    return *this;
}

DataBuffer::~DataBuffer() { release(); }

void DataBuffer::set_length(std::uint64_t n) {
    if (source_ == Source::Hwloc) {
        length_ = n < capacity_ ? n : capacity_;
    } else if (n <= length_) {
        length_ = n;
    }
}

void DataBuffer::release() noexcept {
    switch (source_) {
        case Source::None:
            break;
        case Source::Heap:
            std::free(data_);
            break;
        case Source::Mapped:
            munmap(data_, mapped_len_);
            break;
        case Source::Hwloc:
            // The memory goes back through the topology that allocated it, so
            // the topology is destroyed only afterwards.
            if (capacity_ != 0 && hwloc_free(topology_.get(), data_, capacity_) != 0) {
                std::fprintf(stderr, "ERROR: Failed to liberate hwloc allocation (%s).\n",
                             hwloc_failure_text("hwloc_free", errno).c_str());
            }
            topology_.reset();
            break;
    }
    data_ = nullptr;
    capacity_ = length_ = mapped_len_ = 0;
    source_ = Source::None;
}

}  // namespace vorn
