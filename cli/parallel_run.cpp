#include "cli/parallel_run.h"

#include "app/run_environment.h"
#include "cli/stop_signals.h"
#include "engine/engine_helpers.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

namespace qm::cli {

namespace {

std::mutex workersMutex;
std::map<pid_t, std::size_t> workers; // running worker -> input index

// The worker side: never returns.
[[noreturn]] void workerMain(pid_t parent, std::size_t index, const FileJob& job, const std::filesystem::path& result) {
    // A worker dies with its parent; SIGTERM is blocked here and taken as a stop request.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        std::_Exit(1);
    enterPrivateServerScope(); // its servers are its own: sibling workers never end them
    int status = 0;
    {
        WorkControl control;
        StopSignals signals([&control](int) {
            control.requestStop();
            RunStopvane();
        });
        const FileReport report = job(index, control);
        files::writeFile(result, serialize(report));
        cleanUpRunFiles();
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

} // namespace

void forwardSignalToWorkers(int signal) {
    std::lock_guard lock(workersMutex);
    for (const auto& [pid, index] : workers)
        ::kill(pid, signal);
}

void runInWorkers(int jobs, const std::vector<std::size_t>& which, const FileJob& job,
                  std::vector<FileReport>& reports, std::ostream& progress, WorkControl& control) {
    const pid_t self = ::getpid();
    std::map<pid_t, std::filesystem::path> results;
    std::size_t next = 0;
    for (;;) {
        while (!control.stopRequested() && next < which.size() && results.size() < static_cast<std::size_t>(jobs)) {
            const std::size_t index = which[next++];
            const auto result = temp::makeFile(".report");
            std::lock_guard lock(workersMutex);
            const pid_t pid = result.empty() ? -1 : ::fork();
            if (pid == 0)
                workerMain(self, index, job, result);
            if (pid < 0) {
                reports[index].addError(std::string("cannot start a worker process: ") + std::strerror(errno));
                continue;
            }
            workers[pid] = index;
            results[pid] = result;
        }
        if (results.empty())
            break;
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        const auto it = results.find(pid);
        if (it == results.end())
            continue; // a helper program another thread started
        std::size_t index;
        {
            std::lock_guard lock(workersMutex);
            index = workers[pid];
            workers.erase(pid);
        }
        FileReport& report = reports[index];
        const auto text = files::readFile(it->second);
        FileReport got;
        got.source = report.source;
        if (text && !text->empty() && deserialize(std::string(text->begin(), text->end()), got))
            report = got;
        else
            report.addError(describeEnd(status));
        files::deleteFile(it->second);
        results.erase(it);
        if (report.progress.empty()) // the worker could not say anything itself
            progress << "[" << index + 1 << "/" << reports.size() << "] " << report.source << "\n";
        progress << report.progress;
        for (const auto& e : report.errors)
            if (report.progress.find(e) == std::string::npos)
                progress << "quillmend-cli: " << report.source << ": " << e << "\n";
        progress.flush();
    }
    for (std::size_t k = next; k < which.size(); ++k)
        reports[which[k]].addError("not processed: the run was stopped");
}

} // namespace qm::cli
