// Little-endian byte helpers for the binary formats: a growing writer with patching, and
// bounds-checked reads that never touch bytes outside the span they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qm::docserver::bin {

using Bytes = std::span<const std::uint8_t>;

// True when [offset, offset + length) lies inside a buffer of the given size (no overflow).
inline bool fits(std::size_t size, std::uint64_t offset, std::uint64_t length) {
    return offset <= size && length <= size - offset;
}

// Reads of values that lie outside the span give 0: callers check fits() where the
// difference matters.
inline std::uint8_t u8(Bytes b, std::uint64_t at) { return at < b.size() ? b[at] : 0; }
inline std::uint16_t u16(Bytes b, std::uint64_t at) {
    return fits(b.size(), at, 2) ? std::uint16_t(b[at] | (b[at + 1] << 8)) : 0;
}
inline std::uint32_t u32(Bytes b, std::uint64_t at) {
    return fits(b.size(), at, 4) ? std::uint32_t(b[at]) | (std::uint32_t(b[at + 1]) << 8) |
                                       (std::uint32_t(b[at + 2]) << 16) | (std::uint32_t(b[at + 3]) << 24)
                                 : 0;
}
inline std::int16_t s16(Bytes b, std::uint64_t at) { return static_cast<std::int16_t>(u16(b, at)); }
inline std::int32_t s32(Bytes b, std::uint64_t at) { return static_cast<std::int32_t>(u32(b, at)); }

// The part of b from offset, at most length bytes (empty when offset is outside).
inline Bytes slice(Bytes b, std::uint64_t offset, std::uint64_t length = UINT64_MAX) {
    if (offset >= b.size())
        return {};
    const std::uint64_t rest = b.size() - offset;
    return b.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length < rest ? length : rest));
}

// An append-only byte buffer with fixed-position patching.
class Writer {
public:
    std::vector<std::uint8_t> bytes;

    std::size_t size() const { return bytes.size(); }
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u16(std::uint16_t v) {
        bytes.push_back(std::uint8_t(v));
        bytes.push_back(std::uint8_t(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(std::uint8_t(v >> (8 * i)));
    }
    void put(Bytes b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
    void zeros(std::size_t n) { bytes.insert(bytes.end(), n, 0); }
    // Pads with zeros up to the next multiple of align.
    void align(std::size_t align) {
        if (bytes.size() % align)
            zeros(align - bytes.size() % align);
    }
    void padTo(std::size_t size) {
        if (bytes.size() < size)
            zeros(size - bytes.size());
    }
    // Appends UTF-16LE code units of an ASCII string.
    void ascii16(std::string_view s) {
        for (char c : s)
            u16(static_cast<unsigned char>(c));
    }
    void set16(std::size_t at, std::uint16_t v) {
        padTo(at + 2);
        bytes[at] = std::uint8_t(v);
        bytes[at + 1] = std::uint8_t(v >> 8);
    }
    void set32(std::size_t at, std::uint32_t v) {
        padTo(at + 4);
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = std::uint8_t(v >> (8 * i));
    }
};

} // namespace qm::docserver::bin
