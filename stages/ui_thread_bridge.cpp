#include "stages/ui_thread_bridge.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <vector>

namespace qm::stages {

namespace {

struct Question {
    std::function<int(StageUi&)> ask;
    int no = 0;                // the answer a stop gives
    std::optional<int> answer; // set once, under State::mutex
};

} // namespace

struct UiThreadBridge::State {
    std::mutex mutex;
    std::condition_variable answered;
    StageUi* target = nullptr; // null once the bridge is gone
    Post post;
    bool sayNo = false;
    bool held = false;
    std::list<std::shared_ptr<Question>> open;     // asked by the worker, not yet answered
    std::vector<std::shared_ptr<Question>> parked; // reached the user-interface thread while held

    // Under mutex: every open question gets its No.
    void answerOpenNo() {
        for (auto& q : open)
            if (!q->answer)
                q->answer = q->no;
        parked.clear();
        answered.notify_all();
    }

    // On the user-interface thread.
    void run(const std::shared_ptr<Question>& q) {
        StageUi* ui = nullptr;
        {
            std::lock_guard lock(mutex);
            if (q->answer)
                return; // a stop answered it meanwhile
            if (held) {
                parked.push_back(q);
                return;
            }
            ui = target;
        }
        const int a = ui ? q->ask(*ui) : q->no; // a modal dialog: events go on meanwhile
        std::lock_guard lock(mutex);
        if (!q->answer)
            q->answer = a;
        answered.notify_all();
    }
};

UiThreadBridge::UiThreadBridge(StageUi& target, Post post) : state_(std::make_shared<State>()) {
    state_->target = &target;
    state_->post = std::move(post);
}

UiThreadBridge::~UiThreadBridge() {
    std::lock_guard lock(state_->mutex);
    state_->target = nullptr;
    state_->sayNo = true;
    state_->answerOpenNo();
}

void UiThreadBridge::hold() {
    std::lock_guard lock(state_->mutex);
    state_->held = true;
}

void UiThreadBridge::release() {
    std::vector<std::shared_ptr<Question>> parked;
    {
        std::lock_guard lock(state_->mutex);
        state_->held = false;
        parked.swap(state_->parked);
    }
    for (auto& q : parked)
        state_->post([st = state_, q] { st->run(q); });
}

void UiThreadBridge::answerNo() {
    std::lock_guard lock(state_->mutex);
    state_->sayNo = true;
    state_->answerOpenNo();
}

void UiThreadBridge::reset() {
    std::lock_guard lock(state_->mutex);
    state_->sayNo = false;
    state_->held = false;
}

void UiThreadBridge::post(std::function<void()> call) {
    state_->post([st = state_, call = std::move(call)] {
        {
            std::lock_guard lock(st->mutex);
            if (!st->target)
                return;
        }
        call();
    });
}

void UiThreadBridge::show(std::function<void(StageUi&)> call) {
    state_->post([st = state_, call = std::move(call)] {
        StageUi* ui = nullptr;
        {
            std::lock_guard lock(st->mutex);
            ui = st->target;
        }
        if (ui)
            call(*ui);
    });
}

int UiThreadBridge::ask(std::function<int(StageUi&)> question, int no) {
    const std::shared_ptr<State> st = state_; // the bridge may go while this waits
    auto q = std::make_shared<Question>(Question{std::move(question), no, {}});
    std::unique_lock lock(st->mutex);
    if (st->sayNo)
        return no;
    st->open.push_back(q);
    lock.unlock();
    st->post([st, q] { st->run(q); });
    lock.lock();
    st->answered.wait(lock, [&] { return q->answer.has_value(); });
    st->open.remove(q);
    return *q->answer;
}

void UiThreadBridge::showText(Field field, const std::string& text) {
    show([=](StageUi& ui) { ui.showText(field, text); });
}

void UiThreadBridge::setOverallProgress(int percent) {
    show([=](StageUi& ui) { ui.setOverallProgress(percent); });
}

void UiThreadBridge::setBusy(bool busy) {
    show([=](StageUi& ui) { ui.setBusy(busy); });
}

bool UiThreadBridge::askYesNo(const std::string& question) {
    return ask([question](StageUi& ui) { return int(ui.askYesNo(question)); }, 0) != 0;
}

OverwriteAnswer UiThreadBridge::askOverwrite(const std::filesystem::path& existing) {
    return static_cast<OverwriteAnswer>(ask([existing](StageUi& ui) { return int(ui.askOverwrite(existing)); }, kNo));
}

bool UiThreadBridge::mayReplaceQuickRepairCopy(const std::filesystem::path& existing) {
    return ask([existing](StageUi& ui) { return int(ui.mayReplaceQuickRepairCopy(existing)); }, 0) != 0;
}

void UiThreadBridge::notice(const std::string& text) {
    ask([text](StageUi& ui) {
        ui.notice(text);
        return 0;
    }, 0);
}

void UiThreadBridge::candidateDone(int fileNumber, int candidate, const std::filesystem::path& output, bool written) {
    show([=](StageUi& ui) { ui.candidateDone(fileNumber, candidate, output, written); });
}

void UiThreadBridge::candidateKept(int fileNumber, int candidate, const std::filesystem::path& output) {
    show([=](StageUi& ui) { ui.candidateKept(fileNumber, candidate, output); });
}

void UiThreadBridge::failed(int fileNumber, const std::string& source, const std::string& what) {
    show([=](StageUi& ui) { ui.failed(fileNumber, source, what); });
}

} // namespace qm::stages
