#include "app/single_instance.h"

#include "platform/temp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace {

constexpr size_t kMaxMessage = 1 << 20; // files handed over by one start
constexpr int kReadTimeoutMs = 1000;    // a client that sends nothing does not hold the program up

bool ownPrivateFolder(const std::filesystem::path& p, bool requirePrivate) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (!requirePrivate || (st.st_mode & 077) == 0);
}

// A short stable tag for the instance value, so any value gives a valid socket name.
std::string instanceTag() {
    const char* v = std::getenv("QUILLMEND_INSTANCE");
    if (!v || !*v)
        return {};
    std::uint64_t h = 1469598103934665603ull;
    for (const char* c = v; *c; ++c)
        h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    char buf[24];
    std::snprintf(buf, sizeof buf, "-%016llx", static_cast<unsigned long long>(h));
    return buf;
}

bool fillAddress(const std::filesystem::path& p, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const std::string s = p.string();
    if (s.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
    return true;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do
        r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

bool sameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

// Reads until end of file or the limit, each wait bounded. False on error or time-out.
bool readAll(int fd, std::string& out, size_t limit) {
    char buf[4096];
    for (;;) {
        if (!waitFor(fd, POLLIN, kReadTimeoutMs))
            return false;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (out.size() + static_cast<size_t>(n) > limit)
            return false;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::filesystem::path privateRuntimeFolder() {
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run && ownPrivateFolder(run, false))
        return run;
    const std::filesystem::path folder = temp::folder() + "quillmend-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return ownPrivateFolder(folder, true) ? folder : std::filesystem::path{};
}

SingleInstance::SingleInstance() {
    folder_ = privateRuntimeFolder();
    if (folder_.empty())
        return;
    const std::string name = "quillmend" + instanceTag();
    socket_ = folder_ / (name + ".sock");
    lock_ = folder_ / (name + ".lock");
}

SingleInstance::~SingleInstance() {
    for (int fd : clients_)
        ::close(fd);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socket_.c_str());
    }
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool SingleInstance::claim() {
    if (folder_.empty()) {
        why_ = "no private folder for the instance lock";
        return false;
    }
    lockFd_ = ::open(lock_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        why_ = "cannot open " + lock_.string() + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        lockFd_ = -1;
        why_ = "another start is running";
        otherRunning_ = true;
        return false;
    }
    // The lock is ours: a socket file left by a start that ended abruptly is stale.
    ::unlink(socket_.c_str());
    sockaddr_un addr{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || !fillAddress(socket_, addr) || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 16) != 0) {
        why_ = "cannot listen on " + socket_.string() + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        // Still the only start: keep the lock, go without the endpoint.
        return true;
    }
    listenFd_ = fd;
    return true;
}

int SingleInstance::connectSocket() const {
    sockaddr_un addr{};
    if (socket_.empty() || !fillAddress(socket_, addr))
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SingleInstance::sendFiles(const std::vector<std::string>& paths, int timeoutMs) const {
    const int fd = connectSocket();
    if (fd < 0)
        return false;
    std::string message = "open\n";
    for (const auto& p : paths) {
        message += p;
        message += '\0';
    }
    bool ok = sendAll(fd, message) && ::shutdown(fd, SHUT_WR) == 0;
    char reply = 0;
    ok = ok && waitFor(fd, POLLIN, timeoutMs) && ::recv(fd, &reply, 1, 0) == 1 && reply == 'k';
    ::close(fd);
    return ok;
}

int SingleInstance::attach() const {
    const int fd = connectSocket();
    if (fd >= 0 && !sendAll(fd, "attach\n")) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::string> SingleInstance::poll() {
    std::vector<std::string> files;
    // Clients whose connection ended have detached.
    for (auto it = clients_.begin(); it != clients_.end();) {
        char c;
        const ssize_t n = ::recv(*it, &c, 1, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            ::close(*it);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
    if (listenFd_ < 0)
        return files;
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            break;
        if (!sameUser(fd)) {
            ::close(fd);
            continue;
        }
        // The request line, byte by byte so nothing after it is consumed.
        std::string head;
        char c = 0;
        while (head.size() < 16 && waitFor(fd, POLLIN, kReadTimeoutMs) && ::recv(fd, &c, 1, 0) == 1 && c != '\n')
            head += c;
        if (c == '\n' && head == "attach") {
            clients_.push_back(fd);
            continue;
        }
        std::string body;
        if (c == '\n' && head == "open" && readAll(fd, body, kMaxMessage)) {
            size_t start = 0;
            while (start < body.size()) {
                size_t end = body.find('\0', start);
                if (end == std::string::npos)
                    end = body.size();
                if (end > start)
                    files.push_back(body.substr(start, end - start));
                start = end + 1;
            }
            sendAll(fd, "k");
        }
        ::close(fd);
    }
    return files;
}

} // namespace qm
