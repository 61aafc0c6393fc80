// The save engine's .docx candidate: the text saved through the in-process document server
// (the name by its version), the media copies beside it, the working folder removed, and the
// failure paths through a recording server.
#include "app/session_state.h"
#include "docserver/formats.h"
#include "engine/save_engine.h"
#include "engine/word_binding.h"
#include "tests/engine/doc_fake_word.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <map>
#include <set>

namespace qm {
namespace {

using Entries = std::map<std::string, std::string>;
namespace d = word::dispid;

const std::string kPng = std::string("\x89PNG\r\n\x1A\n", 8) + "png picture bytes";
const std::string kJpeg = "\xFF\xD8\xFF\xE0 jpeg picture bytes";

Entries wordPackage() {
    return {
        {"[Content_Types].xml", "<Types/>"},
        {"_rels/.rels", "<Relationships/>"},
        {"docProps/core.xml", "<cp:coreProperties/>"},
        {"word/document.xml",
         "<w:document><w:body><w:p w:rsidR=\"1\"><w:r><w:t>Saved from</w:t></w:r>"
         "<w:r><w:t xml:space=\"preserve\"> the package</w:t></w:r></w:p>"
         "<w:p w:rsidR=\"2\"><w:r><w:t>Second paragraph</w:t></w:r></w:p></w:body></w:document>"},
        {"word/styles.xml", "<w:styles/>"},
        {"word/_rels/document.xml.rels", "<Relationships/>"},
        {"word/theme/theme1.xml", "<a:theme/>"},
        {"word/media/image1.png", kPng},
        {"word/media/image2.jpeg", kJpeg},
    };
}

// A package written by libzip.
void writePackage(const fs::path& file, const Entries& entries) {
    int error = 0;
    zip_t* za = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(za, nullptr);
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(za, data.data(), data.size(), 0);
        ASSERT_GE(zip_file_add(za, name.c_str(), src, ZIP_FL_OVERWRITE), 0) << name;
    }
    ASSERT_EQ(zip_close(za), 0);
}

class SaveDocx : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        saved_ = {s.installFolder, s.saveOption};
        s.installFolder = dir_ / "install";
        fs::create_directories(s.installFolder);
        s.saveOption = 0;
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        fs::create_directories(folder_);
        fs::create_directories(dir_ / "src");
        word::setConnectionFactory([] { return word::connectInProcess(); });
    }
    void TearDown() override {
        word::setConnectionFactory(nullptr);
        session().installFolder = saved_.install;
        session().saveOption = saved_.option;
    }

    // The source, read-only; saveTargetPath as the saving worker sets it.
    fs::path writeSource(const Entries& entries, const std::string& outputName = "Report.docx") {
        const auto p = dir_ / "src" / "Report.docx";
        writePackage(p, entries);
        fs::permissions(p, fs::perms::owner_read);
        source_ = test::readBytes(p);
        auto& s = session();
        s.saveSourcePath = p;
        s.saveFileName = "Report.docx";
        s.saveTargetPath = folder_ / outputName;
        return p;
    }
    void expectSourceUnchanged() const {
        const auto p = session().saveSourcePath;
        EXPECT_EQ(test::readBytes(p), source_);
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_read);
    }
    static std::set<std::string> entries(const fs::path& dir) {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir))
            out.insert(e.path().filename().string());
        return out;
    }
    std::set<std::string> tempEntries() const { return entries(dir_ / "tmp"); }
    static std::string magic(const fs::path& p) { return test::readText(p).substr(0, 4); }
    // A counting companion tool, for the tests that need to see it run.
    void countStopvane() {
        const auto tool = session().installFolder / "stopvane";
        test::writeText(tool, "#!/bin/sh\necho ran >> \"$(dirname \"$0\")/stopvane.log\"\n");
        fs::permissions(tool, fs::perms::owner_all);
    }
    int stopvaneRuns() const {
        const auto log = test::readText(session().installFolder / "stopvane.log");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }

    struct {
        fs::path install;
        int option = 0;
    } saved_;
    const fs::path folder_ = dir_ / "Out" / "Preview 1";
    std::vector<std::uint8_t> source_;
};

TEST_F(SaveDocx, Version12KeepsTheNameAndTheMediaGoBesideIt) {
    writeSource(wordPackage());
    EXPECT_EQ(SaveDocxCandidate(folder_), 1);

    const auto output = folder_ / "Report.docx";
    EXPECT_EQ(session().saveTargetPath, output);
    EXPECT_EQ(entries(folder_), (std::set<std::string>{"Report.docx", "Report_image1.png", "Report_image2.jpeg"}));
    EXPECT_EQ(magic(output), std::string("PK\x03\x04", 4)); // a package, by its name
    EXPECT_EQ(docserver::readDocument(output).plainText(), "Saved from the package\nSecond paragraph\n");
    EXPECT_EQ(test::readText(folder_ / "Report_image1.png"), kPng);
    EXPECT_EQ(test::readText(folder_ / "Report_image2.jpeg"), kJpeg);
    // Nothing of the working folder is left.
    EXPECT_TRUE(tempEntries().empty());
    expectSourceUnchanged();
}

TEST_F(SaveDocx, OtherVersionsWriteDocAndRenameTheTarget) {
    writeSource(wordPackage());
    for (const char* version : {"11.0", "14.0", "9.0"}) {
        env_.set("QUILLMEND_WORD_VERSION", version);
        session().saveTargetPath = folder_ / "Report.docx";
        EXPECT_EQ(SaveDocxCandidate(folder_), 1) << version;
        EXPECT_EQ(session().saveTargetPath, folder_ / "Report.doc") << version;
        EXPECT_EQ(magic(folder_ / "Report.doc"), "\xD0\xCF\x11\xE0") << version; // a Word 97-2003 file
        EXPECT_FALSE(fs::exists(folder_ / "Report.docx")) << version;
        EXPECT_EQ(docserver::readDocument(folder_ / "Report.doc").plainText(),
                  "Saved from the package\nSecond paragraph\n");
        fs::remove(folder_ / "Report.doc");
    }
    EXPECT_TRUE(tempEntries().empty());
}

