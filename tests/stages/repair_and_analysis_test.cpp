#include "stages/analysis_flow.h"
#include "stages/analysis_worker.h"
#include "stages/repair_start.h"
#include "stages/exit_paths.h"
#include "stages/saving_worker.h"
#include "stages/step1_flow.h"
#include "engine/word_automation.h"
#include "engine/word_binding.h"

#include "platform/registry.h"
#include "tests/stages/stage_fakes.h"

using namespace qm;
using namespace qm::stages;

class RepairTest : public test::IsolatedTest {
protected:
    RepairTest() {
        fs::create_directories(dir_ / "logs");
        registry::writeValue("TYDOC", "LogPath", (dir_ / "logs").string());
        auto& s = session();
        s.installFolder = dir_ / "no-install"; // no stopvane: the Word check finds nothing
        s.quickRepairForced = false;
        s.skipPreview = false;
        s.sourceFiles.clear();
    }
    std::string log() { return test::readText(dir_ / "logs" / "Activity Log.txt"); }
    test::FakeUi ui_;
};

TEST_F(RepairTest, ExactStep2LogLinesForOneFile) {
    const auto a = dir_ / "a.doc";
    test::writeText(a, "x");
    ASSERT_EQ(StartRepair(ui_, {a.string()}, 0), RepairOutcome::Started);
    const std::string expected =
        "Source Files :\r\n______________\r\n\r\n1-   " + a.string() +
        "\r\n\r\nSkip Preview Status :    FALSE\r\n____________________\r\n\r\n"
        "****************** Step 2 :- Analysis Files and Preview Selection******************\r\n\r\n"
        "Total Files Count :    1\r\n___________________\r\n\r\n"
        "File Number      Preview Number      File Name\r\n___________      ______________      _________\r\n\r\n";
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(session().fileCount, 1);
    EXPECT_EQ(session().sourceFileAt(0), a.string());
    EXPECT_TRUE(session().advanceRepair);
}

TEST_F(RepairTest, RepairModeAndMissingLastFile) {
    const auto a = dir_ / "a.doc";
    test::writeText(a, "x");
    session().skipPreview = true;
    ASSERT_EQ(StartRepair(ui_, {a.string()}, 1), RepairOutcome::Started);
    EXPECT_FALSE(session().advanceRepair);
    EXPECT_NE(log().find("Skip Preview Status :    TRUE"), std::string::npos);
    session().quickRepairForced = true;
    ASSERT_EQ(StartRepair(ui_, {a.string()}, 0), RepairOutcome::Started);
    EXPECT_FALSE(session().advanceRepair) << "forced quick repair wins over the mode index";
    session().quickRepairForced = false;

    EXPECT_EQ(StartRepair(ui_, {a.string(), (dir_ / "gone.doc").string()}, 0), RepairOutcome::NoFiles);
    EXPECT_EQ(ui_.notices.back(), "No files selected, Kindly select a file");
    EXPECT_EQ(StartRepair(ui_, {}, 0), RepairOutcome::NoFiles);
}

TEST_F(RepairTest, LogRunStartWritesDateWithoutLeadingZeros) {
    std::tm t{};
    t.tm_mday = 5;
    t.tm_mon = 5;
    t.tm_year = 107;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 7;
    LogRunStart(t);
    EXPECT_NE(log().find("Version 1.0\r\nDate    5\\6\\2007\r\nTime    9:5:7\r\n\r\n"), std::string::npos);
    EXPECT_EQ(log().rfind("\r\n\r\n\r\n\r\n*********************************", 0), 0u);
    LogCompletion();
    EXPECT_NE(log().find("\r\n\r\n******************* Repairing Completed successfully***********************************"),
              std::string::npos);
}

TEST_F(RepairTest, AnalysisPicksTheEngineByTheExtensionInAnyLetterCase) {
    test::FakeAnalysisEngine engine;
    session().sourceFiles = {"/x/a.doc", "/x/b.DOC", "/x/c.docx", "/x/d.Docx", "/x/e.DOCX", "/x/noext"};
    for (int n = 1; n <= 6; ++n) {
        session().analysisFinished = false;
        const auto r = RunAnalysis(engine, n);
        EXPECT_TRUE(session().analysisFinished);
        EXPECT_TRUE(session().analysisThreadEnded);
        EXPECT_EQ(r.ranEngine, n <= 5) << n;
    }
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"doc /x/a.doc", "doc /x/b.DOC", "docx /x/c.docx",
                                                      "docx /x/d.Docx", "docx /x/e.DOCX"}));
    EXPECT_EQ(extensionOf("/a/b"), "/a/b");
}

