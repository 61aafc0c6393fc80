// The package salvage on the real documents of the corpus, with the in-process document server:
// Preview 1 read back from the saved web archive, Preview 2 checked against the pictures of the
// original package.
#include "app/session_state.h"
#include "docserver/formats.h"
#include "engine/docx_salvage.h"
#include "engine/word_binding.h"
#include "platform/files.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace qm {
namespace {

// --- The original package's pictures ---------------------------------------------------------

std::map<std::string, std::string> mediaOf(const fs::path& package) {
    std::map<std::string, std::string> out;
    int error = 0;
    zip_t* za = zip_open(package.c_str(), ZIP_RDONLY, &error);
    if (!za)
        return out;
    const std::string prefix = "word/media/";
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        const std::string name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
        zip_stat_t st;
        if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || zip_stat_index(za, i, 0, &st) != 0)
            continue;
        std::string bytes(st.size, '\0');
        zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (f && zip_fread(f, bytes.data(), st.size) == static_cast<zip_int64_t>(st.size))
            out[name.substr(prefix.size())] = bytes;
        if (f)
            zip_fclose(f);
    }
    zip_close(za);
    return out;
}

// The picture files a gallery page points at, its URL escapes undone.
std::vector<std::string> pagePictures(const std::string& page) {
    std::vector<std::string> out;
    const std::string open = "<img src=\"", close = "\"\\>\r\n\r";
    for (std::size_t at = 0; (at = page.find(open, at)) != std::string::npos;) {
        const std::size_t end = page.find(close, at);
        if (end == std::string::npos)
            break;
        std::string path;
        for (std::size_t i = at + open.size(); i < end; ++i) {
            if (page[i] == '%' && i + 2 < end) {
                path += static_cast<char>(std::stoi(page.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                path += page[i];
            }
        }
        out.push_back(path);
        at = end;
    }
    return out;
}

class DocxCorpusTest : public test::IsolatedTest {
protected:
    void SetUp() override {
        if (!files::isFolder(test::corpusDir() / "originals"))
            GTEST_SKIP() << "no corpus at " << test::corpusDir();
        session().installFolder = dir_ / "install"; // no companion tool: the in-process server ends with its handles
        word::setConnectionFactory([] { return word::connectInProcess(); });
    }
    void TearDown() override { word::setConnectionFactory(nullptr); }

    static bool isPackage(const fs::path& p) {
        const auto ext = p.extension().string();
        return ext == ".docx" || ext == ".docm";
    }

    // Runs the salvage on one file and reads Preview 1 back ("" when there is none).
    std::string salvage(const fs::path& source) {
        auto& s = session();
        s.clearPreviewFiles();
        s.currentSourcePath = source;
        EXPECT_EQ(SalvageDocxFile(), 1) << source;
        if (!files::isFile(s.previewDocxPath[1]))
            return {};
        return docserver::readDocument(s.previewDocxPath[1]).plainText();
    }

    static std::string reference(const std::string& originalName) {
        return test::readText(test::corpusDir() / "reference" / (originalName + ".txt"));
    }
};

TEST_F(DocxCorpusTest, OriginalsGiveTheirTextAndEveryPicture) {
    test::RecallTally overall;
    int packages = 0;
    for (const auto& entry : fs::directory_iterator(test::corpusDir() / "originals")) {
        if (!isPackage(entry.path()))
            continue;
        ++packages;
        const std::string name = entry.path().filename().string();
        const std::string text = salvage(entry.path()), ref = reference(name);
        test::RecallTally r;
        r.add(text, ref);
        overall.add(text, ref);
        std::cout << "  " << name << ": Preview 1 holds " << r.matched << " of " << r.total << " words ("
                  << 100.0 * r.recall() << "%)\n";
        EXPECT_GE(r.recall(), 0.80) << name;

        const auto media = mediaOf(entry.path());
        const auto shown = pagePictures(test::readText(session().previewDocxPath[2]));
        EXPECT_EQ(shown.size(), media.size()) << name;
        for (const auto& path : shown) {
            const auto it = media.find(fs::path(path).filename().string());
            ASSERT_NE(it, media.end()) << name << ": " << path;
            EXPECT_EQ(test::readText(path), it->second) << name << ": " << path;
        }
        if (media.empty()) {
            EXPECT_FALSE(files::exists(session().previewDocxPath[2])) << name;
        }
    }
    session().clearPreviewFiles();
    ASSERT_GT(packages, 0);
    std::cout << "  overall: " << overall.matched << " of " << overall.total << " words (" << 100.0 * overall.recall()
              << "%)\n";
    EXPECT_GE(overall.recall(), 0.95);
}

TEST_F(DocxCorpusTest, DamagedCopiesPerDamageClass) {
    const auto rows = test::damagedFiles("docx");
    if (rows.empty())
        GTEST_SKIP() << "no manifest of damaged files";
    std::map<std::string, std::pair<double, int>> byClass; // sum of shares, file count
    for (const auto& [damaged, original, family, damageClass] : rows) {
        const double r = test::wordRecall(salvage(test::corpusDir() / "damaged" / damaged), reference(original));
        std::cout << "  " << damaged << ": " << 100.0 * r << "%\n";
        byClass[damageClass].first += r;
        byClass[damageClass].second += 1;
    }
    session().clearPreviewFiles();
    ASSERT_FALSE(byClass.empty());
    for (const auto& [damageClass, sum] : byClass) {
        const double mean = sum.first / sum.second;
        std::cout << "  class " << damageClass << ": mean share of the original's words " << 100.0 * mean << "% over "
                  << sum.second << " files\n";
        RecordProperty("recall_" + damageClass, std::to_string(mean));
        // Damage that leaves every local header and all entry data readable costs nothing.
        if (damageClass == "junk" || damageClass == "nocd" || damageClass == "spaces") {
            EXPECT_GE(mean, 0.95) << damageClass;
        }
    }
}

} // namespace
} // namespace qm
