#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

#include <chrono>
#include <random>

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

TEST(Formats, FormatFollowsTheExtension) {
    EXPECT_EQ(docserver::formatFromExtension("a/b.DOCX"), Format::Docx);
    EXPECT_EQ(docserver::formatFromExtension("x.doc"), Format::Doc);
    EXPECT_EQ(docserver::formatFromExtension("x.Html"), Format::Html);
    EXPECT_EQ(docserver::formatFromExtension("x.htm"), Format::Html);
    EXPECT_EQ(docserver::formatFromExtension("x.mht"), Format::Mht);
    EXPECT_EQ(docserver::formatFromExtension("x.MHTML"), Format::Mht);
    EXPECT_EQ(docserver::formatFromExtension("x.rtf"), Format::Rtf);
    EXPECT_EQ(docserver::formatFromExtension("x.txt"), Format::Txt);
    EXPECT_EQ(docserver::formatFromExtension("x.pdf"), std::nullopt);
    EXPECT_EQ(docserver::formatFromExtension("docx"), std::nullopt);
}

// Readers are chosen by content: every format saved under a misleading name reads back.
TEST(Formats, ReadingGoesByContentNotByName) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    for (Format f : {Format::Html, Format::Mht, Format::Docx, Format::Rtf}) {
        const fs::path written = dir / ("doc" + std::to_string(int(f)) + ".data");
        docserver::writeDocument(doc, written, f);
        EXPECT_EQ(docserver::readDocument(written), doc) << "format " << int(f);
    }
}

TEST(Formats, DocFormatIsACompoundFile) {
    test::TempDir dir;
    Document doc;
    doc.insertAfter("binary");
    docserver::writeDocument(doc, dir / "x.doc", Format::Doc);
    const auto bytes = test::readBytes(dir / "x.doc");
    ASSERT_GE(bytes.size(), 512u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<std::uint8_t>{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}));
}

TEST(Formats, UnreadableAndUnwritablePathsRaise) {
    test::TempDir dir;
    EXPECT_THROW(docserver::readDocument(dir / "missing.docx"), docserver::DocError);
    EXPECT_THROW(docserver::readDocument(dir.path()), docserver::DocError);
    test::writeText(dir / "file", "x");
    EXPECT_THROW(docserver::writeDocument(Document{}, dir / "file" / "below.rtf", Format::Rtf), docserver::DocError);
    Document withPicture;
    withPicture.insertPicture(docserver::Picture::fromBytes(test::tinyPng(1, 1)));
    EXPECT_THROW(docserver::writeDocument(withPicture, dir / "file" / "page.html", Format::Html), docserver::DocError);
    // An empty file is an empty document, not an error.
    test::writeText(dir / "empty.docx", "");
    EXPECT_EQ(docserver::readDocument(dir / "empty.docx"), Document{});
}

// Truncations and random byte damage of every format: a reader returns what it can or
// raises DocError; nothing else escapes and nothing crashes (the sanitizer build checks
// memory safety on the way).
TEST(Formats, DamagedFilesOfEveryFormatNeverCrash) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    std::mt19937 rng(20240611);
    for (Format f : {Format::Html, Format::Mht, Format::Docx, Format::Rtf, Format::Txt}) {
        const fs::path good = dir / ("good" + std::to_string(int(f)));
        docserver::writeDocument(doc, good, f);
        const auto bytes = test::readBytes(good);
        int documents = 0; // damaged copies that still read as a document
        for (int round = 0; round < 60; ++round) {
            auto bad = bytes;
            if (round % 3 == 0) {
                bad.resize(rng() % bad.size());
            } else {
                for (int k = 0; k < 1 + round % 8; ++k)
                    bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
            }
            test::writeBytes(dir / "bad", bad);
            // Either a document or a DocError (anything else fails the test), and soon.
            const auto start = std::chrono::steady_clock::now();
            try {
                (void)docserver::readDocument(dir / "bad");
                ++documents;
            } catch (const docserver::DocError&) {
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
                << "format " << int(f) << " round " << round;
        }
        // A reader that gave up on every damaged copy would salvage nothing.
        EXPECT_GT(documents, 0) << "format " << int(f);
    }
}

} // namespace

// A document larger than the model keeps in memory: its content goes to a scratch file and
// every writer reads it back in pieces. Paragraphs cross the spill, one paragraph is longer
// than a piece (and is cut between characters), pictures lie on both sides. Each format reads
// back what was written, and nothing is left in the temporary folder.
class LargeDocuments : public test::IsolatedTest {};

TEST_F(LargeDocuments, RoundTripInEveryFormat) {
    using docserver::Picture;
    Document doc;
    std::mt19937 rng(3);
    const std::string words[] = {"Gr\xC3\xBC\xC3\x9F" "e", "caf\xC3\xA9", "\xE2\x82\xAC" "5", "\xF0\x9F\x98\x80",
                                 "tab\there", "line\vbreak", "plain", "<&>"};
    auto paragraphs = [&](std::size_t bytes) {
        for (std::size_t n = 0; n < bytes;) {
            std::string p;
            for (std::size_t k = 0, count = 3 + rng() % 40; k < count; ++k)
                p += words[rng() % 8] + " ";
            doc.insertAfter(p);
            doc.insertParagraphAfter();
            n += p.size();
        }
    };
    doc.insertPicture(Picture::fromBytes(test::tinyPng(3, 2)));
    paragraphs(Document::kMemoryBytes / 2);
    std::string longParagraph;
    while (longParagraph.size() < 2 * Document::kPieceBytes + 3)
        longParagraph += words[rng() % 8];
    doc.insertAfter(longParagraph);
    doc.insertPicture(Picture::fromBytes(test::tinyJpeg()));
    doc.insertAfter(" after the picture");
    doc.insertParagraphAfter();
    paragraphs(Document::kMemoryBytes);
    doc.insertPicture(Picture::fromBytes(test::tinyPng(2, 2)));

    const auto materialized = doc.paragraphs();
    ASSERT_EQ(materialized.size(), doc.paragraphCount());
    ASSERT_EQ(doc.pictures().size(), 3u);
    EXPECT_EQ(*doc.pictures()[1], Picture::fromBytes(test::tinyJpeg()));
    const Document copy = doc;
    EXPECT_EQ(copy, doc);
    EXPECT_EQ(copy.plainText().size(), doc.plainText().size());

    for (Format f : {Format::Doc, Format::Docx, Format::Mht, Format::Html, Format::Rtf}) {
        const fs::path written = dir_ / ("large" + std::to_string(int(f)) + ".out");
        docserver::writeDocument(doc, written, f);
        EXPECT_EQ(docserver::readDocument(written), doc) << "format " << int(f);
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}
