// Shared definitions of the Word binary format for the .doc reader and writer: the FIB
// (File Information Block) at the start of the WordDocument stream, the special characters
// of the text stream, the sprms both sides use, and the Windows-1252 mapping of 8-bit text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qm::docserver::docfmt {

inline constexpr std::uint16_t kWIdentWord97 = 0xA5EC; // Word 97-2003 (and Word 6/95 with nFib < 0xC0)
inline constexpr std::uint16_t kWIdentWord6 = 0xA5DC;  // Word 6/95
inline constexpr std::uint16_t kNFibWord97 = 0x00C1;
inline constexpr std::size_t kFibSize = 900; // FibBase .. cswNew for nFib 0x00C1
// The class of Word documents, {00020906-0000-0000-C000-000000000046}, as the root storage holds it.
inline constexpr std::array<std::uint8_t, 16> kWordDocumentClsid{0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                                 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Special characters of the text stream.
inline constexpr char16_t kChFootnoteRef = 0x02;
inline constexpr char16_t kChPicture = 0x01;
inline constexpr char16_t kChCellMark = 0x07;
inline constexpr char16_t kChDrawnObject = 0x08;
inline constexpr char16_t kChLineBreak = 0x0B;
inline constexpr char16_t kChPageBreak = 0x0C;
inline constexpr char16_t kChParagraph = 0x0D;
inline constexpr char16_t kChColumnBreak = 0x0E;
inline constexpr char16_t kChFieldBegin = 0x13;
inline constexpr char16_t kChFieldSeparator = 0x14;
inline constexpr char16_t kChFieldEnd = 0x15;
inline constexpr char16_t kChNonBreakingHyphen = 0x1E;
inline constexpr char16_t kChOptionalHyphen = 0x1F;

// Sprms (Word 97 numbering).
inline constexpr std::uint16_t kSprmCFSpec = 0x0855;
inline constexpr std::uint16_t kSprmCPicLocation = 0x6A03;
inline constexpr std::uint16_t kSprmCFData = 0x0806;
inline constexpr std::uint16_t kSprmCFOle2 = 0x080A;

// Indices of the fc/lcb pairs of the FIB (FibRgFcLcb97 order, shared by Word 6/95).
enum FibPair : int {
    kStshfOrig = 0,
    kStshf = 1,
    kPlcfSed = 6,
    kPlcfHdd = 11,
    kPlcfBteChpx = 12,
    kPlcfBtePapx = 13,
    kSttbfFfn = 15,
    kDop = 31,
    kClx = 33,
    kPlcSpaMom = 40,
    kDggInfo = 50,
    kFibPairs97 = 93,
};

struct FcLcb {
    std::uint32_t fc = 0, lcb = 0;
};
using FibPairs = std::array<FcLcb, kFibPairs97>;

// The fields the writer fills in besides the fc/lcb pairs.
struct FibFields {
    bool textMarker = false; // the text starts at 0x400 (marked in the FIB's product bytes)
    bool hasPictures = false;
    std::uint32_t fcMin = 0, fcMac = 0, cbMac = 0, ccpText = 0;
};
// Writes a Word 97 FIB (nFib 0x00C1, 1Table, lid 0x0409) into the first kFibSize bytes.
void writeFib(std::vector<std::uint8_t>& wordDocument, const FibFields& fields, const FibPairs& pairs);

// Character counts of the document parts, in CP order.
enum Part : int { kMain, kFootnotes, kHeaders, kMacros, kComments, kEndnotes, kTextboxes, kHeaderTextboxes, kParts };

struct Fib {
    std::uint16_t wIdent = 0, nFib = 0, lid = 0, flags = 0;
    bool unicodeCapable = false; // Word 97 and later: pieces may hold UTF-16 text
    bool tableInOneTable = false;
    bool encrypted = false;
    std::uint32_t fcMin = 0, fcMac = 0;
    std::array<std::int32_t, kParts> ccp{};
    std::vector<FcLcb> pairs;
    FcLcb pair(int index) const { return index < static_cast<int>(pairs.size()) ? pairs[index] : FcLcb{}; }
    // The total character count of all parts, with the extra final paragraph mark Word adds
    // when any part besides the main text exists.
    std::uint64_t totalCp() const;
};

// A FIB at the start of the bytes; nullopt when the bytes do not start with one.
std::optional<Fib> parseFib(std::span<const std::uint8_t> wordDocument);
// A cheap test for a FIB start (used to find the WordDocument stream in raw bytes).
bool fibSignatureAt(std::span<const std::uint8_t> bytes, std::size_t at);

// The Windows-1252 byte of a UTF-16 code unit, or -1 when it has none.
int cp1252Byte(char16_t c);

} // namespace qm::docserver::docfmt
