// The Word 97-2003 binary writer, streaming through scratch files: a WordDocument stream (FIB, text, Sepx, character and
// paragraph property pages), a 1Table stream (stylesheet, section table, property page
// tables, font table, document properties, piece table) and a Data stream with one picture
// record per inline picture, all in an OLE2 compound file.
#include "docserver/cfb_writer.h"
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_format.h"
#include "docserver/doc_picture_record.h"
#include "docserver/format_io.h"
#include "platform/codepage.h"
#include "platform/files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace qm::docserver {
namespace {

using namespace docfmt;

constexpr std::size_t kFkpSize = 512;
constexpr std::size_t kMinWordDocumentSize = 4096; // readers reject smaller text streams
constexpr std::size_t kTextStart = 0x400;          // where Word 97 documents usually keep their text

std::u16string toUtf16(const std::string& utf8) {
    const std::string le = codepage::utf8ToUtf16le(utf8);
    std::u16string out;
    out.reserve(le.size() / 2);
    for (std::size_t i = 0; i + 1 < le.size(); i += 2)
        out.push_back(char16_t(static_cast<unsigned char>(le[i]) | (static_cast<unsigned char>(le[i + 1]) << 8)));
    return out;
}

// The document as Word's character stream, a piece at a time: text, 0x01 for each picture,
// 0x0D ending every paragraph. Tabs and line breaks are kept as Word stores them; other
// controls would be read as Word's own marks, so they are left out.
void forEachUnits(const Document& doc, const std::function<void(const std::u16string& units)>& text,
                  const std::function<void(const Picture&)>& picture) {
    std::u16string units;
    doc.forEachPiece([&](const Paragraph& piece, bool ends) {
        for (const auto& run : piece.runs) {
            if (run.picture) {
                text(units);
                units.clear();
                picture(*run.picture);
                continue;
            }
            for (char16_t c : toUtf16(run.text))
                if (c == u'\t' || c == kChLineBreak || c >= 0x20)
                    units.push_back(c);
        }
        if (ends)
            units.push_back(kChParagraph);
        text(units);
        units.clear();
    });
}

files::ScratchFile newScratch() {
    auto f = files::ScratchFile::create();
    if (!f)
        throw DocError(std::string("cannot create a temporary file: ") + std::strerror(errno));
    return std::move(*f);
}

void put(files::ScratchFile& f, const void* data, std::size_t n) {
    if (!f.append(data, n))
        throw DocError(std::string("cannot write a temporary file: ") + std::strerror(errno));
}

// A stream made of parts held in memory and parts in scratch files, read as one.
struct Parts {
    struct Part {
        std::vector<std::uint8_t> bytes;
        files::ScratchFile* file = nullptr;
        std::uint64_t size() const { return file ? file->size() : bytes.size(); }
    };
    std::vector<Part> parts;
    void add(std::vector<std::uint8_t> bytes) { parts.push_back({std::move(bytes), nullptr}); }
    void add(files::ScratchFile& file) { parts.push_back({{}, &file}); }
    std::uint64_t size() const {
        std::uint64_t n = 0;
        for (const auto& p : parts)
            n += p.size();
        return n;
    }
    cfb::StreamSource source(const std::string& name) const {
        return {name, size(), [this](std::uint64_t offset, std::span<std::uint8_t> out) {
                    std::size_t done = 0;
                    for (const auto& p : parts) {
                        const std::uint64_t size = p.size();
                        if (offset >= size) {
                            offset -= size;
                            continue;
                        }
                        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, out.size() - done));
                        if (p.file) {
                            if (!p.file->readAt(offset, out.data() + done, n))
                                throw DocError(std::string("cannot read a temporary file: ") + std::strerror(errno));
                        } else {
                            std::copy_n(p.bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin() + done);
                        }
                        done += n;
                        offset = 0;
                        if (done == out.size())
                            return;
                    }
                }};
    }
};

struct Fkps {
    std::vector<std::uint32_t> firstFcs; // first fc of each page, then the end fc
    std::vector<std::uint32_t> pages;    // page numbers in the WordDocument stream
};

