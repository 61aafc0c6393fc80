// The .doc salvage through the real in-process document server: synthetic sources, and the
// damaged .doc files of the corpus (skipped when the corpus is absent).
#include "app/session_state.h"
#include "docserver/doc_binary.h"
#include "docserver/formats.h"
#include "engine/doc_salvage.h"
#include "engine/word_binding.h"
#include "tests/engine/doc_synthetic.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>

namespace qm {
namespace {

using Data = std::vector<std::uint8_t>;

class DocRealServer : public test::IsolatedTest {
protected:
    void SetUp() override {
        auto& s = session();
        savedInstall_ = s.installFolder;
        savedAdvance_ = s.advanceRepair;
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        s.installFolder = doctest::makeInstallFolder(dir_.path());
        s.advanceRepair = true;
        word::setConnectionFactory([] { return word::connectInProcess(); });
    }
    void TearDown() override {
        word::setConnectionFactory(nullptr);
        session().installFolder = savedInstall_;
        session().advanceRepair = savedAdvance_;
    }
    void clearSlots() {
        for (auto& p : session().previewDocPath)
            p.clear();
    }
    bool previewExists(int slot) const {
        const auto& p = session().previewDocPath[slot];
        return !p.empty() && fs::exists(p);
    }
    std::size_t tempFileCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_ / "tmp"), fs::directory_iterator()));
    }
    fs::path savedInstall_;
    bool savedAdvance_ = true;
};

TEST_F(DocRealServer, SyntheticSourceGivesReadablePreviewsWithThePictures) {
    // A picture record taken from the template itself is a picture the server can read.
    const Data templ = test::readBytes(session().installFolder / "TempPicture.Doc");
    const std::uint32_t recordSize = bin::u32(templ, 5120);
    ASSERT_GT(recordSize, 8u);
    ASSERT_LE(5120 + recordSize, templ.size());
    const Data record(templ.begin() + 5120, templ.begin() + 5120 + recordSize);

    const std::string text = "Salvaged words from a damaged document.";
    doctest::SyntheticDoc s(20000);
    s.header(600, 0x40, static_cast<std::uint32_t>(text.size()) + 1).text(2560, text).chainEnd(1500, 6);
    s.authorAnchor(5000, 20).listAnchor(6000, 6100, 10);
    s.put(8000, record);
    const auto src = dir_ / "Synthetic.doc";
    test::writeBytes(src, s.bytes);
    session().currentSourcePath = src;
    clearSlots();

    SalvageDocFile();
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(previewExists(i)) << i;
    const auto p1 = docserver::readDocument(session().previewDocPath[1]);
    EXPECT_NE(p1.plainText().find(text), std::string::npos) << p1.plainText();
    EXPECT_EQ(p1.pictures().size(), 1u);
    EXPECT_NE(docserver::readDocument(session().previewDocPath[2]).plainText().find(text.substr(0, 20)),
              std::string::npos);
    EXPECT_NE(docserver::readDocument(session().previewDocPath[3]).plainText().find(text.substr(0, 10)),
              std::string::npos);
    EXPECT_NE(docserver::readDocument(session().previewDocPath[4]).plainText().find(text), std::string::npos);
    EXPECT_EQ(tempFileCount(), 4u);
    EXPECT_EQ(test::readBytes(src), s.bytes);
}

TEST_F(DocRealServer, DamagedCorpusFilesEachGetAPreview) {
    const fs::path damaged = test::corpusDir() / "damaged";
    if (!fs::is_directory(damaged))
        GTEST_SKIP() << "no corpus at " << damaged;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(damaged))
        if (e.path().extension() == ".doc")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    int previewCount[5] = {0, 0, 0, 0, 0};
    int quickCount = 0;
    std::ostringstream table;
    for (const auto& file : files) {
        const Data before = test::readBytes(file);
        const auto perms = fs::status(file).permissions();
        session().currentSourcePath = file;

        session().advanceRepair = true;
        clearSlots();
        EXPECT_EQ(SalvageDocFile(), 1);
        int made = 0;
        table << file.filename().string() << ":";
        for (int i = 1; i <= 4; ++i) {
            if (!previewExists(i)) {
                table << "  P" << i << " -";
                continue;
            }
            ++made, ++previewCount[i];
            std::size_t chars = 0;
            try {
                chars = docserver::readDocument(session().previewDocPath[i]).plainText().size();
            } catch (const std::exception& e) {
                ADD_FAILURE() << "Preview " << i << " of " << file << " does not read back: " << e.what();
            }
            table << "  P" << i << " " << chars;
        }
        EXPECT_GE(made, 1) << file;
        session().clearPreviewFiles();
        EXPECT_EQ(tempFileCount(), 0u) << "left in the temporary folder after " << file;

        session().advanceRepair = false;
        clearSlots();
        SalvageDocFile();
        if (previewExists(1))
            ++quickCount;
        table << "  quick " << (previewExists(1) ? "yes" : "no") << "\n";
        session().clearPreviewFiles();
        EXPECT_EQ(tempFileCount(), 0u) << "left in the temporary folder after Quick Repair of " << file;

        EXPECT_EQ(test::readBytes(file), before) << file;
        EXPECT_EQ(fs::status(file).permissions(), perms) << file;
    }
    std::cout << table.str();
    std::cout << files.size() << " damaged .doc files, Advance Repair:";
    for (int i = 1; i <= 4; ++i)
        std::cout << " Preview " << i << " " << previewCount[i];
    std::cout << "; Quick Repair: Preview 1 " << quickCount << "\n";
}

} // namespace
} // namespace qm
