#include "docserver/formats.h"
#include "docserver/protocol.h"
#include "docserver/word_instance.h"

#include "tests/support/test_support.h"

#include <fcntl.h>
#include <unistd.h>

using namespace qm;
using docserver::WordInstance;
using word::CallKind;
using word::ObjectRef;
using word::Value;
using word::WordError;
namespace dispid = word::dispid;
namespace proto = docserver::protocol;

namespace {

const Value kOm = word::Omitted{};

std::uint32_t idOf(const Value& v) {
    const auto* ref = std::get_if<ObjectRef>(&v);
    if (!ref)
        throw std::runtime_error("not an object");
    return ref->id;
}

// A Word instance with one added document, its content range and the selection.
struct Session {
    WordInstance word;
    std::uint32_t documents = 0, doc = 0, content = 0, selection = 0;

    Session() {
        documents = idOf(word.invoke(word::kApplicationId, dispid::Documents, CallKind::Get, {}));
        doc = idOf(word.invoke(documents, dispid::Add, CallKind::Method, {kOm, kOm, kOm, kOm}));
        content = idOf(word.invoke(doc, dispid::Content, CallKind::Get, {}));
        selection = idOf(word.invoke(word::kApplicationId, dispid::Selection, CallKind::Get, {}));
    }
    void insertAfter(std::uint32_t range, const std::string& text) {
        word.invoke(range, dispid::InsertAfter, CallKind::Method, {text});
    }
    void paragraph(std::uint32_t range) { word.invoke(range, dispid::InsertParagraphAfter, CallKind::Method, {}); }
    void saveAs(std::uint32_t d, std::vector<Value> args) {
        word.invoke(d, args.size() <= 11 ? dispid::SaveAs : dispid::SaveAs2, CallKind::Method, args);
    }
    void insertFile(const fs::path& p) {
        word.invoke(selection, dispid::InsertFile, CallKind::Method, {p.string(), kOm, kOm, kOm, kOm});
    }
};

std::vector<Value> sixteen(Value name, Value format = kOm) {
    std::vector<Value> args(16, kOm);
    args[0] = std::move(name);
    args[1] = std::move(format);
    return args;
}

} // namespace

class WordInstanceTest : public test::IsolatedTest {};

TEST_F(WordInstanceTest, ApplicationDefaults) {
    test::ScopedEnv env("QUILLMEND_WORD_VERSION", std::nullopt);
    WordInstance w;
    EXPECT_EQ(w.invoke(1, dispid::Version, CallKind::Get, {}), Value(std::string("12.0")));
    EXPECT_NO_THROW(w.invoke(1, dispid::Visible, CallKind::Put, {false}));
    EXPECT_THROW(w.invoke(1, dispid::Visible, CallKind::Put, {std::string("no")}), WordError);
    EXPECT_THROW(w.invoke(1, dispid::Selection, CallKind::Get, {}), WordError); // no document yet
}

TEST_F(WordInstanceTest, UnknownObjectsMembersAndKindsFail) {
    Session s;
    EXPECT_THROW(s.word.invoke(999, dispid::Version, CallKind::Get, {}), WordError);
    EXPECT_THROW(s.word.invoke(0, dispid::Version, CallKind::Get, {}), WordError);
    EXPECT_THROW(s.word.invoke(1, 4242, CallKind::Method, {}), WordError);
    EXPECT_THROW(s.word.invoke(1, dispid::Version, CallKind::Put, {std::string("13.0")}), WordError);
    EXPECT_THROW(s.word.invoke(s.content, dispid::InsertFile, CallKind::Method, {std::string("x")}), WordError);
    // Quit and Close share a dispatch id; the object decides which one runs.
    EXPECT_NO_THROW(s.word.invoke(s.doc, dispid::Close, CallKind::Method, {kOm, kOm, kOm}));
    EXPECT_FALSE(s.word.hasQuit());
    // Wrong argument counts.
    EXPECT_THROW(s.word.invoke(1, dispid::Version, CallKind::Get, {kOm}), WordError);
    EXPECT_THROW(s.word.invoke(s.documents, dispid::Add, CallKind::Method, std::vector<Value>(5, kOm)), WordError);
}

