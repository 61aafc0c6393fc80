// The compound file container: what the writer lays out, and what the tolerant reader still
// finds when the header, the FAT or the directory is lost.
#include "docserver/binary_io.h"
#include "docserver/cfb_reader.h"
#include "docserver/cfb_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace qm::docserver {
namespace {

std::vector<std::uint8_t> patterned(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return v;
}

std::vector<cfb::Stream> sampleStreams() {
    return {{"WordDocument", patterned(9000, 1)},
            {"1Table", patterned(1500, 2)},
            {"Data", patterned(4096, 3)}, // exactly the cutoff: a regular stream
            {"\005SummaryInformation", patterned(100, 4)},
            {"Empty", {}}};
}

void expectStreams(const cfb::Reader& r, const std::vector<cfb::Stream>& streams) {
    for (const auto& s : streams) {
        const auto* e = r.findStream(s.name);
        ASSERT_NE(e, nullptr) << s.name;
        EXPECT_EQ(r.read(*e), s.data) << s.name;
    }
}

TEST(CompoundFile, HeaderAndStreamsAsTheFormatRequires) {
    const auto streams = sampleStreams();
    cfb::WriteOptions options;
    options.rootClsid[0] = 0x06;
    const auto file = cfb::writeCompoundFile(streams, options);
    ASSERT_EQ(file.size() % 512, 0u);
    EXPECT_TRUE(cfb::hasSignature(file));
    EXPECT_EQ(bin::u16(file, 24), 0x003E); // minor version
    EXPECT_EQ(bin::u16(file, 26), 3);      // major version
    EXPECT_EQ(bin::u16(file, 28), 0xFFFE);
    EXPECT_EQ(bin::u16(file, 30), 9);           // 512-byte sectors
    EXPECT_EQ(bin::u16(file, 32), 6);           // 64-byte mini sectors
    EXPECT_EQ(bin::u32(file, 56), 4096u);       // mini stream cutoff
    EXPECT_EQ(bin::u32(file, 68), cfb::kEndOfChain); // no DIFAT sectors
    // The first FAT sector marks itself.
    const std::uint32_t fat0 = bin::u32(file, 76);
    EXPECT_EQ(bin::u32(file, (fat0 + 1) * 512 + 4 * fat0), cfb::kFatSect);

    const cfb::Reader r(file);
    EXPECT_TRUE(r.headerValid());
    EXPECT_TRUE(r.fatFound());
    expectStreams(r, streams);
    ASSERT_FALSE(r.entries().empty());
    EXPECT_EQ(r.entries()[0].name, "Root Entry");
    EXPECT_EQ(r.entries()[0].type, 5);
    EXPECT_EQ(file[(bin::u32(file, 48) + 1) * 512 + 80], 0x06); // the root's class id
    // As in Word's files, the first large stream starts at sector 0.
    EXPECT_EQ(r.findStream("WordDocument")->start, 0u);
    // Small streams live in the mini stream, the others in regular sectors.
    EXPECT_EQ(r.map(*r.findStream("1Table")).unit, 64u);
    EXPECT_EQ(r.map(*r.findStream("Data")).unit, 512u);
}

TEST(CompoundFile, DirectoryTreeIsOrderedAndComplete) {
    std::vector<cfb::Stream> streams;
    for (int i = 0; i < 23; ++i) // several directory sectors
        streams.push_back({"Stream" + std::string(i % 3 + 1, char('a' + i)), patterned(50 + 300 * i, 9)});
    const auto file = cfb::writeCompoundFile(streams);
    const cfb::Reader r(file);
    expectStreams(r, streams);
    // In-order walk from the root's child: every stream once, in the format's name order.
    const auto& e = r.entries();
    std::vector<std::u16string> names;
    std::vector<std::uint32_t> stack;
    std::uint32_t node = e[0].child;
    while ((node != cfb::kNoStream || !stack.empty()) && names.size() <= e.size()) {
        while (node != cfb::kNoStream && node < e.size()) {
            stack.push_back(node);
            node = e[node].left;
        }
        node = stack.back();
        stack.pop_back();
        names.emplace_back(e[node].name.begin(), e[node].name.end());
        node = e[node].right;
    }
    ASSERT_EQ(names.size(), streams.size());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), cfb::nameLess));
    EXPECT_TRUE(cfb::nameLess(u"Data", u"1Table"));        // shorter first
    EXPECT_FALSE(cfb::nameLess(u"data", u"DATA"));         // case does not count
    EXPECT_TRUE(cfb::nameLess(u"WordDocument", u"\005SummaryInformation"));
}

