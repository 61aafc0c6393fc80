// The analysis dialog on a real display: it closes by itself when the worker ends, Pause holds
// the engine and Resume lets it go on, Stop answered Yes ends the worker within 5 s; a
// screenshot is kept in <build>/test-artifacts.
#include "app/session_state.h"
#include "platform/registry.h"
#include "ui/analysis_dialog.h"
#include "ui/message_boxes.h"

#include "tests/support/test_support.h"
#include "tests/ui/windows/window_test_support.h"

#include <wx/app.h>
#include <wx/init.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace qm;
using namespace qm::ui;
using qm::test::screenshot;
using qm::test::send;

namespace {

// Works in small steps through the pause gate until told to finish.
struct SteppingEngine : stages::AnalysisEngine {
    WorkControl* control = nullptr;
    std::atomic<int> steps{0};
    std::atomic<bool> finish{false};
    void work() {
        while (!finish) {
            control->checkpoint();
            ++steps;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void SalvageDocFile() override { work(); }
    void SalvageDocxFile() override { work(); }
};

class AnalysisDialogTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (test::noWindowDisplay())
            GTEST_SKIP() << "no display";
        test::useTestLogAndSkin(dir_.path());
        fs::create_directories(dir_ / "install");
        auto& s = session();
        s.installFolder = dir_ / "install"; // no stopvane there: nothing else's servers are ended
        s.analysisStopped = false;
        test::writeText(dir_ / "Report.doc", "a");
        s.sourceFiles = {(dir_ / "Report.doc").string()};
        s.fileCount = 1;
    }
    // Runs `action` on the user-interface thread after ms while the dialog is modal.
    void after(int ms, std::function<void()> action) {
        auto* timer = new wxTimer;
        timer->Bind(wxEVT_TIMER, [timer, action](wxTimerEvent&) {
            action();
            timer->Stop();
        });
        timer->StartOnce(ms);
        timers_.emplace_back(timer);
    }
    int stepsDuring(int ms) {
        const int before = engine_.steps;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return engine_.steps - before;
    }

    SteppingEngine engine_;
    DialogueScript boxes_;
    std::vector<std::unique_ptr<wxTimer>> timers_;
};

TEST_F(AnalysisDialogTest, ClosesItselfWhenTheWorkerEnds) {
    CProgressBar dialog(nullptr, engine_, 1);
    engine_.control = &dialog.flow().control();
    after(1500, [&] {
        screenshot("step2-analysis-dialog", 0);
        engine_.finish = true;
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dialog.ShowModal(), wxID_CANCEL);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(dialog.flow().finished());
    EXPECT_GT(session().progressPos, 0) << "the bar moved";
    EXPECT_EQ(session().currentSourcePath, dir_ / "Report.doc");
    EXPECT_TRUE(boxes_.messages.empty());
}

TEST_F(AnalysisDialogTest, PauseHoldsResumeGoesOnStopEnds) {
    CProgressBar dialog(nullptr, engine_, 1);
    engine_.control = &dialog.flow().control();
    int held = -1, resumed = -1;
    std::chrono::steady_clock::time_point stopAt;
    after(300, [&] {
        send(&dialog, wxEVT_BUTTON, id::kAnalysisPause);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        held = stepsDuring(2000);
        send(&dialog, wxEVT_BUTTON, id::kAnalysisPause);
        resumed = stepsDuring(200);
        boxes_.answers = {true};
        stopAt = std::chrono::steady_clock::now();
        send(&dialog, wxEVT_BUTTON, id::kAnalysisStop);
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(5));
    EXPECT_EQ(held, 0) << "no engine step for 2 s while paused";
    EXPECT_GT(resumed, 0);
    EXPECT_TRUE(session().analysisStopped);
    EXPECT_TRUE(dialog.flow().finished()) << "the worker is joined";
    ASSERT_EQ(boxes_.texts().size(), 1u);
    EXPECT_EQ(boxes_.texts()[0], "Do you want to Stop the analysis process ");
}

} // namespace
