#include "app/run_environment.h"
#include "app/session_state.h"
#include "platform/registry.h"

#include "tests/support/test_support.h"

using namespace qm;

class SessionStateTest : public test::IsolatedTest {};

TEST_F(SessionStateTest, ClearPreviewFilesDeletesSlotsSkipsEmptyAndMissingAndRemovesTheWorkingFolder) {
    SessionState s;
    for (int i : {1, 2, 4}) {
        s.previewDocPath[i] = dir_ / ("p" + std::to_string(i) + ".mht");
        test::writeText(s.previewDocPath[i], "x");
    }
    s.previewDocPath[3] = dir_ / "already-gone.mht"; // names a missing file
    s.previewDocxPath[1] = dir_ / "d1.mht";
    test::writeText(s.previewDocxPath[1], "x");
    // previewDocxPath[2] stays empty
    s.docxPreviewFolder = dir_ / "pv";
    fs::create_directories(s.docxPreviewFolder);
    s.docxWorkFolder = dir_ / "work";
    fs::create_directories(s.docxWorkFolder / "word" / "media");
    test::writeText(s.docxWorkFolder / "word" / "media" / "image1.png", "png");
    test::writeText(s.docxWorkFolder / "word" / "document.xml", "<x/>");
    test::writeText(s.docxWorkFolder / "customXml" / "item1.xml", "<x/>");
    // A link inside the working folder is removed, not followed.
    fs::create_directories(dir_ / "elsewhere");
    test::writeText(dir_ / "elsewhere" / "keep.txt", "keep");
    fs::create_directory_symlink(dir_ / "elsewhere", s.docxWorkFolder / "word" / "glossary");
    test::writeText(dir_ / "unrelated.mht", "keep");

    s.clearPreviewFiles();

    for (int i : {1, 2, 4})
        EXPECT_FALSE(fs::exists(s.previewDocPath[i]));
    EXPECT_FALSE(fs::exists(s.previewDocxPath[1]));
    EXPECT_FALSE(fs::exists(s.docxPreviewFolder));
    EXPECT_FALSE(fs::exists(s.docxWorkFolder));
    EXPECT_EQ(test::readText(dir_ / "elsewhere" / "keep.txt"), "keep");
    EXPECT_TRUE(fs::exists(dir_ / "unrelated.mht"));
    EXPECT_EQ(s.previewDocPath[1], dir_ / "p1.mht") << "the path strings are kept";
}

TEST_F(SessionStateTest, ClearPreviewFilesKeepsANonEmptyPreviewFolder) {
    SessionState s;
    s.docxPreviewFolder = dir_ / "pv";
    fs::create_directories(s.docxPreviewFolder);
    test::writeText(s.docxPreviewFolder / "left.txt", "x");
    s.clearPreviewFiles(); // empty slots and an empty work folder: nothing to do, no crash
    EXPECT_TRUE(fs::exists(s.docxPreviewFolder / "left.txt"));
}

TEST_F(SessionStateTest, SourceFileAt) {
    SessionState s;
    EXPECT_EQ(s.sourceFileAt(0), "");
    s.sourceFiles = {"/a.doc", "/b.docx"};
    EXPECT_EQ(s.sourceFileAt(0), "/a.doc");
    EXPECT_EQ(s.sourceFileAt(1), "/b.docx");
    EXPECT_EQ(s.sourceFileAt(2), "");
    EXPECT_EQ(s.sourceFileAt(-1), "");
}

TEST_F(SessionStateTest, IdentityFromRegistryAndDataRoot) {
    SessionState s;
    s.loadIdentity();
    EXPECT_TRUE(s.installFolder.empty()) << "missing FilePath leaves installFolder empty";
    registry::writeValue("TYDOC", "FilePath", "/opt/quillmend");
    test::ScopedEnv env("QUILLMEND_WINDIR", (dir_ / "share").string());
    s.loadIdentity();
    EXPECT_EQ(s.installFolder, "/opt/quillmend");
    EXPECT_EQ(s.skinFolder, dir_ / "share" / "Tessary for Word");
    EXPECT_EQ(s.appTitle, "Tessary for Word");
}

TEST_F(SessionStateTest, RunEnvironmentIsUndoneAfterTheRun) {
    const std::string tmpBefore = std::getenv("TMPDIR");
    fs::path made;
    {
        const PrivateTempFolder temp;
        made = temp.path();
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(made.parent_path(), fs::path(tmpBefore));
        EXPECT_EQ(std::string(std::getenv("TMPDIR")), made.string());
        test::writeText(made / "left.doc", "x");
        fs::create_directories(made / "pkg" / "word");
    }
    EXPECT_FALSE(fs::exists(made));
    EXPECT_EQ(std::string(std::getenv("TMPDIR")), tmpBefore);

    const std::string instance = std::getenv("QUILLMEND_INSTANCE");
    const std::string first = enterPrivateServerScope();
    const std::string second = enterPrivateServerScope();
    EXPECT_EQ(first.rfind(instance + ".", 0), 0u) << first;
    EXPECT_EQ(second.rfind(first + ".", 0), 0u) << second;
    EXPECT_EQ(std::string(std::getenv("QUILLMEND_INSTANCE")), second);
    leaveServerScope();
    EXPECT_EQ(std::string(std::getenv("QUILLMEND_INSTANCE")), first);
    leaveServerScope();
    EXPECT_EQ(std::string(std::getenv("QUILLMEND_INSTANCE")), instance);
}
