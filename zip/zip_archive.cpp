#include "zip/zip_archive.h"

#include "platform/work_control.h"
#include "zip/deflate_recovery.h"
#include "zip/entry_path.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>

namespace qm {

namespace fs = std::filesystem;

namespace {

// MS-DOS date and time as local time; out-of-range fields are normalised by mktime.
std::optional<std::time_t> dosToTime(std::uint16_t date, std::uint16_t time) {
    std::tm tm{};
    tm.tm_year = (date >> 9) + 1980 - 1900;
    tm.tm_mon = ((date >> 5) & 15) - 1;
    tm.tm_mday = date & 31;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 63;
    tm.tm_sec = (time & 31) * 2;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return std::nullopt;
    return t;
}

// Modification time from the entry, access time now (there is no creation time to set).
bool stampTimes(const fs::path& path, const CFileHeader& header) {
    const auto modified = dosToTime(header.modDate, header.modTime);
    if (!modified)
        return false;
    timespec times[2]{};
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = *modified;
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Names of the parts whose text the salvage reads: damaged data of these is decoded again.
bool isTextPart(const std::string& name) {
    const auto endsWith = [&](std::string_view suffix) {
        if (name.size() < suffix.size())
            return false;
        for (std::size_t i = 0; i < suffix.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(name[name.size() - suffix.size() + i])) != suffix[i])
                return false;
        return true;
    };
    return endsWith(".xml") || endsWith(".rels");
}

// Windows attributes: only the read-only bit (0x01) has a meaning here.
bool applyAttributes(const fs::path& path, std::uint32_t attributes) {
    std::error_code ec;
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (attributes & 0x01)
        fs::permissions(path, write, fs::perm_options::remove, ec);
    else
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
    return !ec;
}

} // namespace

CZipArchive::CZipArchive() : centralDir_(&storage_) {
    info_.bufferSize = CZipInternalInfo::kDefaultBufferSize;
}

CZipArchive::~CZipArchive() {
    // Blocks of a decompressor that was never ended.
    for (void* block : zlibBlocks_)
        std::free(block);
    zlibBlocks_.clear();
}

void* CZipArchive::ZlibAlloc(void* opaque, unsigned items, unsigned size) {
    if (size != 0 && items > SIZE_MAX / size)
        return nullptr;
    void* block = std::malloc(static_cast<std::size_t>(items) * size);
    if (!block || !opaque)
        return block;
    try {
        static_cast<std::vector<void*>*>(opaque)->push_back(block);
    } catch (...) {
        std::free(block);
        return nullptr;
    }
    return block;
}

void CZipArchive::ZlibFree(void* opaque, void* address) {
    if (opaque) {
        auto& blocks = *static_cast<std::vector<void*>*>(opaque);
        if (auto it = std::find(blocks.begin(), blocks.end(), address); it != blocks.end())
            blocks.erase(it);
    }
    std::free(address);
}

std::size_t CZipArchive::Open(const fs::path& path, int mode, int /*volumeSize*/, std::uint64_t /*startOffset*/) {
    if (mode != zipOpen)
        throw std::invalid_argument("CZipArchive::Open: only existing archives can be opened");
    AbortEntry();
    centralDir_.Init(&storage_);
    storage_.Close();
    storage_.Open(path);
    centralDir_.Scan();
    notes_ = centralDir_.notes;
    const std::uint64_t length = storage_.file.GetLength();
    extractLimit_ = std::min(kDefaultExtractLimit,
                             kSizeFreeBytes + (length > (kDefaultExtractLimit / kMaxRatio) ? kDefaultExtractLimit : kMaxRatio * length));
    extractedTotal_ = 0;
    recoveryWorkLeft_ = kRecoveryArchiveWork;
    entryWork_ = deflate::RecoveryLimits{}.work;
    recoveryBackstopMsLeft_ = kRecoveryArchiveBackstopMs;
    return GetCount();
}

bool CZipArchive::GetEntryInfo(std::size_t index, CFileHeader& info) const {
    if (index >= GetCount())
        return false;
    info = centralDir_.GetHeader(index);
    if (slashChange_)
        std::replace(info.fileName.begin(), info.fileName.end(), '\\', '/');
    return true;
}

void CZipArchive::EndInflate() {
    if (inflateStarted_) {
        inflateEnd(&info_.stream);
        inflateStarted_ = false;
    }
}

void CZipArchive::AbortEntry() {
    EndInflate();
    centralDir_.AbortFile();
    info_.buffer.Release();
    fileOpened_ = 0;
}

bool CZipArchive::OpenEntry(std::size_t index) {
    if (index >= GetCount() || fileOpened_ != 0)
        return false;
    info_.buffer.Allocate(static_cast<std::size_t>(info_.bufferSize));
    try {
        centralDir_.OpenFile(index);
    } catch (...) {
        AbortEntry();
        throw;
    }
    const CFileHeader& header = *centralDir_.openedFile;

    info_.stream = z_stream{};
    if (header.method == CFileHeader::kDeflated) {
        info_.stream.zalloc = &CZipArchive::ZlibAlloc;
        info_.stream.zfree = &CZipArchive::ZlibFree;
        info_.stream.opaque = trackZlibMemory_ ? &zlibBlocks_ : nullptr;
        // Raw deflate data: no zlib header, no Adler-32 trailer.
        const int rc = inflateInit2_(&info_.stream, -MAX_WBITS, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
        if (rc != Z_OK && rc != Z_NEED_DICT) {
            AbortEntry();
            throw CZipException(CZipException::ZlibErrToCause(rc));
        }
        inflateStarted_ = true;
    }
    info_.comprLeft = header.compressedSize;
    info_.uncomprLeft = header.uncompressedSize;
    info_.stream.next_in = nullptr;
    info_.stream.avail_in = 0;
    info_.stream.total_out = 0;
    fileOpened_ = -1;
    return true;
}

std::uint32_t CZipArchive::ReadEntryData(void* buffer, std::uint32_t size) {
    if (fileOpened_ == 0 || !buffer || size == 0)
        return 0;
    const std::uint32_t space = std::min(size, info_.uncomprLeft);
    if (space == 0)
        return 0;
    const bool stored = centralDir_.openedFile->method == CFileHeader::kStored;
    z_stream& zs = info_.stream;
    zs.next_out = static_cast<Bytef*>(buffer);
    zs.avail_out = space;
    std::uint32_t produced = 0;

    while (zs.avail_out > 0) {
        if (zs.avail_in == 0 && info_.comprLeft > 0) {
            const std::uint32_t request = std::min<std::uint32_t>(info_.buffer.GetSize(), info_.comprLeft);
            // A short read (the archive ends inside the entry) sets the storage's flag.
            const std::size_t got = storage_.Read(info_.buffer.GetBuffer(), request, false);
            info_.comprLeft -= request;
            zs.next_in = info_.buffer.GetBuffer();
            zs.avail_in = static_cast<uInt>(got);
        }
        if (stored) {
            if (zs.avail_in == 0)
                return produced;
            const std::uint32_t n = std::min(zs.avail_out, zs.avail_in);
            std::memcpy(zs.next_out, zs.next_in, n);
            zs.next_out += n;
            zs.avail_out -= n;
            zs.next_in += n;
            zs.avail_in -= n;
            zs.total_out += n;
            produced += n;
            info_.uncomprLeft -= n;
            continue;
        }
        const uInt before = zs.avail_out;
        const int rc = inflate(&zs, Z_SYNC_FLUSH);
        // Bytes decoded before a fault are kept.
        const std::uint32_t n = before - zs.avail_out;
        produced += n;
        info_.uncomprLeft -= n;
        if (rc == Z_STREAM_END)
            return produced;
        if (rc != Z_OK) {
            // Undecodable data, or compressed bytes that ran out before the stream ended.
            damagedData_ = 1;
            return produced;
        }
    }
    return produced;
}

bool CZipArchive::CloseEntry(const fs::path& outputPath) {
    if (fileOpened_ == 0)
        return false;
    EndInflate();
    bool result = true;
    if (!outputPath.empty()) {
        const CFileHeader& header = *centralDir_.openedFile;
        // A failed stamp leaves the close to finish, so later entries can still be opened.
        result = stampTimes(outputPath, header) && applyAttributes(outputPath, header.externalAttributes);
    }
    fileOpened_ = 0;
    info_.buffer.Release();
    centralDir_.CloseFile(); // may raise for a data descriptor that does not match
    return result;
}

namespace {

// When inflate ran on in step past the damage, what it decoded after the restart point is what
// the recovery decoded there: the recovery's known bytes are laid over it (they mend what
// back-references copied wrongly) rather than added a second time. The two are aligned on the
// first stretch of known recovered bytes; false when it is not found in kept after from or the
// two disagree on more than a few bytes.
bool mergeInStep(std::vector<std::uint8_t>& kept, std::span<const std::uint8_t> added, std::size_t from) {
    constexpr std::size_t kAnchor = 32;
    std::size_t run = 0, a = 0;
    for (; a < added.size() && run < kAnchor; ++a)
        run = added[a] == deflate::kUnknownByte ? 0 : run + 1;
    if (run < kAnchor || from >= kept.size())
        return false;
    a -= kAnchor;
    const auto anchor = added.subspan(a, kAnchor);
    const auto at = std::search(kept.begin() + static_cast<std::ptrdiff_t>(from), kept.end(), anchor.begin(), anchor.end());
    if (at == kept.end())
        return false;
    // added[0] stands for the gap; from added[1] on, added[i] lies over kept[base + i].
    const std::size_t q = static_cast<std::size_t>(at - kept.begin());
    if (q < a || q - a + 1 < from)
        return false;
    const std::size_t base = q - a;
    const std::size_t n = std::min(kept.size() - base, added.size());
    std::size_t differ = 0;
    for (std::size_t i = 1; i < n; ++i)
        differ += added[i] != deflate::kUnknownByte && added[i] != kept[base + i];
    if (differ > n / 100)
        return false;
    for (std::size_t i = 1; i < n; ++i)
        if (added[i] != deflate::kUnknownByte)
            kept[base + i] = added[i];
    kept.insert(kept.end(), added.begin() + static_cast<std::ptrdiff_t>(n), added.end());
    return true;
}

} // namespace

bool CZipArchive::RecoverEntry(const CFileHeader& header, std::uint64_t dataOffset, const fs::path& target,
                               std::uint64_t before) {
    const std::uint64_t length = storage_.file.GetLength();
    if (dataOffset >= length || header.compressedSize > kMaxRecoveredInput)
        return false;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(std::min<std::uint64_t>(header.compressedSize, length - dataOffset)));
    data.resize(storage_.file.ReadAt(dataOffset, data.data(), data.size()));
    deflate::RecoveryLimits limits;
    // What the first pass wrote is given back to the total; the ratio rule holds here too.
    limits.maxOutput = std::min(Room() + before, std::max(kRatioFreeBytes, kMaxRatio * data.size()));
    limits.work = std::min(entryWork_, recoveryWorkLeft_);
    limits.backstop = std::min(limits.backstop, std::chrono::milliseconds(recoveryBackstopMsLeft_));
    if (limits.work == 0 || limits.backstop.count() <= 0)
        return false; // the archive's share of the search is used up: inflate's part stands
    const auto started = std::chrono::steady_clock::now();
    const deflate::RecoveryResult r = deflate::RecoverText(data, limits);
    recoveryWorkLeft_ -= std::min(recoveryWorkLeft_, r.work);
    recoveryBackstopMsLeft_ -= std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    if (r.restarts == 0) {
        // No restart: the damage lay in a stored block, its bytes marked unknown, else nothing
        // better than what inflate gave.
        if (!r.damaged || r.bytes.size() < before)
            return false;
        return writeRecovered(header, target, r.bytes, before, r.restarts, r.outOfBudget);
    }
    if (r.firstGap >= r.bytes.size())
        return false;
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(before));
    {
        CBigFile in;
        in.Open(target);
        kept.resize(in.Read(kept.data(), kept.size()));
    }
    // The output after the gap lies where it belongs and inflate stopped short of it: the
    // recovery's output is taken as it is. What inflate decoded past the point the recovery
    // trusts may come from damaged bits that still looked like text.
    if (r.gapPlaced && kept.size() <= r.firstResume)
        return writeRecovered(header, target, r.bytes, before, r.restarts, r.outOfBudget);
    // What inflate wrote stays whole, and what decoded after the first gap is added. The
    // recovery distrusts the output just before a fault, and after damage that inflate runs on
    // past it marks what back-references copy as unknown: either way it would lose words that
    // inflate got right.
    const std::span<const std::uint8_t> added = std::span(r.bytes).subspan(r.firstGap);
    if (mergeInStep(kept, added, r.firstGap))
        return writeRecovered(header, target, kept, before, r.restarts, r.outOfBudget);
    const std::size_t room = static_cast<std::size_t>(std::max<std::uint64_t>(limits.maxOutput, kept.size()) - kept.size());
    kept.insert(kept.end(), added.begin(), added.begin() + static_cast<std::ptrdiff_t>(std::min(room, added.size())));
    return writeRecovered(header, target, kept, before, r.restarts, r.outOfBudget);
}

