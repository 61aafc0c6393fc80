// Damaged .doc files: what the reader still recovers when the container's header, FAT or
// directory is lost, and that truncation or random damage never crashes it.
#include "docserver/binary_io.h"
#include "docserver/cfb_writer.h"
#include "docserver/doc_binary.h"
#include "tests/docserver/format_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace qm::docserver {
namespace {

std::vector<std::uint8_t> zeroSector(std::vector<std::uint8_t> file, std::uint32_t sector) {
    std::fill_n(file.begin() + (sector + 1) * 512, 512, 0);
    return file;
}

// A document or DocError: nothing else may come out of the reader.
std::optional<Document> readOrNothing(const std::vector<std::uint8_t>& bytes) {
    try {
        return readDocBinary(bytes);
    } catch (const DocError&) {
        return std::nullopt;
    }
}

TEST(DocBinaryDamage, LostContainerStructuresKeepTextAndPictures) {
    const Document doc = test::sampleDocument();
    const auto file = writeDocBinary(doc);
    auto noHeader = file;
    std::fill_n(noHeader.begin(), 512, 0);
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> variants = {
        {"header", noHeader},
        {"FAT", zeroSector(file, bin::u32(file, 76))},
        {"directory", zeroSector(file, bin::u32(file, 48))},
    };
    for (const auto& [what, bytes] : variants) {
        const Document back = readDocBinary(bytes);
        EXPECT_EQ(back.plainText(), doc.plainText()) << what;
        // Without the directory the pictures are found by their records' signature.
        ASSERT_EQ(back.pictures().size(), 2u) << what;
        EXPECT_EQ(*back.pictures()[0], *doc.pictures()[0]) << what;
        EXPECT_EQ(*back.pictures()[1], *doc.pictures()[1]) << what;
    }
}

TEST(DocBinaryDamage, LostPieceTableFallsBackToTheTextItself) {
    Document doc;
    doc.insertAfter("The piece table of this document was overwritten.");
    doc.insertParagraphAfter();
    doc.insertAfter("Its text is still where Word keeps it.");
    auto file = writeDocBinary(doc);
    // Damage the piece table: the first byte of the Clx no longer starts a Pcdt.
    static const std::vector<std::uint8_t> pcdt = {0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    auto at = std::search(file.begin(), file.end(), pcdt.begin(), pcdt.end());
    ASSERT_NE(at, file.end());
    *at = 0x07;
    EXPECT_EQ(readDocBinary(file).plainText(), doc.plainText());
}

TEST(DocBinaryDamage, TruncationAndRandomDamageNeverCrash) {
    const Document doc = test::sampleDocument();
    const auto file = writeDocBinary(doc);
    const std::string first = doc.paragraphs().front().text();
    // Where the first paragraph's (UTF-16) text ends in the file.
    std::vector<std::uint8_t> utf16;
    for (char c : first)
        utf16.insert(utf16.end(), {static_cast<std::uint8_t>(c), 0});
    const auto textAt = std::search(file.begin(), file.end(), utf16.begin(), utf16.end());
    ASSERT_NE(textAt, file.end());
    const std::size_t needed = static_cast<std::size_t>(textAt - file.begin()) + utf16.size();
    for (std::size_t cut = 0; cut < file.size(); cut += 256) {
        const auto doc2 = readOrNothing({file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)});
        // The container's tables come first in our files: once the text is in, it is read.
        if (cut >= needed) {
            ASSERT_TRUE(doc2.has_value()) << cut;
            EXPECT_NE(doc2->plainText().find(first), std::string::npos) << cut;
        }
    }
    std::mt19937 rng(2024);
    for (int round = 0; round < 250; ++round) {
        auto bad = file;
        const int hits = 1 + round % 50;
        for (int k = 0; k < hits; ++k) {
            const std::size_t at = rng() % bad.size();
            if (round % 5 == 0)
                std::fill_n(bad.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(64, bad.size() - at), 0);
            else
                bad[at] = static_cast<std::uint8_t>(rng());
        }
        if (auto d = readOrNothing(bad)) {
            for (const auto* p : d->pictures()) {
                EXPECT_LE(p->bytes.size(), bad.size());
            }
        }
    }
}

TEST(DocBinaryDamage, FilesWithoutAWordDocumentRaise) {
    std::mt19937 rng(5);
    std::vector<std::uint8_t> noise(20000);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    EXPECT_THROW(readDocBinary(noise), DocError);
    // A compound file of something else (a workbook, say).
    const auto other = cfb::writeCompoundFile({{"Workbook", std::vector<std::uint8_t>(6000, 0x41)}});
    EXPECT_THROW(readDocBinary(other), DocError);
    // A lone header.
    EXPECT_THROW(readDocBinary(std::vector<std::uint8_t>(other.begin(), other.begin() + 512)), DocError);
}

} // namespace
} // namespace qm::docserver
