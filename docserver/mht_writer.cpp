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

// Quoted-printable (RFC 2045, section 6.7) of text whose lines end in "\n"; hard line
// breaks become CRLF, long lines get soft breaks.
std::string quotedPrintable(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    std::size_t lineStart = 0;
    while (lineStart <= text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        const bool last = lineEnd == std::string_view::npos;
        if (last)
            lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::size_t col = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto b = static_cast<std::uint8_t>(line[i]);
            const bool atEnd = i + 1 == line.size();
            std::string piece;
            // Printable ASCII passes; '=' and every other byte are encoded; a space or tab is
            // encoded only at the end of a line, where transports may strip it.
            if ((b >= 33 && b <= 126 && b != '=') || ((b == ' ' || b == '\t') && !atEnd)) {
                piece = static_cast<char>(b);
            } else {
                piece = {'=', kHex[b >> 4], kHex[b & 15]};
            }
            // Leave room for the soft break "=" unless this piece ends the line.
            const std::size_t room = atEnd ? kLineMax : kLineMax - 1;
            if (col + piece.size() > room) {
                out += "=";
                out += kCrlf;
                col = 0;
            }
            out += piece;
            col += piece.size();
        }
        if (last)
            break;
        out += kCrlf;
        lineStart = lineEnd + 1;
    }
    return out;
}

std::string base64Lines(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(bytes.size() * 4 / 3 + bytes.size() / 57 * 2 + 8);
    std::size_t col = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(bytes[i]) << 16) | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                                (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
        col += 4;
        if (col == kLineMax && i + 3 < bytes.size()) {
            out += kCrlf;
            col = 0;
        }
    }
    return out;
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
    std::string b64 = base64Lines(std::vector<std::uint8_t>(clean.begin(), clean.end()));
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

std::string writeMht(const Document& doc, const std::string& pageName) {
    const std::string stem = urlEscape(pageName.empty() ? std::string("document") : pageName);
    const std::string boundary = makeBoundary();
    const auto pictures = doc.pictures();

    const std::string html = htmlMarkup(doc, pageName, [&](std::size_t i, const Picture& pic) {
        return stem + "_files/" + htmlPictureName(i, pic);
    });

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
    out += quotedPrintable(html); // ends in CRLF; the delimiter's own CRLF follows

    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const std::string name = htmlPictureName(i, *pictures[i]);
        out += "\r\n--" + boundary + kCrlf;
        out += "Content-Type: " + pictures[i]->mimeType() + kCrlf;
        out += "Content-Transfer-Encoding: base64\r\n";
        out += std::string("Content-Location: ") + kBaseUrl + stem + "_files/" + name + kCrlf;
        out += "Content-ID: <" + name + "@quillmend>\r\n\r\n";
        out += base64Lines(pictures[i]->bytes);
    }
    out += "\r\n--" + boundary + "--\r\n";
    return out;
}

} // namespace qm::docserver
