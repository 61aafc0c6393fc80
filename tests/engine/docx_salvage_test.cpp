#include "engine/docx_salvage.h"

#include "app/session_state.h"
#include "docserver/formats.h"
#include "engine/docx_package.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "tests/support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>

#include <algorithm>

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// --- Packages built in code -------------------------------------------------------------------

struct Entry {
    std::string name;
    std::string data;
    std::uint16_t method = 8; // 8 deflated, 0 stored, anything else as written
};

void put16(std::string& out, unsigned v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::string rawDeflate(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A package as a word processor writes it: local headers with their data, then the central
// directory and its end record.
std::string buildPackage(const std::vector<Entry>& entries) {
    std::string out, central;
    for (const auto& e : entries) {
        const std::string body = e.method == 8 ? rawDeflate(e.data) : e.data;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
        const auto offset = static_cast<std::uint32_t>(out.size());
        std::string fields;
        put16(fields, 20);
        put16(fields, 0);
        put16(fields, e.method);
        put16(fields, 0x6000); // 12:00
        put16(fields, 0x5A21); // 2025-01-01
        put32(fields, crc);
        put32(fields, static_cast<std::uint32_t>(body.size()));
        put32(fields, static_cast<std::uint32_t>(e.data.size()));
        put16(fields, static_cast<unsigned>(e.name.size()));
        put16(fields, 0);
        out += std::string("PK\x03\x04", 4) + fields + e.name + body;
        central += std::string("PK\x01\x02", 4);
        put16(central, 20);
        central += fields;
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += e.name;
    }
    const auto cdOffset = static_cast<std::uint32_t>(out.size());
    out += central;
    out += std::string("PK\x05\x06", 4);
    put32(out, 0);
    put16(out, static_cast<unsigned>(entries.size()));
    put16(out, static_cast<unsigned>(entries.size()));
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, cdOffset);
    put16(out, 0);
    return out;
}

const std::string kDocumentXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>"
    "<w:p w:rsidR=\"00A1\"><w:r><w:t>Hello</w:t></w:r><w:r><w:t xml:space=\"preserve\"> w\xC3\xB6rld &amp; co</w:t></w:r></w:p>"
    "<w:p/>"
    "<w:p><w:pPr><w:jc w:val=\"center\"/></w:pPr><w:r><w:t>Second</w:t><w:tab/></w:r></w:p>"
    "</w:body></w:document>";

std::vector<Entry> wordPackage(const std::string& documentXml = kDocumentXml) {
    return {
        {"[Content_Types].xml", "<Types/>"},
        {"_rels/.rels", "<Relationships/>"},
        {"docProps/core.xml", "<cp:coreProperties/>"},
        {"word/document.xml", documentXml},
        {"word/styles.xml", "<w:styles/>"},
        {"word/_rels/document.xml.rels", "<Relationships/>"},
        {"word/theme/theme1.xml", "<a:theme/>"},
        {"word/media/image1.png", std::string("\x89PNG\r\n\x1A\n", 8) + "png data", 0},
        {"word/media/image2.jpeg", "\xFF\xD8\xFF jpeg data"},
    };
}

// --- A document server that records what it is asked ---------------------------------------

struct Call {
    std::uint32_t object;
    int dispid;
    word::CallKind kind;
    std::vector<word::Value> args;
};

class FakeWord : public word::Connection {
public:
    enum Id : std::uint32_t { App = 1, Docs = 2, Doc = 3, Content = 4 };

    word::Value invoke(std::uint32_t object, int dispid, word::CallKind kind,
                       const std::vector<word::Value>& args) override {
        calls.push_back({object, dispid, kind, args});
        if (failOn == std::pair<std::uint32_t, int>{object, dispid})
            throw word::WordError("the server failed");
        if (object == App && dispid == word::dispid::Version)
            return version;
        if (object == App && dispid == word::dispid::Documents)
            return word::ObjectRef{Docs};
        if (object == Docs && dispid == word::dispid::Add)
            return word::ObjectRef{Doc};
        if (object == Doc && dispid == word::dispid::Content)
            return word::ObjectRef{Content};
        if (object == Doc && (dispid == word::dispid::SaveAs2 || dispid == word::dispid::SaveAs))
            test::writeText(std::get<std::string>(args.at(0)), "saved");
        return word::kOmitted;
    }

    // What the Content range received: "text" for InsertAfter, "\n" for a paragraph mark.
    std::vector<std::string> rangeCalls() const {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            if (c.object != Content)
                continue;
            if (c.dispid == word::dispid::InsertAfter)
                out.push_back(std::get<std::string>(c.args.at(0)));
            else if (c.dispid == word::dispid::InsertParagraphAfter)
                out.push_back("\n");
        }
        return out;
    }
    const Call* find(std::uint32_t object, int dispid) const {
        for (const auto& c : calls)
            if (c.object == object && c.dispid == dispid)
                return &c;
        return nullptr;
    }

    std::vector<Call> calls;
    std::string version = "12.0";
    std::pair<std::uint32_t, int> failOn{0, 0};
};

class DocxSalvageTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        s.installFolder = dir_ / "install"; // no companion tool there: stopping is skipped
        s.previewDocxPath = {};
        s.docxPreviewFolder.clear();
        s.docxWorkFolder.clear();
        word::setConnectionFactory([this] {
            ++serversStarted_;
            return fake_;
        });
    }
    void TearDown() override { word::setConnectionFactory(nullptr); }

    // Writes the source file, read-only like a file the user only lets us read.
    fs::path writeSource(const std::string& bytes, const std::string& name = "Report.docx") {
        const fs::path p = dir_ / name;
        test::writeText(p, bytes);
        fs::permissions(p, fs::perms::owner_read | fs::perms::group_read);
        session().currentSourcePath = p;
        return p;
    }

    // Everything left under the temporary folder, relative to it.
    std::vector<std::string> leftInTemp() const {
        std::vector<std::string> out;
        const fs::path tmp = dir_ / "tmp";
        for (auto it = fs::recursive_directory_iterator(tmp); it != fs::recursive_directory_iterator(); ++it)
            out.push_back(fs::relative(it->path(), tmp).string());
        return out;
    }
    fs::path work() const { return session().docxWorkFolder; }

    std::shared_ptr<FakeWord> fake_ = std::make_shared<FakeWord>();
    int serversStarted_ = 0;
};

