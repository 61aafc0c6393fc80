// The entry table. Entries are found by testing every byte offset of the archive for the
// local header signature; the central directory and its end record are never read, so an
// archive whose tail is lost still yields every entry whose local header survives. A
// signature inside an entry's data (a stored nested package) is taken as an entry too.
#pragma once

#include "zip/auto_buffer.h"
#include "zip/file_header.h"
#include "zip/zip_storage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qm {

class CCentralDir {
public:
    // Bytes read per step of the scan.
    static constexpr std::size_t kScanWindow = 1 << 20;

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
    const CFileHeader* openedFile = nullptr;
    CAutoBuffer localExtraField;
    bool dataDescriptor = false;
    std::uint64_t dataOffset = 0; // first data byte of the open entry
};

} // namespace qm
