#include "engine/docx_text_scanner.h"

#include "platform/bytes.h"
#include "platform/codepage.h"
#include "platform/work_control.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qm::docx {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool hasAt(Bytes s, std::size_t at, std::string_view lit) {
    return at <= s.size() && s.size() - at >= lit.size() && std::memcmp(s.data() + at, lit.data(), lit.size()) == 0;
}

bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A tag name is complete when one of these follows it: "<w:p>" and "<w:p w:rsidR=...>" are
// paragraphs, "<w:pPr>" is not.
bool endsTagName(Bytes s, std::size_t at) {
    return at < s.size() && (s[at] == '>' || s[at] == '/' || isSpace(s[at]));
}

// The next '<' at or after from, or kNone.
std::size_t nextLt(Bytes s, std::size_t from) {
    if (from >= s.size())
        return kNone;
    const void* p = std::memchr(s.data() + from, '<', s.size() - from);
    return p ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(p) - s.data()) : kNone;
}

// The '>' closing the tag whose name ends before from, skipping quoted attribute values; kNone
// when a '<' (never valid inside a tag) or the end of the part comes first.
std::size_t findTagEnd(Bytes s, std::size_t from) {
    std::uint8_t quote = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        const std::uint8_t c = s[i];
        if (c == '<')
            return kNone;
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return kNone;
}

// Where the scanner stands, for the innermost open paragraph. The nesting depth is kept beside.
enum class Place {
    // Between paragraphs (depth 0). Only a paragraph start matters; runs here are not body text.
    Outside,
    // Inside a paragraph that has reported nothing yet: its end adds a paragraph mark, even
    // when it stays empty.
    InParagraph,
    // Inside a paragraph that has reported runs: a paragraph mark is owed, at its end, before
    // a nested paragraph starts, or when the part ends without its "</w:p>".
    InParagraphText,
    // Inside a paragraph whose text before a nested paragraph (a text box) was closed off when
    // that paragraph started. Runs that follow open a new stretch (InParagraphText); its own end
    // adds no further mark when nothing followed.
    AfterNestedParagraph,
};

class Scanner {
public:
    Scanner(Bytes s, TextVisitor& visitor) : s_(s), visitor_(visitor) {
        const void* z = s.empty() ? nullptr : std::memchr(s.data(), 0, s.size());
        nextZero_ = z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - s.data()) : kNone;
    }

    void scan() {
        std::size_t pos = 0;
        while ((pos = nextLt(s_, pos)) != kNone) {
            passWorkGate();
            lastTag_ = tagAt_;
            tagAt_ = pos;
            pos = atTag(pos);
        }
        if (place_ == Place::InParagraphText) // cut off before its "</w:p>"
            visitor_.paragraphEnd();
    }

