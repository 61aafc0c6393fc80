// The Word 97-2003 (and Word 6/95) binary reader.
//
// The normal path: compound file -> WordDocument stream -> FIB -> piece table in the table
// stream -> text, with the character properties of picture characters pointing at picture
// records in the Data stream. Each step has a fallback for damaged files: the WordDocument
// stream found by its FIB signature, the piece table found by its own structure in the raw
// bytes, the text taken from where the FIB says it starts, picture records found by their
// signature. Picture documents (a copy of the picture template with another record written
// at offset 5120) are read by the record's own size field.
#include "docserver/binary_io.h"
#include "docserver/cfb_reader.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_format.h"
#include "docserver/doc_picture_record.h"
#include "platform/codepage.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace qm::docserver {
namespace {

using namespace docfmt;

constexpr std::size_t kFkpSize = 512;
constexpr std::size_t kMaxFieldDepth = 64;
// Longer field codes are taken as damage (a stray begin mark) rather than hidden.
constexpr std::size_t kMaxFieldCode = 16384;
constexpr std::size_t kMaxPieces = 1u << 20;

// ---- Streams --------------------------------------------------------------------------

struct Source {
    Bytes file;
    // The streams: views of the file where their sectors run contiguously (as Word and our
    // writer lay them out), else of the copies below. A large document is not copied.
    Bytes word, table, data;
    std::vector<std::uint8_t> wordCopy, tableCopy, dataCopy;
    bool haveTable = false;
    cfb::StreamMap dataMap;
    Fib fib;
};

struct Piece {
    std::uint64_t cpStart = 0, cpEnd = 0;
    std::uint64_t offset = 0; // byte offset in the WordDocument stream
    bool eightBit = false;
};

// A PlcPcd: CPs then 8-byte piece descriptors. Returns the pieces up to the first that makes
// no sense (decreasing CPs).
std::vector<Piece> parsePlcPcd(Bytes plc, const Fib& fib) {
    std::vector<Piece> pieces;
    if (plc.size() < 16)
        return pieces;
    const std::size_t n = std::min<std::size_t>((plc.size() - 4) / 12, kMaxPieces);
    if (bin::u32(plc, 0) != 0)
        return pieces;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t a = bin::u32(plc, 4 * i), b = bin::u32(plc, 4 * (i + 1));
        if (b < a || b > 0x7FFFFFFF)
            break;
        const std::uint32_t fc = bin::u32(plc, 4 * (n + 1) + 8 * i + 2);
        Piece p;
        p.cpStart = a;
        p.cpEnd = b;
        if (!fib.unicodeCapable) {
            p.eightBit = true;
            p.offset = fc & 0x7FFFFFFF;
        } else if (fc & 0x40000000) {
            p.eightBit = true;
            p.offset = (fc & 0x3FFFFFFF) / 2;
        } else {
            p.offset = fc & 0x3FFFFFFF;
        }
        pieces.push_back(p);
    }
    return pieces;
}

// The piece table of a Clx: property runs (type 1) are skipped up to the Pcdt (type 2).
std::vector<Piece> parseClx(Bytes clx, const Fib& fib) {
    std::size_t pos = 0;
    for (int guard = 0; guard < 100000 && pos < clx.size(); ++guard) {
        const std::uint8_t type = clx[pos];
        if (type == 1) {
            pos += 3 + static_cast<std::uint16_t>(bin::u16(clx, pos + 1));
        } else if (type == 2) {
            const std::uint32_t lcb = bin::u32(clx, pos + 1);
            return parsePlcPcd(bin::slice(clx, pos + 5, lcb), fib);
        } else {
            break;
        }
    }
    return {};
}

// Pieces are usable when they start at CP 0, reach the main text's end and point into the
// WordDocument stream.
bool usablePieces(const std::vector<Piece>& pieces, const Source& s) {
    if (pieces.empty() || pieces.front().cpStart != 0)
        return false;
    const std::int32_t ccpText = s.fib.ccp[kMain];
    if (ccpText > 0 && pieces.back().cpEnd < static_cast<std::uint64_t>(ccpText))
        return false;
    if (ccpText > 0 && pieces.back().cpEnd > s.fib.totalCp() + 2)
        return false;
    std::size_t inside = 0;
    for (const auto& p : pieces)
        if (p.offset < s.word.size())
            ++inside;
    if (ccpText <= 0) // no FIB to check against: every piece must make sense
        return pieces.back().cpEnd >= 2 && inside == pieces.size();
    return inside * 2 > pieces.size();
}

// Looks through raw bytes for a Pcdt (0x02, its size, CPs from 0) that fits the FIB.
std::vector<Piece> scanForPieceTable(Bytes bytes, const Source& s) {
    const std::uint32_t lcbClx = s.fib.pair(kClx).lcb;
    std::vector<Piece> fallback;
    for (std::size_t i = 0; i + 21 <= bytes.size(); ++i) {
        if (bytes[i] != 0x02)
            continue;
        const std::uint32_t lcb = bin::u32(bytes, i + 1);
        if (lcb < 16 || (lcb - 4) % 12 != 0 || !bin::fits(bytes.size(), i + 5, lcb) || bin::u32(bytes, i + 5) != 0)
            continue;
        auto pieces = parsePlcPcd(bytes.subspan(i + 5, lcb), s.fib);
        if (pieces.size() != (lcb - 4) / 12 || !usablePieces(pieces, s))
            continue;
        // The size the FIB gives the Clx is the best evidence; without it, the first fit.
        if (lcbClx >= 5 && lcb <= lcbClx - 5 && lcb + 5 + 64 >= lcbClx)
            return pieces;
        if (fallback.empty())
            fallback = std::move(pieces);
    }
    return fallback;
}

