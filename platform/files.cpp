#include "platform/files.h"

#include "platform/temp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

fs::path makeSiblingFile(const fs::path& target) {
    fs::path dir = target.parent_path();
    if (dir.empty())
        dir = ".";
    return temp::makeFile(".part", dir, 0666); // the umask decides, as for any new file
}

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
    if (!ok)
        ::unlink(part.c_str());
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
    const fs::path tmp = makeSiblingFile(p);
    if (tmp.empty())
        return false;
    if (!writeFile(tmp, bytes) || !renameFile(tmp, p)) {
        deleteFile(tmp);
        return false;
    }
    return true;
}

} // namespace qm::files
