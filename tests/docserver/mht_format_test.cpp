#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

#include <array>
#include <cstdlib>
#include <map>
#include <regex>

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

// ---- A strict reader of the MIME structure, independent of the product's reader. ----------

struct StrictPart {
    std::map<std::string, std::string> headers; // lower-case name -> value (unfolded)
    std::vector<std::string> bodyLines;          // without CRLF
};

// Splits text into CRLF-terminated lines; any bare CR or LF is a failure.
std::vector<std::string> crlfLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t crlf = text.find("\r\n", start);
        EXPECT_NE(crlf, std::string::npos) << "last line without CRLF";
        if (crlf == std::string::npos)
            break;
        std::string line = text.substr(start, crlf - start);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare CR or LF in: " << line;
        EXPECT_LE(line.size(), 998u);
        lines.push_back(std::move(line));
        start = crlf + 2;
    }
    return lines;
}

// Reads header lines from lines[i] up to the empty line, checking their syntax.
std::map<std::string, std::string> strictHeaders(const std::vector<std::string>& lines, std::size_t& i) {
    static const std::regex field("^([!-9;-~]+):[ \t]*(.*)$");
    std::map<std::string, std::string> headers;
    std::string last;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        std::smatch m;
        if (!lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t')) {
            EXPECT_FALSE(last.empty()) << "continuation without a header";
            headers[last] += " " + lines[i].substr(lines[i].find_first_not_of(" \t"));
        } else if (std::regex_match(lines[i], m, field)) {
            last = m[1].str();
            for (char& c : last)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            EXPECT_EQ(headers.count(last), 0u) << "duplicate header " << last;
            headers[last] = m[2].str();
        } else {
            ADD_FAILURE() << "not a header line: " << lines[i];
        }
        for (unsigned char c : lines[i])
            EXPECT_TRUE(c >= 0x20 || c == '\t') << "control byte in a header";
        for (unsigned char c : lines[i])
            EXPECT_LT(c, 0x80) << "8-bit byte in a header";
    }
    EXPECT_LT(i, lines.size()) << "headers not ended by an empty line";
    ++i;
    return headers;
}

std::string param(const std::string& value, const std::string& name) {
    const std::regex re(";\\s*" + name + "=\"([^\"]*)\"", std::regex::icase);
    std::smatch m;
    return std::regex_search(value, m, re) ? m[1].str() : std::string();
}

std::vector<StrictPart> strictMultipart(const std::string& mht, std::map<std::string, std::string>& top) {
    const auto lines = crlfLines(mht);
    std::size_t i = 0;
    top = strictHeaders(lines, i);
    EXPECT_EQ(top["mime-version"], "1.0");
    EXPECT_EQ(top["content-type"].rfind("multipart/related;", 0), 0u) << top["content-type"];
    EXPECT_EQ(param(top["content-type"], "type"), "text/html");
    const std::string boundary = param(top["content-type"], "boundary");
    // RFC 2046: 1 to 70 characters of bchars, not ending in a space.
    EXPECT_TRUE(std::regex_match(boundary, std::regex("^[0-9A-Za-z'()+_,\\-./:=? ]{0,69}[0-9A-Za-z'()+_,\\-./:=?]$")))
        << boundary;
    std::vector<StrictPart> parts;
    StrictPart* current = nullptr;
    bool closed = false;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == "--" + boundary + "--") {
            closed = true;
            EXPECT_TRUE(std::all_of(lines.begin() + i + 1, lines.end(), [](auto& l) { return l.empty(); }))
                << "text after the closing delimiter";
            break;
        }
        if (line == "--" + boundary) {
            parts.emplace_back();
            current = &parts.back();
            ++i;
            current->headers = strictHeaders(lines, i);
            --i;
            continue;
        }
        EXPECT_EQ(line.find(boundary), std::string::npos) << "boundary inside a part";
        if (current)
            current->bodyLines.push_back(line);
    }
    EXPECT_TRUE(closed) << "no closing delimiter";
    return parts;
}

