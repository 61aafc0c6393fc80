// Independent readers of the .doc files we write: antiword prints their text, LibreOffice
// converts them with the same words and finds their pictures. Skipped when the tools are
// not installed.
#include "docserver/doc_binary.h"
#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>

namespace qm::docserver {
namespace {

bool have(const char* tool) { return test::haveTool(tool); }

std::string run(const std::string& cmd, int& status) { return test::runCommand(cmd, status); }

// The documents every reader gets: the sample (two pictures, mixed scripts), text that fits
// Windows-1252 (an 8-bit piece), Cyrillic (a 16-bit piece), a long one, the picture template.
std::map<std::string, std::vector<std::uint8_t>> writtenDocuments(std::map<std::string, Document>& docs) {
    docs["sample"] = test::sampleDocument();
    Document western;
    western.insertAfter("Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e \xE2\x80\x93 na\xC3\xAFve fa\xC3\xA7" "ade");
    western.insertParagraphAfter();
    western.insertAfter("Second\tparagraph with a line\vbreak");
    docs["western"] = western;
    Document cyrillic;
    cyrillic.insertAfter("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80 Word");
    docs["cyrillic"] = cyrillic;
    Document longDoc;
    for (int k = 0; k < 300; ++k) {
        longDoc.insertAfter("Line " + std::to_string(k) + " of a longer document");
        longDoc.insertParagraphAfter();
    }
    docs["long"] = longDoc;
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& [name, doc] : docs)
        files[name] = writeDocBinary(doc);
    files["template"] = makePictureTemplate();
    docs["template"] = readDocBinary(files["template"]);
    return files;
}

TEST(DocBinaryInterop, AntiwordPrintsTheText) {
    if (!have("antiword"))
        GTEST_SKIP() << "antiword is not installed";
    test::TempDir dir;
    std::map<std::string, Document> docs;
    for (const auto& [name, bytes] : writtenDocuments(docs)) {
        const fs::path file = dir / (name + ".doc");
        test::writeBytes(file, bytes);
        int status = 0;
        const std::string out = run("antiword -m UTF-8.txt '" + file.string() + "' 2>&1", status);
        EXPECT_EQ(status, 0) << name << ": " << out;
        EXPECT_DOUBLE_EQ(test::wordRecall(out, docs[name].plainText()), 1.0) << name << ": " << out;
    }
}

TEST(DocBinaryInterop, LibreOfficeReadsTheWordsAndThePictures) {
    if (!have("soffice"))
        GTEST_SKIP() << "soffice is not installed";
    test::TempDir dir;
    std::map<std::string, Document> docs;
    std::string inputs;
    for (const auto& [name, bytes] : writtenDocuments(docs)) {
        test::writeBytes(dir / (name + ".doc"), bytes);
        inputs += " '" + (dir / (name + ".doc")).string() + "'";
    }
    // One LibreOffice run per output format, with a private profile.
    auto convert = [&](const std::string& filter, const std::string& files) {
        int status = 0;
        run("cd '" + dir.path().string() + "' && timeout 300 soffice -env:UserInstallation=file://" +
                (dir / "lo-profile").string() + " --headless --convert-to " + filter + " --outdir '" +
                (dir / "out").string() + "'" + files + " 2>&1",
            status);
        EXPECT_EQ(status, 0) << filter;
    };
    convert("txt:Text", inputs);
    for (const auto& [name, doc] : docs) {
        const fs::path txt = dir / "out" / (name + ".txt");
        ASSERT_TRUE(fs::exists(txt)) << "LibreOffice did not convert " << name;
        EXPECT_EQ(test::wordTokens(test::readText(txt)), test::wordTokens(doc.plainText())) << name;
    }
    // Its web page of the sample shows both pictures at their pixel sizes.
    convert("html", " '" + (dir / "sample.doc").string() + "'");
    const std::string html = test::readText(dir / "out" / "sample.html");
    std::size_t images = 0;
    for (std::size_t at = html.find("<img"); at != std::string::npos; at = html.find("<img", at + 1))
        ++images;
    EXPECT_EQ(images, 2u) << html;
    EXPECT_NE(html.find("width=\"3\" height=\"2\""), std::string::npos);
    EXPECT_NE(html.find("width=\"16\" height=\"8\""), std::string::npos);
}

} // namespace
} // namespace qm::docserver
