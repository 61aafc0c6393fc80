// The Word automation interface through both bindings: every operation must behave the same
// in-process and in a quillmend-word server.
#include "docserver/doc_binary.h"
#include "docserver/doc_picture_record.h"
#include "docserver/formats.h"
#include "engine/word_automation.h"
#include "engine/word_binding.h"

#include "tests/docserver/format_samples.h"
#include "tests/support/test_support.h"

#include <unistd.h>

#include <algorithm>

using namespace qm;
using namespace qm::word;

namespace {

enum class Binding { InProcess, OutOfProcess };

std::string bindingName(const ::testing::TestParamInfo<Binding>& info) {
    return info.param == Binding::InProcess ? "InProcess" : "OutOfProcess";
}

} // namespace

class WordBindingTest : public test::IsolatedTest, public ::testing::WithParamInterface<Binding> {
protected:
    WordBindingTest() {
        env_.set("QUILLMEND_WORD_SERVER", (test::binDir() / "quillmend-word").string());
        env_.set("QUILLMEND_WORD_VERSION", std::nullopt);
        env_.set("QUILLMEND_WORD_TEST_DELAY_MS", std::nullopt);
        // Servers of this run only: a stopvane of a parallel test must not end them.
        env_.set("QUILLMEND_INSTANCE", "qm-binding-" + std::to_string(::getpid()));
        setConnectionFactory(GetParam() == Binding::InProcess ? ConnectionFactory(connectInProcess)
                                                              : ConnectionFactory(connectOutOfProcess));
    }
    ~WordBindingTest() override { setConnectionFactory(nullptr); }

    // Starts Word the way the engine does: hidden, one new document.
    struct Started {
        Application app;
        Document doc;
        Range content;
        Selection selection;
    };
    Started start() {
        Started s;
        s.app = Application::create();
        s.app.Visible(false);
        s.doc = s.app.Documents().Add();
        s.content = s.doc.Content();
        s.selection = s.app.Selection();
        return s;
    }
    fs::path file(const std::string& name) const { return dir_ / name; }
};

TEST_P(WordBindingTest, EngineSequenceWritesTheDocumentInEveryProfile) {
    for (const std::string version : {"9.0", "12.0"}) {
        SCOPED_TRACE(version);
        env_.set("QUILLMEND_WORD_VERSION", version);
        auto w = start();
        EXPECT_EQ(w.app.Version(), version);
        w.content.InsertAfter("Überschrift – 1");
        w.content.InsertParagraphAfter();
        w.content.InsertAfter("second paragraph");
        w.content.InsertParagraphAfter();

        // The web format follows the version: 11 arguments and an HTML page for "9.0", 16
        // arguments and a web archive otherwise.
        const auto page = file("full-" + version + webExtensionFor(version));
        const auto args = fullWebProfile(version, page.string(), webFormatFor(version));
        EXPECT_EQ(args.size(), version == "9.0" ? 11u : 16u);
        w.doc.SaveAs(args);
        w.doc.Save();
        w.doc.Saved(true);
        const std::string written = test::readText(page);
        if (version == "9.0")
            EXPECT_NE(written.find("<html"), std::string::npos);
        else
            EXPECT_NE(written.find("MIME-Version"), std::string::npos);
        const auto back = docserver::readDocument(page);
        ASSERT_GE(back.paragraphs().size(), 2u);
        EXPECT_EQ(back.paragraphs()[0].text(), "Überschrift – 1");
        EXPECT_EQ(back.paragraphs()[1].text(), "second paragraph");

        const auto plain = file("plain-" + version + webExtensionFor(version));
        w.doc.SaveAs(plainWebProfile(version, plain.string(), webFormatFor(version), true));
        EXPECT_EQ(docserver::readDocument(plain).paragraphs()[1].text(), "second paragraph");

        // The document profile leaves the format to the name.
        const auto txt = file("doc-" + version + ".txt");
        w.doc.SaveAs(documentProfile(version, txt.string()));
        EXPECT_EQ(test::readText(txt).rfind("Überschrift – 1", 0), 0u);
        w.doc.Close();
        w.app.Quit();
    }
}

