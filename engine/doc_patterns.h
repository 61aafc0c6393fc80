// The byte patterns of the Word binary format and of its compound-file container that the
// .doc salvage looks for, and the scans that find them.
//
// Every scan gives the offsets of a one-byte-at-a-time scan that reads `readLength` bytes at
// each offset and stops when fewer than `readLength` bytes remain; it runs over a memory map
// or buffer, never one read per offset. The analysis and the save side both use these.
#pragma once

#include "platform/bytes.h"
#include "platform/files.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace qm::doc {

// A byte pattern and the number of bytes a scan reads at each offset (at least its length).
struct Pattern {
    Bytes bytes;
    std::size_t readLength;
};

namespace pattern {

// The first four entries of a contiguous sector chain in a compound-file allocation table.
inline constexpr std::array<std::uint8_t, 16> kAllocationRunBytes{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
// End of a sector chain.
inline constexpr std::array<std::uint8_t, 4> kChainEndBytes{0xFE, 0xFF, 0xFF, 0xFF};
// "Unknown" in UTF-16LE followed by FF FF (an author entry).
inline constexpr std::array<std::uint8_t, 16> kAuthorAnchorBytes{'U', 0, 'n', 0, 'k', 0, 'n', 0,
                                                                 'o', 0, 'w', 0, 'n', 0, 0xFF, 0xFF};
// "No List" in UTF-16LE followed by 00 00 (a list style name).
inline constexpr std::array<std::uint8_t, 16> kListAnchorBytes{'N', 0, 'o', 0, ' ', 0, 'L', 0,
                                                               'i', 0, 's', 0, 't', 0, 0, 0};
// End of the run that follows the list anchor.
inline constexpr std::array<std::uint8_t, 4> kRunEndBytes{0xFF, 0xFF, 0xFF, 0xFF};
// Signature inside a picture record, 4 bytes after the record's start (its size field).
inline constexpr std::array<std::uint8_t, 4> kPictureRecordBytes{0x44, 0x00, 0x64, 0x00};
// The first 32 bytes of a compound-file header: signature, zero class id, minor version 0x3E,
// major version 3, byte order FE FF, sector shift 9.
inline constexpr std::array<std::uint8_t, 32> kContainerHeader{
    0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0,
    0,    0,    0,    0,    0,    0,    0,    0,    0x3E, 0x00, 0x03, 0x00, 0xFE, 0xFF, 0x09, 0x00};

inline constexpr Pattern kAllocationRun{kAllocationRunBytes, 16};
inline constexpr Pattern kChainEnd{kChainEndBytes, 4};
inline constexpr Pattern kAuthorAnchor{kAuthorAnchorBytes, 16};
inline constexpr Pattern kListAnchor{kListAnchorBytes, 16};
inline constexpr Pattern kRunEnd{kRunEndBytes, 4};
inline constexpr Pattern kPictureRecord{kPictureRecordBytes, 4};

// The start of a Word binary File Information Block (16 bytes read per offset):
// EC A5 | C1 00 | any | 20/40/60/80 | 09 04 | 00 00 | any | 12 | BF | 00 00 00.
inline constexpr std::size_t kDocumentHeaderLength = 16;
bool isDocumentHeader(const std::uint8_t* p); // p points at 16 readable bytes

} // namespace pattern

// First offset >= from where the pattern matches, or nullopt.
std::optional<std::size_t> findFirst(Bytes data, std::size_t from, const Pattern& p);
// Last offset >= from where the pattern matches (the scan does not stop at a match), or nullopt.
std::optional<std::size_t> findLast(Bytes data, std::size_t from, const Pattern& p);
// First offset >= from of a document header, or nullopt.
std::optional<std::size_t> findDocumentHeader(Bytes data, std::size_t from = 0);


// A read-only view of a whole file through a memory map; the file is never changed, nor are
// its permissions, and a file that is not regular is refused without blocking.
using SourceView = files::MappedFile;

} // namespace qm::doc
