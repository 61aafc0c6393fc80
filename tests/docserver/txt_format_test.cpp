#include "docserver/formats.h"
#include "platform/codepage.h"

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

// A text is read in steps of 1 MiB: a line with no end near a step's end is cut there, never
// inside a character, a surrogate pair or a "\r\n". Each shift puts another byte at the cut.
TEST(TxtFormat, LongLinesReadInStepsLoseNothing) {
    test::TempDir dir;
    const std::string pattern = "\xC3\xA9\xF0\x9F\x98\x80\r\nx"; // é, a surrogate pair, CRLF
    std::string body;
    while (body.size() < (1u << 20) + 64)
        body += "caf\xC3\xA9 \xF0\x9F\x98\x80 ";
    std::size_t head = (1u << 20) - 16;
    while ((static_cast<unsigned char>(body[head]) & 0xC0) == 0x80)
        --head; // whole characters only
    for (std::size_t shift = 0; shift < 12; ++shift) {
        const std::string text = std::string(shift, 'a') + body.substr(0, head) + pattern + body;
        std::string expected = text;
        expected.replace(expected.find("\r\n"), 2, "\n");
        const std::string le = codepage::utf8ToUtf16le(text);
        std::string be = le;
        for (std::size_t i = 0; i + 1 < be.size(); i += 2)
            std::swap(be[i], be[i + 1]);
        for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"utf8", text},
                                          {"utf16le", "\xFF\xFE" + le}, {"utf16be", "\xFE\xFF" + be}}) {
            test::writeText(dir / "long.txt", bytes);
            EXPECT_EQ(docserver::readDocument(dir / "long.txt").plainText(), expected) << name << " shift " << shift;
        }
    }
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
