#include "stages/analysis_flow.h"

#include "app/session_state.h"
#include "stages/flow_result.h"

namespace qm::stages {

AnalysisFlow::~AnalysisFlow() {
    if (worker_.joinable() && !done_)
        endWorker();
    join();
}

void AnalysisFlow::start(int fileNumber, std::function<void()> onEnd) {
    join(); // never two analyses at once
    auto& s = session();
    control_.reset();
    done_ = false;
    result_ = {};
    s.paused = false;
    s.pausedFromButton = false;
    s.analysisFinished = false;
    s.analysisThreadEnded = false;
    periodMs_ = kProgressPeriodMs;
    ui_.setBusy(true);
    worker_ = std::jthread([this, fileNumber, onEnd = std::move(onEnd)] {
        result_ = RunAnalysis(engine_, fileNumber, &control_);
        done_ = true;
        if (onEnd)
            onEnd();
    });
}

bool AnalysisFlow::finished() const { return done_; }

void AnalysisFlow::join() {
    if (worker_.joinable())
        worker_.join();
}

int AnalysisFlow::tick() {
    auto& pos = session().progressPos;
    int next = pos + 5;
    if (next >= 100)
        next = 0;
    pos = next;
    return next;
}

const char* AnalysisFlow::pauseCaption() const {
    return session().paused ? analysistext::kResume : analysistext::kPause;
}

const char* AnalysisFlow::pauseOrResume() {
    auto& s = session();
    if (!s.paused) {
        s.pausedFromButton = true;
        control_.pause();
        ui_.setBusy(false);
        s.paused = true;
    } else {
        control_.resume();
        periodMs_ = kProgressResumedPeriodMs;
        ui_.setBusy(true);
        s.paused = false;
    }
    return pauseCaption();
}

void AnalysisFlow::endWorker() {
    StopWork(control_);
    join();
}

bool AnalysisFlow::stop() {
    auto& s = session();
    ui_.setBusy(false);
    control_.pause();
    if (ui_.askYesNo(analysistext::kStop)) {
        s.analysisStopped = true;
        endWorker();
        return true;
    }
    if (s.pausedFromButton) {
        s.pausedFromButton = false;
        s.paused = false;
        control_.resume(); // the earlier Pause
    }
    periodMs_ = kProgressPeriodMs;
    ui_.setBusy(true);
    control_.resume(); // this Stop's own hold
    return false;
}

bool AnalysisFlow::escape() {
    ui_.setBusy(false);
    control_.pause();
    if (ui_.askYesNo(analysistext::kEscape)) {
        endWorker();
        return true;
    }
    control_.resume();
    periodMs_ = kProgressPeriodMs;
    ui_.setBusy(true);
    return false;
}

} // namespace qm::stages
