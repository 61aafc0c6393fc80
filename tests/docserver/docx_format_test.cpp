#include "docserver/formats.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"
#include "tests/support/word_recall.h"

#include <pugixml.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <random>
#include <set>

using namespace qm;
using docserver::Document;
using docserver::Format;

namespace {

const char* kWordNs = "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
                      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                      "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
                      "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\" "
                      "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
                      "xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\" "
                      "xmlns:wps=\"http://schemas.microsoft.com/office/word/2010/wordprocessingShape\" "
                      "xmlns:v=\"urn:schemas-microsoft-com:vml\"";

std::string str(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }

// A package of a given document part and relationships, named through _rels/.rels.
std::vector<std::uint8_t> packageOf(const std::string& body, const std::string& partName = "word/document.xml",
                                    const std::string& rels = "",
                                    std::vector<std::pair<std::string, std::string>> extra = {}) {
    const std::string dir = partName.substr(0, partName.rfind('/') + 1);
    const std::string file = partName.substr(dir.size());
    std::vector<std::pair<std::string, std::string>> entries = {
        {"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"},
        {"_rels/.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
         "officeDocument\" Target=\"" + partName + "\"/></Relationships>"},
        {partName, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><w:document ") + kWordNs + "><w:body>" +
                       body + "</w:body></w:document>"},
        {dir + "_rels/" + file + ".rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" + rels +
             "</Relationships>"}};
    entries.insert(entries.end(), extra.begin(), extra.end());
    return test::zipOf(entries);
}

Document readBytes(const test::TempDir& dir, const std::vector<std::uint8_t>& bytes, const std::string& name = "t.docx") {
    test::writeBytes(dir / name, bytes);
    return docserver::readDocument(dir / name);
}

// Every part of a package, read strictly through its central directory.
std::map<std::string, std::string> packageParts(const std::vector<std::uint8_t>& bytes) {
    std::map<std::string, std::string> parts;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    zip_t* za = zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    EXPECT_NE(za, nullptr) << zip_error_strerror(&error);
    if (!za)
        return parts;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        EXPECT_EQ(zip_fread(f, data.data(), data.size()), static_cast<zip_int64_t>(data.size())) << st.name;
        zip_fclose(f);
        parts[st.name] = data;
    }
    zip_close(za);
    return parts;
}

TEST(DocxFormat, RoundTripKeepsTextParagraphsAndPictures) {
    test::TempDir dir;
    const Document doc = test::sampleDocument();
    docserver::writeDocument(doc, dir / "out.docx", Format::Docx);
    EXPECT_EQ(docserver::readDocument(dir / "out.docx"), doc);
}

TEST(DocxFormat, PackageHoldsWellFormedPartsAndResolvableRelationships) {
    test::TempDir dir;
    docserver::writeDocument(test::sampleDocument(), dir / "out.docx", Format::Docx);
    const auto bytes = test::readBytes(dir / "out.docx");

    auto parts = packageParts(bytes);

    const std::set<std::string> required = {"[Content_Types].xml", "_rels/.rels", "word/document.xml",
                                            "word/styles.xml", "word/_rels/document.xml.rels",
                                            "docProps/core.xml", "docProps/app.xml"};
    for (const auto& name : required)
        EXPECT_EQ(parts.count(name), 1u) << name;
    for (const auto& [name, data] : parts) {
        if (name.ends_with(".xml") || name.ends_with(".rels")) {
            pugi::xml_document x;
            EXPECT_TRUE(x.load_buffer(data.data(), data.size())) << name << " is not well-formed";
        }
    }
    // Every r:embed names a relationship whose target holds the picture's exact bytes, and the
    // content types cover the media extensions.
    pugi::xml_document rels, document, types;
    rels.load_string(parts["word/_rels/document.xml.rels"].c_str());
    document.load_string(parts["word/document.xml"].c_str());
    types.load_string(parts["[Content_Types].xml"].c_str());
    std::vector<std::string> targets;
    for (const auto& blip : document.select_nodes("//a:blip")) {
        const std::string id = blip.node().attribute("r:embed").value();
        const auto rel = rels.select_node(("//Relationship[@Id='" + id + "']").c_str());
        ASSERT_TRUE(rel) << id;
        targets.push_back("word/" + std::string(rel.node().attribute("Target").value()));
    }
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(parts[targets[0]], str(test::tinyPng(3, 2)));
    EXPECT_EQ(parts[targets[1]], str(test::tinyJpeg()));
    EXPECT_TRUE(types.select_node("//Default[@Extension='png'][@ContentType='image/png']"));
    EXPECT_TRUE(types.select_node("//Default[@Extension='jpeg'][@ContentType='image/jpeg']"));
    EXPECT_TRUE(document.select_node("//wp:inline/wp:extent[@cx='28575'][@cy='19050']")); // 3 x 2 px in EMU
}

