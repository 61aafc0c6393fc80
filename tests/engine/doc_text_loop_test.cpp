// The chunked text loop and the raw-block loop, observed through the calls they make.
#include "engine/doc_steps.h"
#include "engine/doc_text_loop.h"
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

} // namespace
} // namespace qm::doc
