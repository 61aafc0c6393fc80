#include "zip/deflate_recovery.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cctype>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qm::deflate {

namespace {

constexpr int kMaxCodeBits = 15;
// A restart is taken when this much output decodes cleanly from it (or the stream ends).
constexpr std::size_t kProbeOutput = 8192;
constexpr std::size_t kProbeLiterals = 8;
constexpr std::uint64_t kProbeSymbols = 160;
constexpr std::size_t kProbeLiteralsAtEnd = 8;
// A probe that ends the stream ends where the data ends (but for a few bytes that may follow).
constexpr std::uint64_t kEndSlackBits = 64;
// The output of this many symbols after a restart is marked unknown: decoding from a wrong
// bit position falls into step within a few symbols, and what comes before that is made up.
constexpr int kSettleSymbols = 4;
constexpr std::uint64_t kCheckpointSymbols = 8;
// Only the latest checkpoints are ever looked at: older ones are let go beyond this many.
constexpr std::size_t kCheckpointsKept = 4096;
// What the decoder produced this many bits before it noticed a fault is taken for sound; the
// rest may be output of the damaged bits and is dropped.
constexpr std::uint64_t kDistrustBits = 256;
// Output traced after a restart to place it.
constexpr std::size_t kTraceOutput[] = {12288, 49152};
constexpr std::size_t kWindow = 32768;

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A canonical Huffman code: how many codes of each length, and the symbols in code order.
struct Huffman {
    std::array<std::uint16_t, kMaxCodeBits + 1> count{};
    std::array<std::uint16_t, 288> symbol{};
};

// Builds the code; returns the codes left unused (0: complete, > 0: incomplete, < 0: too many).
int buildHuffman(Huffman& h, const std::uint8_t* lengths, int n) {
    h.count.fill(0);
    for (int s = 0; s < n; ++s)
        ++h.count[lengths[s]];
    if (h.count[0] == n)
        return 0; // no codes at all: complete but useless, callers check what they need
    int left = 1;
    for (int len = 1; len <= kMaxCodeBits; ++len) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0)
            return left;
    }
    std::array<std::uint16_t, kMaxCodeBits + 1> offs{};
    for (int len = 1; len < kMaxCodeBits; ++len)
        offs[len + 1] = static_cast<std::uint16_t>(offs[len] + h.count[len]);
    for (int s = 0; s < n; ++s)
        if (lengths[s] != 0)
            h.symbol[offs[lengths[s]]++] = static_cast<std::uint16_t>(s);
    return left;
}

struct Tables {
    Huffman lit;
    Huffman dist;
};

const Tables& fixedTables() {
    static const Tables t = [] {
        Tables f;
        std::uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        buildHuffman(f.lit, lengths, 288);
        std::fill(lengths, lengths + 30, 5);
        buildHuffman(f.dist, lengths, 30);
        return f;
    }();
    return t;
}

