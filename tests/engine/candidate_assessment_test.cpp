// The assessment of written candidates and the choice of the recommended one.
#include "engine/candidate_assessment.h"

#include "docserver/formats.h"
#include "platform/codepage.h"

#include "tests/support/test_support.h"

#include <random>

using namespace qm;
using assess::Assessment;

namespace {

const char* const kEnglish =
    "The committee met on Tuesday to review the budget for the coming year. After a long discussion "
    "about the costs of the new library building, the members agreed to postpone the decision until "
    "the architects had presented a revised plan. Several residents asked whether the reading rooms "
    "would stay open during the works, and the chair promised an answer at the next meeting. ";
const char* const kGerman = // no German dictionary is installed: the form test alone judges it
    "Die Gemeinde hat am Dienstag beschlossen, die alte Schule zu renovieren. Nach einer langen "
    "Aussprache über die Kosten wurde der Plan einstimmig angenommen, und die Arbeiten beginnen im "
    "nächsten Frühjahr. Viele Eltern fragten, wo die Kinder während der Bauzeit lernen sollen. ";
const char* const kRussian =
    "Городской совет собрался во вторник, чтобы обсудить новый бюджет. После долгого обсуждения "
    "члены совета решили отложить решение до следующего заседания, когда архитекторы представят "
    "исправленный план здания библиотеки. ";

// Text of n words drawn at random from the words of a sample paragraph, in sentences: real
// words that never repeat a passage (repeated passages count once).
std::string prose(const std::string& sample, std::size_t n, unsigned seed = 7) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : sample + " ") {
        if (c == ' ' || c == ',' || c == '.') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::size_t> pick(0, words.size() - 1);
    std::string out;
    for (std::size_t k = 0; k < n; ++k)
        out += words[pick(gen)] + (k % 11 == 10 ? ". " : " ");
    return out;
}

// Printable bytes as a damaged file's binary parts give them, the same length as like.
std::string printableNoise(std::size_t length, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> byte(0x20, 0x7E);
    std::string s;
    while (s.size() < length)
        s += static_cast<char>(byte(gen));
    return s;
}

// Bytes of any value read in the code page of .doc text.
std::string codePageNoise(std::size_t length, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(gen());
    return codepage::toUtf8(bytes, "CP1252");
}

// 8-bit text read as 16-bit: every two bytes become one (mostly Han) character.
std::string readAsUtf16(const std::string& text) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size() & ~1u);
    return codepage::utf16leToUtf8(bytes);
}

bool haveEnglishDictionary() { return fs::exists("/usr/share/hunspell/en_US.dic"); }

const assess::Lexicon& noDictionary() {
    static const assess::Lexicon lexicon(std::vector<fs::path>{});
    return lexicon;
}
const assess::Lexicon& systemDictionaries() {
    static const assess::Lexicon lexicon(std::vector<fs::path>{"/usr/share/hunspell"});
    return lexicon;
}

Assessment numbered(Assessment a, int n) {
    a.candidate = n;
    return a;
}

} // namespace

TEST(CandidateAssessment, RealTextBeatsNoiseOfTheSameLengthWithAndWithoutDictionaries) {
    for (const bool dictionaries : {false, true}) {
        if (dictionaries && !haveEnglishDictionary())
            continue;
        const auto& lexicon = dictionaries ? systemDictionaries() : noDictionary();
        for (const std::string& text : {prose(kEnglish, 1200), prose(kGerman, 1200), prose(kRussian, 1200)}) {
            const Assessment real = assess::assessText(text, 0, lexicon);
            for (const std::string& noise : {printableNoise(text.size(), 1), codePageNoise(text.size(), 4), readAsUtf16(text)}) {
                const Assessment bad = assess::assessText(noise, 0, lexicon);
                EXPECT_GT(real.score, 0) << text.substr(0, 20);
                EXPECT_GT(real.score, bad.score + real.score / 2) << text.substr(0, 20) << " dictionaries " << dictionaries;
                EXPECT_GT(real.language / real.sampled, 0.6) << text.substr(0, 20); // words without a dictionary: 1/2
                EXPECT_LT(bad.language / std::max(1u, bad.sampled), 0.35) << noise.substr(0, 40);
            }
            // The text with some noise mixed in still beats two thirds of the clean text.
            const std::string part = text.substr(0, text.size() * 2 / 3);
            const Assessment mixed = assess::assessText(text + printableNoise(text.size() / 4, 2), 0, lexicon);
            EXPECT_GT(mixed.score, assess::assessText(part, 0, lexicon).score) << text.substr(0, 20);
            EXPECT_LT(mixed.score, real.score);
        }
    }
}