struct CharRun {
    std::uint32_t fcStart, fcEnd;
    std::vector<std::uint8_t> grpprl; // empty: the style's properties
};

// Pads w with zeros so that base + w.size() is a multiple of align.
void alignAt(bin::Writer& w, std::size_t base, std::size_t align) {
    if ((base + w.size()) % align)
        w.zeros(align - (base + w.size()) % align);
}

// Character property pages: rgfc, rgb, then the CHPXs packed from the page end down. wd
// continues the stream at offset base.
Fkps writeChpxFkps(bin::Writer& wd, std::size_t base, const std::vector<CharRun>& runs) {
    Fkps out;
    std::size_t i = 0;
    while (i < runs.size()) {
        std::size_t n = 0, top = kFkpSize - 1;
        std::vector<std::size_t> at;
        while (i + n < runs.size()) {
            const auto& g = runs[i + n].grpprl;
            std::size_t place = 0, newTop = top;
            if (!g.empty()) {
                place = (top - (1 + g.size())) & ~std::size_t(1);
                newTop = place;
            }
            const std::size_t fixedEnd = 4 * (n + 2) + (n + 1);
            if (newTop < fixedEnd || (g.size() + 1) > top)
                break;
            at.push_back(place);
            top = newTop;
            ++n;
        }
        if (n == 0)
            throw DocError("character properties too large for a property page");
        alignAt(wd, base, kFkpSize);
        const std::size_t page = wd.size();
        wd.zeros(kFkpSize);
        auto& b = wd.bytes;
        for (std::size_t k = 0; k <= n; ++k)
            wd.set32(page + 4 * k, k < n ? runs[i + k].fcStart : runs[i + n - 1].fcEnd);
        for (std::size_t k = 0; k < n; ++k) {
            b[page + 4 * (n + 1) + k] = static_cast<std::uint8_t>(at[k] / 2);
            const auto& g = runs[i + k].grpprl;
            if (!g.empty()) {
                b[page + at[k]] = static_cast<std::uint8_t>(g.size());
                std::copy(g.begin(), g.end(), b.begin() + static_cast<std::ptrdiff_t>(page + at[k] + 1));
            }
        }
        b[page + kFkpSize - 1] = static_cast<std::uint8_t>(n);
        out.firstFcs.push_back(runs[i].fcStart);
        out.pages.push_back(static_cast<std::uint32_t>((base + page) / kFkpSize));
        i += n;
    }
    if (!runs.empty())
        out.firstFcs.push_back(runs.back().fcEnd);
    return out;
}

// A paragraph property page for up to kParagraphsPerPage paragraphs (fcs holds their first
// fcs and the end fc), all sharing one PAPX (Normal style, left aligned) at the page end.
constexpr std::size_t kPapxAt = 504;
constexpr std::size_t kParagraphsPerPage = (kPapxAt - 4) / (4 + 13);

std::array<std::uint8_t, kFkpSize> papxPage(const std::vector<std::uint32_t>& fcs) {
    static constexpr std::uint8_t papx[] = {0x03, 0x00, 0x00, 0x03, 0x24, 0x00}; // istd 0, sprmPJc80 0
    std::array<std::uint8_t, kFkpSize> page{};
    const std::size_t n = fcs.size() - 1;
    for (std::size_t k = 0; k <= n; ++k)
        for (int b = 0; b < 4; ++b)
            page[4 * k + b] = static_cast<std::uint8_t>(fcs[k] >> (8 * b));
    for (std::size_t k = 0; k < n; ++k)
        page[4 * (n + 1) + 13 * k] = kPapxAt / 2;
    std::copy(std::begin(papx), std::end(papx), page.begin() + kPapxAt);
    page[kFkpSize - 1] = static_cast<std::uint8_t>(n);
    return page;
}

void putPlcBte(bin::Writer& t, const Fkps& f) {
    for (std::uint32_t fc : f.firstFcs)
        t.u32(fc);
    for (std::uint32_t pn : f.pages)
        t.u32(pn);
}

