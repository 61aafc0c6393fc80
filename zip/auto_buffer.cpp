#include "zip/auto_buffer.h"

#include <cstring>

namespace qm {

CAutoBuffer::CAutoBuffer(const CAutoBuffer& other) {
    *this = other;
}

CAutoBuffer& CAutoBuffer::operator=(const CAutoBuffer& other) {
    if (this == &other)
        return *this;
    Allocate(other.size_);
    if (size_)
        std::memcpy(data_.get(), other.data_.get(), size_);
    return *this;
}

std::uint8_t* CAutoBuffer::Allocate(std::size_t size, bool zero) {
    if (size != size_) {
        Release();
        if (size) {
            data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
            size_ = size;
        }
    }
    if (zero && size_)
        std::memset(data_.get(), 0, size_);
    return data_.get();
}

void CAutoBuffer::Release() {
    data_.reset();
    size_ = 0;
}

} // namespace qm
