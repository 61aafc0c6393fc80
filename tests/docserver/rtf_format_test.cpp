#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

TEST(RtfFormat, RoundTripKeepsTextParagraphsAndPictures) {
    test::TempDir dir;
    Document doc = test::sampleDocument();
    doc.insertAfter(" {braces} and \\backslash\\");
    docserver::writeDocument(doc, dir / "out.rtf", Format::Rtf);
    EXPECT_EQ(docserver::readDocument(dir / "out.rtf"), doc);
}

TEST(RtfFormat, OutputIsSevenBitWithUnicodeEscapesAndBlips) {
    test::TempDir dir;
    docserver::writeDocument(test::sampleDocument(), dir / "out.rtf", Format::Rtf);
    const std::string rtf = test::readText(dir / "out.rtf");
    EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi", 0), 0u);
    for (unsigned char c : rtf)
        ASSERT_LT(c, 0x80);
    EXPECT_NE(rtf.find("Gr\\u252?\\u223?e"), std::string::npos);
    EXPECT_NE(rtf.find("\\u26085?\\u26412?\\u-30050?"), std::string::npos); // 日本語, the last one above 0x7FFF
    EXPECT_NE(rtf.find("\\u-10179?\\u-8704?"), std::string::npos);          // U+1F600 as a surrogate pair
    EXPECT_NE(rtf.find("{\\pict\\pngblip\\picw3\\pich2\\picwgoal45\\pichgoal30"), std::string::npos);
    EXPECT_NE(rtf.find("{\\pict\\jpegblip\\picw16\\pich8"), std::string::npos);
}

TEST(RtfFormat, OtherPictureKindsSurvive) {
    test::TempDir dir;
    // A 2 x 1 BMP (24-bit) goes as a device-independent bitmap; a GIF has no RTF form and
    // goes into our own ignorable destination.
    std::vector<std::uint8_t> bmp = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0,
                                     1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0,
                                     0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0};
    std::vector<std::uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
    Document doc;
    doc.insertPicture(docserver::Picture::fromBytes(bmp));
    doc.insertPicture(docserver::Picture::fromBytes(gif));
    docserver::writeDocument(doc, dir / "kinds.rtf", Format::Rtf);
    EXPECT_EQ(docserver::readDocument(dir / "kinds.rtf"), doc);
}

TEST(RtfFormat, ReadsRtfOfOtherWriters) {
    test::TempDir dir;
    // Code page 1251 bytes, \uN with a two-character fallback, skipped destinations, a field
    // (instruction skipped, result kept), a picture in \shppict with its \nonshppict copy,
    // properties inside the picture, \bin data, a table and a missing final brace.
    const auto png = test::tinyPng(1, 1);
    std::string binPicture = "{\\*\\shppict{\\pict{\\*\\picprop{\\sp{\\sn wzName}{\\sv Picture 1}}}\\pngblip\\bin" +
                             std::to_string(png.size()) + " " + std::string(png.begin(), png.end()) +
                             "}}{\\nonshppict{\\pict\\wmetafile8 0100090000}}";
    const std::string rtf = "{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0 Times;}}{\\colortbl;\\red0;}"
                            "{\\stylesheet{\\s0 Normal;}}{\\info{\\title Hidden}}{\\*\\unknownthing junk}"
                            "\\pard \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2 \\uc2\\u8364??euro\\uc1\\par "
                            "{\\field{\\*\\fldinst PAGE}{\\fldrslt 12}}\\tab x\\line y\\par " +
                            binPicture +
                            "\\par\\intbl one\\cell two\\cell\\row "
                            "{\\header hidden header}last";
    test::writeText(dir / "other.rtf", rtf);
    const Document doc = docserver::readDocument(dir / "other.rtf");
    EXPECT_EQ(doc.plainText(), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x82\xAC" "euro\n"
                               "12\tx\vy\n"
                               "\n"
                               "one\ntwo\n"
                               "last");
    ASSERT_EQ(doc.pictures().size(), 1u);
    EXPECT_EQ(doc.pictures()[0]->bytes, png);
}

TEST(RtfFormat, DamagedRtfKeepsWhatWasRead) {
    test::TempDir dir;
    // Cut inside a picture and inside an escape, unbalanced braces, a huge \bin count.
    test::writeText(dir / "cut.rtf", "{\\rtf1 first\\par second}}} third {\\pict\\pngblip 89504e47\\'c");
    EXPECT_EQ(docserver::readDocument(dir / "cut.rtf").plainText(), "first\nsecond third ");
    test::writeText(dir / "bin.rtf", "{\\rtf1 text\\bin999999999 xyz");
    EXPECT_EQ(docserver::readDocument(dir / "bin.rtf").plainText(), "text");
}

} // namespace