std::string strictQuotedPrintable(const std::vector<std::string>& lines) {
    std::string out;
    static const std::string hex = "0123456789ABCDEF";
    for (const auto& line : lines) {
        EXPECT_LE(line.size(), 76u);
        bool soft = false;
        for (std::size_t k = 0; k < line.size(); ++k) {
            const unsigned char c = static_cast<unsigned char>(line[k]);
            if (c == '=') {
                if (k + 1 == line.size()) {
                    soft = true;
                    break;
                }
                if (k + 2 >= line.size()) {
                    ADD_FAILURE() << "cut escape in: " << line;
                    break;
                }
                EXPECT_NE(hex.find(line[k + 1]), std::string::npos);
                EXPECT_NE(hex.find(line[k + 2]), std::string::npos);
                out += static_cast<char>(std::stoi(line.substr(k + 1, 2), nullptr, 16));
                k += 2;
                continue;
            }
            EXPECT_TRUE((c >= 33 && c <= 126) || c == ' ' || c == '\t') << "byte " << int(c) << " not encoded";
            out += static_cast<char>(c);
        }
        if (!line.empty() && !soft) {
            EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << "unencoded trailing white space";
        }
        if (!soft)
            out += "\r\n";
    }
    return out;
}

std::vector<std::uint8_t> strictBase64(const std::vector<std::string>& lines) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string all;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k + 1 < lines.size())
            EXPECT_EQ(lines[k].size(), 76u) << "base64 line " << k;
        else
            EXPECT_LE(lines[k].size(), 76u);
        all += lines[k];
    }
    EXPECT_EQ(all.size() % 4, 0u);
    std::vector<std::uint8_t> out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (all[k] == '=') {
            EXPECT_GE(k + 2, all.size()) << "padding inside the data";
            continue;
        }
        const std::size_t v = alphabet.find(all[k]);
        EXPECT_NE(v, std::string::npos) << "not base64: " << all[k];
        acc = (acc << 6) | static_cast<std::uint32_t>(v & 63);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return out;
}

// Resolves a relative URL against an absolute base (no "..", enough for this check).
std::string resolve(const std::string& base, const std::string& ref) {
    return base.substr(0, base.rfind('/') + 1) + ref;
}

// ---- Tests ---------------------------------------------------------------------------------

TEST(MhtFormat, RoundTripKeepsTextParagraphsAndPictures) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    docserver::writeDocument(doc, dir / "Preview 1 \xC3\xBC.mht", Format::Mht);
    EXPECT_EQ(docserver::readDocument(dir / "Preview 1 \xC3\xBC.mht"), doc);
}

TEST(MhtFormat, ArchiveIsStrictMimeWithResolvablePictureParts) {
    test::TempDir dir;
    Document doc = test::sampleDocument();
    // A long paragraph with '=' signs, non-ASCII text and a space at the end: soft breaks,
    // escapes and encoded trailing white space are all exercised.
    std::string longText;
    for (int k = 0; k < 40; ++k)
        longText += "a=b \xC3\xA9t\xC3\xA9 ";
    doc.insertParagraphAfter();
    doc.insertAfter(longText);
    const fs::path file = dir / "Preview 2.mht";
    docserver::writeDocument(doc, file, Format::Mht);

    std::map<std::string, std::string> top;
    const auto parts = strictMultipart(test::readText(file), top);
    ASSERT_EQ(parts.size(), 3u);

    const StrictPart& page = parts[0];
    EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=\"utf-8\"");
    EXPECT_EQ(page.headers.at("content-transfer-encoding"), "quoted-printable");
    const std::string pageLocation = page.headers.at("content-location");
    EXPECT_TRUE(std::regex_match(pageLocation, std::regex("^[a-z]+://[^/]+/.+\\.htm$"))) << pageLocation;
    const std::string html = strictQuotedPrintable(page.bodyLines);
    EXPECT_NE(html.find("<!DOCTYPE html>"), std::string::npos);
    EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(html.find(longText.substr(0, longText.size() - 1) + " </p>"), std::string::npos);
    EXPECT_NE(html.find("Gr\xC3\xBC\xC3\x9F" "e"), std::string::npos);

    // Every picture: base64 of the exact bytes, found by the page's reference.
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> expected = {
        {"image/png", test::tinyPng(3, 2)}, {"image/jpeg", test::tinyJpeg()}};
    std::smatch m;
    std::string rest = html;
    std::vector<std::string> sources;
    while (std::regex_search(rest, m, std::regex("<img src=\"([^\"]+)\""))) {
        sources.push_back(m[1].str());
        rest = m.suffix();
    }
    ASSERT_EQ(sources.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        const StrictPart& pic = parts[k + 1];
        EXPECT_EQ(pic.headers.at("content-type"), expected[k].first);
        EXPECT_EQ(pic.headers.at("content-transfer-encoding"), "base64");
        EXPECT_TRUE(std::regex_match(pic.headers.at("content-id"), std::regex("^<[^<>@ ]+@[^<> ]+>$")));
        EXPECT_EQ(strictBase64(pic.bodyLines), expected[k].second);
        EXPECT_EQ(resolve(pageLocation, sources[k]), pic.headers.at("content-location"));
    }
}

