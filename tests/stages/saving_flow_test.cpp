#include "stages/log_text.h"
#include "stages/saving_flow.h"
#include "stages/saving_worker.h"

#include "platform/registry.h"
#include "tests/stages/stage_fakes.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace qm;
using namespace qm::stages;

class SavingFlowTest : public test::IsolatedTest {
protected:
    SavingFlowTest() {
        fs::create_directories(dir_ / "logs");
        fs::create_directories(dir_ / "in");
        registry::writeValue("TYDOC", "LogPath", (dir_ / "logs").string());
        auto& s = session();
        s.sourceFiles.clear();
        s.fileCount = 0;
        s.advanceRepair = true;
        s.saveCurrentOnly = false;
        s.overwriteAnswer = 0;
        s.filesSavedCount = 0;
        s.saveOption = 0;
        s.selectedPreview = 1;
        s.previewFileNumber = 1;
        s.saveAllFolder = dir_ / "out";
        s.currentSaveFolder = dir_ / "out";
        fs::create_directories(dir_ / "out");
    }
    std::string source(const std::string& name) {
        const auto p = dir_ / "in" / name;
        test::writeText(p, "source");
        session().sourceFiles.push_back(p.string());
        session().fileCount = static_cast<int>(session().sourceFiles.size());
        return p.string();
    }
    FlowResult run() {
        SavingWorker worker(ui_, engine_, control_);
        return worker.run();
    }
    std::string log() { return test::readText(dir_ / "logs" / "Activity Log.txt"); }
    fs::path out(const std::string& rel) { return dir_ / "out" / rel; }

    test::FakeUi ui_;
    test::FakeSaveEngine engine_;
    WorkControl control_;
};

TEST_F(SavingFlowTest, AllFilesProgressAndFileNumbers) {
    source("a.doc");
    source("b.doc");
    source("c.docx");
    run();
    EXPECT_EQ(ui_.progress, (std::vector<int>{33, 66, 100}));
    EXPECT_EQ(ui_.textsOf(Field::FileNumber), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(ui_.textsOf(Field::FileTotal), (std::vector<std::string>{"3"}));
    EXPECT_EQ(session().filesSavedCount, 3);
}

TEST_F(SavingFlowTest, AdvanceRepairWritesFourFoldersAndDocxOnlyCandidateOne) {
    source("a.doc");
    source("UPPER.DOC");
    source("r.docx");
    run();
    EXPECT_EQ(engine_.calls, (std::vector<std::string>{
                                 "ExtractPicturesTo Preview 1", "SaveFibText a.doc Preview 1", "SaveCombinedDoc all 1",
                                 "SaveAnchoredText 2 Preview 2 a.doc", "SaveAnchoredText 3 Preview 3 a.doc",
                                 "SaveRawBlocks a.doc Preview 4", "ExtractPicturesTo Preview 1",
                                 "SaveFibText UPPER.DOC Preview 1", "SaveCombinedDoc all 1",
                                 "SaveAnchoredText 2 Preview 2 UPPER.DOC", "SaveAnchoredText 3 Preview 3 UPPER.DOC",
                                 "SaveRawBlocks UPPER.DOC Preview 4", "SaveDocxCandidate Preview 1"}))
        << "DOC in capitals is a .doc file";
    for (int n = 1; n <= 4; ++n)
        EXPECT_TRUE(fs::exists(out("Preview " + std::to_string(n)) / "a.doc"));
    EXPECT_TRUE(fs::exists(out("Preview 1/r.docx")));
    EXPECT_FALSE(fs::exists(out("Preview 2/r.docx")));
    EXPECT_EQ(ui_.written.size(), 9u);
}

TEST_F(SavingFlowTest, QuickRepairWritesIntoTheDestinationAndLogsPathsRunTogether) {
    session().advanceRepair = false;
    const std::string a = source("a.doc");
    source("b.doc");
    test::writeText(out("a.doc"), "existing"); // replaced without a question
    run();
    EXPECT_EQ(engine_.calls, (std::vector<std::string>{"QuickRepairCopy " + out("a.doc").string(),
                                                       "QuickRepairCopy " + out("b.doc").string()}));
    EXPECT_EQ(ui_.overwriteAsked, 0);
    EXPECT_EQ(test::readText(out("a.doc")), "quick");
    const std::string expectedTail = "________________________\r\n\r\n" + out("a.doc").string() + out("b.doc").string();
    EXPECT_EQ(log().substr(log().size() - expectedTail.size()), expectedTail);
}

TEST_F(SavingFlowTest, ExactStep3LogLines) {
    source("a.doc");
    run();
    std::string expected = "\r\n\r\n******************************  Step 3 :- Files Saving********************************"
                           "\r\n\r\nDestination Files Path :\r\n________________________\r\n\r\n";
    for (int n = 1; n <= 4; ++n)
        expected += "\r\n" + out("Preview " + std::to_string(n) + "/a.doc").string();
    EXPECT_EQ(log(), expected);
}

TEST_F(SavingFlowTest, NoIsAskedAgainYesToAllLastsForTheWholeProcess) {
    source("a.doc");
    for (int n = 1; n <= 4; ++n) {
        fs::create_directories(out("Preview " + std::to_string(n)));
        test::writeText(out("Preview " + std::to_string(n) + "/a.doc"), "old");
    }
    ui_.overwriteAnswers = {kNo, kYesToAll};
    run();
    EXPECT_EQ(ui_.overwriteAsked, 2);
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "old");
    EXPECT_EQ(test::readText(out("Preview 2/a.doc")), "anchored-new");
    EXPECT_EQ(test::readText(out("Preview 4/a.doc")), "raw-new");
    EXPECT_EQ(ui_.kept, (std::vector<std::string>{out("Preview 1/a.doc").string()}));
    // A later run of the same process asks nothing and replaces.
    run();
    EXPECT_EQ(ui_.overwriteAsked, 2);
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "c1-new");
}

