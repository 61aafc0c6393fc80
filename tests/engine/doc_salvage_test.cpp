// SalvageDocFile through a recording document server: which previews appear, what they hold,
// what is left in the temporary folder, and that the source is never touched.
#include "app/session_state.h"
#include "engine/doc_salvage.h"
#include "tests/engine/doc_fake_word.h"
#include "tests/engine/doc_synthetic.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

namespace qm {
namespace {

using doctest::FakeCall;
using doctest::FakeWordInstance;
using doctest::FakeWordServer;
using doctest::SyntheticDoc;
using Data = std::vector<std::uint8_t>;
namespace d = word::dispid;

constexpr const char* kText = "Method one text, read from offset 2560 of the source.";

// Header (count 40), author anchor (count 30), list anchor (count 20), a chain end after 512
// with w (6: the tail copy goes ahead), two picture records, and one printable block (the text at 2560).
Data fullSource(std::uint16_t w = 6) {
    SyntheticDoc s(12000);
    s.header(600, 0x40, 40).text(2560, kText).chainEnd(1500, w);
    s.authorAnchor(5000, 30).listAnchor(6000, 6100, 20);
    s.picture(8000, 100, 0xA1).picture(9000, 200, 0xB2);
    return s.bytes;
}

class DocSalvage : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        saved_ = {s.installFolder, s.currentSourcePath, s.advanceRepair};
        install_ = dir_ / "install";
        fs::create_directories(install_);
        // A companion tool that only counts its runs.
        test::writeText(install_ / "stopvane", "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/stopvane.log\"\n");
        fs::permissions(install_ / "stopvane", fs::perms::owner_all);
        test::writeBytes(install_ / "TempPicture.Doc", templ_);
        s.installFolder = install_;
        s.advanceRepair = true;
        for (auto& p : s.previewDocPath)
            p.clear();
        s.pictureFolderUsed = false;
        s.pictureDocCount = 0;
        s.nextPictureNumber = 1;
        s.salvagedTextDocPath.clear();
        server_.install();
    }
    void TearDown() override {
        auto& s = session();
        s.installFolder = saved_.install;
        s.currentSourcePath = saved_.source;
        s.advanceRepair = saved_.advance;
    }

    // Writes the source read-only, as a user's file may well be.
    fs::path writeSource(const Data& bytes) {
        const auto p = dir_ / "Report.doc";
        test::writeBytes(p, bytes);
        fs::permissions(p, fs::perms::owner_read | fs::perms::group_read);
        session().currentSourcePath = p;
        return p;
    }
    int stopvaneRuns() const {
        const auto log = test::readText(install_ / "stopvane.log");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    // Whatever is in the temporary folder, by name.
    std::set<std::string> tempEntries() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_ / "tmp"))
            out.insert(e.path().filename().string());
        return out;
    }
    std::set<std::string> previewNames(std::initializer_list<int> slots) const {
        std::set<std::string> out;
        for (int i : slots)
            out.insert(session().previewDocPath[i].filename().string());
        return out;
    }
    bool previewExists(int slot) const {
        const auto& p = session().previewDocPath[slot];
        return !p.empty() && fs::exists(p);
    }
    std::string preview(int slot) const { return test::readText(session().previewDocPath[slot]); }
    std::string pictureDoc(std::size_t at, std::size_t size) const {
        Data doc = templ_;
        const Data src = fullSource();
        std::copy(src.begin() + at, src.begin() + at + size, doc.begin() + 5120);
        return std::string(doc.begin(), doc.end());
    }
    void expectSourceUnchanged(const fs::path& p, const Data& bytes) const {
        EXPECT_EQ(test::readBytes(p), bytes);
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_read | fs::perms::group_read);
    }

    struct {
        fs::path install, source;
        bool advance = true;
    } saved_;
    fs::path install_;
    const Data templ_ = Data(6000, 0x33);
    FakeWordServer server_;
};

