// The save engine on the damaged files of the corpus, through the in-process document server:
// candidate N holds the text of Preview N (same method, same source), read back through the
// document server's readers, apart from the one character per chunk that methods 1 and 3 keep
// differently on the two sides. Skipped when the corpus is absent.
#include "app/session_state.h"
#include "docserver/doc_picture_record.h"
#include "docserver/formats.h"
#include "engine/doc_salvage.h"
#include "engine/doc_steps.h"
#include "engine/doc_text_loop.h"
#include "engine/docx_salvage.h"
#include "engine/docx_text_scanner.h"
#include "engine/save_engine.h"
#include "engine/word_binding.h"
#include "tests/engine/save_test_tools.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"
#include "zip/deflate_recovery.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <iostream>
#include <optional>
#include <sstream>

namespace qm {
namespace {

// What a document reads back as: its text and its number of pictures; nullopt when the file is
// missing.
struct ReadBack {
    std::string text;
    std::size_t pictures = 0;
};

std::optional<ReadBack> readBack(const fs::path& p) {
    if (p.empty() || !fs::is_regular_file(p))
        return std::nullopt;
    const auto d = docserver::readDocument(p);
    return ReadBack{d.plainText(), d.pictures().size()};
}

// One entry of an intact package as libzip unpacks it; empty when it cannot.
std::vector<std::uint8_t> libzipEntry(const fs::path& package, const char* name) {
    std::vector<std::uint8_t> out;
    int error = 0;
    zip_t* za = zip_open(package.c_str(), ZIP_RDONLY, &error);
    if (!za)
        return out;
    zip_stat_t st;
    if (zip_stat(za, name, 0, &st) == 0) {
        out.resize(st.size);
        zip_file_t* f = zip_fopen(za, name, 0);
        if (!f || zip_fread(f, out.data(), st.size) != static_cast<zip_int64_t>(st.size))
            out.clear();
        if (f)
            zip_fclose(f);
    }
    zip_close(za);
    return out;
}

std::u32string codePoints(const std::string& utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : c & (0x3F >> (len - 1));
        for (std::size_t k = 1; k < len && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += cp;
        i += len;
    }
    return out;
}

// True when shorter is longer with at most maxDrops characters left out, each of them the last
// character of a chunk: right before a paragraph end (or at the very end).
bool differsByLastCharacters(const std::string& longer, const std::string& shorter, std::size_t maxDrops,
                             std::size_t& drops, std::string& why) {
    const auto a = codePoints(longer), b = codePoints(shorter);
    std::size_t i = 0, j = 0;
    drops = 0;
    while (i < a.size()) {
        if (j < b.size() && a[i] == b[j]) {
            ++i, ++j;
            continue;
        }
        if (i + 1 < a.size() && a[i + 1] != U'\n') {
            // A little of both sides around the place, as UTF-8.
            auto around = [](const std::string& utf8, std::size_t at) {
                const auto cps = codePoints(utf8);
                std::string out;
                for (std::size_t k = at > 20 ? at - 20 : 0; k < std::min(cps.size(), at + 20); ++k)
                    out += cps[k] == U'\n' ? '|' : cps[k] < 0x80 ? static_cast<char>(cps[k]) : '?';
                return out;
            };
            why = "differs at character " + std::to_string(i) + ", not at a chunk end: \"" + around(longer, i) +
                  "\" against \"" + around(shorter, j) + "\"";
            return false;
        }
        ++i, ++drops;
    }
    if (j != b.size()) {
        why = "has " + std::to_string(b.size() - j) + " characters more";
        return false;
    }
    if (drops > maxDrops) {
        why = std::to_string(drops) + " characters differ, more than the " + std::to_string(maxDrops) + " chunks";
        return false;
    }
    return true;
}

// The number of chunks of the text loop for a count n (every chunk but a count of 0 reads one).
std::size_t chunkCount(std::uint64_t start, std::uint32_t n) {
    std::size_t chunks = 0;
    const std::uint64_t end = n + doc::kTextLoopEndBase;
    std::uint64_t k = std::min<std::uint32_t>(n, doc::kMaxChunk);
    for (std::uint64_t s = start; s < end && k > 0; ++chunks) {
        s += k;
        if (s + k > end)
            k = end - s;
    }
    return chunks;
}

class SaveCorpus : public test::IsolatedTest {
protected:
    void SetUp() override {
        damaged_ = test::corpusDir() / "damaged";
        if (!fs::is_directory(damaged_))
            GTEST_SKIP() << "no corpus at " << damaged_;
        auto& s = session();
        saved_ = {s.installFolder, s.advanceRepair, s.saveOption};
        s.installFolder = dir_ / "install"; // no companion tool: in-process servers end with their handles
        fs::create_directories(s.installFolder);
        const auto templ = test::binDir() / "TempPicture.Doc";
        if (fs::exists(templ))
            fs::copy_file(templ, s.installFolder / "TempPicture.Doc");
        s.advanceRepair = true;
        s.saveOption = 0;
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        word::setConnectionFactory([] { return word::connectInProcess(); });
    }
    void TearDown() override {
        word::setConnectionFactory(nullptr);
        auto& s = session();
        s.installFolder = saved_.install;
        s.advanceRepair = saved_.advance;
        s.saveOption = saved_.option;
    }