// Watches the bytes produced for what XML text never holds: control characters, a "<" not
// followed by a name or "/", "?", "!", a "<" inside a tag, broken UTF-8, and - while every byte
// since the start of the part is known - an end tag that does not close the element open. An
// unknown byte puts it in a state that accepts anything until the structure can be told again.
class XmlCheck {
public:
    bool accept(std::uint8_t c) {
        if (c == kUnknownByte) {
            state_ = State::Unknown;
            need_ = 0;
            nesting_ = localNesting_;
            open_.clear();
            return true;
        }
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
        if (c >= 0x80) {
            if (c < 0xC0) {
                if (need_ == 0)
                    return state_ == State::Unknown;
                --need_;
            } else {
                if (need_ != 0 || c < 0xC2 || c > 0xF4)
                    return false;
                need_ = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
            }
        } else if (need_ != 0) {
            return false;
        }
        switch (state_) {
        case State::TagStart:
            if (!((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && c != '/' && c != '?' && c != '!' && c != '_')
                return false;
            state_ = State::InTag;
            closing_ = c == '/';
            special_ = c == '?' || c == '!';
            part_ = Part::Name;
            name_.clear();
            if (!closing_ && !special_)
                name_ += static_cast<char>(c);
            return true;
        case State::InTag:
            if (c == '<')
                return false;
            if (special_) {
                if (c == '>')
                    state_ = State::Text;
                return true;
            }
            return inTag(c);
        case State::Text:
        case State::Unknown:
            if (c == '<')
                state_ = State::TagStart;
            else if (c == '>')
                state_ = State::Text;
            return true;
        }
        return true;
    }

    // Starts over as after an unknown byte (decoding that begins inside a part).
    void forget() { accept(kUnknownByte); }

    // Start and end tags accepted whole (every byte known).
    std::size_t tags() const { return tags_; }

    // End tags are also checked against the elements opened since the last unknown byte (the
    // elements open before it are not known; an end tag of one of those is taken as it is).
    void checkLocalNesting() {
        localNesting_ = true;
        nesting_ = true;
    }

private:
    static bool isNameChar(std::uint8_t c) {
        return std::isalnum(c) || c == ':' || c == '_' || c == '-' || c == '.' || c >= 0x80;
    }
    static bool isBlank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    // A byte inside a start or end tag: the element name, then name="value" pairs.
    bool inTag(std::uint8_t c) {
        switch (part_) {
        case Part::Name:
            if (isNameChar(c)) {
                if (name_.size() < 64)
                    name_ += static_cast<char>(c);
                return true;
            }
            part_ = Part::Blank;
            [[fallthrough]];
        case Part::Blank:
            if (isBlank(c))
                return true;
            if (c == '>')
                return endTag(false);
            if (c == '/') {
                part_ = Part::Slash;
                return true;
            }
            if (closing_ || !isNameChar(c))
                return false;
            part_ = Part::AttrName;
            return true;
        case Part::AttrName:
            if (isNameChar(c))
                return true;
            if (isBlank(c) || c == '=') {
                part_ = c == '=' ? Part::Quote : Part::Eq;
                return true;
            }
            return false;
        case Part::Eq:
            if (isBlank(c))
                return true;
            if (c != '=')
                return false;
            part_ = Part::Quote;
            return true;
        case Part::Quote:
            if (isBlank(c))
                return true;
            if (c != '"' && c != '\'')
                return false;
            quote_ = c;
            part_ = Part::Value;
            return true;
        case Part::Value:
            if (c == '<')
                return false;
            if (c == quote_)
                part_ = Part::AfterValue;
            return true;
        case Part::AfterValue:
            // A value is followed by a blank, the tag's end or its "/>", which Blank handles.
            if (c != '>' && c != '/' && !isBlank(c))
                return false;
            part_ = Part::Blank;
            return inTag(c);
        case Part::Slash:
            return c == '>' && !closing_ && endTag(true);
        }
        return false;
    }

    bool endTag(bool selfClosing) {
        state_ = State::Text;
        ++tags_;
        return tagEnd(selfClosing);
    }

    // A tag ended; false when it closes an element other than the open one.
    bool tagEnd(bool selfClosing) {
        if (special_ || !nesting_)
            return true;
        if (closing_) {
            if (open_.empty() && localNesting_)
                return true;
            if (open_.empty() || open_.back() != name_)
                return false;
            open_.pop_back();
            return true;
        }
        if (!selfClosing) {
            if (open_.size() >= 256) {
                nesting_ = false; // deeper than any real part: no longer followed
                open_.clear();
                return true;
            }
            open_.push_back(name_);
        }
        return true;
    }

    enum class State { Text, TagStart, InTag, Unknown };
    State state_ = State::Text;
    int need_ = 0;
    bool nesting_ = true; // every byte so far was known: the open elements are followed
    bool localNesting_ = false;
    std::size_t tags_ = 0;
    enum class Part { Name, Blank, AttrName, Eq, Quote, Value, AfterValue, Slash };
    Part part_ = Part::Name;
    bool closing_ = false, special_ = false;
    std::uint8_t quote_ = '"';
    std::string name_;
    std::vector<std::string> open_;
};

// Markup that WordprocessingML parts share, whatever the document: a small part has too little
// of its own before a gap for the seams after it to be found among what it holds.
constexpr std::string_view kMarkup =
    "<w:body><w:p w:rsidR=\"\" w:rsidRPr=\"\" w:rsidRDefault=\"\" w:rsidP=\"\" w:rsidSect=\"\"><w:pPr>"
    "<w:pStyle w:val=\"\"/><w:keepNext/><w:keepLines/><w:widowControl w:val=\"0\"/><w:numPr><w:ilvl w:val=\"0\"/>"
    "<w:numId w:val=\"1\"/></w:numPr><w:spacing w:before=\"\" w:after=\"\" w:line=\"\" w:lineRule=\"auto\"/>"
    "<w:ind w:left=\"\" w:right=\"\" w:firstLine=\"\" w:hanging=\"\"/><w:contextualSpacing/><w:jc w:val=\"center\"/>"
    "<w:outlineLvl w:val=\"0\"/></w:pPr><w:r><w:rPr><w:rStyle w:val=\"\"/><w:rFonts w:ascii=\"\" w:hAnsi=\"\" "
    "w:eastAsia=\"\" w:cs=\"\"/><w:b/><w:bCs/><w:i/><w:iCs/><w:caps/><w:strike/><w:noProof/><w:color w:val=\"\"/>"
    "<w:sz w:val=\"\"/><w:szCs w:val=\"\"/><w:highlight w:val=\"\"/><w:u w:val=\"single\"/><w:vertAlign "
    "w:val=\"superscript\"/><w:lang w:val=\"en-US\" w:eastAsia=\"\" w:bidi=\"\"/></w:rPr><w:t xml:space=\"preserve\">"
    " </w:t></w:r><w:r><w:t></w:t></w:r></w:p><w:proofErr w:type=\"spellStart\"/><w:proofErr w:type=\"spellEnd\"/>"
    "<w:proofErr w:type=\"gramStart\"/><w:proofErr w:type=\"gramEnd\"/><w:bookmarkStart w:id=\"0\" w:name=\"\"/>"
    "<w:bookmarkEnd w:id=\"0\"/><w:tab/><w:br w:type=\"page\"/><w:lastRenderedPageBreak/><w:fldChar "
    "w:fldCharType=\"begin\"/><w:instrText xml:space=\"preserve\"></w:instrText><w:fldChar w:fldCharType=\"separate\"/>"
    "<w:fldChar w:fldCharType=\"end\"/><w:fldSimple w:instr=\"\"></w:fldSimple><w:hyperlink r:id=\"\" w:history=\"1\">"
    "</w:hyperlink><w:footnoteReference w:id=\"\"/><w:endnoteReference w:id=\"\"/><w:tbl><w:tblPr><w:tblStyle "
    "w:val=\"\"/><w:tblW w:w=\"0\" w:type=\"auto\"/><w:tblLook w:val=\"\"/></w:tblPr><w:tblGrid><w:gridCol w:w=\"\"/>"
    "</w:tblGrid><w:tr><w:trPr></w:trPr><w:tc><w:tcPr><w:tcW w:w=\"\" w:type=\"dxa\"/><w:gridSpan w:val=\"\"/>"
    "<w:vMerge w:val=\"restart\"/><w:tcBorders><w:top w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"auto\"/>"
    "<w:left w:val=\"nil\"/><w:bottom w:val=\"\"/><w:right w:val=\"\"/></w:tcBorders><w:shd w:val=\"clear\" "
    "w:color=\"auto\" w:fill=\"\"/><w:vAlign w:val=\"center\"/></w:tcPr></w:tc></w:tr></w:tbl><w:sdt><w:sdtPr>"
    "</w:sdtPr><w:sdtContent></w:sdtContent></w:sdt><w:drawing><wp:inline distT=\"0\" distB=\"0\" distL=\"0\" "
    "distR=\"0\"><wp:extent cx=\"\" cy=\"\"/><wp:effectExtent l=\"0\" t=\"0\" r=\"0\" b=\"0\"/><wp:docPr id=\"\" "
    "name=\"\"/><wp:cNvGraphicFramePr><a:graphicFrameLocks noChangeAspect=\"1\"/></wp:cNvGraphicFramePr><a:graphic>"
    "<a:graphicData uri=\"\"><pic:pic><pic:nvPicPr><pic:cNvPr id=\"0\" name=\"\"/><pic:cNvPicPr/></pic:nvPicPr>"
    "<pic:blipFill><a:blip r:embed=\"\"/><a:srcRect/><a:stretch><a:fillRect/></a:stretch></pic:blipFill><pic:spPr "
    "bwMode=\"auto\"><a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"\" cy=\"\"/></a:xfrm><a:prstGeom prst=\"rect\">"
    "<a:avLst/></a:prstGeom><a:noFill/><a:ln><a:noFill/></a:ln></pic:spPr></pic:pic></a:graphicData></a:graphic>"
    "</wp:inline></w:drawing><w:pict><v:shape id=\"\" type=\"\" style=\"\"><v:imagedata r:id=\"\" o:title=\"\"/>"
    "<v:textbox><w:txbxContent></w:txbxContent></v:textbox></v:shape></w:pict><w:sectPr><w:headerReference "
    "w:type=\"default\" r:id=\"\"/><w:footerReference w:type=\"default\" r:id=\"\"/><w:type w:val=\"continuous\"/>"
    "<w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" w:bottom=\"1440\" w:left=\"1440\" "
    "w:header=\"720\" w:footer=\"720\" w:gutter=\"0\"/><w:pgNumType w:start=\"1\"/><w:cols w:space=\"720\"/>"
    "<w:titlePg/><w:docGrid w:linePitch=\"360\"/></w:sectPr></w:body></w:document>";

enum class Status { End, Fault, Enough };


// Where a byte decoded after a restart comes from: any other value is the index, counted from
// the restart's first output byte, of the byte a back-reference copied (negative: before it).
namespace Source {
constexpr std::int32_t kLiteral = INT32_MAX;
constexpr std::int32_t kLost = INT32_MAX - 1; // marked unknown
} // namespace Source

// Decodes from a bit position into an output vector whose bytes from `historyStart` on are the
// only ones that may be copied; a back-reference reaching further gives unknown bytes (or a
// fault, when the history is to be complete).
class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint64_t bitPos = 0;
    std::uint64_t faultBit = 0;      // start of the symbol or block header that faulted
    std::size_t literals = 0;
    bool finalBlock = false;         // the block being decoded is the last one
    bool inBlock = false;            // between a Huffman block's header and its end
    Tables tables;                   // of the Huffman block being decoded
    // The Huffman block before it: damaged bits may decode as an end-of-block code and a
    // header of made-up tables, so the fault shows only inside a block that never was.
    Tables previousTables;
    bool havePrevious = false;
    bool previousFinal = false;
    std::uint64_t tablesBit = 0;     // where the header of `tables` begins
    bool completeHistory = true;
    int settle = 0;                  // symbols left whose output is marked unknown
    bool lenientStored = false;      // a stored byte that is not text becomes unknown, no fault
    // Any byte that is not XML text becomes unknown, no fault: after a restart, where a wrong
    // byte comes from a back-reference into the uncertain stretch, not from damaged bits.
    bool lenientText = false;
    std::size_t replaced = 0;        // bytes the lenient modes turned into unknown ones
    bool cutStored = false;          // the output limit ended a stored block early
    // (bit position, output size) every kCheckpointSymbols symbols.
    std::vector<std::pair<std::uint64_t, std::size_t>> checkpoints;
    // When set, where each byte from historyStart on comes from (see Source), up to its capacity.
    std::vector<std::int32_t>* sources = nullptr;

    std::uint64_t symbols() const { return symbols_; }

    // Goes on into another output: the output checks start over and earlier checkpoints no
    // longer apply.
    void rebase() {
        started_ = false;
        checkpoints.clear();
    }

    // Starts with the header of a new block at bitPos.
    void atBlockHeader() { inBlock = false; }

    Status run(std::vector<std::uint8_t>& out, std::size_t historyStart, std::size_t outLimit) {
        if (!completeHistory && !started_)
            check_.forget();
        started_ = true;
        historyStart_ = historyStart;
        for (;;) {
            if (out.size() >= outLimit)
                return Status::Enough;
            if (!inBlock) {
                faultBit = bitPos;
                if (finalBlock)
                    return Status::End;
                const Status s = header(out, historyStart, outLimit);
                if (s != Status::End)
                    return s;
                continue;
            }
            faultBit = bitPos;
            if ((++symbols_ & (kCheckpointSymbols - 1)) == 0) {
                if (checkpoints.size() >= 2 * kCheckpointsKept)
                    checkpoints.erase(checkpoints.begin(), checkpoints.begin() + kCheckpointsKept);
                checkpoints.emplace_back(bitPos, out.size());
            }
            const int sym = decode(tables.lit);
            if (sym < 0 || overrun_)
                return Status::Fault;
            if (sym < 256) {
                ++literals;
                if (!put(out, static_cast<std::uint8_t>(sym)))
                    return Status::Fault;
                continue;
            }
            if (sym == 256) {
                inBlock = false;
                continue;
            }
            if (sym > 285)
                return Status::Fault;
            const std::size_t length = kLengthBase[sym - 257] + bits(kLengthExtra[sym - 257]);
            const int dsym = decode(tables.dist);
            if (dsym < 0 || dsym > 29 || overrun_)
                return Status::Fault;
            const std::size_t distance = kDistBase[dsym] + bits(kDistExtra[dsym]);
            if (overrun_)
                return Status::Fault;
            const std::size_t have = out.size() - historyStart;
            if (distance > have && completeHistory)
                return Status::Fault;
            const bool marked = settle > 0;
            for (std::size_t i = 0; i < length; ++i) {
                const std::size_t j = out.size() - historyStart;
                const bool before = distance > j;
                const std::uint8_t c = before ? kUnknownByte : out[out.size() - distance];
                const auto source = static_cast<std::int32_t>(static_cast<std::int64_t>(j) - static_cast<std::int64_t>(distance));
                if (!put(out, c, marked, source))
                    return Status::Fault;
            }
            if (settle > 0)
                --settle;
        }
    }

private:
    bool put(std::vector<std::uint8_t>& out, std::uint8_t c, bool marked = false, std::int32_t source = Source::kLiteral) {
        if (settle > 0 || marked) {
            c = kUnknownByte;
            source = Source::kLost;
            if (!marked)
                --settle;
        }
        if (!check_.accept(c)) {
            if (!lenientText)
                return false;
            c = kUnknownByte;
            source = Source::kLost;
            check_.forget();
            ++replaced;
        }
        if (sources && out.size() - historyStart_ < sources->capacity())
            sources->push_back(c == kUnknownByte && source == Source::kLiteral ? Source::kLost : source);
        out.push_back(c);
        return true;
    }

    std::uint32_t bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t byte = bitPos >> 3;
            if (byte >= data_.size()) {
                overrun_ = true;
                return 0;
            }
            v |= static_cast<std::uint32_t>((data_[byte] >> (bitPos & 7)) & 1) << i;
            ++bitPos;
        }
        return v;
    }

    int decode(const Huffman& h) {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= kMaxCodeBits; ++len) {
            code |= static_cast<int>(bits(1));
            const int count = h.count[len];
            if (code - count < first)
                return h.symbol[index + (code - first)];
            index += count;
            first += count;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }

    // Reads a block header; a stored block is copied whole. End: go on with the block.
    Status header(std::vector<std::uint8_t>& out, std::size_t historyStart, std::size_t outLimit) {
        (void)historyStart;
        const std::uint64_t start = bitPos;
        const bool endedFinal = finalBlock;
        finalBlock = bits(1) != 0;
        const std::uint32_t type = bits(2);
        if (overrun_ || type == 3)
            return Status::Fault;
        if (type == 0) {
            checkpoints.emplace_back(bitPos - 3, out.size());
            bitPos = (bitPos + 7) & ~std::uint64_t{7};
            const std::uint32_t len = bits(16);
            const std::uint32_t nlen = bits(16);
            if (overrun_ || len != (~nlen & 0xFFFF))
                return Status::Fault;
            if ((bitPos >> 3) + len > data_.size())
                return Status::Fault;
            for (std::uint32_t i = 0; i < len; ++i) {
                const std::uint8_t c = data_[(bitPos >> 3) + i];
                if (!put(out, c)) {
                    if (!lenientStored || !put(out, kUnknownByte))
                        return Status::Fault;
                    ++replaced;
                }
                ++literals;
                ++symbols_;
                if (out.size() >= outLimit) {
                    bitPos += std::uint64_t{i + 1} * 8;
                    cutStored = true;
                    // The rest of the stored block is not decoded: stop as if it ended here.
                    finalBlock = true;
                    return Status::Enough;
                }
            }
            bitPos += std::uint64_t{len} * 8;
            // Stored bytes are what they are: trusted up to the block's end.
            checkpoints.emplace_back(bitPos > kDistrustBits ? bitPos - kDistrustBits : 0, out.size());
            return Status::End;
        }
        if (sawTables_) {
            previousTables = tables;
            previousFinal = endedFinal;
            havePrevious = true;
        }
        sawTables_ = true;
        tablesBit = start;
        if (type == 1) {
            tables = fixedTables();
            inBlock = true;
            return Status::End;
        }
        const int nlen = static_cast<int>(bits(5)) + 257;
        const int ndist = static_cast<int>(bits(5)) + 1;
        const int ncode = static_cast<int>(bits(4)) + 4;
        if (overrun_ || nlen > 286 || ndist > 30)
            return Status::Fault;
        std::uint8_t lengths[320] = {};
        for (int i = 0; i < ncode; ++i)
            lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits(3));
        Huffman lencode;
        if (overrun_ || buildHuffman(lencode, lengths, 19) != 0)
            return Status::Fault;
        for (int i = 0; i < nlen + ndist;) {
            int sym = decode(lencode);
            if (sym < 0 || overrun_)
                return Status::Fault;
            if (sym < 16) {
                lengths[i++] = static_cast<std::uint8_t>(sym);
                continue;
            }
            std::uint8_t value = 0;
            int repeat = 0;
            if (sym == 16) {
                if (i == 0)
                    return Status::Fault;
                value = lengths[i - 1];
                repeat = 3 + static_cast<int>(bits(2));
            } else if (sym == 17) {
                repeat = 3 + static_cast<int>(bits(3));
            } else {
                repeat = 11 + static_cast<int>(bits(7));
            }
            if (i + repeat > nlen + ndist || overrun_)
                return Status::Fault;
            while (repeat--)
                lengths[i++] = value;
        }
        if (lengths[256] == 0)
            return Status::Fault; // no end-of-block code
        const int litLeft = buildHuffman(tables.lit, lengths, nlen);
        if (litLeft < 0 || (litLeft > 0 && nlen - tables.lit.count[0] != 1))
            return Status::Fault;
        const int distLeft = buildHuffman(tables.dist, lengths + nlen, ndist);
        if (distLeft < 0 || (distLeft > 0 && ndist - tables.dist.count[0] != 1))
            return Status::Fault;
        inBlock = true;
        return Status::End;
    }

    std::span<const std::uint8_t> data_;
    bool overrun_ = false;
    std::size_t historyStart_ = 0;
    std::uint64_t symbols_ = 0;
    bool started_ = false;
    bool sawTables_ = false; // `tables` holds a block's tables
    XmlCheck check_;
};