void putSprm16(bin::Writer& w, std::uint16_t sprm, std::uint16_t value) {
    w.u16(sprm);
    w.u16(value);
}

// A style: StdfBase (Word 97 size), name, and its UPXs.
void putStd(bin::Writer& t, std::uint16_t sti, std::uint16_t stk, std::uint16_t istdNext,
            const std::vector<std::vector<std::uint8_t>>& upxs, std::string_view name) {
    bin::Writer s;
    s.u16(std::uint16_t(0x4000 | sti)); // fHasUpe
    s.u16(std::uint16_t(0xFFF0 | stk)); // istdBase: none
    s.u16(std::uint16_t((istdNext << 4) | upxs.size()));
    s.u16(0); // bchUpe, set below
    s.u16(0); // grfstd
    s.u16(static_cast<std::uint16_t>(name.size()));
    s.ascii16(name);
    s.u16(0);
    for (const auto& upx : upxs) {
        s.u16(static_cast<std::uint16_t>(upx.size()));
        s.put(upx);
        s.align(2);
    }
    s.set16(6, static_cast<std::uint16_t>(s.size()));
    t.u16(static_cast<std::uint16_t>(s.size()));
    t.put(s.bytes);
}

void putStylesheet(bin::Writer& t) {
    constexpr std::uint16_t kStyles = 15; // the fixed-index styles
    t.u16(18);                            // cbStshi
    t.u16(kStyles);                       // cstd
    t.u16(0x000A);                        // cbSTDBaseInFile
    t.u16(1);                             // fStdStylenamesWritten
    t.u16(0x005B);                        // stiMaxWhenSaved
    t.u16(0x000F);                        // istdMaxFixedWhenSaved
    t.u16(0);                             // nVerBuiltInNamesWhenSaved
    t.u16(0);                             // default fonts: the font table's first entry
    t.u16(0);
    t.u16(0);
    for (std::uint16_t istd = 0; istd < kStyles; ++istd) {
        if (istd == 0) {
            bin::Writer chp;
            putSprm16(chp, 0x4A43, 24);     // sprmCHps: 12 pt
            putSprm16(chp, 0x4A4F, 0);      // sprmCRgFtc0: font 0
            putSprm16(chp, 0x4A51, 0);      // sprmCRgFtc2: font 0
            putSprm16(chp, 0x486D, 0x0409); // sprmCRgLid0
            putStd(t, 0, 1, 0, {{0x00, 0x00}, chp.bytes}, "Normal");
        } else if (istd == 10) {
            putStd(t, 65, 2, 10, {{}}, "Default Paragraph Font");
        } else {
            t.u16(0); // an empty slot
        }
    }
}

void putFontTable(bin::Writer& t) {
    static constexpr std::uint8_t panose[10] = {2, 2, 6, 3, 5, 4, 5, 2, 3, 4};
    const std::string_view name = "Times New Roman";
    t.u16(1); // one font
    t.u16(0); // no extra data
    t.u8(static_cast<std::uint8_t>(39 + 2 * (name.size() + 1)));
    t.u8(0x16);  // variable pitch, TrueType, roman family
    t.u16(400);  // weight
    t.u8(0);     // ANSI character set
    t.u8(0);     // no alternate name
    t.put(panose);
    t.zeros(24); // font signature
    t.ascii16(name);
    t.u16(0);
}

// Document properties (Word 97 size): default tab stops, footnote and endnote numbering.
void putDop(bin::Writer& t) {
    const std::size_t at = t.size();
    t.zeros(500);
    t.bytes[at] = 0x22;                // fWidowControl, footnotes at the bottom of the page
    t.set16(at + 2, 1 << 2);           // footnotes numbered from 1
    t.set16(at + 10, 720);             // dxaTab: half an inch
    t.set16(at + 14, 360);             // dxaHotZ
    t.set16(at + 52, 1 << 2);          // endnotes numbered from 1
    t.set16(at + 54, 3);               // endnotes at the end of the document
}

struct Layout {
    std::size_t textAt = kTextStart;
    bool pictureTemplate = false;
};

