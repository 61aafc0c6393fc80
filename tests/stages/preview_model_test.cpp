#include "stages/preview_model.h"

#include "app/session_state.h"
#include "platform/registry.h"
#include "tests/stages/stage_fakes.h"

using namespace qm;
using namespace qm::stages;

class PreviewModelTest : public test::IsolatedTest {
protected:
    PreviewModelTest() {
        fs::create_directories(dir_ / "logs");
        registry::writeValue("TYDOC", "LogPath", (dir_ / "logs").string());
        auto& s = session();
        s.installFolder = dir_ / "inst";
        s.skipPreview = false;
        s.advanceRepair = true;
        s.analysisStopped = false;
        s.selectedPreview = 0;
        s.previewDocPath = {};
        s.previewDocxPath = {};
        setFiles(1);
    }
    void setFiles(int n) {
        auto& s = session();
        s.sourceFiles.clear();
        for (int i = 1; i <= n; ++i)
            s.sourceFiles.push_back((dir_ / ("f" + std::to_string(i) + ".doc")).string());
        s.fileCount = n;
    }
    // Candidates 1..4 of a .doc source (or 1..2 of a .docx one) as the engine leaves them.
    void analyse(bool docx, std::uintmax_t preview4Size = 10) {
        auto& s = session();
        s.inputIsDocx = docx;
        s.currentSourcePath = s.sourceFileAt(model_.fileNumber() - 1);
        for (int k = 1; k <= (docx ? 2 : 4); ++k) {
            const fs::path p = dir_ / ((docx ? "x" : "d") + std::to_string(k) + ".mht");
            test::writeText(p, "c");
            (docx ? s.previewDocxPath[k] : s.previewDocPath[k]) = p;
        }
        if (!docx)
            fs::resize_file(s.previewDocPath[4], preview4Size);
        model_.analysisDone();
    }
    std::string log() { return test::readText(dir_ / "logs" / "Activity Log.txt"); }
    fs::path placeholder() const { return session().installFolder / "Preview.mht"; }
    PreviewModel model_;
};

TEST_F(PreviewModelTest, DocxHasNoPreview3And4) {
    model_.init();
    analyse(true);
    const auto& c = model_.controls();
    EXPECT_TRUE(c.preview[1] && c.preview[2] && c.menuPreview[1] && c.menuPreview[2]);
    EXPECT_FALSE(c.preview[3] || c.preview[4] || c.menuPreview[3] || c.menuPreview[4]);
    EXPECT_EQ(model_.showPreview(2), session().previewDocxPath[2]);
    EXPECT_EQ(model_.checkSaveCurrent(), SaveCurrentCheck::PickFolder) << "the picture page of a .docx is savable";
    EXPECT_EQ(model_.showPreview(3), session().previewDocxPath[2]) << "a disabled button changes nothing";
    EXPECT_EQ(session().selectedPreview, 2);
}

TEST_F(PreviewModelTest, PagesOfTheFourButtons) {
    struct Case {
        std::uintmax_t preview4Size;
        bool stopped;
        bool missing2;
        std::array<bool, 5> placeholderShown;
    } cases[] = {
        {10, false, false, {false, false, false, false, false}},
        {11000000, false, false, {false, false, false, false, false}},
        {11000001, false, false, {false, false, false, false, true}},
        {10, false, true, {false, false, true, false, false}},
        {10, true, false, {false, true, true, true, true}},
    };
    for (const auto& c : cases) {
        model_.init();
        analyse(false, c.preview4Size);
        if (c.missing2)
            fs::remove(session().previewDocPath[2]);
        session().analysisStopped = c.stopped;
        for (int k = 1; k <= 4; ++k) {
            const fs::path shown = model_.showPreview(k);
            EXPECT_EQ(shown, c.placeholderShown[k] ? placeholder() : session().previewDocPath[k])
                << "preview " << k << " size " << c.preview4Size << " stopped " << c.stopped;
        }
    }
}

TEST_F(PreviewModelTest, StopShowsPlaceholderUntilTheFileChanges) {
    setFiles(2);
    model_.init();
    analyse(false);
    session().analysisStopped = true;
    EXPECT_EQ(model_.showPreview(3), placeholder());
    EXPECT_EQ(session().selectedPreview, 1) << "a stopped file changes no selection";
    ASSERT_TRUE(model_.changeFile(+1));
    EXPECT_FALSE(session().analysisStopped);
    EXPECT_EQ(model_.page(), session().installFolder / "Blank.mht");
    analyse(false);
    EXPECT_EQ(model_.showPreview(3), session().previewDocPath[3]);
}

TEST_F(PreviewModelTest, LogRowsByteForByte) {
    model_.init();
    analyse(false);
    model_.showPreview(1);
    model_.showPreview(2);
    model_.showPreview(4);
    const std::string path = session().currentSourcePath.string();
    EXPECT_EQ(log(), "\r\n1                     1            " + path + "\r\n" +
                         "\r\n\r\n1                     2            " + path + "\r\n" +
                         "\r\n\r\n1                     4            " + path + "\r\n");
}

