#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <utility>

namespace qm::files {

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

std::optional<std::uintmax_t> fileSize(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    if (ec)
        return std::nullopt;
    return n;
}

bool copyFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec))
        return false;
    // copy_file refuses to replace a read-only target on some systems; clear the way first.
    if (fs::exists(to, ec) && !fs::is_directory(to, ec)) {
        makeWritable(to);
        fs::remove(to, ec);
    }
    return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) && !ec;
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
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

bool writeFileAtomic(const fs::path& p, std::string_view bytes) {
    if (p.has_parent_path() && !createFolders(p.parent_path()))
        return false;
    fs::path tmp = p;
    tmp += ".tmp" + std::to_string(::getpid());
    if (!writeFile(tmp, bytes))
        return false;
    if (!renameFile(tmp, p)) {
        deleteFile(tmp);
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