TEST_F(SavingFlowTest, NoToAllKeepsExistingButWritesNewOutputs) {
    source("a.doc");
    fs::create_directories(out("Preview 2"));
    fs::create_directories(out("Preview 3"));
    test::writeText(out("Preview 2/a.doc"), "old2");
    test::writeText(out("Preview 3/a.doc"), "old3");
    ui_.overwriteAnswers = {kNoToAll};
    run();
    EXPECT_EQ(ui_.overwriteAsked, 1);
    EXPECT_EQ(test::readText(out("Preview 2/a.doc")), "old2");
    EXPECT_EQ(test::readText(out("Preview 3/a.doc")), "old3");
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "c1-new");
    EXPECT_EQ(test::readText(out("Preview 4/a.doc")), "raw-new");
}

TEST_F(SavingFlowTest, ClosedQuestionKeepsThePreviousAnswer) {
    source("a.doc");
    fs::create_directories(out("Preview 1"));
    fs::create_directories(out("Preview 2"));
    test::writeText(out("Preview 1/a.doc"), "old1");
    test::writeText(out("Preview 2/a.doc"), "old2");
    // First question closed: answer stays 0 and the file stays.
    ui_.overwriteAnswers = {kNoAnswer, kYes};
    run();
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "old1");
    EXPECT_EQ(test::readText(out("Preview 2/a.doc")), "anchored-new");
    EXPECT_EQ(session().overwriteAnswer, kYes);
    // After Yes, a closed question keeps Yes: the file is replaced.
    ui_.overwriteAnswers = {kNoAnswer};
    test::writeText(out("Preview 3/a.doc"), "old3");
    fs::remove(out("Preview 1/a.doc"));
    fs::remove(out("Preview 2/a.doc"));
    fs::remove(out("Preview 4/a.doc"));
    run();
    EXPECT_EQ(test::readText(out("Preview 3/a.doc")), "anchored-new");
}

