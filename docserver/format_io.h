// The per-format readers and writers behind formats.h, one file each, plus the few text
// helpers they share (escaping, entity decoding, UTF-8 repair, URL encoding).
// Internal to the document server: callers use writeDocument / readDocument.
#pragma once

#include "docserver/document.h"
#include "platform/bytes.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::docserver {

// ---- Writers -------------------------------------------------------------------------

// Where a writer puts its output, in steps: writers never hold their whole output.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(std::string_view bytes) = 0;
    Sink& operator<<(std::string_view bytes) {
        write(bytes);
        return *this;
    }
};

class StringSink final : public Sink {
public:
    void write(std::string_view bytes) override { text.append(bytes); }
    std::string text;
};

// Writes a file beside its target (files::makeSiblingFile) and renames it over the target at
// commit(); a sink destroyed before then removes what it wrote. Throws DocError ("cannot write
// <file>: <reason>") on any failure.
class FileSink final : public Sink {
public:
    explicit FileSink(const std::filesystem::path& target);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    void write(std::string_view bytes) override;
    void commit();

private:
    void flush();
    [[noreturn]] void fail();
    std::filesystem::path target_, part_;
    int fd_ = -1;
    std::string buffer_;
};

// The page markup shared by the HTML page and the web archive. srcFor gives the (already
// URL-escaped) reference of the n-th picture (0-based, in document order).
void writeHtmlMarkup(Sink& out, const Document& doc, const std::string& title,
                     const std::function<std::string(std::size_t, const Picture&)>& srcFor);
// The file name a page gives its n-th picture: "image001.png", "image002.jpeg", ...
std::string htmlPictureName(std::size_t index, const Picture& picture);

// Writes the page and its pictures into "<stem>_files" beside it. Throws DocError.
void writeHtmlPage(const Document& doc, const std::filesystem::path& page);
// A complete MHTML web archive; pageName is the stem used in the archive's locations.
void writeMht(Sink& out, const Document& doc, const std::string& pageName);
// Writes the package to file (libzip writes beside it and renames). Throws DocError.
void writeDocx(const Document& doc, const std::filesystem::path& file);
void writeRtf(Sink& out, const Document& doc);
void writeTxt(Sink& out, const Document& doc);

// ---- Readers -------------------------------------------------------------------------

// Resolves an <img src> value to a picture; nullopt when the picture is not available.
using PictureResolver = std::function<std::optional<Picture>(const std::string& src)>;

// Parses HTML markup (paragraph-level blocks, text, entities, <br>, <img>).
Document parseHtml(std::string_view html, const PictureResolver& resolve);
// HTML bytes as UTF-8: a byte-order mark, the given charset or the one the page declares
// decides; mislabelled or unlabelled non-UTF-8 bytes are read in the configured code page.
std::string htmlToUtf8(Bytes bytes, std::string charset);
// An HTML page; pictures are loaded from files relative to baseFolder (never outside it).
Document readHtmlPage(Bytes bytes, const std::filesystem::path& baseFolder);
Document readMht(Bytes bytes);
Document readDocx(Bytes bytes);
Document readRtf(Bytes bytes);
// UTF-8 (or UTF-16 with a byte-order mark) text; invalid UTF-8 is decoded with the
// configured code page. Throws DocError for binary data.
Document readTxt(Bytes bytes);

bool looksLikeHtml(Bytes bytes);
bool looksLikeMht(Bytes bytes);
bool looksLikeRtf(Bytes bytes);
// True when the bytes hold a ZIP local file header (at the start, or later when junk was
// put in front of a package).
bool looksLikeZip(Bytes bytes);

// ---- Shared text helpers ---------------------------------------------------------------

// Replaces invalid UTF-8 sequences with U+FFFD.
std::string repairUtf8(std::string_view s);
// Escapes &, <, > and " for XML/HTML text and attribute values.
std::string escapeMarkup(std::string_view s);
// Drops characters XML 1.0 does not allow (C0 controls other than tab, LF, CR; U+FFFE, U+FFFF).
std::string xmlSafe(std::string_view utf8);
// Decodes character references (&amp; &#233; &#xE9; and the common HTML names). Unknown
// references stay as written.
std::string decodeEntities(std::string_view s);
// Percent-encodes every byte outside the URL-safe set ('/' kept).
std::string urlEscape(std::string_view s);
std::string urlUnescape(std::string_view s);
// ASCII lower case.
std::string lowerAscii(std::string_view s);
// The value of a hexadecimal digit (either case), or -1.
int hexDigitValue(char c);

} // namespace qm::docserver
