// The out-of-process binding: each Word instance is a quillmend-word child process that reads
// requests on its stdin and answers on its stdout (see docserver/protocol.h).
#include "app/run_environment.h"
#include "app/session_state.h"
#include "docserver/protocol.h"
#include "engine/word_binding.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

extern char** environ;

namespace qm::word {
namespace {

namespace proto = docserver::protocol;
using namespace std::chrono_literals;

// How long a server gets to end on its own (after Quit, or once its pipe is closed) before
// it is killed.
constexpr auto kExitGrace = 2000ms;

// Blocks SIGPIPE in the calling thread for the duration of a write to the server, and takes
// back a SIGPIPE that write raised, so a dead server gives EPIPE instead of ending the
// program. The process-wide disposition stays as the program set it.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeBlock() {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec zero{0, 0};
                while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipe_{}, old_{};
    bool wasPending_ = false;
};

// Moves a descriptor above the standard ones (close-on-exec), so the dup2 file actions of the
// spawn never work on a descriptor that already is the target.
int aboveStdio(int fd) {
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

std::string describeStatus(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

void closePipes(int& to, int& from) {
    if (to >= 0)
        ::close(std::exchange(to, -1));
    if (from >= 0)
        ::close(std::exchange(from, -1));
}

// Closes a server's pipes, gives it the grace to end, kills it after that, and reaps it.
// Returns its wait status, or -1 when it was already reaped by someone else.
int endServerProcess(pid_t pid, int& to, int& from) {
    closePipes(to, from);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        if (r == 0 && std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        std::this_thread::sleep_for(1ms);
    }
}

std::atomic<int> liveServerCount{0}; // started by this process, not yet reaped, not spare

// Spare servers: a server whose instance quit cleanly, reset to a new instance and kept for the
// next Application::create() while a KeepSpareServers lives.
struct Spare {
    pid_t pid;
    int to, from;
    int uses;    // instances it has served
    pid_t owner; // the process that started it: a forked child never takes its parent's
    std::string key;
};
constexpr int kMaxUses = 64; // then it ends, so that nothing one instance left grows for long
constexpr std::size_t kMaxSpares = 2;
std::mutex spareMutex;
std::vector<Spare> spares;
int spareKeepers = 0;   // KeepSpareServers alive in keeperProcess
pid_t keeperProcess = 0; // a forked child starts its own count

bool keepingSparesLocked() { return spareKeepers > 0 && keeperProcess == ::getpid() && inPrivateServerScope(); }

bool keepingSpares() {
    std::lock_guard lock(spareMutex);
    return keepingSparesLocked();
}

// What a server takes from its start: the program and the whole environment (instance value,
// TMPDIR, test hooks). A spare serves only a start that would have made the same server.
std::string serverKey(const std::filesystem::path& program) {
    std::string key = program.string();
    for (char** e = environ; e && *e; ++e)
        key.append(1, '\0').append(*e);
    return key;
}

// Ends the spares in list; those another process started only lose this process's pipes.
void endSpares(std::vector<Spare> list) {
    for (Spare& s : list) {
        if (s.owner == ::getpid())
            endServerProcess(s.pid, s.to, s.from);
        else
            closePipes(s.to, s.from);
    }
}

// A live spare that a start with this key may take. Spares that cannot serve it (another key,
// another process's) are ended; those that ended meanwhile (stopvane) are dropped.
std::optional<Spare> takeSpare(const std::string& key) {
    std::vector<Spare> stale;
    std::optional<Spare> found;
    {
        std::lock_guard lock(spareMutex);
        std::vector<Spare> kept;
        for (Spare& s : spares) {
            int status = 0;
            if (s.owner != ::getpid() || s.key != key)
                stale.push_back(std::move(s));
            else if (::waitpid(s.pid, &status, WNOHANG) != 0)
                closePipes(s.to, s.from);
            else if (!found)
                found = std::move(s);
            else
                kept.push_back(std::move(s));
        }
        spares = std::move(kept);
    }
    endSpares(std::move(stale));
    return found;
}

class ProcessConnection final : public Connection {
public:
    ProcessConnection(pid_t pid, int toServer, int fromServer, int uses, std::string key)
        : pid_(pid), to_(toServer), from_(fromServer), uses_(uses), key_(std::move(key)) {
        ++liveServerCount;
    }

    ~ProcessConnection() override {
        // Releasing the instance ends it. While spares are kept that is a Quit, so that the
        // process can serve the next instance; otherwise closing the request pipe asks an idle
        // server to end, and a busy one is killed after the grace.
        std::lock_guard lock(mutex_);
        if (!quitIntoSpare())
            endServer();
    }

    Value invoke(std::uint32_t object, int id, CallKind kind, const std::vector<Value>& args) override {
        std::lock_guard lock(mutex_);
        if (!endReason_.empty())
            throw WordError(endReason_);
        if (kind == CallKind::Method && (id == dispid::InsertAfter || id == dispid::InsertParagraphAfter)) {
            pending_.push_back({object, id, kind, args});
            for (const auto& a : args)
                if (const auto* text = std::get_if<std::string>(&a))
                    pendingBytes_ += text->size();
            if (pendingBytes_ >= kBatchBytes || pending_.size() >= kBatchCalls)
                sendPending();
            return kOmitted;
        }
        sendPending();
        const proto::Reply reply = roundTrip([&] { return proto::encodeRequest({object, id, kind, args}); });
        if (object == kApplicationId && id == dispid::Quit && kind == CallKind::Method && reply.ok) {
            if (!keepAsSpare())
                endServer();
            endReason_ = "Word has quit";
        }
        if (!reply.ok)
            throw WordError(reply.error.empty() ? "the document server reported an error" : reply.error);
        return reply.value;
    }

    void flush() override {
        std::lock_guard lock(mutex_);
        if (!endReason_.empty())
            throw WordError(endReason_);
        sendPending();
    }

private:
    // Range inserts return nothing, and a salvage makes one or two per run or chunk of text:
    // they are gathered and sent as one batch (one round trip instead of one per call) once
    // the batch is full or any other call follows. The server performs them in order and stops
    // at the first failure, which the call that sent the batch raises; the document is then
    // abandoned as it would be had that insert raised itself.
    static constexpr std::size_t kBatchBytes = 256u << 10; // text held back, at most
    static constexpr std::size_t kBatchCalls = 16384;

    void sendPending() {
        if (pending_.empty())
            return;
        const auto batch = std::exchange(pending_, {});
        pendingBytes_ = 0;
        const proto::Reply reply = roundTrip([&] {
            return batch.size() == 1 ? proto::encodeRequest(batch.front()) : proto::encodeBatch(batch);
        });
        if (!reply.ok)
            throw WordError(reply.error.empty() ? "the document server reported an error" : reply.error);
    }

    // Sends one request frame and reads its reply; a failure of the stream ends the server.
    template <typename Encode> proto::Reply roundTrip(Encode encode) {
        try {
            const auto request = encode();
            {
                SigpipeBlock block;
                proto::writeFrame(to_, request);
            }
            const auto frame = proto::readFrame(from_);
            if (!frame)
                serverLost("the document server ended during the call");
            return proto::decodeReply(*frame);
        } catch (const proto::ProtocolError& e) {
            serverLost(std::string("the document server failed: ") + e.what());
        }
    }

    // The server is gone or out of step: end and reap it, and fail this and every later call.
    [[noreturn]] void serverLost(const std::string& what) {
        const int status = endServer();
        endReason_ = what;
        if (status >= 0)
            endReason_ += " (" + describeStatus(status) + ")";
        throw WordError(endReason_);
    }

    // Ends and reaps the server; returns its wait status, or -1 when it was already reaped.
    int endServer() {
        if (pid_ <= 0) {
            closePipes(to_, from_);
            return -1;
        }
        const int status = endServerProcess(pid_, to_, from_);
        forgetServer();
        return status;
    }

    // Quits the instance of a server that may become a spare (inserts still held back are
    // dropped, as closing the pipe would) and keeps it as one.
    bool quitIntoSpare() {
        if (key_.empty() || pid_ <= 0 || !endReason_.empty() || !keepingSpares())
            return false;
        pending_.clear();
        try {
            const std::vector<Value> zeros(3, std::int16_t{0});
            {
                SigpipeBlock block;
                proto::writeFrame(to_, proto::encodeRequest({kApplicationId, dispid::Quit, CallKind::Method, zeros}));
            }
            // An idle server answers at once; one that does not is ended as any other.
            pollfd ready{from_, POLLIN, 0};
            const int waitMs = static_cast<int>(std::chrono::milliseconds(kExitGrace).count());
            if (::poll(&ready, 1, waitMs) != 1)
                return false;
            const auto frame = proto::readFrame(from_);
            return frame && proto::decodeReply(*frame).ok && keepAsSpare();
        } catch (const proto::ProtocolError&) {
            return false;
        }
    }

    // After a clean Quit: keeps the server (which has started a new instance) as a spare when
    // spares are kept and a new start would make the same server.
    bool keepAsSpare() {
        if (key_.empty() || uses_ >= kMaxUses || pid_ <= 0)
            return false;
        {
            std::lock_guard lock(spareMutex);
            if (!keepingSparesLocked() || spares.size() >= kMaxSpares ||
                key_ != serverKey(serverProgram()))
                return false;
            spares.push_back({pid_, to_, from_, uses_, ::getpid(), std::move(key_)});
        }
        to_ = from_ = -1;
        forgetServer();
        return true;
    }

    void forgetServer() {
        pid_ = -1;
        --liveServerCount;
    }

    std::mutex mutex_;
    pid_t pid_;
    int to_, from_;
    const int uses_;  // instances this server has served, this one included
    std::string key_; // its start's key when it may become a spare, else empty
    std::string endReason_; // set once the server is gone; every later call fails with it
    std::vector<proto::Request> pending_;
    std::size_t pendingBytes_ = 0;
};

} // namespace

int liveServers() { return liveServerCount.load(); }

KeepSpareServers::KeepSpareServers() {
    std::lock_guard lock(spareMutex);
    if (keeperProcess != ::getpid())
        keeperProcess = ::getpid(), spareKeepers = 0;
    ++spareKeepers;
}

KeepSpareServers::~KeepSpareServers() {
    std::vector<Spare> ending;
    {
        std::lock_guard lock(spareMutex);
        if (keeperProcess == ::getpid() && --spareKeepers == 0)
            ending.swap(spares);
    }
    endSpares(std::move(ending));
}

int spareServers() {
    std::lock_guard lock(spareMutex);
    return static_cast<int>(spares.size());
}

std::filesystem::path serverProgram() {
    if (const char* env = std::getenv("QUILLMEND_WORD_SERVER"); env && *env)
        return env;
    const auto& install = session().installFolder;
    if (!install.empty()) {
        const auto p = install / "quillmend-word";
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    }
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (ec ? std::filesystem::path(".") : self.parent_path()) / "quillmend-word";
}

std::shared_ptr<Connection> connectOutOfProcess() {
    const auto program = serverProgram();
    std::string key;
    if (keepingSpares()) {
        key = serverKey(program);
        if (auto spare = takeSpare(key))
            return std::make_shared<ProcessConnection>(spare->pid, spare->to, spare->from, spare->uses + 1,
                                                       std::move(key));
    }
    int request[2], reply[2];
    if (::pipe2(request, O_CLOEXEC) != 0)
        throw WordError(std::string("cannot start the document server: ") + std::strerror(errno));
    if (::pipe2(reply, O_CLOEXEC) != 0) {
        const int err = errno;
        ::close(request[0]), ::close(request[1]);
        throw WordError(std::string("cannot start the document server: ") + std::strerror(err));
    }
    bool lost = false;
    for (int* fd : {&request[0], &request[1], &reply[0], &reply[1]})
        lost |= (*fd = aboveStdio(*fd)) < 0;
    if (lost) {
        for (int fd : {request[0], request[1], reply[0], reply[1]})
            if (fd >= 0)
                ::close(fd);
        throw WordError("cannot start the document server: no free file descriptor");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, request[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, reply[1], STDOUT_FILENO);
    // The server starts with default signal handling and nothing blocked, whatever this
    // thread has set: stopvane's SIGTERM must end it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGPIPE, SIGINT, SIGHUP})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string path = program.string(), serve = "--serve", reusable = "--reusable";
    char* argv[] = {path.data(), serve.data(), key.empty() ? nullptr : reusable.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(request[0]);
    ::close(reply[1]);
    if (rc != 0) {
        ::close(request[1]);
        ::close(reply[0]);
        throw WordError("cannot start the document server \"" + path + "\": " + std::strerror(rc));
    }
    return std::make_shared<ProcessConnection>(pid, request[1], reply[0], 1, std::move(key));
}

} // namespace qm::word