    // The damaged files of one family, sorted.
    std::vector<fs::path> sources(bool packages) const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(damaged_)) {
            std::string ext = e.path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
            if (packages ? (ext == ".docx" || ext == ".docm") : ext == ".doc")
                out.push_back(e.path());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    fs::path destination(const fs::path& source) const { return dir_ / "Out" / source.filename(); }
    void expectTempEmpty(const fs::path& source) const {
        EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "left in the temporary folder after " << source;
    }

    fs::path damaged_;
    struct {
        fs::path install;
        bool advance = true;
        int option = 0;
    } saved_;
};

TEST_F(SaveCorpus, DocCandidatesHoldTheTextOfTheirPreviews) {
    const auto files = sources(false);
    ASSERT_FALSE(files.empty());
    int compared = 0, matched = 0, bothMissing = 0, textDocKept = 0;
    std::size_t chunkEndsDiffering = 0;
    for (const auto& file : files) {
        const auto before = test::readBytes(file);
        const auto perms = fs::status(file).permissions();
        auto& s = session();

        // The analysis: Previews 1 to 4.
        s.clearPreviewFiles();
        for (auto& p : s.previewDocPath)
            p.clear();
        s.currentSourcePath = file;
        SalvageDocFile();
        std::optional<ReadBack> preview[5];
        for (int n = 1; n <= 4; ++n)
            preview[n] = readBack(s.previewDocPath[n]);
        s.clearPreviewFiles();

        // The save side, as Save All runs it.
        s.saveSourcePath = file;
        const auto saved = savetest::saveAllCandidates(destination(file), false);
        std::optional<ReadBack> candidate[5];
        for (int n = 1; n <= 4; ++n)
            candidate[n] = readBack(saved.path[n]);
        const int fibText = saved.fibText;
        expectTempEmpty(file);
        if (fs::is_directory(destination(file) / "Preview 1")) {
            for (const auto& e : fs::directory_iterator(destination(file) / "Preview 1"))
                EXPECT_NE(e.path().filename().string().rfind("Picture", 0), 0u) << file; // no picture folder left
        }

        // How many chunks each text method read, for the characters that may differ.
        const auto view = doc::SourceView::open(file);
        ASSERT_TRUE(view) << file;
        std::size_t chunks[5] = {0, 0, 0, 0, 0};
        if (const auto fib = doc::findFibText(view->bytes()))
            chunks[1] = chunkCount(fib->textStart, fib->count);
        for (int n : {2, 3})
            if (const auto count = doc::findAnchoredCount(view->bytes(), n == 2 ? doc::Anchor::Author : doc::Anchor::List))
                chunks[n] = chunkCount(doc::kAnchoredTextStart, *count);

        for (int n = 1; n <= 4; ++n) {
            if (!preview[n] && !candidate[n]) {
                ++bothMissing;
                continue;
            }
            // Save All keeps method 1's text document as candidate 1 when the tail copy ended
            // with 0; the analysis then makes no Preview 1.
            if (n == 1 && !preview[1] && fibText == 0) {
                textDocKept += candidate[1].has_value();
                continue;
            }
            ++compared;
            if (!preview[n] || !candidate[n]) {
                ADD_FAILURE() << file << ": " << (preview[n] ? "candidate " : "Preview ") << n << " is missing";
                continue;
            }
            std::string why;
            std::size_t drops = 0;
            bool same = false;
            if (n == 1) // the candidate keeps k characters per chunk, the preview k - 1
                same = differsByLastCharacters(candidate[1]->text, preview[1]->text, chunks[1], drops, why);
            else if (n == 3) // the preview keeps k, the candidate k - 1
                same = differsByLastCharacters(preview[3]->text, candidate[3]->text, chunks[3], drops, why);
            else
                same = candidate[n]->text == preview[n]->text;
            EXPECT_TRUE(same) << file << ": candidate " << n << " " << why;
            EXPECT_EQ(candidate[n]->pictures, preview[n]->pictures) << file << ": candidate " << n;
            matched += same && candidate[n]->pictures == preview[n]->pictures;
            chunkEndsDiffering += drops;
        }

        EXPECT_EQ(test::readBytes(file), before) << file;
        EXPECT_EQ(fs::status(file).permissions(), perms) << file;
    }
    std::cout << files.size() << " damaged .doc files: " << compared << " candidates compared with their previews, "
              << matched << " matched (" << chunkEndsDiffering << " chunk-end characters kept on one side only); "
              << bothMissing << " made on neither side; " << textDocKept
              << " candidates 1 left as method 1's text document (no Preview 1)\n";
}

// Word recall of the best saved candidate of every .doc original and damaged copy against
// LibreOffice's text of the original, per file, per damage class and per text encoding.
TEST_F(SaveCorpus, DocBestCandidateRecall) {
    const fs::path corpus = test::corpusDir();
    std::vector<fs::path> files;
    for (const char* folder : {"originals", "damaged"})
        for (const auto& e : fs::directory_iterator(corpus / folder)) {
            std::string ext = e.path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
            if (ext == ".doc")
                files.push_back(e.path());
        }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    // How the originals store their text (the rest one byte per character).
    const auto encoding = [](const std::string& stem) -> std::string {
        for (const char* u : {"52420", "Bug45877", "Bug47286", "watermark", "clusterfuzz"})
            if (stem.starts_with(u))
                return "utf16";
        return stem == "Bug47742" || stem == "Bug53380_1" ? "mixed" : "8bit";
    };
    std::map<std::string, test::RecallTally> byClass, byEncoding;
    std::map<std::string, double> worstOriginal;
    std::map<std::string, std::pair<std::size_t, std::size_t>> picturesByClass; // found, in the original
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        const auto sep = name.find("__");
        const std::string stem = sep == std::string::npos ? file.stem().string() : name.substr(0, sep);
        const std::string cls = sep == std::string::npos ? "intact" : name.substr(sep + 2, name.rfind('.') - sep - 2);
        const fs::path reference = corpus / "reference" / (stem + file.extension().string() + ".txt");
        if (!fs::exists(reference))
            continue;
        const std::string ref = test::readText(reference);
        session().saveSourcePath = file;
        const auto saved = savetest::saveAllCandidates(destination(file) / cls, false);
        double best = 0, recall[5] = {0, 0, 0, 0, 0};
        std::string bestText;
        for (int n = 1; n <= 4; ++n)
            if (const auto back = readBack(saved.path[n])) {
                recall[n] = test::wordRecall(back->text, ref);
                if (recall[n] >= best) {
                    best = recall[n];
                    bestText = back->text;
                }
            }
        // The pictures of the original that come back byte-identical in candidate 1.
        // The pictures of the original: those its reader shows and every BLIP in the file.
        std::vector<docserver::Picture> want;
        const fs::path originalPath = corpus / "originals" / (stem + file.extension().string());
        const auto original = docserver::readDocument(originalPath);
        for (const auto* p : original.pictures())
            want.push_back(*p);
        for (const auto& record : doc::blipPictureRecords(test::readBytes(originalPath), {}))
            if (auto p = docserver::docpic::pictureFromRecord(record); p && std::find(want.begin(), want.end(), *p) == want.end())
                want.push_back(*p);
        const std::size_t wanted = want.size();
        if (!saved.path[1].empty()) {
            const auto back = docserver::readDocument(saved.path[1]);
            for (const auto* p : back.pictures())
                if (auto it = std::find(want.begin(), want.end(), *p); it != want.end())
                    want.erase(it);
        }
        picturesByClass[cls].first += wanted - want.size();
        picturesByClass[cls].second += wanted;
        byClass[cls].add(bestText, ref);
        byEncoding[encoding(stem)].add(bestText, ref);
        auto [it, fresh] = worstOriginal.emplace(stem, best);
        if (!fresh)
            it->second = std::min(it->second, best);
        std::printf("  %-50s %-8s %-6s best %6.2f%%  (1: %6.2f 2: %6.2f 3: %6.2f 4: %6.2f)  pictures %zu/%zu\n",
                    stem.substr(0, 50).c_str(), cls.c_str(), encoding(stem).c_str(), 100 * best, 100 * recall[1],
                    100 * recall[2], 100 * recall[3], 100 * recall[4], wanted - want.size(), wanted);
    }
    for (const auto& [cls, tally] : byClass)
        std::printf("  class %-8s recall %6.2f%% of %zu words, pictures %zu of %zu\n", cls.c_str(),
                    100 * tally.recall(), tally.total, picturesByClass[cls].first, picturesByClass[cls].second);
    for (const auto& [enc, tally] : byEncoding)
        std::printf("  encoding %-6s recall %6.2f%% of %zu words\n", enc.c_str(), 100 * tally.recall(), tally.total);
    for (const auto& [stem, worst] : worstOriginal)
        std::printf("  original %-50s worst class %6.2f%%\n", stem.substr(0, 50).c_str(), 100 * worst);
    // A lost header, allocation table or directory costs (almost) nothing, in either encoding.
    for (const char* cls : {"intact", "hdr", "fat", "dir"})
        EXPECT_GE(byClass[cls].recall(), 0.97) << cls;
    EXPECT_GE(byClass["trunc"].recall(), 0.90);
    EXPECT_GE(byClass["sectors"].recall(), 0.85);
    for (const char* enc : {"8bit", "mixed", "utf16"})
        EXPECT_GE(byEncoding[enc].recall(), 0.80) << enc;
    // Pictures of the intact and header-damaged files come back (the template is built with
    // the program: target picture_template).
    ASSERT_TRUE(fs::exists(session().installFolder / "TempPicture.Doc")) << "no picture template in " << test::binDir();
    for (const char* cls : {"intact", "hdr"})
        EXPECT_GE(picturesByClass[cls].first * 10, picturesByClass[cls].second * 9) << cls;
}

// Per damage class (and for the packages written by a streaming writer), the mean share of
// the original's words in Preview 1 and in candidate 1, and the words of neither that are not
// in the original at all (neither in its reference text nor in its document part). The streamed
// packages have no reference text: theirs is what the scanner reads from the intact document
// part (unpacked by libzip).
TEST_F(SaveCorpus, DocxRecallPerDamageClass) {
    struct Source {
        fs::path file;
        std::string damageClass;
        std::string reference;
        std::string partText; // of the intact document part, for words not in the reference
    };
    const auto textOfPart = [](const fs::path& package) {
        std::string text;
        for (const auto& p : docx::ScanPartParagraphs(libzipEntry(package, "word/document.xml")))
            text += p + "\n";
        return text;
    };
    std::vector<Source> all;
    for (const auto& f : test::damagedFiles("docx"))
        all.push_back({damaged_ / f.name, f.damageClass,
                       test::readText(test::corpusDir() / "reference" / (f.original + ".txt")),
                       textOfPart(test::corpusDir() / "originals" / f.original)});
    const fs::path streamed = test::corpusDir() / "streamed";
    if (fs::is_directory(streamed))
        for (const auto& e : fs::directory_iterator(streamed)) {
            const std::string text = textOfPart(e.path());
            all.push_back({e.path(), "streamed", text, text});
        }
    ASSERT_FALSE(all.empty());
    struct Sums {
        double preview = 0, candidate = 0;
        std::size_t foreign = 0, files = 0;
    };
    std::map<std::string, Sums> byClass;
    for (const auto& src : all) {
        auto& s = session();
        s.clearPreviewFiles();
        s.currentSourcePath = src.file;
        SalvageDocxFile();
        const auto preview = readBack(s.previewDocxPath[1]);
        s.clearPreviewFiles();
        std::error_code ec;
        fs::remove_all(s.docxWorkFolder, ec);
        s.saveSourcePath = src.file;
        const auto candidate = readBack(savetest::saveAllCandidates(destination(src.file), true).path[1]);
        const std::string p = preview ? preview->text : "", c = candidate ? candidate->text : "";
        auto& sums = byClass[src.damageClass];
        sums.preview += test::wordRecall(p, src.reference);
        sums.candidate += test::wordRecall(c, src.reference);
        // Words that are in neither the reference nor the intact part: made up.
        auto ref = test::wordTokens(src.reference);
        const auto part = test::wordTokens(src.partText);
        ref.insert(ref.end(), part.begin(), part.end());
        for (const auto& w : test::wordTokens(p))
            if (std::find(ref.begin(), ref.end(), w) == ref.end()) {
                ++sums.foreign;
                std::cout << "    not in the original: " << w << "\n";
            }
        ++sums.files;
        std::cout << "  " << src.file.filename().string() << ": Preview 1 " << 100.0 * test::wordRecall(p, src.reference)
                  << "%, candidate 1 " << 100.0 * test::wordRecall(c, src.reference) << "%\n";
    }
    for (const auto& [damageClass, sums] : byClass) {
        std::cout << "  class " << damageClass << " (" << sums.files << " files): Preview 1 "
                  << 100.0 * sums.preview / sums.files << "%, candidate 1 " << 100.0 * sums.candidate / sums.files
                  << "%, words not in the original " << sums.foreign << "\n";
        RecordProperty("preview1_" + damageClass, std::to_string(sums.preview / sums.files));
        // In two midflip files inflate runs on past the damage to the end (wrong checksum only);
        // what it decoded is kept as is, with the 5 words it makes up, so as not to lose the
        // original's words it got right. Nothing else may add any.
        EXPECT_LE(sums.foreign, damageClass == "midflip" ? 5u : 0u) << damageClass;
    }
    EXPECT_GE(byClass["streamed"].preview / std::max<std::size_t>(byClass["streamed"].files, 1), 0.9);
    // Damaged compressed data in the middle of the document part: the search past the damage
    // has less work in unoptimised builds and is not held to a share under the sanitizers.
    if (const auto& m = byClass["midflip"]; m.files > 0 && deflate::kWorkScale <= 8) {
        EXPECT_GE(m.preview / m.files, deflate::kWorkScale == 1 ? 0.55 : 0.5);
    }
}

TEST_F(SaveCorpus, DocxCandidateHoldsTheTextOfPreview1) {
    const auto files = sources(true);
    ASSERT_FALSE(files.empty());
    int compared = 0, matched = 0, bothMissing = 0, media = 0;
    for (const auto& file : files) {
        const auto before = test::readBytes(file);
        auto& s = session();

        s.clearPreviewFiles();
        s.currentSourcePath = file;
        SalvageDocxFile();
        const auto preview = readBack(s.previewDocxPath[1]);
        s.clearPreviewFiles();
        std::error_code ec;
        fs::remove_all(s.docxWorkFolder, ec); // what the analysis leaves; the save side must leave nothing

        s.saveSourcePath = file;
        const auto saved = savetest::saveAllCandidates(destination(file), true);
        const auto candidate = readBack(saved.path[1]);
        expectTempEmpty(file);
        for (const auto& e : fs::directory_iterator(destination(file) / "Preview 1"))
            media += e.path() != s.saveTargetPath;

        if (!preview && !candidate) {
            ++bothMissing;
        } else {
            ++compared;
            if (!preview || !candidate) {
                ADD_FAILURE() << file << ": " << (preview ? "candidate" : "Preview") << " 1 is missing";
            } else {
                EXPECT_EQ(candidate->text, preview->text) << file;
                matched += candidate->text == preview->text;
            }
        }
        EXPECT_EQ(test::readBytes(file), before) << file;
    }
    std::cout << files.size() << " damaged packages: " << compared << " candidates compared with Preview 1, "
              << matched << " matched; " << bothMissing << " made on neither side; " << media << " media copies\n";
}

// Every document the save engine writes for the corpus opens in LibreOffice with the words the
// document server reads from it, and every .doc in antiword.
TEST_F(SaveCorpus, EveryCandidateOpensInLibreOfficeAndAntiword) {
    const bool soffice = savetest::have("soffice"), antiword = savetest::have("antiword");
    if (!soffice && !antiword)
        GTEST_SKIP() << "neither soffice nor antiword is installed";
    std::vector<fs::path> outputs;
    for (bool packages : {false, true}) {
        for (const auto& file : sources(packages)) {
            session().saveSourcePath = file;
            const auto written = savetest::saveAllCandidates(destination(file), packages).written();
            outputs.insert(outputs.end(), written.begin(), written.end());
        }
    }
    ASSERT_FALSE(outputs.empty());

    std::size_t opened = 0, docs = 0, antiwordRead = 0;
    if (soffice) {
        std::string log;
        const auto texts = savetest::libreOfficeText(outputs, dir_ / "lo", log);
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (!fs::exists(texts[i])) {
                ADD_FAILURE() << "LibreOffice did not open " << outputs[i];
                continue;
            }
            ++opened;
            const std::string ours = docserver::readDocument(outputs[i]).plainText();
            const std::string theirs = test::readText(texts[i]);
            EXPECT_EQ(test::wordTokens(theirs), test::wordTokens(ours)) << outputs[i];
        }
        if (opened != outputs.size())
            std::cout << log << "\n";
    }
    if (antiword) {
        for (const auto& p : outputs) {
            if (p.extension() == ".docx" || p.extension() == ".docm")
                continue;
            ++docs;
            int status = 0;
            const std::string out = savetest::antiwordText(p, status);
            EXPECT_EQ(status, 0) << p << ": " << out.substr(0, 400);
            antiwordRead += status == 0;
        }
    }
    std::cout << outputs.size() << " documents written; LibreOffice opened " << opened << "; antiword read "
              << antiwordRead << " of " << docs << " .doc files\n";
}

} // namespace
} // namespace qm
