// A view of bytes and the little-endian reads of the binary formats (ZIP, compound files,
// Word's own structures). The bounded reads never touch bytes outside the span they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qm {

using Bytes = std::span<const std::uint8_t>;

namespace bin {

// Values at p, which points at enough readable bytes.
inline std::uint16_t load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t load24(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16;
}
inline std::uint32_t load32(const std::uint8_t* p) { return load24(p) | static_cast<std::uint32_t>(p[3]) << 24; }
inline std::uint64_t load64(const std::uint8_t* p) { return load32(p) | static_cast<std::uint64_t>(load32(p + 4)) << 32; }

// True when [offset, offset + length) lies inside a buffer of the given size (no overflow).
inline bool fits(std::size_t size, std::uint64_t offset, std::uint64_t length) {
    return offset <= size && length <= size - offset;
}

// Reads of values that do not lie wholly inside the span give 0: callers check fits() where
// the difference matters.
inline std::uint8_t u8(Bytes b, std::uint64_t at) { return at < b.size() ? b[at] : 0; }
inline std::uint16_t u16(Bytes b, std::uint64_t at) { return fits(b.size(), at, 2) ? load16(b.data() + at) : 0; }
inline std::uint32_t u24(Bytes b, std::uint64_t at) { return fits(b.size(), at, 3) ? load24(b.data() + at) : 0; }
inline std::uint32_t u32(Bytes b, std::uint64_t at) { return fits(b.size(), at, 4) ? load32(b.data() + at) : 0; }
inline std::int16_t s16(Bytes b, std::uint64_t at) { return static_cast<std::int16_t>(u16(b, at)); }
inline std::int32_t s32(Bytes b, std::uint64_t at) { return static_cast<std::int32_t>(u32(b, at)); }

// The part of b from offset, at most length bytes (shorter at the end of b, empty beyond it).
inline Bytes slice(Bytes b, std::uint64_t offset, std::uint64_t length = UINT64_MAX) {
    if (offset >= b.size())
        return {};
    const std::uint64_t rest = b.size() - offset;
    return b.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length < rest ? length : rest));
}

} // namespace bin
} // namespace qm
