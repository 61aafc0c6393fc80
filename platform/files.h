// File helpers the engine needs. None of them throws: each reports success as a bool
// (or an empty result), so damaged or missing files never end a caller by surprise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::files {

namespace fs = std::filesystem;

bool exists(const fs::path& p);
bool isFile(const fs::path& p);
bool isFolder(const fs::path& p);
// A folder itself, not a symbolic link to one.
bool isRealFolder(const fs::path& p);
std::optional<std::uintmax_t> fileSize(const fs::path& p);

// Copies a plain file (with its permission bits), replacing the target if it exists. The copy
// is written beside the target and renamed over it: when it fails the target is as it was.
bool copyFile(const fs::path& from, const fs::path& to);
// Creates a new empty file "<number>.<pid>.part" in the folder of target (O_EXCL), for writing a
// replacement that is then renamed over target. Empty when nothing could be created.
fs::path makeSiblingFile(const fs::path& target);
// A free name of the same form, not created (temp::freeName): for writers that make the file.
fs::path siblingName(const fs::path& target);
bool renameFile(const fs::path& from, const fs::path& to);
bool deleteFile(const fs::path& p); // plain files only; false when missing
// Gives the owner read and write permission (the stand-in for "normal attributes").
// Only for the program's own files: never call it on a user's source.
bool makeWritable(const fs::path& p);
bool createFolders(const fs::path& p);
// Removes a folder only when it is empty; fails silently otherwise.
void removeEmptyFolder(const fs::path& p);
// Removes a folder with everything in it; false when something is left.
bool removeTree(const fs::path& p);

// Names in a folder in the order the file system lists them ("." and ".." left out).
std::vector<std::string> listFolder(const fs::path& folder);
// Deletes every plain file directly inside folder; subfolders are left alone.
void deleteFolderFiles(const fs::path& folder);

// A read-only view of a whole regular file through a memory map: a large file costs address
// space and page cache, never the program's own memory. Opening does not block on a FIFO or
// device; those are refused like unreadable files.
class MappedFile {
public:
    // nullopt when the file cannot be opened, is not a regular file or cannot be mapped.
    static std::optional<MappedFile> open(const fs::path& p);
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    std::size_t size() const { return size_; }

private:
    MappedFile() = default;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// An unnamed file in the temporary folder for data too large to keep in memory. It has no
// name, so it disappears with its process however that ends. Appends are buffered, and the
// file is made only when the buffer first has to be written out (most data fits in it); reads
// see everything appended so far.
class ScratchFile {
public:
    // A scratch file for the temporary folder of now. Failing to make the file shows as a
    // failed append or flush (errno set).
    static std::optional<ScratchFile> create();
    ~ScratchFile();
    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&& other) noexcept;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    bool append(const void* data, std::size_t n);
    bool append(std::string_view s) { return append(s.data(), s.size()); }
    // Writes the buffered bytes out; false (errno set) on a write error.
    bool flush();
    // Reads n bytes at offset; false when they cannot all be read.
    bool readAt(std::uint64_t offset, void* data, std::size_t n);
    // Bytes appended so far.
    std::uint64_t size() const { return written_ + buffer_.size(); }

private:
    ScratchFile() = default;
    bool open(); // makes the file when it does not exist yet
    std::string folder_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::uint64_t written_ = 0;
};

// Whole-file read into memory (small files only; see MappedFile); nullopt when it cannot be read.
std::optional<std::vector<std::uint8_t>> readFile(const fs::path& p);
bool writeFile(const fs::path& p, std::string_view bytes);
// Writes to a new sibling file (makeSiblingFile) and renames it over the target. On failure
// nothing is left and errno tells why.
bool writeFileAtomic(const fs::path& p, std::string_view bytes);
// Removes the temporary files of writers in folder that ended in the middle of a write (their
// process is gone): "<number>.<pid>.part", and "<number>.<pid>.part.XXXXXX", the file libzip
// writes beside such a name. Those of live writers are left alone.
void removeDeadWritersLeftovers(const fs::path& folder);

} // namespace qm::files
