// The read-only, damage-tolerant ZIP archive used to unpack .docx packages.
//
// Entries are found by scanning every byte offset for local headers (see CCentralDir), header
// fields damaged by spaces are repaired, and extraction keeps whatever still decodes: sizes
// are taken from the local header (or found for streamed entries), an archive that ends early
// ends an entry quietly with what was decoded so far. A deflated text part (".xml", ".rels")
// whose data is damaged (inflate fails, or the CRC does not match) is decoded again past the
// damage (see deflate_recovery.h). Limits on the expansion ratio, the total output and the
// entry count keep a hostile package from filling memory or disk; what they cut is noted.
//
// Typical use: n = Open(path), then ExtractEntry(i, folder) for i from 0 to n - 1. Errors are raised as CZipException (a
// damaged archive, an unsupported method, the extraction cap) and CZipFileException (the
// archive cannot be opened, a target file cannot be created or written).
//
// The document server keeps a reader of its own (docserver/zip_package.h says why): it reads
// packages the way Word does, not with the extraction rules above. Both use the local header
// layout and signature search of file_header.h.
#pragma once

#include "zip/central_dir.h"
#include "zip/deflate_recovery.h"
#include "zip/file_header.h"
#include "zip/zip_exception.h"
#include "zip/zip_internal_info.h"
#include "zip/zip_storage.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace qm {

class CZipArchive {
public:
    enum OpenMode { zipOpen = 0 }; // open an existing archive; the only mode
    // Total bytes all extractions of one archive may write, at most; Open lowers it to
    // kSizeFreeBytes + kMaxRatio times the archive's length.
    static constexpr std::uint64_t kDefaultExtractLimit = std::uint64_t{1} << 30;
    static constexpr std::uint64_t kSizeFreeBytes = std::uint64_t{64} << 20;
    // An entry is cut where its output passes kMaxRatio times the compressed bytes read for it,
    // once past its first kRatioFreeBytes (well-known readers of these formats do the same).
    static constexpr std::uint64_t kMaxRatio = CCentralDir::kMaxRatio;
    static constexpr std::uint64_t kRatioFreeBytes = CCentralDir::kRatioFreeBytes;
    // Damaged deflated text parts up to this compressed size are decoded again past the damage.
    static constexpr std::uint64_t kMaxRecoveredInput = std::uint64_t{64} << 20;
    // Work the search past damage may do for all entries of one archive together (each entry
    // also has the recovery's own limit, deflate::RecoveryLimits::work), so that many damaged
    // entries cannot make it slow: about 10 s. Counted, not timed, so that the analysis and
    // the save of one package decode the same.
    static constexpr std::uint64_t kRecoveryArchiveWork = (std::uint64_t{10} << 30) / deflate::kWorkScale;
    // Wall-time backstop for the same, far above what kRecoveryArchiveWork takes.
    static constexpr std::int64_t kRecoveryArchiveBackstopMs = 100000;
    static constexpr std::uint32_t kDefaultOutputBuffer = 65535;

    CZipArchive();
    ~CZipArchive(); // frees decompressor memory still held, closes the file
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;

    // Opens an existing archive, finds its entries and returns their count (GetCount()).
    // volumeSize and startOffset are accepted for the callers' sake and have no effect: the
    // whole file is always scanned from offset 0.
    std::size_t Open(const std::filesystem::path& path, int mode = zipOpen, int volumeSize = 0,
              std::uint64_t startOffset = 0);

    std::size_t GetCount() const { return centralDir_.GetCount(); }
    // Sets the work left for the search past damage in this archive, which is then also the
    // most one entry may take (Open resets both).
    void SetRecoveryWork(std::uint64_t left) { recoveryWorkLeft_ = entryWork_ = left; }
    // Copies the entry's header; every "\" in the copy's name becomes the native "/". False
    // when the index is not below the entry count.
    bool GetEntryInfo(std::size_t index, CFileHeader& info) const;

