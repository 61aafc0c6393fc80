// The chunked text loop and the raw-block loop, observed through the calls they make.
#include "docserver/binary_io.h"
#include "docserver/cfb_writer.h"
#include "docserver/doc_format.h"
#include "engine/doc_steps.h"
#include "engine/doc_text_loop.h"
#include "platform/codepage.h"
#include "tests/engine/doc_fake_word.h"

#include <gtest/gtest.h>

namespace qm::doc {
namespace {

using doctest::FakeWordInstance;
using doctest::FakeWordServer;

// What a loop appended: the text of each InsertAfter, and the number of paragraph marks.
struct Recorder {
    FakeWordServer server;
    std::shared_ptr<FakeWordInstance> inst = std::make_shared<FakeWordInstance>(server, 0);
    word::Range range{inst, doctest::kRangeId};

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& c : inst->callsOf(word::dispid::InsertAfter, word::CallKind::Method))
            out.push_back(doctest::argText(c.args.at(0)));
        return out;
    }
    std::vector<std::size_t> lengths() const {
        std::vector<std::size_t> out;
        for (const auto& t : texts())
            out.push_back(t.size());
        return out;
    }
    std::size_t paragraphs() const {
        return inst->callsOf(word::dispid::InsertParagraphAfter, word::CallKind::Method).size();
    }
};

using Data = std::vector<std::uint8_t>;

Data utf16(const std::string& utf8) {
    const std::string le = codepage::utf8ToUtf16le(utf8);
    return {le.begin(), le.end()};
}
Data bytesOf(const std::string& s) { return {s.begin(), s.end()}; }
Data operator+(Data a, const Data& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Everything a loop appended, paragraph marks as '|'.
std::string joined(const Recorder& r) {
    std::string out;
    for (const auto& c : r.inst->calls)
        if (c.dispid == word::dispid::InsertAfter)
            out += doctest::argText(c.args.at(0));
        else if (c.dispid == word::dispid::InsertParagraphAfter)
            out += '|';
    return out;
}

std::vector<std::uint8_t> letters(std::size_t size) {
    std::vector<std::uint8_t> d(size);
    for (std::size_t i = 0; i < size; ++i)
        d[i] = static_cast<std::uint8_t>('a' + i % 26);
    return d;
}

TEST(DocTextLoop, ChunkSizesForCountsAroundTheChunkLimit) {
    const auto src = letters(20000);
    struct Case {
        std::uint32_t n;
        std::vector<std::size_t> whole; // characters per chunk keeping k
    };
    const std::vector<Case> cases{
        {0, {}},
        {1, {1}},
        {4095, {4095}},
        {4096, {4096}},
        {10000, {4096, 4096, 1808}}, // the last chunk ends the loop at 10000 + 2560
    };
    for (const auto& c : cases) {
        Recorder whole, allButLast;
        runTextLoop(src, kAnchoredTextStart, c.n, ChunkKeep::Whole, whole.range);
        runTextLoop(src, kAnchoredTextStart, c.n, ChunkKeep::AllButLast, allButLast.range);
        EXPECT_EQ(whole.lengths(), c.whole) << c.n;
        EXPECT_EQ(whole.paragraphs(), c.whole.size()) << c.n;
        std::vector<std::size_t> minusOne;
        for (auto k : c.whole)
            minusOne.push_back(k - 1);
        EXPECT_EQ(allButLast.lengths(), minusOne) << c.n;
    }
    // Chunks read consecutive bytes from the start.
    Recorder r;
    runTextLoop(src, 2560, 10000, ChunkKeep::Whole, r.range);
    const auto t = r.texts();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], std::string(src.begin() + 2560, src.begin() + 6656));
    EXPECT_EQ(t[2], std::string(src.begin() + 10752, src.begin() + 12560));
}

TEST(DocTextLoop, SmallHeaderStartStillEndsAtCountPlus2560) {
    const auto src = letters(5000);
    Recorder r;
    runTextLoop(src, 1536, 100, ChunkKeep::Whole, r.range);
    // From 1536 to 2660 in chunks of 100: eleven whole chunks, then one of 24.
    std::vector<std::size_t> expected(11, 100);
    expected.push_back(24);
    EXPECT_EQ(r.lengths(), expected);
    EXPECT_EQ(r.texts().front(), std::string(src.begin() + 1536, src.begin() + 1636));
    EXPECT_EQ(r.texts().back(), std::string(src.begin() + 2636, src.begin() + 2660));
}

