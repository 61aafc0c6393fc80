// The save engine through the real in-process document server: the candidates are real Word
// documents that read back with their text and pictures, and independent readers (LibreOffice,
// antiword) open every one of them. The interop tests skip when the tools are not installed.
#include "app/session_state.h"
#include "docserver/doc_binary.h"
#include "docserver/formats.h"
#include "engine/doc_salvage.h"
#include "engine/save_engine.h"
#include "engine/word_binding.h"
#include "platform/codepage.h"
#include "platform/work_control.h"
#include "tests/engine/doc_synthetic.h"
#include "tests/engine/save_test_tools.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <atomic>
#include <thread>

namespace qm {
namespace {

using Data = std::vector<std::uint8_t>;

const std::string kText = "Salvaged words from a damaged document, saved for good.";

class SaveRealServer : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        savedInstall_ = s.installFolder;
        s.saveOption = 0;
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        s.installFolder = doctest::makeInstallFolder(dir_.path());
        word::setConnectionFactory([] { return word::connectInProcess(); });
    }
    void TearDown() override {
        word::setConnectionFactory(nullptr);
        session().installFolder = savedInstall_;
    }

    fs::path folder(int n) const { return dir_ / "Out" / ("Preview " + std::to_string(n)); }

    // A .doc-like source: method 1's header (count = text + 1), both anchors, a chain end and a
    // picture record taken from the template, which the server can read.
    fs::path writeSyntheticSource() {
        const Data templ = test::readBytes(session().installFolder / "TempPicture.Doc");
        const std::uint32_t recordSize = bin::u32(templ, 5120);
        EXPECT_GT(recordSize, 8u);
        const Data record(templ.begin() + 5120, templ.begin() + 5120 + recordSize);
        doctest::SyntheticDoc s(20000);
        s.header(600, 0x40, static_cast<std::uint32_t>(kText.size()) + 1).text(2560, kText).chainEnd(1500, 6);
        s.authorAnchor(5000, 20).listAnchor(6000, 6100, 10);
        s.put(8000, record);
        const auto src = dir_ / "Report.doc";
        test::writeBytes(src, s.bytes);
        fs::permissions(src, fs::perms::owner_read);
        source_ = s.bytes;
        auto& st = session();
        st.saveSourcePath = src;
        st.saveFileName = "Report.doc";
        return src;
    }

    // The four candidates of a .doc source as Save All runs them; each must be written.
    void saveAllDocCandidates() {
        const auto saved = savetest::saveAllCandidates(dir_ / "Out", false);
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(saved.path[n], folder(n) / "Report.doc") << n;
    }

    // A .docx candidate of a small package, under the given server version.
    fs::path saveDocxCandidate(const std::string& version) {
        const auto src = dir_ / ("Package" + version + ".docx");
        int error = 0;
        zip_t* za = zip_open(src.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        const std::string xml = "<w:document><w:body><w:p w:rsidR=\"1\"><w:r><w:t>" + kText +
                                "</w:t></w:r></w:p></w:body></w:document>";
        zip_file_add(za, "word/document.xml", zip_source_buffer(za, xml.data(), xml.size(), 0), 0);
        zip_close(za);
        env_.set("QUILLMEND_WORD_VERSION", version);
        auto& s = session();
        s.saveSourcePath = src;
        s.saveFileName = src.filename().string();
        const auto f = dir_ / "Out" / ("Package " + version);
        fs::create_directories(f);
        s.saveTargetPath = f / s.saveFileName;
        EXPECT_EQ(SaveDocxCandidate(f), 1);
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        return s.saveTargetPath;
    }

    fs::path savedInstall_;
    Data source_;
};

TEST_F(SaveRealServer, DocCandidatesAreRealWordDocuments) {
    const auto src = writeSyntheticSource();
    saveAllDocCandidates();

    // Candidate 1 keeps every character of its chunk, the filler byte after the text included
    // (the preview keeps one less), and the picture.
    const auto c1 = docserver::readDocument(folder(1) / "Report.doc");
    EXPECT_EQ(c1.paragraphs().at(0).text(), kText + "\xC3\xAE"); // 0xEE in Windows-1252
    EXPECT_EQ(c1.pictures().size(), 1u);
    EXPECT_EQ(docserver::readDocument(folder(2) / "Report.doc").plainText(), kText.substr(0, 20) + "\n");
    EXPECT_EQ(docserver::readDocument(folder(3) / "Report.doc").plainText(), kText.substr(0, 9) + "\n");
    EXPECT_NE(docserver::readDocument(folder(4) / "Report.doc").plainText().find(kText), std::string::npos);
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(test::readText(folder(n) / "Report.doc").substr(0, 4), "\xD0\xCF\x11\xE0") << n;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder(n)), fs::directory_iterator()), 1) << n; // nothing else
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
    EXPECT_EQ(test::readBytes(src), source_);
    EXPECT_EQ(fs::status(src).permissions(), fs::perms::owner_read);
}