TEST(MhtFormat, ReadsArchivesOfOtherWriters) {
    test::TempDir dir;
    const auto png = test::tinyPng(2, 2);
    std::string b64; // base64 by hand is not the point here: use the product's own writer of one picture
    {
        Document one;
        one.insertPicture(docserver::Picture::fromBytes(png));
        docserver::writeDocument(one, dir / "one.mht", Format::Mht);
        const std::string text = test::readText(dir / "one.mht");
        const std::size_t start = text.find("\r\n\r\n", text.find("Content-Type: image/png")) + 4;
        b64 = text.substr(start, text.find("\r\n--", start) - start);
    }
    // LF line ends, a nested multipart/alternative, a cid: reference, Windows-1252 text in
    // quoted-printable with a soft break, and no closing delimiter.
    const std::string mht = "From: <Saved by someone>\n"
                            "MIME-Version: 1.0\n"
                            "Content-Type: multipart/related;\n"
                            "\tboundary=\"XX\"; type=\"text/html\"\n"
                            "\n"
                            "--XX\n"
                            "Content-Type: multipart/alternative; boundary=\"YY\"\n"
                            "\n"
                            "--YY\n"
                            "Content-Type: text/html; charset=\"windows-1252\"\n"
                            "Content-Transfer-Encoding: quoted-printable\n"
                            "\n"
                            "<html><body><p>caf=E9 au l=\n"
                            "ait</p><p><img src=3D\"cid:pic1@x\"></p></body></html>\n"
                            "--YY--\n"
                            "--XX\n"
                            "Content-Type: image/png\n"
                            "Content-Transfer-Encoding: base64\n"
                            "Content-ID: <pic1@x>\n"
                            "\n" +
                            b64 + "\n";
    test::writeText(dir / "other.mht", mht);
    const Document doc = docserver::readDocument(dir / "other.mht");
    EXPECT_EQ(doc.plainText(), "caf\xC3\xA9 au lait\n");
    ASSERT_EQ(doc.pictures().size(), 1u);
    EXPECT_EQ(doc.pictures()[0]->bytes, png);
}

