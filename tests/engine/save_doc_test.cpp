// The save engine's .doc candidates through a recording document server: what each candidate
// holds, how it is saved, what a failure leaves, what is left in the temporary and candidate
// folders, and that the source is never touched.
#include "app/session_state.h"
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "engine/cfb_rebuild.h"
#include "engine/save_engine.h"
#include "tests/docserver/format_samples.h"
#include "tests/engine/doc_fake_word.h"
#include "tests/engine/doc_synthetic.h"

#include <gtest/gtest.h>

#include <set>

namespace qm {
namespace {

using doctest::FakeCall;
using doctest::FakeWordInstance;
using doctest::FakeWordServer;
using doctest::SyntheticDoc;
using Data = std::vector<std::uint8_t>;
using CallKind = word::CallKind;
namespace d = word::dispid;

constexpr const char* kText = "Method one text, read from offset 2560 of the source.";

// Header (count 40), author anchor (count 30), list anchor (count 20), a chain end after 512
// with w = 6 (the tail copy goes ahead), two picture records, one printable block at 2560.
SyntheticDoc fullSource(std::uint16_t w = 6) {
    SyntheticDoc s(12000);
    s.header(600, 0x40, 40).text(2560, kText).chainEnd(1500, w);
    s.authorAnchor(5000, 30).listAnchor(6000, 6100, 20);
    s.picture(8000, 100, 0xA1).picture(9000, 200, 0xB2);
    return s;
}

class SaveDoc : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        saved_ = {s.installFolder, s.saveOption};
        install_ = dir_ / "install";
        fs::create_directories(install_);
        test::writeText(install_ / "stopvane", "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/stopvane.log\"\n");
        fs::permissions(install_ / "stopvane", fs::perms::owner_all);
        test::writeBytes(install_ / "TempPicture.Doc", templ_);
        s.installFolder = install_;
        s.saveOption = 0;
        s.saveFileName = "Report.doc";
        s.saveTargetPath.clear();
        s.saveTextDocPath.clear();
        s.savePictureFolderUsed = false;
        s.savePictureDocs.clear();
        s.saveNextPictureNumber = 1;
        fs::create_directories(dir_ / "src");
        for (int n = 1; n <= 4; ++n)
            fs::create_directories(folder(n));
        server_.install();
    }
    void TearDown() override {
        session().installFolder = saved_.install;
        session().saveOption = saved_.option;
    }

    // The source, read-only as a user's file may well be.
    fs::path writeSource(const Data& bytes, const std::string& name = "Report.doc") {
        const auto p = dir_ / "src" / name;
        if (fs::exists(p))
            fs::permissions(p, fs::perms::owner_write, fs::perm_options::add);
        test::writeBytes(p, bytes);
        fs::permissions(p, fs::perms::owner_read | fs::perms::group_read);
        session().saveSourcePath = p;
        session().saveFileName = name;
        return p;
    }
    void expectSourceUnchanged(const fs::path& p, const Data& bytes) const {
        EXPECT_EQ(test::readBytes(p), bytes);
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_read | fs::perms::group_read);
    }
    fs::path folder(int n, const std::string& destination = "Out") const {
        return dir_ / destination / ("Preview " + std::to_string(n));
    }
    // Candidate 1 as the saving worker runs it.
    int candidate1(SaveVariant variant, const std::string& destination = "Out") {
        auto& s = session();
        const fs::path f = folder(1, destination);
        fs::create_directories(f);
        s.saveTargetPath = f / s.saveFileName;
        ExtractPicturesTo(f);
        const int r = SaveFibText(s.saveFileName, f);
        return SaveCombinedDoc(variant, r);
    }
    int stopvaneRuns() const {
        const auto log = test::readText(install_ / "stopvane.log");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    static std::set<std::string> entries(const fs::path& dir) {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir))
            out.insert(e.path().filename().string());
        return out;
    }
    std::set<std::string> tempEntries() const { return entries(dir_ / "tmp"); }
    std::string pictureDoc(const Data& src, std::size_t at, std::size_t size) const {
        Data doc = templ_;
        std::copy(src.begin() + static_cast<std::ptrdiff_t>(at), src.begin() + static_cast<std::ptrdiff_t>(at + size),
                  doc.begin() + 5120);
        return std::string(doc.begin(), doc.end());
    }
    // Every file InsertFile was asked for, over all instances.
    std::vector<std::string> insertedFiles() const {
        std::vector<std::string> out;
        for (const auto& inst : server_.instances)
            for (const auto& c : inst->callsOf(d::InsertFile, word::CallKind::Method))
                out.push_back(doctest::argText(c.args[0]));
        return out;
    }
    static std::vector<word::Value> fileNameOnly(const fs::path& p, std::size_t form) {
        std::vector<word::Value> args(form, word::kOmitted);
        args[0] = p.string();
        return args;
    }
    // Makes the call fail (in one instance, or in all when instance < 0). Quit and Close share
    // their dispatch id: object tells them apart (0: any object).
    void failWhen(int dispid, CallKind kind, int instance = -1, std::uint32_t object = 0) {
        server_.failWhen = [=](const FakeWordInstance& inst, const FakeCall& c) {
            return c.dispid == dispid && c.kind == kind && (instance < 0 || inst.index() == instance) &&
                   (object == 0 || c.object == object);
        };
    }

    struct {
        fs::path install;
        int option = 0;
    } saved_;
    fs::path install_;
    const Data templ_ = Data(6000, 0x33);
    FakeWordServer server_;
};

