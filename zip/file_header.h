// One entry as its local file header describes it, with the repairs for header fields that
// a text-mode transfer damaged by turning zero bytes into spaces (0x20).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qm {

class CFileHeader {
public:
    static constexpr std::size_t kLocalHeaderSize = 30;
    // The only compression methods that can be extracted.
    static constexpr std::uint16_t kStored = 0;
    static constexpr std::uint16_t kDeflated = 8;
    // Longer name lengths are taken for damage: the entry keeps an empty name.
    static constexpr std::size_t kMaxNameLength = 100;
    // Enough bytes from a header's start to parse it with its longest accepted name.
    static constexpr std::size_t kMaxParseSize = kLocalHeaderSize + kMaxNameLength;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    static bool HasSignature(const std::uint8_t* p) {
        return p[0] == 'P' && p[1] == 'K' && p[2] == 0x03 && p[3] == 0x04;
    }
    // Offset of the first local header signature ("PK" 03 04) at or after from, or npos.
    static std::size_t FindSignature(std::span<const std::uint8_t> bytes, std::size_t from = 0);

    // Fills the fields from the local header at the start of bytes, which holds as much of the
    // file from there as is available (kMaxParseSize is always enough). A name cut by the end
    // of the bytes is kept as far as it goes. False when the bytes are shorter than a header
    // or do not start with the signature.
    bool Read(std::span<const std::uint8_t> bytes, std::uint64_t headerOffset);

    // Repair for the 2-byte method, time and date fields: a high byte 0x20 leaves the low byte
    // alone, two spaces give 0.
    static std::uint16_t RepairWord(std::uint8_t lo, std::uint8_t hi);
    // Repair for the name length: a high byte 0x20 leaves the low byte (two spaces give 32).
    static std::uint16_t RepairNameLength(std::uint8_t lo, std::uint8_t hi);
    // Repair for the 4-byte sizes: spaces are dropped from the top down, each byte only when
    // every byte above it was a space.
    static std::uint32_t RepairSize(const std::uint8_t* b);

    std::uint16_t method = 0;
    std::uint16_t modTime = 0;
    std::uint16_t modDate = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t fileNameLength = 0;
    std::uint32_t externalAttributes = 0x20; // the archive attribute; never read from the file
    std::uint64_t offset = 0;                // of the local header in the archive
    std::string fileName;                    // UTF-8
    // The local header announces a data descriptor and left the sizes to it (streamed entry);
    // the sizes and CRC above were then found by the scan, and the descriptor needs no check.
    bool streamed = false;
    std::uint16_t flags = 0;                 // general-purpose flags of the local header

    bool operator==(const CFileHeader&) const = default;
};

} // namespace qm
