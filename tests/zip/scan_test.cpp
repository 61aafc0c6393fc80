// Finding entries: the local-header scan and the space repairs.
#include "tests/support/test_support.h"
#include "tests/zip/zip_builder.h"
#include "zip/central_dir.h"
#include "zip/zip_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <random>

namespace qm {
namespace {

using zipgen::ZipBuilder;

std::vector<CFileHeader> entriesOf(CZipArchive& zip) {
    std::vector<CFileHeader> out(zip.GetCount());
    for (std::size_t i = 0; i < out.size(); ++i)
        EXPECT_TRUE(zip.GetEntryInfo(i, out[i]));
    return out;
}

std::vector<std::string> namesOf(CZipArchive& zip) {
    std::vector<std::string> names;
    for (const auto& h : entriesOf(zip))
        names.push_back(h.fileName);
    return names;
}

// A reference scan: every offset tested for a local header with a read of its own.
std::vector<CFileHeader> naiveScan(const fs::path& path) {
    std::vector<CFileHeader> found;
    const int fd = ::open(path.c_str(), O_RDONLY);
    const off_t length = ::lseek(fd, 0, SEEK_END);
    for (off_t i = 0; i < length; ++i) {
        std::uint8_t sig[4];
        if (::pread(fd, sig, 4, i) != 4 || !CFileHeader::HasSignature(sig))
            continue;
        std::uint8_t bytes[CFileHeader::kMaxParseSize];
        const ssize_t got = ::pread(fd, bytes, sizeof bytes, i);
        CFileHeader h;
        if (h.Read(std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(got)), static_cast<std::uint64_t>(i)))
            found.push_back(h);
    }
    ::close(fd);
    return found;
}

std::vector<CFileHeader> windowScan(const fs::path& path, std::size_t window) {
    CZipStorage storage;
    storage.Open(path);
    CCentralDir dir(&storage);
    dir.Scan(window);
    std::vector<CFileHeader> out;
    for (std::size_t i = 0; i < dir.GetCount(); ++i)
        out.push_back(dir.GetHeader(i));
    return out;
}

TEST(ZipRepairTest, SpaceDamagedFieldsAreRepaired) {
    // Method, time and date: a space as high byte leaves the low byte, two spaces give 0.
    EXPECT_EQ(CFileHeader::RepairWord(0x08, 0x20), 8);
    EXPECT_EQ(CFileHeader::RepairWord(0x20, 0x20), 0);
    EXPECT_EQ(CFileHeader::RepairWord(0x34, 0x12), 0x1234);
    EXPECT_EQ(CFileHeader::RepairWord(0x20, 0x12), 0x1220);
    // Name length: two spaces are a real length of 32.
    EXPECT_EQ(CFileHeader::RepairNameLength(0x0B, 0x20), 11);
    EXPECT_EQ(CFileHeader::RepairNameLength(0x20, 0x20), 32);
    EXPECT_EQ(CFileHeader::RepairNameLength(0x0B, 0x01), 0x010B);
    // Sizes: spaces are dropped from the top, each stage only after the one above it.
    const auto size = [](std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
        const std::uint8_t b[4] = {b0, b1, b2, b3};
        return CFileHeader::RepairSize(b);
    };
    EXPECT_EQ(size(0x34, 0x12, 0x20, 0x20), 0x1234u);
    EXPECT_EQ(size(0x20, 0x20, 0x20, 0x20), 0u);
    EXPECT_EQ(size(0x34, 0x12, 0x56, 0x20), 0x561234u);
    EXPECT_EQ(size(0x34, 0x20, 0x20, 0x20), 0x34u);
    EXPECT_EQ(size(0x20, 0x12, 0x20, 0x20), 0x1220u);
    EXPECT_EQ(size(0x20, 0x20, 0x12, 0x34), 0x34122020u);
}

class ZipScanTest : public ::testing::Test {
protected:
    fs::path write(const std::vector<std::uint8_t>& bytes, const std::string& name = "a.zip") {
        const fs::path p = dir_ / name;
        test::writeBytes(p, bytes);
        return p;
    }
    test::TempDir dir_;
};

TEST_F(ZipScanTest, SpaceDamagedArchiveYieldsRepairedHeaders) {
    ZipBuilder zb;
    const std::string body = zipgen::sampleXml(0x1234 + 700);
    const std::string packed = zipgen::deflateRaw(body);
    ASSERT_LT(packed.size(), 0x10000u);
    zb.add("word/document.xml", body);                              // 17-byte name
    const std::size_t second = zb.add("[Content_Types].xml", "x", 8); // name length 19
    auto& b = zb.bytes();
    // First header: method 08 20, time and date with space high bytes, sizes with space tops,
    // name length 11 00 -> 11 20.
    b[8 + 1] = 0x20;
    b[10 + 1] = 0x20;
    b[12 + 1] = 0x20;
    b[18 + 2] = b[18 + 3] = 0x20;
    b[22 + 3] = 0x20;
    b[26 + 1] = 0x20;
    // Second header: method 20 20, name length 20 20.
    b[second + 8] = b[second + 9] = 0x20;
    b[second + 26] = b[second + 27] = 0x20;

    CZipArchive zip;
    zip.Open(write(b));
    const auto entries = entriesOf(zip);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].method, 8);
    EXPECT_EQ(entries[0].modTime, 0x00);
    EXPECT_EQ(entries[0].modDate, 0x64);
    EXPECT_EQ(entries[0].compressedSize, packed.size());
    EXPECT_EQ(entries[0].uncompressedSize, body.size() & 0xFFFFFF);
    EXPECT_EQ(entries[0].fileNameLength, 17);
    EXPECT_EQ(entries[0].fileName, "word/document.xml");
    EXPECT_EQ(entries[1].method, 0);
    EXPECT_EQ(entries[1].fileNameLength, 32);
    EXPECT_EQ(entries[1].offset, second);
}

