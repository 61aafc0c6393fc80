// The entry table. Entries are found by testing every byte offset of the archive for the
// local header signature, so an archive whose tail is lost still yields every entry whose
// local header survives. A signature inside an entry's data (a stored nested package) is
// taken as an entry too.
//
// Streamed entries (flag bit 3 with zero sizes and CRC in the local header) get their sizes
// from the central directory when it is readable; otherwise a deflated entry is inflated to the
// end of its stream and a stored one is searched for a data descriptor that matches the bytes
// before it. The scan then goes on after the entry's data and descriptor.
#pragma once

#include "zip/auto_buffer.h"
#include "zip/file_header.h"
#include "zip/zip_storage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qm {

class CCentralDir {
public:
    // Bytes read per step of the scan.
    static constexpr std::size_t kScanWindow = 1 << 20;
    // Entries beyond this count are not taken (no real package comes near it).
    static constexpr std::size_t kMaxEntries = 10000;
    // How far a streamed stored entry is searched for its data descriptor.
    static constexpr std::uint64_t kMaxStoredSearch = std::uint64_t{16} << 20;
    // Output of a streamed deflated entry beyond which the end of its stream is not sought:
    // more than this many times its compressed bytes past the first kRatioFreeBytes.
    static constexpr std::uint64_t kMaxRatio = 100;
    static constexpr std::uint64_t kRatioFreeBytes = std::uint64_t{1} << 20;

    explicit CCentralDir(CZipStorage* storage = nullptr) : storage(storage) {}

    // Attaches the storage and forgets every entry.
    void Init(CZipStorage* attachTo);
    void Clear();

    // Finds every local header in the whole file, in ascending offset order. The result is
    // that of testing each offset on its own; windowSize only sets how much is read at once.
    void Scan(std::size_t windowSize = kScanWindow);

    std::size_t GetCount() const { return headers.size(); }
    const CFileHeader& GetHeader(std::size_t index) const { return *headers[index]; }

    // Makes the entry the open one and leaves the file at its first data byte. Raises
    // CZipException badZipFile (with the archive path) for a method other than stored or
    // deflated, and for a local header that can no longer be read.
    void OpenFile(std::size_t index);
    // Releases the open entry. When its flags announce a data descriptor, the descriptor after
    // the data must repeat the header's CRC-32 and sizes, else CZipException badZipFile is
    // raised (after the entry has been released).
    void CloseFile();
    // Releases the open entry without reading anything.
    void AbortFile();

    CZipStorage* storage;
    std::vector<std::unique_ptr<CFileHeader>> headers;
    // What the last scan met that a user should hear of (entries left out, descriptors that
    // did not match), one line each.
    std::vector<std::string> notes;
    const CFileHeader* openedFile = nullptr;
    CAutoBuffer localExtraField;
private:
    // Fills the sizes and CRC of a streamed entry; returns where the scan goes on (0: right
    // after the header, as for any entry).
    std::uint64_t ResolveStreamed(CFileHeader& header, std::uint64_t length);
    bool centralRead_ = false;
    struct CentralEntry {
        std::uint16_t method;
        std::uint32_t crc32, compressedSize, uncompressedSize;
    };
    std::vector<std::pair<std::uint64_t, CentralEntry>> central_; // by local header offset
public:
    bool dataDescriptor = false;
    std::uint64_t dataOffset = 0; // first data byte of the open entry
};

} // namespace qm
