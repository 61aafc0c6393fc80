// Cooperative stand-in for suspending and terminating worker threads: a pause gate that
// counts nested pauses and a stop request. Workers call checkpoint() between document-server
// calls and inside long loops.
#pragma once

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
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int pauseDepth_ = 0;
    bool stop_ = false;
};

} // namespace qm
