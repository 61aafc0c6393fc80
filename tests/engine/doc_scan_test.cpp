// The buffered scans against a one-offset-at-a-time reference, and the reads around them.
#include "engine/doc_patterns.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

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

TEST(DocScan, SourceViewReadsWithoutChangingTheFile) {
    test::TempDir dir;
    const auto file = dir / "src.doc";
    Data bytes(10000);
    std::iota(bytes.begin(), bytes.end(), 0);
    test::writeBytes(file, bytes);
    fs::permissions(file, fs::perms::owner_read);
    const auto before = fs::last_write_time(file);
    {
        const auto view = SourceView::open(file);
        ASSERT_TRUE(view);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), view->bytes().begin(), view->bytes().end()));
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read);
    EXPECT_EQ(fs::last_write_time(file), before);

    test::writeBytes(dir / "empty.doc", {});
    const auto empty = SourceView::open(dir / "empty.doc");
    ASSERT_TRUE(empty);
    EXPECT_EQ(findFirst(empty->bytes(), 0, pattern::kChainEnd), std::nullopt);
    EXPECT_FALSE(SourceView::open(dir / "missing.doc"));
    EXPECT_FALSE(SourceView::open(dir.path()));
}

} // namespace
} // namespace qm::doc
