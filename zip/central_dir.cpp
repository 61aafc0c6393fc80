#include "zip/central_dir.h"

#include "platform/bytes.h"
#include "zip/zip_exception.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qm {

namespace {

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::uint64_t kMaxCentralSize = std::uint64_t{16} << 20;

// The data descriptor at `at` for data of `compressed` bytes, `uncompressed` bytes and CRC
// `crc`: its length when one of its four forms (signature or not, 32- or 64-bit sizes) holds
// these sizes; crcMatches tells whether it holds the CRC too. 0 when none does.
std::size_t matchDescriptor(CBigFile& file, std::uint64_t at, std::uint64_t compressed, std::uint64_t uncompressed,
                            std::uint32_t crc, bool& crcMatches) {
    std::uint8_t d[24] = {};
    const std::size_t got = file.ReadAt(at, d, sizeof d);
    const bool signature = got >= 4 && bin::load32(d) == 0x08074b50;
    const std::size_t skip = signature ? 4 : 0;
    const std::uint8_t* v = d + skip;
    if (got >= skip + 12 && bin::load32(v + 4) == compressed && bin::load32(v + 8) == uncompressed) {
        crcMatches = bin::load32(v) == crc;
        return skip + 12;
    }
    if (got >= skip + 20 && bin::load64(v + 4) == compressed && bin::load64(v + 12) == uncompressed) {
        crcMatches = bin::load32(v) == crc;
        return skip + 20;
    }
    return 0;
}

} // namespace

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
    notes.clear();
    centralRead_ = false;
    central_.clear();
    CBigFile& file = storage->file;
    const std::uint64_t length = file.GetLength();
    windowSize = std::max<std::size_t>(windowSize, 4);
    std::vector<std::uint8_t> window(windowSize);
    std::uint8_t single[CFileHeader::kMaxParseSize];

    // Every offset from `next` on is still to be tested; a window of n bytes tests the
    // offsets whose 4 signature bytes it holds, and the next window starts 3 bytes before its
    // end so that a signature across the boundary is seen.
    std::uint64_t next = 0;
    std::uint64_t skipTo = 0; // signatures before it lie in a streamed entry's data
    while (next + 4 <= length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, length - next));
        const std::size_t n = file.ReadAt(next, window.data(), want);
        if (n < 4)
            break; // the file shrank under us
        const std::span<const std::uint8_t> read(window.data(), n);
        const std::uint8_t* end = read.data() + n;
        for (std::size_t i = CFileHeader::FindSignature(read); i != CFileHeader::npos;
             i = CFileHeader::FindSignature(read, i + 1)) {
            const std::uint8_t* p = read.data() + i;
            const std::uint64_t at = next + i;
            if (at < skipTo)
                continue;
            std::span<const std::uint8_t> bytes(p, static_cast<std::size_t>(end - p));
            if (bytes.size() < CFileHeader::kMaxParseSize && at + bytes.size() < length) {
                // The header runs past this window: read it on its own.
                const std::size_t got = file.ReadAt(at, single, CFileHeader::kMaxParseSize);
                bytes = std::span<const std::uint8_t>(single, got);
            }
            auto header = std::make_unique<CFileHeader>();
            // A signature fewer than 30 bytes before the end of the file is a header cut by the
            // end: no data can follow it, so it is not an entry and the entries before it stay.
            if (!header->Read(bytes, at))
                continue;
            if (headers.size() >= kMaxEntries) {
                notes.push_back("only the first " + std::to_string(kMaxEntries) + " entries of the package are read");
                return;
            }
            if ((header->flags & 0x08) && header->crc32 == 0 && header->compressedSize == 0 &&
                header->uncompressedSize == 0)
                skipTo = std::max(skipTo, ResolveStreamed(*header, length));
            headers.push_back(std::move(header));
        }
        next += n - 3;
    }
}

