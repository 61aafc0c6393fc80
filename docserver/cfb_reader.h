// A damage-tolerant reader of OLE2 compound files.
//
// Every structure is checked against the bytes that exist. When the header is lost the FAT
// sectors are found by their self-marks and the directory by its root entry; when the FAT is
// lost, streams are read as contiguous sector runs (as Word writes them); a broken sector
// chain continues with the next sector. Nothing here throws on bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::docserver::cfb {

struct DirEntry {
    std::string name;          // UTF-8
    std::uint8_t type = 0;     // 1 storage, 2 stream, 5 root; 0 unused
    std::uint32_t left = 0, right = 0, child = 0;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
};

// Where a stream's bytes lie in the file: one file offset per sector (or mini sector).
struct StreamMap {
    std::size_t unit = 0;
    std::vector<std::size_t> offsets;
    std::uint64_t size = 0;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> file);

    bool headerValid() const { return headerValid_; }
    bool fatFound() const { return !fat_.empty(); }
    bool directoryFound() const { return !entries_.empty(); }
    // True when the FAT, or the directory, is the one the header names (not one found by a scan).
    bool fatFromHeader() const { return fatFromHeader_; }
    bool directoryFromHeader() const { return directoryFromHeader_; }
    std::size_t sectorSize() const { return sectorSize_; }
    std::size_t sectorCount() const { return sectorCount_; }
    std::size_t sectorOffset(std::uint32_t sector) const { return (std::size_t(sector) + 1) * sectorSize_; }

    const std::vector<DirEntry>& entries() const { return entries_; }
    // A stream by name (case-insensitive): a child of the root storage when the tree can be
    // walked, otherwise any stream entry of that name.
    const DirEntry* findStream(std::string_view name) const;
    // Every stream reachable from the root storage, with its path ("ObjectPool/_1/\001Ole");
    // empty when the tree cannot be walked.
    std::vector<std::pair<std::string, const DirEntry*>> streamPaths() const;

    std::vector<std::uint8_t> read(const DirEntry& entry) const;
    // True when the entry's chain (and for a small stream the mini stream's) follows the FAT
    // link by link to an end mark after exactly the sectors its size needs.
    bool intact(const DirEntry& entry) const;
    StreamMap map(const DirEntry& entry) const;
    // A chain of regular sectors from start, at most maxBytes long.
    std::vector<std::uint8_t> readChain(std::uint32_t start, std::uint64_t maxBytes) const;
    // The sectors no FAT entry points to that begin a chain (candidates for lost streams).
    std::vector<std::uint32_t> chainStarts() const;

private:
    std::vector<std::size_t> chainOffsets(std::uint32_t start, std::uint64_t maxBytes) const;
    std::vector<std::uint32_t> chain(std::uint32_t start, std::size_t maxSectors) const;
    void loadHeaderFat();
    void scanForFat();
    void loadDirectory(std::uint32_t start);
    void scanForDirectory();
    void loadMiniFat(std::uint32_t start, std::uint32_t count);
    void guessMiniFat();
    bool plausibleFatSector(std::uint32_t sector) const;
    std::span<const std::uint8_t> sector(std::uint32_t s) const;

    std::span<const std::uint8_t> file_;
    bool headerValid_ = false;
    bool fatFromHeader_ = false;
    bool directoryFromHeader_ = false;
    std::size_t sectorSize_ = 512;
    std::size_t sectorCount_ = 0;
    std::uint32_t miniCutoff_ = 4096;
    std::vector<std::uint32_t> fat_;
    std::vector<std::uint32_t> miniFat_;
    bool miniFatKnown_ = false;
    std::vector<DirEntry> entries_;
    std::vector<std::uint32_t> rootChildren_;
};

// True when the bytes start with the compound file signature.
bool hasSignature(std::span<const std::uint8_t> bytes);

} // namespace qm::docserver::cfb