// The search's work against its limit. It is looked at only at fixed points of the search, so
// that where the search stops never depends on timing; the wall-time backstop aside.
class Budget {
public:
    Budget(std::uint64_t limit, std::chrono::milliseconds backstop)
        : limit_(limit), deadline_(std::chrono::steady_clock::now() + backstop) {}

    void spend(std::uint64_t work) { used_ += work; }
    std::uint64_t used() const { return used_; }
    bool over() {
        if (!over_)
            over_ = used_ > limit_ || std::chrono::steady_clock::now() > deadline_;
        return over_;
    }

private:
    std::uint64_t used_ = 0;
    std::uint64_t limit_;
    std::chrono::steady_clock::time_point deadline_;
    bool over_ = false;
};

// Where the output of a restart belongs in the part. Back-references after the restart that
// reach across the gap copy bytes of the prefix once the gap's length is known; for each
// candidate position of the restart's output, the copied pieces are set beside their
// neighbours, and the 4-byte sequences across each seam are looked up among those the prefix
// and the restart's own output hold. XML repeats its tags, so at the true position nearly every
// seam is a sequence seen before; at a wrong one few are.
//
// A restart found inside the damage first decodes damaged bits: output of made-up length and
// content, after which the code falls into step. So the output is taken from a cut on: bytes
// before the cut are dropped, and what later back-references copy from there is read at the
// candidate position like the prefix. The cut with the best fit wins.
class RestartPlacement {
public:
    struct Place {
        std::size_t cut; // index in the restart's output from which it is kept
        std::size_t at;  // position in the part of the byte at the cut
    };

