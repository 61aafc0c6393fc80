#include "platform/temp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>

namespace qm::temp {
namespace {

// A time-seeded generator shared by the process: the numbers look random like the old names,
// and a name that is taken is simply skipped.
std::uint32_t nextNumber() {
    static std::mutex mutex;
    static std::mt19937 gen(static_cast<std::uint32_t>(
        std::chrono::system_clock::now().time_since_epoch().count() ^ (static_cast<long>(::getpid()) << 16)));
    std::lock_guard lock(mutex);
    return gen() % 2147483647u;
}

std::filesystem::path baseFolder(const std::filesystem::path& dir) {
    return dir.empty() ? std::filesystem::path(folder()) : dir;
}

constexpr int kAttempts = 10000;

} // namespace

std::string folder() {
    std::error_code ec;
    std::string f = std::filesystem::temp_directory_path(ec).string();
    if (ec || f.empty())
        f = "/tmp";
    if (f.back() != '/')
        f += '/';
    return f;
}

std::filesystem::path makeFile(const std::string& ext, const std::filesystem::path& dir, unsigned mode) {
    const auto base = baseFolder(dir);
    for (int i = 0; i < kAttempts; ++i) {
        const auto p = base / (std::to_string(nextNumber()) + ext);
        const int fd = ::open(p.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd >= 0) {
            ::close(fd);
            return p;
        }
        if (errno != EEXIST)
            return {};
    }
    return {};
}

std::filesystem::path freeName(const std::string& ext, const std::filesystem::path& dir) {
    const auto base = baseFolder(dir);
    for (int i = 0; i < kAttempts; ++i) {
        const auto p = base / (std::to_string(nextNumber()) + ext);
        struct stat st{};
        if (::lstat(p.c_str(), &st) != 0)
            return errno == ENOENT ? p : std::filesystem::path{};
    }
    return {};
}

std::filesystem::path makeFolder(const std::string& prefix, const std::filesystem::path& dir) {
    const auto base = baseFolder(dir);
    for (int i = 0; i < kAttempts; ++i) {
        const auto p = base / (prefix + std::to_string(nextNumber()));
        if (::mkdir(p.c_str(), 0700) == 0)
            return p;
        if (errno != EEXIST)
            return {};
    }
    return {};
}

} // namespace qm::temp