// Decodes an 8-bit RGB or RGBA, non-interlaced PNG (what Chromium's screenshots are) into
// RGB triples; empty when the file is something else.
std::vector<std::array<int, 3>> decodePng(const std::vector<std::uint8_t>& png, int& width, int& height) {
    auto be32 = [&](std::size_t at) {
        return (std::uint32_t(png[at]) << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
    };
    std::vector<std::uint8_t> idat;
    int channels = 0;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len = be32(at);
        const std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
        if (at + 12 + len > png.size())
            return {};
        if (type == "IHDR") {
            width = static_cast<int>(be32(at + 8));
            height = static_cast<int>(be32(at + 12));
            if (png[at + 16] != 8 || png[at + 20] != 0)
                return {};
            channels = png[at + 17] == 6 ? 4 : png[at + 17] == 2 ? 3 : 0;
        } else if (type == "IDAT") {
            idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                        png.begin() + static_cast<long>(at) + 8 + len);
        }
        at += 12 + len;
    }
    if (channels == 0 || width <= 0 || height <= 0)
        return {};
    const std::size_t stride = static_cast<std::size_t>(width) * channels;
    std::vector<std::uint8_t> raw((stride + 1) * static_cast<std::size_t>(height));
    uLongf rawSize = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &rawSize, idat.data(), static_cast<uLong>(idat.size())) != Z_OK || rawSize != raw.size())
        return {};
    std::vector<std::uint8_t> img(stride * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t filter = raw[static_cast<std::size_t>(y) * (stride + 1)];
        const std::uint8_t* in = &raw[static_cast<std::size_t>(y) * (stride + 1) + 1];
        std::uint8_t* out = &img[static_cast<std::size_t>(y) * stride];
        const std::uint8_t* up = y ? out - stride : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= std::size_t(channels) ? out[x - channels] : 0;
            const int b = up ? up[x] : 0;
            const int c = up && x >= std::size_t(channels) ? up[x - channels] : 0;
            int pred = 0;
            switch (filter) {
            case 1: pred = a; break;
            case 2: pred = b; break;
            case 3: pred = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default: break;
            }
            out[x] = static_cast<std::uint8_t>(in[x] + pred);
        }
    }
    std::vector<std::array<int, 3>> pixels;
    for (std::size_t i = 0; i + channels <= img.size(); i += channels)
        pixels.push_back({img[i], img[i + 1], img[i + 2]});
    return pixels;
}

// Renders a web archive in headless Chromium and counts the pixels of each picture's colour
// on the screenshot: a picture that did not load shows as a small broken-image icon.
TEST(MhtFormat, ChromiumShowsTheTextAndThePictures) {
    std::string browser;
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"})
        if (fs::exists(candidate))
            browser = candidate;
    if (browser.empty())
        GTEST_SKIP() << "no Chromium installed";
    test::TempDir dir;
    Document doc;
    doc.insertAfter("Red picture and grey picture:");
    doc.insertParagraphAfter();
    doc.insertPicture(docserver::Picture::fromBytes(test::tinyPng(120, 80, 255))); // colour 255,40,40
    doc.insertPicture(docserver::Picture::fromBytes(test::tinyJpeg(64, 32)));      // grey 128
    docserver::writeDocument(doc, dir / "render.mht", Format::Mht);

    const std::string common = "timeout 120 '" + browser + "' --headless --no-sandbox --disable-gpu " +
                               "--force-device-scale-factor=1 --hide-scrollbars --user-data-dir='" +
                               (dir / "profile").string() + "' ";
    const std::string url = "'file://" + (dir / "render.mht").string() + "'";
    ASSERT_EQ(std::system((common + "--dump-dom " + url + " > '" + (dir / "dom.html").string() + "' 2>/dev/null").c_str()), 0);
    EXPECT_NE(test::readText(dir / "dom.html").find("Red picture and grey picture:"), std::string::npos);
    ASSERT_EQ(std::system((common + "--window-size=400,300 --screenshot='" + (dir / "shot.png").string() + "' " +
                           url + " > /dev/null 2>&1").c_str()), 0);
    int width = 0, height = 0;
    const auto pixels = decodePng(test::readBytes(dir / "shot.png"), width, height);
    ASSERT_FALSE(pixels.empty()) << "unreadable screenshot";
    auto count = [&](int r, int g, int b) {
        return std::count_if(pixels.begin(), pixels.end(), [&](const auto& p) {
            return std::abs(p[0] - r) <= 8 && std::abs(p[1] - g) <= 8 && std::abs(p[2] - b) <= 8;
        });
    };
    EXPECT_GE(count(255, 40, 40), 120 * 80 * 9 / 10);
    EXPECT_GE(count(128, 128, 128), 64 * 32 * 9 / 10);
}

} // namespace
