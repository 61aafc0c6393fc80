#include "platform/files.h"

#include "platform/temp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <utility>

namespace qm::files {

namespace {
constexpr const char* kSiblingSuffix = ".part";
} // namespace

bool exists(const fs::path& p) {
    std::error_code ec;
    return !p.empty() && fs::exists(p, ec);
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return !p.empty() && fs::is_regular_file(p, ec);
}

bool isFolder(const fs::path& p) {
    std::error_code ec;
    return !p.empty() && fs::is_directory(p, ec);
}

bool isRealFolder(const fs::path& p) {
    std::error_code ec;
    return !p.empty() && fs::is_directory(fs::symlink_status(p, ec));
}

std::optional<std::uintmax_t> fileSize(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    if (ec)
        return std::nullopt;
    return n;
}

namespace {

// The folder of target ("." for a bare name) and the tail of a sibling's name: the writer's
// process number tells a dead writer's leftover from a live one's.
fs::path siblingFolder(const fs::path& target) { return target.has_parent_path() ? target.parent_path() : fs::path("."); }
std::string siblingTail() { return "." + std::to_string(::getpid()) + kSiblingSuffix; }

} // namespace

fs::path makeSiblingFile(const fs::path& target) {
    return temp::makeFile(siblingTail(), siblingFolder(target), 0666); // the umask decides
}

fs::path siblingName(const fs::path& target) { return temp::freeName(siblingTail(), siblingFolder(target)); }

namespace {

// Copies the bytes of the open file in into out; false on a read or write error.
bool copyBytes(int in, int out) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += w;
        }
    }
}

} // namespace

bool copyFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (to.empty() || fs::is_directory(to, ec))
        return false;
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    // Written beside the target under a new name and renamed over it: a copy that fails
    // leaves an existing target as it was.
    const fs::path part = makeSiblingFile(to);
    if (part.empty()) {
        ::close(in);
        return false;
    }
    const int out = ::open(part.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    bool ok = out >= 0 && copyBytes(in, out);
    if (out >= 0) {
        ok = ::fchmod(out, st.st_mode & 07777) == 0 && ok;
        ok = ::close(out) == 0 && ok;
    }
    ::close(in);
    if (ok)
        ok = ::rename(part.c_str(), to.c_str()) == 0;
    if (!ok) {
        const int saved = errno; // the caller reports the cause
        ::unlink(part.c_str());
        errno = saved;
    }
    return ok;
}

bool renameFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
}

bool deleteFile(const fs::path& p) {
    std::error_code ec;
    if (p.empty() || fs::is_directory(p, ec))
        return false;
    return fs::remove(p, ec) && !ec;
}

bool makeWritable(const fs::path& p) {
    std::error_code ec;
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
    return !ec;
}

bool createFolders(const fs::path& p) {
    std::error_code ec;
    fs::create_directories(p, ec);
    if (ec) {
        errno = ec.value(); // callers report the cause
        return false;
    }
    return fs::is_directory(p, ec);
}

void removeEmptyFolder(const fs::path& p) {
    if (!p.empty())
        ::rmdir(p.c_str()); // fails with ENOTEMPTY when something is left: that is intended
}

bool removeTree(const fs::path& p) {
    std::error_code ec;
    if (p.empty())
        return false;
    fs::remove_all(p, ec);
    return !fs::exists(p, ec);
}

std::vector<std::string> listFolder(const fs::path& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..")
            names.emplace_back(n);
    }
    ::closedir(dir);
    return names;
}

void deleteFolderFiles(const fs::path& folder) {
    for (const auto& name : listFolder(folder)) {
        const auto p = folder / name;
        if (isFile(p))
            deleteFile(p);
    }
}

std::optional<std::vector<std::uint8_t>> readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return data;
}

bool writeFile(const fs::path& p, std::string_view bytes) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = n < 0 ? errno : ENOSPC;
            ::close(fd);
            errno = saved;
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return ::close(fd) == 0;
}