TEST(DocxFormat, InvalidTextBecomesWellFormedXml) {
    test::TempDir dir;
    Document doc;
    doc.insertAfter("bad \xFF\xC3 utf8, \xEF\xBF\xBF no character, \x01 control");
    docserver::writeDocument(doc, dir / "bad.docx", Format::Docx);
    auto parts = packageParts(test::readBytes(dir / "bad.docx"));
    pugi::xml_document x;
    const auto& xml = parts["word/document.xml"];
    ASSERT_TRUE(x.load_buffer(xml.data(), xml.size()));
    EXPECT_EQ(docserver::readDocument(dir / "bad.docx").plainText(),
              "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8,  no character,  control");
}

TEST(DocxFormat, ReadsTablesFieldsTextBoxesAndPicturesButNoDeletedText) {
    test::TempDir dir;
    const std::string body =
        "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>"
        "<w:r><w:t>A&amp;B&#233;</w:t><w:tab/><w:t xml:space=\"preserve\"> tabbed </w:t><w:br/>"
        "<w:t>after break</w:t><w:cr/><w:t>cr</w:t></w:r></w:p>"
        "<w:tbl><w:tblPr/><w:tr><w:tc><w:p><w:r><w:t>cell 1</w:t></w:r></w:p></w:tc>"
        "<w:tc><w:p><w:r><w:t>cell 2</w:t></w:r></w:p></w:tc></w:tr></w:tbl>"
        "<w:p><w:r><w:t>kept</w:t></w:r><w:del><w:r><w:delText>deleted</w:delText></w:r></w:del>"
        "<w:ins><w:r><w:t xml:space=\"preserve\"> inserted</w:t></w:r></w:ins></w:p>"
        "<w:p><w:r><w:fldChar w:fldCharType=\"begin\"/></w:r><w:r><w:instrText>PAGE</w:instrText></w:r>"
        "<w:r><w:fldChar w:fldCharType=\"separate\"/></w:r><w:r><w:t>7</w:t></w:r>"
        "<w:r><w:fldChar w:fldCharType=\"end\"/></w:r>"
        "<w:hyperlink r:id=\"rIdLink\"><w:r><w:t xml:space=\"preserve\"> link</w:t></w:r></w:hyperlink>"
        "<w:sdt><w:sdtContent><w:r><w:t xml:space=\"preserve\"> control</w:t></w:r></w:sdtContent></w:sdt></w:p>"
        "<w:p><w:r><w:t>anchor</w:t></w:r><w:r><mc:AlternateContent><mc:Choice Requires=\"wps\"><w:drawing>"
        "<wp:anchor><a:graphic><a:graphicData><wps:wsp><wps:txbx><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r>"
        "</w:p></w:txbxContent></wps:txbx></wps:wsp></a:graphicData></a:graphic></wp:anchor></w:drawing></mc:Choice>"
        "<mc:Fallback><w:pict><v:shape><v:textbox><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p>"
        "</w:txbxContent></v:textbox></v:shape></w:pict></mc:Fallback></mc:AlternateContent></w:r>"
        "<w:r><w:t xml:space=\"preserve\"> tail</w:t></w:r></w:p>"
        "<w:p><w:r><w:drawing><wp:inline><a:graphic><a:graphicData><pic:pic><pic:blipFill>"
        "<a:blip r:embed=\"rIdP\"/></pic:blipFill></pic:pic></a:graphicData></a:graphic></wp:inline></w:drawing></w:r>"
        "<w:r><w:pict><v:shape><v:imagedata r:id=\"rIdJ\"/></v:shape></w:pict></w:r></w:p>"
        "<w:sectPr><w:pgSz w:w=\"12240\"/></w:sectPr>";
    const std::string rels =
        "<Relationship Id=\"rIdP\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\""
        " Target=\"media/p.png\"/>"
        "<Relationship Id=\"rIdJ\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\""
        " Target=\"/content/media/j.jpeg\"/>"
        "<Relationship Id=\"rIdLink\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
        "hyperlink\" Target=\"http://example.org/\" TargetMode=\"External\"/>";
    // The main part has an unusual name: only the package relationships find it.
    const Document doc = readBytes(dir, packageOf(body, "content/main.xml", rels,
                                                  {{"content/media/p.png", str(test::tinyPng(3, 2))},
                                                   {"content/media/j.jpeg", str(test::tinyJpeg())}}));
    EXPECT_EQ(doc.plainText(), "A&B\xC3\xA9\t tabbed \vafter break\vcr\n"
                               "cell 1\ncell 2\n"
                               "kept inserted\n"
                               "7 link control\n"
                               "anchor tail\nboxed\n");
    ASSERT_EQ(doc.pictures().size(), 2u);
    EXPECT_EQ(doc.pictures()[0]->bytes, test::tinyPng(3, 2));
    EXPECT_EQ(doc.pictures()[1]->bytes, test::tinyJpeg());
}