TEST_F(WordInstanceTest, SaveAsArityAndArgumentTypes) {
    Session s;
    const auto out = (dir_ / "a.txt").string();
    // 102 takes at most 11 arguments, 376 at most 16; FileName is required text.
    EXPECT_THROW(s.word.invoke(s.doc, dispid::SaveAs, CallKind::Method, sixteen(out)), WordError);
    EXPECT_NO_THROW(s.word.invoke(s.doc, dispid::SaveAs2, CallKind::Method, sixteen(out)));
    auto seventeen = sixteen(out);
    seventeen.push_back(kOm);
    EXPECT_THROW(s.word.invoke(s.doc, dispid::SaveAs2, CallKind::Method, seventeen), WordError);
    EXPECT_THROW(s.word.invoke(s.doc, dispid::SaveAs, CallKind::Method, {}), WordError);
    EXPECT_THROW(s.saveAs(s.doc, {kOm}), WordError);
    EXPECT_THROW(s.saveAs(s.doc, {std::string()}), WordError);
    EXPECT_THROW(s.saveAs(s.doc, {out, std::string("8")}), WordError);
    EXPECT_THROW(s.saveAs(s.doc, {out, std::int16_t{99}}), WordError);
    auto withObject = sixteen(out);
    withObject[4] = ObjectRef{1};
    EXPECT_THROW(s.saveAs(s.doc, withObject), WordError);
    auto withPassword = sixteen(out);
    withPassword[3] = std::string("secret");
    EXPECT_NO_THROW(s.saveAs(s.doc, withPassword));
}

TEST_F(WordInstanceTest, SaveAsFormatChoice) {
    Session s;
    s.insertAfter(s.content, "some text");
    // A name Word does not know gets its default format, the binary document.
    const auto out = dir_ / "saved.out";
    s.saveAs(s.doc, {out.string()});
    EXPECT_EQ(test::readText(out).substr(0, 4), "\xD0\xCF\x11\xE0");
    EXPECT_EQ(docserver::readDocument(out).paragraphs()[0].text(), "some text");
    // A format number wins over the name: 8 is an HTML page, 12 an OOXML package.
    const auto page = dir_ / "page.txt";
    s.saveAs(s.doc, {page.string(), std::int16_t{8}});
    EXPECT_NE(test::readText(page).find("<html"), std::string::npos);
    const auto docx = dir_ / "numbered.bin";
    s.saveAs(s.doc, sixteen(docx.string(), std::int16_t{12}));
    EXPECT_EQ(test::readText(docx).substr(0, 2), "PK");
}

TEST_F(WordInstanceTest, SaveNeedsAnEarlierSaveAsAndRewritesThatFileWhenChanged) {
    Session s;
    s.insertAfter(s.content, "one");
    EXPECT_THROW(s.word.invoke(s.doc, dispid::Save, CallKind::Method, {}), WordError);
    const auto out = dir_ / "doc.txt";
    s.saveAs(s.doc, {out.string()});
    EXPECT_EQ(s.word.invoke(s.doc, dispid::Saved, CallKind::Get, {}), Value(true));
    std::filesystem::remove(out);
    s.word.invoke(s.doc, dispid::Save, CallKind::Method, {}); // no changes: nothing written
    EXPECT_FALSE(std::filesystem::exists(out));
    s.insertAfter(s.content, " two");
    EXPECT_EQ(s.word.invoke(s.doc, dispid::Saved, CallKind::Get, {}), Value(false));
    s.word.invoke(s.doc, dispid::Save, CallKind::Method, {});
    EXPECT_EQ(docserver::readDocument(out).plainText(), "one two");
    s.word.invoke(s.doc, dispid::Saved, CallKind::Put, {false});
    EXPECT_EQ(s.word.invoke(s.doc, dispid::Saved, CallKind::Get, {}), Value(false));
}

