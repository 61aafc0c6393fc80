// A file handle with 64-bit positions. Every operating-system error is raised as a
// CZipFileException; reads at the end of the file return fewer bytes instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace qm {

class CBigFile {
public:
    CBigFile() = default;
    ~CBigFile();
    CBigFile(const CBigFile&) = delete;
    CBigFile& operator=(const CBigFile&) = delete;

    // Opens an existing file for reading. The archive is only ever read, so the file is never
    // opened for writing and a read-only copy works too.
    void Open(const std::filesystem::path& path);
    // Creates (or truncates) a file for writing; a symbolic link in the last place is refused.
    void Create(const std::filesystem::path& path);
    // Closes the handle; a failing close of a written file is raised (the data may be lost).
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::filesystem::path& GetFilePath() const { return path_; }

    // Reads up to size bytes at the current position; fewer only at the end of the file.
    std::size_t Read(void* buffer, std::size_t size);
    // Reads up to size bytes at offset without moving the current position.
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t size);
    // Writes all bytes.
    void Write(const void* buffer, std::size_t size);
    // Moves the position (whence: SEEK_SET, SEEK_CUR, SEEK_END) and returns the new one.
    std::uint64_t Seek(std::int64_t offset, int whence);
    std::uint64_t GetPosition();
    std::uint64_t GetLength();

private:
    [[noreturn]] void Fail(const char* operation) const;

    int fd_ = -1;
    bool writable_ = false;
    std::filesystem::path path_;
};

} // namespace qm