void removeDeadWritersLeftovers(const fs::path& folder) {
    const std::string suffix = kSiblingSuffix;
    constexpr std::size_t kLibzipTail = 7; // "." and six letters or digits
    for (const auto& name : listFolder(folder)) {
        // "<number>.<pid>.part", or libzip's file beside it
        std::string_view own = name;
        if (own.size() > kLibzipTail && own[own.size() - kLibzipTail] == '.' &&
            std::all_of(own.end() - kLibzipTail + 1, own.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            own.remove_suffix(kLibzipTail);
        if (own.size() <= suffix.size() || own.compare(own.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string stem(own.substr(0, own.size() - suffix.size()));
        const auto dot = stem.find('.');
        if (dot == std::string::npos || dot == 0 || stem.find_first_not_of("0123456789.") != std::string::npos ||
            stem.find('.', dot + 1) != std::string::npos || stem.size() - dot - 1 > 9 || dot + 1 == stem.size())
            continue;
        const long pid = std::stol(stem.substr(dot + 1));
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            deleteFile(folder / name);
    }
}

bool writeFileAtomic(const fs::path& p, std::string_view bytes) {
    if (p.has_parent_path() && !createFolders(p.parent_path()))
        return false;
    const fs::path tmp = makeSiblingFile(p);
    if (tmp.empty())
        return false;
    if (!writeFile(tmp, bytes) || !renameFile(tmp, p)) {
        const int saved = errno; // the caller reports the cause
        deleteFile(tmp);
        errno = saved;
        return false;
    }
    return true;
}

MappedFile::~MappedFile() {
    if (size_ > 0)
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        if (size_ > 0)
            ::munmap(const_cast<std::uint8_t*>(data_), size_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

std::optional<MappedFile> MappedFile::open(const fs::path& p) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st{};
    std::optional<MappedFile> file;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        MappedFile m;
        if (st.st_size > 0) {
            void* at = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (at != MAP_FAILED) {
                ::madvise(at, static_cast<std::size_t>(st.st_size), MADV_SEQUENTIAL); // scans read front to back
                m.data_ = static_cast<const std::uint8_t*>(at);
                m.size_ = static_cast<std::size_t>(st.st_size);
                file = std::move(m);
            }
        } else {
            file = std::move(m);
        }
    }
    ::close(fd);
    return file;
}

} // namespace qm::files

namespace qm::files {

namespace {

constexpr std::size_t kScratchBuffer = 1u << 16;

bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

std::optional<ScratchFile> ScratchFile::create() {
    ScratchFile f;
    f.folder_ = temp::folder();
    return f;
}

bool ScratchFile::open() {
    if (fd_ >= 0)
        return true;
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // File systems without unnamed files: a named one, removed at once.
        std::string name = folder_ + "qm-scratch-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0)
            ::unlink(name.c_str());
    }
    return fd_ >= 0;
}

ScratchFile::~ScratchFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : folder_(std::move(other.folder_)), fd_(std::exchange(other.fd_, -1)), buffer_(std::move(other.buffer_)),
      written_(other.written_) {}

ScratchFile& ScratchFile::operator=(ScratchFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        folder_ = std::move(other.folder_);
        fd_ = std::exchange(other.fd_, -1);
        buffer_ = std::move(other.buffer_);
        written_ = other.written_;
    }
    return *this;
}

bool ScratchFile::append(const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    if (buffer_.size() + n > kScratchBuffer && !flush())
        return false;
    if (n < kScratchBuffer) {
        buffer_.insert(buffer_.end(), p, p + n);
        return true;
    }
    // Large data is written from where it is, not copied into the buffer.
    if (!open() || !writeAll(fd_, p, n))
        return false;
    written_ += n;
    return true;
}

bool ScratchFile::flush() {
    if (buffer_.empty())
        return true;
    if (!open() || !writeAll(fd_, buffer_.data(), buffer_.size()))
        return false;
    written_ += buffer_.size();
    buffer_.clear();
    return true;
}

bool ScratchFile::readAt(std::uint64_t offset, void* data, std::size_t n) {
    auto* p = static_cast<char*>(data);
    if (fd_ < 0) { // everything is still in the buffer
        if (offset + n > buffer_.size()) {
            errno = EIO;
            return false;
        }
        std::memcpy(p, buffer_.data() + offset, n);
        return true;
    }
    if (offset + n > written_ && !flush())
        return false;
    while (n > 0) {
        const ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        p += got;
        offset += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace qm::files
