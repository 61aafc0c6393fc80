// SIGINT, SIGTERM and SIGHUP as a cooperative stop: while a StopSignals lives, those signals
// are blocked in the calling thread (and the threads and processes it starts later) and a
// watcher thread takes them, so a run can end its servers, remove its temporary folder and
// unfinished outputs, and then exit 128 + the signal number.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include <signal.h>

namespace qm::cli {

class StopSignals {
public:
    // onSignal runs on the watcher thread, once, for the first signal.
    explicit StopSignals(std::function<void(int)> onSignal);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int received() const { return received_; } // 0 when no signal came

    // The signals taken, for a process that starts its own StopSignals after fork().
    static sigset_t signalSet();

private:
    std::function<void(int)> onSignal_;
    std::atomic<int> received_{0};
    std::atomic<bool> done_{false};
    sigset_t oldMask_{};
    int signalFd_ = -1; // the blocked signals, read by the watcher
    int wakeFd_ = -1;   // ends the watcher's wait
    std::thread watcher_;
};

} // namespace qm::cli
