#include "app/activity_log.h"

#include "app/session_state.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace qm {
namespace {

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::filesystem::path logFilePath() {
    const std::string& key = session().registryKey;
    std::string folder = registry::readValue(key, "LogPath");
    if (folder.empty() || !files::isFolder(folder))
        folder = registry::readValue(key, "FilePath");
    if (folder.empty()) {
        // Neither is recorded (a run outside an installation): the user's state folder, never
        // the root of the file system.
        const auto state = defaultLogFolder();
        return state.empty() ? std::filesystem::path() : state / kLogFileName;
    }
    if (folder.back() != '/')
        folder += '/';
    return folder + kLogFileName;
}

std::filesystem::path defaultLogFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "quillmend";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "quillmend";
    return {};
}

bool ensureWritableLogFolder() {
    const auto folder = logFilePath().parent_path();
    if (folder.empty())
        return false; // no folder to write to at all
    if (files::isFolder(folder) && ::access(folder.c_str(), W_OK) == 0)
        return true;
    const auto fallback = defaultLogFolder();
    return !fallback.empty() && files::createFolders(fallback) &&
           registry::writeValue(session().registryKey, "LogPath", fallback.string());
}

bool appendLog(std::string_view text) {
    std::lock_guard lock(logMutex());
    const auto path = logFilePath();
    if (files::exists(path))
        files::makeWritable(path);
    // O_APPEND: each write lands at the end as it is then, whoever else appends meanwhile.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_size) > kLogSizeLimit) {
        // Restart: the whole earlier history goes.
        if (::ftruncate(fd, 0) != 0) {
            ::close(fd);
            return false;
        }
    }
    const bool ok = writeAll(fd, text);
    return ::close(fd) == 0 && ok;
}

bool appendLog(std::initializer_list<std::string_view> fragments) {
    std::string text;
    for (const auto f : fragments)
        text += f;
    return appendLog(text);
}

bool viewLog() {
    const auto opener = process::findOnPath("xdg-open");
    if (opener.empty())
        return false;
    return process::launch(opener, {logFilePath().string()});
}

bool clearLog() {
    {
        std::lock_guard lock(logMutex());
        files::deleteFile(logFilePath());
    }
    return appendLog("\r\n");
}

} // namespace qm