TEST_F(RepairTest, AnalysisErrorEndsLikeAReturnAndClearsThePreviousPreviews) {
    test::FakeAnalysisEngine engine;
    engine.throwInDoc = true;
    const auto old = dir_ / "old.mht";
    test::writeText(old, "x");
    session().previewDocPath[1] = old;
    session().sourceFiles = {"/x/a.doc"};
    const auto r = RunAnalysis(engine, 1);
    EXPECT_EQ(r.outcome, FlowOutcome::Failed);
    EXPECT_EQ(r.error, "server died");
    EXPECT_TRUE(session().analysisFinished);
    EXPECT_FALSE(fs::exists(old));
    session().previewDocPath[1].clear();
}

TEST_F(RepairTest, AfterAStopNoEngineMethodStartsAnotherServer) {
    // The real .doc salvage: the user stops as its first server starts (method 1); the methods
    // after it must not start one.
    WorkControl control;
    int serversStarted = 0;
    word::setConnectionFactory([&]() -> std::shared_ptr<word::Connection> {
        ++serversStarted;
        EXPECT_EQ(currentWork(), serversStarted == 1 ? &control : nullptr); // the flow's pause gate is in place
        control.requestStop();
        throw word::WordError("no server in this test");
    });
    const auto source = dir_ / "a.doc";
    test::writeText(source, std::string(4096, 'x')); // printable blocks: method 4 would start one
    session().sourceFiles = {source.string()};
    const auto engine = makeAnalysisEngine();
    const auto r = RunAnalysis(*engine, 1, &control);
    EXPECT_EQ(serversStarted, 1);
    EXPECT_EQ(r.outcome, FlowOutcome::Stopped);
    // Outside a flow, servers start again.
    EXPECT_THROW(word::Application::create(), word::WordError);
    EXPECT_EQ(serversStarted, 2);
    word::setConnectionFactory({});
}

// In-process document servers whose every call is first shown to onCall (on the caller's thread).
class WatchedServers {
public:
    explicit WatchedServers(std::function<void()> onCall) : onCall_(std::move(onCall)) {
        word::setConnectionFactory([this] { return std::make_shared<Connection>(word::connectInProcess(), onCall_); });
    }
    ~WatchedServers() { word::setConnectionFactory({}); }

private:
    struct Connection : word::Connection {
        Connection(std::shared_ptr<word::Connection> inner, const std::function<void()>& onCall)
            : inner(std::move(inner)), onCall(onCall) {}
        word::Value invoke(std::uint32_t object, int dispid, word::CallKind kind,
                           const std::vector<word::Value>& args) override {
            onCall();
            return inner->invoke(object, dispid, kind, args);
        }
        void flush() override { inner->flush(); }
        std::shared_ptr<word::Connection> inner;
        const std::function<void()>& onCall;
    };
    std::function<void()> onCall_;
};