TEST_F(SavingFlowTest, CurrentFileFlowAsksYesNoAndHonoursTheAnswer) {
    session().saveCurrentOnly = true;
    source("a.doc");
    source("b.doc");
    session().previewFileNumber = 2;
    session().selectedPreview = 3;
    fs::create_directories(out("Preview 3"));
    test::writeText(out("Preview 3/b.doc"), "old");
    ui_.yesNoAnswers = {false};
    run();
    EXPECT_EQ(ui_.questions, (std::vector<std::string>{"The file already exit's, Do you want to overwrite file"}));
    EXPECT_TRUE(engine_.calls.empty());
    EXPECT_EQ(test::readText(out("Preview 3/b.doc")), "old");
    EXPECT_EQ(ui_.progress, (std::vector<int>{100}));
    EXPECT_EQ(ui_.textsOf(Field::FileNumber), (std::vector<std::string>{"1"}));

    ui_.yesNoAnswers = {true};
    run();
    EXPECT_EQ(engine_.calls, (std::vector<std::string>{"SaveAnchoredText 3 Preview 3 b.doc"}));
    EXPECT_EQ(test::readText(out("Preview 3/b.doc")), "anchored-new");
}

TEST_F(SavingFlowTest, CurrentFileFlowIgnoresRepairModeAndDocxOtherCandidates) {
    session().saveCurrentOnly = true;
    session().advanceRepair = false;
    source("a.doc");
    run();
    EXPECT_EQ(engine_.calls, (std::vector<std::string>{"ExtractPicturesTo Preview 1", "SaveFibText a.doc Preview 1",
                                                       "SaveCombinedDoc current 1"}));
    engine_.calls.clear();
    session().sourceFiles = {source("r.docx")};
    session().selectedPreview = 2;
    run();
    EXPECT_TRUE(engine_.calls.empty());

    // Before any preview was shown in the run, nothing at all happens, for either kind of file.
    session().selectedPreview = SessionState{}.selectedPreview;
    for (const char* name : {"n.doc", "n.docx"}) {
        session().sourceFiles = {source(name)};
        const std::string logBefore = log();
        run();
        EXPECT_TRUE(engine_.calls.empty()) << name;
        EXPECT_TRUE(ui_.questions.empty()) << name;
        EXPECT_EQ(log().substr(logBefore.size()).find(name), std::string::npos) << name;
    }
}

TEST_F(SavingFlowTest, SaveOptionTwoNamesDocxOutputDoc) {
    source("Report.docx");
    session().saveOption = 2;
    run();
    EXPECT_TRUE(fs::exists(out("Preview 1/Report.doc")));
}

TEST_F(SavingFlowTest, StopEndsTheFlowAtOnce) {
    source("a.doc");
    source("b.doc");
    engine_.onCall = [&](const std::string& c) {
        if (c.rfind("SaveAnchoredText 2", 0) == 0)
            control_.requestStop();
    };
    EXPECT_EQ(run().outcome, FlowOutcome::Stopped);
    EXPECT_EQ(engine_.calls.back(), "SaveAnchoredText 2 Preview 2 a.doc");
    EXPECT_EQ(session().filesSavedCount, 0);
    const std::string aborted = std::string("\r\n\r\n") + logtext::kAborted;
    ASSERT_GE(log().size(), aborted.size());
    EXPECT_EQ(log().substr(log().size() - aborted.size()), aborted);
}

TEST_F(SavingFlowTest, ADocxCandidateThatLostItsDocumentReportsItsMediaCopies) {
    struct MediaOnly : test::FakeSaveEngine {
        int SaveDocxCandidate(const fs::path& f) override {
            const auto copy = f / "r_image1.png";
            test::writeText(copy, "png");
            session().saveMediaCopies = {copy};
            return 1;
        }
    } mediaOnly;
    source("r.docx");
    SavingWorker worker(ui_, mediaOnly, control_);
    worker.run();
    EXPECT_EQ(ui_.written, (std::vector<std::string>{out("Preview 1/r_image1.png").string()}));
}

