// The two errors the ZIP reader raises. Both are thrown by value and caught by reference;
// both derive from std::exception, so a caller that only wants to know "the package could
// not be read" catches std::exception.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qm {

// A damaged archive or a decompressor that could not start.
class CZipException : public std::runtime_error {
public:
    enum Cause {
        generic = 1,       // any zlib result without a cause of its own
        streamEnd = 2,     // Z_STREAM_END
        needDict = 3,      // Z_NEED_DICT
        errNo = 4,         // Z_ERRNO
        streamError = 5,   // Z_STREAM_ERROR
        dataError = 6,     // Z_DATA_ERROR
        memError = 7,      // Z_MEM_ERROR
        bufError = 8,      // Z_BUF_ERROR
        versionError = 9,  // Z_VERSION_ERROR
        badZipFile = 10,   // a local header, entry or data descriptor that cannot be used
        extractLimit = 11, // the archive's total extraction cap was reached
    };

    // archivePath is empty when the error does not concern the archive file itself.
    explicit CZipException(int cause, std::filesystem::path archivePath = {});

    int GetCause() const { return cause_; }
    const std::filesystem::path& GetArchivePath() const { return archivePath_; }

    // The cause for a zlib result code.
    static int ZlibErrToCause(int zlibResult);

private:
    int cause_;
    std::filesystem::path archivePath_;
};

// A file that cannot be opened, sought, read, created or written; carries errno and the path.
class CZipFileException : public std::system_error {
public:
    CZipFileException(int errnoValue, const std::string& operation, std::filesystem::path path);

    const std::filesystem::path& GetPath() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace qm
