// The saving dialog without its window: one worker thread that runs the saving worker, the
// Current Progress animation, Pause/Resume, Stop, close and Escape with their questions, and
// what the run wrote. The worker reaches the window only through a UiThreadBridge, so every
// call it makes runs on the user-interface thread and its questions wait there for an answer.
// A stop is cooperative: the stop request, the document servers ended, every pending question
// answered No, and the worker joined before the caller ends the process.
#pragma once

#include "platform/work_control.h"
#include "stages/engine_adapters.h"
#include "stages/stage_ui.h"
#include "stages/ui_thread_bridge.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm::stages {

namespace savingtext {
inline constexpr const char* kStop = "Saving is in Process,Do you want to Stop?";
inline constexpr const char* kClose = "Saving is in Process,Do you want to exit?";
inline constexpr const char* kEscape = "Saving is in process, Do you want to exit ? ";
inline constexpr const char* kPause = "Pause";
inline constexpr const char* kResume = "Resume";
inline constexpr const char* kOverwriteFiles = "The file already exist's. Do you want to overwrite files";
inline constexpr const char* kCompleted = "Saving Completed Successfully";
// Said instead when the run wrote nothing, and for the files that gave nothing.
inline constexpr const char* kNothingSaved = "Nothing was saved";
inline constexpr const char* kGaveNothing = "Nothing could be saved from:";
} // namespace savingtext

inline constexpr int kSaveFirstTickMs = 2000; // the Current Progress bar's first period
inline constexpr int kSaveTickMs = 1000;       // every later one

// What one run of the saving worker did.
struct SavingReport {
    int written = 0;                      // outputs written
    int kept = 0;                         // existing outputs kept because overwriting was refused
    std::vector<std::string> gaveNothing; // sources (file order) with nothing written and nothing kept
    std::vector<std::string> errors;      // "source: what" of the failures
    bool stopped = false;

    // The completion dialog's lines: kCompleted when something was written, else
    // kNothingSaved; then, when files gave nothing, kGaveNothing and their names.
    std::string headline() const;
    std::string gaveNothingText() const; // empty when every file gave something
};

class SavingFlow {
public:
    // ui is the window, called on the user-interface thread only; post queues a call for that
    // thread (thread-safe).
    SavingFlow(StageUi& ui, SaveEngine& engine, UiThreadBridge::Post post);
    ~SavingFlow(); // a running worker is stopped and joined
    SavingFlow(const SavingFlow&) = delete;
    SavingFlow& operator=(const SavingFlow&) = delete;

    // Turns busy and starts the worker for the mode the session holds (saveCurrentOnly). onEnd runs on the user-interface thread after the worker's last call
    // there.
    void start(std::function<void()> onEnd = {});
    bool finished() const { return done_; }
    void join();
    // Valid once finished.
    SavingReport report() const;

    // Timer tick: saveProgressPos steps by 5 and wraps to 0 at 100; returns the new position.
    int tick();

    // Pause/Resume button; returns the caption it shows now.
    const char* pauseOrResume();
    const char* pauseCaption() const;

    // Stop, close and Escape with their questions. True when the user wants to end: the worker
    // has been stopped and joined, the "Repairing aborted" lines are in the log, and the caller
    // ends the process. False: the saving goes on (Stop and close also undo a Pause; Escape
    // leaves it).
    bool stop() { return askToEnd(savingtext::kStop, true); }
    bool close() { return askToEnd(savingtext::kClose, true); }
    bool escape() { return askToEnd(savingtext::kEscape, false); }

    WorkControl& control() { return control_; }

private:
    // What the worker says goes to the window through the bridge; what it wrote is noted here.
    class WorkerUi : public StageUi {
    public:
        explicit WorkerUi(SavingFlow& flow) : flow_(flow) {}
        void showText(Field f, const std::string& t) override { flow_.bridge_.showText(f, t); }
        void setOverallProgress(int p) override { flow_.bridge_.setOverallProgress(p); }
        void setBusy(bool busy) override { flow_.bridge_.setBusy(busy); }
        bool askYesNo(const std::string& q) override { return flow_.bridge_.askYesNo(q); }
        OverwriteAnswer askOverwrite(const std::filesystem::path& p) override { return flow_.bridge_.askOverwrite(p); }
        void notice(const std::string& t) override { flow_.bridge_.notice(t); }
        void candidateDone(int fileNumber, int candidate, const std::filesystem::path& output, bool written) override;
        void candidateKept(int fileNumber, int candidate, const std::filesystem::path& output) override;
        void failed(int fileNumber, const std::string& source, const std::string& what) override;

    private:
        SavingFlow& flow_;
    };

    bool askToEnd(const char* question, bool undoPause);
    void end(); // stop request, servers ended, questions answered No, join, aborted lines

    StageUi& ui_;
    SaveEngine& engine_;
    UiThreadBridge bridge_;
    WorkerUi workerUi_{*this};
    WorkControl control_;
    std::atomic<bool> done_{false};
    bool workerStopped_ = false; // the worker ended on the stop (and logged it)
    std::vector<std::string> sources_; // the files this run saves, by file number - 1
    std::vector<int> files_;           // their file numbers (Save Current Preview: the current one)
    bool currentOnly_ = false;
    mutable std::mutex mutex_;   // guards the counts below
    std::vector<int> written_, kept_; // by file number; [0] unused
    std::vector<std::string> errors_;
    std::jthread worker_; // last: joined before the rest goes
};

} // namespace qm::stages