TEST(DocTextLoop, ZeroByteEndsAChunkAndPastTheEndChunksAreEmpty) {
    // From 2460 to 2660 (n + 2560) in chunks of 100: two chunks.
    auto src = letters(2560 + 300);
    src[2460 + 5] = 0; // chunk 1 ends after 5 characters
    src[2560] = 0;     // chunk 2 starts with a zero: it is empty
    Recorder r;
    runTextLoop(src, 2460, 100, ChunkKeep::Whole, r.range);
    EXPECT_EQ(r.lengths(), (std::vector<std::size_t>{5, 0}));
    EXPECT_EQ(r.paragraphs(), 2u);

    // From 1536 to 2760 in chunks of 200: only 64 bytes exist, the other six chunks lie past
    // the end of the file and still end with a paragraph mark.
    Recorder shortSource;
    runTextLoop(letters(1600), 1536, 200, ChunkKeep::Whole, shortSource.range);
    EXPECT_EQ(shortSource.lengths(), (std::vector<std::size_t>{64, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(shortSource.paragraphs(), 7u);
}

TEST(DocTextLoop, KeepsCharactersNotEncodedBytes) {
    test::ScopedEnv cp("QUILLMEND_CODEPAGE", "CP1251");
    std::vector<std::uint8_t> src(2560 + 8, 0xC0); // Cyrillic A: two bytes in UTF-8
    Recorder r;
    runTextLoop(src, 2560, 8, ChunkKeep::AllButLast, r.range);
    ASSERT_EQ(r.texts().size(), 1u);
    EXPECT_EQ(r.texts()[0], "\u0410\u0410\u0410\u0410\u0410\u0410\u0410");
    EXPECT_EQ(decodeText(std::vector<std::uint8_t>{0xC0, 0xC1, 0x00, 0xC2}, 5), "\u0410\u0411");
    EXPECT_EQ(decodeText(std::vector<std::uint8_t>{'a', 'b'}, 0), "");
}

TEST(DocTextLoop, RawBlocksTakeOnlyBlocksThatStartLikeText) {
    std::vector<std::uint8_t> src(512 * 6 + 100, 'x');
    const std::vector<std::uint8_t> starts{'H', 0x01, 0x09, 0x13, 0xC8, 0x0D, 'T'};
    for (std::size_t b = 0; b < starts.size(); ++b)
        src[b * 512] = starts[b];
    src[512 * 6 + 50] = 0; // the short last block ends at its zero byte
    Recorder r;
    insertRawBlocks(src, r.range);
    // Blocks 1 (0x01) and 4 (0xC8) are skipped; no paragraph marks.
    EXPECT_EQ(r.texts(), (std::vector<std::string>{"H" + std::string(511, 'x'), "\t" + std::string(511, 'x'),
                                                    "\x13" + std::string(511, 'x'), "\r" + std::string(511, 'x'),
                                                    "T" + std::string(49, 'x')}));
    EXPECT_EQ(r.paragraphs(), 0u);
}

TEST(DocTextLoop, ReadsUtf16RunsBesideEightBitText) {
    const Data binary{0x01, 0x02, 0xEE};
    struct Case {
        const char* what;
        Data bytes;
        std::string text;
    };
    const std::vector<Case> cases{
        {"a run between binary bytes", binary + utf16("Hello wörld") + Data{0, 0, 0xEE}, "\x01\x02îHello wörld"},
        {"a run after a zero at an odd offset", Data{0} + utf16("Odd start"), "Odd start"},
        {"a run cut inside its last unit", utf16("Cut her") + Data{'e'}, "Cut here"},
        {"Cyrillic and punctuation", binary + utf16("Привет — «мир»") + Data{0, 0}, "\x01\x02îПривет — «мир»"},
        {"8-bit text then a UTF-16 piece", bytesOf("Plain ") + utf16("Unicode") + Data{0, 0}, "Plain Unicode"},
        {"8-bit blanks and digits stay 8-bit", bytesOf("1 2 3 4 a b c d") + Data{0, 0} + utf16("after"), "1 2 3 4 a b c d"},
        {"too short a run", Data{'A', 0, 'B', 0, 'C', 0}, "A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeText(c.bytes, 1000), c.text) << c.what;

    // The loop counts characters: UTF-16 text of n characters takes 2n bytes, in the same
    // chunks an 8-bit text would.
    const std::string body = [] {
        std::string t;
        for (int i = 0; i < 500; ++i)
            t += "wörd" + std::to_string(i) + " ";
        return t;
    }();
    const std::uint32_t n = static_cast<std::uint32_t>(utf16(body).size() / 2);
    Recorder r;
    runTextLoop(Data(2560, 0xEE) + utf16(body) + Data(4000, 0), 2560, n, ChunkKeep::Whole, r.range);
    std::string back;
    for (const auto& t : r.texts())
        back += t;
    EXPECT_EQ(back, body);
    EXPECT_EQ(r.lengths().size(), (n + 4095) / 4096);

    // Method 4 takes a block that starts with UTF-16 text, Cyrillic too.
    Recorder blocks;
    insertRawBlocks(utf16("Блок текста") + Data(512 - 22, 0), blocks.range);
    EXPECT_EQ(blocks.texts(), (std::vector<std::string>{"Блок текста"}));
}

// A .doc whose piece table holds an 8-bit and a UTF-16 piece, in a compound file.
Data mixedPieceDoc() {
    namespace ds = docserver;
    const Data eightBit = bytesOf("Plain start, ");
    const Data wide = utf16("then Ünïcödé текст.\r");
    ds::bin::Writer word;
    word.zeros(0x400);
    word.put(eightBit);
    word.padTo(0x600);
    word.put(wide);
    word.padTo(4096);
    const auto cp1 = static_cast<std::uint32_t>(eightBit.size());
    const auto cp2 = cp1 + static_cast<std::uint32_t>(wide.size() / 2);
    ds::bin::Writer table;
    table.zeros(64);
    ds::docfmt::FibPairs pairs;
    pairs[ds::docfmt::kClx] = {static_cast<std::uint32_t>(table.size()), 5 + 3 * 4 + 2 * 8};
    table.u8(2);
    table.u32(3 * 4 + 2 * 8);
    table.u32(0);
    table.u32(cp1);
    table.u32(cp2);
    table.u16(0);
    table.u32(0x40000000u | (0x400 * 2)); // 8-bit: the byte offset times two
    table.u16(0);
    table.u16(0);
    table.u32(0x600);
    table.u16(0);
    table.padTo(4096);
    ds::docfmt::FibFields f;
    f.textMarker = true;
    f.fcMin = 0x400;
    f.fcMac = 0x600 + static_cast<std::uint32_t>(wide.size());
    f.ccpText = cp2;
    ds::docfmt::writeFib(word.bytes, f, pairs);
    return ds::cfb::writeCompoundFile({{"WordDocument", word.bytes}, {"1Table", table.bytes}});
}

TEST(DocTextLoop, MethodOneReadsEachPieceInItsOwnEncoding) {
    const Data file = mixedPieceDoc();
    const std::string expected = "Plain start, then Ünïcödé текст.\r|";
    auto fibTextOf = [](const Data& bytes) {
        const auto fib = findFibText(bytes);
        EXPECT_TRUE(fib);
        Recorder r;
        if (fib)
            insertFibText(bytes, *fib, ChunkKeep::AllButLast, r.range);
        return joined(r);
    };
    EXPECT_EQ(fibTextOf(file), expected);

    // The allocation table zeroed: the piece table is found by its structure and counts.
    Data noFat = file;
    for (std::size_t i = 0; i < 109; ++i) {
        const std::uint32_t sector = docserver::bin::u32(file, 76 + 4 * i);
        if (sector < 0xFFFFFFFA)
            std::fill_n(noFat.begin() + (sector + 1) * 512, 512, 0);
    }
    ASSERT_NE(noFat, file);
    EXPECT_EQ(fibTextOf(noFat), expected);

    // No piece table left: the text loop reads from the header's text start, both encodings.
    Data noClx = file;
    const Data pcdt{0x02, 28, 0, 0, 0, 0, 0, 0, 0};
    const auto at = std::search(noClx.begin(), noClx.end(), pcdt.begin(), pcdt.end());
    ASSERT_NE(at, noClx.end());
    *at = 0x07;
    const std::string loop = fibTextOf(noClx);
    EXPECT_NE(loop.find("Plain start, "), std::string::npos) << loop;
}

} // namespace
} // namespace qm::doc
