// Extracting entries: salvage endings, skips, confinement, limits and the close.
#include "tests/support/test_support.h"
#include "tests/zip/zip_builder.h"
#include "zip/entry_path.h"
#include "zip/zip_archive.h"

#include <sys/stat.h>

#include <chrono>
#include <algorithm>
#include <ctime>
#include <set>
#include <sstream>

namespace qm {
namespace {

using zipgen::LocalHeader;
using zipgen::ZipBuilder;

std::string fileText(const fs::path& p) {
    return test::readText(p);
}

// Every file below a folder, as paths relative to it.
std::vector<std::string> filesUnder(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

class ZipExtractTest : public ::testing::Test {
protected:
    ZipExtractTest() { fs::create_directories(out_); }
    std::size_t open(ZipBuilder& zb) { return open(zb.bytes()); }
    std::size_t open(const std::vector<std::uint8_t>& bytes) {
        test::writeBytes(archive_, bytes);
        return zip_.Open(archive_);
    }
    bool extract(std::size_t i, std::uint32_t buffer = 65535) { return zip_.ExtractEntry(i, out_, buffer); }

    test::TempDir dir_;
    fs::path archive_ = dir_ / "1.zip";
    fs::path out_ = dir_ / "T";
    CZipArchive zip_;
};

TEST_F(ZipExtractTest, IntactEntriesAreWrittenUnderTheirPath) {
    const std::string xml = zipgen::sampleXml(200000);
    const std::string png = zipgen::sampleBinary(70000);
    ZipBuilder zb;
    zb.add("/word/document.xml", xml);
    zb.add("word/media/image1.png", png, 0);
    zb.add("word/", "", 0); // folder entry
    zb.finish();
    const std::size_t count = open(zb);
    ASSERT_EQ(count, 3u);
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_TRUE(extract(i));
    EXPECT_EQ(fileText(out_ / "word/document.xml"), xml);
    EXPECT_EQ(fileText(out_ / "word/media/image1.png"), png);
    EXPECT_EQ(filesUnder(out_), (std::vector<std::string>{"word/document.xml", "word/media/image1.png"}));

    // Modification time from the DOS stamp 2021-03-04 10:00:00, local time.
    struct stat st {};
    ASSERT_EQ(::stat((out_ / "word/document.xml").c_str(), &st), 0);
    std::tm tm{};
    localtime_r(&st.st_mtime, &tm);
    EXPECT_EQ(tm.tm_year + 1900, 2021);
    EXPECT_EQ(tm.tm_mon + 1, 3);
    EXPECT_EQ(tm.tm_mday, 4);
    EXPECT_EQ(tm.tm_hour, 10);
    EXPECT_EQ(tm.tm_min, 0);
    EXPECT_EQ(zip_.GetLiveZlibBlocks(), 0u);
}

TEST_F(ZipExtractTest, SmallOutputBuffersGiveTheSameBytes) {
    const std::string xml = zipgen::sampleXml(50000);
    ZipBuilder zb;
    zb.add("a.xml", xml);
    zb.add("b.bin", std::string(4096, 'b'), 0); // a multiple of the buffer size
    open(zb);
    EXPECT_TRUE(extract(0, 1000));
    EXPECT_TRUE(extract(1, 1024));
    EXPECT_EQ(fileText(out_ / "a.xml"), xml);
    EXPECT_EQ(fileText(out_ / "b.bin"), std::string(4096, 'b'));
}

TEST_F(ZipExtractTest, SpaceDamagedHeadersStillExtract) {
    const std::string xml = zipgen::sampleXml(3000);
    ZipBuilder zb;
    zb.add("word/styles.xml", xml);
    auto& b = zb.bytes();
    for (int field : {8 + 1, 10 + 1, 12 + 1, 18 + 2, 18 + 3, 22 + 2, 22 + 3, 26 + 1, 28 + 1})
        if (b[static_cast<std::size_t>(field)] == 0)
            b[static_cast<std::size_t>(field)] = 0x20;
    open(zb);
    EXPECT_TRUE(extract(0));
    EXPECT_EQ(fileText(out_ / "word/styles.xml"), xml);
}

TEST_F(ZipExtractTest, DeflatedEntryCutInTheMiddleKeepsItsDecodedPrefix) {
    const std::string xml = zipgen::sampleXml(300000);
    ZipBuilder zb;
    zb.add("word/document.xml", xml);
    auto bytes = zb.bytes();
    bytes.resize(bytes.size() / 2);
    open(bytes);
    EXPECT_TRUE(extract(0));
    const std::string got = fileText(out_ / "word/document.xml");
    EXPECT_GT(got.size(), xml.size() / 4);
    EXPECT_LT(got.size(), xml.size());
    EXPECT_EQ(got, xml.substr(0, got.size()));
}

// The words of the complete runs ("<w:t>" to "</w:t>") of a part; a word touching a byte lost
// to damage (zero) is left out, as the text scanner does.
std::vector<std::string> runWords(const std::string& xml) {
    std::vector<std::string> words;
    for (std::size_t at = 0; (at = xml.find("<w:t>", at)) != std::string::npos;) {
        const std::size_t start = at + 5, end = xml.find("</w:t>", start), next = xml.find('<', start);
        at = start;
        if (end == std::string::npos || next != end)
            continue;
        std::istringstream in(xml.substr(start, end - start));
        for (std::string w; in >> w;)
            if (w.find('\0') == std::string::npos)
                words.push_back(w);
    }
    return words;
}

// Damaged compressed data of a document part: what decodes before the damage is kept, decoding
// goes on after it, the next entry is whole, and no word comes back that the part did not hold.
TEST_F(ZipExtractTest, DamagedDeflateDataIsDecodedPastTheDamage) {
    struct Case {
        const char* what;
        std::size_t size;
        int level;
        std::vector<double> damageAt; // shares of the compressed data; a negative share: at the block end
        std::size_t damageBytes;
        double minRecall;
    };
    const Case cases[] = {
        {"several places in one dynamic block", 60000, 6, {0.3, 0.55, 0.8}, 8, 0.8},
        {"across a block boundary", 200000, 6, {-1}, 48, 0.3},
        {"inside a stored block", 40000, 0, {0.25}, 64, 0.9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string xml = zipgen::sampleXml(c.size, 3);
        std::vector<std::size_t> ends;
        const std::string packed = zipgen::deflateParts({xml.substr(0, xml.size() / 2), xml.substr(xml.size() / 2)}, ends, c.level);
        LocalHeader h;
        h.name = "word/document.xml";
        h.crc = zipgen::crcOf(xml);
        h.compressedSize = static_cast<std::uint32_t>(packed.size());
        h.uncompressedSize = static_cast<std::uint32_t>(xml.size());
        ZipBuilder zb;
        const std::size_t data = zb.addRaw(h, packed) + 30 + h.name.size();
        zb.add("word/settings.xml", "<settings/>");
        for (double share : c.damageAt) {
            const std::size_t from = data + (share < 0 ? ends[0] - c.damageBytes / 2 : static_cast<std::size_t>(share * packed.size()));
            for (std::size_t i = from; i < from + c.damageBytes; ++i)
                zb.bytes()[i] ^= static_cast<std::uint8_t>(0x5A + i);
        }
        fs::remove_all(out_);
        open(zb);
        zip_.SetRecoveryWork(std::uint64_t{3} << 27); // the same search in every kind of build
        EXPECT_TRUE(extract(0));
        EXPECT_TRUE(extract(1));
        EXPECT_EQ(fileText(out_ / "word/settings.xml"), "<settings/>");
        ASSERT_FALSE(zip_.GetNotes().empty());
        EXPECT_NE(zip_.GetNotes().back().find("damaged compressed data"), std::string::npos);

        // Plain inflate of the damaged data, up to where it fails or ends.
        std::string inflated(xml.size() * 2, '\0');
        z_stream zs{};
        ASSERT_EQ(inflateInit2(&zs, -MAX_WBITS), Z_OK);
        zs.next_in = zb.bytes().data() + data;
        zs.avail_in = static_cast<uInt>(packed.size());
        zs.next_out = reinterpret_cast<Bytef*>(inflated.data());
        zs.avail_out = static_cast<uInt>(inflated.size());
        inflate(&zs, Z_FINISH);
        inflated.resize(zs.total_out);
        inflateEnd(&zs);

        const auto original = runWords(xml), got = runWords(fileText(out_ / "word/document.xml"));
        const auto byInflate = runWords(inflated);
        const std::set<std::string> known(original.begin(), original.end()), inflateWords(byInflate.begin(), byInflate.end());
        const auto knownCount = [&](const std::vector<std::string>& words) {
            return std::count_if(words.begin(), words.end(), [&](const std::string& w) { return known.count(w) > 0; });
        };
        // Words inflate alone made up past the damage stay; nothing else is made up.
        for (const auto& w : got)
            EXPECT_TRUE(known.count(w) || inflateWords.count(w)) << "made up: " << w;
        EXPECT_GE(double(knownCount(got)), c.minRecall * double(original.size()));
        EXPECT_GE(knownCount(got), knownCount(byInflate)); // never fewer than inflate alone
        // The last paragraph lies after every damage.
        const std::string last = xml.substr(xml.rfind("<w:p>", xml.size() - 400));
        const auto tail = runWords(last + "</w:t>");
        ASSERT_FALSE(tail.empty());
        const auto gotText = fileText(out_ / "word/document.xml");
        EXPECT_NE(gotText.find(tail.front()), std::string::npos);
        EXPECT_EQ(zip_.GetLiveZlibBlocks(), 0u);

        // Once the archive's work for the search is used up, an entry keeps what inflate gave.
        fs::remove_all(out_);
        open(zb);
        zip_.SetRecoveryWork(0);
        const std::size_t notesBefore = zip_.GetNotes().size();
        extract(0);
        EXPECT_EQ(zip_.GetNotes().size(), notesBefore);
        EXPECT_EQ(knownCount(runWords(fileText(out_ / "word/document.xml"))), knownCount(byInflate));

        // Discarded, the damaged entry is neither written nor searched past its damage.
        fs::remove_all(out_);
        open(zb);
        zip_.SetDiscarded([](const fs::path& relative) { return relative == "word/document.xml"; });
        const std::size_t notesOpened = zip_.GetNotes().size();
        EXPECT_TRUE(extract(0));
        EXPECT_TRUE(extract(1));
        EXPECT_FALSE(fs::exists(out_ / "word/document.xml"));
        EXPECT_EQ(fileText(out_ / "word/settings.xml"), "<settings/>");
        EXPECT_EQ(zip_.GetNotes().size(), notesOpened);
        zip_.SetDiscarded(nullptr);
    }
}

TEST_F(ZipExtractTest, StoredEntryClaimingMoreThanTheFileHoldsStopsAtTheEnd) {
    LocalHeader h;
    h.name = "word/media/image1.png";
    h.method = 0;
    h.crc = 1;
    h.compressedSize = h.uncompressedSize = 100000;
    ZipBuilder zb;
    zb.addRaw(h, "only these bytes");
    open(zb);
    EXPECT_TRUE(extract(0));
    EXPECT_EQ(fileText(out_ / "word/media/image1.png"), "only these bytes");
}

TEST_F(ZipExtractTest, OutputStopsAtTheHeadersUncompressedSize) {
    ZipBuilder zb;
    const std::string text = zipgen::sampleXml(10000);
    LocalHeader h;
    h.name = "a.xml";
    const std::string packed = zipgen::deflateRaw(text);
    h.crc = 1;
    h.compressedSize = static_cast<std::uint32_t>(packed.size());
    h.uncompressedSize = 1234;
    zb.addRaw(h, packed);
    open(zb);
    EXPECT_TRUE(extract(0));
    EXPECT_EQ(fileText(out_ / "a.xml"), text.substr(0, 1234));
}

TEST_F(ZipExtractTest, EntriesWithoutDataOrExtensionAreSkipped) {
    ZipBuilder zb;
    LocalHeader zero; // no data descriptor announced: nothing says how long the data is
    zero.name = "word/document.xml";
    zb.addRaw(zero, zipgen::deflateRaw("data behind a header with zero sizes"));
    zb.add("README", "no extension");
    zb.add("name.", "nothing after the dot");
    open(zb);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(extract(i));
    EXPECT_FALSE(fs::exists(out_ / "word"));
    EXPECT_TRUE(filesUnder(out_).empty());
}

TEST_F(ZipExtractTest, BadIndexAndZeroBufferReturnFalse) {
    ZipBuilder zb;
    zb.add("a.xml", "a");
    open(zb);
    EXPECT_FALSE(extract(1));
    EXPECT_FALSE(extract(0, 0));
    EXPECT_FALSE(zip_.OpenEntry(1));
    EXPECT_FALSE(zip_.CloseEntry());
    EXPECT_TRUE(extract(0));
}

TEST_F(ZipExtractTest, DataDescriptorIsChecked) {
    const std::string text = zipgen::sampleXml(2000);
    const std::string packed = zipgen::deflateRaw(text);
    const auto descriptor = [&](bool signature, std::uint32_t crc) {
        ZipBuilder d;
        if (signature)
            d.put32(0x08074b50);
        d.put32(crc);
        d.put32(static_cast<std::uint32_t>(packed.size()));
        d.put32(static_cast<std::uint32_t>(text.size()));
        return d.str();
    };
    LocalHeader h;
    h.flags = 0x08;
    h.crc = zipgen::crcOf(text);
    h.compressedSize = static_cast<std::uint32_t>(packed.size());
    h.uncompressedSize = static_cast<std::uint32_t>(text.size());
    ZipBuilder zb;
    h.name = "with.xml";
    zb.addRaw(h, packed + descriptor(true, h.crc));
    h.name = "bare.xml";
    zb.addRaw(h, packed + descriptor(false, h.crc));
    h.name = "wrong.xml";
    zb.addRaw(h, packed + descriptor(true, h.crc ^ 1));
    zb.add("after.xml", "after");
    open(zb);
    EXPECT_TRUE(extract(0));
    EXPECT_TRUE(extract(1));
    try {
        extract(2);
        ADD_FAILURE() << "a descriptor that does not match must raise";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.GetCause(), CZipException::badZipFile);
        EXPECT_EQ(e.GetArchivePath(), archive_);
    }
    // The failed close still released the entry.
    EXPECT_TRUE(extract(3));
    EXPECT_EQ(fileText(out_ / "with.xml"), text);
    EXPECT_EQ(fileText(out_ / "bare.xml"), text);
    EXPECT_EQ(fileText(out_ / "after.xml"), "after");
}

// Entries of a streaming writer: flag bit 3, zero sizes and CRC in the local header, the real
// values in a data descriptor after the data (and in the central directory, when there is one).
TEST_F(ZipExtractTest, StreamedEntriesAreFoundAndTheScanGoesOnAfterThem) {
    struct Case {
        const char* what;
        std::uint16_t method;
        bool signature;
        bool wide; // 64-bit sizes in the descriptor
        bool centralDirectory;
    };
    const Case cases[] = {
        {"deflated, signature, directory", 8, true, false, true},
        {"deflated, no signature, no directory", 8, false, false, false},
        {"deflated, 64-bit sizes, no directory", 8, true, true, false},
        {"stored, signature, no directory", 0, true, false, false},
        {"stored, no signature, no directory", 0, false, false, false},
        {"stored, no signature, directory", 0, false, false, true},
    };
    // A nested package as content: its signatures lie inside the streamed entry's data.
    ZipBuilder nested;
    nested.add("inner.xml", "inner");
    const std::string content = zipgen::sampleXml(3000) + nested.str();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string payload = c.method == 8 ? zipgen::deflateRaw(content) : content;
        ZipBuilder d;
        if (c.signature)
            d.put32(0x08074b50);
        d.put32(zipgen::crcOf(content));
        d.put32(static_cast<std::uint32_t>(payload.size()));
        if (c.wide)
            d.put32(0);
        d.put32(static_cast<std::uint32_t>(content.size()));
        if (c.wide)
            d.put32(0);
        LocalHeader h;
        h.flags = 0x08;
        h.method = c.method;
        h.name = "word/document.xml";
        ZipBuilder zb;
        zb.append("junk in front of the package");
        zb.addRaw(h, payload + d.str());
        zb.add("word/after.xml", "after");
        if (c.centralDirectory) {
            // The directory holds the real values, as a streaming writer puts them there.
            ZipBuilder real;
            real.append("junk in front of the package");
            LocalHeader r = h;
            r.crc = zipgen::crcOf(content);
            r.compressedSize = static_cast<std::uint32_t>(payload.size());
            r.uncompressedSize = static_cast<std::uint32_t>(content.size());
            real.addRaw(r, payload + d.str());
            real.add("word/after.xml", "after");
            real.finish();
            // Same bytes but for the sizes and CRC of the first local header.
            auto bytes = real.bytes();
            std::copy(zb.bytes().begin(), zb.bytes().begin() + static_cast<std::ptrdiff_t>(zb.bytes().size()), bytes.begin());
            zb.bytes() = bytes;
        }
        fs::remove_all(out_);
        open(zb);
        ASSERT_EQ(zip_.GetCount(), 2u) << "the scan must go on after the descriptor, not inside the data";
        EXPECT_TRUE(extract(0));
        EXPECT_TRUE(extract(1));
        EXPECT_EQ(fileText(out_ / "word/document.xml"), content);
        EXPECT_EQ(fileText(out_ / "word/after.xml"), "after");
        EXPECT_TRUE(zip_.GetNotes().empty());
    }
}

// A descriptor whose CRC does not match the data: a deflated entry's stream marks its own end,
// so its data is kept, with a note; a stored entry has nothing else to tell its end by and stays
// out. The entries after both are read.
TEST_F(ZipExtractTest, StreamedEntryWithAWrongDescriptorCrc) {
    const std::string content = zipgen::sampleXml(2000);
    ZipBuilder zb;
    for (std::uint16_t method : {8, 0}) {
        const std::string payload = method == 8 ? zipgen::deflateRaw(content) : content;
        ZipBuilder d;
        d.put32(0x08074b50);
        d.put32(zipgen::crcOf(content) ^ 1);
        d.put32(static_cast<std::uint32_t>(payload.size()));
        d.put32(static_cast<std::uint32_t>(content.size()));
        LocalHeader h;
        h.flags = 0x08;
        h.method = method;
        h.name = method == 8 ? "deflated.xml" : "stored.xml";
        zb.addRaw(h, payload + d.str());
        zb.add(method == 8 ? "after1.xml" : "after2.xml", "after");
    }
    open(zb);
    ASSERT_EQ(zip_.GetCount(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(extract(i));
    EXPECT_EQ(fileText(out_ / "deflated.xml"), content);
    EXPECT_FALSE(fs::exists(out_ / "stored.xml"));
    EXPECT_EQ(fileText(out_ / "after1.xml"), "after");
    EXPECT_EQ(fileText(out_ / "after2.xml"), "after");
    ASSERT_EQ(zip_.GetNotes().size(), 1u);
    EXPECT_NE(zip_.GetNotes()[0].find("deflated.xml: the data descriptor's CRC does not match"), std::string::npos);
}

// Decompression bombs: an entry is cut where it passes 100 times its compressed size (after its
// first megabyte), the total is bounded by the package's size, and what was cut is noted; the
// entries before and after are whole.
TEST_F(ZipExtractTest, ExpansionIsBounded) {
    // 1 GiB of zeros in about 1 MB of deflate data: 1 MiB of zeros compressed and flushed to a
    // byte boundary decodes the same after any run of zeros, so it is repeated 1024 times and
    // ended with an empty final block.
    z_stream zs{};
    ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const std::string zeros(1 << 20, '\0');
    std::string chunk(1 << 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    zs.avail_in = static_cast<uInt>(zeros.size());
    zs.next_out = reinterpret_cast<Bytef*>(chunk.data());
    zs.avail_out = static_cast<uInt>(chunk.size());
    ASSERT_EQ(::deflate(&zs, Z_SYNC_FLUSH), Z_OK);
    chunk.resize(chunk.size() - zs.avail_out);
    deflateEnd(&zs);
    std::string bomb;
    for (int i = 0; i < 1024; ++i)
        bomb += chunk;
    bomb += std::string("\x03\x00", 2);
    LocalHeader h;
    h.name = "word/media/image1.png";
    h.crc = 1;
    h.compressedSize = static_cast<std::uint32_t>(bomb.size());
    h.uncompressedSize = 1u << 30;
    ZipBuilder zb;
    zb.add("word/before.xml", "before");
    zb.addRaw(h, bomb);
    zb.add("word/after.xml", "after");
    open(zb);
    const auto started = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(extract(i));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    const auto cut = fs::file_size(out_ / "word/media/image1.png");
    EXPECT_LE(cut, std::max<std::uint64_t>(CZipArchive::kRatioFreeBytes, CZipArchive::kMaxRatio * bomb.size()));
    EXPECT_GE(cut, CZipArchive::kRatioFreeBytes);
    EXPECT_EQ(fileText(out_ / "word/before.xml"), "before");
    EXPECT_EQ(fileText(out_ / "word/after.xml"), "after");
    ASSERT_EQ(zip_.GetNotes().size(), 1u);
    EXPECT_NE(zip_.GetNotes()[0].find("word/media/image1.png: cut after"), std::string::npos);
    // The total: at most 64 MiB more than 100 times the package.
    EXPECT_EQ(zip_.GetExtractLimit(), CZipArchive::kSizeFreeBytes + CZipArchive::kMaxRatio * zb.bytes().size());
}

// 100,000 tiny entries: only the first 10,000 are taken, and that is noted.
TEST_F(ZipExtractTest, EntryCountIsBounded) {
    ZipBuilder zb;
    for (int i = 0; i < 100000; ++i)
        zb.add("word/media/image" + std::to_string(i) + ".png", "x", 0);
    open(zb);
    EXPECT_EQ(zip_.GetCount(), CCentralDir::kMaxEntries);
    ASSERT_EQ(zip_.GetNotes().size(), 1u);
    EXPECT_EQ(zip_.GetNotes()[0], "only the first 10000 entries of the package are read");
}

TEST_F(ZipExtractTest, UnsupportedMethodRaisesAndLeavesTheArchiveUsable) {
    LocalHeader h;
    h.name = "word/document.xml";
    h.method = 12; // bzip2
    h.crc = 1;
    h.compressedSize = h.uncompressedSize = 4;
    ZipBuilder zb;
    zb.addRaw(h, "BZh9");
    zb.add("b.xml", "b");
    open(zb);
    try {
        extract(0);
        ADD_FAILURE() << "method 12 must raise";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.GetCause(), CZipException::badZipFile);
    }
    EXPECT_TRUE(extract(1));
    EXPECT_EQ(fileText(out_ / "b.xml"), "b");
}

TEST_F(ZipExtractTest, HostileNamesStayInsideTheTargetFolder) {
    ZipBuilder zb;
    for (const char* name : {"../evil.txt", "/abs.txt", "C:\\x.txt", "a\\..\\..\\b.txt", "../../..", "c:/d/./e.txt"})
        zb.add(name, name);
    open(zb);
    for (std::size_t i = 0; i < zip_.GetCount(); ++i)
        EXPECT_TRUE(extract(i));
    EXPECT_EQ(filesUnder(out_), (std::vector<std::string>{"a/b.txt", "abs.txt", "d/e.txt", "evil.txt", "x.txt"}));
    EXPECT_EQ(filesUnder(dir_.path()), (std::vector<std::string>{"1.zip", "T/a/b.txt", "T/abs.txt", "T/d/e.txt",
                                                                 "T/evil.txt", "T/x.txt"}));

    // An entry whose target is the archive itself (extracted beside it) is skipped: the archive
    // stays whole and the entries after it still extract.
    ZipBuilder own;
    own.add("1.zip", std::string(5000, 'z'));
    own.add("./1.zip", "again");
    own.add("word/document.xml", "<w:t>kept</w:t>");
    own.finish();
    const auto bytes = own.bytes();
    open(bytes);
    for (std::size_t i = 0; i < zip_.GetCount(); ++i)
        EXPECT_TRUE(zip_.ExtractEntry(i, dir_.path()));
    EXPECT_EQ(test::readBytes(archive_), bytes);
    EXPECT_EQ(fileText(dir_ / "word/document.xml"), "<w:t>kept</w:t>");

    EXPECT_EQ(ConfinedEntryPath("/t", std::string("a.txt\0../../x", 13)), fs::path("/t/a.txt"));
    EXPECT_EQ(ConfinedEntryPath("/t", "..\\.\\"), fs::path());
}

TEST_F(ZipExtractTest, TotalExtractionIsCapped) {
    ZipBuilder zb;
    zb.add("a.xml", std::string(600, 'a'));
    zb.add("b.xml", std::string(5000, 'b'));
    zb.add("c.xml", std::string(10, 'c'));
    open(zb);
    zip_.SetExtractLimit(1000);
    EXPECT_TRUE(extract(0));
    try {
        extract(1, 256);
        ADD_FAILURE() << "the cap must raise";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.GetCause(), CZipException::extractLimit);
    }
    EXPECT_EQ(fileText(out_ / "b.xml"), std::string(400, 'b'));
    EXPECT_EQ(zip_.GetExtractedTotal(), 1000u);
    EXPECT_THROW(extract(2), CZipException);
    EXPECT_EQ(zip_.GetLiveZlibBlocks(), 0u);
}

TEST_F(ZipExtractTest, DiscardedEntriesAreCountedButNotWritten) {
    ZipBuilder zb;
    zb.add("docProps/app.xml", std::string(600, 'a'));
    zb.add("word/document.xml", std::string(5000, 'b'));
    open(zb);
    zip_.SetExtractLimit(1000);
    zip_.SetDiscarded([](const fs::path& relative) { return relative == "docProps/app.xml"; });
    EXPECT_TRUE(extract(0));
    EXPECT_FALSE(fs::exists(out_ / "docProps"));
    EXPECT_EQ(zip_.GetExtractedTotal(), 600u);
    // The discarded entry's bytes still count: the next one is cut where it would have been.
    EXPECT_THROW(extract(1), CZipException);
    EXPECT_EQ(fileText(out_ / "word/document.xml"), std::string(400, 'b'));
    EXPECT_EQ(zip_.GetLiveZlibBlocks(), 0u);
}

TEST_F(ZipExtractTest, CloseFinishesWhenTimeStampsFail) {
    ZipBuilder zb;
    zb.add("a.xml", zipgen::sampleXml(5000));
    zb.add("b.xml", "b");
    open(zb);
    ASSERT_TRUE(zip_.OpenEntry(0));
    EXPECT_FALSE(zip_.OpenEntry(1)); // one entry at a time
    char buf[100];
    EXPECT_EQ(zip_.ReadEntryData(buf, sizeof buf), sizeof buf);
    EXPECT_GT(zip_.GetLiveZlibBlocks(), 0u);
    EXPECT_FALSE(zip_.CloseEntry(dir_ / "no such folder" / "a.xml"));
    EXPECT_EQ(zip_.GetLiveZlibBlocks(), 0u);
    EXPECT_TRUE(extract(1));
    EXPECT_EQ(fileText(out_ / "b.xml"), "b");
}

TEST_F(ZipExtractTest, DestructorFreesADecompressorThatWasNeverEnded) {
    ZipBuilder zb;
    zb.add("a.xml", zipgen::sampleXml(5000));
    test::writeBytes(archive_, zb.bytes());
    CZipArchive zip;
    zip.Open(archive_);
    ASSERT_TRUE(zip.OpenEntry(0));
    char buf[64];
    EXPECT_EQ(zip.ReadEntryData(buf, sizeof buf), sizeof buf);
    EXPECT_GT(zip.GetLiveZlibBlocks(), 0u);
    // Leaving the entry open: the sanitizer build reports a leak if the blocks were not freed.
}

TEST_F(ZipExtractTest, TargetThatCannotBeCreatedRaisesAFileException) {
    ZipBuilder zb;
    zb.add("word.xml", "file");
    zb.add("word.xml/document.xml", "under a file");
    zb.add("ok.xml", "ok");
    open(zb);
    EXPECT_TRUE(extract(0));
    EXPECT_THROW(extract(1), CZipFileException);
    EXPECT_TRUE(extract(2));
    EXPECT_EQ(fileText(out_ / "ok.xml"), "ok");
}

} // namespace
} // namespace qm
