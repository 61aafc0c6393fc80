// The buffered scans against a one-offset-at-a-time reference, and the reads around them.
#include "engine/doc_patterns.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

namespace qm::doc {
namespace {

using Data = std::vector<std::uint8_t>;

// The reference: at each offset read readLength bytes; stop when fewer remain.
std::optional<std::size_t> naiveFirst(const Data& d, std::size_t from, const Pattern& p) {
    for (std::size_t o = from; o + p.readLength <= d.size(); ++o)
        if (std::memcmp(d.data() + o, p.bytes.data(), p.bytes.size()) == 0)
            return o;
    return std::nullopt;
}

std::optional<std::size_t> naiveLast(const Data& d, std::size_t from, const Pattern& p) {
    std::optional<std::size_t> found;
    for (std::size_t o = from; o + p.readLength <= d.size(); ++o)
        if (std::memcmp(d.data() + o, p.bytes.data(), p.bytes.size()) == 0)
            found = o;
    return found;
}

// The header written out byte by byte: fixed bytes, two wildcards, four values of byte 5.
bool naiveIsHeader(const std::uint8_t* p) {
    static constexpr int kFixed[16] = {0xEC, 0xA5, 0xC1, 0x00, -1, -2, 0x09, 0x04,
                                       0x00, 0x00, -1, 0x12, 0xBF, 0x00, 0x00, 0x00};
    for (int i = 0; i < 16; ++i) {
        if (kFixed[i] == -1)
            continue;
        if (kFixed[i] == -2) {
            if (p[i] != 0x20 && p[i] != 0x40 && p[i] != 0x60 && p[i] != 0x80)
                return false;
            continue;
        }
        if (p[i] != kFixed[i])
            return false;
    }
    return true;
}

std::optional<std::size_t> naiveHeader(const Data& d, std::size_t from) {
    for (std::size_t o = from; o + 16 <= d.size(); ++o)
        if (naiveIsHeader(d.data() + o))
            return o;
    return std::nullopt;
}

Data headerBytes(std::uint8_t byte5) {
    return {0xEC, 0xA5, 0xC1, 0x00, 0x77, byte5, 0x09, 0x04, 0x00, 0x00, 0x55, 0x12, 0xBF, 0x00, 0x00, 0x00};
}

void plant(Data& d, std::size_t at, const Data& what, std::size_t keep = SIZE_MAX) {
    for (std::size_t i = 0; i < what.size() && i < keep && at + i < d.size(); ++i)
        d[at + i] = what[i];
}

Data bytesOf(const Pattern& p) { return Data(p.bytes.begin(), p.bytes.end()); }

// A 4-byte pattern read 16 bytes at a time: matches in the last 12 bytes are never seen.
constexpr std::array<std::uint8_t, 4> kWideReadBytes{0xFE, 0xFF, 0xFF, 0xFF};
constexpr Pattern kWideRead{kWideReadBytes, 16};

TEST(DocScan, FastScansGiveTheReferenceOffsetsOnRandomDataWithPlantedPatterns) {
    const std::vector<Pattern> patterns{pattern::kAllocationRun, pattern::kChainEnd,   pattern::kAuthorAnchor,
                                        pattern::kListAnchor,    pattern::kRunEnd,     pattern::kPictureRecord,
                                        kWideRead};
    std::mt19937 rng(4242);
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t size = round < 40 ? round : 40 + rng() % 3000;
        Data d(size);
        // Few distinct values make partial matches frequent.
        for (auto& b : d)
            b = std::array<std::uint8_t, 6>{0x00, 0x01, 0xFF, 0xFE, 0x44, 0x64}[rng() % 6];
        for (const auto& p : patterns) {
            Data data = d;
            const Data pat = bytesOf(p);
            if (size > 0) {
                const int planted = rng() % 4;
                for (int i = 0; i < planted; ++i)
                    plant(data, rng() % size, pat);
                // At the edges: offset 0, the last offset a read still fits, and cut by the end.
                if (rng() % 2)
                    plant(data, 0, pat);
                if (size >= p.readLength && rng() % 2)
                    plant(data, size - p.readLength, pat);
                if (rng() % 2)
                    plant(data, size - std::min(size, pat.size() - 1), pat);
            }
            for (std::size_t from : {std::size_t{0}, std::size_t{1}, size / 2, size, size + 5}) {
                EXPECT_EQ(findFirst(data, from, p), naiveFirst(data, from, p)) << "round " << round;
                EXPECT_EQ(findLast(data, from, p), naiveLast(data, from, p)) << "round " << round;
                ++compared;
            }
        }
        Data h = d;
        if (size >= 16) {
            for (int i = 0; i < 3; ++i)
                plant(h, rng() % (size - 15), headerBytes(std::array<std::uint8_t, 5>{0x20, 0x40, 0x60, 0x80, 0x30}[rng() % 5]));
            if (rng() % 2)
                plant(h, size - 16, headerBytes(0x80));
            if (rng() % 2)
                plant(h, size - 15, headerBytes(0x40)); // one byte too late to be read whole
        }
        for (std::size_t from : {std::size_t{0}, std::size_t{3}, size / 3})
            EXPECT_EQ(findDocumentHeader(h, from), naiveHeader(h, from)) << "round " << round;
    }
    EXPECT_GT(compared, 10000);
}

TEST(DocScan, PatternsAtTheEdgesOfTheData) {
    const Data run = bytesOf(pattern::kAllocationRun);
    EXPECT_EQ(findFirst(run, 0, pattern::kAllocationRun), 0u);
    EXPECT_EQ(findFirst(run, 1, pattern::kAllocationRun), std::nullopt);

    Data cut(run.begin(), run.end() - 1);
    EXPECT_EQ(findFirst(cut, 0, pattern::kAllocationRun), std::nullopt);

    // A read longer than the pattern: the pattern in the last readLength - 1 bytes is not seen.
    Data tail(40, 0x11);
    plant(tail, 30, bytesOf(kWideRead));
    EXPECT_EQ(findFirst(tail, 0, kWideRead), std::nullopt);
    plant(tail, 24, bytesOf(kWideRead));
    EXPECT_EQ(findFirst(tail, 0, kWideRead), 24u);

    // The last of overlapping runs of the chain-end bytes.
    Data ff(10, 0xFF);
    EXPECT_EQ(findFirst(ff, 0, pattern::kRunEnd), 0u);
    EXPECT_EQ(findLast(ff, 0, pattern::kRunEnd), 6u);
}

TEST(DocScan, DocumentHeaderByteFiveAndWildcards) {
    for (std::uint8_t b5 : {0x20, 0x40, 0x60, 0x80}) {
        Data d(64, 0);
        plant(d, 7, headerBytes(b5));
        EXPECT_EQ(findDocumentHeader(d), 7u) << int(b5);
    }
    for (std::uint8_t b5 : {0x00, 0x10, 0x30, 0x81, 0xA0}) {
        Data d(64, 0);
        plant(d, 7, headerBytes(b5));
        EXPECT_EQ(findDocumentHeader(d), std::nullopt) << int(b5);
    }
    Data d(64, 0);
    auto h = headerBytes(0x40);
    h[4] = 0xFF, h[10] = 0x00; // bytes 4 and 10 may be anything
    plant(d, 0, h);
    EXPECT_EQ(findDocumentHeader(d), 0u);
    h[11] = 0x13;
    plant(d, 0, h);
    EXPECT_EQ(findDocumentHeader(d), std::nullopt);
}

TEST(DocScan, LittleEndianReadsPastTheEndReadZero) {
    const Data d{0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(readU32(d, 0), 0x04030201u);
    EXPECT_EQ(readU24(d, 0), 0x030201u); // the fourth byte is ignored
    EXPECT_EQ(readU32(d, 3), 0x0504u);
    EXPECT_EQ(readU16(d, 4), 0x05u);
    EXPECT_EQ(readU32(d, 100), 0u);
    EXPECT_TRUE(slice(d, 5, 10).empty());
    EXPECT_EQ(slice(d, 3, 10).size(), 2u);
    EXPECT_TRUE(slice(d, ~0ull, ~0ull).empty());
}

TEST(DocScan, SourceViewReadsWithoutChangingTheFile) {
    test::TempDir dir;
    const auto file = dir / "src.doc";
    Data bytes(10000);
    std::iota(bytes.begin(), bytes.end(), 0);
    test::writeBytes(file, bytes);
    ::chmod(file.c_str(), 0444);
    struct stat before{};
    ::stat(file.c_str(), &before);
    {
        auto view = SourceView::open(file);
        ASSERT_TRUE(view);
        ASSERT_EQ(view->size(), bytes.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), view->bytes().begin()));
        auto moved = std::move(*view);
        EXPECT_EQ(moved.size(), bytes.size());
    }
    struct stat after{};
    ::stat(file.c_str(), &after);
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);

    test::writeBytes(dir / "empty.doc", {});
    const auto empty = SourceView::open(dir / "empty.doc");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0u);
    EXPECT_EQ(findFirst(empty->bytes(), 0, pattern::kChainEnd), std::nullopt);
    EXPECT_FALSE(SourceView::open(dir / "missing.doc"));
    EXPECT_FALSE(SourceView::open(dir.path()));
}

} // namespace
} // namespace qm::doc
