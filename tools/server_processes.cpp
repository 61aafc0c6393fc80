#include "tools/server_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

namespace qm::tools {
namespace {

// Reads a /proc file whole. A process may vanish while it is read: that reads as empty (or
// as what was read so far), never as an error.
std::string readSmallFile(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

// The value of QUILLMEND_INSTANCE in a process's environment; nullopt when unset.
std::optional<std::string> instanceOf(pid_t pid) {
    const std::string env = readSmallFile("/proc/" + std::to_string(pid) + "/environ");
    const std::string key = "QUILLMEND_INSTANCE=";
    size_t pos = 0;
    while (pos < env.size()) {
        const size_t end = env.find('\0', pos);
        const std::string entry = env.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (entry.rfind(key, 0) == 0)
            return entry.substr(key.size());
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return std::nullopt;
}

// State letter from /proc/PID/stat ('Z' for a zombie), or 0 when the process is gone.
char stateOf(pid_t pid) {
    const std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return 0;
    return stat[paren + 2];
}

bool alive(pid_t pid) {
    const char s = stateOf(pid);
    return s != 0 && s != 'Z' && s != 'X';
}

} // namespace

std::vector<pid_t> findServers() {
    std::vector<pid_t> found;
    const char* ownEnv = std::getenv("QUILLMEND_INSTANCE");
    const std::optional<std::string> own = ownEnv ? std::optional<std::string>(ownEnv) : std::nullopt;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return found;
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid())
            continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || st.st_uid != ::getuid())
            continue;
        std::string comm = readSmallFile(dir + "/comm");
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r'))
            comm.pop_back();
        if (comm != kServerProcessName || !alive(static_cast<pid_t>(pid)))
            continue;
        if (instanceOf(static_cast<pid_t>(pid)) != own)
            continue;
        found.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return found;
}

void endServers(const std::vector<pid_t>& pids, int graceMs) {
    using namespace std::chrono;
    for (pid_t p : pids)
        ::kill(p, SIGTERM);
    auto anyAlive = [&] {
        for (pid_t p : pids)
            if (alive(p))
                return true;
        return false;
    };
    const auto deadline = steady_clock::now() + milliseconds(graceMs);
    while (anyAlive() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    for (pid_t p : pids)
        if (alive(p))
            ::kill(p, SIGKILL);
    // SIGKILL cannot be ignored; a process stuck in the kernel still gets a bounded wait.
    const auto hardDeadline = steady_clock::now() + seconds(10);
    while (anyAlive() && steady_clock::now() < hardDeadline)
        std::this_thread::sleep_for(milliseconds(10));
}

} // namespace qm::tools