TEST_F(SaveRealServer, TailCopyNeverOverwritesTheTextOfCandidate1) {
    // Cyrillic text (Windows-1251 bytes) has no Windows-1252 form: the server stores the text
    // document two bytes a character, so its text runs past the place the tail copy computes
    // from the character count alone.
    env_.set("QUILLMEND_CODEPAGE", "CP1251");
    std::string text;
    for (int i = 0; text.size() < 3000; ++i)
        text += "\xCF\xF0\xE8\xE2\xE5\xF2 word" + std::to_string(i) + " ";
    text.resize(3000);
    doctest::SyntheticDoc s(16000);
    // n = 3000: the block after the text is taken from U = ((2560 + 3000) / 512 + 1) * 512 = 5632
    // (w = 20 makes it long enough) and marked so that it would show.
    s.header(600, 0x40, 3000).text(2560, text).chainEnd(1500, 20).text(5632, std::string(512, 'X'));
    const auto src = dir_ / "Cyrillic.doc";
    test::writeBytes(src, s.bytes);
    auto& st = session();
    st.saveSourcePath = src;
    st.saveFileName = "Cyrillic.doc";
    fs::create_directories(folder(1));
    st.saveTargetPath = folder(1) / "Cyrillic.doc";
    ExtractPicturesTo(folder(1));
    const int r = SaveFibText(st.saveFileName, folder(1));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(SaveCombinedDoc(SaveVariant::AllFiles, r), 1);
    // All 3000 characters, nothing of the block.
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(docserver::readDocument(st.saveTargetPath).plainText(), codepage::toUtf8(bytes) + "\n");
}

// A connection that counts the calls its server receives, and tells of each one first.
class CountingConnection : public word::Connection {
public:
    CountingConnection(std::shared_ptr<word::Connection> inner, const std::function<void()>& onCall)
        : inner_(std::move(inner)), onCall_(onCall) {}
    word::Value invoke(std::uint32_t object, int dispid, word::CallKind kind,
                       const std::vector<word::Value>& args) override {
        onCall_();
        return inner_->invoke(object, dispid, kind, args);
    }

private:
    std::shared_ptr<word::Connection> inner_;
    const std::function<void()>& onCall_;
};