TEST_F(WordInstanceTest, UnwritableTargetFails) {
    Session s;
    test::writeText(dir_ / "plain-file", "x");
    EXPECT_THROW(s.saveAs(s.doc, {(dir_ / "plain-file" / "x.txt").string()}), WordError);
    EXPECT_THROW(s.word.invoke(s.doc, dispid::Save, CallKind::Method, {}), WordError); // nothing was saved
}

TEST_F(WordInstanceTest, InsertFileAppendsToTheActiveDocument) {
    Session s;
    const auto src = dir_ / "src.txt";
    test::writeText(src, "alpha\nbeta\n");
    s.insertAfter(s.content, "start ");
    s.insertFile(src);

    // A second document becomes the active one: the selection now inserts there.
    const auto second = idOf(s.word.invoke(s.documents, dispid::Add, CallKind::Method, {}));
    s.insertFile(src);
    const auto out1 = dir_ / "one.txt", out2 = dir_ / "two.txt";
    s.saveAs(s.doc, {out1.string()});
    s.saveAs(second, {out2.string()});
    const auto one = docserver::readDocument(out1).plainText();
    const auto two = docserver::readDocument(out2).plainText();
    EXPECT_EQ(one.rfind("start alpha\nbeta", 0), 0u) << one;
    EXPECT_EQ(two.rfind("alpha\nbeta", 0), 0u) << two;

    // Closing the active document hands the selection back to the earlier one.
    s.word.invoke(second, dispid::Close, CallKind::Method, {kOm, kOm, kOm});
    EXPECT_THROW(s.word.invoke(second, dispid::Content, CallKind::Get, {}), WordError);
    s.insertFile(src);
    s.word.invoke(s.doc, dispid::Save, CallKind::Method, {});
    const auto again = docserver::readDocument(out1).plainText();
    EXPECT_GT(again.size(), one.size());

    s.word.invoke(s.doc, dispid::Close, CallKind::Method, {});
    EXPECT_THROW(s.insertFile(src), WordError);
    EXPECT_THROW(s.insertAfter(s.content, "late"), WordError); // the range of a closed document
}

TEST_F(WordInstanceTest, InsertFileOfMissingOrUnreadableInputFailsClearly) {
    Session s;
    const auto missing = dir_ / "missing.doc";
    try {
        s.insertFile(missing);
        FAIL() << "no error";
    } catch (const WordError& e) {
        EXPECT_NE(std::string(e.what()).find("missing.doc"), std::string::npos) << e.what();
    }
    EXPECT_THROW(s.insertFile(dir_.path()), WordError); // a folder
    const auto garbage = dir_ / "garbage.bin";
    std::vector<std::uint8_t> bytes(4096);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7919u) >> 3);
    test::writeBytes(garbage, bytes);
    EXPECT_THROW(s.insertFile(garbage), WordError);
    EXPECT_THROW(s.word.invoke(s.selection, dispid::InsertFile, CallKind::Method, {std::int16_t{1}}), WordError);
    // The failed inserts left the document usable.
    s.insertAfter(s.content, "still here");
    const auto out = dir_ / "after.txt";
    s.saveAs(s.doc, {out.string()});
    EXPECT_EQ(docserver::readDocument(out).plainText(), "still here");
}

// ---- The pipe protocol ----------------------------------------------------------------

TEST(WordProtocol, RequestsAndRepliesRoundTrip) {
    proto::Request req{7, 376, CallKind::Method,
                       {kOm, std::int16_t{-2}, std::int16_t{9}, true, false, std::string("f\xC3\xBC\0r", 5),
                        std::string(), ObjectRef{0xFFFFFFFFu}}};
    EXPECT_EQ(proto::decodeRequest(proto::encodeRequest(req)), req);
    for (const proto::Reply& r : {proto::Reply{true, std::string("12.0"), {}}, proto::Reply{true, kOm, {}},
                                  proto::Reply{false, kOm, "cannot insert \"x\""}})
        EXPECT_EQ(proto::decodeReply(proto::encodeReply(r)), r);
    const std::vector<proto::Request> batch{req, {3, 161, CallKind::Method, {}}};
    const auto encoded = proto::encodeBatch(batch);
    EXPECT_TRUE(proto::isBatch(encoded));
    EXPECT_FALSE(proto::isBatch(proto::encodeRequest(req)));
    EXPECT_EQ(proto::decodeBatch(encoded), batch);
}