TEST_P(WordBindingTest, InsertFileBringsAnotherDocumentIn) {
    const auto src = file("src.txt");
    test::writeText(src, "inserted one\ninserted two\n");
    auto w = start();
    w.content.InsertAfter("before ");
    w.selection.InsertFile(src.string());
    const auto out = file("out.txt");
    w.doc.SaveAs(documentProfile("12.0", out.string()));
    const auto back = docserver::readDocument(out);
    ASSERT_GE(back.paragraphs().size(), 2u);
    EXPECT_EQ(back.paragraphs()[0].text(), "before inserted one");
    EXPECT_EQ(back.paragraphs()[1].text(), "inserted two");
    w.app.Quit();
}

TEST_P(WordBindingTest, FailedCallsRaise) {
    auto w = start();
    EXPECT_THROW(w.doc.Save(), WordError); // never saved
    try {
        w.selection.InsertFile(file("absent.doc").string());
        FAIL() << "InsertFile of a missing file succeeded";
    } catch (const WordError& e) {
        EXPECT_NE(std::string(e.what()).find("absent.doc"), std::string::npos) << e.what();
    }
    EXPECT_THROW(w.doc.SaveAs({std::string()}), WordError);
    EXPECT_THROW(w.doc.SaveAs(std::vector<Value>(17, std::string("x.txt"))), WordError);
    // The instance survives failed calls.
    w.content.InsertAfter("ok");
    const auto out = file("ok.txt");
    w.doc.SaveAs(documentProfile("12.0", out.string()));
    EXPECT_EQ(docserver::readDocument(out).plainText(), "ok");
    w.doc.Close();
    if (GetParam() == Binding::InProcess) {
        EXPECT_THROW(w.content.InsertAfter("closed"), WordError);
    } else {
        // Inserts travel to the server in batches: the refusal is raised by the next other call.
        EXPECT_NO_THROW(w.content.InsertAfter("closed"));
        EXPECT_THROW(w.app.Version(), WordError);
    }
    EXPECT_THROW(w.app.Selection(), WordError); // no document left open
    w.app.Quit();
    EXPECT_THROW(w.app.Version(), WordError);
    EXPECT_THROW(w.app.Documents(), WordError);
}

TEST_P(WordBindingTest, EmptyHandlesDoNothing) {
    Application app;
    EXPECT_NO_THROW(app.Visible(false));
    EXPECT_EQ(app.Version(), "");
    EXPECT_TRUE(app.Documents().empty());
    EXPECT_TRUE(app.Selection().empty());
    EXPECT_NO_THROW(app.Quit());
    EXPECT_TRUE(Documents().Add().empty());
    Document doc;
    EXPECT_TRUE(doc.Content().empty());
    EXPECT_NO_THROW(doc.SaveAs(documentProfile("12.0", file("never.txt").string())));
    EXPECT_NO_THROW(doc.Save());
    EXPECT_NO_THROW(doc.Saved(true));
    EXPECT_NO_THROW(doc.Close());
    EXPECT_NO_THROW(Selection().InsertFile(file("absent").string()));
    EXPECT_NO_THROW(Range().InsertAfter("x"));
    EXPECT_NO_THROW(Range().InsertParagraphAfter());
    EXPECT_FALSE(fs::exists(file("never.txt")));

    // A released handle is empty too, while the instance it came from goes on.
    auto w = start();
    Range released = w.content;
    released.release();
    EXPECT_NO_THROW(released.InsertAfter("lost"));
    w.content.InsertAfter("kept");
    const auto out = file("kept.txt");
    w.doc.SaveAs(documentProfile("12.0", out.string()));
    EXPECT_EQ(docserver::readDocument(out).plainText(), "kept");
}

TEST_P(WordBindingTest, InstancesAreIndependent) {
    auto a = start();
    auto b = start();
    a.content.InsertAfter("from a");
    b.content.InsertAfter("from b");
    a.app.Quit();
    EXPECT_THROW(a.app.Version(), WordError);
    EXPECT_EQ(b.app.Version(), "12.0");
    const auto out = file("b.txt");
    b.doc.SaveAs(documentProfile("12.0", out.string()));
    EXPECT_EQ(docserver::readDocument(out).plainText(), "from b");
}

