#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>

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

std::string writeLeftoverName(long pid) { return "." + std::to_string(pid) + ".quillmend-tmp"; }

void removeDeadWritersLeftovers(const fs::path& folder) {
    for (const auto& name : listFolder(folder)) {
        const std::string suffix = ".quillmend-tmp";
        if (name.size() <= suffix.size() + 1 || name[0] != '.' ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits = name.substr(1, name.size() - suffix.size() - 1);
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
            continue;
        const long pid = std::stol(digits);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            deleteFile(folder / name);
    }
}

bool writeFileAtomic(const fs::path& p, std::string_view bytes) {
    if (p.has_parent_path() && !createFolders(p.parent_path()))
        return false;
    // A short name of its own beside the target: a target name near the file system's limit
    // must not make the temporary one too long.
    const fs::path tmp = p.parent_path() / writeLeftoverName(::getpid());
    if (!writeFile(tmp, bytes) || !renameFile(tmp, p)) {
        const int saved = errno; // the caller reports the cause
        deleteFile(tmp);
        errno = saved;
        return false;
    }
    return true;
}

} // namespace qm::files