    // Writes the entry to its place under folder (see ConfinedEntryPath), creating the folders
    // on the way. Returns true also for a damaged entry (the file then holds what decoded) and
    // for an entry that is skipped: a folder entry, a name without an extension, one that
    // cannot be placed inside folder, or an entry whose CRC-32 and sizes are all zero. False
    // when the index is out of range, the buffer size is 0 or the entry cannot be opened.
    bool ExtractEntry(std::size_t index, const std::filesystem::path& folder,
                      std::uint32_t bufferSize = kDefaultOutputBuffer);

    // Names the places (relative to the target folder) whose entries the caller deletes unread.
    // ExtractEntry still unpacks such an entry, counts it against the limits and notes what was
    // cut, so the entries after it fare as they would otherwise, but writes no file and runs no
    // search past damaged data for it. Each file made and deleted costs the file system far more
    // than unpacking the entry does.
    void SetDiscarded(std::function<bool(const std::filesystem::path& relative)> discarded) {
        discarded_ = std::move(discarded);
    }

    // The steps ExtractEntry runs.
    bool OpenEntry(std::size_t index);
    std::uint32_t ReadEntryData(void* buffer, std::uint32_t size);
    // Ends the open entry; with an output path, stamps the file with the entry's time and
    // attributes (false when that fails; the entry is closed all the same).
    bool CloseEntry(const std::filesystem::path& outputPath = {});

    // The total number of bytes all extractions of this archive may write (set after Open).
    void SetExtractLimit(std::uint64_t bytes) { extractLimit_ = bytes; }
    std::uint64_t GetExtractLimit() const { return extractLimit_; }
    std::uint64_t GetExtractedTotal() const { return extractedTotal_; }

    // One line for each thing a user should hear of: entries cut by a limit, damaged parts
    // decoded past their damage, entries left out by the scan. Cleared by Open.
    const std::vector<std::string>& GetNotes() const { return notes_; }

    // zlib blocks currently allocated through the archive's hooks.
    std::size_t GetLiveZlibBlocks() const { return zlibBlocks_.size(); }

private:
    static void* ZlibAlloc(void* opaque, unsigned items, unsigned size);
    static void ZlibFree(void* opaque, void* address);
    // Ends the open entry without reading or stamping anything.
    void AbortEntry();
    void EndInflate();
    // Decodes a damaged deflated text part again past its damage and adds what follows the
    // damage to the before bytes inflate wrote to target; true when target now holds the result.
    bool RecoverEntry(const CFileHeader& header, std::uint64_t dataOffset, const std::filesystem::path& target,
                      std::uint64_t before);
    // Writes a recovered part over the before bytes inflate wrote, with its note.
    bool writeRecovered(const CFileHeader& header, const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                        std::uint64_t before, int restarts, bool outOfBudget);
    // Bytes an entry may still write: the archive's total limit less what was written.
    std::uint64_t Room() const { return extractLimit_ - std::min(extractedTotal_, extractLimit_); }

    int damagedData_ = 0;               // set when decompression failed
    bool slashChange_ = true;           // names handed out use the native separator
    bool trackZlibMemory_ = true;       // zlib blocks are recorded in zlibBlocks_
    CZipInternalInfo info_;
    CZipStorage storage_;
    std::vector<void*> zlibBlocks_;
    signed char fileOpened_ = 0;        // 0: no entry open, -1: an entry is open for extraction
    bool inflateStarted_ = false;
    CCentralDir centralDir_;
    std::uint64_t extractLimit_ = kDefaultExtractLimit;
    std::function<bool(const std::filesystem::path&)> discarded_;
    std::uint64_t extractedTotal_ = 0;
    std::uint64_t recoveryWorkLeft_ = kRecoveryArchiveWork;
    std::uint64_t entryWork_ = deflate::RecoveryLimits{}.work; // the most for one entry
    std::int64_t recoveryBackstopMsLeft_ = kRecoveryArchiveBackstopMs;
    std::vector<std::string> notes_;
};

} // namespace qm