TEST(CompoundFile, StreamPathsMakeStoragesAndReadBack) {
    const std::vector<cfb::Stream> streams = {{"WordDocument", patterned(5000, 1)},
                                              {"ObjectPool/_11/\001Ole", patterned(20, 2)},
                                              {"ObjectPool/_11/CONTENTS", patterned(6000, 3)},
                                              {"ObjectPool/_12/\001Ole", patterned(30, 4)}};
    const auto file = cfb::writeCompoundFile(streams);
    const cfb::Reader r(file);
    const auto paths = r.streamPaths();
    ASSERT_EQ(paths.size(), streams.size());
    for (const auto& s : streams) {
        const auto it = std::find_if(paths.begin(), paths.end(), [&](const auto& p) { return p.first == s.name; });
        ASSERT_NE(it, paths.end()) << s.name;
        EXPECT_EQ(it->second->type, 2) << s.name;
        EXPECT_EQ(r.read(*it->second), s.data) << s.name;
        EXPECT_TRUE(r.intact(*it->second)) << s.name;
    }
    // Three storages (ObjectPool, _11, _12), each made once.
    EXPECT_EQ(std::count_if(r.entries().begin(), r.entries().end(), [](const auto& e) { return e.type == 1; }), 3);
    EXPECT_THROW(cfb::writeCompoundFile({{"ObjectPool//x", {}}}), std::length_error);
}

TEST(CompoundFile, LargeFilesUseTheDifat) {
    // More than 109 FAT sectors: the rest are listed in DIFAT sectors.
    const std::vector<cfb::Stream> streams{{"Big", patterned(8u << 20, 5)}, {"Small", patterned(10, 6)}};
    const auto file = cfb::writeCompoundFile(streams);
    EXPECT_GT(bin::u32(file, 44), 109u);
    EXPECT_GE(bin::u32(file, 72), 1u);
    expectStreams(cfb::Reader(file), streams);
}

TEST(CompoundFile, PlacementPutsSectorsWhereAsked) {
    const auto streams = sampleStreams();
    cfb::WriteOptions options;
    options.order = {{"WordDocument", 2}, {"Data", 0}};
    const auto file = cfb::writeCompoundFile(streams, options);
    const cfb::Reader r(file);
    expectStreams(r, streams);
    const auto word = r.map(*r.findStream("WordDocument")).offsets;
    const auto data = r.map(*r.findStream("Data")).offsets;
    ASSERT_EQ(word.size(), 18u);
    ASSERT_EQ(data.size(), 8u);
    // Two WordDocument sectors, then all of Data, then the rest of WordDocument.
    EXPECT_EQ(word[1] + 512, data.front());
    EXPECT_EQ(data.back() + 512, word[2]);
    EXPECT_TRUE(std::is_sorted(data.begin(), data.end()));
}

TEST(CompoundFile, ReaderFindsStreamsWhenStructuresAreLost) {
    const auto streams = sampleStreams();
    const auto file = cfb::writeCompoundFile(streams);

    auto noHeader = file;
    std::fill(noHeader.begin(), noHeader.begin() + 512, 0);
    const cfb::Reader a(noHeader);
    EXPECT_FALSE(a.headerValid());
    EXPECT_TRUE(a.fatFound()); // found by its self-marks
    expectStreams(a, streams); // the mini FAT is found among the unclaimed chains

    auto noFat = file;
    const std::uint32_t fat0 = bin::u32(file, 76);
    std::fill_n(noFat.begin() + (fat0 + 1) * 512, 512, 0);
    const cfb::Reader b(noFat);
    EXPECT_FALSE(b.fatFound());
    expectStreams(b, streams); // the writer lays streams out contiguously

    auto noSignature = file;
    std::fill_n(noSignature.begin(), 8, 0);
    expectStreams(cfb::Reader(noSignature), streams);

    auto noDirectory = file;
    const std::uint32_t dir = bin::u32(file, 48);
    std::fill_n(noDirectory.begin() + (dir + 1) * 512, 512, 0);
    const cfb::Reader c(noDirectory);
    EXPECT_EQ(c.findStream("WordDocument"), nullptr);
    // The lost streams' chains remain visible to a caller that looks for them.
    const auto starts = c.chainStarts();
    EXPECT_FALSE(starts.empty());
}

TEST(CompoundFile, ReaderNeverFailsOnDamage) {
    const auto file = cfb::writeCompoundFile(sampleStreams());
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        auto bad = file;
        if (round % 4 == 0)
            bad.resize(rng() % bad.size());
        const int hits = 1 + round % 40;
        for (int k = 0; k < hits && !bad.empty(); ++k)
            bad[rng() % std::min<std::size_t>(bad.size(), 2048)] = static_cast<std::uint8_t>(rng());
        const cfb::Reader r(bad);
        for (const auto& e : r.entries()) {
            if (e.type == 2) {
                EXPECT_LE(r.read(e).size(), e.size);
            }
        }
        for (std::uint32_t s : r.chainStarts())
            EXPECT_LE(r.readChain(s, bad.size()).size(), bad.size());
    }
    // A FAT whose chain loops back on itself ends the stream instead of running forever.
    auto loop = file;
    const std::uint32_t fat0 = bin::u32(file, 76);
    const cfb::Reader intact(file);
    const auto* word = intact.findStream("WordDocument");
    ASSERT_NE(word, nullptr);
    const std::size_t link = (fat0 + 1) * 512 + 4 * (word->start + 1);
    for (int i = 0; i < 4; ++i)
        loop[link + i] = static_cast<std::uint8_t>(word->start >> (8 * i));
    const cfb::Reader r(loop);
    EXPECT_EQ(r.read(*r.findStream("WordDocument")).size(), 1024u);
}

} // namespace
} // namespace qm::docserver
