#include "zip/file_header.h"

#include "platform/bytes.h"
#include "platform/codepage.h"

#include <algorithm>
#include <cstring>

namespace qm {

namespace {
// Names are UTF-8 in packages written today; older tools wrote the Windows code page.
std::string decodeName(std::span<const std::uint8_t> bytes) {
    if (codepage::isValidUtf8(bytes))
        return std::string(bytes.begin(), bytes.end());
    return codepage::toUtf8(bytes);
}
} // namespace

std::size_t CFileHeader::FindSignature(std::span<const std::uint8_t> bytes, std::size_t from) {
    while (bytes.size() >= 4 && from <= bytes.size() - 4) {
        const void* p = std::memchr(bytes.data() + from, 'P', bytes.size() - 3 - from);
        if (!p)
            break;
        from = static_cast<std::size_t>(static_cast<const std::uint8_t*>(p) - bytes.data());
        if (HasSignature(bytes.data() + from))
            return from;
        ++from;
    }
    return npos;
}

std::uint16_t CFileHeader::RepairWord(std::uint8_t lo, std::uint8_t hi) {
    if (hi != 0x20)
        return static_cast<std::uint16_t>(lo | (hi << 8));
    return lo == 0x20 ? 0 : lo;
}

std::uint16_t CFileHeader::RepairNameLength(std::uint8_t lo, std::uint8_t hi) {
    if (hi == 0x20)
        return lo;
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

std::uint32_t CFileHeader::RepairSize(const std::uint8_t* b) {
    if (b[3] != 0x20)
        return bin::load32(b);
    if (b[2] != 0x20)
        return b[0] + 256u * b[1] + 65536u * b[2];
    if (b[1] != 0x20)
        return b[0] + 256u * b[1];
    if (b[0] != 0x20)
        return b[0];
    return 0;
}

bool CFileHeader::Read(std::span<const std::uint8_t> bytes, std::uint64_t headerOffset) {
    if (bytes.size() < kLocalHeaderSize)
        return false;
    const std::uint8_t* h = bytes.data();
    flags = bin::load16(h + 6);
    method = RepairWord(h[8], h[9]);
    modTime = RepairWord(h[10], h[11]);
    modDate = RepairWord(h[12], h[13]);
    crc32 = bin::load32(h + 14);
    compressedSize = RepairSize(h + 18);
    uncompressedSize = RepairSize(h + 22);
    fileNameLength = RepairNameLength(h[26], h[27]);
    offset = headerOffset;
    if (!HasSignature(h))
        return false;
    fileName.clear();
    if (fileNameLength <= kMaxNameLength) {
        const std::size_t have = std::min<std::size_t>(fileNameLength, bytes.size() - kLocalHeaderSize);
        fileName = decodeName(bytes.subspan(kLocalHeaderSize, have));
    }
    return true;
}

} // namespace qm
