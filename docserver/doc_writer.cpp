// The Word 97-2003 binary writer: a WordDocument stream (FIB, text, Sepx, character and
// paragraph property pages), a 1Table stream (stylesheet, section table, property page
// tables, font table, document properties, piece table) and a Data stream with one picture
// record per inline picture, all in an OLE2 compound file.
#include "docserver/cfb_writer.h"
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_format.h"
#include "docserver/doc_picture_record.h"
#include "platform/codepage.h"

#include <algorithm>
#include <stdexcept>

namespace qm::docserver {
namespace {

using namespace docfmt;

constexpr std::size_t kFkpSize = 512;
constexpr std::size_t kMinWordDocumentSize = 4096; // readers reject smaller text streams
constexpr std::size_t kTextStart = 0x400;          // where Word 97 documents usually keep their text

// The document as Word's character stream: text, 0x01 for each picture, 0x0D ending every
// paragraph; the picture records collected into the Data stream.
struct Flow {
    std::u16string text;
    std::vector<std::pair<std::size_t, std::uint32_t>> pictures; // cp, record offset in Data
    std::vector<std::uint8_t> data;
};

std::u16string toUtf16(const std::string& utf8) {
    const std::string le = codepage::utf8ToUtf16le(utf8);
    std::u16string out;
    out.reserve(le.size() / 2);
    for (std::size_t i = 0; i + 1 < le.size(); i += 2)
        out.push_back(char16_t(static_cast<unsigned char>(le[i]) | (static_cast<unsigned char>(le[i + 1]) << 8)));
    return out;
}

Flow flowOf(const Document& doc) {
    Flow f;
    for (const auto& para : doc.paragraphs()) {
        for (const auto& run : para.runs) {
            if (run.picture) {
                f.pictures.emplace_back(f.text.size(), static_cast<std::uint32_t>(f.data.size()));
                const auto record = docpic::buildRecord(*run.picture);
                f.data.insert(f.data.end(), record.begin(), record.end());
                f.text.push_back(kChPicture);
                continue;
            }
            for (char16_t c : toUtf16(run.text)) {
                // Tabs and line breaks are stored as Word stores them; other controls would
                // be read as Word's own marks, so they are left out.
                if (c == u'\t' || c == kChLineBreak || c >= 0x20)
                    f.text.push_back(c);
            }
        }
        f.text.push_back(kChParagraph);
    }
    return f;
}

// The text as one 8-bit piece when every character has a Windows-1252 byte.
std::optional<std::vector<std::uint8_t>> compressed(const std::u16string& text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    for (char16_t c : text) {
        const int b = cp1252Byte(c);
        if (b < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

struct Fkps {
    std::vector<std::uint32_t> firstFcs; // first fc of each page, then the end fc
    std::vector<std::uint32_t> pages;    // page numbers in the WordDocument stream
};

struct CharRun {
    std::uint32_t fcStart, fcEnd;
    std::vector<std::uint8_t> grpprl; // empty: the style's properties
};

// Character property pages: rgfc, rgb, then the CHPXs packed from the page end down.
Fkps writeChpxFkps(bin::Writer& wd, const std::vector<CharRun>& runs) {
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
        wd.align(kFkpSize);
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
        out.pages.push_back(static_cast<std::uint32_t>(page / kFkpSize));
        i += n;
    }
    if (!runs.empty())
        out.firstFcs.push_back(runs.back().fcEnd);
    return out;
}

// Paragraph property pages: one entry per paragraph, all sharing one PAPX (Normal style,
// left aligned) at the page end.
Fkps writePapxFkps(bin::Writer& wd, const std::vector<std::uint32_t>& paraFcs) {
    constexpr std::size_t kPapxAt = 504;
    static constexpr std::uint8_t papx[] = {0x03, 0x00, 0x00, 0x03, 0x24, 0x00}; // istd 0, sprmPJc80 0
    constexpr std::size_t kPerPage = (kPapxAt - 4) / (4 + 13);
    Fkps out;
    const std::size_t paragraphs = paraFcs.size() - 1;
    for (std::size_t i = 0; i < paragraphs; i += kPerPage) {
        const std::size_t n = std::min(kPerPage, paragraphs - i);
        wd.align(kFkpSize);
        const std::size_t page = wd.size();
        wd.zeros(kFkpSize);
        for (std::size_t k = 0; k <= n; ++k)
            wd.set32(page + 4 * k, paraFcs[i + k]);
        for (std::size_t k = 0; k < n; ++k)
            wd.bytes[page + 4 * (n + 1) + 13 * k] = kPapxAt / 2;
        std::copy(std::begin(papx), std::end(papx), wd.bytes.begin() + static_cast<std::ptrdiff_t>(page + kPapxAt));
        wd.bytes[page + kFkpSize - 1] = static_cast<std::uint8_t>(n);
        out.firstFcs.push_back(paraFcs[i]);
        out.pages.push_back(static_cast<std::uint32_t>(page / kFkpSize));
    }
    out.firstFcs.push_back(paraFcs.back());
    return out;
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

std::vector<cfb::Stream> buildStreams(const Document& doc, const Layout& layout) {
    Flow flow = flowOf(doc);
    const auto cp1252 = compressed(flow.text);
    const std::size_t charSize = cp1252 ? 1 : 2;
    const std::uint32_t ccpText = static_cast<std::uint32_t>(flow.text.size());

    // WordDocument: the FIB, then the text.
    bin::Writer wd;
    wd.zeros(kFibSize);
    wd.padTo(layout.textAt);
    const auto fcText = static_cast<std::uint32_t>(wd.size());
    if (cp1252) {
        wd.put(*cp1252);
    } else {
        for (char16_t c : flow.text)
            wd.u16(c);
    }
    const auto fcTextEnd = static_cast<std::uint32_t>(wd.size());
    auto fcOf = [&](std::size_t cp) { return static_cast<std::uint32_t>(fcText + cp * charSize); };

    // One section: US Letter with one-inch margins.
    wd.align(2);
    const auto fcSepx = static_cast<std::uint32_t>(wd.size());
    bin::Writer sep;
    putSprm16(sep, 0xB01F, 12240); // sprmSXaPage
    putSprm16(sep, 0xB020, 15840); // sprmSYaPage
    putSprm16(sep, 0xB021, 1440);  // sprmSDxaLeft
    putSprm16(sep, 0xB022, 1440);  // sprmSDxaRight
    putSprm16(sep, 0x9023, 1440);  // sprmSDyaTop
    putSprm16(sep, 0x9024, 1440);  // sprmSDyaBottom
    wd.u16(static_cast<std::uint16_t>(sep.size()));
    wd.put(sep.bytes);

    // Character runs: plain text, and one run per picture character carrying fSpec and the
    // picture's place in the Data stream.
    std::vector<CharRun> runs;
    std::size_t cp = 0;
    for (const auto& [pictureCp, offset] : flow.pictures) {
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
    if (cp < flow.text.size())
        runs.push_back({fcOf(cp), fcOf(flow.text.size()), {}});
    std::vector<std::uint32_t> paraFcs{fcText};
    for (std::size_t i = 0; i < flow.text.size(); ++i)
        if (flow.text[i] == kChParagraph)
            paraFcs.push_back(fcOf(i + 1));
    const Fkps chpx = writeChpxFkps(wd, runs);
    const Fkps papx = writePapxFkps(wd, paraFcs);
    const auto cbMac = static_cast<std::uint32_t>(wd.size());
    wd.padTo(kMinWordDocumentSize);

    // 1Table.
    bin::Writer t;
    FibPairs fib;
    auto begin = [&](int index) { fib[index].fc = static_cast<std::uint32_t>(t.size()); };
    auto end = [&](int index) { fib[index].lcb = static_cast<std::uint32_t>(t.size()) - fib[index].fc; };
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
    begin(kPlcfBtePapx);
    putPlcBte(t, papx);
    end(kPlcfBtePapx);
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
    t.u32(cp1252 ? (fcText * 2) | 0x40000000u : fcText);
    t.u16(0);
    end(kClx);

    // The FIB.
    FibFields f;
    f.textMarker = layout.textAt == kTextStart;
    f.hasPictures = !flow.pictures.empty();
    f.fcMin = fcText;
    f.fcMac = fcTextEnd;
    f.cbMac = cbMac;
    f.ccpText = ccpText;
    writeFib(wd.bytes, f, fib);

    if (layout.pictureTemplate)
        flow.data.resize(std::max<std::size_t>(flow.data.size(), cfb::kMiniStreamCutoff), 0);
    else if (!flow.data.empty() && flow.data.size() % cfb::kSectorSize == 0)
        flow.data.push_back(0); // a record never ends the file: the salvage scan wants a byte after it
    std::vector<cfb::Stream> streams{{"WordDocument", std::move(wd.bytes)}, {"1Table", std::move(t.bytes)}};
    if (!flow.data.empty())
        streams.push_back({"Data", std::move(flow.data)});
    return streams;
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
    return cfb::writeCompoundFile(buildStreams(doc, Layout{}), wordOptions());
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
    auto streams = buildStreams(doc, layout);
    const std::vector<std::uint8_t> record = docpic::buildRecord(*doc.pictures().front());
    cfb::WriteOptions options = wordOptions();
    options.tablesFirst = true;
    options.order = {{"WordDocument", 4}, {"Data", 0}};
    auto file = cfb::writeCompoundFile(streams, options);
    if (file.size() < kPictureRecordOffset + record.size() ||
        !std::equal(record.begin(), record.end(), file.begin() + kPictureRecordOffset))
        throw std::logic_error("picture template layout does not put the record at its offset");
    return file;
}

} // namespace qm::docserver
