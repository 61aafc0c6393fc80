// The package text scanner: pulls the visible text out of a WordprocessingML part
// ("word/document.xml") by looking at tag bytes only. There is no XML parser on purpose: the
// part comes out of a damaged package, may be cut off anywhere or hold garbage, and every
// complete run that is still there should reach the preview.
//
// What counts:
//   paragraph   "<w:p>", "<w:p ...>" up to "</w:p>"; "<w:p/>" and "<w:p .../>" are empty
//               paragraphs. "<w:pPr", "<w:proofErr", "<w:pict", ... are other tags.
//   run text    the bytes after the ">" that closes a "<w:t" start tag (any attributes) up to
//               its "</w:t>"; "<w:t/>" is an empty run. "<w:tab", "<w:tbl", "<w:tr" are other tags.
// Run text is UTF-8 (bytes that are not valid UTF-8 are read in the configured code page) with
// the XML character references decoded. A run is reported only when its end tag is there; a
// paragraph cut off before its "</w:p>" still reports its complete runs. A paragraph inside a
// paragraph (a text box) is reported as a paragraph of its own between the outer paragraph's
// runs before and after it. Runs outside every paragraph are not body text and are skipped.
// Around bytes lost to damage (zero bytes, see below): a "</w:t>" whose start tag was not seen
// ends a run when the tag before its text holds a lost byte (the damaged start tag) or when
// lost bytes come after the last tag end before it (the text from there is the run's end); the
// text after a "<w:t>" up to lost bytes is a run when no end tag is seen before them; and a
// run found between paragraphs with a lost byte since the last paragraph end starts a
// paragraph (its start tag may be among the lost bytes). Words touching a lost byte are
// dropped.
//
// The scan is one forward pass: every byte is looked at a bounded number of times.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::docx {

// Receives what the scanner finds, in document order.
class TextVisitor {
public:
    virtual ~TextVisitor() = default;
    // The text of one complete run, UTF-8; empty for "<w:t/>" and "<w:t></w:t>".
    virtual void run(std::string_view utf8) = 0;
    // The end of a paragraph (after its runs).
    virtual void paragraphEnd() = 0;
};

// Scans the bytes of a part and reports its runs and paragraph ends to the visitor.
void ScanPartText(std::span<const std::uint8_t> xml, TextVisitor& visitor);

// The paragraphs of a part, each the text of its runs joined.
std::vector<std::string> ScanPartParagraphs(std::span<const std::uint8_t> xml);

// Decodes the raw bytes of a run's text into UTF-8: a zero byte stands for a byte lost to
// damage (see zip/deflate_recovery.h), and every word (a stretch between white space) that
// holds one is dropped; valid UTF-8
// is kept, other bytes are decoded with the configured code page; "&amp;", "&lt;", "&gt;",
// "&quot;", "&apos;", "&#N;" and "&#xN;" become their characters (a reference to an invalid code
// point becomes U+FFFD; an unknown or unterminated reference stays as written).
std::string DecodeRunText(std::span<const std::uint8_t> raw);

} // namespace qm::docx