TEST(DocxFormat, TextAfterBrokenXmlIsStillRead) {
    test::TempDir dir;
    const std::string body = "<w:p><w:r><w:t>before damage</w:t></w:r></w:p>"
                             "<w:p><w:r><w:t>half</w:t>\x01\x02<<<&&& \xFF\xFE</w:r>"
                             "<w:p><w:r><w:t>after &amp; damage</w:t></w:r></w:p>"
                             "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"1\"/></w:tabs></w:pPr>"
                             "<w:r><w:t>third</w:t><w:tab/><w:t>x</w:t></w:r></w:p>";
    const Document doc = readBytes(dir, packageOf(body));
    const std::string text = doc.plainText();
    EXPECT_EQ(text.find("before damage"), 0u) << text;
    EXPECT_NE(text.find("\nafter & damage\nthird\tx"), std::string::npos) << text;
}

// Damage of the kinds found in the field, applied to a package we wrote.
class DamagedDocx : public ::testing::Test {
protected:
    void SetUp() override {
        for (int k = 0; k < 300; ++k) {
            doc_.insertAfter("Paragraph " + std::to_string(k) + " of a long salvage test with \xC3\xA9 text.");
            doc_.insertParagraphAfter();
        }
        doc_.insertPicture(docserver::Picture::fromBytes(test::tinyPng(40, 30)));
        docserver::writeDocument(doc_, dir_ / "good.docx", Format::Docx);
        good_ = test::readBytes(dir_ / "good.docx");
    }
    std::size_t find(const std::vector<std::uint8_t>& b, const std::string& s, std::size_t from = 0) {
        auto it = std::search(b.begin() + static_cast<long>(from), b.end(), s.begin(), s.end());
        return it == b.end() ? std::string::npos : static_cast<std::size_t>(it - b.begin());
    }
    test::TempDir dir_;
    Document doc_;
    std::vector<std::uint8_t> good_;
};

TEST_F(DamagedDocx, JunkInFrontAndLostCentralDirectoryLoseNothing) {
    std::vector<std::uint8_t> junk(777);
    std::mt19937 rng(7);
    for (auto& b : junk)
        b = static_cast<std::uint8_t>(rng());
    junk.insert(junk.end(), good_.begin(), good_.end());
    EXPECT_EQ(readBytes(dir_, junk, "junk.docx"), doc_);

    const std::size_t centralDir = find(good_, std::string("PK\x01\x02", 4));
    ASSERT_NE(centralDir, std::string::npos);
    EXPECT_EQ(readBytes(dir_, {good_.begin(), good_.begin() + static_cast<long>(centralDir)}, "nocd.docx"), doc_);
}

