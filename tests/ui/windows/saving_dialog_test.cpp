// The saving dialog and the overwrite dialog on a real display, over a fake save engine: the
// file count and the Overall Progress bar per file, the overwrite answers, Pause with Escape
// and Stop answered No, Stop answered Yes in a child process, and Save Current Preview that
// wrote nothing; screenshots kept in <build>/test-artifacts.
#include "app/session_state.h"
#include "engine/word_automation.h"
#include "platform/registry.h"
#include "stages/log_text.h"
#include "ui/completion_dialog.h"
#include "ui/main_menu.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/overwrite_dialog.h"
#include "ui/preview_window.h"
#include "ui/saving_dialog.h"

#include "tests/stages/stage_fakes.h"
#include "tests/support/test_support.h"
#include "tests/ui/windows/window_test_support.h"

#include <wx/app.h>

#include <optional>

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

// The shown top-level window of that class, or null.
template <class Window> Window* shownWindow() {
    for (wxWindow* w : wxTopLevelWindows)
        if (auto* found = dynamic_cast<Window*>(w); found && found->IsShown())
            return found;
    return nullptr;
}

std::string labelOf(wxWindow* dialog, int id) { return dialog->FindWindow(id)->GetLabel().utf8_string(); }

class Step3WindowTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (test::noWindowDisplay())
            GTEST_SKIP() << "no display";
        test::useTestLogAndSkin(dir_.path());
        fs::create_directories(dir_ / "install");
        fs::create_directories(dir_ / "in");
        fs::create_directories(dir_ / "out");
        auto& s = session();
        s.installFolder = dir_ / "install"; // no stopvane there: nothing else's servers are ended
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

// The whole run in the program's own windows with the real engine and document server: the
// shipped samples in the main window, Repair, every preview of both files, Save All into a new
// folder, OK in the completion dialog; and the same with Skip Preview. Each run ends its
// process, so it runs in a child copy of this program (WholeRunChild below).
TEST_F(Step3WindowTest, WholeRunWithTheShippedSamples) {
    const fs::path samples = fs::path(QM_TEST_BIN_DIR).parent_path() / "samples";
    const std::vector<std::string> names = {"Damaged Report.doc", "Damaged Letter.docx"};
    for (const auto& n : names)
        if (!fs::exists(samples / n))
            GTEST_SKIP() << "samples not built";
    registry::writeValue("TYDOC", "FilePath", QM_TEST_BIN_DIR);
    for (const char* mode : {"preview", "skip"}) {
        SCOPED_TRACE(mode);
        const fs::path run = dir_ / mode;
        fs::create_directories(run / "in");
        for (const auto& n : names)
            fs::copy_file(samples / n, run / "in" / n);
        fs::create_directories(run / "Recovered files");
        fs::remove(dir_ / "logs" / "Activity Log.txt");
        int status = 0;
        test::runCommand("QM_WHOLE_RUN='" + std::string(mode) + "' QM_WHOLE_RUN_DIR='" + run.string() + "' " +
                             fs::read_symlink("/proc/self/exe").string() +
                             " --gtest_filter=WholeRunChild.SaveAll >/dev/null 2>&1",
                         status);
        EXPECT_EQ(status, 0) << "the completion dialog's OK ends the program with code 0";
        for (const auto& n : names)
            EXPECT_EQ(test::readBytes(run / "in" / n), test::readBytes(samples / n)) << "source unchanged: " << n;
        EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "nothing left in the temporary folder";

        // What was written holds the previews' words and opens in independent readers.
        const fs::path out = run / "Recovered files";
        const fs::path doc1 = out / "Preview 1" / names[0], docx1 = out / "Preview 1" / names[1];
        ASSERT_TRUE(fs::exists(doc1));
        ASSERT_TRUE(fs::exists(docx1));
        if (test::haveTool("antiword")) {
            const std::string text = test::runCommand("antiword '" + doc1.string() + "' 2>&1", status);
            EXPECT_EQ(status, 0) << text;
            EXPECT_NE(text.find("Quarterly report"), std::string::npos) << text;
        }
        if (test::haveTool("soffice")) {
            const fs::path txt = run / "txt";
            test::runCommand("HOME='" + (run / "home").string() + "' timeout 120 soffice --headless --convert-to txt:Text --outdir '" +
                                 txt.string() + "' '" + doc1.string() + "' '" + docx1.string() + "' >/dev/null 2>&1",
                             status);
            EXPECT_NE(test::readText(txt / "Damaged Report.txt").find("Quarterly report"), std::string::npos);
            EXPECT_NE(test::readText(txt / "Damaged Letter.txt").find("Thank you for your letter of 4 May."), std::string::npos);
        }

        // The log holds Step 1, 2 and 3 in order, the previews looked at, the outputs and the end.
        const std::string text = log();
        std::vector<std::string> order = {stages::logtext::kStep1Banner, stages::logtext::kStep2Banner};
        const auto row = [&](int file, int k) {
            return std::to_string(file) + std::string(21, ' ') + std::to_string(k) + std::string(12, ' ') +
                   (run / "in" / names[file - 1]).string();
        };
        if (std::string(mode) == "preview")
            order.insert(order.end(), {row(1, 1), row(1, 4), row(2, 1), row(2, 2)});
        order.insert(order.end(), {stages::logtext::kStep3Banner, "\r\n" + doc1.string(), "\r\n" + docx1.string(),
                                   stages::logtext::kCompleted});
        size_t at = 0;
        for (const auto& line : order) {
            const size_t found = text.find(line, at);
            EXPECT_NE(found, std::string::npos) << "in order: " << line << "\n" << text;
            if (found != std::string::npos)
                at = found + line.size();
        }
    }
}

