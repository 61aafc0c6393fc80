#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

TEST(TxtFormat, RoundTripKeepsTextAndParagraphs) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    docserver::writeDocument(doc, dir / "out.txt", Format::Txt);
    const Document back = docserver::readDocument(dir / "out.txt");
    // Plain text holds no pictures, and a line break is a line end there.
    std::string expected = doc.plainText();
    std::replace(expected.begin(), expected.end(), '\v', '\n');
    EXPECT_EQ(back.plainText(), expected);
    EXPECT_TRUE(back.pictures().empty());
    EXPECT_EQ(test::readText(dir / "out.txt").substr(0, 33), "Quillmend keeps every paragraph.\n");
}

TEST(TxtFormat, DecodesByteOrderMarksAndFallsBackToTheCodePage) {
    test::TempDir dir;
    test::ScopedEnv env("QUILLMEND_CODEPAGE", "CP1252");
    test::writeText(dir / "bom.txt", "\xEF\xBB\xBF" "caf\xC3\xA9\r\nzwei\rdrei\n");
    EXPECT_EQ(docserver::readDocument(dir / "bom.txt").plainText(), "caf\xC3\xA9\nzwei\ndrei\n");
    test::writeText(dir / "cp.txt", "caf\xE9 \x80 5");
    EXPECT_EQ(docserver::readDocument(dir / "cp.txt").plainText(), "caf\xC3\xA9 \xE2\x82\xAC 5");
    test::writeText(dir / "u16.txt", std::string("\xFF\xFEh\0i\0\n\0\xAC\x20", 10));
    EXPECT_EQ(docserver::readDocument(dir / "u16.txt").plainText(), "hi\n\xE2\x82\xAC");
    test::writeText(dir / "u16be.txt", std::string("\xFE\xFF\0h\0i", 6));
    EXPECT_EQ(docserver::readDocument(dir / "u16be.txt").plainText(), "hi");
}

TEST(TxtFormat, BinaryDataIsRefused) {
    test::TempDir dir;
    std::vector<std::uint8_t> bytes(4096, 0);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    test::writeBytes(dir / "noise.txt", bytes);
    EXPECT_THROW(docserver::readDocument(dir / "noise.txt"), docserver::DocError);
}

} // namespace