TEST_F(DamagedDocx, SpacesInLocalHeadersAreRepaired) {
    // Text-mode damage: zero high bytes of method, time, date, name length and sizes become 0x20.
    auto bad = good_;
    for (std::size_t at = find(bad, std::string("PK\x03\x04", 4)); at != std::string::npos;
         at = find(bad, std::string("PK\x03\x04", 4), at + 4)) {
        for (std::size_t off : {9u, 11u, 13u, 27u, 20u, 21u, 24u, 25u})
            if (bad[at + off] == 0)
                bad[at + off] = 0x20;
    }
    EXPECT_EQ(readBytes(dir_, bad, "spaces.docx"), doc_);
}

TEST_F(DamagedDocx, CutOrCorruptedDocumentPartYieldsItsReadableBeginning) {
    // Cut in the middle of word/document.xml's data: the paragraphs before the cut survive.
    const std::size_t docHeader = find(good_, "word/document.xml");
    const std::size_t next = find(good_, std::string("PK\x03\x04", 4), docHeader);
    ASSERT_NE(next, std::string::npos);
    const std::size_t middle = (docHeader + next) / 2;
    const Document cut = readBytes(dir_, {good_.begin(), good_.begin() + static_cast<long>(middle)}, "cut.docx");
    const double cutRecall = test::wordRecall(cut.plainText(), doc_.plainText());
    EXPECT_GT(cutRecall, 0.2);
    EXPECT_LT(cutRecall, 1.0);
    EXPECT_EQ(cut.paragraphs()[0], doc_.paragraphs()[0]);

    // 64 bytes overwritten in the middle of the compressed data: the beginning survives.
    auto flipped = good_;
    for (std::size_t k = 0; k < 64; ++k)
        flipped[middle + k] ^= 0x5A;
    const Document flip = readBytes(dir_, flipped, "flip.docx");
    EXPECT_GT(test::wordRecall(flip.plainText(), doc_.plainText()), 0.2);
    EXPECT_EQ(flip.paragraphs()[0], doc_.paragraphs()[0]);
}

TEST(DocxFormat, PackagesWithoutADocumentRaise) {
    test::TempDir dir;
    test::writeBytes(dir / "x.docx", test::zipOf({{"[Content_Types].xml", "<Types/>"}, {"xl/workbook.xml", "<w/>"}}));
    EXPECT_THROW(docserver::readDocument(dir / "x.docx"), docserver::DocError);
    // Only the first bytes of a package: a local header and nothing else.
    auto bytes = test::readBytes(dir / "x.docx");
    bytes.resize(40);
    test::writeBytes(dir / "y.docx", bytes);
    EXPECT_THROW(docserver::readDocument(dir / "y.docx"), docserver::DocError);
}

// ---- Independent reader: LibreOffice -----------------------------------------------------------

bool haveSoffice() { return test::haveTool("soffice"); }

// Converts every file to text in one LibreOffice run; returns the text per input stem.
std::map<std::string, std::string> sofficeToText(const test::TempDir& dir, const std::vector<fs::path>& inputs,
                                                 const std::string& filter = "txt:Text") {
    std::string cmd = "cd '" + dir.path().string() + "' && timeout 300 soffice -env:UserInstallation=file://" +
                      (dir / "lo-profile").string() + " --headless --convert-to " + filter + " --outdir '" +
                      (dir / "lo-out").string() + "'";
    for (const auto& in : inputs)
        cmd += " '" + in.string() + "'";
    cmd += " > /dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::map<std::string, std::string> out;
    for (const auto& in : inputs) {
        const std::string ext = filter.substr(0, filter.find(':'));
        const fs::path result = dir / "lo-out" / (in.stem().string() + "." + ext);
        if (fs::exists(result))
            out[in.stem().string()] = test::readText(result);
    }
    return out;
}

