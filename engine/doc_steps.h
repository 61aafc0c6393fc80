// The byte-level steps of the .doc salvage methods, shared by the analysis (previews) and the
// save side (candidate documents). Each takes the source bytes and, where it writes, the path
// it writes; none of them starts a document server or touches the session state.
#pragma once

#include "docserver/doc_binary.h"
#include "engine/doc_patterns.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace qm::doc {

// --- Method 1: the document header and its text -------------------------------------------

struct FibText {
    std::size_t headerOffset = 0;
    std::uint64_t textStart = 0;  // 1536 when byte 5 of the header is 0x20, else 2560
    std::uint32_t sectorCount = 0; // 3 when byte 5 is 0x20, else 5
    std::uint32_t count = 0;      // main-text character count: 24 bits at header + 76
};
// The first document header of the source and what it gives, or nullopt. Without one, the
// first other Word header (Word 6 and later) at a sector start, with the text start and
// count it names.
std::optional<FibText> findFibText(Bytes source);

// The tail copy: the first 512-byte block after the text of the source is written into the
// new document (a .doc the server just saved) after that document's own text. Returns 0 when
// the new document cannot be read or written, else 1 (also when there is nothing to copy).
int tailCopy(Bytes source, const FibText& fib, const std::filesystem::path& newDocument);

// --- Methods 2 and 3: anchored text ---------------------------------------------------------

enum class Anchor {
    Author, // "Unknown" + FF FF; count 20 bytes before it
    List,   // "No List" + 00 00; count 12 bytes before the next run end
};
// Start of the text both anchored methods read.
inline constexpr std::uint64_t kAnchoredTextStart = 2560;

// The character count the anchor gives, or nullopt when the anchor (or, for the list anchor,
// its run end) is missing or too close to the start of the file to carry a count.
std::optional<std::uint32_t> findAnchoredCount(Bytes source, Anchor anchor);

// --- Pictures --------------------------------------------------------------------------------

// Offset in a picture document where the picture record is written (the template's own).
using docserver::kPictureRecordOffset;

// The gate: true when a chain end follows the first allocation run after offset 512 (or
// offset 512 itself when there is no allocation run there).
bool pictureGate(Bytes source);

// Scans the whole source for picture records and hands each (size field included) to
// makeDoc. Stops at a record whose size runs past the end of the source. Returns the result
// of the last makeDoc, 0 when there was none.
using PictureSink = std::function<int(Bytes record)>;
int pictureScan(Bytes source, const PictureSink& makeDoc);

// Every picture of the source for candidate 1: the picture records of pictureScan, then the
// BLIPs outside them (blipPictureRecords), each handed to makeDoc. Returns the result of the
// last makeDoc, 0 when there was none.
int pictureRecords(Bytes source, const PictureSink& makeDoc);

// A part of the source, [from, to).
struct ByteRange {
    std::size_t from = 0, to = 0;
};

// Pictures the record scan does not reach: every OfficeArt BLIP (compressed metafile or
// bitmap) of the source that lies outside the taken ranges (the picture records already
// made, in file order), each as a new picture record holding the same image, in file order.
// An image met twice comes back once; at most 10000 pictures.
std::vector<std::vector<std::uint8_t>> blipPictureRecords(Bytes source, const std::vector<ByteRange>& taken);

// installFolder + "/TempPicture.Doc" (no separator added when the folder ends with one).
std::filesystem::path pictureTemplatePath();

// Copies the picture template to target (replacing it) and writes the record at offset 5120.
// Returns 0 when the template is missing, the copy failed or is empty, or the write failed.
int writePictureDoc(const std::filesystem::path& target, Bytes record);

// --- Quick Repair ---------------------------------------------------------------------------

// The last offset of the allocation run in the whole source; nullopt when there is none or
// it matches only at offset 0.
std::optional<std::size_t> findRepairPoint(Bytes source);

// Writes the 32-byte container header at offset 0 of file (a copy, never the source).
bool writeContainerHeader(const std::filesystem::path& file);

// --- Files ------------------------------------------------------------------------------------

// Writes bytes at offset of an existing file (extending it when needed); false on failure.
bool writeAt(const std::filesystem::path& file, std::uint64_t offset, Bytes bytes);

} // namespace qm::doc