TEST(CandidateAssessment, WordsAreJudgedByDictionaryAndByForm) {
    const struct {
        const char* word;
        double withoutDictionary, withDictionary;
    } cases[] = {
        {"library", 1, 1},     {"Library", 1, 1},   {"LIBRARY", 1, 1},   {"Quillmendish", 1, 0.5},
        {"lIbRaRy", 0, 0},     {"xkcdqw", 0, 0},     {"bcdfghjk", 0, 0},  {"ab3x", 0, 0},
        {"aaab", 0, 0},        {"Straße", 1, 0.5},   {"совет", 1, 1},     {"сoвет", 0, 0}, // Latin 'o' inside
        {"委员会", 1, 1},       {"倀偀", 0, 0},       {"㐀㐁", 0, 0},       {"ÀÞæ", 0, 0}, // 16-bit and code page noise
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noDictionary().judge(c.word), c.withoutDictionary) << c.word;
        if (haveEnglishDictionary()) {
            EXPECT_EQ(systemDictionaries().judge(c.word), c.withDictionary) << c.word;
        }
    }
}

TEST(CandidateAssessment, CountsWordsAndBoundsTheSample) {
    const Assessment a = assess::assessText("It is 2024: a b c 42 x86 well-known _x", 3, noDictionary());
    EXPECT_EQ(a.words, 6u) << "It, is, x86, well, known, _x; numbers and single letters are no words";
    EXPECT_EQ(a.pictures, 3u);
    const Assessment big = assess::assessText(prose(kEnglish, 25000), 0, noDictionary());
    EXPECT_GT(big.words, 20000u);
    EXPECT_LE(big.sampled, assess::kSampleWords);
    EXPECT_GE(big.sampled, assess::kSampleWords * 9 / 10);
}

TEST(CandidateAssessment, TheRecommendationFollowsTextPicturesAndCandidateNumber) {
    const std::string text = prose(kEnglish, 600);
    const Assessment full = assess::assessText(text, 0, noDictionary());
    const Assessment part = assess::assessText(text.substr(0, text.size() * 2 / 3), 0, noDictionary());
    const Assessment withPicture = assess::assessText(text.substr(0, text.size() * 2 / 3), 1, noDictionary());
    const Assessment twice = assess::assessText(text + text, 0, noDictionary());
    const Assessment noise = assess::assessText(printableNoise(3000, 3), 0, noDictionary());
    const struct {
        std::vector<Assessment> candidates;
        int expected; // candidate number
    } cases[] = {
        {{numbered(part, 1), numbered(full, 2)}, 2},                              // more text
        {{numbered(part, 1), numbered(withPicture, 3)}, 3},                       // a picture counts
        {{numbered(full, 4), numbered(full, 2), numbered(full, 3)}, 2},           // a tie: the lowest number
        {{numbered(noise, 1), numbered(part, 4)}, 4},                             // language over noise
        {{numbered(noise, 2)}, 2},                                                // the only candidate
        {{numbered(Assessment{}, 1), numbered(Assessment{}, 0)}, 0},             // nothing read: lowest number
    };
    for (const auto& c : cases) {
        auto list = c.candidates;
        for (int turn = 0; turn < 3; ++turn) { // the order they are given in does not matter
            const int best = assess::recommend(list);
            ASSERT_GE(best, 0);
            EXPECT_EQ(list[static_cast<size_t>(best)].candidate, c.expected) << "turn " << turn;
            std::rotate(list.begin(), list.begin() + 1, list.end());
        }
    }
    EXPECT_EQ(assess::recommend({}), -1);
    // A candidate holding the text twice holds no more of the document.
    EXPECT_NEAR(twice.score, full.score, full.score / 50);
    EXPECT_NEAR(twice.unique, 0.5, 0.01);
}

TEST(CandidateAssessment, DocumentsAreReadBackWithTheirPictures) {
    test::TempDir dir;
    docserver::Document doc;
    doc.insertAfter(kEnglish);
    doc.insertParagraphAfter();
    doc.insertPicture(docserver::Picture::fromBytes({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    docserver::writeDocument(doc, dir / "c.doc", docserver::Format::Doc);
    const Assessment a = assess::assessDocument(dir / "c.doc", 2, noDictionary());
    EXPECT_TRUE(a.readable);
    EXPECT_EQ(a.words, assess::assessText(kEnglish, 0, noDictionary()).words);
    EXPECT_EQ(a.pictures, 3u);
    // What the content check read is taken while the file is unchanged, never after.
    assess::rememberReadBacks(true);
    docserver::Document shorter;
    shorter.insertAfter("Only four words here");
    assess::noteReadBack(dir / "c.doc", shorter);
    EXPECT_EQ(assess::assessDocument(dir / "c.doc").words, 4u);
    doc.insertAfter("Two more");
    docserver::writeDocument(doc, dir / "c.doc", docserver::Format::Doc);
    EXPECT_EQ(assess::assessDocument(dir / "c.doc").words, a.words + 2);
    assess::rememberReadBacks(false);
    test::writeText(dir / "bad.doc", std::string(600, '\0') + "\x01\x02");
    const Assessment bad = assess::assessDocument(dir / "bad.doc", 1, noDictionary());
    EXPECT_EQ(bad.words, 0u);
    EXPECT_EQ(bad.pictures, 1u);
}