    // `decoded` is the part so far, sound up to `sound`.
    RestartPlacement(std::span<const std::uint8_t> decoded, std::size_t sound, std::span<const std::uint8_t> post,
                     std::span<const std::int32_t> sources, Budget& budget, bool withMarkup)
        : prefix_(decoded), post_(post.first(std::min(post.size(), sources.size()))), sources_(sources),
          roots_(sources.size()), seen_(kSeenBits / 64), budget_(budget), withMarkup_(withMarkup) {
        const std::span<const std::uint8_t> prefix = decoded.first(std::min(sound, decoded.size()));
        const auto note = [&](std::span<const std::uint8_t> s) {
            std::uint32_t v = 0;
            int known = 0;
            for (const std::uint8_t c : s) {
                v = (v << 8) | c;
                known = c == kUnknownByte ? 0 : known + 1;
                if (known >= 4)
                    mark(v);

            }
        };
        note(prefix.subspan(prefix.size() - std::min(prefix.size(), kSeenWindow)));
        note(post_);
        if (withMarkup)
            note({reinterpret_cast<const std::uint8_t*>(kMarkup.data()), kMarkup.size()});
        budget_.spend(kSeenBits / 64 + std::min(prefix.size(), kSeenWindow) + post_.size());
    }

    // How far the part decoded before the fault holds at a place, beyond `sound`: up to where
    // the kept output begins, and no further than the first seam of a piece copied from after
    // `sound` that does not fit (so the output of damaged bits before the fault stays out).
    std::size_t soundEnd(Place place, std::size_t sound) {
        const std::size_t p = place.at - place.cut;
        const std::size_t end = std::min(prefix_.size(), place.at);
        if (end <= sound)
            return sound;
        cutAt(place.cut);
        std::vector<std::pair<std::size_t, bool>> looks; // (farthest source, fits)
        for (const std::size_t j : seams_) {
            const int f = fits(j, p, end);
            std::size_t farthest = 0;
            for (std::size_t k = j - 2; k <= j + 1; ++k)
                if (copied(roots_[k]))
                    farthest = std::max<std::int64_t>(farthest, static_cast<std::int64_t>(p) + roots_[k]);
            if (f != 0 && farthest >= sound)
                looks.emplace_back(farthest, f > 0);
        }
        std::sort(looks.begin(), looks.end());
        std::size_t held = sound;
        int fit = 0;
        for (const auto& [at, fits] : looks) {
            if (!fits)
                break;
            held = at + 1;
            ++fit;
        }
        return fit >= kSettleSeams ? held : sound;
    }