bool textyChar(std::uint32_t c, bool eightBit) {
    if (c < 0x20)
        return c == 0x09 || c == 0x0B || c == 0x0D || c == 0x07 || c == 0x0C || (c >= 0x13 && c <= 0x15) ||
               c == 0x01 || c == 0x08 || (!eightBit && c >= 0x02 && c <= 0x05);
    if (eightBit)
        return c != 0x7F;
    return c < 0xD800 || (c >= 0xE000 && c < 0xFFF0);
}

std::uint32_t charAt(Bytes word, std::uint64_t start, std::uint64_t k, bool eightBit) {
    return eightBit ? bin::u8(word, start + k) : bin::u16(word, start + 2 * k);
}

// The share of the first characters from start that text holds (-1 when there are none).
double textRatio(Bytes word, std::uint64_t start, std::uint64_t count, bool eightBit) {
    if (start >= word.size())
        return -1;
    const std::uint64_t sample = std::min<std::uint64_t>({count, 512, (word.size() - start) / (eightBit ? 1 : 2)});
    if (sample == 0)
        return -1;
    std::uint64_t good = 0;
    for (std::uint64_t k = 0; k < sample; ++k)
        good += textyChar(charAt(word, start, k, eightBit), eightBit);
    return double(good) / double(sample);
}

// How many characters from start read as text, up to a stretch that does not. A 16-bit run
// also ends where 8-bit text begins: a stretch of characters made of two printable ASCII
// bytes each.
std::uint64_t textRun(Bytes word, std::uint64_t start, std::uint64_t max, bool eightBit) {
    const std::uint64_t charSize = eightBit ? 1 : 2;
    std::uint64_t k = 0, last = 0, bad = 0, asciiPairs = 0;
    auto ascii = [](std::uint32_t b) { return b >= 0x20 && b < 0x7F; };
    for (; k < max && bin::fits(word.size(), start + k * charSize, charSize); ++k) {
        const std::uint32_t c = charAt(word, start, k, eightBit);
        if (!eightBit) {
            asciiPairs = (ascii(c & 0xFF) && ascii(c >> 8)) ? asciiPairs + 1 : 0;
            if (asciiPairs >= 8)
                return std::min(last, k + 1 - asciiPairs);
        }
        if (c != 0 && textyChar(c, eightBit)) {
            bad = 0;
            last = k + 1;
        } else if (c == 0 || ++bad >= 4) {
            break;
        }
    }
    return last;
}

// Text runs from start on, as pieces of consecutive CPs: each run is read 8-bit or 16-bit,
// whichever goes on longer as text; bytes that read as neither are skipped. Ends after
// `count` characters or at `end`. Runs shorter than minRun characters are taken as noise.
std::vector<Piece> segmentText(const Source& s, std::uint64_t start, std::uint64_t end, std::uint64_t count,
                               std::uint64_t minRun) {
    std::vector<Piece> pieces;
    const Bytes word = s.word;
    end = std::min<std::uint64_t>(end, word.size());
    std::uint64_t pos = start, cp = 0;
    while (pos < end && cp < count && pieces.size() < kMaxPieces) {
        const std::uint64_t run8 = textRun(word, pos, std::min(count - cp, end - pos), true);
        // 8-bit Latin text read 16-bit also looks like text (as CJK), but 16-bit Latin text
        // read 8-bit stops at its first zero byte: a long 8-bit run wins.
        if (run8 >= std::max<std::uint64_t>(minRun, 8) || (!s.fib.unicodeCapable && run8 >= minRun && run8)) {
            pieces.push_back(Piece{cp, cp + run8, pos, true});
            cp += run8;
            pos += run8;
            continue;
        }
        if (s.fib.unicodeCapable && pos % 2 == 0) { // 16-bit pieces start at even offsets
            const std::uint64_t run16 = textRun(word, pos, std::min(count - cp, (end - pos) / 2), false);
            if (run16 >= std::max<std::uint64_t>(minRun, 2)) {
                pieces.push_back(Piece{cp, cp + run16, pos, false});
                cp += run16;
                pos += 2 * run16;
                continue;
            }
        }
        ++pos;
    }
    return pieces;
}

