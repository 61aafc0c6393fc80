// The document model of the document server: an ordered body of paragraphs, each a sequence
// of runs that are either text (UTF-8) or an inline picture.
//
// The last paragraph is the open one: text is appended to it and a paragraph mark ends it.
// A document always holds at least one (possibly empty) paragraph.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::docserver {

// A reader or writer failure (unreadable input, unwritable output).
class DocError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class PictureType { Png, Jpeg, Gif, Bmp, Tiff, Emf, Wmf, Unknown };

struct Picture {
    PictureType type = PictureType::Unknown;
    std::vector<std::uint8_t> bytes;
    int widthPx = 0; // 0 when unknown
    int heightPx = 0;

    // Recognises the type from the leading bytes and reads the pixel size where the format
    // states it (PNG, JPEG, GIF, BMP). Unknown bytes give PictureType::Unknown.
    static Picture fromBytes(std::vector<std::uint8_t> bytes);
    std::string extension() const; // "png", "jpeg", ... ("bin" when unknown)
    std::string mimeType() const;  // "image/png", ... ("application/octet-stream")
    bool operator==(const Picture&) const = default;
};

struct Run {
    std::string text;               // used when picture is empty; may hold '\t' and '\v' (line break)
    std::optional<Picture> picture; // an inline picture instead of text
    bool isPicture() const { return picture.has_value(); }
    bool operator==(const Run&) const = default;
};

struct Paragraph {
    std::vector<Run> runs;
    std::string text() const; // the text runs joined (pictures left out)
    bool operator==(const Paragraph&) const = default;
};

class Document {
public:
    Document();

    const std::vector<Paragraph>& paragraphs() const { return paragraphs_; }

    // Appends text to the last paragraph. Paragraph marks inside the text ("\r", "\n",
    // "\r\n", and the cell and page marks 0x07 and 0x0C) end the paragraph as
    // InsertParagraphAfter does; 0x0B stays as a line break, tabs stay; other control
    // characters and field delimiters (0x13-0x15) are dropped.
    void insertAfter(const std::string& utf8);
    // Ends the last paragraph; a new empty one becomes the open one.
    void insertParagraphAfter();
    void insertPicture(Picture picture);
    // Inserts another document at the end: its first paragraph continues the open paragraph,
    // its other paragraphs follow, and its last paragraph becomes the open one.
    void insertDocument(const Document& other);

    // Every paragraph's text, paragraphs separated by "\n".
    std::string plainText() const;
    std::vector<const Picture*> pictures() const;
    bool operator==(const Document&) const = default;

private:
    std::vector<Paragraph> paragraphs_;
};

} // namespace qm::docserver