// The three streams of a document, built in scratch files: WordDocument (the FIB, then the
// text, the section properties and the property pages), 1Table and Data.
struct WordStreams {
    files::ScratchFile text = newScratch(), papxPages = newScratch(), papxPlc = newScratch(), data = newScratch();
    Parts wordDocument, table, dataStream;

    std::vector<cfb::StreamSource> sources() const {
        std::vector<cfb::StreamSource> out{wordDocument.source("WordDocument"), table.source("1Table")};
        if (dataStream.size() > 0)
            out.push_back(dataStream.source("Data"));
        return out;
    }
};

void put32(files::ScratchFile& f, std::uint32_t v) {
    const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    put(f, b, 4);
}

// Two passes over the document: the first counts the characters, finds whether they all have
// a Windows-1252 byte and writes the picture records; the second writes the text and the
// paragraph property pages. Nothing grows with the document but the scratch files (and one
// entry per picture).
void buildStreams(const Document& doc, const Layout& layout, WordStreams& out) {
    std::uint64_t units = 0;
    bool eightBit = true;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> pictures; // cp, record offset in Data
    forEachUnits(
        doc,
        [&](const std::u16string& text) {
            units += text.size();
            for (std::size_t i = 0; eightBit && i < text.size(); ++i)
                eightBit = cp1252Byte(text[i]) >= 0;
        },
        [&](const Picture& picture) {
            if (out.data.size() > 0xFFFFFFFFu)
                throw DocError("the pictures are too large for a Word 97-2003 document");
            pictures.emplace_back(units++, static_cast<std::uint32_t>(out.data.size()));
            const auto record = docpic::buildRecord(picture);
            put(out.data, record.data(), record.size());
        });
    const std::size_t charSize = eightBit ? 1 : 2;
    const auto fcText = static_cast<std::uint32_t>(layout.textAt);
    // The stream's offsets are 32-bit, and a compound file stream holds at most 2 GB.
    if (fcText + units * charSize > 0x7FF00000u)
        throw DocError("the text is too large for a Word 97-2003 document");
    const auto ccpText = static_cast<std::uint32_t>(units);
    const auto fcTextEnd = static_cast<std::uint32_t>(fcText + units * charSize);
    auto fcOf = [&](std::uint64_t cp) { return static_cast<std::uint32_t>(fcText + cp * charSize); };

    // What follows the text in WordDocument: one section (US Letter with one-inch margins),
    // then the character property pages.
    bin::Writer tail;
    alignAt(tail, fcTextEnd, 2);
    const auto fcSepx = static_cast<std::uint32_t>(fcTextEnd + tail.size());
    bin::Writer sep;
    putSprm16(sep, 0xB01F, 12240); // sprmSXaPage
    putSprm16(sep, 0xB020, 15840); // sprmSYaPage
    putSprm16(sep, 0xB021, 1440);  // sprmSDxaLeft
    putSprm16(sep, 0xB022, 1440);  // sprmSDxaRight
    putSprm16(sep, 0x9023, 1440);  // sprmSDyaTop
    putSprm16(sep, 0x9024, 1440);  // sprmSDyaBottom
    tail.u16(static_cast<std::uint16_t>(sep.size()));
    tail.put(sep.bytes);

    // Character runs: plain text, and one run per picture character carrying fSpec and the
    // picture's place in the Data stream.
    std::vector<CharRun> runs;
    std::uint64_t cp = 0;
    for (const auto& [pictureCp, offset] : pictures) {
        if (pictureCp > cp)
            runs.push_back({fcOf(cp), fcOf(pictureCp), {}});
        bin::Writer g;
        g.u16(kSprmCFSpec);
        g.u8(1);
        g.u16(kSprmCPicLocation);
        g.u32(offset);
        runs.push_back({fcOf(pictureCp), fcOf(pictureCp + 1), g.bytes});
        cp = pictureCp + 1;
    }
    if (cp < units)
        runs.push_back({fcOf(cp), fcOf(units), {}});
    const Fkps chpx = writeChpxFkps(tail, fcTextEnd, runs);
    alignAt(tail, fcTextEnd, kFkpSize);
    const std::size_t firstPapxPage = (fcTextEnd + tail.size()) / kFkpSize;

    // Second pass: the text, and a paragraph property page for every kParagraphsPerPage
    // paragraphs; the first fc of each page goes to the page table as it comes.
    std::vector<std::uint32_t> pageFcs{fcText};
    std::uint32_t papxPages = 0;
    auto flushPage = [&] {
        const auto page = papxPage(pageFcs);
        put(out.papxPages, page.data(), page.size());
        put32(out.papxPlc, pageFcs.front());
        ++papxPages;
        pageFcs = {pageFcs.back()};
    };
    std::string bytes;
    cp = 0;
    auto unit = [&](char16_t c) {
        if (eightBit) {
            bytes.push_back(static_cast<char>(cp1252Byte(c)));
        } else {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>(c >> 8));
        }
        ++cp;
        if (c == kChParagraph) {
            pageFcs.push_back(fcOf(cp));
            if (pageFcs.size() == kParagraphsPerPage + 1)
                flushPage();
        }
    };
    forEachUnits(
        doc,
        [&](const std::u16string& text) {
            for (char16_t c : text)
                unit(c);
            put(out.text, bytes.data(), bytes.size());
            bytes.clear();
        },
        [&](const Picture&) { unit(kChPicture); });
    put(out.text, bytes.data(), bytes.size());
    if (pageFcs.size() > 1)
        flushPage();
    put32(out.papxPlc, pageFcs.back());
    for (std::uint32_t k = 0; k < papxPages; ++k)
        put32(out.papxPlc, static_cast<std::uint32_t>(firstPapxPage + k));
    const auto cbMac = static_cast<std::uint32_t>(fcTextEnd + tail.size() + out.papxPages.size());

    // 1Table: stylesheet, section table and character page table in front of the paragraph
    // page table (in its scratch file), the font table, document properties and piece table after.
    bin::Writer t;
    FibPairs fib;
    std::size_t base = 0; // where t starts in the stream
    auto begin = [&](int index) { fib[index].fc = static_cast<std::uint32_t>(base + t.size()); };
    auto end = [&](int index) { fib[index].lcb = static_cast<std::uint32_t>(base + t.size()) - fib[index].fc; };
    begin(kStshf);
    putStylesheet(t);
    end(kStshf);
    fib[kStshfOrig] = fib[kStshf];
    begin(kPlcfSed);
    t.u32(0);
    t.u32(ccpText);
    t.u16(0);      // fn
    t.u32(fcSepx); // fcSepx
    t.u16(0);      // fnMpr
    t.u32(0xFFFFFFFF);
    end(kPlcfSed);
    begin(kPlcfBteChpx);
    putPlcBte(t, chpx);
    end(kPlcfBteChpx);
    fib[kPlcfBtePapx].fc = static_cast<std::uint32_t>(t.size());
    fib[kPlcfBtePapx].lcb = static_cast<std::uint32_t>(out.papxPlc.size());
    out.table.add(std::move(t.bytes));
    out.table.add(out.papxPlc);
    base = fib[kPlcfBtePapx].fc + fib[kPlcfBtePapx].lcb;
    t = bin::Writer{};
    begin(kSttbfFfn);
    putFontTable(t);
    end(kSttbfFfn);
    begin(kDop);
    putDop(t);
    end(kDop);
    begin(kClx);
    t.u8(0x02);  // Pcdt
    t.u32(16);   // one piece
    t.u32(0);
    t.u32(ccpText);
    t.u16(0);
    t.u32(eightBit ? (fcText * 2) | 0x40000000u : fcText);
    t.u16(0);
    end(kClx);
    out.table.add(std::move(t.bytes));

    // The FIB, in front of the text.
    std::vector<std::uint8_t> head(layout.textAt, 0);
    FibFields f;
    f.textMarker = layout.textAt == kTextStart;
    f.hasPictures = !pictures.empty();
    f.fcMin = fcText;
    f.fcMac = fcTextEnd;
    f.cbMac = cbMac;
    f.ccpText = ccpText;
    writeFib(head, f, fib);
    out.wordDocument.add(std::move(head));
    out.wordDocument.add(out.text);
    out.wordDocument.add(std::move(tail.bytes));
    out.wordDocument.add(out.papxPages);
    if (cbMac < kMinWordDocumentSize)
        out.wordDocument.add(std::vector<std::uint8_t>(kMinWordDocumentSize - cbMac, 0));

    const std::uint64_t dataSize = out.data.size();
    if (layout.pictureTemplate && dataSize < cfb::kMiniStreamCutoff)
        put(out.data, std::vector<std::uint8_t>(cfb::kMiniStreamCutoff - dataSize, 0).data(),
            cfb::kMiniStreamCutoff - dataSize);
    else if (dataSize > 0 && dataSize % cfb::kSectorSize == 0)
        put(out.data, "", 1); // a record never ends the file: the salvage scan wants a byte after it
    if (out.data.size() > 0)
        out.dataStream.add(out.data);
}