TEST_F(PreviewModelTest, AutomaticPreview1) {
    session().advanceRepair = false;
    model_.init();
    analyse(false);
    EXPECT_EQ(model_.page(), session().installFolder / "Blank.mht") << "quick repair shows nothing itself";
    EXPECT_EQ(session().selectedPreview, 0);
    EXPECT_EQ(model_.checkSaveCurrent(), SaveCurrentCheck::Nothing) << "no preview shown yet";

    session().advanceRepair = true;
    model_.init();
    session().previewDocPath = {};
    model_.analysisDone();
    EXPECT_EQ(model_.page(), session().installFolder / "preview.mht");
    EXPECT_EQ(session().selectedPreview, 1);
    EXPECT_EQ(model_.checkSaveCurrent(), SaveCurrentCheck::NotFound);
    EXPECT_EQ(log(), "") << "no row without a candidate";
}

TEST_F(PreviewModelTest, DocumentButtonsOn1And2AndNFiles) {
    struct Step {
        int delta;
        bool moved;
        bool back, next;
    };
    const std::vector<std::pair<int, std::vector<Step>>> cases = {
        {1, {{0, false, false, false}, {+1, false, false, false}, {-1, false, false, false}}},
        {2, {{0, false, false, true}, {+1, true, true, false}, {+1, false, true, false}, {-1, true, false, true}}},
        {4, {{0, false, false, true}, {+1, true, true, true}, {+1, true, true, true}, {+1, true, true, false}}},
    };
    for (const auto& [files, steps] : cases) {
        setFiles(files);
        model_.init();
        for (const auto& st : steps) {
            if (st.delta != 0) {
                EXPECT_EQ(model_.changeFile(st.delta), st.moved) << files << " files, at " << model_.fileNumber();
            }
            analyse(false);
            EXPECT_EQ(model_.controls().backDocument, st.back) << files << " files, at " << model_.fileNumber();
            EXPECT_EQ(model_.controls().nextDocument, st.next) << files << " files, at " << model_.fileNumber();
            EXPECT_EQ(model_.currentPath(), session().sourceFileAt(model_.fileNumber() - 1));
        }
    }
}

TEST_F(PreviewModelTest, SelectionCarriedOverAFileChange) {
    setFiles(2);
    session().advanceRepair = false;
    model_.init();
    analyse(false);
    model_.showPreview(3);
    ASSERT_TRUE(model_.changeFile(+1));
    EXPECT_EQ(session().selectedPreview, 3);
    session().previewDocPath[3] = dir_ / "gone.mht";
    model_.analysisDone();
    EXPECT_EQ(model_.checkSaveCurrent(), SaveCurrentCheck::NotFound) << "preview 3 of the new file is checked";
}

TEST_F(PreviewModelTest, SkipPreviewAndBack) {
    setFiles(3);
    session().skipPreview = true;
    model_.init();
    const auto& c = model_.controls();
    EXPECT_TRUE(c.back && c.saveAll);
    EXPECT_FALSE(c.saveCurrent || c.browser || c.menuSaveCurrent || c.preview[1] || c.menuPreview[1] || c.nextDocument);
    EXPECT_EQ(model_.fileNumberText(), "3");
    EXPECT_FALSE(model_.takeAnalysisRequest());
    EXPECT_TRUE(model_.takeCompletedNotice());
    EXPECT_FALSE(model_.takeCompletedNotice());

    session().skipPreview = false;
    model_.init();
    EXPECT_TRUE(model_.takeAnalysisRequest());
    analyse(false);
    session().analysisStopped = true;
    model_.back();
    EXPECT_TRUE(session().sourceFiles.empty());
    EXPECT_FALSE(session().analysisStopped);
    EXPECT_FALSE(fs::exists(session().previewDocPath[1])) << "Back deletes the previews";
}

TEST_F(PreviewModelTest, SaveFoldersSetTheHandOver) {
    fs::create_directories(dir_ / "out");
    test::writeText(dir_ / "file", "x");
    const struct {
        fs::path folder;
        bool all, usable;
    } cases[] = {
        {dir_ / "out", false, true}, {dir_ / "missing", false, false}, {dir_ / "file", false, false},
        {"", false, false},          {dir_ / "missing", true, false},  {dir_ / "out", true, true},
    };
    model_.init();
    analyse(false);
    for (const auto& c : cases) {
        auto& s = session();
        s.saveCurrentOnly = c.all;
        EXPECT_EQ(c.all ? model_.setSaveAllFolder(c.folder) : model_.setSaveCurrentFolder(c.folder), c.usable)
            << c.folder;
        EXPECT_EQ(c.all ? s.saveAllFolder : s.currentSaveFolder, c.folder) << "kept as picked";
        EXPECT_EQ(s.saveCurrentOnly, c.all != c.usable) << c.folder;
        EXPECT_EQ(fs::exists(s.previewDocPath[1]), !(c.all && c.usable)) << "only Save All deletes the previews";
    }
}