// Without a piece table: the main text read from where it usually lies. The start is the
// FIB's text start or one of the usual places, whichever reads best as text. The front is
// the text run from there; what the main text needs beyond it is taken from the text runs
// that end where the FIB says the text ends (the later pieces of a document saved in
// parts), else from the runs that follow the front.
std::vector<Piece> guessPieces(const Source& s) {
    std::uint64_t count = s.fib.ccp[kMain] > 0 ? static_cast<std::uint64_t>(s.fib.ccp[kMain]) : 0;
    const std::uint64_t fcMin = s.fib.fcMin, fcMac = s.fib.fcMac;
    const bool countKnown = count != 0 && count <= s.word.size();
    if (!countKnown)
        count = s.word.size();
    std::uint64_t start = 0;
    bool eightBit = true;
    double best = 0.6; // below this nothing looks like text
    for (std::uint64_t candidate : {fcMin, std::uint64_t(0x400), std::uint64_t(0x600), std::uint64_t(0x800),
                                    std::uint64_t(0xA00)}) {
        if (candidate < kFibSize / 2)
            continue;
        for (bool e : {true, false}) {
            if (!e && !s.fib.unicodeCapable)
                continue;
            const double ratio = textRatio(s.word, candidate, std::min<std::uint64_t>(count, 512), e);
            if (ratio > best) {
                best = ratio;
                start = candidate;
                eightBit = e;
            }
        }
    }
    if (start == 0)
        return {};
    if (!countKnown)
        return segmentText(s, start, s.word.size(), count, 8);

    const Piece front{0, textRun(s.word, start, count, eightBit), start, eightBit};
    std::vector<Piece> pieces{front};
    const std::uint64_t frontEnd = start + front.cpEnd * (eightBit ? 1 : 2);
    std::uint64_t rest = count - front.cpEnd;
    if (rest == 0)
        return pieces;
    std::vector<Piece> tail;
    if (fcMac > frontEnd && fcMac <= s.word.size()) {
        // The runs up to the text end, of which the last `rest` characters are kept.
        tail = segmentText(s, frontEnd, fcMac, s.word.size(), 1);
        std::uint64_t keep = rest;
        std::size_t first = tail.size();
        while (first > 0 && keep > 0) {
            --first;
            Piece& p = tail[first];
            const std::uint64_t n = p.cpEnd - p.cpStart;
            if (n > keep) {
                p.offset += (n - keep) * (p.eightBit ? 1 : 2);
                p.cpStart = p.cpEnd - keep;
            }
            keep -= std::min(n, keep);
        }
        tail.erase(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(first));
    } else {
        tail = segmentText(s, frontEnd, s.word.size(), rest, 1);
    }
    std::uint64_t cp = front.cpEnd;
    for (Piece p : tail) {
        const std::uint64_t n = p.cpEnd - p.cpStart;
        pieces.push_back(Piece{cp, cp + n, p.offset, p.eightBit});
        cp += n;
    }
    return pieces;
}

// ---- Text -----------------------------------------------------------------------------

// The characters of a CP range with the stream offset of each.
struct Text {
    std::u16string chars;
    std::vector<std::uint32_t> fcs, cps;
};

char16_t fromCp1252(std::uint8_t b) {
    static std::array<char16_t, 256> table = [] {
        std::array<char16_t, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[i] = static_cast<char16_t>(i);
        for (char16_t c = 0x100; c < 0x2200; ++c) {
            const int b = cp1252Byte(c);
            if (b >= 0x80 && b < 0xA0)
                t[b] = c;
        }
        return t;
    }();
    return table[b];
}

Text textOf(const Source& s, const std::vector<Piece>& pieces, std::uint64_t cpFrom, std::uint64_t cpTo) {
    Text t;
    const Bytes word = s.word;
    for (const auto& p : pieces) {
        const std::uint64_t a = std::max(cpFrom, p.cpStart), b = std::min(cpTo, p.cpEnd);
        if (a >= b)
            continue;
        const std::uint64_t charSize = p.eightBit ? 1 : 2;
        const std::uint64_t first = p.offset + (a - p.cpStart) * charSize;
        if (first >= word.size())
            continue;
        // Characters past the end of the stream are lost (a truncated file).
        const std::uint64_t count = std::min<std::uint64_t>(b - a, (word.size() - first) / charSize);
        if (!p.eightBit) {
            for (std::uint64_t k = 0; k < count; ++k) {
                t.chars.push_back(static_cast<char16_t>(bin::u16(word, first + 2 * k)));
                t.fcs.push_back(static_cast<std::uint32_t>(first + 2 * k));
                t.cps.push_back(static_cast<std::uint32_t>(a + k));
            }
        } else if (s.fib.unicodeCapable) {
            for (std::uint64_t k = 0; k < count; ++k) {
                t.chars.push_back(fromCp1252(word[first + k]));
                t.fcs.push_back(static_cast<std::uint32_t>(first + k));
                t.cps.push_back(static_cast<std::uint32_t>(a + k));
            }
        } else {
            // Word 6/95 text is in the code page of the documents.
            const std::string utf8 = codepage::toUtf8(word.subspan(first, count));
            const std::string le = codepage::utf8ToUtf16le(utf8);
            for (std::size_t k = 0; k + 1 < le.size(); k += 2) {
                t.chars.push_back(static_cast<char16_t>(static_cast<unsigned char>(le[k]) |
                                                        (static_cast<unsigned char>(le[k + 1]) << 8)));
                const std::uint64_t approx = std::min<std::uint64_t>(k / 2, count - 1);
                t.fcs.push_back(static_cast<std::uint32_t>(first + approx));
                t.cps.push_back(static_cast<std::uint32_t>(a + approx));
            }
        }
    }
    return t;
}