TEST_F(DocxSalvageTest, PackageGivesTextPreviewPicturePageAndAThinnedWorkingFolder) {
    auto entries = wordPackage();
    entries.push_back({"customXml/item1.xml", "<b:Sources/>"}); // a top-level folder the clean-up does not know
    const std::string bytes = buildPackage(entries);
    const fs::path source = writeSource(bytes);
    const auto sourceTime = fs::last_write_time(source);

    ASSERT_EQ(SalvageDocxFile(), 1);
    auto& s = session();
    EXPECT_EQ(s.zipEntryCount, static_cast<int>(entries.size())); // stored by the extraction

    // Preview 1: the runs in order, each followed by an empty insert, the paragraph marks,
    // then a 16-argument web-archive save, Save, Saved, Close and no Quit.
    EXPECT_THAT(fake_->rangeCalls(),
                ElementsAre("Hello", "", " w\xC3\xB6rld & co", "", "\n", "\n", "Second", "", "\n"));
    const Call* saveAs = fake_->find(FakeWord::Doc, word::dispid::SaveAs2);
    ASSERT_NE(saveAs, nullptr);
    ASSERT_EQ(saveAs->args.size(), 16u);
    EXPECT_EQ(std::get<std::string>(saveAs->args[0]), s.previewDocxPath[1].string());
    EXPECT_EQ(saveAs->args[1], word::Value(std::int16_t{9}));
    EXPECT_EQ(s.previewDocxPath[1].extension(), ".mht");
    EXPECT_EQ(s.previewDocxPath[1].parent_path(), dir_ / "tmp");
    EXPECT_TRUE(files::isFile(s.previewDocxPath[1]));
    EXPECT_NE(fake_->find(FakeWord::Doc, word::dispid::Save), nullptr);
    EXPECT_NE(fake_->find(FakeWord::Doc, word::dispid::Close), nullptr);
    EXPECT_EQ(fake_->find(FakeWord::App, word::dispid::Quit), nullptr);

    // Preview 2 points at the pictures where they were extracted; they stay.
    const std::string media = s.docxWorkFolder.string() + "/word/media/";
    EXPECT_EQ(s.docxWorkFolder.string().back(), '/');
    const std::string page = test::readText(s.previewDocxPath[2]);
    EXPECT_NE(page.find("<img src=\"" + media + "image1.png\"\\>\r\n\r"), std::string::npos) << page;
    EXPECT_NE(page.find("<img src=\"" + media + "image2.jpeg\"\\>\r\n\r"), std::string::npos) << page;
    EXPECT_EQ(test::readText(fs::path(media) / "image2.jpeg"), "\xFF\xD8\xFF jpeg data");

    // Left behind: the previews, the media files, and the unknown folder (which keeps the working
    // folder alive). The copy, the parts and the known folders are gone.
    const std::string w = work().filename().empty() ? work().parent_path().filename().string() : work().filename().string();
    const std::string pv = s.docxPreviewFolder.filename().string();
    EXPECT_THAT(leftInTemp(),
                UnorderedElementsAre(s.previewDocxPath[1].filename().string(), pv, pv + "/~MO.html", w, w + "/word",
                                     w + "/word/media", w + "/word/media/image1.png", w + "/word/media/image2.jpeg",
                                     w + "/customXml", w + "/customXml/item1.xml"));

    // The source is untouched.
    EXPECT_EQ(test::readText(source), bytes);
    EXPECT_EQ(fs::last_write_time(source), sourceTime);
    EXPECT_EQ(fs::status(source).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::group_read);

    // The preview clean-up of the next analysis leaves nothing: the working folder goes whole.
    s.clearPreviewFiles();
    EXPECT_TRUE(leftInTemp().empty());
}

TEST_F(DocxSalvageTest, JunkBeforeThePackageAndAnOldServerVersionChangeNothing) {
    fake_->version = "9.0"; // Preview 1 is a web archive saved with 16 arguments all the same
    std::string junk(777, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 131 + 7) % 251);
    writeSource(junk + buildPackage(wordPackage()));

    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_THAT(fake_->rangeCalls(), ::testing::Contains("Hello"));
    const Call* saveAs = fake_->find(FakeWord::Doc, word::dispid::SaveAs2);
    ASSERT_NE(saveAs, nullptr);
    EXPECT_EQ(saveAs->args.size(), 16u);
    EXPECT_EQ(session().previewDocxPath[1].extension(), ".mht");
    EXPECT_TRUE(files::isFile(session().previewDocxPath[2]));
    // No unknown folder: the working folder is gone apart from the pictures.
    EXPECT_THAT(files::listFolder(work()), ElementsAre("word"));
    EXPECT_THAT(files::listFolder(work() / "word"), ElementsAre("media"));
}

TEST_F(DocxSalvageTest, NoSignatureMeansNoPreviewButTheWorkingFolderIsRemoved) {
    writeSource(std::string(4096, 'x') + "PK\x03 not a header PK\x05\x06");
    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_EQ(serversStarted_, 0);
    EXPECT_TRUE(session().previewDocxPath[1].empty());
    EXPECT_TRUE(session().previewDocxPath[2].empty());
    EXPECT_THAT(leftInTemp(), ElementsAre());
}

TEST_F(DocxSalvageTest, MissingSourceMakesNoWorkingCopy) {
    session().currentSourcePath = dir_ / "gone.docx";
    EXPECT_EQ(SalvageDocxFile(), 0);
    EXPECT_EQ(serversStarted_, 0);
    EXPECT_THAT(leftInTemp(), ElementsAre());
}