TEST(WholeRunChild, SaveAll) {
    const char* mode = std::getenv("QM_WHOLE_RUN");
    if (!mode || !test::windowDisplay())
        GTEST_SKIP() << "run by WholeRunWithTheShippedSamples";
    const fs::path run = std::getenv("QM_WHOLE_RUN_DIR");
    const bool skip = std::string(mode) == "skip";
    auto& s = session();
    s.installFolder = registry::readValue("TYDOC", "FilePath");
    s.skinFolder = fs::path(QM_TEST_BIN_DIR).parent_path() / "share" / "Tessary for Word";
    DialogueScript boxes; // the Skip Preview notice is answered OK
    const auto engine = stages::makeAnalysisEngine();
    ui::SavingStage saving;
    // Step 2 as the program runs it, with the destination folder picked by the test.
    struct Preview : stages::PreviewHandOver {
        stages::AnalysisEngine* engine;
        ui::SavingStage* saving;
        fs::path folder;
        void runPreview() override {
            auto* window = new ui::CPreview(*engine, *saving);
            window->pickFolder = [this] { return std::optional<fs::path>(folder); };
            window->RunModal();
            window->Destroy();
        }
    } preview;
    preview.engine = engine.get();
    preview.saving = &saving;
    preview.folder = run / "Recovered files";
    auto* main = new ui::CQuillmendDlg(preview);
    main->Show();
    main->AddFiles({(run / "in" / "Damaged Report.doc").string(), (run / "in" / "Damaged Letter.docx").string()});
    if (skip)
        send(main, wxEVT_MENU, id::kMenuSkipPreview);

    // The user, step by step: each tick acts once the window it needs is there. A command that
    // runs a modal stage is sent after the tick, since a timer does not tick inside its own handler.
    const auto later = [](wxWindow* w, int id) { w->CallAfter([w, id] { send(w, wxEVT_BUTTON, id); }); };
    int step = 0;
    bool closing = false; // the screenshot pumps events: the next tick must not close it too
    const auto user = after(100, [&] {
        auto* window = shownWindow<ui::CPreview>();
        auto* done = shownWindow<ui::CViewLog>();
        if (done && !closing) {
            closing = true;
            screenshot("step3-whole-run-completion-" + std::string(mode), 300);
            later(done, id::kCompletionOk);
            return;
        }
        if (!window)
            return;
        const bool idle = window->FindWindow(id::kBack)->IsEnabled(); // the analysis has ended
        if (skip) {
            if (step++ == 0 && idle)
                later(window, id::kSaveAll);
            return;
        }
        if (step == 0 && window->analyses() == 1 && idle) {
            for (int k = 1; k <= 4; ++k)
                send(window, wxEVT_BUTTON, id::kPreview1 + k - 1);
            later(window, id::kNextDocument);
            step = 1;
        } else if (step == 1 && window->analyses() == 2 && idle) {
            for (int k = 1; k <= 2; ++k)
                send(window, wxEVT_BUTTON, id::kPreview1 + k - 1);
            step = 2;
            later(window, id::kSaveAll);
        }
    }, true);
    send(main, wxEVT_BUTTON, id::kRepair);
    std::_Exit(3); // the run came back without the completion dialog's end
}

} // namespace