// ---- Character properties -------------------------------------------------------------

struct CharRun {
    std::uint32_t fcStart, fcEnd;
    Bytes grpprl;
};

// Operand size of a Word 97 sprm at grpprl[at] (the sprm itself excluded).
std::size_t operandSize(Bytes g, std::size_t at, std::uint16_t sprm) {
    switch (sprm >> 13) {
    case 0:
    case 1: return 1;
    case 2:
    case 4:
    case 5: return 2;
    case 3: return 4;
    case 7: return 3;
    default:
        if (sprm == 0xD608 || sprm == 0xD606) // table definitions: a 2-byte size
            return 2 + static_cast<std::size_t>(std::max(0, int(bin::u16(g, at)) - 1));
        return 1 + bin::u8(g, at);
    }
}

struct PictureProps {
    bool special = false, ole = false, data = false;
    std::optional<std::uint32_t> location;
};

PictureProps pictureProps(Bytes g) {
    PictureProps p;
    std::size_t pos = 0;
    while (pos + 2 <= g.size()) {
        const std::uint16_t sprm = bin::u16(g, pos);
        const std::size_t size = operandSize(g, pos + 2, sprm);
        const std::size_t at = pos + 2;
        if (sprm == kSprmCFSpec)
            p.special = bin::u8(g, at) != 0;
        else if (sprm == kSprmCFOle2)
            p.ole = bin::u8(g, at) != 0;
        else if (sprm == kSprmCFData)
            p.data = bin::u8(g, at) != 0;
        else if (sprm == kSprmCPicLocation && bin::fits(g.size(), at, 4))
            p.location = bin::u32(g, at);
        pos = at + size;
    }
    return p;
}

// The CHPX runs of the WordDocument stream (Word 97 and later), sorted by fc.
std::vector<CharRun> charRuns(const Source& s) {
    std::vector<CharRun> runs;
    if (!s.fib.unicodeCapable || !s.haveTable)
        return runs;
    const FcLcb bte = s.fib.pair(kPlcfBteChpx);
    const Bytes plc = bin::slice(s.table, bte.fc, bte.lcb);
    if (plc.size() < 12)
        return runs;
    const std::size_t n = (plc.size() - 4) / 8;
    const Bytes word = s.word;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t pn = bin::u32(plc, 4 * (n + 1) + 4 * i) & 0x3FFFFF;
        const Bytes page = bin::slice(word, pn * kFkpSize, kFkpSize);
        if (page.size() < kFkpSize)
            continue;
        const std::size_t crun = page[kFkpSize - 1];
        if (4 * (crun + 1) + crun > kFkpSize - 1)
            continue;
        for (std::size_t k = 0; k < crun; ++k) {
            const std::uint8_t b = page[4 * (crun + 1) + k];
            Bytes grpprl;
            if (b)
                grpprl = bin::slice(page, 2 * b + 1, page[2 * b]);
            runs.push_back({bin::u32(page, 4 * k), bin::u32(page, 4 * (k + 1)), grpprl});
        }
    }
    std::stable_sort(runs.begin(), runs.end(), [](const CharRun& a, const CharRun& b) { return a.fcStart < b.fcStart; });
    return runs;
}

Bytes grpprlAt(const std::vector<CharRun>& runs, std::uint32_t fc) {
    auto it = std::upper_bound(runs.begin(), runs.end(), fc,
                               [](std::uint32_t v, const CharRun& r) { return v < r.fcStart; });
    if (it == runs.begin())
        return {};
    --it;
    return fc < it->fcEnd ? it->grpprl : Bytes{};
}

// ---- Pictures -------------------------------------------------------------------------

// The picture record at an offset of the Data stream. A record whose size field runs past
// the stream (a longer record written into a copy of the picture template) is read on from
// the file when the stream's sectors run contiguously up to its end.
std::optional<Picture> recordAt(const Source& s, std::uint32_t offset) {
    const Bytes data = s.data;
    if (!bin::fits(data.size(), offset, 8))
        return std::nullopt;
    const std::uint32_t lcb = bin::u32(data, offset);
    if (bin::fits(data.size(), offset, lcb))
        return docpic::pictureFromRecord(data.subspan(offset, lcb));
    const auto& m = s.dataMap;
    const std::size_t unit = m.unit;
    if (unit && offset / unit < m.offsets.size()) {
        bool contiguous = true;
        for (std::size_t k = offset / unit; k + 1 < m.offsets.size(); ++k)
            contiguous = contiguous && m.offsets[k + 1] == m.offsets[k] + unit;
        if (contiguous) {
            const std::size_t fileAt = m.offsets[offset / unit] + offset % unit;
            return docpic::pictureFromRecord(bin::slice(s.file, fileAt, lcb));
        }
    }
    return docpic::pictureFromRecord(data.subspan(offset));
}