TEST_P(WordBindingTest, EveryFormatKeepsTextParagraphsAndPictures) {
    docserver::Document source;
    source.insertAfter("Erster Absatz: Grüße aus Köln – ½ €");
    source.insertParagraphAfter();
    source.insertPicture(docserver::Picture::fromBytes(test::tinyPng(12, 7)));
    source.insertParagraphAfter();
    source.insertAfter("Третий абзац");
    source.insertParagraphAfter();
    source.insertPicture(docserver::Picture::fromBytes(test::tinyJpeg(16, 8)));
    const auto src = file("source.docx");
    docserver::writeDocument(source, src, docserver::Format::Docx);

    auto w = start();
    w.selection.InsertFile(src.string());
    for (const std::string ext : {".doc", ".docx", ".html", ".mht", ".rtf", ".txt"}) {
        SCOPED_TRACE(ext);
        const auto out = file("saved" + ext);
        w.doc.SaveAs(documentProfile("12.0", out.string()));
        const auto back = docserver::readDocument(out);
        std::vector<std::string> texts;
        for (const auto& p : back.paragraphs())
            if (!p.text().empty())
                texts.push_back(p.text());
        EXPECT_EQ(texts, (std::vector<std::string>{"Erster Absatz: Grüße aus Köln – ½ €", "Третий абзац"}));
        if (ext == ".txt")
            continue;
        const auto pictures = back.pictures();
        ASSERT_EQ(pictures.size(), 2u);
        EXPECT_EQ(pictures[0]->bytes, source.pictures()[0]->bytes);
        EXPECT_EQ(pictures[1]->bytes, source.pictures()[1]->bytes);
    }
    w.app.Quit();
}

// The .doc salvage's picture documents: the template with another picture record written
// at its record offset yields that picture.
TEST_P(WordBindingTest, PictureDocumentsGiveTheirPicture) {
    auto bytes = docserver::makePictureTemplate();
    const auto picture = docserver::Picture::fromBytes(test::tinyPng(40, 30, 17));
    const auto record = docserver::docpic::buildRecord(picture);
    ASSERT_GE(bytes.size(), docserver::kPictureRecordOffset);
    bytes.resize(std::max(bytes.size(), docserver::kPictureRecordOffset + record.size()));
    std::copy(record.begin(), record.end(), bytes.begin() + docserver::kPictureRecordOffset);
    const auto pictureDoc = file("Picture1.Doc");
    test::writeBytes(pictureDoc, bytes);

    auto w = start();
    w.selection.InsertFile(pictureDoc.string());
    const auto out = file("pictures.mht");
    w.doc.SaveAs(fullWebProfile("12.0", out.string(), 9));
    const auto back = docserver::readDocument(out);
    ASSERT_EQ(back.pictures().size(), 1u);
    EXPECT_EQ(back.pictures()[0]->bytes, picture.bytes);
    w.app.Quit();
}

INSTANTIATE_TEST_SUITE_P(Bindings, WordBindingTest, ::testing::Values(Binding::InProcess, Binding::OutOfProcess),
                         bindingName);

TEST(WordProfiles, ArgumentSetsOfTheProfiles) {
    const std::int16_t zero = 0, one = 1;
    const auto full16 = fullWebProfile("12.0", "p.mht", 9);
    ASSERT_EQ(full16.size(), 16u);
    const std::vector<Value> expect16{std::string("p.mht"), std::int16_t{9}, zero, kOmitted, one, kOmitted, zero,
                                      zero, zero, kOmitted, kOmitted, kOmitted, kOmitted, one, kOmitted, kOmitted};
    EXPECT_EQ(full16, expect16);
    const auto full11 = fullWebProfile("9.0", "p.html", 8);
    ASSERT_EQ(full11.size(), 11u);
    EXPECT_EQ(full11[0], Value(std::string("p.html")));
    EXPECT_EQ(full11[1], Value(std::int16_t{8}));
    EXPECT_EQ(std::vector<Value>(full11.begin() + 2, full11.end()),
              std::vector<Value>(expect16.begin() + 2, expect16.begin() + 11));

    auto plain = plainWebProfile("12.0", "p.mht", 9, true);
    ASSERT_EQ(plain.size(), 16u);
    EXPECT_EQ(plain[4], Value(one));
    plain[4] = kOmitted;
    EXPECT_EQ(plainWebProfile("12.0", "p.mht", 9), plain);
    const auto doc = documentProfile("9.0", "d.doc");
    ASSERT_EQ(doc.size(), 11u);
    EXPECT_EQ(std::count(doc.begin(), doc.end(), kOmitted), 10);
    EXPECT_EQ(webFormatFor("9.0"), 8);
    EXPECT_EQ(webFormatFor("11.0"), 9);
    EXPECT_EQ(webExtensionFor("14.0"), ".mht");
}