// --- Quick Repair ------------------------------------------------------------------------------

TEST_F(SaveDoc, QuickRepairCopyRewritesTheHeaderOfTheCopyOnly) {
    SyntheticDoc s(4096);
    s.allocationRun(1024).allocationRun(2048);
    const auto src = writeSource(s.bytes);
    const auto target = dir_ / "Out" / "Report.doc";
    test::writeText(target, "an older copy");
    fs::permissions(target, fs::perms::owner_read);

    EXPECT_EQ(QuickRepairCopy(target), 1);
    Data want = s.bytes;
    std::copy(doc::pattern::kContainerHeader.begin(), doc::pattern::kContainerHeader.end(), want.begin());
    EXPECT_EQ(test::readBytes(target), want);
    EXPECT_TRUE(server_.instances.empty()); // no document server
    expectSourceUnchanged(src, s.bytes);
}

TEST_F(SaveDoc, QuickRepairCopyRebuildsALostAllocationTable) {
    // Our writer's .doc with its FAT sector zeroed: the header write alone leaves it unsound,
    // the copy comes back as a sound file with the text; the source stays as it was.
    const auto doc = test::sampleDocument();
    Data damaged = docserver::writeDocBinary(doc);
    std::fill_n(damaged.begin() + (docserver::bin::u32(damaged, 76) + 1) * 512, 512, 0);
    const auto src = writeSource(damaged);
    const auto target = dir_ / "Out" / "Report.doc";
    EXPECT_EQ(QuickRepairCopy(target), 1);
    const Data copy = test::readBytes(target);
    EXPECT_TRUE(doc::soundContainer(copy));
    EXPECT_EQ(docserver::readDocBinary(copy).plainText(), doc.plainText());
    expectSourceUnchanged(src, damaged);
}

TEST_F(SaveDoc, QuickRepairCopyWithoutAllocationRunLeavesAnExactCopy) {
    const auto target = dir_ / "Out" / "Report.doc";
    SyntheticDoc none(4096);
    const auto src = writeSource(none.bytes);
    EXPECT_EQ(QuickRepairCopy(target), 0);
    EXPECT_EQ(test::readBytes(target), none.bytes);
    expectSourceUnchanged(src, none.bytes);

    // A run only at offset 0 counts as none.
    SyntheticDoc atZero(4096);
    atZero.allocationRun(0);
    writeSource(atZero.bytes);
    EXPECT_EQ(QuickRepairCopy(target), 0);
    EXPECT_EQ(test::readBytes(target), atZero.bytes);

    // A missing source writes nothing.
    fs::remove(target);
    session().saveSourcePath = dir_ / "src" / "gone.doc";
    EXPECT_EQ(QuickRepairCopy(target), 0);
    EXPECT_FALSE(fs::exists(target));

    // A copy that fails (the source vanishes, or cannot be read half-way) leaves an existing
    // output as it was, and nothing beside it.
    test::writeText(target, "an older copy");
    for (const fs::path& source : {dir_ / "src" / "gone.doc", fs::path("/proc/self/mem")}) {
        session().saveSourcePath = source;
        EXPECT_EQ(QuickRepairCopy(target), 0) << source;
        EXPECT_EQ(test::readText(target), "an older copy") << source;
        EXPECT_EQ(entries(target.parent_path()),
                  (std::set<std::string>{"Preview 1", "Preview 2", "Preview 3", "Preview 4", "Report.doc"}))
            << source;
    }
}

