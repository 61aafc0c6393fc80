// The damaged .docx packages of the corpus: the tolerant reader must recover at least the
// entries that bsdtar (which also reads local headers without the central directory)
// recovers, byte for byte. Skips when bsdtar or the corpus is missing.
#include "platform/process.h"
#include "tests/support/test_support.h"
#include "zip/zip_archive.h"

#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

namespace qm {
namespace {

struct Tally {
    int files = 0;
    int entries = 0; // in the intact original
    int bsdtar = 0;
    int ours = 0;
};

std::string quoted(const fs::path& p) {
    std::string out = "'";
    for (char c : p.string())
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command and returns what it printed (stdout and stderr).
std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
            out.append(buf, n);
        ::pclose(pipe);
    }
    return out;
}

// The entries bsdtar wrote without reporting an error for them ("x name" lines of -v).
std::set<std::string> bsdtarExtract(const fs::path& archive, const fs::path& folder) {
    std::set<std::string> clean;
    const std::string log = capture("bsdtar -xvf " + quoted(archive) + " -C " + quoted(folder));
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find('\n', pos);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("x ", 0) != 0)
            continue;
        const std::string name = line.substr(2);
        if (name.find(": ") == std::string::npos && fs::is_regular_file(folder / name))
            clean.insert(name);
    }
    return clean;
}

// File entries (folder entries end in "/").
std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string out(fs::file_size(p), '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    return out;
}

int countFileEntries(const fs::path& archive) {
    const std::string list = capture("bsdtar -tf " + quoted(archive));
    int n = 0;
    for (std::size_t i = 0; i < list.size(); ++i)
        n += list[i] == '\n' && i > 0 && list[i - 1] != '/';
    return n;
}

// The entries our reader wrote whole: size and CRC-32 as the local header states them.
std::set<std::string> ourExtract(const fs::path& archive, const fs::path& folder) {
    std::set<std::string> whole;
    CZipArchive zip;
    zip.Open(archive);
    for (std::size_t i = 0; i < zip.GetCount(); ++i) {
        try {
            zip.ExtractEntry(i, folder, 65535);
        } catch (const std::exception&) {
            continue; // later entries are still tried
        }
        CFileHeader h;
        zip.GetEntryInfo(i, h);
        const fs::path file = folder / h.fileName;
        if (h.fileName.empty() || !fs::is_regular_file(file))
            continue;
        const std::string bytes = readAll(file);
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
        if (bytes.size() == h.uncompressedSize && crc == h.crc32)
            whole.insert(h.fileName);
    }
    return whole;
}

TEST(ZipCorpusTest, RecoversAtLeastWhatBsdtarRecovers) {
    const fs::path damaged = test::corpusDir() / "damaged";
    if (process::findOnPath("bsdtar").empty())
        GTEST_SKIP() << "bsdtar is not installed";
    if (!fs::is_directory(damaged))
        GTEST_SKIP() << "no corpus at " << damaged;

    std::map<std::string, Tally> byClass;
    std::map<fs::path, int> originalEntries;
    test::TempDir tmp;
    int n = 0;
    for (const auto& e : fs::directory_iterator(damaged)) {
        const fs::path path = e.path();
        const std::string ext = path.extension().string();
        if (ext != ".docx" && ext != ".docm")
            continue;
        const std::string stem = path.stem().string();
        const auto sep = stem.rfind("__");
        ASSERT_NE(sep, std::string::npos) << path;
        const std::string damageClass = stem.substr(sep + 2);
        const fs::path original = test::corpusDir() / "originals" / (stem.substr(0, sep) + ext);

        const fs::path theirs = tmp / ("b" + std::to_string(n));
        const fs::path ours = tmp / ("q" + std::to_string(n));
        ++n;
        fs::create_directories(theirs);
        fs::create_directories(ours);
        const auto bsdtarWhole = bsdtarExtract(path, theirs);
        const auto ourWhole = ourExtract(path, ours);

        for (const auto& name : bsdtarWhole) {
            EXPECT_TRUE(fs::is_regular_file(ours / name)) << path.filename() << ": " << name << " not recovered";
            if (fs::is_regular_file(ours / name)) {
                EXPECT_EQ(readAll(ours / name), readAll(theirs / name))
                    << path.filename() << ": " << name << " differs from bsdtar's";
            }
        }
        EXPECT_GE(ourWhole.size(), bsdtarWhole.size()) << path.filename();

        Tally& t = byClass[damageClass];
        ++t.files;
        if (!originalEntries.count(original))
            originalEntries[original] = fs::is_regular_file(original) ? countFileEntries(original) : 0;
        t.entries += originalEntries[original];
        t.bsdtar += static_cast<int>(bsdtarWhole.size());
        t.ours += static_cast<int>(ourWhole.size());
    }
    if (byClass.empty())
        GTEST_SKIP() << "no damaged packages in " << damaged;

    std::cout << "class     files  entries  bsdtar  quillmend   (whole file entries)\n";
    for (const auto& [name, t] : byClass) {
        char line[128];
        std::snprintf(line, sizeof line, "%-9s %5d %8d %7d %10d\n", name.c_str(), t.files, t.entries, t.bsdtar, t.ours);
        std::cout << line;
        RecordProperty("recovered_" + name, std::to_string(t.ours) + "/" + std::to_string(t.bsdtar));
    }
}

} // namespace
} // namespace qm