TEST_F(SaveRealServer, WhilePausedTheServerGetsNoCallAndResumingChangesNothing) {
    std::atomic<int> calls{0};
    std::function<void()> onCall = [&] { ++calls; };
    word::setConnectionFactory(
        [&] { return std::make_shared<CountingConnection>(word::connectInProcess(), onCall); });
    const auto src = writeSyntheticSource();
    auto& s = session();
    s.currentSourcePath = src;
    s.advanceRepair = true;

    // Runs work on a worker thread. With pause, the work is paused as its first call reaches the
    // server: for 2 s no further call arrives and the work does not end; then it is resumed.
    auto run = [&](const std::function<void()>& work, bool pause) {
        calls = 0;
        WorkControl control;
        std::atomic<bool> done{false};
        onCall = [&] {
            if (++calls == 1 && pause)
                control.pause();
        };
        std::thread worker([&] {
            CurrentWorkScope current(control);
            work();
            done = true;
        });
        if (pause) {
            while (calls == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::seconds(2));
            EXPECT_EQ(calls, 1) << "a call was made while paused";
            EXPECT_FALSE(done);
            control.resume();
        }
        worker.join();
        onCall = [&] { ++calls; };
        EXPECT_GT(calls, 1);
    };
    auto analysis = [&](bool pause) {
        run([] { SalvageDocFile(); }, pause);
        std::vector<std::string> previews;
        // A web archive names its parts and its date afresh on every save: what it shows is compared.
        for (int n = 1; n <= 4; ++n) {
            const auto page = docserver::readDocument(s.previewDocPath[n]);
            previews.push_back(page.plainText() + "|pictures:" + std::to_string(page.pictures().size()));
        }
        s.clearPreviewFiles();
        return previews;
    };
    auto save = [&](bool pause) {
        run([&] { savetest::saveAllCandidates(dir_ / "Out", false); }, pause);
        std::vector<std::vector<std::uint8_t>> outputs;
        for (int n = 1; n <= 4; ++n)
            outputs.push_back(test::readBytes(folder(n) / "Report.doc"));
        fs::remove_all(dir_ / "Out");
        return outputs;
    };
    const auto previews = analysis(false);
    EXPECT_EQ(previews[0], kText + "\n|pictures:1");
    EXPECT_EQ(analysis(true), previews);
    const auto outputs = save(false);
    EXPECT_FALSE(outputs[0].empty());
    EXPECT_EQ(save(true), outputs);
}

// Every kind of document the save engine writes: the four .doc candidates, and the .docx
// candidate as a package (version "12.0") and as a .doc (other versions).
class SaveInterop : public SaveRealServer {
protected:
    std::vector<fs::path> writeEveryKind() {
        writeSyntheticSource();
        saveAllDocCandidates();
        std::vector<fs::path> out;
        for (int n = 1; n <= 4; ++n)
            out.push_back(folder(n) / "Report.doc");
        out.push_back(saveDocxCandidate("12.0"));
        out.push_back(saveDocxCandidate("11.0"));
        EXPECT_EQ(out[4].extension(), ".docx");
        EXPECT_EQ(out[5].extension(), ".doc");
        return out;
    }
    // The words each document should show (the reader's own view of it).
    static std::string expectedText(const fs::path& p) { return docserver::readDocument(p).plainText(); }
};

TEST_F(SaveInterop, LibreOfficeOpensEveryCandidate) {
    if (!savetest::have("soffice"))
        GTEST_SKIP() << "soffice is not installed";
    const auto outputs = writeEveryKind();
    std::string log;
    const auto texts = savetest::libreOfficeText(outputs, dir_ / "lo", log);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        ASSERT_TRUE(fs::exists(texts[i])) << "LibreOffice did not open " << outputs[i] << "\n" << log;
        EXPECT_EQ(test::wordTokens(test::readText(texts[i])), test::wordTokens(expectedText(outputs[i]))) << outputs[i];
    }
}

TEST_F(SaveInterop, AntiwordReadsEveryDocCandidate) {
    if (!savetest::have("antiword"))
        GTEST_SKIP() << "antiword is not installed";
    for (const auto& p : writeEveryKind()) {
        if (p.extension() != ".doc")
            continue;
        int status = 0;
        const std::string out = savetest::antiwordText(p, status);
        EXPECT_EQ(status, 0) << p << ": " << out;
        EXPECT_DOUBLE_EQ(test::wordRecall(out, expectedText(p)), 1.0) << p << ": " << out;
    }
}

} // namespace
} // namespace qm