cfb::WriteOptions wordOptions() {
    cfb::WriteOptions o;
    o.rootClsid = docfmt::kWordDocumentClsid;
    return o;
}

// A 4 x 4 pixel PNG: the picture of the template.
constexpr std::uint8_t kTemplatePng[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x00, 0x00, 0x04, 0x08, 0x02, 0x00, 0x00, 0x00, 0x26, 0x93, 0x09, 0x29, 0x00, 0x00, 0x00, 0x10, 0x49,
    0x44, 0x41, 0x54, 0x78, 0xDA, 0x63, 0x38, 0xA1, 0xA1, 0x01, 0x47, 0x0C, 0xC4, 0x71, 0x00, 0xD1, 0x43, 0x11, 0x81,
    0xA0, 0xD3, 0x6E, 0x64, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

} // namespace

std::vector<std::uint8_t> writeDocBinary(const Document& doc) {
    WordStreams streams;
    buildStreams(doc, Layout{}, streams);
    std::vector<std::uint8_t> file;
    cfb::writeCompoundFile([&](std::span<const std::uint8_t> b) { file.insert(file.end(), b.begin(), b.end()); },
                           streams.sources(), wordOptions());
    return file;
}

void writeDocBinary(const Document& doc, const std::filesystem::path& file) {
    WordStreams streams;
    buildStreams(doc, Layout{}, streams);
    FileSink sink(file);
    try {
        cfb::writeCompoundFile(
            [&](std::span<const std::uint8_t> b) { sink.write({reinterpret_cast<const char*>(b.data()), b.size()}); },
            streams.sources(), wordOptions());
    } catch (const std::length_error& e) {
        throw DocError(e.what());
    }
    sink.commit();
}

