#include "zip/big_file.h"

#include "zip/zip_exception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qm {

CBigFile::~CBigFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

void CBigFile::Fail(const char* operation) const {
    throw CZipFileException(errno, operation, path_);
}

void CBigFile::Open(const std::filesystem::path& path) {
    if (fd_ >= 0)
        Close();
    path_ = path;
    writable_ = false;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        Fail("cannot open");
}

void CBigFile::Create(const std::filesystem::path& path) {
    if (fd_ >= 0)
        Close();
    path_ = path;
    writable_ = true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd_ < 0)
        Fail("cannot create");
}

void CBigFile::Close() {
    if (fd_ < 0)
        return;
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && writable_ && errno != EINTR)
        Fail("cannot close");
}

std::size_t CBigFile::Read(void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_, out + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("cannot read");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t CBigFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("cannot read");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void CBigFile::Write(const void* buffer, std::size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_, in + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("cannot write");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::uint64_t CBigFile::Seek(std::int64_t offset, int whence) {
    const off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (pos < 0)
        Fail("cannot seek in");
    return static_cast<std::uint64_t>(pos);
}

std::uint64_t CBigFile::GetPosition() {
    return Seek(0, SEEK_CUR);
}

std::uint64_t CBigFile::GetLength() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        Fail("cannot query");
    return static_cast<std::uint64_t>(st.st_size);
}

} // namespace qm