TEST_F(SavingFlowTest, AFailingCandidateIsReportedAndTheNextOneRuns) {
    struct Throwing : test::FakeSaveEngine {
        int SaveRawBlocks(const std::string&, const fs::path&) override { throw std::runtime_error("boom"); }
    } throwing;
    source("a.doc");
    source("b.doc");
    SavingWorker worker(ui_, throwing, control_);
    worker.run();
    EXPECT_EQ(ui_.failures, (std::vector<std::string>{"boom", "boom"}));
    EXPECT_EQ(session().filesSavedCount, 2);
    EXPECT_TRUE(fs::exists(out("Preview 3/b.doc")));
}

// The user-interface thread of a window, played by the test: what the flow posts waits in a
// queue until the test runs it.
struct QueuedUiThread {
    std::mutex mutex;
    std::deque<std::function<void()>> calls;
    UiThreadBridge::Post post() {
        return [this](std::function<void()> call) {
            std::lock_guard lock(mutex);
            calls.push_back(std::move(call));
        };
    }
    size_t queued() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    // Runs queued calls until done() holds (at most 5 s).
    void runUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < end) {
            std::function<void()> call;
            {
                std::lock_guard lock(mutex);
                if (!calls.empty()) {
                    call = std::move(calls.front());
                    calls.pop_front();
                }
            }
            if (call)
                call();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

TEST_F(SavingFlowTest, StopAnswersTheWorkersPendingQuestionNoAndJoinsIt) {
    source("a.doc");
    fs::create_directories(out("Preview 1"));
    test::writeText(out("Preview 1/a.doc"), "old");
    QueuedUiThread uiThread;
    SavingFlow flow(ui_, engine_, uiThread.post());
    flow.start();
    // The worker's overwrite question waits in the queue: the user presses Stop first.
    for (int i = 0; i < 100 && uiThread.queued() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ui_.yesNoAnswers = {true};
    EXPECT_TRUE(flow.stop()); // returns only once the worker is joined
    EXPECT_TRUE(flow.finished());
    EXPECT_EQ(ui_.questions, (std::vector<std::string>{savingtext::kStop}));
    uiThread.runUntil([&] { return uiThread.queued() == 0; });
    EXPECT_EQ(ui_.overwriteAsked, 0) << "the question answered by the stop is never shown";
    EXPECT_TRUE(engine_.calls.empty());
    EXPECT_EQ(test::readText(out("Preview 1/a.doc")), "old");
    const std::string aborted = std::string("\r\n\r\n") + logtext::kAborted;
    ASSERT_GE(log().size(), aborted.size());
    EXPECT_EQ(log().substr(log().size() - aborted.size()), aborted);
    EXPECT_EQ(log().find(logtext::kAborted), log().rfind(logtext::kAborted)) << "written once";
}

TEST_F(SavingFlowTest, ReportSaysWhatWasWrittenAndWhichFilesGaveNothing) {
    const struct {
        std::vector<std::string> files;
        const char* headline;
        std::string gaveNothing;
    } cases[] = {
        {{"a.doc", "r.docx"}, savingtext::kCompleted, ""},
        {{"a.doc", "n.txt", "e.doc"}, savingtext::kCompleted, "Nothing could be saved from:\nn.txt\ne.doc"},
        {{"n.txt"}, savingtext::kNothingSaved, "Nothing could be saved from:\nn.txt"},
    };
    struct NothingFromE : test::FakeSaveEngine { // "e.doc" holds nothing to recover
        bool HoldsContent(const fs::path& p) override { return p.filename() != "e.doc"; }
    } engine;
    for (const auto& c : cases) {
        session().sourceFiles.clear();
        for (const auto& f : c.files)
            source(f);
        QueuedUiThread uiThread;
        SavingFlow flow(ui_, engine, uiThread.post());
        flow.start();
        uiThread.runUntil([&] { return flow.finished() && uiThread.queued() == 0; });
        flow.join();
        const SavingReport r = flow.report();
        EXPECT_EQ(r.headline(), c.headline) << c.files.size();
        EXPECT_EQ(r.gaveNothingText(), c.gaveNothing);
        fs::remove_all(dir_ / "out");
    }
}
