// The saving dialog and the overwrite dialog on a real display, over a fake save engine: the
// file count and the Overall Progress bar per file, the overwrite answers, Pause with Escape
// and Stop answered No, Stop answered Yes in a child process, and Save Current Preview that
// wrote nothing; screenshots kept in <build>/test-artifacts.
#include "app/session_state.h"
#include "engine/word_automation.h"
#include "platform/registry.h"
#include "stages/log_text.h"
#include "ui/completion_dialog.h"
#include "ui/message_boxes.h"
#include "ui/overwrite_dialog.h"
#include "ui/saving_dialog.h"

#include "tests/stages/stage_fakes.h"
#include "tests/support/test_support.h"
#include "tests/ui/windows/window_test_support.h"

#include <wx/app.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace qm;
using namespace qm::ui;
using namespace std::chrono_literals;
using qm::test::after;
using qm::test::press;
using qm::test::screenshot;
using qm::test::send;

namespace {

// Saves candidate 1 of a .doc in steps through the pause gate until told to finish.
struct SteppingEngine : test::FakeSaveEngine {
    std::atomic<int> steps{0};
    std::atomic<bool> finish{false};
    int ExtractPicturesTo(const fs::path& f) override {
        while (!finish) {
            passWorkGate();
            ++steps;
            std::this_thread::sleep_for(5ms);
        }
        return FakeSaveEngine::ExtractPicturesTo(f);
    }
};

std::string labelOf(wxWindow* dialog, int id) { return dialog->FindWindow(id)->GetLabel().utf8_string(); }

class Step3WindowTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (test::noWindowDisplay())
            GTEST_SKIP() << "no display";
        fs::create_directories(dir_ / "logs");
        fs::create_directories(dir_ / "install");
        fs::create_directories(dir_ / "in");
        fs::create_directories(dir_ / "out");
        registry::writeValue("TYDOC", "LogPath", (dir_ / "logs").string());
        auto& s = session();
        s.installFolder = dir_ / "install"; // no stopvane there: nothing else's servers are ended
        s.skinFolder = fs::path(QM_TEST_BIN_DIR).parent_path() / "share" / "Tessary for Word";
        s.sourceFiles.clear();
        s.fileCount = 0;
        s.advanceRepair = true;
        s.saveCurrentOnly = false;
        s.overwriteAnswer = stages::kNoAnswer;
        s.saveOption = 0;
        s.saveAllFolder = dir_ / "out";
        s.currentSaveFolder = dir_ / "out";
    }
    void source(const std::string& name) {
        test::writeText(dir_ / "in" / name, "source");
        session().sourceFiles.push_back((dir_ / "in" / name).string());
        session().fileCount = static_cast<int>(session().sourceFiles.size());
    }
    fs::path out(const std::string& rel) { return dir_ / "out" / rel; }
    void existing(const std::string& rel) {
        fs::create_directories(out(rel).parent_path());
        test::writeText(out(rel), "old");
    }
    // Runs Save All in the dialog up to its end; the completion dialog is replaced.
    stages::SavingReport saveAll(stages::SaveEngine& engine, const std::function<void(ui::CFileSave&)>& during = {}) {
        ui::CFileSave dialog(nullptr, engine);
        stages::SavingReport report;
        bool completed = false;
        dialog.completion = [&](const stages::SavingReport& r) {
            report = r;
            completed = true;
        };
        if (during)
            during(dialog);
        EXPECT_EQ(dialog.ShowModal(), wxID_OK);
        EXPECT_TRUE(completed);
        return report;
    }
    std::string log() { return test::readText(dir_ / "logs" / "Activity Log.txt"); }

    test::FakeSaveEngine engine_;
    DialogueScript boxes_;
};