TEST(WordProtocol, MalformedPayloadsAreRejected) {
    const auto good = proto::encodeRequest({1, 24, CallKind::Get, {std::string("abc")}});
    // Every truncation of a valid request is an error, never a read past the end.
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_THROW(proto::decodeRequest(std::span(good.data(), n)), proto::ProtocolError) << n;
    auto trailing = good;
    trailing.push_back(0);
    EXPECT_THROW(proto::decodeRequest(trailing), proto::ProtocolError);
    auto badKind = good;
    badKind[8] = 4;
    EXPECT_THROW(proto::decodeRequest(badKind), proto::ProtocolError);
    auto badTag = good;
    badTag[11] = 9;
    EXPECT_THROW(proto::decodeRequest(badTag), proto::ProtocolError);
    auto hugeText = good;
    hugeText[12] = hugeText[13] = hugeText[14] = hugeText[15] = 0xFF;
    EXPECT_THROW(proto::decodeRequest(hugeText), proto::ProtocolError);
    auto manyArgs = proto::encodeRequest({1, 24, CallKind::Get, {}});
    manyArgs[9] = 0xFF, manyArgs[10] = 0xFF;
    EXPECT_THROW(proto::decodeRequest(manyArgs), proto::ProtocolError);
    EXPECT_THROW(proto::decodeReply(std::vector<std::uint8_t>{0, 2, 2}), proto::ProtocolError); // flag 2
    EXPECT_THROW(proto::decodeReply(std::vector<std::uint8_t>{5}), proto::ProtocolError);
    EXPECT_THROW(proto::decodeReply(std::vector<std::uint8_t>{}), proto::ProtocolError);
    EXPECT_THROW(proto::encodeRequest({1, 1, CallKind::Method, std::vector<Value>(proto::kMaxArgs + 1, kOm)}),
                 proto::ProtocolError);

    // Batches: every truncation, a count beyond the bytes, a batch inside a batch, a bad member.
    const auto batch = proto::encodeBatch({{3, 104, CallKind::Method, {std::string("x")}}, {3, 161, CallKind::Method, {}}});
    for (size_t n = 0; n < batch.size(); ++n)
        EXPECT_THROW(proto::decodeBatch(std::span(batch.data(), n)), proto::ProtocolError) << n;
    auto lyingCount = batch;
    lyingCount[4] = 0xFF, lyingCount[7] = 0x7F;
    EXPECT_THROW(proto::decodeBatch(lyingCount), proto::ProtocolError);
    const std::vector<std::uint8_t> nested{0, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_THROW(proto::decodeBatch(nested), proto::ProtocolError);
    auto badMember = batch;
    badMember[20] = 9; // the first member's call kind
    EXPECT_THROW(proto::decodeBatch(badMember), proto::ProtocolError);
    EXPECT_THROW(proto::decodeBatch(good), proto::ProtocolError); // not a batch
}

TEST(WordProtocol, FramesOnAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::vector<std::uint8_t> payload{1, 2, 3};
    proto::writeFrame(fds[1], payload);
    proto::writeFrame(fds[1], {});
    EXPECT_EQ(proto::readFrame(fds[0]), payload);
    EXPECT_EQ(proto::readFrame(fds[0]), std::vector<std::uint8_t>{});
    // A length above the limit, and a stream that ends inside a frame.
    const std::uint8_t tooLong[] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(::write(fds[1], tooLong, 4), 4);
    EXPECT_THROW(proto::readFrame(fds[0]), proto::ProtocolError);
    const std::uint8_t cut[] = {10, 0, 0, 0, 1, 2};
    ASSERT_EQ(::write(fds[1], cut, sizeof cut), static_cast<ssize_t>(sizeof cut));
    ::close(fds[1]);
    EXPECT_THROW(proto::readFrame(fds[0]), proto::ProtocolError);
    EXPECT_EQ(proto::readFrame(fds[0]), std::nullopt); // clean end of stream
    ::close(fds[0]);
}
