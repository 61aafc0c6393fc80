// The analysis dialog without its window: one worker thread that runs the analysis of one
// file, the progress bar's steps and pace, Pause/Resume, Stop and Escape with their questions. Pause and
// Stop hold the worker at the pause gate; a stop is cooperative (the document servers are
// ended so a blocked call returns) and the worker is always joined before anything else runs,
// because the engine is not re-entrant.
#pragma once

#include "platform/work_control.h"
#include "stages/analysis_worker.h"
#include "stages/stage_ui.h"

#include <functional>
#include <thread>

namespace qm::stages {

namespace analysistext {
inline constexpr const char* kLabel = "Analysis is in Progress, Please  wait .....";
inline constexpr const char* kStop = "Do you want to Stop the analysis process ";
inline constexpr const char* kEscape = "Do you want to exit ? ";
inline constexpr const char* kPause = "Pause";
inline constexpr const char* kResume = "Resume";
} // namespace analysistext

inline constexpr int kProgressPeriodMs = 1000;
inline constexpr int kProgressResumedPeriodMs = 100; // after a Resume the bar moves ten times as fast

class AnalysisFlow {
public:
    // ui gets the questions and the busy/idle changes; all on the calling (UI) thread.
    AnalysisFlow(StageUi& ui, AnalysisEngine& engine) : ui_(ui), engine_(engine) {}
    ~AnalysisFlow(); // a running worker is stopped and joined
    AnalysisFlow(const AnalysisFlow&) = delete;
    AnalysisFlow& operator=(const AnalysisFlow&) = delete;

    // Starts the worker for file number fileNumber (1-based); the flow is busy.
    // onEnd runs on the worker thread when the analysis has ended (finished or stopped).
    void start(int fileNumber, std::function<void()> onEnd = {});
    // True once the worker has returned from the engine; join() then returns at once.
    bool finished() const;
    void join();
    const AnalysisResult& result() const { return result_; }

    // Timer tick: progressPos steps by 5 and wraps to 0 at 100; returns the new position.
    int tick();
    // How often the bar ticks while busy: kProgressPeriodMs, or kProgressResumedPeriodMs from
    // a Resume until the next start, Stop or Escape.
    int progressPeriodMs() const { return periodMs_; }

    // Pause/Resume button; returns the caption it shows now.
    const char* pauseOrResume();
    const char* pauseCaption() const;

    // Stop with its question. True when the analysis was stopped (analysisStopped set, servers
    // ended, worker joined); false when the user said No and the analysis goes on.
    bool stop();
    // Escape with its question. True when the user wants to exit: the worker has been stopped
    // and joined and the caller ends the process. False: the analysis goes on.
    bool escape();

    WorkControl& control() { return control_; }

private:
    void endWorker(); // stop request, document servers ended, join

    StageUi& ui_;
    AnalysisEngine& engine_;
    WorkControl control_;
    int periodMs_ = kProgressPeriodMs;
    std::jthread worker_;
    std::atomic<bool> done_{false};
    AnalysisResult result_;
};

} // namespace qm::stages
