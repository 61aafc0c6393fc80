// Carries a worker thread's StageUi calls to the user-interface thread, where the window
// (target) runs them. Calls that only show something are queued and return at once; a question
// (askYesNo, askOverwrite, mayReplaceQuickRepairCopy, notice) waits on the worker for its answer
// while the user-interface thread goes on handling events. Calls arrive in the order made.
//
// Thread rule: the constructor, the destructor, hold() and release() belong to the
// user-interface thread; the StageUi calls to the worker; answerNo() and post() to either.
#pragma once

#include "stages/stage_ui.h"

#include <functional>
#include <memory>

namespace qm::stages {

class UiThreadBridge : public StageUi {
public:
    // Queues a call for the user-interface thread (the toolkit's "call after"); thread-safe.
    using Post = std::function<void(std::function<void()>)>;

    UiThreadBridge(StageUi& target, Post post);
    // Calls still queued then do nothing and a waiting question gets No; the worker must be
    // joined before the target goes.
    ~UiThreadBridge() override;
    UiThreadBridge(const UiThreadBridge&) = delete;
    UiThreadBridge& operator=(const UiThreadBridge&) = delete;

    // While held, a question that reaches the user-interface thread waits (a Stop question is
    // up first); release() asks it.
    void hold();
    void release();
    // Every question that waits now, and every later one, is answered No (a stop).
    void answerNo();
    // Questions are asked again (a new worker).
    void reset();

    // Runs call on the user-interface thread after everything queued before it, unless the
    // bridge is gone by then.
    void post(std::function<void()> call);

    void showText(Field field, const std::string& text) override;
    void setOverallProgress(int percent) override;
    void setBusy(bool busy) override;
    bool askYesNo(const std::string& question) override;
    OverwriteAnswer askOverwrite(const std::filesystem::path& existing) override;
    bool mayReplaceQuickRepairCopy(const std::filesystem::path& existing) override;
    void notice(const std::string& text) override;
    void candidateDone(int fileNumber, int candidate, const std::filesystem::path& output, bool written) override;
    void candidateKept(int fileNumber, int candidate, const std::filesystem::path& output) override;
    void failed(int fileNumber, const std::string& source, const std::string& what) override;

    struct State;

private:
    void show(std::function<void(StageUi&)> call);
    int ask(std::function<int(StageUi&)> question, int no);

    std::shared_ptr<State> state_;
};

} // namespace qm::stages
