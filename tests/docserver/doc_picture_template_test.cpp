// The picture template: a .doc whose picture record starts at offset 5120, and picture
// documents made from it the way the salvage engine makes them (a record cut out of a
// source document by its own size field and written over a copy at offset 5120).
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace qm::docserver {
namespace {

// A valid PNG made large by a private chunk of noise.
std::vector<std::uint8_t> largePng(std::size_t noise) {
    auto png = test::tinyPng(40, 30);
    std::mt19937 rng(11);
    std::vector<std::uint8_t> payload(noise);
    for (auto& b : payload)
        b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> chunk;
    test::appendPngChunk(chunk, "quIl", payload);
    png.insert(png.end() - 12, chunk.begin(), chunk.end()); // before IEND
    return png;
}

// The picture record of a document, found as the salvage engine finds it: the pattern
// 44 00 64 00, the size in the four bytes before it, the record taken whole from there.
std::vector<std::uint8_t> cutRecord(const std::vector<std::uint8_t>& file) {
    static const std::vector<std::uint8_t> pattern = {0x44, 0x00, 0x64, 0x00};
    auto at = std::search(file.begin() + 4, file.end(), pattern.begin(), pattern.end());
    EXPECT_NE(at, file.end());
    const std::size_t m = static_cast<std::size_t>(at - file.begin());
    const std::uint32_t size = bin::u32(file, m - 4);
    EXPECT_LT(m - 4 + size, file.size());
    return {file.begin() + static_cast<std::ptrdiff_t>(m - 4), file.begin() + static_cast<std::ptrdiff_t>(m - 4 + size)};
}

std::vector<std::uint8_t> pictureDocument(std::vector<std::uint8_t> copy, const std::vector<std::uint8_t>& record) {
    if (copy.size() < kPictureRecordOffset + record.size())
        copy.resize(kPictureRecordOffset + record.size());
    std::copy(record.begin(), record.end(), copy.begin() + kPictureRecordOffset);
    return copy;
}

TEST(PictureTemplate, IsADocumentWithItsRecordAt5120) {
    const auto tpl = makePictureTemplate();
    ASSERT_GT(tpl.size(), kPictureRecordOffset + 8);
    EXPECT_EQ(bin::u16(tpl, kPictureRecordOffset + 4), 0x44);
    EXPECT_EQ(bin::u16(tpl, kPictureRecordOffset + 6), 0x64);
    const Document doc = readDocBinary(tpl);
    ASSERT_EQ(doc.pictures().size(), 1u);
    EXPECT_EQ(doc.pictures()[0]->type, PictureType::Png);
    EXPECT_EQ(doc.plainText(), "");
    // The build writes the same file into the installation layout.
    const fs::path built = test::binDir() / "TempPicture.Doc";
    if (fs::exists(built)) {
        EXPECT_EQ(test::readBytes(built), tpl);
    }
}

TEST(PictureTemplate, AnyRecordWrittenAt5120IsReadAsThatPicture) {
    const auto tpl = makePictureTemplate();
    struct Case {
        const char* name;
        std::vector<std::uint8_t> picture;
    };
    const std::vector<Case> cases = {
        {"smaller PNG", test::tinyPng(1, 1)},
        {"JPEG", test::tinyJpeg(64, 32)},
        {"PNG past the Data stream", largePng(3000)},
        {"PNG past the end of the file", largePng(40000)},
    };
    for (const auto& c : cases) {
        Document source;
        source.insertAfter("Some text before the picture.");
        source.insertPicture(Picture::fromBytes(c.picture));
        source.insertParagraphAfter();
        const auto record = cutRecord(writeDocBinary(source));
        const auto copy = pictureDocument(tpl, record);
        EXPECT_TRUE(looksLikeDocBinary(copy)) << c.name;
        const Document doc = readDocBinary(copy);
        ASSERT_EQ(doc.pictures().size(), 1u) << c.name;
        EXPECT_EQ(doc.pictures()[0]->bytes, c.picture) << c.name;
        EXPECT_EQ(doc.plainText(), "") << c.name;
    }
    EXPECT_GT(pictureDocument(tpl, cutRecord(writeDocBinary([] {
                  Document d;
                  d.insertPicture(Picture::fromBytes(largePng(40000)));
                  return d;
              }()))).size(),
              tpl.size());
}

TEST(PictureTemplate, PictureSurvivesDamageElsewhereInTheCopy) {
    Document source;
    source.insertPicture(Picture::fromBytes(test::tinyJpeg(32, 16)));
    const auto copy = pictureDocument(makePictureTemplate(), cutRecord(writeDocBinary(source)));
    for (std::size_t zeroed : {std::size_t(0), std::size_t(512), std::size_t(1024)}) { // header, FAT, directory
        auto bad = copy;
        std::fill_n(bad.begin() + static_cast<std::ptrdiff_t>(zeroed), 512, 0);
        const Document doc = readDocBinary(bad);
        ASSERT_EQ(doc.pictures().size(), 1u) << zeroed;
        EXPECT_EQ(doc.pictures()[0]->bytes, source.pictures()[0]->bytes) << zeroed;
    }
    // A record cut short by the end of the file gives what it holds, or nothing, but never
    // more than the file.
    auto cut = copy;
    cut.resize(kPictureRecordOffset + 120);
    const Document doc = readDocBinary(cut);
    for (const auto* p : doc.pictures())
        EXPECT_LE(p->bytes.size(), cut.size());
}

} // namespace
} // namespace qm::docserver
