#include "stages/analysis_worker.h"
#include "stages/repair_start.h"
#include "engine/word_automation.h"

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

TEST_F(RepairTest, AnalysisPicksTheEngineByTheExactExtension) {
    test::FakeAnalysisEngine engine;
    session().sourceFiles = {"/x/a.doc", "/x/b.DOC", "/x/c.docx", "/x/d.Docx", "/x/e.DOCX", "/x/noext"};
    for (int n = 1; n <= 6; ++n) {
        session().analysisFinished = false;
        const auto r = RunAnalysis(engine, n);
        EXPECT_TRUE(session().analysisFinished);
        EXPECT_TRUE(session().analysisThreadEnded);
        EXPECT_EQ(r.ranEngine, n <= 3) << n;
    }
    EXPECT_EQ(engine.calls, (std::vector<std::string>{"doc /x/a.doc", "doc /x/b.DOC", "docx /x/c.docx"}));
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
    EXPECT_EQ(r.error, "stopped");
    // Outside a flow, servers start again.
    EXPECT_THROW(word::Application::create(), word::WordError);
    EXPECT_EQ(serversStarted, 2);
    word::setConnectionFactory({});
}
