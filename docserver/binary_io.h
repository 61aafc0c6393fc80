// The writing half of the little-endian byte helpers (platform/bytes.h has the reads): a
// growing buffer with patching.
#pragma once

#include "platform/bytes.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qm {
namespace bin {

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

} // namespace bin

namespace docserver {
namespace bin = ::qm::bin;
} // namespace docserver
} // namespace qm