TEST_F(SaveDocx, SaveOption2NameIsWrittenAsDoc) {
    session().saveOption = 2; // the worker then names the output Report.doc
    writeSource(wordPackage(), "Report.doc");
    EXPECT_EQ(SaveDocxCandidate(folder_), 1);
    EXPECT_EQ(session().saveTargetPath, folder_ / "Report.doc");
    EXPECT_EQ(magic(folder_ / "Report.doc"), "\xD0\xCF\x11\xE0");
}

TEST_F(SaveDocx, NoLocalHeaderWritesNothing) {
    doctest::FakeWordServer server;
    server.install();
    const auto src = dir_ / "src" / "Report.docx";
    test::writeText(src, std::string(5000, 'P') + "K\x03 no local header anywhere PK\x01\x02");
    session().saveSourcePath = src;
    session().saveFileName = "Report.docx";
    session().saveTargetPath = folder_ / "Report.docx";
    EXPECT_EQ(SaveDocxCandidate(folder_), 0);
    EXPECT_TRUE(server.instances.empty());
    EXPECT_TRUE(entries(folder_).empty());
    EXPECT_TRUE(tempEntries().empty());

    // A missing source neither.
    session().saveSourcePath = dir_ / "src" / "gone.docx";
    EXPECT_EQ(SaveDocxCandidate(folder_), 0);
    EXPECT_TRUE(entries(folder_).empty());
    EXPECT_TRUE(tempEntries().empty());
}

TEST_F(SaveDocx, FoldersTheCleanUpDoesNotNameAreRemovedToo) {
    Entries e = wordPackage();
    e["customXml/item1.xml"] = "<root/>";
    e["customXml/_rels/item1.xml.rels"] = "<Relationships/>";
    e["word/charts/chart1.xml"] = "<c:chartSpace/>";
    e["word/media/nested/deep.png"] = kPng;
    writeSource(e);
    EXPECT_EQ(SaveDocxCandidate(folder_), 1);
    // Media copies are plain files of the media folder only.
    EXPECT_EQ(entries(folder_), (std::set<std::string>{"Report.docx", "Report_image1.png", "Report_image2.jpeg"}));
    EXPECT_TRUE(tempEntries().empty());
}

TEST_F(SaveDocx, LostDocumentPartStillCopiesTheMedia) {
    Entries e = wordPackage();
    e.erase("word/document.xml");
    writeSource(e);
    EXPECT_EQ(SaveDocxCandidate(folder_), 1); // the pictures are salvage
    EXPECT_EQ(entries(folder_), (std::set<std::string>{"Report_image1.png", "Report_image2.jpeg"}));
    std::set<std::string> copies;
    for (const auto& p : session().saveMediaCopies)
        copies.insert(p.lexically_relative(folder_).string());
    EXPECT_EQ(copies, entries(folder_));
    EXPECT_TRUE(tempEntries().empty());
}

TEST_F(SaveDocx, SavedWithTheFullProfileWithoutFormat) {
    countStopvane();
    doctest::FakeWordServer server;
    server.install();
    writeSource(wordPackage());
    // Save and Saved may fail: the candidate stands.
    server.failWhen = [](const doctest::FakeWordInstance&, const doctest::FakeCall& c) {
        return c.dispid == d::Save || c.dispid == d::Saved;
    };
    EXPECT_EQ(SaveDocxCandidate(folder_), 1);
    ASSERT_EQ(server.instances.size(), 1u);
    const auto& inst = *server.instances[0];
    const auto save = inst.callsOf(d::SaveAs2, word::CallKind::Method);
    ASSERT_EQ(save.size(), 1u);
    const std::int16_t zero = 0, one = 1;
    const word::Value o = word::kOmitted;
    EXPECT_EQ(save[0].args, (std::vector<word::Value>{(folder_ / "Report.docx").string(), o, zero, o, one, o, zero, zero,
                                                      zero, o, o, o, o, one, o, o}));
    EXPECT_EQ(inst.quits(), 0u); // released without Quit, ended by the companion tool
    EXPECT_EQ(inst.callsOf(d::Close, word::CallKind::Method).size(), 1u);
    EXPECT_EQ(stopvaneRuns(), 1);
    EXPECT_EQ(inst.content, "Saved from the package\nSecond paragraph\n");

    // SaveAs fails: no candidate document (the media copies stand), the server is ended, the
    // working folder goes.
    server.failWhen = [](const doctest::FakeWordInstance&, const doctest::FakeCall& c) {
        return c.dispid == d::SaveAs2;
    };
    fs::remove(folder_ / "Report.docx");
    EXPECT_EQ(SaveDocxCandidate(folder_), 1);
    EXPECT_FALSE(fs::exists(folder_ / "Report.docx"));
    EXPECT_EQ(stopvaneRuns(), 2);
    EXPECT_TRUE(tempEntries().empty());
    expectSourceUnchanged();
}

TEST_F(SaveDocx, TheSourceIsNeverTheOutput) {
    // The destination is the folder the source came from.
    const auto src = writeSource(wordPackage());
    session().saveTargetPath = src;
    EXPECT_EQ(SaveDocxCandidate(src.parent_path()), 1); // only the media copies beside it
    EXPECT_EQ(session().saveMediaCopies.size(), 2u);
    expectSourceUnchanged();
    EXPECT_TRUE(tempEntries().empty());
}

} // namespace
} // namespace qm
