// The byte-level steps of the salvage methods: what each finds in a source and what it writes.
#include "app/session_state.h"
#include "docserver/binary_io.h"
#include "docserver/doc_binary.h"
#include "docserver/doc_picture_record.h"
#include "engine/doc_steps.h"
#include "tests/engine/doc_synthetic.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace qm::doc {
namespace {

using doctest::SyntheticDoc;
using Data = std::vector<std::uint8_t>;

TEST(DocSteps, DocumentHeaderGivesTextStartSectorsAndCount) {
    const auto small = findFibText(SyntheticDoc(4000).header(0, 0x20, 0xAB123456).bytes);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->textStart, 1536u);
    EXPECT_EQ(small->sectorCount, 3u);
    EXPECT_EQ(small->count, 0x123456u); // 24 bits: the fourth byte is ignored
    const auto big = findFibText(SyntheticDoc(4000).header(600, 0x80, 77).bytes);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->textStart, 2560u);
    EXPECT_EQ(big->sectorCount, 5u);
    EXPECT_EQ(big->count, 77u);
    // A header at the very end has no count after it: the missing bytes count as zero.
    auto cut = SyntheticDoc(100).header(84, 0x40, 0);
    cut.bytes.resize(100);
    EXPECT_EQ(findFibText(cut.bytes)->count, 0u);
}

TEST(DocSteps, AnchoredCounts) {
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(500, 1234).bytes, Anchor::Author), 1234u);
    // An anchor needs room for its count before it; offset 0 means "not found".
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(0, 5).bytes, Anchor::Author), std::nullopt);
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(20, 5).bytes, Anchor::Author), std::nullopt);
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(21, 5).bytes, Anchor::Author), 5u);
    // The first anchor decides, even when a later one would carry a count.
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(10, 1).authorAnchor(900, 9).bytes, Anchor::Author),
              std::nullopt);
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).bytes, Anchor::Author), std::nullopt);

    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).listAnchor(400, 700, 4321).bytes, Anchor::List), 4321u);
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).listAnchor(0, 700, 4321).bytes, Anchor::List), std::nullopt);
    // The run end is searched after the anchor only.
    auto before = SyntheticDoc(3000).put(100, pattern::kRunEnd.bytes).put(400, pattern::kListAnchor.bytes);
    EXPECT_EQ(findAnchoredCount(before.bytes, Anchor::List), std::nullopt);
    // Neither anchor is taken for the other.
    EXPECT_EQ(findAnchoredCount(SyntheticDoc(3000).authorAnchor(500, 1).bytes, Anchor::List), std::nullopt);
}

class DocStepsFiles : public test::IsolatedTest {
protected:
    void SetUp() override {
        savedInstall_ = session().installFolder;
        session().installFolder = dir_ / "install";
        fs::create_directories(session().installFolder);
    }
    void TearDown() override { session().installFolder = savedInstall_; }
    fs::path savedInstall_;
};