// Floating pictures: drawn-object characters -> FSPA shape ids -> shapes of the drawing
// -> their BLIP, stored in the BLIP store (embedded, or in the WordDocument stream).
class Drawings {
public:
    explicit Drawings(const Source& s) : s_(s) {
        if (!s.fib.unicodeCapable || !s.haveTable)
            return;
        const FcLcb spa = s.fib.pair(kPlcSpaMom);
        const Bytes plc = bin::slice(s.table, spa.fc, spa.lcb);
        constexpr std::size_t kFspa = 26;
        if (plc.size() >= 4 + kFspa) {
            const std::size_t n = (plc.size() - 4) / (4 + kFspa);
            for (std::size_t i = 0; i < n; ++i)
                spidAtCp_[bin::u32(plc, 4 * i)] = bin::u32(plc, 4 * (n + 1) + kFspa * i);
        }
        const FcLcb dgg = s.fib.pair(kDggInfo);
        const Bytes art = bin::slice(s.table, dgg.fc, dgg.lcb);
        walk(art, 0);
    }

    std::optional<Picture> at(std::uint32_t cp) const {
        auto spid = spidAtCp_.find(cp);
        if (spid == spidAtCp_.end())
            return std::nullopt;
        auto pib = pibOfShape_.find(spid->second);
        if (pib == pibOfShape_.end() || pib->second == 0 || pib->second > store_.size())
            return std::nullopt;
        const Bytes fbse = store_[pib->second - 1];
        const std::size_t embeddedAt = 36 + bin::u8(fbse, 33);
        if (fbse.size() > embeddedAt + 8)
            return docpic::pictureFromBlip(fbse.subspan(embeddedAt));
        const std::uint32_t size = bin::u32(fbse, 20), delay = bin::u32(fbse, 28);
        const Bytes blip = bin::slice(s_.word, delay, size);
        if (blip.size() < 8)
            return std::nullopt;
        return docpic::pictureFromBlip(blip);
    }

private:
    void walk(Bytes b, int depth) {
        std::size_t pos = 0;
        std::uint32_t currentSpid = 0;
        bool haveSpid = false;
        while (pos + 8 <= b.size() && depth < 16) {
            const std::uint16_t verInst = bin::u16(b, pos), type = bin::u16(b, pos + 2);
            const std::size_t len = std::min<std::size_t>(bin::u32(b, pos + 4), b.size() - pos - 8);
            const Bytes body = b.subspan(pos + 8, len);
            if (type < 0xF000) {
                ++pos; // the byte before a drawing (dgglbl) or damage: resynchronise
                continue;
            }
            if (type == 0xF007) {
                store_.push_back(body);
            } else if (type == 0xF00A) {
                currentSpid = bin::u32(body, 0);
                haveSpid = true;
            } else if (type == 0xF00B && haveSpid) {
                for (std::size_t k = 0; k < (verInst >> 4) && 6 * k + 6 <= body.size(); ++k)
                    if ((bin::u16(body, 6 * k) & 0x3FFF) == 0x0104)
                        pibOfShape_[currentSpid] = bin::u32(body, 6 * k + 2);
            } else if ((verInst & 0x0F) == 0x0F) {
                walk(body, depth + 1);
            }
            pos += 8 + len;
        }
    }

    const Source& s_;
    std::map<std::uint32_t, std::uint32_t> spidAtCp_;
    std::map<std::uint32_t, std::uint32_t> pibOfShape_;
    std::vector<Bytes> store_;
};

// Picture records found by their signature anywhere in the file.
std::vector<Picture> scanForRecords(Bytes file) {
    std::vector<Picture> out;
    std::size_t i = 0;
    while (i + 8 <= file.size()) {
        if (docpic::looksLikeRecord(file, i)) {
            const std::uint32_t lcb = bin::u32(file, i);
            if (lcb > docpic::kPicfHeaderSize + 8) {
                if (auto p = docpic::pictureFromRecord(bin::slice(file, i, lcb))) {
                    out.push_back(std::move(*p));
                    i += std::min<std::size_t>(lcb, file.size() - i);
                    continue;
                }
            }
        }
        ++i;
    }
    return out;
}

// ---- Building the document -------------------------------------------------------------

// A field code starts with its keyword (after spaces), a formula, a quoted argument or a
// nested field; a begin mark followed by anything else is damage, not a field.
bool plausibleFieldCode(const std::u16string& t, std::size_t at) {
    while (at < t.size() && t[at] == u' ')
        ++at;
    if (at >= t.size())
        return false;
    const char16_t c = t[at];
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'=' || c == u'"' || c == u'\\' ||
           c == kChFieldBegin || c == kChFieldSeparator || c == kChFieldEnd;
}

// Decodes the text [cpFrom, cpTo) a window of kWindowChars characters at a time: memory stays
// bounded however long the text is. Each call of visit gets the window's characters followed
// by up to kLookahead characters of the next window (for look-ahead), count telling how many
// belong to the window itself; last is set on the last window.
constexpr std::uint64_t kWindowChars = 1u << 18;
constexpr std::uint64_t kLookahead = 4096;