TEST_F(ZipScanTest, NameLengthAbove100LeavesTheNameEmpty) {
    ZipBuilder zb;
    zb.add(std::string(100, 'n'), "kept");
    zb.add(std::string(101, 'm'), "dropped");
    CZipArchive zip;
    zip.Open(write(zb.bytes()));
    const auto names = namesOf(zip);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], std::string(100, 'n'));
    EXPECT_EQ(names[1], "");
}

TEST_F(ZipScanTest, EntriesSurviveALostCentralDirectory) {
    ZipBuilder zb;
    zb.add("[Content_Types].xml", zipgen::sampleXml(900));
    zb.add("word/document.xml", zipgen::sampleXml(5000, 3));
    zb.add("word/media/image1.png", zipgen::sampleBinary(3000), 0);
    const std::size_t dataEnd = zb.bytes().size();
    zb.finish();

    CZipArchive whole;
    whole.Open(write(zb.bytes(), "whole.zip"));
    const auto expected = entriesOf(whole);
    ASSERT_EQ(expected.size(), 3u);

    auto cut = zb.bytes();
    cut.resize(dataEnd);
    CZipArchive noTail;
    noTail.Open(write(cut, "cut.zip"));
    EXPECT_EQ(entriesOf(noTail), expected);

    auto overwritten = zb.bytes();
    std::fill(overwritten.begin() + static_cast<std::ptrdiff_t>(dataEnd), overwritten.end(), 0xEE);
    CZipArchive junkTail;
    EXPECT_EQ(junkTail.Open(write(overwritten, "junk.zip")), 3u);
    EXPECT_EQ(entriesOf(junkTail), expected);
}

TEST_F(ZipScanTest, StoredNestedPackageAddsItsEntriesAfterItsHolder) {
    ZipBuilder inner;
    inner.add("inner/a.xml", zipgen::sampleXml(400));
    inner.add("inner/b.bin", zipgen::sampleBinary(300), 0);
    inner.finish();
    ZipBuilder outer;
    outer.add("first.xml", zipgen::sampleXml(700));
    outer.add("word/embeddings/package.docx", inner.str(), 0);
    outer.add("last.xml", zipgen::sampleXml(200));

    CZipArchive zip;
    EXPECT_EQ(zip.Open(write(outer.bytes())), 5u);
    EXPECT_EQ(namesOf(zip), (std::vector<std::string>{"first.xml", "word/embeddings/package.docx", "inner/a.xml",
                                                      "inner/b.bin", "last.xml"}));
}