TEST_F(DocStepsFiles, TailCopy) {
    // Header byte 5 = 0x40 (5 sectors), n = 1000: U = ((2560 + 1000) / 512 + 1) * 512 = 3584;
    // w = 6 gives L = (6 + 2) * 512 - 3584 = 512. The new document's count m = 300 puts the
    // block at ((2560 + 300) / 512 + 1) * 512 = 3072.
    const FibText fib{0, 2560, 5, 1000};
    const auto newDoc = dir_ / "new.doc";
    const Data original = SyntheticDoc(6000, 0x11).putU32(588, 300).bytes;
    auto run = [&](const SyntheticDoc& src, const Data& target = {}) {
        test::writeBytes(newDoc, target.empty() ? original : target);
        return tailCopy(src.bytes, fib, newDoc);
    };

    auto src = SyntheticDoc(5000).chainEnd(1024, 6);
    for (std::size_t i = 3584; i < 4096; ++i)
        src.bytes[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(run(src), 1);
    Data expected = original;
    std::copy(src.bytes.begin() + 3584, src.bytes.begin() + 4096, expected.begin() + 3072);
    EXPECT_EQ(test::readBytes(newDoc), expected);

    // The source ends 100 bytes into the block: only those are copied.
    EXPECT_EQ(run(SyntheticDoc(3684, 0x5A).chainEnd(1024, 6)), 1);
    const auto partial = test::readBytes(newDoc);
    EXPECT_EQ(partial[3072 + 99], 0x5A);
    EXPECT_EQ(partial[3072 + 100], 0x11);

    // L <= 0 (w = 5 gives exactly 0, w = 1 a negative length): nothing to copy, the written
    // document stands.
    for (std::uint16_t w : {5, 1}) {
        EXPECT_EQ(run(SyntheticDoc(5000).chainEnd(1024, w)), 1) << w;
        EXPECT_EQ(test::readBytes(newDoc), original);
    }
    // No chain end after the first allocation run: nothing to copy, still 1.
    EXPECT_EQ(run(SyntheticDoc(5000).chainEnd(700, 6).allocationRun(800)), 1);
    EXPECT_EQ(test::readBytes(newDoc), original);
    // m beyond the new file, or a new file too short to hold m: left alone.
    const Data far = SyntheticDoc(6000, 0x11).putU32(588, 6001).bytes;
    EXPECT_EQ(run(SyntheticDoc(5000).chainEnd(1024, 6), far), 1);
    EXPECT_EQ(test::readBytes(newDoc), far);
    EXPECT_EQ(run(SyntheticDoc(5000).chainEnd(1024, 6), Data(590, 1)), 1);
    EXPECT_EQ(test::readBytes(newDoc), Data(590, 1));

    EXPECT_EQ(tailCopy(src.bytes, fib, dir_ / "missing.doc"), 0);
}

TEST(DocSteps, PictureGate) {
    EXPECT_TRUE(pictureGate(SyntheticDoc(3000).chainEnd(600, 0).bytes));
    EXPECT_FALSE(pictureGate(SyntheticDoc(3000).chainEnd(100, 0).bytes)); // before 512: not seen
    // The chain end must follow the first allocation run after 512.
    EXPECT_FALSE(pictureGate(SyntheticDoc(3000).chainEnd(600, 0).allocationRun(1000).bytes));
    EXPECT_TRUE(pictureGate(SyntheticDoc(3000).chainEnd(600, 0).allocationRun(1000).chainEnd(1200, 0).bytes));
    EXPECT_FALSE(pictureGate(SyntheticDoc(3000).bytes));
}

TEST(DocSteps, PictureScanHandsOverWholeRecordsAndStopsAtOneRunningPastTheEnd) {
    auto src = SyntheticDoc(2000).picture(100, 40, 0xA1).picture(300, 60, 0xB2).picture(1000, 5000, 0xC3);
    src.bytes.resize(2000);
    std::vector<Data> made;
    const int r = pictureScan(src.bytes, [&](Bytes rec) {
        made.emplace_back(rec.begin(), rec.end());
        return 7;
    });
    EXPECT_EQ(r, 7);
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0], Data(src.bytes.begin() + 100, src.bytes.begin() + 140));
    EXPECT_EQ(made[1], Data(src.bytes.begin() + 300, src.bytes.begin() + 360));

    // A record ending exactly at the end of the file is not "below" it either.
    auto exact = SyntheticDoc(500).picture(400, 100, 0xA1);
    EXPECT_EQ(pictureScan(exact.bytes, [](Bytes) { return 1; }), 0);

    // The scan continues after each record: a signature inside a record is not a record.
    auto nested = SyntheticDoc(2000).picture(100, 200, 0xA1).picture(150, 30, 0xB2).picture(500, 20, 0xC3);
    int count = 0;
    pictureScan(nested.bytes, [&](Bytes) { return ++count; });
    EXPECT_EQ(count, 2);

    // A record of size 0 holds nothing and must not stall the scan.
    auto empty = SyntheticDoc(2000).picture(100, 0, 0).picture(600, 50, 0xD4);
    made.clear();
    pictureScan(empty.bytes, [&](Bytes rec) {
        made.emplace_back(rec.begin(), rec.end());
        return 1;
    });
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].size(), 50u);

    EXPECT_EQ(pictureScan(SyntheticDoc(3).bytes, [](Bytes) { return 1; }), 0);

    // A signature in the first 4 bytes has no size before it: it is passed over, and the
    // pictures after it are still found.
    for (const std::size_t at : {0, 1, 3}) {
        auto early = SyntheticDoc(2000).put(at, doc::pattern::kPictureRecord.bytes).picture(700, 50, 0xE5);
        made.clear();
        EXPECT_EQ(pictureScan(early.bytes,
                              [&](Bytes rec) {
                                  made.emplace_back(rec.begin(), rec.end());
                                  return 1;
                              }),
                  1)
            << at;
        ASSERT_EQ(made.size(), 1u) << at;
        EXPECT_EQ(made[0], Data(early.bytes.begin() + 700, early.bytes.begin() + 750)) << at;
    }
}