private:
    // Handles the tag starting at lt; returns where the scan goes on.
    std::size_t atTag(std::size_t lt) {
        if (hasAt(s_, lt, "</w:p") && endsTagName(s_, lt + 5) && s_[lt + 5] != '/') {
            paragraphClose();
            return lt + 5;
        }
        if (hasAt(s_, lt, "<w:p") && endsTagName(s_, lt + 4)) {
            const std::size_t end = findTagEnd(s_, lt + 4);
            // An unclosed start tag still starts a paragraph; only a proper "/>" makes it empty.
            paragraphOpen(end != kNone && s_[end - 1] == '/');
            return end == kNone ? lt + 4 : end + 1;
        }
        if (hasAt(s_, lt, "<w:t") && endsTagName(s_, lt + 4))
            return atRun(lt);
        if (hasAt(s_, lt, "</w:t") && endsTagName(s_, lt + 5)) {
            std::size_t close = lt + 5;
            while (close < s_.size() && isSpace(s_[close]))
                ++close;
            if (close >= s_.size() || (s_[close] != '>' && s_[close] != 0))
                return lt + 1;
            return atRunEndAfterLostStart(lt, close + 1);
        }
        if (const std::size_t after = lostRunEndTag(lt); after != kNone)
            return atRunEndAfterLostStart(lt, after);
        return lt + 1;
    }

    // Where the tag at lt ends when it is a "</w:t>" some of whose bytes (at most two, not the
    // "<") are lost to damage: every known byte is the one of "</w:t>" there. kNone otherwise.
    std::size_t lostRunEndTag(std::size_t lt) const {
        constexpr std::string_view kEnd = "</w:t>";
        if (lt + kEnd.size() > s_.size())
            return kNone;
        int lost = 0;
        for (std::size_t k = 1; k < kEnd.size(); ++k) {
            const std::uint8_t c = s_[lt + k];
            if (c == 0)
                ++lost;
            else if (c != static_cast<std::uint8_t>(kEnd[k]))
                return kNone;
        }
        return lost > 0 && lost <= 2 ? lt + kEnd.size() : kNone;
    }

    // A run end (the tag from lt up to after) whose start tag was not seen: when the tag just
    // before the text holds bytes lost to damage, it was the run's start tag, and the text is
    // the run's.
    std::size_t atRunEndAfterLostStart(std::size_t lt, std::size_t after) {
        // The text runs back to a '>' after the last tag seen; the damaged tag lies before it.
        const std::size_t from = std::max(lastTag_, lt - std::min(lt, kLostTagReach));
        std::size_t gt = lt;
        while (gt > from && s_[gt - 1] != '>')
            --gt;
        if (gt > from + 1 && std::memchr(s_.data() + from, 0, gt - 1 - from) != nullptr) {
            report(s_.subspan(gt, lt - gt));
            return after;
        }
        // Otherwise, lost bytes after the last tag end: the text after them is the run's end
        // (the word the last lost byte touches is dropped).
        std::size_t zero = lt;
        while (zero > gt && s_[zero - 1] != 0)
            --zero;
        if (zero > gt)
            report(s_.subspan(zero - 1, lt - zero + 1));
        return after;
    }

    std::size_t atRun(std::size_t lt) {
        const std::size_t tagEnd = findTagEnd(s_, lt + 4);
        if (tagEnd == kNone) // broken start tag: no text can be told from tag bytes
            return lt + 4;
        if (s_[tagEnd - 1] == '/') {
            report(s_.subspan(tagEnd, 0));
            return tagEnd + 1;
        }
        const std::size_t textStart = tagEnd + 1;
        const std::size_t textEnd = nextLt(s_, textStart);
        if (textEnd != kNone && !hasAt(s_, textEnd, "</w:t")) {
            // An end tag with bytes lost to damage: the text before it is the run's when all of
            // it is known.
            const std::size_t after = lostRunEndTag(textEnd);
            if (after != kNone && std::memchr(s_.data() + textStart, 0, textEnd - textStart) == nullptr) {
                report(s_.subspan(textStart, textEnd - textStart));
                return after;
            }
        }
        if (textEnd == kNone || !hasAt(s_, textEnd, "</w:t")) {
            // Not a complete run: the tag that interrupts it is scanned normally. When bytes
            // lost to damage come first, the text up to them is the run's (the word they touch
            // is dropped).
            const std::size_t stop = textEnd == kNone ? s_.size() : textEnd;
            if (const void* z = std::memchr(s_.data() + textStart, 0, stop - textStart))
                report(s_.subspan(textStart, static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - s_.data()) + 1 - textStart));
            return stop;
        }
        std::size_t close = textEnd + 5;
        while (close < s_.size() && isSpace(s_[close]))
            ++close;
        // Its ">" may be lost to damage.
        if (close >= s_.size() || (s_[close] != '>' && s_[close] != 0))
            return textEnd;
        report(s_.subspan(textStart, textEnd - textStart));
        return close + 1;
    }

    void report(Bytes raw) {
        if (place_ == Place::Outside) {
            // Between paragraphs, unless the start of this run's paragraph may be among bytes
            // lost to damage since the last paragraph ended.
            if (!lostSince(paragraphEnd_, tagAt_))
                return;
            paragraphOpen(false);
        } else if (place_ == Place::InParagraphText) {
            // Bytes lost since the paragraph's last run may have held its end and the next
            // one's start: joined, the runs' words could run together into ones never written.
            const std::size_t from = lastRunEnd_, to = static_cast<std::size_t>(raw.data() - s_.data());
            if (to > from && std::memchr(s_.data() + from, 0, to - from) != nullptr)
                visitor_.paragraphEnd();
        }
        visitor_.run(DecodeRunText(raw));
        lastRunEnd_ = static_cast<std::size_t>(raw.data() - s_.data()) + raw.size();
        place_ = Place::InParagraphText;
    }

    void paragraphOpen(bool empty) {
        if (place_ == Place::InParagraphText)
            visitor_.paragraphEnd(); // the outer paragraph's text before the nested one
        if (empty) {
            visitor_.paragraphEnd();
            if (depth_ > 0)
                place_ = Place::AfterNestedParagraph;
            return;
        }
        ++depth_;
        place_ = Place::InParagraph;
    }

    // Whether a byte lost to damage (zero) lies in [from, to); `to` only grows from call to
    // call, so the zeros are found in one forward pass.
    bool lostSince(std::size_t from, std::size_t to) {
        while (nextZero_ < to) {
            lastZero_ = nextZero_;
            const void* z = lastZero_ + 1 < s_.size() ? std::memchr(s_.data() + lastZero_ + 1, 0, s_.size() - lastZero_ - 1) : nullptr;
            nextZero_ = z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - s_.data()) : kNone;
        }
        return lastZero_ != kNone && lastZero_ >= from;
    }

    void paragraphClose() {
        paragraphEnd_ = tagAt_;
        if (depth_ == 0)
            return; // a stray end tag
        if (place_ != Place::AfterNestedParagraph)
            visitor_.paragraphEnd();
        --depth_;
        place_ = depth_ == 0 ? Place::Outside : Place::AfterNestedParagraph;
    }

    // How far back from a run end a damaged start tag is looked for.
    static constexpr std::size_t kLostTagReach = 4096;

    Bytes s_;
    TextVisitor& visitor_;
    Place place_ = Place::Outside;
    int depth_ = 0;
    std::size_t tagAt_ = 0;        // where the tag being handled starts
    std::size_t lastTag_ = 0;      // where the tag before it starts
    std::size_t paragraphEnd_ = 0; // where the last paragraph end tag starts
    std::size_t lastRunEnd_ = 0;   // where the text last reported ends
    std::size_t lastZero_ = kNone; // the last zero found before the text last reported
    std::size_t nextZero_ = 0;     // the first zero after it, kNone when there is none
};

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the byte there does not start one.
std::size_t utf8Length(Bytes s, std::size_t i) {
    const std::size_t start = i;
    return codepage::nextUtf8(s, i) < 0 ? 0 : i - start;
}

