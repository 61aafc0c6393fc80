#include "engine/docx_text_scanner.h"

#include "tests/support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

namespace qm::docx {
namespace {

using ::testing::ElementsAre;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::string> paragraphs(const std::string& xml) { return ScanPartParagraphs(bytesOf(xml)); }

std::string decode(const std::string& raw) { return DecodeRunText(bytesOf(raw)); }

// Records the visitor calls as "r:<text>" and "P".
class Recorder : public TextVisitor {
public:
    void run(std::string_view utf8) override { calls.push_back("r:" + std::string(utf8)); }
    void paragraphEnd() override { calls.push_back("P"); }
    std::vector<std::string> calls;
};

std::vector<std::string> calls(const std::string& xml) {
    Recorder r;
    ScanPartText(bytesOf(xml), r);
    return r.calls;
}

const std::string kBodyStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>";

TEST(DocxTextScanner, ParagraphTagsWithAndWithoutAttributesAndEmptyOnes) {
    EXPECT_THAT(paragraphs(kBodyStart + "<w:p><w:r><w:t>plain</w:t></w:r></w:p>"
                                        "<w:p w:rsidR=\"00A1\" w:rsidRDefault=\"00B2\"><w:r><w:t>attr</w:t></w:r></w:p>"
                                        "<w:p/>"
                                        "<w:p w:rsidR=\"00C3\"/>"
                                        "<w:p\r\n><w:r><w:t>newline</w:t></w:r></w:p >"
                                        "<w:p><w:pPr><w:pStyle w:val=\"Heading1\"/></w:pPr></w:p>"
                                        "</w:body></w:document>"),
                ElementsAre("plain", "attr", "", "", "newline", ""));
    // A self-closing paragraph with attributes does not swallow the next one.
    EXPECT_THAT(paragraphs("<w:p w:rsidR=\"1\"/><w:p><w:r><w:t>next</w:t></w:r></w:p>"), ElementsAre("", "next"));
}

TEST(DocxTextScanner, TagsThatOnlyStartLikeParagraphsOrRunsAreNeither) {
    const std::string xml = kBodyStart +
                            "<w:p><w:pPr><w:pStyle w:val=\"x\"/></w:pPr><w:proofErr w:type=\"spellStart\"/>"
                            "<w:r><w:pict><v:shape/></w:pict></w:r>"
                            "<w:r><w:t>one</w:t><w:tab/><w:t>two</w:t></w:r></w:p>"
                            "<w:tbl><w:tblPr/><w:tr><w:tc><w:p><w:r><w:t>cell</w:t></w:r></w:p></w:tc></w:tr></w:tbl>"
                            "<w:permStart/><w:pStyle>not text</w:pStyle><w:tbl>x</w:tbl>";
    EXPECT_THAT(calls(xml), ElementsAre("r:one", "r:two", "P", "r:cell", "P"));
}

TEST(DocxTextScanner, RunTextStartsAfterTheStartTagWhateverItsAttributes) {
    EXPECT_THAT(calls("<w:p>"
                      "<w:r><w:t xml:space=\"preserve\"> lead and trail </w:t></w:r>"
                      "<w:r><w:t w:rsid=\"1\" xml:space=\"preserve\">long tag</w:t></w:r>"
                      "<w:r><w:t a=\"x>y\" b='q\"r'>quoted</w:t></w:r>"
                      "<w:r><w:t\txml:space=\"preserve\">t</w:t ></w:r>"
                      "<w:r><w:t/></w:r><w:r><w:t></w:t></w:r>"
                      "</w:p>"),
                ElementsAre("r: lead and trail ", "r:long tag", "r:quoted", "r:t", "r:", "r:", "P"));
}

TEST(DocxTextScanner, ReferencesAndNonAsciiTextAreDecoded) {
    EXPECT_THAT(paragraphs("<w:p><w:r><w:t>Fish &amp; chips &lt;b&gt; &quot;q&quot; &apos;a&apos;</w:t></w:r></w:p>"
                           "<w:p><w:r><w:t>&#233;&#xE9;&#X4e2d;&#x1F600; \xC3\xA9t\xC3\xA9 \xE4\xB8\xAD</w:t></w:r></w:p>"),
                ElementsAre("Fish & chips <b> \"q\" 'a'", "\xC3\xA9\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9 \xE4\xB8\xAD"));
    // Unknown, unterminated and invalid references.
    EXPECT_EQ(decode("&nbsp; & &amp &#; &#x; &#12a; AT&T"), "&nbsp; & &amp &#; &#x; &#12a; AT&T");
    EXPECT_EQ(decode("&#xD800;&#0;&#x110000;"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decode("&amp;lt;"), "&lt;"); // decoded once, not twice
    EXPECT_EQ(decode("&#99999999999;"), "&#99999999999;"); // too many digits: left as written
}

TEST(DocxTextScanner, BytesThatAreNotUtf8FallBackToTheConfiguredCodePage) {
    {
        test::ScopedEnv env("QUILLMEND_CODEPAGE", std::nullopt);
        EXPECT_EQ(decode("caf\xE9 \xC3\xA9 \x80"), "caf\xC3\xA9 \xC3\xA9 \xE2\x82\xAC"); // CP1252 é and €
        EXPECT_EQ(decode("\xC3"), "\xC3\x83"); // a cut sequence: the lone byte in CP1252
    }
    test::ScopedEnv env("QUILLMEND_CODEPAGE", "CP1251");
    EXPECT_EQ(decode("\xC4\xE0 &amp;"), "\xD0\x94\xD0\xB0 &");
    // Zero bytes stand for lost bytes: the words touching them go, the rest stays.
    EXPECT_EQ(decode(std::string("ab\0cd", 5)), "");
    EXPECT_EQ(decode(std::string("one ab\0\0cd two\0 \0three four", 27)), "one    four");
}

TEST(DocxTextScanner, CutOffPartKeepsTheCompleteRunsOfItsLastParagraph) {
    const std::string xml = kBodyStart +
                            "<w:p><w:r><w:t>first</w:t></w:r></w:p>"
                            "<w:p><w:r><w:t>second</w:t></w:r><w:r><w:t xml:space=\"preserve\"> half";
    EXPECT_THAT(calls(xml), ElementsAre("r:first", "P", "r:second", "P"));
    EXPECT_THAT(paragraphs(xml + "</w:t"), ElementsAre("first", "second"));

    // Every cut of a document gives the document's paragraphs up to the cut; the last one may
    // lack runs that were not complete.
    const std::string doc = kBodyStart +
                            "<w:p w:rsidR=\"1\"><w:r><w:t>alpha</w:t></w:r><w:r><w:t xml:space=\"preserve\"> beta</w:t></w:r></w:p>"
                            "<w:p/><w:p><w:r><w:t>g&amp;d</w:t></w:r><w:r><w:pict><w:txbxContent><w:p><w:r><w:t>box</w:t>"
                            "</w:r></w:p></w:txbxContent></w:pict></w:r><w:r><w:t>after</w:t></w:r></w:p>"
                            "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>cell</w:t></w:r></w:p></w:tc></w:tr></w:tbl></w:body>";
    const auto full = paragraphs(doc);
    ASSERT_THAT(full, ElementsAre("alpha beta", "", "g&d", "box", "after", "cell"));
    for (std::size_t cut = 0; cut <= doc.size(); ++cut) {
        const auto got = paragraphs(doc.substr(0, cut));
        ASSERT_LE(got.size(), full.size()) << cut;
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (i + 1 < got.size())
                ASSERT_EQ(got[i], full[i]) << "cut " << cut;
            else
                ASSERT_EQ(full[i].rfind(got[i], 0), 0u) << "cut " << cut << ": " << got[i];
        }
    }
}

TEST(DocxTextScanner, RunsAfterANestedParagraphStayWithTheOuterParagraph) {
    const std::string textBox = "<w:r><w:pict><v:textbox><w:txbxContent>"
                                "<w:p><w:r><w:t>in box</w:t></w:r></w:p><w:p/>"
                                "</w:txbxContent></v:textbox></w:pict></w:r>";
    EXPECT_THAT(calls("<w:p><w:r><w:t>before</w:t></w:r>" + textBox + "<w:r><w:t>after</w:t></w:r></w:p>"
                      "<w:p><w:r><w:t>next</w:t></w:r></w:p>"),
                ElementsAre("r:before", "P", "r:in box", "P", "P", "r:after", "P", "r:next", "P"));
    // A paragraph that only anchors a text box adds no extra empty paragraph after it.
    EXPECT_THAT(calls("<w:p>" + textBox + "</w:p><w:p><w:r><w:t>next</w:t></w:r></w:p>"),
                ElementsAre("r:in box", "P", "P", "r:next", "P"));
}

TEST(DocxTextScanner, TextOutsideParagraphsAndStrayTagsAreIgnored) {
    EXPECT_THAT(calls("<w:r><w:t>loose</w:t></w:r></w:p></w:p><w:p><w:r><w:t>kept</w:t></w:r></w:p>"
                      "<w:sdt><w:r><w:t>outside again</w:t></w:r></w:sdt>"),
                ElementsAre("r:kept", "P"));
    // A run interrupted by another tag is not a run; the tag is still seen.
    EXPECT_THAT(calls("<w:p><w:r><w:t>broken<w:r><w:t>whole</w:t></w:r></w:p>"), ElementsAre("r:whole", "P"));
    // A start tag that never closes gives no text, and what follows is still scanned.
    EXPECT_THAT(calls("<w:p><w:r><w:t xml:space=\"preserve<w:t>ok</w:t></w:r></w:p>"), ElementsAre("r:ok", "P"));
    EXPECT_THAT(calls(""), ElementsAre());
    EXPECT_THAT(calls("<"), ElementsAre());
    EXPECT_THAT(calls("<w:p"), ElementsAre());
    EXPECT_THAT(calls("<w:p><w:t"), ElementsAre());
}

// Zero bytes stand for bytes lost to damage: a run whose start tag or whose paragraph's start
// tag holds them still counts; without lost bytes the usual rules hold.
TEST(DocxTextScanner, RunsAroundLostBytes) {
    const struct {
        std::string xml;
        std::vector<std::string> calls;
    } cases[] = {
        {std::string("<w:p><w:r><w:\0\0 xml:space=\"preserve\">lost start</w:t></w:r></w:p>", 65), {"r:lost start", "P"}},
        {std::string("<w:p><w:r><w:rPr/>\0\0\0 w:val=\"1\">lost tag start</w:t></w:r></w:p>", 64), {"r:lost tag start", "P"}},
        {std::string("\0\0:p><w:r><w:t>lost paragraph start</w:t></w:r></w:p>", 53), {"r:lost paragraph start", "P"}},
        {"<w:p><w:r><w:rPr/>no lost byte</w:t></w:r></w:p>", {"P"}},
        {std::string("\0<w:p></w:p><w:r><w:t>outside</w:t></w:r>", 41), {"P"}},
        // Text cut by lost bytes: up to them after a start tag, after them before an end tag;
        // the words they touch are dropped.
        {std::string("<w:p><w:r><w:t>kept words cu\0\0</w:r></w:p>", 42), {"r:kept words ", "P"}},
        {std::string("<w:p><w:r><w:t>head lo\0\0st tail words</w:t></w:r></w:p>", 55), {"r:head  tail words", "P"}},
        {std::string("<w:p><w:r><w:rPr/>\0\0ost tail words</w:t></w:r></w:p>", 52), {"r: tail words", "P"}},
        {std::string("<w:p><w:r><w:rPr/>\0\0>tag end after</w:t></w:r></w:p>", 52), {"r:tag end after", "P"}},
        {"<w:p><w:r><w:t>no lost byte<w:br/></w:r></w:p>", {"P"}},
        // An end tag with lost bytes after known text; a start and an end tag both with lost
        // bytes; runs with lost bytes between them are not joined into one paragraph.
        {std::string("<w:p><w:r><w:t>lost end</w:\0></w:r></w:p><w:p><w:r><w:t>lost close</w:t\0</w:r></w:p>", 84),
         {"r:lost end", "P", "r:lost close", "P"}},
        {std::string("<w:p><w:r><w:\0\0>both ends</\0\0t></w:r></w:p>", 43), {"r:both ends", "P"}},
        {std::string("<w:p><w:r><w:t>Total</w:t></w:r>\0\0<w:r><w:t>Net</w:t></w:r></w:p>", 65),
         {"r:Total", "P", "r:Net", "P"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(calls(c.xml), c.calls) << c.xml;
}

TEST(DocxTextScanner, HostileInputIsScannedInOnePass) {
    // Shapes that make a scan with nested forward searches quadratic: many starts without ends.
    std::string many;
    for (int i = 0; i < 200000; ++i)
        many += "<w:p <w:t ";
    std::string runs = "<w:p>";
    for (int i = 0; i < 200000; ++i)
        runs += "<w:t>x";
    std::string quotes = "<w:p><w:t a=\"";
    quotes.append(2000000, '>');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(paragraphs(many), ElementsAre());
    EXPECT_THAT(paragraphs(runs), ElementsAre());
    EXPECT_THAT(paragraphs(quotes), ElementsAre());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
} // namespace qm::docx