TEST_F(DocxSalvageTest, DocumentCutInTheMiddleKeepsItsCompleteRuns) {
    const std::string xml = "<w:document><w:body><w:p><w:r><w:t>alpha</w:t></w:r></w:p>"
                            "<w:p><w:r><w:t>beta</w:t></w:r><w:r><w:t>gamma</w:t></w:r><w:r><w:t>delta "
                            "is never finished</w:t></w:r></w:p></w:body></w:document>";
    std::vector<Entry> entries = {{"word/media/image1.png", "png", 0}, {"word/document.xml", xml, 0}};
    std::string bytes = buildPackage(entries);
    bytes.resize(bytes.find("delta") + 3); // the package ends inside the last run
    writeSource(bytes);

    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_THAT(fake_->rangeCalls(), ElementsAre("alpha", "", "\n", "beta", "", "gamma", "", "\n"));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[1]));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[2]));
}

TEST_F(DocxSalvageTest, AnEntryTheReaderRejectsDoesNotCostTheOthers) {
    auto entries = wordPackage();
    entries.insert(entries.begin() + 1, Entry{"word/vbaProject.bin", "unknown method", 99});
    writeSource(buildPackage(entries));

    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_THAT(fake_->rangeCalls(), ::testing::Contains("Second"));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[1]));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[2]));
}

TEST_F(DocxSalvageTest, AnEntryNamedLikeTheWorkingArchiveDoesNotCutItShort) {
    auto entries = wordPackage();
    entries.insert(entries.begin(), Entry{"1.zip", std::string(3000, 'z')});
    writeSource(buildPackage(entries));

    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_THAT(fake_->rangeCalls(), ::testing::Contains("Second"));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[1]));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[2]));
}

TEST_F(DocxSalvageTest, ServerFailureEndsWithThePicturePageAndTheCleanUpDone) {
    fake_->failOn = {FakeWord::Doc, word::dispid::SaveAs2};
    writeSource(buildPackage(wordPackage()));

    ASSERT_EQ(SalvageDocxFile(), 1);
    // The half-made preview name is not left behind as an empty "preview".
    EXPECT_FALSE(files::exists(session().previewDocxPath[1]));
    EXPECT_TRUE(files::isFile(session().previewDocxPath[2]));
    EXPECT_THAT(files::listFolder(work()), ElementsAre("word"));

    // Save and Saved failing after the archive was written leave Preview 1 in place.
    *fake_ = FakeWord{};
    fake_->failOn = {FakeWord::Doc, word::dispid::Save};
    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_TRUE(files::isFile(session().previewDocxPath[1]));
    EXPECT_NE(fake_->find(FakeWord::Doc, word::dispid::Close), nullptr);
}

TEST_F(DocxSalvageTest, EveryRunGetsFoldersOfItsOwn) {
    writeSource(buildPackage(wordPackage()));
    ASSERT_EQ(SalvageDocxFile(), 1);
    const fs::path firstWork = session().docxWorkFolder, firstPage = session().previewDocxPath[2];
    const fs::path firstPreview = session().previewDocxPath[1];
    ASSERT_EQ(SalvageDocxFile(), 1);
    EXPECT_NE(session().docxWorkFolder, firstWork);
    EXPECT_NE(session().previewDocxPath[1], firstPreview);
    EXPECT_NE(session().previewDocxPath[2], firstPage);
    EXPECT_TRUE(files::isFile(firstPage));
    EXPECT_TRUE(files::isFile(fs::path(firstWork) / "word/media/image1.png"));
}