bool CZipArchive::writeRecovered(const CFileHeader& header, const fs::path& target, std::span<const std::uint8_t> bytes,
                                 std::uint64_t before, int restarts, bool outOfBudget) {
    CBigFile out;
    out.Create(target);
    out.Write(bytes.data(), bytes.size());
    out.Close();
    extractedTotal_ = extractedTotal_ - std::min(extractedTotal_, before) + bytes.size();
    notes_.push_back(header.fileName + ": damaged compressed data, decoded past the damage (" +
                     std::to_string(restarts) + (restarts == 1 ? " restart" : " restarts") +
                     (outOfBudget ? ", the search reached its limit)" : ")"));
    return true;
}

bool CZipArchive::ExtractEntry(std::size_t index, const fs::path& folder, std::uint32_t bufferSize) {
    if (bufferSize == 0 || index >= GetCount())
        return false;
    storage_.shortRead = false;
    CFileHeader header;
    GetEntryInfo(index, header);

    const fs::path target = ConfinedEntryPath(folder, header.fileName);
    if (target.empty())
        return true; // nothing of the name can be placed inside the folder
    std::error_code same;
    if (fs::equivalent(target, storage_.GetArchivePath(), same))
        return true; // the archive being read: writing there would cut off every later entry
    // Only names with an extension, and only entries whose header announces some data: folder
    // entries and streamed entries whose sizes could not be found are skipped.
    const std::string text = target.string();
    const auto dot = text.rfind('.');
    if (dot == std::string::npos || dot + 1 >= text.size() ||
        (header.crc32 == 0 && header.compressedSize == 0 && header.uncompressedSize == 0))
        return true;

    if (extractedTotal_ >= extractLimit_ && header.uncompressedSize > 0) {
        notes_.push_back(header.fileName + ": not unpacked, the package's total unpacked size limit was reached");
        throw CZipException(CZipException::extractLimit, storage_.GetArchivePath());
    }

    if (!OpenEntry(index))
        return false;
    const bool deflated = header.method == CFileHeader::kDeflated;
    const std::uint64_t dataOffset = centralDir_.dataOffset;
    const bool keep = !discarded_ || !discarded_(target.lexically_relative(folder));
    const bool recoverable = keep && deflated && isTextPart(header.fileName);
    try {
        CBigFile out;
        if (keep) {
            std::error_code ec;
            fs::create_directories(target.parent_path(), ec); // a failure shows when the file is created
            out.Create(target);
        }
        CAutoBuffer buffer(bufferSize);
        std::uint64_t written = 0;
        std::uint32_t crc = 0;
        for (;;) {
            passWorkGate(); // a large entry takes long: a pause holds here, a stop ends the entry
            std::uint32_t n = ReadEntryData(buffer.GetBuffer(), bufferSize);
            const bool damaged = damagedData_ != 0;
            const bool ended = n != bufferSize && !damaged && !storage_.shortRead;
            // The ratio rule: the compressed bytes read so far bound the output.
            const std::uint64_t consumed = deflated ? info_.stream.total_in : written + n;
            const std::uint64_t ratioRoom = std::max(kRatioFreeBytes, kMaxRatio * consumed);
            const bool overRatio = written + n > ratioRoom;
            if (overRatio)
                n = static_cast<std::uint32_t>(ratioRoom - std::min(written, ratioRoom));
            const bool overLimit = n > Room();
            if (overLimit)
                n = static_cast<std::uint32_t>(Room());
            if (n > 0) {
                if (keep)
                    out.Write(buffer.GetBuffer(), n);
                if (recoverable)
                    crc = static_cast<std::uint32_t>(crc32(crc, buffer.GetBuffer(), n));
            }
            extractedTotal_ += n;
            written += n;
            if (overLimit) {
                notes_.push_back(header.fileName + ": cut after " + std::to_string(written) +
                                 " bytes, the package's total unpacked size limit was reached");
                throw CZipException(CZipException::extractLimit, storage_.GetArchivePath());
            }
            if (overRatio) {
                notes_.push_back(header.fileName + ": cut after " + std::to_string(written) +
                                 " bytes, it expands more than " + std::to_string(kMaxRatio) +
                                 " times its compressed size");
                damagedData_ = 0;
                AbortEntry();
                out.Close();
                return true;
            }
            if (damaged) {
                // Keep what decoded; the entry ends here without stamps.
                damagedData_ = 0;
                AbortEntry();
                out.Close();
                if (recoverable)
                    RecoverEntry(header, dataOffset, target, written);
                return true;
            }
            if (storage_.shortRead) {
                out.Close();
                CloseEntry(keep ? target : fs::path{});
                storage_.shortRead = false;
                return true;
            }
            if (ended)
                break;
        }
        out.Close();
        // A stream that decoded to its end with the wrong bytes: damage that inflate fell
        // back into step after, copying wrong bytes ever since.
        const bool wrongCrc = recoverable && header.crc32 != 0 && crc != header.crc32;
        CloseEntry(keep ? target : fs::path{});
        if (wrongCrc)
            RecoverEntry(header, dataOffset, target, written);
        return true;
    } catch (...) {
        damagedData_ = 0;
        AbortEntry();
        throw;
    }
}

} // namespace qm