std::uint64_t CCentralDir::ResolveStreamed(CFileHeader& header, std::uint64_t length) {
    CBigFile& file = storage->file;
    // The central directory, read once per scan: the end record in the last 64 KiB, the
    // directory before it. Junk in front of the package moves every offset by the same amount,
    // which the end record's position shows.
    if (!centralRead_) {
        centralRead_ = true;
        const std::uint64_t tail = std::min<std::uint64_t>(length, 65535 + kEndRecordSize);
        std::vector<std::uint8_t> t(static_cast<std::size_t>(tail));
        const std::size_t got = file.ReadAt(length - tail, t.data(), t.size());
        for (std::size_t i = got >= kEndRecordSize ? got - kEndRecordSize + 1 : 0; i-- > 0;) {
            if (bin::load32(&t[i]) != 0x06054b50)
                continue;
            const std::uint64_t endAt = length - tail + i;
            const std::uint64_t size = bin::load32(&t[i + 12]);
            const std::uint64_t offset = bin::load32(&t[i + 16]);
            if (offset + size > endAt || size > kMaxCentralSize)
                break;
            const std::uint64_t shift = endAt - (offset + size);
            std::vector<std::uint8_t> cd(static_cast<std::size_t>(size));
            const std::size_t have = file.ReadAt(offset + shift, cd.data(), cd.size());
            for (std::size_t k = 0; k + kCentralHeaderSize <= have;) {
                const std::uint8_t* c = &cd[k];
                if (bin::load32(c) != 0x02014b50)
                    break;
                central_.push_back({bin::load32(c + 42) + shift,
                                    {bin::load16(c + 10), bin::load32(c + 16), bin::load32(c + 20), bin::load32(c + 24)}});
                k += kCentralHeaderSize + bin::load16(c + 28) + bin::load16(c + 30) + bin::load16(c + 32);
            }
            std::sort(central_.begin(), central_.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            break;
        }
    }

    std::uint8_t fixed[CFileHeader::kLocalHeaderSize];
    if (file.ReadAt(header.offset, fixed, sizeof fixed) != sizeof fixed)
        return 0;
    const std::uint64_t dataAt = header.offset + CFileHeader::kLocalHeaderSize + header.fileNameLength +
                                 CFileHeader::RepairWord(fixed[28], fixed[29]);
    const auto found = [&](std::uint32_t crc, std::uint64_t compressed, std::uint64_t uncompressed) {
        header.crc32 = crc;
        header.compressedSize = static_cast<std::uint32_t>(compressed);
        header.uncompressedSize = static_cast<std::uint32_t>(uncompressed);
        header.streamed = true;
    };

    const auto it = std::lower_bound(central_.begin(), central_.end(), header.offset,
                                     [](const auto& e, std::uint64_t at) { return e.first < at; });
    if (it != central_.end() && it->first == header.offset && it->second.compressedSize != 0xFFFFFFFF &&
        it->second.uncompressedSize != 0xFFFFFFFF && (it->second.compressedSize != 0 || it->second.uncompressedSize == 0)) {
        const auto& e = it->second;
        found(e.crc32, e.compressedSize, e.uncompressedSize);
        bool crcMatches = false;
        const std::size_t d = matchDescriptor(file, dataAt + e.compressedSize, e.compressedSize, e.uncompressedSize,
                                              e.crc32, crcMatches);
        return dataAt + e.compressedSize + d;
    }

    if (header.method == CFileHeader::kDeflated) {
        // Inflate to the stream's own end; the output is only counted and checked.
        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            return 0;
        std::vector<std::uint8_t> in(1 << 16), out(1 << 16);
        std::uint64_t pos = dataAt;
        std::uint32_t crc = 0;
        int rc = Z_OK;
        while (rc == Z_OK) {
            if (zs.avail_in == 0) {
                const std::size_t got = file.ReadAt(pos, in.data(), in.size());
                if (got == 0)
                    break;
                pos += got;
                zs.next_in = in.data();
                zs.avail_in = static_cast<uInt>(got);
            }
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            crc = static_cast<std::uint32_t>(crc32(crc, out.data(), static_cast<uInt>(out.size() - zs.avail_out)));
            if (zs.total_out > kRatioFreeBytes && zs.total_out > kMaxRatio * zs.total_in)
                break;
            if (rc == Z_BUF_ERROR && zs.avail_in == 0)
                rc = Z_OK; // more input wanted
        }
        const std::uint64_t compressed = zs.total_in;
        const std::uint64_t uncompressed = zs.total_out;
        inflateEnd(&zs);
        if (rc != Z_STREAM_END || compressed > 0xFFFFFFFF || uncompressed > 0xFFFFFFFF) {
            // No end found: what decodes is extracted, and the scan looks inside as usual.
            if (compressed <= 0xFFFFFFFF && uncompressed <= 0xFFFFFFFF && uncompressed > 0)
                found(crc, compressed, uncompressed);
            return 0;
        }
        found(crc, compressed, uncompressed);
        bool crcMatches = false;
        const std::size_t d = matchDescriptor(file, dataAt + compressed, compressed, uncompressed, crc, crcMatches);
        if (d != 0 && !crcMatches)
            notes.push_back(header.fileName + ": the data descriptor's CRC does not match the data");
        return dataAt + compressed + d;
    }

    if (header.method == CFileHeader::kStored) {
        // A descriptor whose sizes equal the bytes before it and whose CRC is theirs.
        const std::uint64_t span = std::min<std::uint64_t>(length > dataAt ? length - dataAt : 0, kMaxStoredSearch);
        std::vector<std::uint8_t> data(static_cast<std::size_t>(span));
        const std::size_t got = file.ReadAt(dataAt, data.data(), data.size());
        std::uint32_t crc = 0;
        for (std::size_t q = 0; q + 12 <= got; ++q) {
            const std::uint8_t* at = &data[q];
            const std::size_t skip = bin::load32(at) == 0x08074b50 ? 4 : 0;
            if (q + skip + 12 <= got && bin::load32(at + skip + 4) == q && bin::load32(at + skip + 8) == q &&
                bin::load32(at + skip) == crc) {
                found(crc, q, q);
                return dataAt + q + skip + 12;
            }
            crc = static_cast<std::uint32_t>(crc32(crc, at, 1));
        }
    }
    return 0;
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
    const bool check = dataDescriptor && header && !header->streamed;
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