TEST_F(DocxSalvageTest, PreviewOneIsAWebArchiveOfTheScannedText) {
    word::setConnectionFactory([] { return word::connectInProcess(); });
    const fs::path xml = dir_ / "document.xml";
    EXPECT_FALSE(SalvageDocxText(xml));
    EXPECT_TRUE(session().previewDocxPath[1].empty());

    test::writeText(xml, kDocumentXml);
    ASSERT_TRUE(SalvageDocxText(xml));
    const fs::path preview = session().previewDocxPath[1];
    EXPECT_EQ(docserver::formatFromExtension(preview), docserver::Format::Mht);
    EXPECT_NE(test::readText(preview).find("MIME-Version"), std::string::npos);
    const auto doc = docserver::readDocument(preview);
    std::vector<std::string> texts;
    for (const auto& p : doc.paragraphs())
        texts.push_back(p.text());
    EXPECT_THAT(texts, ::testing::IsSupersetOf({"Hello w\xC3\xB6rld & co", "", "Second"}));
    EXPECT_EQ(doc.plainText().find("Hello w\xC3\xB6rld & co\n\nSecond"), 0u) << doc.plainText();
    EXPECT_EQ(test::readText(xml), kDocumentXml); // the part is only read
}

TEST(DocxPackageSteps, FindLocalHeaderSeesEveryOffsetAcrossReadWindows) {
    test::TempDir dir;
    const fs::path p = dir / "a.zip";
    for (const std::size_t at : {std::size_t{0}, std::size_t{5}, (std::size_t{1} << 20) - 2, std::size_t{3} << 20}) {
        std::string bytes(at + 64, 'P'); // many near misses
        bytes.replace(at, 4, "PK\x03\x04");
        test::writeText(p, bytes);
        EXPECT_EQ(docx::FindLocalHeader(p), at);
    }
    test::writeText(p, "PK\x03");
    EXPECT_EQ(docx::FindLocalHeader(p), std::nullopt);
    EXPECT_EQ(docx::FindLocalHeader(dir / "missing.zip"), std::nullopt);
}

// Every path under root (files and folders), relative to it.
std::vector<std::string> treeOf(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(DocxPackageSteps, APlanLeavesUnwrittenOnlyWhatItsCleanUpDeletesUnread) {
    auto entries = wordPackage();
    entries.push_back({"docProps/custom/props.xml", "<x/>"}); // deeper than the clean-up looks
    entries.push_back({"word/embeddings/oleObject1.bin", "ole"});
    entries.push_back({"word/glossary/document.xml", "<w:glossaryDocument/>"});
    entries.push_back({"customXml/item1.xml", "<b:Sources/>"});
    entries.push_back({"Word/Styles.xml", "<w:styles/>"}); // not "word": a folder of its own
    const std::vector<std::string> alwaysWritten = {
        "Word/Styles.xml", "customXml/item1.xml", "docProps/custom/props.xml", "word/document.xml",
        "word/glossary/document.xml", "word/media/image1.png", "word/media/image2.jpeg"};
    struct Case {
        std::vector<std::string> wordFolders;
        bool embeddingsWritten;
    };
    for (const Case& c : {Case{{"_rels", "theme"}, true}, Case{docx::analysisWordFolders(), false}}) {
        test::TempDir dir;
        const fs::path archive = dir / "1.zip";
        test::writeText(archive, buildPackage(entries));
        docx::CleanupPlan plan;
        plan.wordFolders = c.wordFolders;
        const fs::path all = dir / "all", planned = dir / "planned";
        EXPECT_EQ(docx::ExtractPackage(archive, all), entries.size());
        EXPECT_EQ(docx::ExtractPackage(archive, planned, nullptr, &plan), entries.size());

        std::vector<std::string> written;
        for (const auto& f : fs::recursive_directory_iterator(planned))
            if (f.is_regular_file())
                written.push_back(fs::relative(f.path(), planned).string());
        std::vector<std::string> expected = alwaysWritten;
        if (c.embeddingsWritten)
            expected.push_back("word/embeddings/oleObject1.bin");
        std::sort(written.begin(), written.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(written, expected);
        EXPECT_EQ(test::readText(planned / "word" / "document.xml"), kDocumentXml);

        // After the clean-up both folders hold the same.
        docx::CleanWorkFolder(all, plan);
        docx::CleanWorkFolder(planned, plan);
        EXPECT_EQ(treeOf(planned), treeOf(all));
    }
}

} // namespace
} // namespace qm
