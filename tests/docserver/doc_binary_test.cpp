// The Word 97-2003 binary writer and reader: round trips, the FIB and piece table as Word
// writes them, Word's special characters (fields, cells, breaks), picture types, and
// documents without their container.
#include "docserver/binary_io.h"
#include "docserver/cfb_reader.h"
#include "docserver/cfb_writer.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_format.h"
#include "tests/docserver/format_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

namespace qm::docserver {
namespace {

struct Streams {
    std::vector<std::uint8_t> word, table, data;
};

Streams streamsOf(const std::vector<std::uint8_t>& file) {
    const cfb::Reader r(file);
    Streams s;
    if (const auto* e = r.findStream("WordDocument"))
        s.word = r.read(*e);
    if (const auto* e = r.findStream("1Table"))
        s.table = r.read(*e);
    if (const auto* e = r.findStream("Data"))
        s.data = r.read(*e);
    return s;
}

// Replaces marker characters inside the (8-bit) text of a written document by Word's own
// control characters, which the document model cannot hold.
std::vector<std::uint8_t> withControls(std::vector<std::uint8_t> file, const std::string& text) {
    auto at = std::search(file.begin(), file.end(), text.begin(), text.end());
    EXPECT_NE(at, file.end()) << text;
    static const std::map<char, std::uint8_t> marks = {{'~', 0x13}, {'^', 0x14}, {'`', 0x15}, {'#', 0x07},
                                                       {'@', 0x0C}, {'{', 0x1E}, {'}', 0x1F}};
    for (std::size_t i = 0; at != file.end() && i < text.size(); ++i, ++at)
        if (marks.count(text[i]))
            *at = marks.at(text[i]);
    return file;
}

TEST(DocBinary, SampleDocumentRoundTrips) {
    const Document doc = test::sampleDocument();
    const auto file = writeDocBinary(doc);
    EXPECT_TRUE(looksLikeDocBinary(file));
    const Document back = readDocBinary(file);
    EXPECT_EQ(back, doc);
    ASSERT_EQ(back.pictures().size(), 2u);
    EXPECT_EQ(back.pictures()[0]->type, PictureType::Png);
    EXPECT_EQ(back.pictures()[1]->type, PictureType::Jpeg);
    // Empty documents too.
    EXPECT_EQ(readDocBinary(writeDocBinary(Document{})), Document{});
}

TEST(DocBinary, FibAndPieceTableAsWordWritesThem) {
    Document western;
    western.insertAfter("Caf\xC3\xA9 \xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC 5");
    western.insertParagraphAfter();
    western.insertPicture(Picture::fromBytes(test::tinyPng(2, 2)));
    const auto file = writeDocBinary(western);
    const auto s = streamsOf(file);
    ASSERT_GE(s.word.size(), 4096u);
    EXPECT_EQ(bin::u16(s.word, 0), 0xA5EC);
    EXPECT_EQ(bin::u16(s.word, 2), 0x00C1);
    EXPECT_EQ(bin::u16(s.word, 6), 0x0409);
    const std::uint16_t flags = bin::u16(s.word, 10);
    EXPECT_TRUE(flags & 0x0200) << "fWhichTblStm";
    EXPECT_TRUE(flags & 0x1000) << "fExtChar";
    EXPECT_TRUE(flags & 0x0008) << "fHasPic";
    EXPECT_EQ(bin::u16(s.word, 32), 14);     // csw
    EXPECT_EQ(bin::u16(s.word, 62), 22);     // cslw
    EXPECT_EQ(bin::u16(s.word, 152), 0x5D);  // cbRgFcLcb
    EXPECT_EQ(bin::u16(s.word, 898), 0);     // cswNew
    // "Café “quoted” € 5", a paragraph mark, the picture and the final mark.
    const std::uint32_t ccpText = 17 + 1 + 1 + 1;
    EXPECT_EQ(bin::u32(s.word, 76), ccpText);
    // The salvage engine's header pattern: product byte 0x20 means text at file offset 1536,
    // 0x400 into a WordDocument stream that starts at sector 0.
    EXPECT_EQ(s.word[5], 0x20);
    EXPECT_EQ(s.word[11], 0x12);
    EXPECT_EQ(s.word[12], 0xBF);
    const std::string cp1252 = "Caf\xE9 \x93quoted\x94 \x80 5\r\x01\r";
    EXPECT_EQ(std::string(s.word.begin() + 0x400, s.word.begin() + 0x400 + ccpText), cp1252);
    EXPECT_EQ(std::string(file.begin() + 1536, file.begin() + 1536 + ccpText), cp1252);
    // The FAT holds the contiguous chain the salvage engine's container checks look for.
    static const std::vector<std::uint8_t> run = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
    EXPECT_NE(std::search(file.begin() + 512, file.end(), run.begin(), run.end()), file.end());
    // One 8-bit piece.
    const std::uint32_t fcClx = bin::u32(s.word, 154 + 8 * 33), lcbClx = bin::u32(s.word, 158 + 8 * 33);
    ASSERT_EQ(lcbClx, 21u);
    EXPECT_EQ(s.table[fcClx], 0x02);
    EXPECT_EQ(bin::u32(s.table, fcClx + 9), ccpText);
    EXPECT_EQ(bin::u32(s.table, fcClx + 15), 0x40000000u | (0x400 * 2));
    // The picture record in the Data stream.
    EXPECT_EQ(bin::u16(s.data, 4), 0x44);
    EXPECT_EQ(bin::u16(s.data, 6), 0x64);
    EXPECT_EQ(bin::u32(s.data, 0), s.data.size());

    // Text outside Windows-1252 goes into one 16-bit piece.
    Document other;
    other.insertAfter("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE6\xBC\xA2");
    const auto u = streamsOf(writeDocBinary(other));
    const std::uint32_t fc = bin::u32(u.table, bin::u32(u.word, 154 + 8 * 33) + 15);
    EXPECT_EQ(fc & 0x40000000u, 0u);
    EXPECT_EQ(bin::u16(u.word, fc), 0x041F); // П
    EXPECT_EQ(readDocBinary(writeDocBinary(other)), other);
}

TEST(DocBinary, ManyParagraphsAndPicturesSpanSeveralPropertyPages) {
    Document doc;
    for (int i = 0; i < 400; ++i) {
        doc.insertAfter("Paragraph " + std::to_string(i) + (i % 3 ? "\tand a tab" : " \xC3\xBC"));
        if (i % 9 == 0)
            doc.insertPicture(Picture::fromBytes(test::tinyPng(1 + i % 5, 2, static_cast<std::uint8_t>(i))));
        doc.insertParagraphAfter();
    }
    const Document back = readDocBinary(writeDocBinary(doc));
    EXPECT_EQ(back, doc);
    EXPECT_EQ(back.pictures().size(), 45u);
}

TEST(DocBinary, WordsSpecialCharacters) {
    const std::string text = "A ~ PAGE ^7` B. C ~ IF ~ DATE ^x` = 1 ^yes` D. E ~ TC entry` F. G ~ H."
                             "cell1#cell2##before@after non{breaking opt}ional";
    Document doc;
    doc.insertAfter(text);
    const Document back = readDocBinary(withControls(writeDocBinary(doc), text));
    EXPECT_EQ(back.plainText(), "A 7 B. C yes D. E  F. G  H.cell1\ncell2\n\nbefore\nafter non-breaking optional");
}

// The text is decoded a window of 2^18 characters at a time: fields whose code crosses a
// window's end, or whose code and result lie in different windows, read as in one piece.
TEST(DocBinary, FieldsAcrossDecodingWindows) {
    const std::string fields = "A ~ PAGE ^7` B ~ IF ~ DATE ^x` = 1 ^yes` C";
    for (std::size_t before : {262144u - 3u, 262144u - 12u, 262144u - 30u, 2u * 262144u - 20u}) {
        Document doc;
        const std::string filler(before, 'f');
        doc.insertAfter(filler + fields);
        const Document back = readDocBinary(withControls(writeDocBinary(doc), fields));
        EXPECT_EQ(back.plainText(), filler + "A 7 B yes C") << before;
    }
}

TEST(DocBinary, PictureTypesSurvive) {
    std::vector<std::vector<std::uint8_t>> pictures;
    pictures.push_back({'G', 'I', 'F', '8', '9', 'a', 3, 0, 2, 0, 0x80, 0, 0, 1, 2, 3, 0x3B});
    std::vector<std::uint8_t> bmp = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0,
                                     0, 0, 1, 0, 24, 0};
    bmp.resize(70, 0x7F);
    std::fill(bmp.begin() + 30, bmp.begin() + 54, 0);
    pictures.push_back(bmp);
    std::vector<std::uint8_t> emf(200, 0x11);
    std::copy_n(std::vector<std::uint8_t>{1, 0, 0, 0}.begin(), 4, emf.begin());
    std::copy_n(std::string(" EMF").begin(), 4, emf.begin() + 40);
    pictures.push_back(emf);
    std::vector<std::uint8_t> wmf = {0x01, 0x00, 0x09, 0x00, 0x00, 0x03};
    wmf.resize(120, 0x22);
    pictures.push_back(wmf);
    pictures.push_back({'I', 'I', 42, 0, 8, 0, 0, 0, 1, 2, 3, 4});
    pictures.push_back(test::tinyJpeg(24, 16));

