// The document model of the document server: an ordered body of paragraphs, each a sequence
// of runs that are either text (UTF-8) or an inline picture.
//
// The last paragraph is the open one: text is appended to it and a paragraph mark ends it.
// A document always holds at least one (possibly empty) paragraph.
//
// Memory stays bounded whatever the document's size: past kMemoryBytes of text and pictures,
// the content so far goes to an unnamed temporary file (gone with the process however it
// ends), and writers read it back a piece at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
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
    // Text and pictures beyond this many bytes are moved out of memory into the document's
    // spill file; a visit hands out pieces of about kPieceBytes of text at a time.
    static constexpr std::size_t kMemoryBytes = 4u << 20;
    static constexpr std::size_t kPieceBytes = 1u << 20;

    Document();
    ~Document();
    Document(const Document& other);
    Document& operator=(const Document& other);
    Document(Document&& other) noexcept;
    Document& operator=(Document&& other) noexcept;

    // Appends text to the last paragraph. Paragraph marks inside the text ("\r", "\n",
    // "\r\n", and the cell and page marks 0x07 and 0x0C) end the paragraph as
    // InsertParagraphAfter does; 0x0B stays as a line break, tabs stay; other control
    // characters and field delimiters (0x13-0x15) are dropped.
    void insertAfter(std::string_view utf8);
    // Ends the last paragraph; a new empty one becomes the open one.
    void insertParagraphAfter();
    void insertPicture(Picture picture);
    // Inserts another document at the end: its first paragraph continues the open paragraph,
    // its other paragraphs follow, and its last paragraph becomes the open one.
    void insertDocument(const Document& other);

    // The content in order, a paragraph at a time, or in several pieces when it holds more
    // than kPieceBytes of text (a picture is never cut): ends is false when the next piece
    // continues the same paragraph. The document's last paragraph comes last, even when empty.
    // Spilled content is read back from the spill file: memory stays bounded however large the
    // document is. Throws DocError when the spill file cannot be read.
    using PieceVisitor = std::function<void(const Paragraph& piece, bool ends)>;
    void forEachPiece(const PieceVisitor& visit) const;
    // Every picture in document order, one at a time.
    void forEachPicture(const std::function<void(const Picture&)>& visit) const;

    std::size_t paragraphCount() const { return paragraphCount_; }
    std::size_t pictureCount() const { return pictureCount_; }
    // True when the document's text holds a character other than blanks and breaks.
    bool hasText() const;

    // The whole document in memory, for small documents and tests: every paragraph whole;
    // every paragraph's text, paragraphs separated by "\n"; every picture (the pointers stay
    // valid until the document changes).
    std::vector<Paragraph> paragraphs() const;
    std::string plainText() const;
    std::vector<const Picture*> pictures() const;
    bool operator==(const Document& other) const;

private:
    class Spill;
    void spillIfLarge();
    void appendText(std::string_view text);

    // The content not yet spilled: its first paragraph continues the spilled content, its
    // last is the open paragraph.
    std::vector<Paragraph> paragraphs_;
    std::size_t memoryBytes_ = 0;
    std::unique_ptr<Spill> spill_;
    std::size_t paragraphCount_ = 1;
    std::size_t pictureCount_ = 0;
    mutable std::vector<Picture> pictureCache_; // what pictures() read back from the spill file
};

} // namespace qm::docserver