void forEachWindow(const Source& s, const std::vector<Piece>& pieces, std::uint64_t cpFrom, std::uint64_t cpTo,
                   const std::function<void(const Text& t, std::size_t count, bool last)>& visit) {
    for (std::uint64_t w = cpFrom; w < cpTo; w += kWindowChars) {
        const std::uint64_t end = std::min(cpTo, w + kWindowChars);
        const Text t = textOf(s, pieces, w, std::min(cpTo, end + kLookahead));
        const std::size_t count = static_cast<std::size_t>(
            std::lower_bound(t.cps.begin(), t.cps.end(), end) - t.cps.begin());
        visit(t, count, end == cpTo);
    }
}

// Which characters a reader sees, passed on in order as they are decided: a field's code (from
// its begin mark to its separator, or to its end when it has none) is hidden, its result shown.
// Marks without a partner are ignored. A field code is decided when its separator comes (or its
// end, without one), and only codes of up to kMaxFieldCode characters are hidden, so no more
// than that many characters wait for their decision.
class VisibleText {
public:
    using Emit = std::function<void(char16_t c, std::uint32_t fc, std::uint32_t cp, bool last)>;
    explicit VisibleText(Emit emit) : emit_(std::move(emit)) {}

    // The window's characters (t's first count; the rest is look-ahead).
    void window(const Text& t, std::size_t count, bool last) {
        for (std::size_t i = 0; i < count; ++i) {
            const char16_t c = t.chars[i];
            const bool lastChar = last && i + 1 == count;
            if (stack_.empty() && held_.empty() && c != kChFieldBegin) {
                ++next_, ++first_; // no field open: nothing can hide it
                emit_(c, t.fcs[i], t.cps[i], lastChar);
                continue;
            }
            const std::uint64_t at = next_++;
            held_.push_back({c, t.fcs[i], t.cps[i], true});
            if (c == kChFieldBegin) {
                if (stack_.size() < kMaxFieldDepth && plausibleFieldCode(t.chars, i + 1))
                    stack_.push_back({at, kNone});
            } else if (c == kChFieldSeparator) {
                if (!stack_.empty() && stack_.back().separator == kNone) {
                    stack_.back().separator = at;
                    hide(stack_.back().begin, at);
                }
            } else if (c == kChFieldEnd && !stack_.empty()) {
                const Open f = stack_.back();
                stack_.pop_back();
                if (f.separator == kNone)
                    hide(f.begin, at);
            }
            release(false, lastChar);
        }
        if (last)
            release(true, true);
    }

private:
    static constexpr std::uint64_t kNone = UINT64_MAX;
    struct Open {
        std::uint64_t begin, separator;
    };
    struct Held {
        char16_t c;
        std::uint32_t fc, cp;
        bool visible;
    };

    void hide(std::uint64_t from, std::uint64_t to) {
        if (to - from > kMaxFieldCode)
            return;
        for (std::uint64_t k = std::max(from, first_); k < to; ++k)
            held_[k - first_].visible = false;
    }
    // Passes on the characters no open field can hide any more (all of them at the end);
    // textEnds tells that the latest character is the text's last.
    void release(bool all, bool textEnds) {
        std::uint64_t bound = next_;
        if (!all)
            for (const auto& f : stack_)
                if (f.separator == kNone && next_ - f.begin <= kMaxFieldCode)
                    bound = std::min(bound, f.begin);
        while (first_ < bound) {
            const Held h = held_.front();
            held_.pop_front();
            ++first_;
            if (h.visible)
                emit_(h.c, h.fc, h.cp, textEnds && first_ == next_);
        }
    }

    Emit emit_;
    std::deque<Held> held_;
    std::vector<Open> stack_;
    std::uint64_t first_ = 0, next_ = 0; // positions of the first held and the next character
};

std::string utf8Of(const std::u16string& text) {
    std::string le;
    le.reserve(text.size() * 2);
    for (char16_t c : text) {
        le.push_back(static_cast<char>(c & 0xFF));
        le.push_back(static_cast<char>(c >> 8));
    }
    return codepage::utf16leToUtf8({reinterpret_cast<const std::uint8_t*>(le.data()), le.size()});
}

// Builds the document from the visible characters; text goes to the document in steps, so
// a long paragraph is not held twice.
class Builder {
public:
    void text(char16_t c) {
        pending_.push_back(c);
        if (pending_.size() >= kFlushUnits && (c < 0xD800 || c > 0xDBFF)) // never between a surrogate pair
            flush();
    }
    void paragraph() {
        flush();
        doc_.insertParagraphAfter();
    }
    void picture(Picture p) {
        flush();
        doc_.insertPicture(std::move(p));
    }
    Document finish() {
        flush();
        return std::move(doc_);
    }

private:
    static constexpr std::size_t kFlushUnits = 1u << 16;
    void flush() {
        if (pending_.empty())
            return;
        doc_.insertAfter(utf8Of(pending_));
        pending_.clear();
    }
    Document doc_;
    std::u16string pending_;
};

struct Reading {
    Document doc;
    std::size_t unresolvedPictures = 0;
};