TEST_F(SaveDoc, QuickRepairCopyOntoTheSourceItselfIsRefused) {
    SyntheticDoc s(4096);
    s.allocationRun(1024);
    const auto src = writeSource(s.bytes);
    EXPECT_EQ(QuickRepairCopy(src), 0);
    EXPECT_EQ(QuickRepairCopy(dir_ / "src" / "." / "Report.doc"), 0);
    expectSourceUnchanged(src, s.bytes);
}

// --- Candidate 1 ---------------------------------------------------------------------------------

TEST_F(SaveDoc, Candidate1HoldsTheWholeChunkAndEveryPicture) {
    const Data bytes = fullSource().bytes;
    const auto src = writeSource(bytes);
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 1);

    const auto target = folder(1) / "Report.doc";
    EXPECT_EQ(session().saveTargetPath, target);
    // All 40 characters of the one chunk (the preview keeps 39), then both pictures in order.
    const std::string text(kText);
    EXPECT_EQ(test::readText(target), "[file:" + text.substr(0, 40) + "\n]" + "[file:" + pictureDoc(bytes, 8000, 100) +
                                          "]" + "[file:" + pictureDoc(bytes, 9000, 200) + "]");

    // Method 1 saved the text document under the candidate's own name; it is gone into the
    // combined document, and so are the picture documents and their folder.
    ASSERT_EQ(server_.instances.size(), 2u);
    const auto textSave = server_.instances[0]->callsOf(d::SaveAs2, CallKind::Method);
    ASSERT_EQ(textSave.size(), 1u);
    EXPECT_EQ(textSave[0].args, fileNameOnly(target, 16));
    EXPECT_EQ(server_.instances[0]->quits(), 0u);
    const auto save = server_.instances[1]->callsOf(d::SaveAs2, CallKind::Method);
    ASSERT_EQ(save.size(), 1u);
    EXPECT_EQ(save[0].args, fileNameOnly(target, 16));
    EXPECT_EQ(server_.instances[1]->quits(), 1u);
    const auto inserted = insertedFiles();
    ASSERT_EQ(inserted.size(), 3u);
    EXPECT_EQ(inserted[0], target.string());
    // The picture documents lie in a folder of this save's own, made inside the candidate folder.
    const fs::path pictures = fs::path(inserted[1]).parent_path();
    EXPECT_EQ(pictures.parent_path(), folder(1));
    EXPECT_EQ(pictures.filename().string().rfind("Picture", 0), 0u);
    EXPECT_NE(pictures.filename(), "Picture");
    EXPECT_EQ(inserted[1], (pictures / "Picture1.Doc").string());
    EXPECT_EQ(inserted[2], (pictures / "Picture2.Doc").string());
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Report.doc"}));
    EXPECT_TRUE(session().savePictureDocs.empty());
    EXPECT_FALSE(session().savePictureFolderUsed);
    EXPECT_TRUE(tempEntries().empty());
    // Method 1, the combined document, and once more for Save All.
    EXPECT_EQ(stopvaneRuns(), 3);
    expectSourceUnchanged(src, bytes);
}

