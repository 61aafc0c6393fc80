// An owned byte block and its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm {

class CAutoBuffer {
public:
    CAutoBuffer() = default;
    explicit CAutoBuffer(std::size_t size, bool zero = false) { Allocate(size, zero); }
    CAutoBuffer(const CAutoBuffer& other);
    CAutoBuffer& operator=(const CAutoBuffer& other);
    CAutoBuffer(CAutoBuffer&&) noexcept = default;
    CAutoBuffer& operator=(CAutoBuffer&&) noexcept = default;
    ~CAutoBuffer() = default;

    // Keeps the block when the size is unchanged (zero-filled if asked); otherwise replaces it
    // by a new block of that size. Size 0 leaves no block.
    std::uint8_t* Allocate(std::size_t size, bool zero = false);
    void Release();

    std::uint8_t* GetBuffer() { return data_.get(); }
    const std::uint8_t* GetBuffer() const { return data_.get(); }
    std::size_t GetSize() const { return size_; }
    bool IsAllocated() const { return data_ != nullptr; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

} // namespace qm