Reading buildDocument(const Source& s, const std::vector<Piece>& pieces) {
    const std::uint64_t end = pieces.empty() ? 0 : pieces.back().cpEnd;
    std::uint64_t mainEnd = s.fib.ccp[kMain] > 0 ? static_cast<std::uint64_t>(s.fib.ccp[kMain]) : end;
    mainEnd = std::min(mainEnd, end);
    const std::vector<CharRun> runs = charRuns(s);
    const Drawings drawings(s);

    Builder b;
    Reading r;
    VisibleText visible([&](char16_t c, std::uint32_t fc, std::uint32_t cp, bool last) {
        switch (c) {
        case kChParagraph:
        case kChCellMark:
        case kChPageBreak:
        case kChColumnBreak:
            // The document's final paragraph mark closes the open paragraph.
            if (!last)
                b.paragraph();
            break;
        case u'\t':
        case kChLineBreak:
            b.text(c == u'\t' ? u'\t' : u'\v');
            break;
        case kChNonBreakingHyphen:
            b.text(u'-');
            break;
        case kChPicture: {
            const PictureProps props = pictureProps(grpprlAt(runs, fc));
            if (props.location && !props.ole && !props.data) {
                if (auto p = recordAt(s, *props.location)) {
                    b.picture(std::move(*p));
                    break;
                }
            }
            if (!props.ole && !props.data)
                ++r.unresolvedPictures;
            break;
        }
        case kChDrawnObject:
            if (auto p = drawings.at(cp))
                b.picture(std::move(*p));
            break;
        default:
            if (c >= 0x20)
                b.text(c);
            break;
        }
    });
    forEachWindow(s, pieces, 0, mainEnd, [&](const Text& t, std::size_t count, bool last) {
        visible.window(t, count, last);
    });
    r.doc = b.finish();
    return r;
}

// ---- Locating the streams ---------------------------------------------------------------

// A stream's bytes: a view of the file when its sectors run contiguously, else a copy
// assembled in copy.
Bytes streamBytes(const cfb::Reader& r, Bytes file, const cfb::DirEntry& e, std::vector<std::uint8_t>& copy) {
    const cfb::StreamMap m = r.map(e);
    bool contiguous = m.unit == r.sectorSize() && !m.offsets.empty();
    for (std::size_t k = 0; contiguous && k + 1 < m.offsets.size(); ++k)
        contiguous = m.offsets[k + 1] == m.offsets[k] + m.unit;
    if (contiguous && bin::fits(file.size(), m.offsets.front(), m.size))
        return file.subspan(m.offsets.front(), m.size);
    copy = r.read(e);
    return copy;
}

// The WordDocument stream: by name, else by the FIB signature at a sector start (or at the
// very start of a bare stream).
bool findWordDocument(Source& s, const cfb::Reader& r) {
    if (const auto* e = r.findStream("WordDocument")) {
        const Bytes bytes = streamBytes(r, s.file, *e, s.wordCopy);
        if (auto fib = parseFib(bytes)) {
            s.word = bytes;
            s.fib = *fib;
            return true;
        }
        s.wordCopy = {};
    }
    if (fibSignatureAt(s.file, 0)) {
        s.word = s.file;
        s.fib = *parseFib(s.word);
        return true;
    }
    for (std::uint32_t sec = 0; sec < r.sectorCount(); ++sec) {
        const std::size_t at = r.sectorOffset(sec);
        if (!fibSignatureAt(s.file, at))
            continue;
        auto bytes = r.readChain(sec, s.file.size());
        auto fib = parseFib(bytes);
        if (!fib)
            continue;
        // A chain shorter than the FIB says the text needs comes from a damaged FAT: then
        // the stream is taken as the contiguous bytes from its start.
        s.fib = *fib;
        if (bytes.size() < fib->fcMac) {
            s.word = bin::slice(s.file, at);
        } else {
            s.wordCopy = std::move(bytes);
            s.word = s.wordCopy;
        }
        return true;
    }
    return false;
}

void findTable(Source& s, const cfb::Reader& r) {
    if (!s.fib.unicodeCapable) {
        s.table = s.word; // Word 6/95 keep everything in one stream
        s.haveTable = true;
        return;
    }
    const FcLcb clx = s.fib.pair(kClx);
    auto fitsClx = [&](const std::vector<std::uint8_t>& t) {
        return bin::fits(t.size(), clx.fc, clx.lcb) && usablePieces(parseClx(bin::slice(t, clx.fc, clx.lcb), s.fib), s);
    };
    const char* names[2] = {s.fib.tableInOneTable ? "1Table" : "0Table", s.fib.tableInOneTable ? "0Table" : "1Table"};
    for (const char* name : names) {
        if (const auto* e = r.findStream(name)) {
            auto bytes = r.read(*e);
            if (fitsClx(bytes)) {
                s.tableCopy = std::move(bytes);
                s.table = s.tableCopy;
                s.haveTable = true;
                return;
            }
        }
    }
    // A lost directory entry: try every chain of the FAT.
    for (std::uint32_t start : r.chainStarts()) {
        auto bytes = r.readChain(start, s.file.size());
        if (fitsClx(bytes)) {
            s.tableCopy = std::move(bytes);
            s.table = s.tableCopy;
            s.haveTable = true;
            return;
        }
    }
}