TEST_F(SaveDoc, NoDocumentHeader) {
    SyntheticDoc s = fullSource();
    s.put(600, Data(16, 0xEE)); // header gone; the pictures stay
    const auto src = writeSource(s.bytes);
    const auto target = folder(1) / "Report.doc";
    // The candidate 1 of an earlier file, which the text document path still named once.
    const auto earlier = folder(1, "Earlier") / "Report.doc";
    fs::create_directories(earlier.parent_path());
    test::writeText(earlier, "kept");

    // Save All: method 1 writes nothing; no candidate 1; the pictures were made and are gone.
    session().saveTargetPath = target;
    ExtractPicturesTo(folder(1));
    EXPECT_EQ(session().savePictureDocs.size(), 2u);
    EXPECT_EQ(SaveFibText("Report.doc", folder(1)), 0);
    EXPECT_FALSE(fs::exists(target));
    ASSERT_EQ(server_.instances.size(), 1u);
    EXPECT_TRUE(server_.instances[0]->callsOf(d::SaveAs2, CallKind::Method).empty());
    EXPECT_EQ(server_.instances[0]->quits(), 0u); // left to the companion tool
    EXPECT_EQ(stopvaneRuns(), 1);
    EXPECT_EQ(SaveCombinedDoc(SaveVariant::AllFiles, 0), 0);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(entries(folder(1)).empty());

    // Save Current Preview: an empty document is candidate 1, and the text document path an
    // earlier file left behind is not deleted.
    session().saveTextDocPath = earlier;
    EXPECT_EQ(candidate1(SaveVariant::CurrentFile), 1);
    EXPECT_EQ(test::readText(target), "");
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Report.doc"}));
    EXPECT_EQ(test::readText(earlier), "kept");
    EXPECT_TRUE(tempEntries().empty());
    expectSourceUnchanged(src, s.bytes);
}

TEST_F(SaveDoc, TailCopyWithNothingToCopy) {
    // w = 3 makes the tail copy's length negative: there is nothing to copy, and candidate 1 is
    // method 1's text with every picture, in both variants.
    const Data bytes = fullSource(3).bytes;
    writeSource(bytes);
    const auto target = folder(1) / "Report.doc";
    const std::string expected = "[file:" + std::string(kText).substr(0, 40) + "\n]" + "[file:" +
                                 pictureDoc(bytes, 8000, 100) + "]" + "[file:" + pictureDoc(bytes, 9000, 200) + "]";
    for (const auto variant : {SaveVariant::AllFiles, SaveVariant::CurrentFile}) {
        EXPECT_EQ(candidate1(variant), 1);
        EXPECT_EQ(test::readText(target), expected);
        EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Report.doc"}));
    }
}

TEST_F(SaveDoc, MissingPictureTemplate) {
    fs::remove(install_ / "TempPicture.Doc");
    const Data bytes = fullSource().bytes;
    writeSource(bytes);
    session().saveTargetPath = folder(1) / "Report.doc";
    EXPECT_EQ(ExtractPicturesTo(folder(1)), 0);
    // Listed all the same, numbered on, never made.
    ASSERT_EQ(session().savePictureDocs.size(), 2u);
    EXPECT_EQ(session().savePictureDocs.back(), session().savePictureFolder / "Picture2.Doc");
    EXPECT_EQ(session().savePictureFolder.parent_path(), folder(1));
    EXPECT_FALSE(fs::exists(session().savePictureDocs.back()));
    const int r = SaveFibText("Report.doc", folder(1));
    EXPECT_EQ(SaveCombinedDoc(SaveVariant::AllFiles, r), 1);
    // The inserts of the missing documents failed and were skipped.
    EXPECT_EQ(insertedFiles().size(), 3u);
    EXPECT_EQ(test::readText(folder(1) / "Report.doc"), "[file:" + std::string(kText).substr(0, 40) + "\n]");
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Report.doc"}));
}

TEST_F(SaveDoc, PictureDocumentsAreNumberedFromOneForEveryFile) {
    writeSource(fullSource().bytes, "First.doc");
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 1);
    writeSource(fullSource().bytes, "Second.doc");
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 1);
    std::vector<std::string> pictures;
    for (const auto& f : insertedFiles())
        if (f.find("Picture") != std::string::npos)
            pictures.push_back(fs::path(f).filename().string());
    EXPECT_EQ(pictures, (std::vector<std::string>{"Picture1.Doc", "Picture2.Doc", "Picture1.Doc", "Picture2.Doc"}));
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"First.doc", "Second.doc"}));
}

TEST_F(SaveDoc, APictureFolderAlreadyThereIsNeitherUsedNorEmptied) {
    // "Picture" in the candidate folder is a link to another folder holding files of the same names.
    const auto other = dir_ / "other";
    fs::create_directories(other);
    test::writeText(other / "Picture1.Doc", "someone else's");
    test::writeText(other / "keep.txt", "keep");
    fs::create_directory_symlink(other, folder(1) / "Picture");
    writeSource(fullSource().bytes);
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 1);
    EXPECT_EQ(test::readText(other / "Picture1.Doc"), "someone else's");
    EXPECT_EQ(test::readText(other / "keep.txt"), "keep");
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Picture", "Report.doc"}));
    EXPECT_NE(test::readText(folder(1) / "Report.doc").find(pictureDoc(fullSource().bytes, 9000, 200)), std::string::npos);
}