TEST_F(DocSalvage, AdvanceRepairMakesFourPreviewsAndCleansUp) {
    const Data bytes = fullSource();
    const auto src = writeSource(bytes);
    EXPECT_EQ(SalvageDocFile(), 1);

    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(previewExists(i)) << i;
    const std::string text(kText);
    // Method 1 keeps k - 1 of its 40 characters; methods 2 and 3 keep their whole counts.
    EXPECT_EQ(preview(1), "[file:" + text.substr(0, 39) + "\n]" + "[file:" + pictureDoc(8000, 100) + "]" +
                              "[file:" + pictureDoc(9000, 200) + "]");
    EXPECT_EQ(preview(2), text.substr(0, 30) + "\n");
    EXPECT_EQ(preview(3), text.substr(0, 20) + "\n");
    EXPECT_EQ(preview(4).substr(0, text.size()), text);

    // Only the four distinct previews are left: no text document, no picture folder.
    const auto names = previewNames({1, 2, 3, 4});
    EXPECT_EQ(names.size(), 4u);
    EXPECT_EQ(tempEntries(), names);
    for (const auto& n : names)
        EXPECT_EQ(fs::path(n).extension(), ".mht");
    EXPECT_FALSE(session().pictureFolderUsed);
    expectSourceUnchanged(src, bytes);

    // One instance per method plus the combination; method 1 leaves its instance to the tool.
    ASSERT_EQ(server_.instances.size(), 5u);
    EXPECT_EQ(server_.instances[0]->quits(), 0u);
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(server_.instances[i]->quits(), 1u) << i;
    EXPECT_EQ(stopvaneRuns(), 5);

    // Method 1 saves a document (file name only); the previews are web archives (format 9).
    const auto m1Save = server_.instances[0]->callsOf(d::SaveAs2, word::CallKind::Method);
    ASSERT_EQ(m1Save.size(), 1u);
    EXPECT_EQ(fs::path(doctest::argText(m1Save[0].args[0])).extension(), ".doc");
    EXPECT_EQ(m1Save[0].args[1], word::kOmitted);
    for (int i = 1; i < 5; ++i) {
        const auto save = server_.instances[i]->callsOf(d::SaveAs2, word::CallKind::Method);
        ASSERT_EQ(save.size(), 1u);
        EXPECT_EQ(save[0].args.size(), 16u);
        EXPECT_EQ(save[0].args[1], word::Value(std::int16_t{9}));
    }
}

TEST_F(DocSalvage, TailCopyWithNothingToCopyKeepsPreviewOne) {
    // w = 3 makes the tail copy's length negative: method 1's text and the pictures still make Preview 1.
    writeSource(fullSource(3));
    SalvageDocFile();
    ASSERT_TRUE(previewExists(1));
    EXPECT_EQ(preview(1), "[file:" + std::string(kText).substr(0, 39) + "\n]" + "[file:" + pictureDoc(8000, 100) + "]" +
                              "[file:" + pictureDoc(9000, 200) + "]");
    EXPECT_EQ(tempEntries(), previewNames({1, 2, 3, 4}));
}

TEST_F(DocSalvage, Version9GivesHtmlPagesSavedWithFormat8) {
    server_.version = "9.0";
    writeSource(fullSource());
    SalvageDocFile();
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(previewExists(i)) << i;
        EXPECT_EQ(session().previewDocPath[i].extension(), ".html");
    }
    for (const auto& inst : server_.instances) {
        EXPECT_TRUE(inst->callsOf(d::SaveAs2, word::CallKind::Method).empty());
        const auto save = inst->callsOf(d::SaveAs, word::CallKind::Method);
        ASSERT_EQ(save.size(), 1u);
        EXPECT_EQ(save[0].args.size(), 11u);
        if (inst->index() > 0) {
            EXPECT_EQ(save[0].args[1], word::Value(std::int16_t{8}));
        }
    }
}

TEST_F(DocSalvage, SourceWithoutPatterns) {
    SyntheticDoc plain(5000);
    plain.text(1024, "Only a printable block.");
    const auto src = writeSource(plain.bytes);

    session().advanceRepair = false;
    SalvageDocFile();
    EXPECT_FALSE(previewExists(1));
    EXPECT_TRUE(server_.instances.empty()); // Quick Repair starts no server
    EXPECT_TRUE(tempEntries().empty());

    session().advanceRepair = true;
    SalvageDocFile();
    for (int i = 1; i <= 3; ++i)
        EXPECT_FALSE(previewExists(i)) << i;
    ASSERT_TRUE(previewExists(4));
    EXPECT_EQ(preview(4).substr(0, 23), "Only a printable block.");
    // Method 1 still started a server and ended it with the tool; method 4 made the preview.
    EXPECT_EQ(server_.instances.size(), 2u);
    EXPECT_EQ(stopvaneRuns(), 2);
    EXPECT_EQ(tempEntries(), previewNames({4}));
    expectSourceUnchanged(src, plain.bytes);
}