    // The same told by the markup, for when too few seams are sequences seen before: the least
    // end up to which reading the prefix makes the most whole tags of copied bytes in the output
    // from the place on, that output staying XML. Output of damaged bits copied into tags
    // rarely makes whole ones.
    std::size_t markupEnd(Place place, std::size_t sound) {
        const std::size_t p = place.at - place.cut;
        const std::size_t last = std::min(prefix_.size(), place.at);
        if (last <= sound)
            return sound;
        cutAt(place.cut);
        std::size_t end = sound;
        std::size_t most = markupTags(p, sound).value_or(0);
        const auto tryEnd = [&](std::size_t e) {
            const auto tags = markupTags(p, e);
            if (tags && *tags > most) {
                most = *tags;
                end = e;
            }
        };
        for (std::size_t e = sound; e < last && !budget_.over();) {
            e = std::min(last, e + kEndStep);
            tryEnd(e);
        }
        // The step is coarse: the least end with as many tags.
        for (std::size_t e = end > sound + kEndStep ? end - kEndStep + 1 : sound + 1; e < end && !budget_.over(); ++e)
            if (markupTags(p, e).value_or(0) >= most) {
                end = e;
                break;
            }
        return end;
    }

    // The positions tried for the output from `cut`, first and last. Damaged bits may have
    // decoded as sound ones for a while before a fault showed, so the kept output may begin a
    // little before `sound`. Beyond the farthest back-reference every copied byte falls into
    // the gap: nothing places the output.
    std::pair<std::size_t, std::size_t> positions(std::size_t sound, std::size_t cut) const {
        const std::size_t reach = sound + std::min(farthest_, kWindow);
        return {sound - std::min(sound, kSlack + cut), reach - std::min(reach, cut)};
    }

    // The best cut and position for an output whose first byte is expected near `expected`
    // (nearest among equals), with the prefix sound up to `sound`; nothing when no position
    // fits well or one away from the best fits half as well.
    std::optional<Place> best(std::size_t sound, std::size_t expected) {
        std::optional<Place> found;
        long foundScore = 0;
        int worse = 0;
        for (const std::size_t cut : kCuts) {
            if (cut + 4 >= post_.size() || budget_.over())
                break;
            cutAt(cut);
            auto [lo, hi] = positions(sound, cut);
            // With the shared markup, seams fit far more often by chance: the output is looked
            // for no further than the lost stretch before the restart can have reached.
            if (withMarkup_)
                hi = std::min(hi, expected + kSlack);
            long score = 0;
            const auto at = bestPosition(lo, hi, sound, expected - std::min(expected, cut), score);
            if (at && score > foundScore) {
                foundScore = score;
                found = Place{cut, *at + cut};
                worse = 0;
            } else if (found && ++worse == 2) {
                break; // later cuts only drop more of the output
            }
        }
        if (found && found->cut > 0)
            found = refine(*found, sound);
        if (found) {
            const std::size_t from = found->cut;
            found = settle(*found, sound);
            if (found)
                found = widen(*found, from, sound);
        }
        budget_.spend(looks_ * kLookWork);
        looks_ = 0;
        return found;
    }

    // When too few seams are sequences seen before (a small part has little text before the
    // gap to compare with): the position at which the output from the cut, every copied byte
    // read from the prefix, stays XML to the end of the trace with the most whole tags made of
    // copied bytes, when no position away from it has half as many. The first cut with such a
    // position is taken, and the output is kept from the first copied byte known there: the
    // literals before it may still be output of damaged bits.
    std::optional<Place> bestByMarkup(std::size_t sound) {
        std::vector<std::size_t> scores;
        for (const std::size_t cut : kCuts) {
            if (cut + 4 >= post_.size() || budget_.over())
                break;
            cutAt(cut);
            const auto [lo, hi] = positions(sound, cut);
            if (hi < lo)
                continue;
            scores.assign(hi - lo + 1, 0);
            std::size_t at = lo;
            for (std::size_t p = lo; p <= hi; ++p) {
                if ((p & 255) == 0 && budget_.over())
                    return std::nullopt;
                scores[p - lo] = tagsOfCopies(p, sound);
                if (scores[p - lo] > scores[at - lo])
                    at = p;
            }
            std::size_t rival = 0;
            for (std::size_t p = lo; p <= hi; ++p)
                if (p + kNeighbourhood < at || p > at + kNeighbourhood)
                    rival = std::max(rival, scores[p - lo]);
            const std::size_t top = scores[at - lo];
            if (top < kMinMarkupTags || rival * 2 > top)
                continue;
            for (std::size_t j = cut; j < roots_.size(); ++j)
                if (copied(roots_[j]) && resolved(j, at, sound) != kUnknownByte)
                    return Place{j, at + j};
            return std::nullopt;
        }
        return std::nullopt;
    }

