#include "stages/saving_flow.h"

#include "app/activity_log.h"
#include "app/session_state.h"
#include "stages/log_text.h"
#include "stages/repair_start.h"
#include "stages/saving_worker.h"
#include "stages/flow_result.h"

#include <algorithm>

namespace qm::stages {

std::string SavingReport::headline() const { return written > 0 ? savingtext::kCompleted : savingtext::kNothingSaved; }

std::string SavingReport::gaveNothingText() const {
    if (gaveNothing.empty())
        return {};
    std::string text = savingtext::kGaveNothing;
    for (const auto& source : gaveNothing)
        text += "\n" + fileNameOf(source);
    return text;
}

void SavingFlow::WorkerUi::candidateDone(int fileNumber, int candidate, const std::filesystem::path& output,
                                         bool written) {
    if (written) {
        std::lock_guard lock(flow_.mutex_);
        if (fileNumber >= 1 && fileNumber < static_cast<int>(flow_.written_.size()))
            ++flow_.written_[fileNumber];
    }
    flow_.bridge_.candidateDone(fileNumber, candidate, output, written);
}

void SavingFlow::WorkerUi::candidateKept(int fileNumber, int candidate, const std::filesystem::path& output) {
    {
        std::lock_guard lock(flow_.mutex_);
        if (fileNumber >= 1 && fileNumber < static_cast<int>(flow_.kept_.size()))
            ++flow_.kept_[fileNumber];
    }
    flow_.bridge_.candidateKept(fileNumber, candidate, output);
}

void SavingFlow::WorkerUi::failed(int fileNumber, const std::string& source, const std::string& what) {
    {
        std::lock_guard lock(flow_.mutex_);
        flow_.errors_.push_back(source + ": " + what);
    }
    flow_.bridge_.failed(fileNumber, source, what);
}

SavingFlow::SavingFlow(StageUi& ui, SaveEngine& engine, UiThreadBridge::Post post)
    : ui_(ui), engine_(engine), bridge_(ui, std::move(post)) {}

SavingFlow::~SavingFlow() {
    if (worker_.joinable() && !done_) {
        bridge_.answerNo();
        StopWork(control_);
    }
    join();
}

void SavingFlow::start(std::function<void()> onEnd) {
    join(); // one saving worker at a time
    auto& s = session();
    control_.reset();
    bridge_.reset();
    done_ = false;
    workerStopped_ = false;
    s.savePaused = false;
    s.savePausedFromButton = false;
    sources_.assign(s.sourceFiles.begin(), s.sourceFiles.end());
    files_.clear();
    currentOnly_ = s.saveCurrentOnly;
    if (currentOnly_) {
        files_.push_back(s.previewFileNumber);
    } else {
        for (int n = 1; n <= static_cast<int>(sources_.size()); ++n)
            files_.push_back(n);
    }
    {
        std::lock_guard lock(mutex_);
        written_.assign(sources_.size() + 1, 0);
        kept_.assign(sources_.size() + 1, 0);
        errors_.clear();
    }
    ui_.setBusy(true);
    worker_ = std::jthread([this, onEnd = std::move(onEnd)] {
        SavingWorker worker(workerUi_, engine_, control_);
        const FlowResult result = worker.run();
        workerStopped_ = result.outcome == FlowOutcome::Stopped; // it has written the aborted lines
        if (result.outcome == FlowOutcome::Failed) {
            std::lock_guard lock(mutex_);
            errors_.push_back(result.error);
        }
        done_ = true;
        if (onEnd)
            bridge_.post(onEnd);
    });
}

void SavingFlow::join() {
    if (worker_.joinable())
        worker_.join();
}

SavingReport SavingFlow::report() const {
    SavingReport r;
    std::lock_guard lock(mutex_);
    r.stopped = workerStopped_;
    r.errors = errors_;
    const int reached = currentOnly_ ? 1 : session().filesSavedCount;
    for (size_t i = 0; i < files_.size(); ++i) {
        const int n = files_[i];
        if (n < 1 || n >= static_cast<int>(written_.size()))
            continue;
        r.written += written_[n];
        r.kept += kept_[n];
        // A stopped run says nothing about the files it did not reach.
        if (written_[n] == 0 && kept_[n] == 0 && (!r.stopped || static_cast<int>(i) < reached))
            r.gaveNothing.push_back(sources_[n - 1]);
    }
    return r;
}

int SavingFlow::tick() {
    auto& pos = session().saveProgressPos;
    int next = pos + 5;
    if (next >= 100)
        next = 0;
    pos = next;
    return next;
}

const char* SavingFlow::pauseCaption() const { return session().savePaused ? savingtext::kResume : savingtext::kPause; }

const char* SavingFlow::pauseOrResume() {
    auto& s = session();
    if (!s.savePaused) {
        s.savePausedFromButton = true;
        control_.pause();
        ui_.setBusy(false);
        s.savePaused = true;
    } else {
        control_.resume();
        ui_.setBusy(true);
        s.savePaused = false;
    }
    return pauseCaption();
}

bool SavingFlow::askToEnd(const char* question, bool undoPause) {
    auto& s = session();
    ui_.setBusy(false);
    control_.pause();
    bridge_.hold(); // a question of the worker waits behind this one
    if (ui_.askYesNo(question)) {
        end();
        return true;
    }
    if (undoPause && s.savePausedFromButton) {
        s.savePausedFromButton = false;
        s.savePaused = false;
        control_.resume(); // the earlier Pause
    }
    ui_.setBusy(true);
    control_.resume(); // this question's own hold
    bridge_.release();
    return false;
}

void SavingFlow::end() {
    bridge_.answerNo();
    StopWork(control_);
    join();
    if (!workerStopped_) // the worker had finished, or never ran: the log tells of the stop all the same
        appendLog({logtext::kCrLf, logtext::kCrLf, logtext::kAborted});
}

} // namespace qm::stages
