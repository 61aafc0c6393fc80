// MHTML web archive writer (SaveAs format 9): one multipart/related message holding the
// page as quoted-printable UTF-8 HTML and each picture as a base64 part. The page refers
// to its pictures by relative URLs that resolve, against the page's Content-Location, to
// the pictures' Content-Location (what WebKit and Chromium look up); each picture also
// carries a Content-ID.
#include "docserver/format_io.h"

#include <ctime>
#include <random>

namespace qm::docserver {
namespace {

constexpr const char* kCrlf = "\r\n";
constexpr std::size_t kLineMax = 76; // RFC 2045 limit for encoded lines
// The archive's own locations; pages and pictures resolve against this folder. Not a
// file: URL: Chromium does not serve file: subresources from an archive. The reserved
// ".invalid" domain makes sure a lookup that misses never reaches a network.
constexpr const char* kBaseUrl = "http://quillmend.invalid/";

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Quoted-printable (RFC 2045, section 6.7) of text whose lines end in "\n", passed on to
// another sink as it comes: hard line breaks become CRLF, long lines get soft breaks. The last
// two bytes are held back until it is known whether they end their line.
class QuotedPrintableSink final : public Sink {
public:
    explicit QuotedPrintableSink(Sink& out) : out_(out) {}
    void write(std::string_view bytes) override {
        for (const char c : bytes) {
            if (c == '\n') {
                endLine();
                line_ += kCrlf;
                col_ = 0;
            } else {
                held_.push_back(c);
                if (held_.size() > 2) {
                    encode(static_cast<std::uint8_t>(held_[0]), false);
                    held_.erase(0, 1);
                }
            }
            if (line_.size() >= (1u << 16)) {
                out_ << line_;
                line_.clear();
            }
        }
    }
    // Ends the text (its last line has no line break).
    void finish() {
        endLine();
        out_ << line_;
        line_.clear();
    }

private:
    void endLine() {
        if (!held_.empty() && held_.back() == '\r')
            held_.pop_back();
        for (std::size_t i = 0; i < held_.size(); ++i)
            encode(static_cast<std::uint8_t>(held_[i]), i + 1 == held_.size());
        held_.clear();
    }
    void encode(std::uint8_t b, bool atEnd) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        char piece[3];
        std::size_t n = 0;
        // Printable ASCII passes; '=' and every other byte are encoded; a space or tab is
        // encoded only at the end of a line, where transports may strip it.
        if ((b >= 33 && b <= 126 && b != '=') || ((b == ' ' || b == '\t') && !atEnd)) {
            piece[n++] = static_cast<char>(b);
        } else {
            piece[n++] = '=';
            piece[n++] = kHex[b >> 4];
            piece[n++] = kHex[b & 15];
        }
        // Leave room for the soft break "=" unless this piece ends the line.
        const std::size_t room = atEnd ? kLineMax : kLineMax - 1;
        if (col_ + n > room) {
            line_ += "=";
            line_ += kCrlf;
            col_ = 0;
        }
        line_.append(piece, n);
        col_ += n;
    }

    Sink& out_;
    std::string held_, line_;
    std::size_t col_ = 0;
};

// Base64 in lines of 76 characters (57 bytes), without a line break after the last.
void base64Lines(Sink& out, const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (i + 1 < size ? bytes[i + 1] << 8 : 0) |
                                (i + 2 < size ? bytes[i + 2] : 0);
        text += kBase64[(n >> 18) & 63];
        text += kBase64[(n >> 12) & 63];
        text += i + 1 < size ? kBase64[(n >> 6) & 63] : '=';
        text += i + 2 < size ? kBase64[n & 63] : '=';
        if ((i + 3) % 57 == 0 && i + 3 < size)
            text += kCrlf;
        if (text.size() >= (1u << 16)) {
            out << text;
            text.clear();
        }
    }
    out << text;
}

std::string rfc2822Date() {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday % 7], tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// A header value in ASCII: non-ASCII text as an RFC 2047 encoded word.
std::string headerText(const std::string& utf8) {
    bool ascii = true;
    for (char c : utf8)
        if (static_cast<std::uint8_t>(c) >= 0x80 || static_cast<std::uint8_t>(c) < 0x20)
            ascii = false;
    if (ascii)
        return utf8;
    const std::string clean = xmlSafe(repairUtf8(utf8));
    StringSink encoded;
    base64Lines(encoded, reinterpret_cast<const std::uint8_t*>(clean.data()), clean.size());
    std::string b64 = std::move(encoded.text);
    std::erase(b64, '\r');
    std::erase(b64, '\n');
    return "=?utf-8?B?" + b64 + "?=";
}

std::string makeBoundary() {
    std::random_device rd;
    char buf[64];
    // "=_" cannot occur in quoted-printable or base64 output, so no part can hold the boundary.
    std::snprintf(buf, sizeof buf, "----=_NextPart_000_%04X_%08X.%08X", rd() & 0xFFFF, rd(), rd());
    return buf;
}

} // namespace

void writeMht(Sink& sink, const Document& doc, const std::string& pageName) {
    const std::string stem = urlEscape(pageName.empty() ? std::string("document") : pageName);
    const std::string boundary = makeBoundary();

    std::string out;
    out += "From: <Saved by Quillmend>\r\n";
    out += "Subject: " + headerText(pageName) + kCrlf;
    out += "Date: " + rfc2822Date() + kCrlf;
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: multipart/related;\r\n\ttype=\"text/html\";\r\n\tboundary=\"" + boundary + "\"\r\n";
    out += "\r\nThis is a multi-part message in MIME format.\r\n";

    out += "\r\n--" + boundary + kCrlf;
    out += "Content-Type: text/html; charset=\"utf-8\"\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += std::string("Content-Location: ") + kBaseUrl + stem + ".htm\r\n\r\n";
    sink << out;
    QuotedPrintableSink page(sink); // ends in CRLF; the delimiter's own CRLF follows
    writeHtmlMarkup(page, doc, pageName, [&](std::size_t i, const Picture& pic) {
        return stem + "_files/" + htmlPictureName(i, pic);
    });
    page.finish();

    std::size_t i = 0;
    doc.forEachPicture([&](const Picture& pic) {
        const std::string name = htmlPictureName(i++, pic);
        std::string head = "\r\n--" + boundary + kCrlf;
        head += "Content-Type: " + pic.mimeType() + kCrlf;
        head += "Content-Transfer-Encoding: base64\r\n";
        head += std::string("Content-Location: ") + kBaseUrl + stem + "_files/" + name + kCrlf;
        head += "Content-ID: <" + name + "@quillmend>\r\n\r\n";
        sink << head;
        base64Lines(sink, pic.bytes.data(), pic.bytes.size());
    });
    sink << "\r\n--" + boundary + "--\r\n";
}

} // namespace qm::docserver