    // Whether the output from the place on, every copied byte read from the prefix, stays XML to
    // the end of the trace.
    bool holdsAsMarkup(Place place, std::size_t sound) {
        cutAt(place.cut);
        return markupTags(place.at - place.cut, sound).has_value();
    }

private:
    // The byte at index j of the output with index 0 at position p of the part.
    std::uint8_t resolved(std::size_t j, std::size_t p, std::size_t sound) const {
        const std::int32_t r = roots_[j];
        if (r == Source::kLost)
            return kUnknownByte;
        if (!copied(r))
            return post_[j];
        const std::int64_t q = static_cast<std::int64_t>(p) + r;
        return q >= 0 && static_cast<std::size_t>(q) < std::min(sound, p + cut_) ? prefix_[static_cast<std::size_t>(q)] : kUnknownByte;
    }

    // How many whole tags hold a known copied byte, when the output from the cut is XML to the
    // end with index 0 at position p; 0 when it is not.
    std::size_t tagsOfCopies(std::size_t p, std::size_t sound) { return markupTags(p, sound).value_or(0); }

    // The same, nothing when the output is not XML.
    std::optional<std::size_t> markupTags(std::size_t p, std::size_t sound) {
        XmlCheck check;
        check.forget();
        check.checkLocalNesting();
        std::size_t tags = 0, j = cut_;
        bool copiedInTag = false;
        for (; j < roots_.size(); ++j) {
            const std::uint8_t c = resolved(j, p, sound);
            const std::size_t before = check.tags();
            if (c == '<')
                copiedInTag = false;
            copiedInTag |= c != kUnknownByte && copied(roots_[j]);
            if (!check.accept(c))
                break;
            tags += check.tags() > before && copiedInTag;
        }
        budget_.spend(kLookWork * (j - cut_ + 1) / 2);
        if (j < roots_.size())
            return std::nullopt;
        return tags;
    }

    // The cuts are coarse: an earlier cut keeps more of the output when the seams it adds fit
    // (at the same position) nearly all.
    Place refine(Place place, std::size_t sound) {
        const std::size_t p = place.at - place.cut;
        const std::size_t coarse = place.cut;
        std::size_t from = 0;
        for (const std::size_t cut : kCuts)
            if (cut < coarse)
                from = cut;
        for (std::size_t cut = from + kFineCut; cut < coarse; cut += kFineCut) {
            cutAt(cut);
            int fit = 0, misfit = 0;
            for (const std::size_t j : seams_) {
                if (j >= coarse)
                    break;
                const int f = fits(j, p, sound);
                fit += f > 0;
                misfit += f < 0;
            }
            if (fit >= 2 && misfit * 8 <= fit)
                return Place{cut, p + cut};
        }
        return place;
    }

    // Output decoded from damaged bits may fit by chance here and there, and seams lie apart:
    // the kept output begins with the first of kSettleSeams known seams in a row that fit.
    std::optional<Place> settle(Place place, std::size_t sound) {
        const std::size_t p = place.at - place.cut;
        cutAt(place.cut);
        int streak = 0;
        std::size_t first = 0;
        for (const std::size_t j : seams_) {
            const int f = fits(j, p, sound);
            if (f == 0)
                continue;
            if (f < 0) {
                streak = 0;
                continue;
            }
            if (streak++ == 0)
                first = j - 2;
            if (streak == kSettleSeams)
                return Place{first, p + first};
        }
        return std::nullopt;
    }

    // Settling drops output whose seams are too few, or too seldom seen before, to tell. From
    // `from` up to the settled start, with every byte copied from before `from` read from the
    // prefix: the output from the first tag start after the last byte that is not XML on is
    // kept too (the bytes before it may be output of damaged bits).
    Place widen(Place settled, std::size_t from, std::size_t sound) {
        if (settled.cut <= from)
            return settled;
        const std::size_t p = settled.at - settled.cut;
        cutAt(from);
        XmlCheck check;
        check.forget();
        std::optional<std::size_t> tagStart;
        for (std::size_t j = from; j < settled.cut; ++j) {
            const std::uint8_t c = resolved(j, p, sound);
            if (!check.accept(c)) {
                check.forget();
                tagStart.reset();
            } else if (c == '<' && !tagStart) {
                tagStart = j;
            }
        }
        budget_.spend(kLookWork * (settled.cut - from));
        return tagStart ? Place{*tagStart, p + *tagStart} : settled;
    }

    static constexpr std::size_t kEndStep = 8;
    static constexpr int kSettleSeams = 4;
    static constexpr std::size_t kFineCut = 16;
    static constexpr std::size_t kSeenBits = std::size_t{1} << 22;
    static constexpr std::size_t kSeenWindow = std::size_t{1} << 20;
    static constexpr std::size_t kWindow = 32768;
    static constexpr std::size_t kSlack = 4096;
    static constexpr std::size_t kCuts[] = {0, 32, 64, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};
    static constexpr std::size_t kMaxSeams = 4096;
    static constexpr std::size_t kStride = 1009;
    static constexpr long kMinScore = 12;
    static constexpr std::size_t kMinMarkupTags = 16;
    static constexpr std::size_t kNeighbourhood = 4;
    // A position is given up when no more than half of the first kTrialSeams known seams fit.
    static constexpr long kTrialSeams = 24;
    static constexpr long kTrialLooks = 96;
    static constexpr std::int32_t kKnown = Source::kLiteral;
    // Work counted for looking at one seam (four bytes traced and looked up).
    static constexpr std::uint64_t kLookWork = 8;

    static std::size_t hash(std::uint32_t v) { return (v * 2654435761u) >> 10; }
    void mark(std::uint32_t v) { seen_[hash(v) >> 6] |= std::uint64_t{1} << (hash(v) & 63); }
    bool seen(std::uint32_t v) const { return (seen_[hash(v) >> 6] >> (hash(v) & 63)) & 1; }
    static bool copied(std::int32_t root) { return root < Source::kLost; }

