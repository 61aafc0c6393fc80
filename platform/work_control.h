// Cooperative stand-in for suspending and terminating worker threads: a pause gate that
// counts nested pauses and a stop request. Workers call checkpoint() between document-server
// calls and inside long loops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace qm {

// Thrown by WorkControl::checkpoint() once a stop was requested.
class StopRequested : public std::runtime_error {
public:
    StopRequested() : std::runtime_error("stopped by the user") {}
};

class WorkControl {
public:
    void pause();  // nested: every pause needs its resume
    void resume(); // extra resumes are ignored
    void requestStop();
    void reset(); // no pause, no stop: ready for the next worker

    bool paused() const;
    bool stopRequested() const;

    // Waits while paused; throws StopRequested when a stop was requested (also while paused).
    void checkpoint();

private:
    void update(); // under mutex_: keeps attention_ in step with the pause depth and the stop
    friend void passWorkGate();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int pauseDepth_ = 0;
    bool stop_ = false;
    std::atomic<bool> attention_{false}; // paused or stopped: the gate must look
};

// The work running on this thread, whose gate the engine passes before every document-server
// call and inside long scans. Set by the flows around a worker's run; none by default.
void setCurrentWork(WorkControl* control);
WorkControl* currentWork();

// The pause gate: waits while this thread's work is paused and throws StopRequested once a
// stop was requested; does nothing without current work. Cheap enough for inner loops.
void passWorkGate();

// Sets this thread's current work for the life of the scope, and restores the one before.
class CurrentWorkScope {
public:
    explicit CurrentWorkScope(WorkControl& control) : previous_(currentWork()) { setCurrentWork(&control); }
    ~CurrentWorkScope() { setCurrentWork(previous_); }
    CurrentWorkScope(const CurrentWorkScope&) = delete;
    CurrentWorkScope& operator=(const CurrentWorkScope&) = delete;

private:
    WorkControl* previous_;
};

} // namespace qm