// UTF-8 as it is; runs of bytes that are not UTF-8 through the configured code page.
std::string decodeBytes(Bytes s) {
    if (codepage::isValidUtf8(s))
        return std::string(reinterpret_cast<const char*>(s.data()), s.size());
    std::string out;
    out.reserve(s.size() + 8);
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len = utf8Length(s, i);
        if (len > 0) {
            out.append(reinterpret_cast<const char*>(s.data() + i), len);
            i += len;
            continue;
        }
        std::size_t j = i + 1;
        while (j < s.size() && utf8Length(s, j) == 0)
            ++j;
        out += codepage::toUtf8(s.subspan(i, j - i));
        i = j;
    }
    return out;
}

// Decodes the character reference starting at text[at] ('&') into out; returns its length, or
// 0 when there is none to decode there.
std::size_t decodeReference(std::string_view text, std::size_t at, std::string& out) {
    static constexpr struct {
        std::string_view name;
        char c;
    } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& e : kNamed) {
        if (text.substr(at, e.name.size()) == e.name) {
            out += e.c;
            return e.name.size();
        }
    }
    if (text.substr(at, 2) != "&#")
        return 0;
    std::size_t i = at + 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex)
        ++i;
    const std::size_t digitsStart = i;
    auto isDigit = [hex](char c) {
        return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    };
    while (i < text.size() && i - digitsStart < 8 && isDigit(text[i]))
        ++i;
    if (i == digitsStart || i >= text.size() || text[i] != ';')
        return 0;
    std::uint32_t cp = codepage::referenceDigits(text.substr(digitsStart, i - digitsStart), hex).value_or(0);
    if (cp == 0)
        cp = 0xFFFD;
    codepage::appendUtf8(out, cp); // out-of-range and surrogate values become U+FFFD there
    return i + 1 - at;
}

class ParagraphCollector : public TextVisitor {
public:
    void run(std::string_view utf8) override { current_ += utf8; }
    void paragraphEnd() override { paragraphs_.push_back(std::exchange(current_, {})); }
    std::vector<std::string> take() { return std::move(paragraphs_); }

private:
    std::string current_;
    std::vector<std::string> paragraphs_;
};

} // namespace

void ScanPartText(std::span<const std::uint8_t> xml, TextVisitor& visitor) { Scanner(xml, visitor).scan(); }

std::vector<std::string> ScanPartParagraphs(std::span<const std::uint8_t> xml) {
    ParagraphCollector collector;
    ScanPartText(xml, collector);
    return collector.take();
}

std::string DecodeRunText(std::span<const std::uint8_t> raw) {
    if (raw.empty())
        return {};
    // Zero bytes stand for bytes lost to damage: the words they touch are dropped.
    std::vector<std::uint8_t> known;
    if (std::memchr(raw.data(), 0, raw.size())) {
        for (std::size_t i = 0; i < raw.size();) {
            std::size_t j = i;
            bool lost = false;
            while (j < raw.size() && !isSpace(raw[j]))
                lost |= raw[j++] == 0;
            if (!lost)
                known.insert(known.end(), raw.begin() + static_cast<std::ptrdiff_t>(i), raw.begin() + static_cast<std::ptrdiff_t>(j));
            while (j < raw.size() && isSpace(raw[j]))
                known.push_back(raw[j++]);
            i = j;
        }
        raw = known;
    }
    const std::string text = decodeBytes(raw);
    if (text.find('&') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            if (const std::size_t n = decodeReference(text, i, out)) {
                i += n;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

} // namespace qm::docx
