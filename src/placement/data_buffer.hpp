// DataBuffer: the single owner of generated memory, either ordinary
// zero-filled memory or memory bound to one NUMA node through hwloc.
#pragma once

#include <cstdint>

#include "common/result.hpp"
#include "placement/hwloc_handles.hpp"

namespace vorn {

class DataBuffer {
public:
    DataBuffer() = default;  // owns nothing

    // Zero-filled ordinary memory with length = capacity. Throws
    // std::bad_alloc when the memory cannot be had.
    static DataBuffer ordinary(std::uint64_t capacity);

    // Fresh memory bound to the NUMA node with operating-system index
    // `node`, allocated through `topology`, which the buffer keeps to free
    // it; or a failure text. Length = capacity.
    static Result<DataBuffer> allocate_on_node(SharedTopology topology, std::uint64_t capacity,
                                               std::uint64_t node);

    DataBuffer(DataBuffer&& other) noexcept;
    DataBuffer& operator=(DataBuffer&& other) noexcept;
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;
    ~DataBuffer();

    std::uint8_t* data() const { return data_; }
    std::uint64_t length() const { return length_; }
    std::uint64_t capacity() const { return capacity_; }
    // Whether hwloc placed the pages: nobody needs to touch them first.
    bool is_node_bound() const { return source_ == Source::Hwloc; }

    // Ordinary memory only shrinks its visible length; node-bound memory
    // takes min(capacity, n). Capacity never changes.
    void set_length(std::uint64_t n);

private:
    enum class Source : std::uint8_t { None, Heap, Mapped, Hwloc };

    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::uint64_t capacity_ = 0;
    std::uint64_t length_ = 0;
    std::uint64_t mapped_len_ = 0;  // bytes of the mapping backing ordinary memory
    Source source_ = Source::None;
    SharedTopology topology_;  // node-bound form: the topology that allocated data_
};

}  // namespace vorn
