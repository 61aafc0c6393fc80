// HTML page reader: block elements become paragraphs, <br> a line break, <img> an inline
// picture; text is entity-decoded and kept as written (our pages use pre-wrap). Script,
// style and title contents and comments are skipped. The markup of mht_reader.cpp goes
// through parseHtml too.
#include "docserver/format_io.h"

#include "platform/codepage.h"
#include "platform/files.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <variant>

namespace qm::docserver {
namespace {

constexpr std::size_t kMaxPictureFile = 256u << 20;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Case-insensitive search for an ASCII needle (lower case).
std::size_t findNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && std::tolower(static_cast<unsigned char>(hay[i + k])) == needle[k])
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

// Elements that separate paragraphs (besides <p>, which always opens one).
bool isBlock(std::string_view tag) {
    static constexpr std::array<std::string_view, 24> kBlocks = {
        "div", "h1",  "h2",      "h3",      "h4",     "h5",      "h6",     "li",
        "ul",  "ol",  "table",   "tr",      "td",     "th",      "blockquote", "pre",
        "dl",  "dt",  "dd",      "address", "center", "section", "article", "body"};
    for (auto b : kBlocks)
        if (tag == b)
            return true;
    return false;
}

// Attribute value by (lower-case) name from the text between the tag name and '>'.
std::optional<std::string> attribute(std::string_view attrs, std::string_view wanted) {
    std::size_t i = 0;
    while (i < attrs.size()) {
        while (i < attrs.size() && (isSpace(attrs[i]) || attrs[i] == '/'))
            ++i;
        const std::size_t nameStart = i;
        while (i < attrs.size() && !isSpace(attrs[i]) && attrs[i] != '=' && attrs[i] != '/')
            ++i;
        const std::string name = lowerAscii(attrs.substr(nameStart, i - nameStart));
        while (i < attrs.size() && isSpace(attrs[i]))
            ++i;
        std::string value;
        if (i < attrs.size() && attrs[i] == '=') {
            ++i;
            while (i < attrs.size() && isSpace(attrs[i]))
                ++i;
            if (i < attrs.size() && (attrs[i] == '"' || attrs[i] == '\'')) {
                const char quote = attrs[i++];
                const std::size_t end = std::min(attrs.find(quote, i), attrs.size());
                value = attrs.substr(i, end - i);
                i = end + 1;
            } else {
                const std::size_t start = i;
                while (i < attrs.size() && !isSpace(attrs[i]))
                    ++i;
                value = attrs.substr(start, i - start);
            }
        }
        if (name == wanted)
            return decodeEntities(value);
        if (name.empty() && i < attrs.size())
            ++i; // a stray character: step over it
    }
    return std::nullopt;
}

class HtmlBuilder {
public:
    explicit HtmlBuilder(const PictureResolver& resolve) : resolve_(resolve) {}

    void openParagraph() {
        flush();
        if (used_)
            doc_.insertParagraphAfter();
        used_ = true;
        needNew_ = false;
    }
    void boundary() {
        flush();
        needNew_ = true;
    }
    void text(std::string_view t, bool inBody) {
        if (!inParagraph() && std::all_of(t.begin(), t.end(), isSpace))
            return; // layout whitespace between blocks
        if (!inBody)
            return;
        content();
        std::string s = decodeEntities(t);
        for (char& c : s)
            if (c == '\r' || c == '\n' || c == '\f')
                c = ' ';
        pendingText_ += s;
    }
    void lineBreak() {
        content();
        pendingText_ += '\v';
    }
    void image(const std::string& src) {
        if (auto pic = resolve_(src)) {
            content();
            pushText();
            pending_.push_back(std::move(*pic));
        }
    }
    Document finish() {
        flush();
        return std::move(doc_);
    }

private:
    bool inParagraph() const { return used_ && !needNew_; }
    void content() {
        if (!used_ || needNew_)
            openParagraph();
    }
    void pushText() {
        if (!pendingText_.empty())
            pending_.push_back(std::move(pendingText_));
        pendingText_.clear();
    }
    // Emits the open paragraph's content. A final <br> of a block is the writer's filler
    // that makes an empty line visible, not content.
    void flush() {
        if (!pendingText_.empty() && pendingText_.back() == '\v')
            pendingText_.pop_back();
        pushText();
        for (auto& item : pending_) {
            if (auto* s = std::get_if<std::string>(&item))
                doc_.insertAfter(*s);
            else
                doc_.insertPicture(std::move(std::get<Picture>(item)));
        }
        pending_.clear();
    }