TEST_F(Step3WindowTest, SaveAllShowsEachFileAndTheShareOfFilesBegun) {
    source("a.doc");
    source("b.doc");
    source("c.docx");
    std::vector<std::pair<int, std::string>> seen; // (Overall Progress, 1019) as each file starts
    std::string total;
    const auto report = saveAll(engine_, [&](ui::CFileSave& dialog) {
        engine_.onCall = [&](const std::string& call) {
            if (call.rfind("ExtractPicturesTo", 0) != 0 && call.rfind("SaveDocxCandidate", 0) != 0)
                return;
            test::onUiThread(&dialog, [&] {
                auto* overall = dynamic_cast<wxGauge*>(dialog.FindWindow(id::kSavingOverallBar));
                seen.emplace_back(overall->GetValue(), labelOf(&dialog, id::kSavingFileNumber));
                total = labelOf(&dialog, id::kSavingFileTotal);
                if (seen.size() == 2)
                    screenshot("step3-saving-dialog", 300);
            });
        };
    });
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{33, "1"}, {66, "2"}, {100, "3"}}));
    EXPECT_EQ(total, "3");
    EXPECT_EQ(report.written, 9);
    EXPECT_TRUE(report.gaveNothing.empty());
    EXPECT_TRUE(boxes_.messages.empty());

    // The completion dialog as this run ends it, and as a run where a file gave nothing does.
    auto* done = new CViewLog(nullptr, &report);
    done->Show();
    screenshot("step3-completion-dialog");
    EXPECT_EQ(done->FindWindow(id::kGaveNothingText), nullptr);
    done->Destroy();
    stages::SavingReport partial = report;
    partial.gaveNothing = {(dir_ / "in" / "Minutes 2019.doc").string()};
    done = new CViewLog(nullptr, &partial);
    done->Show();
    screenshot("step3-completion-dialog-gave-nothing");
    EXPECT_EQ(labelOf(done, id::kGaveNothingText), "Nothing could be saved from:\nMinutes 2019.doc");
    done->Destroy();
}

// The overwrite dialog: closed, Escape and Enter give no answer (the file stays), No is asked
// again for the next existing output, Yes To All is never asked again in the process.
TEST_F(Step3WindowTest, OverwriteDialogAnswers) {
    source("a.doc");
    source("b.doc");
    for (const char* rel : {"Preview 1/a.doc", "Preview 2/a.doc", "Preview 3/a.doc", "Preview 4/a.doc", "Preview 1/b.doc"})
        existing(rel);
    std::vector<std::function<void(CSaveMsg*)>> script = {
        [](CSaveMsg* d) { d->Close(); },
        [](CSaveMsg* d) { press(d, WXK_ESCAPE); },
        [](CSaveMsg* d) { press(d, WXK_RETURN); },
        [](CSaveMsg* d) { send(d, wxEVT_BUTTON, id::kOverwriteNo); },
        [](CSaveMsg* d) { send(d, wxEVT_BUTTON, id::kOverwriteYesToAll); },
    };
    size_t asked = 0;
    const auto answerer = after(50, [&] {
        auto* dialog = dynamic_cast<CSaveMsg*>(wxWindow::FindWindowById(id::kOverwriteDialog));
        if (!dialog || !dialog->IsModal())
            return;
        if (asked == 0) {
            EXPECT_EQ(dialog->GetTitle(), "Tessary for Word");
            screenshot("step3-overwrite-dialog");
        }
        if (asked < script.size())
            script[asked](dialog);
        ++asked;
    }, true);
    saveAll(engine_);
    EXPECT_EQ(asked, 5u);
    for (const char* kept : {"Preview 1/a.doc", "Preview 2/a.doc", "Preview 3/a.doc", "Preview 4/a.doc"})
        EXPECT_EQ(test::readText(out(kept)), "old") << kept;
    EXPECT_EQ(test::readText(out("Preview 1/b.doc")), "c1-new");
    EXPECT_EQ(test::readText(out("Preview 2/b.doc")), "anchored-new");
    EXPECT_EQ(session().overwriteAnswer, stages::kYesToAll);

    // A later run of the process replaces without a question.
    saveAll(engine_);
    EXPECT_EQ(asked, 5u);
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "c1-new");
}

// Escape answered No while paused keeps the worker held and "Resume"; Stop answered No while
// paused lets it run again with "Pause".
TEST_F(Step3WindowTest, EscapeNoWhilePausedKeepsResumeStopNoResumes) {
    source("a.doc");
    SteppingEngine engine;
    const auto stepsDuring = [&](std::chrono::milliseconds d) {
        const int before = engine.steps;
        std::this_thread::sleep_for(d);
        return engine.steps - before;
    };
    int held = -1, resumed = -1;
    std::string afterEscape, afterStop;
    std::unique_ptr<wxTimer> script;
    saveAll(engine, [&](ui::CFileSave& dialog) {
        script = after(300, [&] {
            send(&dialog, wxEVT_BUTTON, id::kSavingPause);
            boxes_.answers = {false};
            press(&dialog, WXK_ESCAPE);
            afterEscape = labelOf(&dialog, id::kSavingPause);
            std::this_thread::sleep_for(30ms);
            held = stepsDuring(500ms);
            boxes_.answers = {false};
            send(&dialog, wxEVT_BUTTON, id::kSavingStop);
            afterStop = labelOf(&dialog, id::kSavingPause);
            resumed = stepsDuring(200ms);
            engine.finish = true;
        });
    });
    EXPECT_EQ(afterEscape, "Resume");
    EXPECT_EQ(held, 0) << "the worker stays held";
    EXPECT_EQ(afterStop, "Pause");
    EXPECT_GT(resumed, 0);
    EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"Saving is in process, Do you want to exit ? ",
                                                        "Saving is in Process,Do you want to Stop?"}));
    EXPECT_EQ(log().find(stages::logtext::kAborted), std::string::npos);
}