    Document doc;
    for (const auto& p : pictures)
        doc.insertPicture(Picture::fromBytes(p));
    const Document back = readDocBinary(writeDocBinary(doc));
    ASSERT_EQ(back.pictures().size(), pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i)
        EXPECT_EQ(*back.pictures()[i], Picture::fromBytes(pictures[i])) << i;

    // A placeable metafile keeps its content; the placeable header is not part of the record.
    std::vector<std::uint8_t> placeable = {0xD7, 0xCD, 0xC6, 0x9A};
    placeable.resize(22, 0);
    placeable.insert(placeable.end(), wmf.begin(), wmf.end());
    Document meta;
    meta.insertPicture(Picture::fromBytes(placeable));
    const Document metaBack = readDocBinary(writeDocBinary(meta));
    ASSERT_EQ(metaBack.pictures().size(), 1u);
    EXPECT_EQ(metaBack.pictures()[0]->bytes, wmf);
}

// A floating picture as Word stores it: a drawn-object character, its shape in the drawing
// (FSPA -> shape id -> pib), and the BLIP in the BLIP store, kept in the WordDocument stream.
TEST(DocBinary, FloatingPicturesComeFromTheDrawing) {
    const auto png = test::tinyPng(5, 4);
    // An OfficeArt record header.
    auto rec = [](bin::Writer& w, std::uint16_t ver, std::uint16_t inst, std::uint16_t type, std::size_t len) {
        w.u16(std::uint16_t((inst << 4) | ver));
        w.u16(type);
        w.u32(static_cast<std::uint32_t>(len));
    };
    bin::Writer blip;
    rec(blip, 0, 0x6E0, 0xF01E, 17 + png.size());
    blip.zeros(16);
    blip.u8(0xFF);
    blip.put(png);

    const std::string text = "Before\x08" "After\r";
    docfmt::FibPairs pairs;
    bin::Writer word;
    word.zeros(0x600);
    word.put({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    word.padTo(0x800);
    word.put(blip.bytes);
    word.padTo(4096);

    bin::Writer table;
    pairs[docfmt::kClx] = {0, 21};
    table.u8(2);
    table.u32(16);
    table.u32(0);
    table.u32(static_cast<std::uint32_t>(text.size()));
    table.u16(0);
    table.u32(0x40000000u | (0x600 * 2));
    table.u16(0);
    pairs[docfmt::kPlcSpaMom] = {static_cast<std::uint32_t>(table.size()), 4 * 2 + 26};
    table.u32(6); // the drawn object's CP
    table.u32(static_cast<std::uint32_t>(text.size()));
    table.u32(1025); // FSPA: shape id, then its anchor
    table.zeros(22);
    bin::Writer fbse;
    fbse.u8(6);
    fbse.u8(6);
    fbse.zeros(16);
    fbse.u16(0xFF);
    fbse.u32(static_cast<std::uint32_t>(blip.size()));
    fbse.u32(1);
    fbse.u32(0x800); // foDelay: the BLIP's place in the WordDocument stream
    fbse.zeros(4);
    bin::Writer store;
    rec(store, 2, 6, 0xF007, fbse.size());
    store.put(fbse.bytes);
    bin::Writer shape;
    rec(shape, 2, 75, 0xF00A, 8);
    shape.u32(1025);
    shape.u32(0xA00);
    rec(shape, 3, 1, 0xF00B, 6);
    shape.u16(0x4104);
    shape.u32(1);
    const std::size_t dggAt = table.size();
    rec(table, 0xF, 0, 0xF000, 8 + store.size());
    rec(table, 0xF, 1, 0xF001, store.size());
    table.put(store.bytes);
    table.u8(0); // the main document's drawing
    rec(table, 0xF, 0, 0xF002, 8 + 8 + shape.size());
    rec(table, 0xF, 0, 0xF003, 8 + shape.size());
    rec(table, 0xF, 0, 0xF004, shape.size());
    table.put(shape.bytes);
    pairs[docfmt::kDggInfo] = {static_cast<std::uint32_t>(dggAt), static_cast<std::uint32_t>(table.size() - dggAt)};

    docfmt::FibFields f;
    f.fcMin = 0x600;
    f.fcMac = static_cast<std::uint32_t>(0x600 + text.size());
    f.ccpText = static_cast<std::uint32_t>(text.size());
    docfmt::writeFib(word.bytes, f, pairs);
    const auto file = cfb::writeCompoundFile({{"WordDocument", word.bytes}, {"1Table", table.bytes}});
    const Document doc = readDocBinary(file);
    EXPECT_EQ(doc.plainText(), "BeforeAfter");
    ASSERT_EQ(doc.pictures().size(), 1u);
    EXPECT_EQ(doc.pictures()[0]->bytes, png);
}

TEST(DocBinary, BareWordDocumentStreamStillGivesItsText) {
    Document doc;
    doc.insertAfter("Only the text stream of this document survived.");
    doc.insertParagraphAfter();
    doc.insertAfter("Its second paragraph too.");
    const auto s = streamsOf(writeDocBinary(doc));
    EXPECT_TRUE(looksLikeDocBinary(s.word));
    EXPECT_EQ(readDocBinary(s.word).plainText(), doc.plainText());
}

TEST(DocBinary, RecognisesOnlyWordFiles) {
    const auto file = writeDocBinary(test::sampleDocument());
    auto noHeader = file;
    std::fill(noHeader.begin(), noHeader.begin() + 512, 0);
    EXPECT_TRUE(looksLikeDocBinary(noHeader));
    const std::string text = "Plain text is no Word document, whatever it says: \xEC\xA5\xC1";
    EXPECT_FALSE(looksLikeDocBinary({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
    EXPECT_FALSE(looksLikeDocBinary(test::zipOf({{"word/document.xml", "<w:document/>"}})));
    EXPECT_THROW(readDocBinary({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), DocError);
    EXPECT_THROW(readDocBinary({}), DocError);
}

} // namespace
} // namespace qm::docserver