    const PictureResolver& resolve_;
    Document doc_;
    bool used_ = false;    // the document's open paragraph belongs to a block already
    bool needNew_ = false; // a block ended: further content starts a new paragraph
    std::string pendingText_;
    std::vector<std::variant<std::string, Picture>> pending_;
};

} // namespace

Document parseHtml(std::string_view html, const PictureResolver& resolve) {
    HtmlBuilder b(resolve);
    bool inBody = findNoCase(html, "<body", 0) == std::string_view::npos;
    std::size_t i = 0;
    while (i < html.size()) {
        const std::size_t lt = html.find('<', i);
        b.text(html.substr(i, std::min(lt, html.size()) - i), inBody);
        if (lt == std::string_view::npos)
            break;
        if (html.compare(lt, 4, "<!--") == 0) {
            const std::size_t end = html.find("-->", lt + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const std::size_t gt = html.find('>', lt);
        if (gt == std::string_view::npos)
            break;
        std::size_t nameStart = lt + 1;
        const bool closing = nameStart < gt && html[nameStart] == '/';
        if (closing)
            ++nameStart;
        std::size_t nameEnd = nameStart;
        while (nameEnd < gt && !isSpace(html[nameEnd]) && html[nameEnd] != '/')
            ++nameEnd;
        const std::string tag = lowerAscii(html.substr(nameStart, nameEnd - nameStart));
        const std::string_view attrs = html.substr(nameEnd, gt - nameEnd);
        i = gt + 1;
        if (tag == "script" || tag == "style" || tag == "title") {
            if (!closing) { // raw text up to the closing tag
                const std::size_t end = findNoCase(html, "</" + tag, i);
                i = end == std::string_view::npos ? html.size() : end;
            }
            continue;
        }
        if (tag == "body") {
            inBody = !closing;
            if (closing)
                b.boundary();
            continue;
        }
        if (!inBody)
            continue;
        if (tag == "p") {
            if (closing)
                b.boundary();
            else
                b.openParagraph();
        } else if (tag == "br") {
            b.lineBreak();
        } else if (tag == "img" && !closing) {
            if (auto src = attribute(attrs, "src"))
                b.image(*src);
        } else if (isBlock(tag)) {
            b.boundary();
        }
    }
    return b.finish();
}

namespace {

// The charset a page declares in its first bytes ("" when none).
std::string declaredCharset(std::string_view head) {
    const std::string lower = lowerAscii(head.substr(0, 4096));
    const std::size_t at = lower.find("charset=");
    if (at == std::string::npos)
        return {};
    std::size_t i = at + 8;
    while (i < lower.size() && (lower[i] == '"' || lower[i] == '\''))
        ++i;
    std::size_t end = i;
    while (end < lower.size() && (std::isalnum(static_cast<unsigned char>(lower[end])) || lower[end] == '-' || lower[end] == '_'))
        ++end;
    return lower.substr(i, end - i);
}

} // namespace

std::string htmlToUtf8(Bytes bytes, std::string charset) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        return std::string(text.substr(3));
    if (charset.empty())
        charset = declaredCharset(text);
    if ((charset.empty() || charset == "utf-8" || charset == "utf8") && codepage::isValidUtf8(bytes))
        return std::string(text);
    if (charset.empty() || charset == "utf-8" || charset == "utf8")
        return codepage::toUtf8(bytes); // mislabelled: the configured code page
    return codepage::toUtf8(bytes, charset);
}

Document readHtmlPage(Bytes bytes, const std::filesystem::path& baseFolder) {
    const std::string html = htmlToUtf8(bytes, {});
    return parseHtml(html, [&](const std::string& src) -> std::optional<Picture> {
        // Only pictures beside the page: no absolute paths, URLs or way out of the folder.
        const std::string rel = urlUnescape(src);
        if (rel.empty() || rel.front() == '/' || rel.find(':') != std::string::npos)
            return std::nullopt;
        const std::filesystem::path p(rel);
        for (const auto& part : p)
            if (part == "..")
                return std::nullopt;
        const auto size = files::fileSize(baseFolder / p);
        if (!size || *size == 0 || *size > kMaxPictureFile)
            return std::nullopt;
        auto data = files::readFile(baseFolder / p);
        if (!data)
            return std::nullopt;
        return Picture::fromBytes(std::move(*data));
    });
}

bool looksLikeHtml(Bytes bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 2048));
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    const std::string lower = lowerAscii(text);
    if (lower.rfind("<!doctype html", 0) == 0 || lower.rfind("<html", 0) == 0)
        return true;
    return !lower.empty() && lower[0] == '<' &&
           (lower.find("<html") != std::string::npos || lower.find("<body") != std::string::npos);
}

} // namespace qm::docserver