    // Follows each kept byte back to a literal (kKnown), a lost byte (Source::kLost) or a byte
    // before the cut (its index there), and lists the seams: the places j where a piece read
    // before the cut starts or ends between j - 1 and j.
    void cutAt(std::size_t cut) {
        budget_.spend(2 * sources_.size());
        const auto c = static_cast<std::int32_t>(cut);
        for (std::size_t j = 0; j < sources_.size(); ++j) {
            const std::int32_t s = sources_[j];
            roots_[j] = j < cut || s == Source::kLost ? Source::kLost : s == Source::kLiteral ? kKnown : s < c ? s : roots_[static_cast<std::size_t>(s)];
        }
        farthest_ = 0;
        for (std::size_t j = cut; j < roots_.size(); ++j)
            if (roots_[j] < 0)
                farthest_ = std::max<std::size_t>(farthest_, static_cast<std::size_t>(-static_cast<std::int64_t>(roots_[j])));
        seams_.clear();
        for (std::size_t j = cut + 2; j + 1 < roots_.size() && seams_.size() < kMaxSeams; ++j) {
            const std::int32_t x = roots_[j - 1], y = roots_[j];
            if ((copied(x) || copied(y)) && !(copied(x) && y == x + 1))
                seams_.push_back(j);
        }
        // Looked at in a spread order, so that a position can be given up after a few seams.
        order_.resize(seams_.size());
        for (std::size_t i = 0, k = 0; i < seams_.size(); ++i, k = (k + kStride) % seams_.size())
            order_[i] = seams_[k];
        cut_ = cut;
    }

    // Whether the seam before j fits with output index 0 at position p of the part: 1 it does,
    // -1 it does not, 0 one of its bytes is not known.
    int fits(std::size_t j, std::size_t p, std::size_t sound) const {
        ++looks_;
        // The prefix is read up to where the kept output begins.
        const std::size_t trusted = std::min({sound, p + cut_, prefix_.size()});
        std::uint32_t v = 0;
        for (std::size_t k = j - 2; k <= j + 1; ++k) {
            const std::int32_t r = roots_[k];
            std::uint8_t c = r == Source::kLost ? kUnknownByte : post_[k];
            if (copied(r)) {
                const std::int64_t q = static_cast<std::int64_t>(p) + r;
                c = q >= 0 && static_cast<std::size_t>(q) < trusted ? prefix_[static_cast<std::size_t>(q)] : kUnknownByte;
            }
            if (c == kUnknownByte)
                return 0;
            v = (v << 8) | c;
        }
        return seen(v) ? 1 : -1;
    }

    // Seams that fit less seams that do not, at position p.
    long score(std::size_t p, std::size_t sound) const {
        long score = 0, known = 0, looked = 0;
        for (const std::size_t j : order_) {
            const int f = fits(j, p, sound);
            score += f;
            known += f != 0;
            ++looked;
            if ((known == kTrialSeams || looked == kTrialLooks) && score <= 0)
                return score;
        }
        return score;
    }

    // The best position in [lo, hi] for the current cut, and its score.
    std::optional<std::size_t> bestPosition(std::size_t lo, std::size_t hi, std::size_t sound, std::size_t expected,
                                            long& top) {
        if (hi < lo)
            return std::nullopt;
        std::vector<long> scores(hi - lo + 1);
        top = 0;
        for (std::size_t p = lo; p <= hi; ++p) {
            if ((p & 255) == 0) {
                budget_.spend(looks_ * kLookWork);
                looks_ = 0;
                if (budget_.over())
                    return std::nullopt;
            }
            scores[p - lo] = score(p, sound);
            top = std::max(top, scores[p - lo]);
        }
        const auto distance = [&](std::size_t p) { return p > expected ? p - expected : expected - p; };
        std::size_t at = lo;
        for (std::size_t p = lo; p <= hi; ++p)
            if (scores[p - lo] > scores[at - lo] || (scores[p - lo] == scores[at - lo] && distance(p) < distance(at)))
                at = p;
        long rival = 0;
        for (std::size_t p = lo; p <= hi; ++p)
            if (p + kNeighbourhood < at || p > at + kNeighbourhood)
                rival = std::max(rival, scores[p - lo]);
        if (top < kMinScore || rival * 2 > top)
            return std::nullopt;
        return at;
    }

    std::span<const std::uint8_t> prefix_, post_;
    std::span<const std::int32_t> sources_;
    std::vector<std::int32_t> roots_;
    std::vector<std::size_t> seams_, order_;
    std::size_t cut_ = 0;
    std::size_t farthest_ = 0; // how far before the restart's output the farthest copied byte lies
    std::vector<std::uint64_t> seen_;
    Budget& budget_;
    mutable std::uint64_t looks_ = 0; // seams looked at and not yet spent from the budget
    bool withMarkup_;                 // the shared markup is among the sequences seen
};

} // namespace

