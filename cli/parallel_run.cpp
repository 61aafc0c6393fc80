#include "cli/parallel_run.h"

#include "app/run_environment.h"
#include "cli/stop_signals.h"
#include "engine/engine_helpers.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>

namespace qm::cli {

namespace {

std::mutex workersMutex;
std::set<pid_t> workerPids; // running workers, for forwardSignalToWorkers

// One long-lived worker: files are handed to it one at a time over a socket, so that a run
// forks N processes rather than one per file.
struct Worker {
    pid_t pid = -1;
    int socket = -1;                   // the parent's end
    std::filesystem::path result;      // where the worker leaves each report
    std::optional<std::size_t> current; // the input it is working on
};

bool sendIndex(int fd, std::uint64_t index) {
    for (;;) {
        const ssize_t n = ::send(fd, &index, sizeof index, MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(sizeof index))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool receiveIndex(int fd, std::uint64_t& index) {
    std::size_t got = 0;
    auto* p = reinterpret_cast<char*>(&index);
    while (got < sizeof index) {
        const ssize_t n = ::recv(fd, p + got, sizeof index - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The worker side: takes indexes until the parent closes its end, then exits; never returns.
[[noreturn]] void workerMain(pid_t parent, int socket, const FileJob& job, const std::filesystem::path& result) {
    // A worker dies with its parent; SIGTERM is blocked here and taken as a stop request.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        std::_Exit(1);
    enterPrivateServerScope(); // its servers are its own: sibling workers never end them
    int status = 0;
    {
        const word::KeepSpareServers spareServers;
        WorkControl control;
        StopSignals signals([&control](int) {
            control.requestStop();
            RunStopvane();
        });
        std::uint64_t index = 0;
        while (!control.stopRequested() && receiveIndex(socket, index)) {
            const FileReport report = job(static_cast<std::size_t>(index), control);
            files::writeFile(result, serialize(report));
            cleanUpRunFiles();
            if (!sendIndex(socket, index))
                break;
        }
        if (signals.received())
            status = 128 + signals.received();
    }
    std::_Exit(status);
}

std::string describeEnd(int waitStatus) {
    if (WIFSIGNALED(waitStatus))
        return "the worker process was ended by signal " + std::to_string(WTERMSIG(waitStatus));
    return "the worker process ended without a report (status " + std::to_string(WEXITSTATUS(waitStatus)) + ")";
}

// Starts a worker; its pid is -1 (and errno set) when it could not be started.
Worker startWorker(const FileJob& job, const std::vector<Worker>& others) {
    Worker w;
    w.result = temp::makeFile(".report");
    int fds[2];
    if (w.result.empty() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return w;
    const pid_t self = ::getpid();
    std::lock_guard lock(workersMutex);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        for (const Worker& o : others) // so that each worker sees its own end of input
            if (o.socket >= 0)
                ::close(o.socket);
        workerMain(self, fds[1], job, w.result);
    }
    const int saved = errno;
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        files::deleteFile(w.result);
        errno = saved;
        return w;
    }
    w.pid = pid;
    w.socket = fds[0];
    workerPids.insert(pid);
    return w;
}

// Closes the worker's end of input and waits for it to exit; returns its wait status.
int endWorker(Worker& w) {
    if (w.socket >= 0)
        ::close(std::exchange(w.socket, -1));
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard lock(workersMutex);
        workerPids.erase(w.pid);
    }
    files::deleteFile(w.result);
    w.pid = -1;
    return status;
}

} // namespace

void forwardSignalToWorkers(int signal) {
    std::lock_guard lock(workersMutex);
    for (pid_t pid : workerPids)
        ::kill(pid, signal);
}

void runInWorkers(int jobs, const std::vector<std::size_t>& which, const FileJob& job,
                  std::vector<FileReport>& reports, std::ostream& progress, WorkControl& control) {
    std::vector<Worker> workers;
    std::size_t next = 0;
    std::string startError = "no worker process"; // why the last worker could not be started
    auto printReport = [&](std::size_t index) {
        const FileReport& report = reports[index];
        if (report.progress.empty()) // the worker could not say anything itself
            progress << "[" << index + 1 << "/" << reports.size() << "] " << report.source << "\n";
        progress << report.progress;
        for (const auto& e : report.errors)
            if (report.progress.find(e) == std::string::npos)
                progress << "quillmend-cli: " << report.source << ": " << e << "\n";
        progress.flush();
    };
    // Gives w the next input, starting a new worker in its place when it is gone (a worker lost
    // to a hostile file costs only that file). Ends w when nothing is left to do.
    auto keepBusy = [&](Worker& w) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (control.stopRequested() || next >= which.size())
                break;
            if (w.pid < 0 && (w = startWorker(job, workers)).pid < 0) {
                startError = std::strerror(errno);
                return;
            }
            if (sendIndex(w.socket, which[next])) {
                w.current = which[next++];
                return;
            }
            endWorker(w);
        }
        if (w.pid > 0)
            endWorker(w);
    };
    workers.resize(std::min<std::size_t>(static_cast<std::size_t>(jobs), which.size()));
    for (Worker& w : workers)
        keepBusy(w);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Worker*> busy;
        for (Worker& w : workers)
            if (w.pid > 0 && w.current) {
                fds.push_back({w.socket, POLLIN, 0});
                busy.push_back(&w);
            }
        if (fds.empty())
            break;
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue; // EINTR
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            Worker& w = *busy[k];
            const std::size_t index = *w.current;
            w.current.reset();
            FileReport& report = reports[index];
            std::uint64_t done = 0;
            const bool answered = receiveIndex(w.socket, done) && done == index;
            FileReport got;
            got.source = report.source;
            const auto text = answered ? files::readFile(w.result) : std::nullopt;
            if (text && !text->empty() && deserialize(std::string(text->begin(), text->end()), got))
                report = got;
            if (!answered)
                report.addError(describeEnd(endWorker(w)));
            keepBusy(w);
            printReport(index);
        }
    }
    for (Worker& w : workers)
        if (w.pid > 0)
            endWorker(w);
    const std::string why = control.stopRequested()
                                ? std::string("not processed: the run was stopped")
                                : "not processed: cannot start a worker process: " + startError;
    for (std::size_t k = next; k < which.size(); ++k) {
        reports[which[k]].addError(why);
        if (!control.stopRequested())
            printReport(which[k]);
    }
}

} // namespace qm::cli
