#include "zip/central_dir.h"

#include "zip/zip_exception.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qm {

void CCentralDir::Init(CZipStorage* attachTo) {
    storage = attachTo;
    Clear();
}

void CCentralDir::Clear() {
    AbortFile();
    headers.clear();
}

void CCentralDir::Scan(std::size_t windowSize) {
    headers.clear();
    CBigFile& file = storage->file;
    const std::uint64_t length = file.GetLength();
    windowSize = std::max<std::size_t>(windowSize, 4);
    std::vector<std::uint8_t> window(windowSize);
    std::uint8_t single[CFileHeader::kMaxParseSize];

    // Every offset from `next` on is still to be tested; a window of n bytes tests the
    // offsets whose 4 signature bytes it holds, and the next window starts 3 bytes before its
    // end so that a signature across the boundary is seen.
    std::uint64_t next = 0;
    while (next + 4 <= length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, length - next));
        const std::size_t n = file.ReadAt(next, window.data(), want);
        if (n < 4)
            break; // the file shrank under us
        const std::uint8_t* base = window.data();
        const std::uint8_t* end = base + n;
        for (const std::uint8_t* p = base; end - p >= 4; ++p) {
            p = static_cast<const std::uint8_t*>(std::memchr(p, 'P', static_cast<std::size_t>(end - p - 3)));
            if (!p)
                break;
            if (!CFileHeader::HasSignature(p))
                continue;
            const std::uint64_t at = next + static_cast<std::uint64_t>(p - base);
            std::span<const std::uint8_t> bytes(p, static_cast<std::size_t>(end - p));
            if (bytes.size() < CFileHeader::kMaxParseSize && at + bytes.size() < length) {
                // The header runs past this window: read it on its own.
                const std::size_t got = file.ReadAt(at, single, CFileHeader::kMaxParseSize);
                bytes = std::span<const std::uint8_t>(single, got);
            }
            auto header = std::make_unique<CFileHeader>();
            // A signature fewer than 30 bytes before the end of the file is a header cut by the
            // end: no data can follow it, so it is not an entry and the entries before it stay.
            if (header->Read(bytes, at))
                headers.push_back(std::move(header));
        }
        next += n - 3;
    }
}

void CCentralDir::OpenFile(std::size_t index) {
    AbortFile();
    const CFileHeader& header = *headers.at(index);
    const auto damaged = [this] { return CZipException(CZipException::badZipFile, storage->GetArchivePath()); };

    storage->file.Seek(static_cast<std::int64_t>(header.offset), SEEK_SET);
    std::uint8_t local[CFileHeader::kLocalHeaderSize];
    if (storage->Read(local, sizeof local, true) != sizeof local || !CFileHeader::HasSignature(local))
        throw damaged();
    if (header.method != CFileHeader::kStored && header.method != CFileHeader::kDeflated)
        throw damaged();
    const bool descriptor = (local[6] & 0x08) != 0;
    const std::uint16_t extraLength = CFileHeader::RepairWord(local[28], local[29]);
    storage->file.Seek(header.fileNameLength, SEEK_CUR);
    localExtraField.Allocate(extraLength);
    if (extraLength)
        storage->Read(localExtraField.GetBuffer(), extraLength, true);

    openedFile = &header;
    dataDescriptor = descriptor;
    dataOffset = header.offset + CFileHeader::kLocalHeaderSize + header.fileNameLength + extraLength;
}

void CCentralDir::AbortFile() {
    localExtraField.Release();
    dataDescriptor = false;
    openedFile = nullptr;
}

void CCentralDir::CloseFile() {
    const CFileHeader* header = openedFile;
    const bool check = dataDescriptor && header;
    const std::uint64_t dataEnd = dataOffset + (header ? header->compressedSize : 0);
    AbortFile();
    if (!check)
        return;

    // The descriptor follows the data; its signature is optional.
    storage->file.Seek(static_cast<std::int64_t>(dataEnd), SEEK_SET);
    std::uint8_t sig[4];
    const std::size_t got = storage->Read(sig, sizeof sig, true);
    if (got != sizeof sig || !(sig[0] == 'P' && sig[1] == 'K' && sig[2] == 0x07 && sig[3] == 0x08))
        storage->file.Seek(static_cast<std::int64_t>(dataEnd), SEEK_SET);
    std::uint8_t found[12];
    std::uint8_t expected[12];
    const std::uint32_t values[3] = {header->crc32, header->compressedSize, header->uncompressedSize};
    for (int v = 0; v < 3; ++v)
        for (int b = 0; b < 4; ++b)
            expected[v * 4 + b] = static_cast<std::uint8_t>(values[v] >> (8 * b));
    if (storage->Read(found, sizeof found, true) != sizeof found || std::memcmp(found, expected, sizeof found) != 0)
        throw CZipException(CZipException::badZipFile, storage->GetArchivePath());
}

} // namespace qm