RecoveryResult RecoverText(std::span<const std::uint8_t> data, const RecoveryLimits& limits) {
    Budget budget(limits.work, limits.backstop);
    RecoveryResult result;
    auto& out = result.bytes;
    const std::size_t outLimit = static_cast<std::size_t>(std::min<std::uint64_t>(limits.maxOutput, SIZE_MAX));

    Decoder d(data);
    d.lenientStored = true;
    Status status = d.run(out, 0, outLimit);
    result.cleanPrefix = out.size();
    result.damaged = d.replaced > 0;
    std::uint64_t lastRestart = 0;
    std::size_t restartOut = 0; // output size where the last restart began
    std::vector<std::uint8_t> probe;
    probe.reserve(kProbeOutput + 300);
    while (status == Status::Fault) {
        result.damaged = true;
        // Tables to decode on with inside a block: those of the block the fault showed in, and
        // the block's before it when its header was read where damage may already have been.
        // Decoding on inside a block ends with it when it is the last one: no block header
        // follows its end-of-block code, only the end of the data.
        struct InBlock {
            Tables tables;
            bool final;
        };
        std::vector<InBlock> inBlock;
        if (d.inBlock)
            inBlock.push_back({d.tables, d.finalBlock});
        // Past the last restart point, so that every round makes progress.
        const std::uint64_t from = result.restarts > 0 ? std::max(d.faultBit, lastRestart + 1) : d.faultBit;
        // The output from shortly before the fault was noticed on may come from damaged bits.
        std::size_t sound = 0;
        std::uint64_t soundBit = 0;
        for (const auto& [bit, size] : d.checkpoints)
            if (bit + kDistrustBits <= d.faultBit && size <= out.size() && size >= sound) {
                sound = size;
                soundBit = bit;
            }
        if (restartOut > sound && restartOut <= out.size()) {
            sound = restartOut;
            soundBit = lastRestart;
        }
        if (d.havePrevious && d.tablesBit >= soundBit)
            inBlock.push_back({d.previousTables, d.previousFinal});
        bool found = false;
        int foundMode = 0;
        std::uint64_t at = 0;
        const std::uint64_t endBit = std::uint64_t{data.size()} * 8;
        for (std::uint64_t p = from; p < endBit && !found; ++p) {
            if ((p & 1023) == 0 && budget.over()) {
                result.outOfBudget = true;
                result.work = budget.used();
                out.resize(std::min(out.size(), sound));
                return result;
            }
            // Inside a block with the tables above first, then as a new block (mode -1).
            for (int mode = 0; mode <= static_cast<int>(inBlock.size()) && !found; ++mode) {
                Decoder trial(data);
                trial.bitPos = p;
                trial.completeHistory = false;
                const int m = mode < static_cast<int>(inBlock.size()) ? mode : -1;
                if (m >= 0) {
                    trial.tables = inBlock[m].tables;
                    trial.finalBlock = inBlock[m].final;
                    trial.inBlock = true;
                }
                probe.clear();
                const Status s = trial.run(probe, 0, kProbeOutput);
                budget.spend(kTrialWork + (trial.bitPos - p));
                if ((s == Status::Enough && trial.literals >= kProbeLiterals && trial.symbols() >= kProbeSymbols) ||
                    (s == Status::End && trial.literals >= kProbeLiteralsAtEnd && trial.bitPos + kEndSlackBits >= endBit)) {
                    found = true;
                    foundMode = m;
                    at = p;
                }
            }
        }
        if (!found) {
            result.work = budget.used();
            out.resize(std::min(out.size(), sound));
            return result;
        }
        const auto restartAt = [&] {
            Decoder r(data);
            r.bitPos = at;
            r.completeHistory = false;
            r.lenientStored = true;
            if (foundMode >= 0) {
                r.tables = inBlock[foundMode].tables;
                r.finalBlock = inBlock[foundMode].final;
                r.inBlock = true;
            }
            return r;
        };

        ++result.restarts;
        lastRestart = at;
        Decoder restart = restartAt();
        restart.lenientText = true;
        // Where the restart's output belongs: from a first pass that notes where each byte
        // comes from. The damage may have made the decoder run ahead of the original before it
        // noticed, so the restart may also belong a little before `sound`.
        std::optional<RestartPlacement::Place> placed;
        std::size_t placedSound = sound; // what of the part holds once the restart is placed
        // A short trace first: a later fault in its stretch would spoil the fit. A longer one
        // when damaged bits decoded into so much output that the short one is mostly that. Then,
        // on the short one, the seams again with the markup every Word part shares among the
        // sequences seen (a small part holds too little of its own before the gap), and last
        // the markup that the copied bytes make.
        enum class Round { Seams, LongSeams, SharedMarkup, Markup };
        constexpr Round kRounds[] = {Round::Seams, Round::LongSeams, Round::SharedMarkup, Round::Markup};
        for (std::size_t i = 0; i < std::size(kRounds) && !placed; ++i) {
            const Round round = kRounds[i];
            const std::size_t traced = kTraceOutput[round == Round::LongSeams ? 1 : 0];
            Decoder trace = restart;
            std::vector<std::int32_t> sources;
            sources.reserve(traced);
            trace.sources = &sources;
            probe.clear();
            trace.run(probe, 0, traced);
            budget.spend(trace.bitPos - at);
            RestartPlacement placement(out, sound, probe, sources, budget, round == Round::SharedMarkup);
            const double perBit = soundBit > 0 ? static_cast<double>(sound) / static_cast<double>(soundBit) : 1.0;
            const std::uint64_t lostBits = at - std::min(at, soundBit);
            if (round == Round::Markup)
                placed = placement.bestByMarkup(sound);
            else
                placed = placement.best(sound, sound + static_cast<std::size_t>(perBit * static_cast<double>(lostBits)));
            // With the shared markup seams fit by chance more often: the output must stay XML too.
            if (round == Round::SharedMarkup && placed && !placement.holdsAsMarkup(*placed, sound))
                placed.reset();
            if (placed)
                placedSound = std::max(placement.soundEnd(*placed, sound), placement.markupEnd(*placed, sound));
            if (round == Round::Seams && probe.size() < traced)
                ++i; // the whole rest was traced: a longer trace is the same
        }
        std::size_t historyStart = 0;
        if (placed) {
            // Decoding goes on from the first symbol at or after the cut, at its position.
            Decoder steady = restart;
            probe.clear();
            const Status s = steady.run(probe, 0, placed->cut);
            budget.spend(steady.bitPos - at);
            if (s == Status::Enough && !steady.cutStored) {
                restart = steady;
                restart.rebase();
            } else {
                placed.reset();
            }
        }
        if (placed) {
            // The gap's length is known: back-references across it copy from the prefix, and a
            // byte that is not XML text is damage again (a fault and another restart), not a
            // copy from an unknown stretch.
            restart.lenientText = false;
            const std::size_t resume = placed->at + (probe.size() - placed->cut);
            out.resize(std::min({resume, placedSound, out.size()}));
            if (result.restarts == 1)
                result.firstGap = out.size();
            out.resize(resume, kUnknownByte);
        } else {
            restart.settle = kSettleSymbols;
            // How long the lost stretch was is not known, so nothing before the restart can be
            // copied: back-references that reach there give unknown bytes.
            out.resize(sound);
            if (result.restarts == 1)
                result.firstGap = out.size();
            out.push_back(kUnknownByte); // the gap
            historyStart = out.size();
        }
        if (result.restarts == 1) {
            result.firstResume = out.size();
            result.gapPlaced = placed.has_value();
        }
        if (out.size() > outLimit)
            out.resize(outLimit);
        restartOut = out.size();
        status = restart.run(out, historyStart, outLimit);
        d = restart;
        result.damaged = true;
    }
    result.work = budget.used();
    return result;
}

} // namespace qm::deflate