// Stop answered Yes ends the process with code 0 after the aborted lines, and ends the
// document server the engine had started. It runs in a child copy of this program.
TEST_F(Step3WindowTest, StopYesEndsTheProcessAndItsServers) {
    registry::writeValue("TYDOC", "FilePath", QM_TEST_BIN_DIR);
    int status = 0;
    test::runCommand("QM_SAVING_CHILD_DIR='" + dir_.path().string() + "' " + fs::read_symlink("/proc/self/exe").string() +
                         " --gtest_filter=SavingChild.StopYes >/dev/null 2>&1",
                     status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(dir_ / "server-started")) << "the child's engine had a document server";
    const std::string aborted = std::string("\r\n\r\n") + stages::logtext::kAborted;
    ASSERT_GE(log().size(), aborted.size());
    EXPECT_EQ(log().substr(log().size() - aborted.size()), aborted);
    test::runCommand("'" + (test::binDir() / "stopvane").string() + "' -check", status);
    EXPECT_EQ(status, 0) << "no document server of the run is left";
}

TEST(SavingChild, StopYes) {
    const char* dir = std::getenv("QM_SAVING_CHILD_DIR");
    if (!dir || !test::windowDisplay())
        GTEST_SKIP() << "run by StopYesEndsTheProcessAndItsServers";
    struct ServerEngine : test::FakeSaveEngine {
        fs::path marker;
        int ExtractPicturesTo(const fs::path&) override {
            auto app = word::Application::create();
            auto document = app.Documents().Add();
            test::writeText(marker, "yes");
            for (;;) {
                passWorkGate();
                std::this_thread::sleep_for(10ms);
            }
        }
    } engine;
    engine.marker = fs::path(dir) / "server-started";
    auto& s = session();
    s.installFolder = registry::readValue("TYDOC", "FilePath");
    test::writeText(fs::path(dir) / "in" / "a.doc", "source");
    s.sourceFiles = {(fs::path(dir) / "in" / "a.doc").string()};
    s.fileCount = 1;
    s.saveAllFolder = fs::path(dir) / "out";
    s.saveCurrentOnly = false;
    DialogueScript boxes;
    ui::CFileSave dialog(nullptr, engine);
    const auto stop = after(100, [&] {
        if (!fs::exists(engine.marker))
            return;
        boxes.answers = {true};
        send(&dialog, wxEVT_BUTTON, id::kSavingStop);
    }, true);
    dialog.ShowModal();
    std::_Exit(3);
}

// Save Current Preview returns to the preview stage; when it wrote nothing the user had not
// chosen to keep, a notice says so.
TEST_F(Step3WindowTest, SaveCurrentPreviewThatWroteNothingSaysSo) {
    struct NothingToRecover : test::FakeSaveEngine {
        bool HoldsContent(const fs::path&) override { return false; }
    } empty;
    auto& s = session();
    source("a.doc");
    s.previewFileNumber = 1;
    s.selectedPreview = 2;
    s.saveCurrentOnly = true;
    RunSavingDialog(nullptr, empty);
    EXPECT_FALSE(s.saveCurrentOnly);
    EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"Nothing could be saved from:\na.doc"}));

    existing("Preview 2/a.doc");
    s.saveCurrentOnly = true;
    boxes_.answers = {false};
    const auto report = RunSavingDialog(nullptr, engine_);
    EXPECT_EQ(report.kept, 1);
    EXPECT_EQ(boxes_.texts().back(), "The file already exit's, Do you want to overwrite file") << "and no notice";
    EXPECT_EQ(test::readText(out("Preview 2/a.doc")), "old");
}

} // namespace