TEST_F(RepairTest, PauseDuringAnAnalysisHoldsTheNextServerCall) {
    std::atomic<int> calls{0};
    std::atomic<bool> firstCall{false}, paused{false};
    WatchedServers servers([&] {
        if (++calls > 1)
            return;
        firstCall = true; // the first call waits until Pause was pressed
        while (!paused)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const auto source = dir_ / "a.doc";
    test::writeText(source, std::string(4096, 'x'));
    session().sourceFiles = {source.string()};
    session().advanceRepair = true;
    const auto engine = makeAnalysisEngine();
    AnalysisFlow flow(ui_, *engine);
    flow.start(1);
    for (int i = 0; i < 10000 && !firstCall; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(firstCall);
    flow.pauseOrResume();
    paused = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(calls, 1) << "a call reached the server while paused";
    EXPECT_FALSE(flow.finished());
    flow.pauseOrResume();
    flow.join();
    EXPECT_EQ(flow.result().outcome, FlowOutcome::Completed);
    EXPECT_GT(calls, 1);
}

// Stop comes during a server call, which then fails as a server ended by the stop does: both
// flows end Stopped (not Failed), and no server call follows.
TEST_F(RepairTest, AStopMidwayEndsTheAnalysisAndTheSavingAlike) {
    const auto source = dir_ / "a.doc";
    test::writeText(source, std::string(4096, 'x'));
    auto& s = session();
    s.sourceFiles = {source.string()};
    s.fileCount = 1;
    s.advanceRepair = true;
    s.saveCurrentOnly = false;
    s.saveAllFolder = dir_ / "out";
    struct Flow {
        const char* name;
        std::function<FlowResult(WorkControl&)> run;
    };
    const Flow flows[] = {
        {"analysis", [](WorkControl& c) -> FlowResult { return RunAnalysis(*makeAnalysisEngine(), 1, &c); }},
        {"saving", [this](WorkControl& c) { return SavingWorker(ui_, *makeSaveEngine(), c).run(); }},
    };
    for (const Flow& flow : flows) {
        WorkControl control;
        std::atomic<int> calls{0};
        WatchedServers servers([&] {
            if (++calls != 3)
                return;
            control.requestStop();
            throw word::WordError("the server was ended");
        });
        const FlowResult r = flow.run(control);
        EXPECT_EQ(r.outcome, FlowOutcome::Stopped) << flow.name;
        EXPECT_EQ(r.error, "") << flow.name;
        EXPECT_EQ(calls, 3) << flow.name << ": a call after the stop";
    }
}

// Step 1's list: one row per file whatever path reaches it, case kept, renumbered after removal.
TEST_F(RepairTest, SourceListAddsEachFileOnceAndRenumbers) {
    const auto a = dir_ / "Report.doc";
    const auto b = dir_ / "report.doc";
    const auto c = dir_ / "c.docx";
    for (const auto& p : {a, b, c})
        test::writeText(p, p.filename().string());
    fs::create_directories(dir_ / "sub");
    fs::create_symlink(a, dir_ / "link.doc");
    fs::create_hard_link(c, dir_ / "hard.docx");
    const auto cwd = fs::current_path();
    fs::current_path(dir_ / "sub");

    SourceList list;
    EXPECT_EQ(list.add({a.string(), "", (dir_ / "gone.doc").string(), dir_.path().string(), b.string()}), 2);
    EXPECT_EQ(list.add({"../Report.doc", (dir_ / "sub/../report.doc").string(), (dir_ / "link.doc").string(),
                        (dir_ / "./Report.doc").string()}),
              0)
        << "other spellings and links of listed files";
    EXPECT_EQ(list.add({"../c.docx", (dir_ / "hard.docx").string()}), 1);
    fs::current_path(cwd);
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list.rows()[2].path, c.string()) << "relative paths are stored absolute";

    EXPECT_FALSE(list.removeAt(3));
    ASSERT_TRUE(list.removeAt(0));
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list.rows()[0].number, 1);
    EXPECT_EQ(list.rows()[0].path, b.string());
    EXPECT_EQ(list.rows()[1].number, 2);
    EXPECT_EQ(list.add({a.string()}), 1);
    EXPECT_EQ(list.rows()[2].number, 3) << "the next file gets the next number";
    EXPECT_EQ(session().nextRowIndex, 3);
    while (!list.empty())
        list.removeAt(0);
    EXPECT_FALSE(session().rowsRenumbered);
    EXPECT_EQ(session().nextRowIndex, 0);
}

TEST_F(RepairTest, Step1QuestionsNoticesAndHandOver) {
    const auto a = dir_ / "a.doc";
    test::writeText(a, "x");
    Step1Flow flow(ui_);
    struct FakePreview : PreviewHandOver {
        std::vector<bool>* shown = nullptr;
        int runs = 0;
        bool hiddenWhileRunning = false;
        void runPreview() override {
            ++runs;
            hiddenWhileRunning = !shown->empty() && !shown->back();
        }
    } preview;
    std::vector<bool> shown;
    preview.shown = &shown;
    auto show = [&](bool on) { shown.push_back(on); };

    EXPECT_FALSE(flow.clearAll()) << "an empty list asks nothing";
    EXPECT_TRUE(ui_.questions.empty());
    EXPECT_FALSE(flow.repair(preview, show));
    EXPECT_EQ(ui_.notices.back(), "No files selected, Kindly select a file");
    EXPECT_EQ(preview.runs, 0);

    flow.addFiles({a.string()});
    EXPECT_FALSE(flow.clearSelected(-1));
    EXPECT_EQ(ui_.notices.back(), "Please select any file to remove");
    EXPECT_FALSE(flow.clearSelected(0)); // answered No
    EXPECT_EQ(ui_.questions.back(), "Do you want to clear the selected file?");
    EXPECT_EQ(flow.list().size(), 1);

    EXPECT_TRUE(flow.toggleSkipPreview());
    flow.setSkipPreview(false);
    EXPECT_FALSE(session().skipPreview);
    EXPECT_EQ(flow.forceQuickRepair(), 1);
    ASSERT_TRUE(flow.repair(preview, show));
    EXPECT_EQ(preview.runs, 1);
    EXPECT_TRUE(preview.hiddenWhileRunning);
    EXPECT_EQ(shown, (std::vector<bool>{false, true}));
    EXPECT_FALSE(session().advanceRepair);
    EXPECT_NE(log().find("Total Files Count :    1\r\n"), std::string::npos);
    session().quickRepairForced = false;

    ui_.yesNoAnswers = {false, true};
    EXPECT_FALSE(flow.clearAll());
    EXPECT_TRUE(flow.clearAll());
    EXPECT_EQ(ui_.questions.back(), "Do you want to clear all files ?");
    EXPECT_TRUE(flow.list().empty());

    ui_.yesNoAnswers = {true};
    EXPECT_TRUE(flow.clearLog());
    EXPECT_EQ(ui_.questions.back(), "Do you want to clear Log File?");
    EXPECT_EQ(log(), "\r\n");
    flow.confirmExit();
    EXPECT_EQ(ui_.questions.back(), "Do you want to exit?");
    flow.confirmEscape();
    EXPECT_EQ(ui_.questions.back(), "Do you want to exit ? ");
}

// Every exit removes what the run left in the temporary folder; the completion OK also the
// .doc previews; nothing outside the temporary folder is touched.
TEST_F(RepairTest, ExitCleanupLeavesNothingInTheTemporaryFolder) {
    auto& s = session();
    const fs::path tmp = dir_ / "tmp";
    const fs::path runFolder = tmp / "run";
    const fs::path userOut = dir_ / "out" / "Picture";
    fs::create_directories(userOut);
    test::writeText(userOut / "keep.doc", "user");
    for (const ExitPath path : {ExitPath::EscapeMain, ExitPath::EscapePreview, ExitPath::PreviewExit,
                                ExitPath::CompletionOk, ExitPath::CompletionClose, ExitPath::CompletionEscape,
                                ExitPath::EscapeAnalysis}) {
        fs::create_directories(runFolder / "x");
        fs::create_directories(tmp / "Picture");
        fs::create_directories(tmp / "pkg" / "word" / "media");
        test::writeText(runFolder / "x" / "left.doc", "x");
        test::writeText(tmp / "Picture" / "Picture1.Doc", "x");
        test::writeText(tmp / "pkg" / "word" / "media" / "image1.png", "x");
        for (int n = 1; n <= 4; ++n) {
            s.previewDocPath[n] = tmp / (std::to_string(n) + ".mht");
            test::writeText(s.previewDocPath[n], "x");
        }
        s.pictureFolder = tmp / "Picture";
        s.docxWorkFolder = tmp / "pkg";
        s.savePictureFolder = userOut;
        setRunTempFolder(runFolder);
        runExitCleanup(path);
        EXPECT_TRUE(fs::is_empty(tmp)) << static_cast<int>(path);
        EXPECT_TRUE(fs::exists(userOut / "keep.doc"));
    }
    // A second start cleans nothing: the folder belongs to the running one.
    test::writeText(s.previewDocPath[1], "x");
    runExitCleanup(ExitPath::SecondInstance);
    EXPECT_TRUE(fs::exists(s.previewDocPath[1]));
    EXPECT_EXIT(endProcess(ExitPath::CompletionClose), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(s.previewDocPath[1])) << "the child's clean-up ran in this folder too";
    setRunTempFolder({});
    for (auto& p : s.previewDocPath)
        p.clear();
    s.pictureFolder.clear();
    s.docxWorkFolder.clear();
    s.savePictureFolder.clear();
}

// An engine that works in small steps through the pause gate until it is told to finish,
// counting its steps, and notes whether two analyses ever ran at once.
struct SteppingEngine : AnalysisEngine {
    WorkControl* control = nullptr;
    std::atomic<int> steps{0}, running{0}, overlaps{0};
    std::atomic<bool> finish{false};
    void work() {
        if (running++ > 0)
            ++overlaps;
        try {
            while (!finish) {
                control->checkpoint();
                ++steps;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } catch (...) {
            --running;
            throw;
        }
        --running;
    }
    void SalvageDocFile() override { work(); }
    void SalvageDocxFile() override { work(); }
};

struct BusyUi : test::FakeUi {
    std::vector<bool> busy;
    void setBusy(bool on) override { busy.push_back(on); }
};

class AnalysisFlowTest : public RepairTest {
protected:
    AnalysisFlowTest() {
        test::writeText(dir_ / "a.doc", "x");
        session().sourceFiles = {(dir_ / "a.doc").string()};
        session().analysisStopped = false;
        engine_.control = &flow_.control();
    }
    // Steps made in a quiet interval: 0 when the engine is held.
    int stepsDuring(int ms) {
        const int before = engine_.steps;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return engine_.steps - before;
    }
    BusyUi busyUi_;
    SteppingEngine engine_;
    AnalysisFlow flow_{busyUi_, engine_};
};

TEST_F(AnalysisFlowTest, ProgressCyclesInStepsOfFive) {
    session().progressPos = 0;
    std::vector<int> seen;
    for (int i = 0; i < 21; ++i)
        seen.push_back(flow_.tick());
    EXPECT_EQ(seen.front(), 5);
    EXPECT_EQ(seen[18], 95);
    EXPECT_EQ(seen[19], 0);
    EXPECT_EQ(seen[20], 5);
}

TEST_F(AnalysisFlowTest, PauseHoldsTheEngineAndStopNoWhilePausedResumes) {
    std::atomic<bool> ended{false};
    flow_.start(1, [&] { ended = true; });
    EXPECT_GT(stepsDuring(100), 0);
    EXPECT_STREQ(flow_.pauseOrResume(), "Resume");
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a step under way ends
    EXPECT_EQ(stepsDuring(300), 0) << "paused";
    EXPECT_STREQ(flow_.pauseOrResume(), "Pause");
    EXPECT_GT(stepsDuring(100), 0) << "resumed";
    EXPECT_TRUE(busyUi_.busy.back());
    EXPECT_EQ(flow_.progressPeriodMs(), 100) << "after a Resume the bar moves ten times as fast";

    flow_.pauseOrResume();
    busyUi_.yesNoAnswers = {false};
    EXPECT_FALSE(flow_.stop());
    EXPECT_EQ(busyUi_.questions.back(), "Do you want to Stop the analysis process ");
    EXPECT_STREQ(flow_.pauseCaption(), "Pause");
    EXPECT_FALSE(session().paused);
    EXPECT_GT(stepsDuring(100), 0) << "Stop answered No while paused runs the analysis again";
    EXPECT_STREQ(flow_.pauseOrResume(), "Resume") << "the next press pauses";
    flow_.pauseOrResume();

    engine_.finish = true;
    flow_.join();
    EXPECT_TRUE(ended && flow_.finished() && session().analysisFinished);
    EXPECT_FALSE(session().analysisStopped);
}

TEST_F(AnalysisFlowTest, StopEndsTheWorkerBeforeTheNextStarts) {
    flow_.start(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    busyUi_.yesNoAnswers = {true};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(flow_.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_TRUE(flow_.finished()) << "joined";
    EXPECT_TRUE(session().analysisStopped);
    EXPECT_EQ(flow_.result().outcome, FlowOutcome::Stopped);

    flow_.start(1);
    std::jthread finisher([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        engine_.finish = true;
    });
    flow_.start(1); // waits for the first to end
    flow_.join();
    EXPECT_EQ(engine_.overlaps, 0);
    EXPECT_GT(engine_.steps, 0);
}

TEST_F(AnalysisFlowTest, EscapeNoGoesOnYesEndsTheWorker) {
    flow_.start(1);
    busyUi_.yesNoAnswers = {false, true};
    EXPECT_FALSE(flow_.escape());
    EXPECT_EQ(busyUi_.questions.back(), "Do you want to exit ? ");
    EXPECT_GT(stepsDuring(100), 0);
    EXPECT_TRUE(flow_.escape());
    EXPECT_TRUE(flow_.finished());
    EXPECT_FALSE(session().analysisStopped);
}