std::vector<std::uint8_t> makePictureTemplate() {
    Document doc;
    doc.insertPicture(Picture::fromBytes({std::begin(kTemplatePng), std::end(kTemplatePng)}));

    // Everything a reader needs lies before the picture record: the FAT, the directory, the
    // mini FAT, the mini stream (1Table) and the front of WordDocument (FIB, text and property
    // pages in four sectors). The Data stream, which starts with the record, follows at
    // offset 5120; the padding tail of WordDocument comes last, where a longer record may
    // overwrite it.
    Layout layout;
    layout.textAt = kFibSize;
    layout.pictureTemplate = true;
    WordStreams streams;
    buildStreams(doc, layout, streams);
    const std::vector<std::uint8_t> record = docpic::buildRecord(*doc.pictures().front());
    cfb::WriteOptions options = wordOptions();
    options.tablesFirst = true;
    options.order = {{"WordDocument", 4}, {"Data", 0}};
    std::vector<std::uint8_t> file;
    cfb::writeCompoundFile([&](std::span<const std::uint8_t> b) { file.insert(file.end(), b.begin(), b.end()); },
                           streams.sources(), options);
    if (file.size() < kPictureRecordOffset + record.size() ||
        !std::equal(record.begin(), record.end(), file.begin() + kPictureRecordOffset))
        throw std::logic_error("picture template layout does not put the record at its offset");
    return file;
}

} // namespace qm::docserver