TEST_F(DocSalvage, SmallHeaderTextAndEmptyCounts) {
    // Byte 5 = 0x20: text from 1536, the loop still ends at n + 2560 (here 11 chunks of 100
    // and one of 24, each keeping 99 or 23 characters). Anchors with a count of 0 still give
    // their (empty) previews.
    SyntheticDoc s(8000);
    std::string letters;
    for (int i = 0; i < 1200; ++i)
        letters += static_cast<char>('a' + i % 26);
    s.header(600, 0x20, 100).text(1536, letters).authorAnchor(5000, 0).listAnchor(6000, 6100, 0);
    writeSource(s.bytes);
    SalvageDocFile();
    ASSERT_TRUE(previewExists(1));
    std::string expected;
    for (std::size_t at = 1536; at < 2660; at += 100) {
        const std::size_t k = std::min<std::size_t>(100, 2660 - at);
        expected += letters.substr(at - 1536, k - 1) + "\n";
    }
    EXPECT_EQ(preview(1), "[file:" + expected + "]");
    ASSERT_TRUE(previewExists(2));
    ASSERT_TRUE(previewExists(3));
    EXPECT_EQ(preview(2), "");
    EXPECT_EQ(preview(3), "");
}

TEST_F(DocSalvage, QuickRepairInsertsARepairedCopyAndLeavesTheSourceAlone) {
    SyntheticDoc damaged(4096, 0x00); // the first 512 bytes lost
    damaged.allocationRun(0).put(600, std::vector<std::uint8_t>(100, 0x5C)).allocationRun(2048);
    const auto src = writeSource(damaged.bytes);
    session().advanceRepair = false;
    SalvageDocFile();

    ASSERT_TRUE(previewExists(1));
    Data repaired = damaged.bytes;
    std::copy(doc::pattern::kContainerHeader.begin(), doc::pattern::kContainerHeader.end(), repaired.begin());
    EXPECT_EQ(preview(1), "[file:" + std::string(repaired.begin(), repaired.end()) + "]");
    ASSERT_EQ(server_.instances.size(), 1u);
    const auto inserts = server_.instances[0]->callsOf(d::InsertFile, word::CallKind::Method);
    ASSERT_EQ(inserts.size(), 1u);
    EXPECT_NE(fs::path(doctest::argText(inserts[0].args[0])), src);
    // The temporary copy is gone; no tool run in this mode.
    EXPECT_EQ(tempEntries(), previewNames({1}));
    EXPECT_EQ(stopvaneRuns(), 0);
    expectSourceUnchanged(src, damaged.bytes);

    // An allocation run only at offset 0 is no repair point.
    server_.instances.clear();
    session().previewDocPath[1].clear();
    writeSource(SyntheticDoc(4096).allocationRun(0).bytes);
    SalvageDocFile();
    EXPECT_FALSE(previewExists(1));
    EXPECT_TRUE(server_.instances.empty());
}

TEST_F(DocSalvage, QuickRepairFailuresLeaveNothingBehind) {
    const Data bytes = SyntheticDoc(4096).allocationRun(1000).bytes;
    const auto src = writeSource(bytes);
    session().advanceRepair = false;

    server_.failWhen = [](const FakeWordInstance&, const FakeCall& c) { return c.dispid == d::InsertFile; };
    SalvageDocFile();
    EXPECT_FALSE(previewExists(1));
    EXPECT_TRUE(tempEntries().empty());

    // A failed save also removes the leftovers of an earlier Advance Repair.
    const auto stale = dir_ / "tmp" / "12345.doc";
    test::writeText(stale, "left over");
    session().salvagedTextDocPath = stale;
    server_.failWhen = [](const FakeWordInstance&, const FakeCall& c) { return c.dispid == d::SaveAs2; };
    SalvageDocFile();
    EXPECT_FALSE(previewExists(1));
    EXPECT_TRUE(tempEntries().empty());

    // A failure the method does not guard does not escape either.
    server_.failWhen = [](const FakeWordInstance&, const FakeCall& c) { return c.dispid == d::Add; };
    EXPECT_EQ(SalvageDocFile(), 1);
    EXPECT_TRUE(tempEntries().empty());
    expectSourceUnchanged(src, bytes);
}