// The pieces of the table stream's Clx, else of a piece table found in the raw file; empty
// when neither fits the FIB.
std::vector<Piece> pieceTable(const Source& s) {
    std::vector<Piece> pieces;
    if (s.haveTable) {
        const FcLcb clx = s.fib.pair(kClx);
        pieces = parseClx(bin::slice(s.table, clx.fc, clx.lcb), s.fib);
    }
    if (!usablePieces(pieces, s))
        pieces = scanForPieceTable(s.file, s);
    if (!usablePieces(pieces, s))
        pieces.clear();
    return pieces;
}

std::optional<Picture> pictureDocumentRecord(Bytes file) {
    if (!docpic::looksLikeRecord(file, kPictureRecordOffset))
        return std::nullopt;
    const std::uint32_t lcb = bin::u32(file, kPictureRecordOffset);
    return docpic::pictureFromRecord(bin::slice(file, kPictureRecordOffset, lcb));
}


} // namespace

bool looksLikeDocBinary(std::span<const std::uint8_t> bytes) {
    if (cfb::hasSignature(bytes) || fibSignatureAt(bytes, 0))
        return true;
    // A compound file header with a damaged signature.
    if (bin::u16(bytes, 28) == 0xFFFE && bin::u16(bytes, 30) == 9 && bin::u16(bytes, 26) == 3)
        return true;
    // A compound file whose header was zeroed: the FIB still starts a sector.
    if (bytes.size() < 1024 || !std::all_of(bytes.begin(), bytes.begin() + 512, [](std::uint8_t b) { return b == 0; }))
        return false;
    for (std::size_t at = 512; at + 512 <= bytes.size() && at <= (4u << 20); at += 512)
        if (fibSignatureAt(bytes, at))
            return true;
    return false;
}

Document readDocBinary(std::span<const std::uint8_t> bytes) {
    const auto templatePicture = pictureDocumentRecord(bytes);
    Source s;
    s.file = bytes;
    const cfb::Reader r(bytes);
    if (!findWordDocument(s, r)) {
        // The FIB is lost but the stream is there: its text can still be found.
        const auto* e = r.findStream("WordDocument");
        if (e)
            s.word = streamBytes(r, s.file, *e, s.wordCopy);
        if (s.word.size() <= kFibSize) {
            if (templatePicture) {
                Document d;
                d.insertPicture(*templatePicture);
                return d;
            }
            throw DocError("no Word document found in the file");
        }
        s.fib.unicodeCapable = true;
        s.fib.tableInOneTable = true;
    }
    if (s.fib.encrypted)
        throw DocError("the Word document is encrypted");
    findTable(s, r);
    if (s.fib.unicodeCapable) {
        if (const auto* e = r.findStream("Data")) {
            s.data = streamBytes(r, s.file, *e, s.dataCopy);
            s.dataMap = r.map(*e);
        }
    }

    std::vector<Piece> pieces = pieceTable(s);
    if (!usablePieces(pieces, s))
        pieces = guessPieces(s);

    Reading reading = buildDocument(s, pieces);
    Document doc = std::move(reading.doc);
    if (templatePicture && !doc.hasText() && doc.pictureCount() <= 1) {
        // A picture document: the record written at its fixed offset is the whole content.
        Document d;
        d.insertPicture(*templatePicture);
        return d;
    }
    if (reading.unresolvedPictures && doc.pictureCount() == 0) {
        // The picture records could not be reached through the streams: take those found
        // by their signature, in file order.
        for (auto& p : scanForRecords(bytes))
            doc.insertPicture(std::move(p));
    }
    return doc;
}

bool forEachPieceTableText(std::span<const std::uint8_t> bytes, const std::function<void(std::string_view)>& chunk) {
    Source s;
    s.file = bytes;
    const cfb::Reader r(bytes);
    if (!findWordDocument(s, r) || s.fib.encrypted)
        return false;
    findTable(s, r);
    const std::vector<Piece> pieces = pieceTable(s);
    if (pieces.empty())
        return false;
    std::u16string plain; // may start with a high surrogate kept back from the window before
    forEachWindow(s, pieces, 0, pieces.back().cpEnd, [&](const Text& t, std::size_t count, bool last) {
        for (std::size_t i = 0; i < count; ++i) {
            const char16_t c = t.chars[i];
            if (c == kChParagraph || c == kChCellMark || c == kChPageBreak || c == kChColumnBreak)
                plain.push_back(u'\r');
            else if (c == u'\t' || c == kChLineBreak)
                plain.push_back(c == u'\t' ? u'\t' : u'\v');
            else if (c == kChNonBreakingHyphen)
                plain.push_back(u'-');
            else if (c >= 0x20)
                plain.push_back(c);
        }
        // A surrogate pair cut at the window's end is completed by the next window.
        char16_t high = 0;
        if (!last && !plain.empty() && plain.back() >= 0xD800 && plain.back() <= 0xDBFF) {
            high = plain.back();
            plain.pop_back();
        }
        if (!plain.empty())
            chunk(utf8Of(plain));
        plain.clear();
        if (high)
            plain.push_back(high);
    });
    return true;
}

std::optional<std::string> pieceTableText(std::span<const std::uint8_t> bytes) {
    std::string text;
    if (!forEachPieceTableText(bytes, [&](std::string_view chunk) { text += chunk; }))
        return std::nullopt;
    return text;
}

} // namespace qm::docserver