// OfficeArt BLIP records outside any picture record: a compressed metafile and a bitmap come
// back as picture records whose image is byte-identical; BLIPs inside a taken record do not.
TEST(DocSteps, LooseBlipsBecomePictureRecords) {
    namespace ds = docserver;
    auto blip = [](std::uint16_t instance, std::uint16_t type, const Data& body) {
        ds::bin::Writer w;
        w.u16(static_cast<std::uint16_t>(instance << 4));
        w.u16(type);
        w.u32(static_cast<std::uint32_t>(16 + body.size()));
        w.zeros(16); // picture id
        w.put(body);
        return w.bytes;
    };
    // An EMF: record type 1, " EMF" at offset 40, and some records.
    Data emf(200, 0);
    emf[0] = 1;
    emf[4] = 108;
    std::copy_n(" EMF", 4, emf.begin() + 40);
    for (std::size_t i = 108; i < emf.size(); ++i)
        emf[i] = static_cast<std::uint8_t>(i * 7);
    uLongf packedSize = compressBound(emf.size());
    Data packed(packedSize);
    ASSERT_EQ(compress2(packed.data(), &packedSize, emf.data(), emf.size(), 9), Z_OK);
    packed.resize(packedSize);
    ds::bin::Writer meta;
    meta.u32(static_cast<std::uint32_t>(emf.size()));
    meta.zeros(16 + 8); // bounds, size
    meta.u32(static_cast<std::uint32_t>(packed.size()));
    meta.u8(0x00); // deflate
    meta.u8(0xFE);
    meta.put(packed);
    // A 2 x 2 bitmap of 24 bits a pixel.
    Data dib(40 + 16, 0x5A);
    ds::bin::Writer dibHeader;
    dibHeader.u32(40);
    dibHeader.u32(2);
    dibHeader.u32(2);
    dibHeader.u16(1);
    dibHeader.u16(24);
    dibHeader.zeros(24);
    std::copy(dibHeader.bytes.begin(), dibHeader.bytes.end(), dib.begin());
    Data bitmapBody{0xFF};
    bitmapBody.insert(bitmapBody.end(), dib.begin(), dib.end());

    const Data emfBlip = blip(0x3D4, 0xF01A, meta.bytes), dibBlip = blip(0x7A8, 0xF01F, bitmapBody);
    auto src = SyntheticDoc(4000).put(1001, emfBlip).put(2003, dibBlip).put(3000, dibBlip);
    const auto records = blipPictureRecords(src.bytes, {});
    ASSERT_EQ(records.size(), 2u); // the second copy of the bitmap is the same picture
    const auto metafile = ds::docpic::pictureFromRecord(records[0]);
    ASSERT_TRUE(metafile);
    EXPECT_EQ(metafile->type, ds::PictureType::Emf);
    EXPECT_EQ(metafile->bytes, emf);
    const auto bitmap = ds::docpic::pictureFromRecord(records[1]);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->type, ds::PictureType::Bmp);
    EXPECT_EQ(Data(bitmap->bytes.begin() + 14, bitmap->bytes.end()), dib);
    // Written into the picture template, the document server reads the same images.
    for (const auto& record : records) {
        Data doc = ds::makePictureTemplate();
        doc.resize(std::max(doc.size(), ds::kPictureRecordOffset + record.size()));
        std::copy(record.begin(), record.end(), doc.begin() + ds::kPictureRecordOffset);
        const ds::Document read = ds::readDocBinary(doc);
        ASSERT_EQ(read.pictures().size(), 1u);
        EXPECT_EQ(*read.pictures()[0], *ds::docpic::pictureFromRecord(record));
    }
    // A BLIP inside a picture record already made is not made again.
    EXPECT_EQ(blipPictureRecords(src.bytes, {{1000, 1100}, {2000, 3100}}).size(), 0u);
}

TEST_F(DocStepsFiles, PictureDocumentsFromTheTemplate) {
    const auto target = dir_ / "Picture1.Doc";
    const Data record = SyntheticDoc(300, 0x42).picture(0, 300, 0x42).bytes;
    // Template missing: nothing written.
    EXPECT_EQ(writePictureDoc(target, record), 0);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(pictureTemplatePath(), session().installFolder / "TempPicture.Doc");

    const Data templ(6000, 0x33);
    test::writeBytes(session().installFolder / "TempPicture.Doc", templ);
    test::writeBytes(target, Data(10, 0));
    fs::permissions(target, fs::perms::owner_read); // an earlier read-only copy is replaced
    EXPECT_EQ(writePictureDoc(target, record), 1);
    const auto doc = test::readBytes(target);
    ASSERT_EQ(doc.size(), 6000u);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), doc.begin() + 5120));
    EXPECT_EQ(doc[5119], 0x33);
    EXPECT_EQ(doc[5420], 0x33);
    EXPECT_EQ(test::readBytes(session().installFolder / "TempPicture.Doc"), templ);

    test::writeBytes(session().installFolder / "TempPicture.Doc", {});
    EXPECT_EQ(writePictureDoc(target, record), 0);
}

TEST_F(DocStepsFiles, RepairPointAndContainerHeader) {
    EXPECT_EQ(findRepairPoint(SyntheticDoc(3000).allocationRun(0).bytes), std::nullopt);
    EXPECT_EQ(findRepairPoint(SyntheticDoc(3000).allocationRun(0).allocationRun(700).bytes), 700u);
    EXPECT_EQ(findRepairPoint(SyntheticDoc(3000).allocationRun(100).allocationRun(2984).bytes), 2984u);
    EXPECT_EQ(findRepairPoint(SyntheticDoc(3000).bytes), std::nullopt);

    const auto copy = dir_ / "copy.doc";
    const Data original(1000, 0x99);
    test::writeBytes(copy, original);
    ASSERT_TRUE(writeContainerHeader(copy));
    const auto after = test::readBytes(copy);
    ASSERT_EQ(after.size(), 1000u);
    EXPECT_TRUE(std::equal(pattern::kContainerHeader.begin(), pattern::kContainerHeader.end(), after.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 32, after.end(), original.begin() + 32));
    EXPECT_FALSE(writeContainerHeader(dir_ / "missing.doc"));
    EXPECT_FALSE(fs::exists(dir_ / "missing.doc"));
}

} // namespace
} // namespace qm::doc