TEST_F(ZipScanTest, EmptyAndSignatureFreeFilesHaveNoEntries) {
    CZipArchive empty;
    EXPECT_EQ(empty.Open(write({}, "empty.zip")), 0u);
    EXPECT_EQ(empty.GetCount(), 0u);
    CFileHeader h;
    EXPECT_FALSE(empty.GetEntryInfo(0, h));

    CZipArchive text;
    text.Open(write({'P', 'K', 3, 'x', 'P', 'K', 3}, "text.zip"));
    EXPECT_EQ(text.GetCount(), 0u);
}

TEST_F(ZipScanTest, HeaderCutByTheEndOfTheFileIsNotAnEntry) {
    ZipBuilder zb;
    zb.add("a.xml", "alpha");
    zb.add("b.xml", "beta");
    auto bytes = zb.bytes();
    bytes.resize(zb.placed()[1].offset + 29); // one byte short of a whole header
    CZipArchive zip;
    zip.Open(write(bytes));
    EXPECT_EQ(namesOf(zip), std::vector<std::string>{"a.xml"});
}

TEST_F(ZipScanTest, SecondArchiveOnFreshObjectReportsOnlyItsEntries) {
    ZipBuilder one, two;
    one.add("one.xml", "1");
    one.add("uno.xml", "1");
    two.add("two.xml", "2");
    const fs::path p1 = write(one.bytes(), "1.zip");
    const fs::path p2 = write(two.bytes(), "2.zip");
    {
        CZipArchive zip;
        EXPECT_EQ(zip.Open(p1), 2u);
    }
    CZipArchive zip;
    EXPECT_EQ(zip.Open(p2), 1u);
    EXPECT_EQ(namesOf(zip), std::vector<std::string>{"two.xml"});
}

TEST_F(ZipScanTest, NamesHandedOutUseTheNativeSeparator) {
    ZipBuilder zb;
    zb.add("word\\media\\image1.png", "png");
    CZipArchive zip;
    zip.Open(write(zb.bytes()));
    CFileHeader h;
    ASSERT_TRUE(zip.GetEntryInfo(0, h));
    EXPECT_EQ(h.fileName, "word/media/image1.png");
    EXPECT_EQ(h.fileNameLength, 21);
}

TEST_F(ZipScanTest, MissingArchiveRaisesAFileException) {
    CZipArchive zip;
    EXPECT_THROW(zip.Open(dir_ / "missing.zip"), CZipFileException);
}

// The windowed scan must find exactly what testing each offset on its own finds, including
// signatures and headers that straddle window boundaries or run into the end of the file.
TEST_F(ZipScanTest, WindowedScanMatchesOneOffsetAtATime) {
    const std::vector<std::size_t> windows = {4, 5, 7, 31, 64, 129, 130, 131, 257, 1000, CCentralDir::kScanWindow};
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        std::vector<std::uint8_t> data(600 + rng() % 3000);
        // Mostly bytes that make partial signatures and space-damaged fields.
        const std::uint8_t alphabet[] = {'P', 'K', 3, 4, 0x20, 0, 'a', '.', '/'};
        for (auto& b : data)
            b = rng() % 3 ? alphabet[rng() % sizeof alphabet] : static_cast<std::uint8_t>(rng());
        const auto plant = [&](std::size_t at) {
            if (at + 4 > data.size())
                return;
            data[at] = 'P', data[at + 1] = 'K', data[at + 2] = 3, data[at + 3] = 4;
            if (at + 28 <= data.size() && rng() % 2) { // a plausible name length
                data[at + 26] = static_cast<std::uint8_t>(rng() % 110);
                data[at + 27] = rng() % 4 ? 0 : 0x20;
            }
        };
        for (int k = 0; k < 40; ++k)
            plant(rng() % data.size());
        for (std::size_t w : {31u, 64u, 129u, 130u, 257u})
            for (std::size_t back = 1; back <= 4; ++back)
                if (w * 3 > back)
                    plant(w * 3 - back);
        for (std::size_t tail : {4u, 17u, 29u, 30u, 31u, 60u, 129u, 131u})
            if (tail <= data.size())
                plant(data.size() - tail);

        const fs::path p = write(data, "random" + std::to_string(seed) + ".bin");
        const auto expected = naiveScan(p);
        ASSERT_FALSE(expected.empty());
        for (std::size_t w : windows)
            ASSERT_EQ(windowScan(p, w), expected) << "seed " << seed << ", window " << w;
    }
}

} // namespace
} // namespace qm
