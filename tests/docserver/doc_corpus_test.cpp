// Real Word 97-2003 documents: the reader's text against LibreOffice's, and the damaged
// variants of the corpus (lost header, FAT, directory, truncation, overwritten sectors).
#include "docserver/doc_binary.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>

namespace qm::docserver {
namespace {

std::vector<fs::path> docFiles(const std::string& folder) {
    std::vector<fs::path> out;
    const fs::path dir = test::corpusDir() / folder;
    if (!fs::is_directory(dir))
        return out;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        for (auto& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext == ".doc")
            out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string textOrError(const fs::path& file) {
    try {
        return readDocBinary(test::readBytes(file)).plainText();
    } catch (const DocError&) {
        return {};
    }
}

TEST(DocBinaryCorpus, OriginalsCoverTheReferenceWords) {
    const auto files = docFiles("originals");
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << test::corpusDir();
    test::RecallTally all;
    for (const auto& file : files) {
        const fs::path reference = test::corpusDir() / "reference" / (file.filename().string() + ".txt");
        if (!fs::exists(reference))
            continue;
        const std::string ref = test::readText(reference);
        const Document doc = readDocBinary(test::readBytes(file));
        const double recall = test::wordRecall(doc.plainText(), ref);
        all.add(doc.plainText(), ref);
        std::printf("  %-70s recall %6.2f%%  pictures %zu\n", file.filename().string().c_str(), 100 * recall,
                    doc.pictures().size());
        EXPECT_GE(recall, 0.80) << file.filename();
    }
    std::printf("  overall recall %.2f%% of %zu words\n", 100 * all.recall(), all.total);
    EXPECT_GE(all.recall(), 0.95);
}

TEST(DocBinaryCorpus, DamagedFilesNeverCrashOrHang) {
    const auto files = docFiles("damaged");
    if (files.empty())
        GTEST_SKIP() << "no damaged corpus at " << test::corpusDir();
    std::map<std::string, test::RecallTally> byClass;
    for (const auto& file : files) {
        const auto start = std::chrono::steady_clock::now();
        const std::string text = textOrError(file);
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << file.filename();
        // <stem>__<class>.<ext>: measured against the reference of the original.
        const std::string name = file.filename().string();
        const auto sep = name.find("__");
        if (sep == std::string::npos)
            continue;
        const std::string cls = name.substr(sep + 2, name.rfind('.') - sep - 2);
        const fs::path reference =
            test::corpusDir() / "reference" / (name.substr(0, sep) + file.extension().string() + ".txt");
        if (fs::exists(reference))
            byClass[cls].add(text, test::readText(reference));
    }
    for (const auto& [cls, tally] : byClass)
        std::printf("  damaged class %-8s recall %6.2f%%\n", cls.c_str(), 100 * tally.recall());
    // A lost header, FAT or directory costs (almost) nothing.
    for (const char* cls : {"hdr", "fat", "dir"}) {
        if (byClass.count(cls)) {
            EXPECT_GE(byClass[cls].recall(), 0.95) << cls;
        }
    }
}

} // namespace
} // namespace qm::docserver