TEST(DocxInterop, LibreOfficeReadsTheSameWordsAndThePictures) {
    if (!haveSoffice())
        GTEST_SKIP() << "soffice is not installed";
    test::TempDir dir;
    std::map<std::string, Document> docs;
    docs["sample"] = test::sampleDocument();
    Document longDoc;
    for (int k = 0; k < 200; ++k) {
        longDoc.insertAfter("Line " + std::to_string(k) + "\tmit \xC3\xBC" "berl\xC3\xA4nge & <Zeichen>");
        longDoc.insertParagraphAfter();
    }
    docs["long"] = longDoc;
    Document onlyPictures;
    onlyPictures.insertPicture(docserver::Picture::fromBytes(test::tinyPng(300, 200)));
    onlyPictures.insertPicture(docserver::Picture::fromBytes(test::tinyPng(2000, 100))); // wider than the page
    docs["pictures"] = onlyPictures;

    std::vector<fs::path> files;
    for (const auto& [name, doc] : docs) {
        files.push_back(dir / (name + ".docx"));
        docserver::writeDocument(doc, files.back(), Format::Docx);
    }
    const auto text = sofficeToText(dir, files);
    for (const auto& [name, doc] : docs) {
        ASSERT_EQ(text.count(name), 1u) << "LibreOffice did not convert " << name;
        EXPECT_EQ(test::wordTokens(text.at(name)), test::wordTokens(doc.plainText())) << name;
    }
    // The pictures arrive in LibreOffice too: its own package of the sample holds both.
    const auto odt = sofficeToText(dir, {dir / "sample.docx"}, "odt");
    ASSERT_EQ(odt.count("sample"), 1u);
    const std::string package = odt.at("sample");
    EXPECT_NE(package.find("Pictures/"), std::string::npos);
    EXPECT_NE(package.find(".png"), std::string::npos);
    EXPECT_NE(package.find(".jpg"), std::string::npos);
}

// ---- Real documents ----------------------------------------------------------------------------

std::vector<fs::path> corpusFiles(const std::string& folder, const std::set<std::string>& extensions) {
    std::vector<fs::path> out;
    const fs::path dir = test::corpusDir() / folder;
    if (!fs::is_directory(dir))
        return out;
    for (const auto& e : fs::directory_iterator(dir))
        if (extensions.count(e.path().extension().string()))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(DocxCorpus, TextOfRealPackagesCoversTheReferenceWords) {
    const auto files = corpusFiles("originals", {".docx", ".docm"});
    if (files.empty())
        GTEST_SKIP() << "no corpus at " << test::corpusDir();
    test::RecallTally overall;
    for (const auto& file : files) {
        const fs::path reference = test::corpusDir() / "reference" / (file.filename().string() + ".txt");
        if (!fs::exists(reference))
            continue;
        const auto started = std::chrono::steady_clock::now();
        std::string text;
        try {
            text = docserver::readDocument(file).plainText();
        } catch (const docserver::DocError& e) {
            ADD_FAILURE() << file.filename() << ": " << e.what();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const std::string ref = test::readText(reference);
        const double recall = test::wordRecall(text, ref);
        overall.add(text, ref);
        std::cout << "  recall " << std::fixed << std::setprecision(3) << recall << "  "
                  << file.filename().string() << " (" << test::wordTokens(ref).size() << " words, " << seconds
                  << " s)\n";
        EXPECT_GE(recall, 0.80) << file.filename();
        EXPECT_LT(seconds, 10.0) << file.filename();
    }
    std::cout << "  overall recall " << overall.recall() << " over " << overall.total << " words\n";
    EXPECT_GE(overall.recall(), 0.95);
}

TEST(DocxCorpus, DamagedPackagesNeverCrashOrHang) {
    const auto files = corpusFiles("damaged", {".docx", ".docm"});
    if (files.empty())
        GTEST_SKIP() << "no damaged corpus at " << test::corpusDir();
    int read = 0;
    for (const auto& file : files) {
        const auto started = std::chrono::steady_clock::now();
        std::string outcome;
        try {
            const Document doc = docserver::readDocument(file);
            ++read;
            const std::string stem = file.stem().string().substr(0, file.stem().string().find("__"));
            const fs::path reference = test::corpusDir() / "reference" / (stem + file.extension().string() + ".txt");
            std::ostringstream s;
            s << "recall " << std::fixed << std::setprecision(3)
              << (fs::exists(reference) ? test::wordRecall(doc.plainText(), test::readText(reference)) : 0.0)
              << ", " << doc.pictures().size() << " pictures";
            outcome = s.str();
        } catch (const docserver::DocError& e) {
            outcome = std::string("DocError: ") + e.what();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::cout << "  " << file.filename().string() << ": " << outcome << "\n";
        EXPECT_LT(seconds, 10.0) << file.filename();
    }
    EXPECT_GT(read, 0);
}

} // namespace