TEST_F(SaveDoc, Candidate1Failures) {
    const auto target = folder(1) / "Report.doc";
    writeSource(fullSource().bytes);

    // SaveAs fails: Save Current Preview sends Save and Saved again, both send Quit and end the
    // server; no candidate file, no picture documents.
    failWhen(d::SaveAs2, CallKind::Method, 1);
    EXPECT_EQ(candidate1(SaveVariant::CurrentFile), 0);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(entries(folder(1)).empty());
    const auto& combined = *server_.instances.at(1);
    EXPECT_EQ(combined.callsOf(d::Save, CallKind::Method).size(), 1u);
    EXPECT_EQ(combined.callsOf(d::Saved, CallKind::Put).size(), 1u);
    EXPECT_EQ(combined.quits(), 1u);
    EXPECT_EQ(stopvaneRuns(), 2);

    // Save fails after SaveAs wrote the file (Save All): the file may be half-rewritten; it goes.
    server_.instances.clear();
    failWhen(d::Save, CallKind::Method, 1);
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 0);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(entries(folder(1)).empty());

    // The text document cannot be inserted (outside the guarded steps): candidate 1 ends there.
    server_.instances.clear();
    server_.failWhen = [](const FakeWordInstance& inst, const FakeCall& c) {
        return inst.index() == 1 && c.dispid == d::InsertFile;
    };
    EXPECT_EQ(candidate1(SaveVariant::CurrentFile), 0);
    EXPECT_TRUE(entries(folder(1)).empty());

    // Method 1's server fails: no text document, and no empty candidate in its place.
    server_.instances.clear();
    failWhen(d::InsertAfter, CallKind::Method, 0);
    EXPECT_EQ(candidate1(SaveVariant::CurrentFile), 0);
    EXPECT_EQ(server_.instances.size(), 1u);
    EXPECT_TRUE(entries(folder(1)).empty());

    // No server at all.
    word::setConnectionFactory([]() -> std::shared_ptr<word::Connection> { throw word::WordError("no server"); });
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 0);
    EXPECT_TRUE(entries(folder(1)).empty());
    EXPECT_TRUE(tempEntries().empty());
}

// --- Candidates 2 to 4 -------------------------------------------------------------------------

TEST_F(SaveDoc, AnchoredTextKeepsKForTheAuthorAnchorAndKMinusOneForTheListAnchor) {
    const Data bytes = fullSource().bytes;
    const auto src = writeSource(bytes);
    const std::string text(kText);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, folder(2), "Report.doc"), 1);
    EXPECT_EQ(test::readText(folder(2) / "Report.doc"), text.substr(0, 30) + "\n");
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::List, folder(3), "Report.doc"), 1);
    EXPECT_EQ(test::readText(folder(3) / "Report.doc"), text.substr(0, 19) + "\n");
    EXPECT_EQ(SaveRawBlocks("Report.doc", folder(4)), 1);
    EXPECT_EQ(test::readText(folder(4) / "Report.doc").substr(0, text.size()), text);

    ASSERT_EQ(server_.instances.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto save = server_.instances[i]->callsOf(d::SaveAs2, CallKind::Method);
        ASSERT_EQ(save.size(), 1u);
        EXPECT_EQ(save[0].args, fileNameOnly(folder(i + 2) / "Report.doc", 16));
        EXPECT_EQ(server_.instances[i]->quits(), 1u);
    }
    EXPECT_EQ(stopvaneRuns(), 3);
    EXPECT_TRUE(tempEntries().empty());
    expectSourceUnchanged(src, bytes);
}

TEST_F(SaveDoc, AnchorMissingOrTooCloseToTheStartGivesNoCandidate2) {
    SyntheticDoc none(8000);
    none.text(2560, kText);
    writeSource(none.bytes);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, folder(2), "Report.doc"), 0);

    for (std::size_t at : {std::size_t{0}, std::size_t{12}, std::size_t{20}}) {
        SyntheticDoc early(8000);
        early.text(2560, kText).put(at, doc::pattern::kAuthorAnchor.bytes);
        writeSource(early.bytes);
        EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, folder(2), "Report.doc"), 0) << at;
    }
    EXPECT_TRUE(server_.instances.empty());
    EXPECT_TRUE(entries(folder(2)).empty());

    // Method 2 also needs its candidate folder.
    writeSource(fullSource().bytes);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, dir_ / "Out" / "missing", "Report.doc"), 0);
    EXPECT_TRUE(server_.instances.empty());
}

