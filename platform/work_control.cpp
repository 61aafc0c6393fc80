#include "platform/work_control.h"

namespace qm {

void WorkControl::pause() {
    std::lock_guard lock(mutex_);
    ++pauseDepth_;
}

void WorkControl::resume() {
    {
        std::lock_guard lock(mutex_);
        if (pauseDepth_ > 0)
            --pauseDepth_;
    }
    changed_.notify_all();
}

void WorkControl::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

void WorkControl::reset() {
    {
        std::lock_guard lock(mutex_);
        pauseDepth_ = 0;
        stop_ = false;
    }
    changed_.notify_all();
}

bool WorkControl::paused() const {
    std::lock_guard lock(mutex_);
    return pauseDepth_ > 0;
}

bool WorkControl::stopRequested() const {
    std::lock_guard lock(mutex_);
    return stop_;
}

void WorkControl::checkpoint() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stop_ || pauseDepth_ == 0; });
    if (stop_)
        throw StopRequested();
}

} // namespace qm
