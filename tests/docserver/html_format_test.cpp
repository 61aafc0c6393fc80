#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

const char* kStem = "Report 1 \xC3\xBC"; // a space and a non-ASCII letter in the page name

TEST(HtmlFormat, RoundTripKeepsTextParagraphsAndPictures) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    const fs::path page = dir / (std::string(kStem) + ".html");
    docserver::writeDocument(doc, page, Format::Html);

    EXPECT_EQ(docserver::readDocument(page), doc);
    // The pictures lie beside the page, byte for byte.
    const fs::path folder = dir / (std::string(kStem) + "_files");
    EXPECT_EQ(test::readBytes(folder / "image001.png"), test::tinyPng(3, 2));
    EXPECT_EQ(test::readBytes(folder / "image002.jpeg"), test::tinyJpeg());
}

TEST(HtmlFormat, PageIsUtf8WithVisibleEmptyParagraphsAndEscapedReferences) {
    test::TempDir dir;
    const fs::path page = dir / (std::string(kStem) + ".html");
    docserver::writeDocument(test::sampleDocument(), page, Format::Html);
    const std::string html = test::readText(page);

    EXPECT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
    EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(html.find("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"), std::string::npos); // UTF-8 kept as is
    EXPECT_NE(html.find("&lt;tag&gt; &amp; &quot;quotes&quot;"), std::string::npos);
    EXPECT_NE(html.find("<p><br></p>"), std::string::npos);    // the empty paragraph shows
    EXPECT_NE(html.find("a line<br>break"), std::string::npos); // the line break
    EXPECT_NE(html.find("Tab\there"), std::string::npos);       // tabs kept (pre-wrap)
    EXPECT_NE(html.find("<img src=\"Report%201%20%C3%BC_files/image001.png\" width=\"3\" height=\"2\""),
              std::string::npos);
    EXPECT_NE(html.find("<img src=\"Report%201%20%C3%BC_files/image002.jpeg\" width=\"16\" height=\"8\""),
              std::string::npos);
}

TEST(HtmlFormat, DocumentWithoutPicturesMakesNoFolder) {
    test::TempDir dir;
    Document doc;
    doc.insertAfter("text only");
    docserver::writeDocument(doc, dir / "plain.htm", Format::Html);
    EXPECT_FALSE(fs::exists(dir / "plain_files"));
    EXPECT_EQ(docserver::readDocument(dir / "plain.htm").plainText(), "text only");
}

TEST(HtmlFormat, PicturesOutsideThePageFolderAreNotRead) {
    test::TempDir dir;
    fs::create_directories(dir / "page" / "p_files");
    test::writeBytes(dir / "outside.png", test::tinyPng(5, 5));
    test::writeBytes(dir / "page" / "p_files" / "in.png", test::tinyPng(4, 4));
    test::writeText(dir / "page" / "p.html",
                    "<!DOCTYPE html><html><body><p>a<img src=\"../outside.png\">"
                    "<img src=\"" + (dir / "outside.png").string() + "\">"
                    "<img src=\"file://" + (dir / "outside.png").string() + "\">"
                    "<img src=\"p_files/in.png\"></p></body></html>");
    const Document doc = docserver::readDocument(dir / "page" / "p.html");
    ASSERT_EQ(doc.pictures().size(), 1u);
    EXPECT_EQ(doc.pictures()[0]->widthPx, 4);
}

TEST(HtmlFormat, ReadsPagesOfOtherWriters) {
    test::TempDir dir;
    // A Word-like page: Windows-1252 bytes, entities, comments, style and script, headings,
    // blocks nested in blocks, upper-case tags and layout line ends inside paragraphs.
    test::writeText(dir / "w.htm",
                    "<html><head><meta http-equiv=Content-Type content=\"text/html; charset=windows-1252\">"
                    "<title>ignored title</title><style><!-- p {margin:0} --></style>"
                    "<script>var x = '<p>no</p>';</script></head>\n"
                    "<BODY lang=EN-US><div class=WordSection1>\n"
                    "<h1>Heading</h1>\n"
                    "<P class=MsoNormal>caf\xE9 \x93quoted\x94&nbsp;&#8211; A&amp;B<o:p></o:p></P>\n"
                    "<p class=MsoNormal><!-- a comment -->two\nlines</p>\n"
                    "<table><tr><td>cell one</td><td>cell two</td></tr></table>\n"
                    "</div></BODY></html>");
    const Document doc = docserver::readDocument(dir / "w.htm");
    EXPECT_EQ(doc.plainText(), "Heading\n"
                               "caf\xC3\xA9 \xE2\x80\x9Cquoted\xE2\x80\x9D\xC2\xA0\xE2\x80\x93 A&B\n"
                               "two lines\n"
                               "cell one\n"
                               "cell two");
}

} // namespace
