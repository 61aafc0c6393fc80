#include "platform/work_control.h"

namespace qm {

namespace {
thread_local WorkControl* tCurrentWork = nullptr;
} // namespace

void setCurrentWork(WorkControl* control) { tCurrentWork = control; }
WorkControl* currentWork() { return tCurrentWork; }

void passWorkGate() {
    WorkControl* work = tCurrentWork;
    if (work && work->attention_.load(std::memory_order_acquire))
        work->checkpoint();
}

void WorkControl::update() { attention_.store(stop_ || pauseDepth_ > 0, std::memory_order_release); }

void WorkControl::pause() {
    std::lock_guard lock(mutex_);
    ++pauseDepth_;
    update();
}

void WorkControl::resume() {
    {
        std::lock_guard lock(mutex_);
        if (pauseDepth_ > 0)
            --pauseDepth_;
        update();
    }
    changed_.notify_all();
}

void WorkControl::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        update();
    }
    changed_.notify_all();
}

void WorkControl::reset() {
    {
        std::lock_guard lock(mutex_);
        pauseDepth_ = 0;
        stop_ = false;
        update();
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