TEST_F(SaveDoc, Version9SavesEveryCandidateWithTheElevenArgumentForm) {
    server_.version = "9.0";
    writeSource(fullSource().bytes);
    EXPECT_EQ(candidate1(SaveVariant::CurrentFile), 1);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, folder(2), "Report.doc"), 1);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::List, folder(3), "Report.doc"), 1);
    EXPECT_EQ(SaveRawBlocks("Report.doc", folder(4)), 1);
    // Method 1's text document and the combined document share candidate 1's name.
    const std::vector<int> candidateOf{1, 1, 2, 3, 4};
    ASSERT_EQ(server_.instances.size(), candidateOf.size());
    for (std::size_t i = 0; i < candidateOf.size(); ++i) {
        const auto& inst = *server_.instances[i];
        EXPECT_TRUE(inst.callsOf(d::SaveAs2, CallKind::Method).empty());
        const auto save = inst.callsOf(d::SaveAs, CallKind::Method);
        ASSERT_EQ(save.size(), 1u) << i;
        EXPECT_EQ(save[0].args, fileNameOnly(folder(candidateOf[i]) / "Report.doc", 11)) << i;
    }
}

TEST_F(SaveDoc, FailingServerLeavesNoCandidateFile) {
    writeSource(fullSource().bytes);
    // An older candidate the user chose to replace.
    test::writeText(folder(2) / "Report.doc", "older");
    session().saveTargetPath = folder(2) / "Report.doc";
    failWhen(d::SaveAs2, CallKind::Method);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::Author, folder(2), "Report.doc"), 0);
    EXPECT_FALSE(fs::exists(folder(2) / "Report.doc"));
    EXPECT_EQ(stopvaneRuns(), 1);

    // Quit fails after the save: the candidate ends all the same.
    failWhen(d::Quit, CallKind::Method, -1, word::kApplicationId);
    EXPECT_EQ(SaveRawBlocks("Report.doc", folder(4)), 0);
    EXPECT_FALSE(fs::exists(folder(4) / "Report.doc"));

    // A failure while the text goes in.
    failWhen(d::InsertParagraphAfter, CallKind::Method);
    EXPECT_EQ(SaveAnchoredText(doc::Anchor::List, folder(3), "Report.doc"), 0);
    EXPECT_FALSE(fs::exists(folder(3) / "Report.doc"));
    EXPECT_EQ(stopvaneRuns(), 3);
    EXPECT_TRUE(tempEntries().empty());
}

// --- saveOption 1: .doc candidates saved as .docx ------------------------------------------

TEST_F(SaveDoc, SaveOption1SavesEveryDocCandidateAsDocx) {
    server_.version = "9.0"; // the 16-argument form all the same
    session().saveOption = 1;
    writeSource(fullSource().bytes);
    EXPECT_EQ(candidate1(SaveVariant::AllFiles), 1);
    EXPECT_EQ(session().saveTargetPath, folder(1) / "Report.docx");
    // The text document was a .doc under the source's name; only the .docx is left.
    EXPECT_EQ(entries(folder(1)), (std::set<std::string>{"Report.docx"}));
    EXPECT_EQ(server_.instances[1]->callsOf(d::SaveAs2, CallKind::Method).at(0).args,
              fileNameOnly(folder(1) / "Report.docx", 16));

    EXPECT_EQ(SaveAnchoredText(doc::Anchor::List, folder(3), "Report.doc"), 1);
    EXPECT_EQ(session().saveTargetPath, folder(3) / "Report.docx");
    EXPECT_EQ(entries(folder(3)), (std::set<std::string>{"Report.docx"}));
    EXPECT_EQ(server_.instances[2]->callsOf(d::SaveAs2, CallKind::Method).at(0).args,
              fileNameOnly(folder(3) / "Report.docx", 16));
}

} // namespace
} // namespace qm