TEST_F(DocSalvage, AFailureEndsOnlyTheMethodThatMetItAndItsServer) {
    using Fail = std::function<bool(const FakeWordInstance&, const FakeCall&)>;
    struct Case {
        const char* what;
        Fail fail;             // instances: 0 method 1, 1 to 3 methods 2 to 4, 4 Preview 1
        std::set<int> made;    // previews that still appear
        int stopvane;          // every server ended, the failed one included
    };
    const std::vector<Case> cases{
        {"method 2 inserting text",
         [](const auto& i, const auto& c) { return i.index() == 1 && c.dispid == d::InsertAfter; }, {1, 3, 4}, 5},
        {"method 1 saving its text document",
         [](const auto& i, const auto& c) { return i.index() == 0 && c.dispid == d::SaveAs2; }, {2, 3, 4}, 4},
        {"Preview 1 inserting the text document (not guarded)",
         [](const auto& i, const auto& c) { return i.index() == 4 && c.dispid == d::InsertFile; }, {2, 3, 4}, 5},
        {"no server can be started", nullptr, {}, 4},
    };
    writeSource(fullSource());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (auto& p : session().previewDocPath)
            fs::remove(p), p.clear();
        fs::remove(install_ / "stopvane.log");
        server_.instances.clear();
        server_.failWhen = c.fail;
        if (!c.fail)
            word::setConnectionFactory([]() -> std::shared_ptr<word::Connection> { throw word::WordError("none"); });
        EXPECT_EQ(SalvageDocFile(), 1);
        std::set<int> made;
        for (int i = 1; i <= 4; ++i)
            if (previewExists(i))
                made.insert(i);
        EXPECT_EQ(made, c.made);
        EXPECT_EQ(stopvaneRuns(), c.stopvane);
        // No text document, picture folder or empty preview name is left behind.
        std::set<std::string> names;
        for (int i : c.made)
            names.insert(session().previewDocPath[i].filename().string());
        EXPECT_EQ(tempEntries(), names);
    }
}

TEST_F(DocSalvage, PreviewOneSkipsAPictureItCannotInsert) {
    writeSource(fullSource());
    server_.failWhen = [](const FakeWordInstance& inst, const FakeCall& c) {
        return inst.index() == 4 && c.dispid == d::InsertFile &&
               doctest::argText(c.args[0]).find("Picture1.Doc") != std::string::npos;
    };
    SalvageDocFile();
    ASSERT_TRUE(previewExists(1));
    EXPECT_EQ(preview(1), "[file:" + std::string(kText).substr(0, 39) + "\n]" + "[file:" + pictureDoc(9000, 200) + "]");
}

TEST_F(DocSalvage, PicturesOfOtherRunsAreNeitherUsedNorDeleted) {
    // The temporary folder + "Picture" is a link to a folder with another run's picture documents.
    const auto other = dir_ / "other";
    fs::create_directories(other);
    test::writeText(other / "Picture1.Doc", "another run's picture");
    test::writeText(other / "notes.txt", "keep");
    fs::create_directory_symlink(other, dir_ / "tmp" / "Picture");
    writeSource(fullSource());
    SalvageDocFile();
    ASSERT_TRUE(previewExists(1));
    EXPECT_EQ(preview(1), "[file:" + std::string(kText).substr(0, 39) + "\n]" + "[file:" + pictureDoc(8000, 100) + "]" +
                              "[file:" + pictureDoc(9000, 200) + "]");
    EXPECT_EQ(test::readText(other / "Picture1.Doc"), "another run's picture");
    EXPECT_EQ(test::readText(other / "notes.txt"), "keep");
    auto names = previewNames({1, 2, 3, 4});
    names.insert("Picture");
    EXPECT_EQ(tempEntries(), names);
}

TEST_F(DocSalvage, PictureTemplateMissing) {
    fs::remove(install_ / "TempPicture.Doc");
    writeSource(fullSource());
    // The numbers are used up and the folder marked used, though no document is written.
    EXPECT_EQ(ExtractPictures(), 0);
    EXPECT_TRUE(session().pictureFolderUsed);
    EXPECT_EQ(session().pictureDocCount, 2);
    EXPECT_EQ(session().nextPictureNumber, 3);
    EXPECT_TRUE(fs::is_empty(session().pictureFolder));

    SalvageDocFile();
    ASSERT_TRUE(previewExists(1));
    EXPECT_EQ(preview(1), "[file:" + std::string(kText).substr(0, 39) + "\n]");
    EXPECT_EQ(tempEntries(), previewNames({1, 2, 3, 4}));
}

} // namespace
} // namespace qm
