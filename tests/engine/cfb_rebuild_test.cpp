// Container repair of Quick Repair: compound files written by our .doc writer, with their
// header, FAT or first directory sector lost (alone and two at once), come back as sound
// files with the original text and pictures, for our reader and for independent ones.
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "engine/cfb_rebuild.h"
#include "engine/doc_patterns.h"
#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace qm::doc {
namespace {

using Data = std::vector<std::uint8_t>;
namespace bin = docserver::bin;

void zeroSector(Data& file, std::uint32_t sector) { std::fill_n(file.begin() + (sector + 1) * 512, 512, 0); }
void zeroHeader(Data& file) { std::fill_n(file.begin(), 512, 0); }
// Read from the intact file: the damage of one kind must not hide where another lies.
std::function<void(Data&)> zeroFat(const Data& intact) {
    return [at = bin::u32(intact, 76)](Data& f) { zeroSector(f, at); };
}
std::function<void(Data&)> zeroDirectory(const Data& intact) {
    return [at = bin::u32(intact, 48)](Data& f) { zeroSector(f, at); };
}

struct Damaged {
    std::string what;
    Data bytes;
};

// The sample (two pictures) and a document long enough for several sectors of text, each
// damaged every way.
std::vector<std::pair<docserver::Document, std::vector<Damaged>>> damagedDocuments() {
    docserver::Document longDoc;
    for (int k = 0; k < 400; ++k) {
        longDoc.insertAfter("Line " + std::to_string(k) + " of a document that spans many sectors");
        longDoc.insertParagraphAfter();
    }
    std::vector<std::pair<docserver::Document, std::vector<Damaged>>> out;
    for (auto& doc : {test::sampleDocument(), longDoc}) {
        const Data intact = docserver::writeDocBinary(doc);
        const std::vector<std::pair<std::string, std::vector<std::function<void(Data&)>>>> kinds = {
            {"header", {zeroHeader}},
            {"FAT", {zeroFat(intact)}},
            {"directory", {zeroDirectory(intact)}},
            {"header+FAT", {zeroFat(intact), zeroHeader}},
            {"header+directory", {zeroDirectory(intact), zeroHeader}},
            {"FAT+directory", {zeroFat(intact), zeroDirectory(intact)}},
        };
        std::vector<Damaged> damaged;
        for (const auto& [what, steps] : kinds) {
            Data bytes = intact;
            for (const auto& step : steps)
                step(bytes);
            damaged.push_back({what, std::move(bytes)});
        }
        out.emplace_back(doc, std::move(damaged));
    }
    return out;
}

TEST(CfbRebuild, LostStructuresComeBackAsASoundFileWithTheText) {
    for (const auto& [doc, damaged] : damagedDocuments()) {
        for (const auto& d : damaged) {
            ASSERT_FALSE(soundContainer(d.bytes)) << d.what;
            const auto repaired = repairContainer(d.bytes);
            ASSERT_EQ(repaired.kind, ContainerRepair::Rebuilt) << d.what;
            EXPECT_TRUE(soundContainer(repaired.bytes)) << d.what;
            const auto back = docserver::readDocBinary(repaired.bytes);
            EXPECT_EQ(back.plainText(), doc.plainText()) << d.what;
            EXPECT_EQ(back.pictures().size(), doc.pictures().size()) << d.what;
        }
    }
}

TEST(CfbRebuild, TheHeaderWriteAloneStaysWhereItIsEnoughOrNothingBetterIsFound) {
    const Data intact = docserver::writeDocBinary(test::sampleDocument());
    Data headerWritten = intact;
    std::copy(pattern::kContainerHeader.begin(), pattern::kContainerHeader.end(), headerWritten.begin());
    // A sound file: exactly the 32-byte write.
    auto r = repairContainer(intact);
    EXPECT_EQ(r.kind, ContainerRepair::Header);
    EXPECT_EQ(r.bytes, headerWritten);
    EXPECT_TRUE(soundContainer(r.bytes));

    // The allocation run but no Word document anywhere: the header write, as before.
    Data noDocument(8192, 0x20);
    std::copy(pattern::kAllocationRunBytes.begin(), pattern::kAllocationRunBytes.end(), noDocument.begin() + 1024);
    r = repairContainer(noDocument);
    EXPECT_EQ(r.kind, ContainerRepair::Header);
    EXPECT_TRUE(std::equal(pattern::kContainerHeader.begin(), pattern::kContainerHeader.end(), r.bytes.begin()));

    // Neither the run nor a document: nothing to write.
    EXPECT_EQ(repairContainer(Data(8192, 0x41)).kind, ContainerRepair::None);
    EXPECT_EQ(repairContainer({}).kind, ContainerRepair::None);

    // A document header whose piece table and text are gone reads back no better rebuilt:
    // the header write stays.
    Data textless = intact;
    std::fill(textless.begin() + 1024, textless.end(), 0);
    EXPECT_NE(repairContainer(textless).kind, ContainerRepair::Rebuilt);
}

TEST(CfbRebuild, RepairOfACopyOnDiskReplacesItAndFailsCleanly) {
    test::TempDir dir;
    const auto documents = damagedDocuments();
    const auto& [doc, damaged] = documents.front();
    test::writeBytes(dir / "copy.doc", damaged[1].bytes);
    EXPECT_EQ(repairContainerCopy(dir / "copy.doc"), ContainerRepair::Rebuilt);
    EXPECT_EQ(docserver::readDocBinary(test::readBytes(dir / "copy.doc")).plainText(), doc.plainText());
    EXPECT_EQ(repairContainerCopy(dir / "missing.doc"), std::nullopt);
}

// Independent readers of the repaired copies: antiword prints their text, LibreOffice converts
// them with the same words.
TEST(CfbRebuild, AntiwordAndLibreOfficeReadTheRepairedCopies) {
    const bool antiword = test::haveTool("antiword"), office = test::haveTool("soffice");
    if (!antiword && !office)
        GTEST_SKIP() << "neither antiword nor soffice is installed";
    test::TempDir dir;
    std::vector<std::pair<fs::path, std::string>> copies;
    int n = 0;
    for (const auto& [doc, damaged] : damagedDocuments())
        for (const auto& d : damaged) {
            const fs::path file = dir / ("copy" + std::to_string(n++) + ".doc");
            test::writeBytes(file, repairContainer(d.bytes).bytes);
            copies.emplace_back(file, doc.plainText());
        }
    int status = 0;
    for (const auto& [file, text] : copies) {
        if (!antiword)
            break;
        const std::string out = test::runCommand("antiword -m UTF-8.txt '" + file.string() + "' 2>&1", status);
        EXPECT_EQ(status, 0) << file << ": " << out;
        EXPECT_DOUBLE_EQ(test::wordRecall(out, text), 1.0) << file << ": " << out;
    }
    if (!office)
        return;
    std::string inputs;
    for (const auto& c : copies)
        inputs += " '" + c.first.string() + "'";
    test::runCommand("timeout 300 soffice -env:UserInstallation=file://" + (dir / "lo-profile").string() +
                         " --headless --convert-to txt:Text --outdir '" + (dir / "out").string() + "'" + inputs +
                         " 2>&1",
                     status);
    for (const auto& [file, text] : copies) {
        const fs::path txt = dir / "out" / file.filename().replace_extension(".txt");
        ASSERT_TRUE(fs::exists(txt)) << "LibreOffice did not convert " << file;
        EXPECT_EQ(test::wordTokens(test::readText(txt)), test::wordTokens(text)) << file;
    }
}

} // namespace
} // namespace qm::doc
